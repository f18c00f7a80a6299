#include "platform/linux/media_linux.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "handoff/unique_fd.h"
#include "platform/linux/pixel_buffer_pool.h"

namespace kolv {
namespace {

// A surface that another process published, mapped into this one. Its geometry is the
// copy taken at lookup (PublishedSurfaceMemory).
// Thread-safety: immutable; any thread.
class PublishedSurface final : public IOSurface {
 public:
  explicit PublishedSurface(PublishedSurfaceMemory memory)
      : fd_(std::move(memory.fd)), mapping_(std::move(memory.mapping)), header_(memory.header) {}

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

SurfaceLookupResult refused(SurfaceRefusal refusal, std::string reason) {
  return {nullptr, refusal, std::move(reason)};
}

SurfaceLookupResult surfaceFrom(PublishedSurfaceOpening opening) {
  if (!opening.memory) return refused(opening.refusal, std::move(opening.reason));
  return {std::make_shared<PublishedSurface>(std::move(*opening.memory)), SurfaceRefusal::none, {}};
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
  return {noErr, std::make_shared<LinuxPixelBufferPool>(*layout, streamBuffers_)};
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
  if (!fd) return surfaceFrom(explainUnopenable(registry.get(), surfaceID, errno));
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
  SurfaceLookupResult opened = surfaceFrom(openPublishedSurface(std::move(fd), surfaceID));
  if (!opened.surface) return opened;
  recentSurfaces_.insert(recentSurfaces_.begin(),
                         RecentSurface{surfaceID, status.st_dev, status.st_ino, opened.surface});
  if (recentSurfaces_.size() > kRecentSurfaceCount) recentSurfaces_.pop_back();
  return opened;
}

}  // namespace kolv
