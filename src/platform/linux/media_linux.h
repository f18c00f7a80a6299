// The media services on Linux: memfd-backed pixel-buffer pools, surfaces looked up in the
// per-user surface registry, and the host clock that the composition root hands in.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/linux/shared_surface.h"
#include "platform/media.h"

namespace kolv {

// Thread-safety: every call may come from any thread; the recent surfaces are under a mutex.
class LinuxMediaServices final : public MediaServices {
 public:
  // `surfaceRegistry` is the folder where companions publish surfaces; an empty path finds
  // none.
  explicit LinuxMediaServices(CMClockRef hostClock, std::filesystem::path surfaceRegistry = defaultSurfaceRegistry());

  // Refuses attributes that pixelBufferLayoutFromAttributes refuses, with
  // kCVReturnInvalidArgument. Pool attributes are not used.
  Created<CVPixelBufferPoolRef> CVPixelBufferPoolCreate(const CFDictionaryRef& poolAttributes,
                                                        const CFDictionaryRef& pixelBufferAttributes) override;
  CMClockRef CMClockGetHostTimeClock() override { return hostClock_; }
  // nullptr for ID 0, an ID that names nothing, a dangling entry, another user's file and
  // any file that is not a sealed, well-formed surface carrying this ID. The last few
  // surfaces found are kept mapped: finding one of them again returns the same object.
  IOSurfaceRef IOSurfaceLookup(IOSurfaceID surfaceID) override;

  // How many recently found surfaces stay mapped: a companion's surfaces in turn (five at 30
  // pictures a second with the companion library) must all fit, or each lookup misses.
  static constexpr std::size_t kRecentSurfaceCount = 8;

 private:
  struct RecentSurface {
    IOSurfaceID id;
    dev_t device;
    ino_t inode;
    IOSurfaceRef surface;
  };

  const CMClockRef hostClock_;
  const std::filesystem::path surfaceRegistry_;
  std::mutex recentMutex_;
  std::vector<RecentSurface> recentSurfaces_;  // guarded by recentMutex_, most recent first
};

}  // namespace kolv
