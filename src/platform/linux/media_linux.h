// The media services on Linux: memfd-backed pixel-buffer pools, surfaces looked up in the
// per-user surface registry, and the host clock that the composition root hands in. A
// surface that is refused is logged with the reason, once for each problem (RefusalLog).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "handoff/published_surface.h"
#include "handoff/shared_surface.h"
#include "platform/foundation.h"
#include "platform/media.h"
#include "platform/output/buffer_lending.h"

namespace kolv {

// A lookup's outcome: the surface, or the kind and a one-line reason why there is none.
struct SurfaceLookupResult {
  IOSurfaceRef surface;
  SurfaceRefusal refusal = SurfaceRefusal::none;
  std::string reason;  // empty when found
};

// Which lookups are worth a log line: one line per distinct problem, even for a companion that
// names several surfaces in turn, one or more of them refused, or a new faulty surface at every
// picture.
//   - A refusal is reported once per surface and kind: the last kRemembered (surface, kind) pairs
//     reported are kept.
//   - A refusal of the same kind as the last one reported is not reported again until a surface
//     has been accepted meanwhile.
//   - A surface accepted after a reported refusal is reported once ("accepted").
//   - An entry that is gone while no companion is publishing (companionStopped) is a companion's
//     normal stop: reported as such, once per surface, and no fault.
// Thread-safety: none; its owner serialises the calls.
class RefusalLog {
 public:
  enum class Decision { nothing, refused, companionStopped, acceptedAgain };
  static constexpr std::size_t kRemembered = 16;

  Decision decide(std::uint32_t surfaceID, SurfaceRefusal refusal, bool companionStopped);

 private:
  struct Reported {
    std::uint32_t id;
    SurfaceRefusal refusal;
    bool companionStopped;
    friend bool operator==(const Reported&, const Reported&) = default;
  };
  std::vector<Reported> reported_;  // the most recent first
  SurfaceRefusal lastKind_ = SurfaceRefusal::none;
  bool faultReported_ = false;  // a refusal was reported since the last surface accepted
};

// Thread-safety: every call may come from any thread; the recent surfaces are under a mutex.
class LinuxMediaServices final : public MediaServices {
 public:
  // `surfaceRegistry` is the folder where companions publish surfaces; an empty path finds
  // none.
  explicit LinuxMediaServices(CMClockRef hostClock, std::filesystem::path surfaceRegistry = defaultSurfaceRegistry());
  // The same, logging refused surfaces to `log` as RefusalLog decides. `companionPublishing`,
  // when given, says whether a companion is publishing now (it must not wait): a surface whose
  // entry is gone while none is was left by a companion that stopped, which is no fault.
  LinuxMediaServices(CMClockRef hostClock, OSLog& log, std::filesystem::path surfaceRegistry = defaultSurfaceRegistry(),
                     std::function<bool()> companionPublishing = nullptr);

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
  // A surface found earlier gives pictures only while its companion still publishes it: its
  // entry still leads to the same memory. A companion that stopped (entry removed) or was
  // killed (entry dangling) leaves its last picture mapped here, and a stream that starts
  // later must not show it. Refused as a lookup would be, with kCVReturnInvalidArgument, and
  // logged the same way.
  Created<CVPixelBufferRef> CVPixelBufferCreateWithIOSurface(const IOSurfaceRef& surface,
                                                             const CFDictionaryRef& pixelBufferAttributes) override;

  // How many recently found surfaces stay mapped: a companion's surfaces in turn (five at 30
  // pictures a second with the companion library) must all fit, or each lookup misses.
  static constexpr std::size_t kRecentSurfaceCount = 8;

 private:
  void report(IOSurfaceID surfaceID, const SurfaceLookupResult& result);

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
  const std::function<bool()> companionPublishing_;
  std::mutex logMutex_;
  RefusalLog refusalLog_;  // guarded by logMutex_
  std::mutex recentMutex_;
  std::vector<RecentSurface> recentSurfaces_;  // guarded by recentMutex_, most recent first
};

}  // namespace kolv
