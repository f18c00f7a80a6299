// The media services on Linux: memfd-backed pixel-buffer pools, surfaces looked up in the
// per-user surface registry, and the host clock that the composition root hands in.
#pragma once

#include <filesystem>

#include "platform/linux/shared_surface.h"
#include "platform/media.h"

namespace kolv {

// Thread-safety: every call may come from any thread; the object is immutable.
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
  // any file that is not a sealed, well-formed surface carrying this ID.
  IOSurfaceRef IOSurfaceLookup(IOSurfaceID surfaceID) override;

 private:
  const CMClockRef hostClock_;
  const std::filesystem::path surfaceRegistry_;
};

}  // namespace kolv
