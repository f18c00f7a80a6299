#include "platform/linux/media_linux.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <limits>
#include <string>

#include "platform/linux/pixel_buffer_pool.h"
#include "platform/linux/shared_memory.h"
#include "platform/linux/unique_fd.h"

namespace kolv {
namespace {

// A surface that another process published, mapped into this one. Its geometry is the
// copy taken at lookup: the producer may rewrite its header, but it cannot shrink the file
// (sealed), so every plane stays mapped and backed for as long as this lives.
// Thread-safety: immutable; any thread.
class PublishedSurface final : public IOSurface {
 public:
  // Checks and maps the memfd behind the registry entry of `id`.
  static std::shared_ptr<PublishedSurface> open(UniqueFD fd, IOSurfaceID id);

  PublishedSurface(UniqueFD fd, MemoryMapping mapping, const SurfaceHeader& header)
      : fd_(std::move(fd)), mapping_(std::move(mapping)), header_(header) {}

  IOSurfaceID surfaceID() const override { return header_.surfaceID; }
  std::size_t width() const override { return header_.width; }
  std::size_t height() const override { return header_.height; }
  std::size_t bytesPerRow() const override { return header_.bytesPerRow; }
  OSType pixelFormat() const override { return header_.pixelFormat; }
  void* baseAddress() const override { return mapping_.data() + header_.pixelOffset; }
  std::optional<SharedMemoryRegion> sharedMemory() const override {
    return SharedMemoryRegion{fd_.get(), header_.pixelOffset, header_.extent() - header_.pixelOffset};
  }

 private:
  const UniqueFD fd_;
  const MemoryMapping mapping_;
  const SurfaceHeader header_;
};

UniqueFD openSurfaceEntry(int registry, IOSurfaceID id) {
  // Opening the entry follows its /proc/<pid>/fd/<n> link to the producer's memfd. A
  // dangling link fails here. O_NONBLOCK keeps a FIFO from stalling the caller; it is
  // refused below like any file that is not a memfd.
  return UniqueFD(::openat(registry, std::to_string(id).c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
}

std::shared_ptr<PublishedSurface> PublishedSurface::open(UniqueFD fd, IOSurfaceID id) {
  // Seals before size: seals are never removed, so once shrink and grow are sealed the
  // size read next is the size for good. Files that cannot be sealed report an error or
  // F_SEAL_SEAL alone.
  constexpr int kSizeSeals = F_SEAL_SHRINK | F_SEAL_GROW;
  const int seals = ::fcntl(fd.get(), F_GET_SEALS);
  if (seals < 0 || (seals & kSizeSeals) != kSizeSeals) return nullptr;
  struct stat sealed {};
  if (::fstat(fd.get(), &sealed) != 0) return nullptr;
  if (!S_ISREG(sealed.st_mode) || sealed.st_uid != ::geteuid() || sealed.st_size <= 0) return nullptr;
  // Plain shmem only: a hugetlb memfd can be sealed too, but its pages may fail to fault in.
  struct statfs filesystem {};
  if (::fstatfs(fd.get(), &filesystem) != 0 || filesystem.f_type != TMPFS_MAGIC) return nullptr;

  // The header is read once, into this process; nothing reads it from the mapping.
  std::array<std::byte, kSurfaceHeaderSize> bytes{};
  if (::pread(fd.get(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) return nullptr;
  const std::optional<SurfaceHeader> header = decodeSurfaceHeader(bytes);
  if (!header || header->surfaceID != id) return nullptr;
  const std::uint64_t extent = header->extent();
  if (extent > static_cast<std::uint64_t>(sealed.st_size) || extent > std::numeric_limits<std::size_t>::max()) {
    return nullptr;
  }

  MemoryMapping mapping = MemoryMapping::mapShared(fd.get(), static_cast<std::size_t>(extent));
  if (!mapping) return nullptr;
  return std::make_shared<PublishedSurface>(std::move(fd), std::move(mapping), *header);
}

}  // namespace

LinuxMediaServices::LinuxMediaServices(CMClockRef hostClock, std::filesystem::path surfaceRegistry)
    : hostClock_(std::move(hostClock)), surfaceRegistry_(std::move(surfaceRegistry)) {}

Created<CVPixelBufferPoolRef> LinuxMediaServices::CVPixelBufferPoolCreate(
    const CFDictionaryRef& /*poolAttributes*/, const CFDictionaryRef& pixelBufferAttributes) {
  const std::optional<PixelBufferLayout> layout = pixelBufferLayoutFromAttributes(pixelBufferAttributes);
  if (!layout) return {kCVReturnInvalidArgument, nullptr};
  return {noErr, std::make_shared<LinuxPixelBufferPool>(*layout)};
}

IOSurfaceRef LinuxMediaServices::IOSurfaceLookup(IOSurfaceID surfaceID) {
  if (surfaceID == 0) return nullptr;
  const UniqueFD registry = openSurfaceRegistry(surfaceRegistry_, false);
  if (!registry) return nullptr;
  UniqueFD fd = openSurfaceEntry(registry.get(), surfaceID);
  struct stat status {};
  if (!fd || ::fstat(fd.get(), &status) != 0) return nullptr;

  // A companion that draws into a few surfaces in turn names another one at every picture.
  // Each recent surface keeps its memfd open, so its inode cannot be reused while it is
  // here: the same ID on the same inode is the same, already checked, already faulted-in
  // memory.
  std::lock_guard lock(recentMutex_);
  const auto recent = std::find_if(recentSurfaces_.begin(), recentSurfaces_.end(), [&](const RecentSurface& r) {
    return r.id == surfaceID && r.device == status.st_dev && r.inode == status.st_ino;
  });
  if (recent != recentSurfaces_.end()) {
    std::rotate(recentSurfaces_.begin(), recent, recent + 1);
    return recentSurfaces_.front().surface;
  }
  auto surface = PublishedSurface::open(std::move(fd), surfaceID);
  if (!surface) return nullptr;
  recentSurfaces_.insert(recentSurfaces_.begin(), RecentSurface{surfaceID, status.st_dev, status.st_ino, surface});
  if (recentSurfaces_.size() > kRecentSurfaceCount) recentSurfaces_.pop_back();
  return surface;
}

}  // namespace kolv
