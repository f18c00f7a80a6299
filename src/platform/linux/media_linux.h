// The media services on Linux: memfd-backed pixel-buffer pools, surfaces looked up in the
// per-user surface registry, and the host clock that the composition root hands in. A
// surface that is refused is logged with the reason, once until the reason changes.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "handoff/published_surface.h"
#include "handoff/shared_surface.h"
#include "platform/foundation.h"
#include "platform/linux/stream_buffers.h"
#include "platform/media.h"

namespace kolv {

// A lookup's outcome: the surface, or the kind and a one-line reason why there is none.
struct SurfaceLookupResult {
  IOSurfaceRef surface;
  SurfaceRefusal refusal = SurfaceRefusal::none;
  std::string reason;  // empty when found
};

// Thread-safety: every call may come from any thread; the recent surfaces are under a mutex.
class LinuxMediaServices final : public MediaServices {
 public:
  // `surfaceRegistry` is the folder where companions publish surfaces; an empty path finds
  // none.
  explicit LinuxMediaServices(CMClockRef hostClock, std::filesystem::path surfaceRegistry = defaultSurfaceRegistry());
  // The same, logging refused surfaces to `log`: one line when a lookup is refused for a
  // reason other than the last one logged, and one when a surface is found again after that.
  LinuxMediaServices(CMClockRef hostClock, OSLog& log,
                     std::filesystem::path surfaceRegistry = defaultSurfaceRegistry());

  // Pools made from now on draw from the camera host's stream buffers when their geometry
  // matches (LinuxPixelBufferPool). Call before the camera makes its pools.
  void supplyStreamBuffers(std::shared_ptr<StreamBufferSupplier> supplier) { streamBuffers_ = std::move(supplier); }

  // Refuses attributes that pixelBufferLayoutFromAttributes refuses, with
  // kCVReturnInvalidArgument. Pool attributes are not used.
  Created<CVPixelBufferPoolRef> CVPixelBufferPoolCreate(const CFDictionaryRef& poolAttributes,
                                                        const CFDictionaryRef& pixelBufferAttributes) override;
  CMClockRef CMClockGetHostTimeClock() override { return hostClock_; }
  // nullptr for ID 0, an ID that names nothing, a dangling entry, another user's file and
  // any file that is not a sealed, well-formed surface carrying this ID. The last few
  // surfaces found are kept mapped: finding one of them again returns the same object.
  IOSurfaceRef IOSurfaceLookup(IOSurfaceID surfaceID) override;
  // The same lookup, with the reason for a refusal; logs nothing.
  SurfaceLookupResult lookupSurface(IOSurfaceID surfaceID);

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
  OSLog* const log_ = nullptr;
  std::shared_ptr<StreamBufferSupplier> streamBuffers_;
  std::mutex logMutex_;
  SurfaceRefusal lastLogged_ = SurfaceRefusal::none;  // guarded by logMutex_
  std::mutex recentMutex_;
  std::vector<RecentSurface> recentSurfaces_;  // guarded by recentMutex_, most recent first
};

}  // namespace kolv
