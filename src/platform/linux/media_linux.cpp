#include "platform/linux/media_linux.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "handoff/shared_memory.h"
#include "handoff/unique_fd.h"
#include "platform/linux/pixel_buffer_pool.h"

namespace kolv {
namespace {

// A surface that another process published, mapped into this one. Its geometry is the
// copy taken at lookup: the producer may rewrite its header, but it cannot shrink the file
// (sealed), so every plane stays mapped and backed for as long as this lives.
// Thread-safety: immutable; any thread.
class PublishedSurface final : public IOSurface {
 public:
  // Checks and maps the memfd behind the registry entry of `id`.
  static SurfaceLookupResult open(UniqueFD fd, IOSurfaceID id);

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
  return UniqueFD(::openat(registry, std::to_string(id).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
}

SurfaceLookupResult refused(SurfaceRefusal refusal, std::string reason) {
  return {nullptr, refusal, std::move(reason)};
}

// Why the entry of `id` could not be opened; `error` is the errno of openat. Only runs once a
// lookup has failed.
SurfaceLookupResult explainUnopenable(int registry, IOSurfaceID id, int error) {
  const std::string name = std::to_string(id);
  struct stat entry {};
  if (::fstatat(registry, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
    return refused(SurfaceRefusal::noEntry, "nothing is published under this ID (no registry entry)");
  }
  if (error == ENOENT && S_ISLNK(entry.st_mode)) {
    return refused(SurfaceRefusal::danglingEntry, "its companion has exited (dangling registry link)");
  }
  return refused(SurfaceRefusal::unopenable,
                 std::string("its registry entry cannot be opened: ") + std::strerror(error));
}

SurfaceLookupResult PublishedSurface::open(UniqueFD fd, IOSurfaceID id) {
  // Seals before size: seals are never removed, so once shrink and grow are sealed the
  // size read next is the size for good. Files that cannot be sealed report an error or
  // F_SEAL_SEAL alone.
  constexpr int kSizeSeals = F_SEAL_SHRINK | F_SEAL_GROW;
  const int seals = ::fcntl(fd.get(), F_GET_SEALS);
  if (seals < 0) return refused(SurfaceRefusal::notMemfd, "not a sealed memfd (a plain file, FIFO or device)");
  if ((seals & kSizeSeals) != kSizeSeals) {
    return refused(SurfaceRefusal::unsealed, "its memfd is not sealed against shrinking and growing");
  }
  struct stat sealed {};
  if (::fstat(fd.get(), &sealed) != 0 || !S_ISREG(sealed.st_mode)) {
    return refused(SurfaceRefusal::notMemfd, "not a sealed memfd (not a regular file)");
  }
  if (sealed.st_uid != ::geteuid()) {
    return refused(SurfaceRefusal::otherUser,
                   "its file belongs to another user (uid " + std::to_string(sealed.st_uid) + ")");
  }
  // Plain shmem only: a hugetlb memfd can be sealed too, but its pages may fail to fault in.
  struct statfs filesystem {};
  if (::fstatfs(fd.get(), &filesystem) != 0 || filesystem.f_type != TMPFS_MAGIC) {
    return refused(SurfaceRefusal::notMemfd, "not a memfd on plain shared memory (hugetlb or another file system)");
  }

  // The header is read once, into this process; nothing reads it from the mapping.
  std::array<std::byte, kSurfaceHeaderSize> bytes{};
  if (sealed.st_size < static_cast<off_t>(bytes.size()) ||
      ::pread(fd.get(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    return refused(SurfaceRefusal::badHeader,
                   "its file is " + std::to_string(sealed.st_size) + " bytes, shorter than the 64-byte header");
  }
  const std::optional<SurfaceHeader> header = decodeSurfaceHeader(bytes);
  if (!header) return refused(SurfaceRefusal::badHeader, "bad header: " + surfaceHeaderProblem(bytes));
  if (header->surfaceID != id) {
    return refused(SurfaceRefusal::idMismatch,
                   "its header names surface " + std::to_string(header->surfaceID) + " (ID mismatch)");
  }
  const std::uint64_t extent = header->extent();
  if (extent > static_cast<std::uint64_t>(sealed.st_size) || extent > std::numeric_limits<std::size_t>::max()) {
    return refused(SurfaceRefusal::shorterThanHeader,
                   "its file is " + std::to_string(sealed.st_size) + " bytes, shorter than the " +
                       std::to_string(extent) + " its header describes (" + std::to_string(header->width) + "x" +
                       std::to_string(header->height) + ", " + std::to_string(header->bytesPerRow) + " bytes per row)");
  }

  MemoryMapping mapping = MemoryMapping::mapSharedReadOnly(fd.get(), static_cast<std::size_t>(extent));
  if (!mapping) return refused(SurfaceRefusal::unmappable, std::string("cannot be mapped: ") + std::strerror(errno));
  return {std::make_shared<PublishedSurface>(std::move(fd), std::move(mapping), *header), SurfaceRefusal::none, {}};
}

}  // namespace

LinuxMediaServices::LinuxMediaServices(CMClockRef hostClock, std::filesystem::path surfaceRegistry)
    : hostClock_(std::move(hostClock)), surfaceRegistry_(std::move(surfaceRegistry)) {}

LinuxMediaServices::LinuxMediaServices(CMClockRef hostClock, OSLog& log, std::filesystem::path surfaceRegistry)
    : hostClock_(std::move(hostClock)), surfaceRegistry_(std::move(surfaceRegistry)), log_(&log) {}

Created<CVPixelBufferPoolRef> LinuxMediaServices::CVPixelBufferPoolCreate(
    const CFDictionaryRef& /*poolAttributes*/, const CFDictionaryRef& pixelBufferAttributes) {
  const std::optional<PixelBufferLayout> layout = pixelBufferLayoutFromAttributes(pixelBufferAttributes);
  if (!layout) return {kCVReturnInvalidArgument, nullptr};
  return {noErr, std::make_shared<LinuxPixelBufferPool>(*layout)};
}

IOSurfaceRef LinuxMediaServices::IOSurfaceLookup(IOSurfaceID surfaceID) {
  SurfaceLookupResult result = lookupSurface(surfaceID);
  if (log_ == nullptr) return std::move(result.surface);
  // A companion with a fault repeats it on every surface it names: one line per kind of
  // refusal, and one when surfaces are found again.
  std::unique_lock lock(logMutex_);
  const SurfaceRefusal previous = std::exchange(lastLogged_, result.refusal);
  lock.unlock();
  if (result.refusal != SurfaceRefusal::none && result.refusal != previous) {
    os_log_with_type(*log_, OSLogType::error, "surface %u refused: %s", surfaceID, result.reason.c_str());
  } else if (result.refusal == SurfaceRefusal::none && previous != SurfaceRefusal::none) {
    os_log_with_type(*log_, OSLogType::defaultType, "surface %u accepted", surfaceID);
  }
  return std::move(result.surface);
}

SurfaceLookupResult LinuxMediaServices::lookupSurface(IOSurfaceID surfaceID) {
  if (surfaceID == 0) return refused(SurfaceRefusal::zeroID, "ID 0 names no surface");
  const UniqueFD registry = openSurfaceRegistry(surfaceRegistry_, false);
  if (!registry) {
    return refused(SurfaceRefusal::noRegistry, surfaceRegistry_.empty()
                                                   ? std::string("there is no runtime folder for a surface registry")
                                                   : "the registry " + surfaceRegistry_.string() +
                                                         " is missing, a link, another user's or writable by others");
  }
  UniqueFD fd = openSurfaceEntry(registry.get(), surfaceID);
  if (!fd) return explainUnopenable(registry.get(), surfaceID, errno);
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    return refused(SurfaceRefusal::unopenable, std::string("its file cannot be examined: ") + std::strerror(errno));
  }

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
    return {recentSurfaces_.front().surface, SurfaceRefusal::none, {}};
  }
  SurfaceLookupResult opened = PublishedSurface::open(std::move(fd), surfaceID);
  if (!opened.surface) return opened;
  recentSurfaces_.insert(recentSurfaces_.begin(),
                         RecentSurface{surfaceID, status.st_dev, status.st_ino, opened.surface});
  if (recentSurfaces_.size() > kRecentSurfaceCount) recentSurfaces_.pop_back();
  return opened;
}

}  // namespace kolv
