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
      : fd_(std::move(memory.fd)), mapping_(std::move(memory.mapping)), header_(memory.header) {
    struct stat file {};
    if (::fstat(fd_.get(), &file) == 0) {
      device_ = file.st_dev;
      inode_ = file.st_ino;
    }
  }

  // Whether `entry` (the registry entry's target, stat'ed) is this surface's memory.
  bool isFile(const struct stat& entry) const { return entry.st_dev == device_ && entry.st_ino == inode_; }

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
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

SurfaceLookupResult refused(SurfaceRefusal refusal, std::string reason) {
  return {nullptr, refusal, std::move(reason)};
}

SurfaceLookupResult surfaceFrom(PublishedSurfaceOpening opening) {
  if (!opening.memory) return refused(opening.refusal, std::move(opening.reason));
  return {std::make_shared<PublishedSurface>(std::move(*opening.memory)), SurfaceRefusal::none, {}};
}

// A surface found earlier, checked again: refused as a lookup would refuse it now when its
// entry is gone or dangling, or leads to other memory.
SurfaceLookupResult stillPublished(const std::filesystem::path& registryPath, const PublishedSurface& surface) {
  const UniqueFD registry = openSurfaceRegistry(registryPath, false);
  if (!registry) return refused(SurfaceRefusal::noRegistry, "the registry " + registryPath.string() + " is gone");
  const std::string name = std::to_string(surface.surfaceID());
  struct stat entry {};
  if (::fstatat(registry.get(), name.c_str(), &entry, 0) != 0) {
    return surfaceFrom(explainUnopenable(registry.get(), surface.surfaceID(), errno));
  }
  if (!surface.isFile(entry)) return refused(SurfaceRefusal::noEntry, "another surface is published under this ID now");
  return {};
}

}  // namespace

LinuxMediaServices::LinuxMediaServices(CMClockRef hostClock, std::filesystem::path surfaceRegistry)
    : hostClock_(std::move(hostClock)), surfaceRegistry_(std::move(surfaceRegistry)) {}

LinuxMediaServices::LinuxMediaServices(CMClockRef hostClock, OSLog& log, std::filesystem::path surfaceRegistry,
                                       std::function<bool()> companionPublishing)
    : hostClock_(std::move(hostClock)),
      surfaceRegistry_(std::move(surfaceRegistry)),
      log_(&log),
      companionPublishing_(std::move(companionPublishing)) {}

Created<CVPixelBufferPoolRef> LinuxMediaServices::CVPixelBufferPoolCreate(
    const CFDictionaryRef& /*poolAttributes*/, const CFDictionaryRef& pixelBufferAttributes) {
  const std::optional<PixelBufferLayout> layout = pixelBufferLayoutFromAttributes(pixelBufferAttributes);
  if (!layout) return {kCVReturnInvalidArgument, nullptr};
  return {noErr, std::make_shared<LinuxPixelBufferPool>(*layout, streamBuffers_)};
}

IOSurfaceRef LinuxMediaServices::IOSurfaceLookup(IOSurfaceID surfaceID) {
  SurfaceLookupResult result = lookupSurface(surfaceID);
  report(surfaceID, result);
  return std::move(result.surface);
}

Created<CVPixelBufferRef> LinuxMediaServices::CVPixelBufferCreateWithIOSurface(const IOSurfaceRef& surface,
                                                                               const CFDictionaryRef& attributes) {
  if (const auto* published = dynamic_cast<const PublishedSurface*>(surface.get())) {
    const SurfaceLookupResult withdrawn = stillPublished(surfaceRegistry_, *published);
    if (withdrawn.refusal != SurfaceRefusal::none) {
      report(published->surfaceID(), withdrawn);
      return {kCVReturnInvalidArgument, nullptr};
    }
  }
  return MediaServices::CVPixelBufferCreateWithIOSurface(surface, attributes);
}

void LinuxMediaServices::report(IOSurfaceID surfaceID, const SurfaceLookupResult& result) {
  if (log_ == nullptr) return;
  // An entry removed while no companion holds the group's lock is what a companion leaves when
  // it stops: not a fault. Asked only after a refusal, and it never waits.
  const bool stopped = result.refusal == SurfaceRefusal::noEntry && companionPublishing_ && !companionPublishing_();
  std::unique_lock lock(logMutex_);
  const RefusalLog::Decision decision = refusalLog_.decide(surfaceID, result.refusal, stopped);
  lock.unlock();
  switch (decision) {
    case RefusalLog::Decision::nothing:
      break;
    case RefusalLog::Decision::refused:
      os_log_with_type(*log_, OSLogType::error, "surface %u refused: %s", surfaceID, result.reason.c_str());
      break;
    case RefusalLog::Decision::companionStopped:
      os_log_with_type(*log_, OSLogType::info, "surface %u is gone: the companion stopped publishing", surfaceID);
      break;
    case RefusalLog::Decision::acceptedAgain:
      os_log_with_type(*log_, OSLogType::defaultType, "surface %u accepted", surfaceID);
      break;
  }
}

RefusalLog::Decision RefusalLog::decide(std::uint32_t surfaceID, SurfaceRefusal refusal, bool companionStopped) {
  if (refusal == SurfaceRefusal::none) {
    lastKind_ = SurfaceRefusal::none;
    return std::exchange(faultReported_, false) ? Decision::acceptedAgain : Decision::nothing;
  }
  // A companion that stops and starts again names new surfaces: its stop is worth a line each
  // time, but only once for the same surface.
  const Reported pair{surfaceID, refusal, companionStopped};
  const auto known = std::find(reported_.begin(), reported_.end(), pair);
  const bool seen = known != reported_.end();
  if (seen) reported_.erase(known);
  reported_.insert(reported_.begin(), pair);
  if (reported_.size() > kRemembered) reported_.pop_back();
  if (seen) return Decision::nothing;
  if (companionStopped) return Decision::companionStopped;
  // A companion that names a new faulty surface at every picture repeats one fault: one line
  // until a surface is accepted.
  if (std::exchange(lastKind_, refusal) == refusal) return Decision::nothing;
  faultReported_ = true;
  return Decision::refused;
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
