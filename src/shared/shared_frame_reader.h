// The camera's link to the companion app: reads the two hand-off files in the app
// group's container, keeps the looked-up surface and hands out each new picture once.
// Thread: constructed with the device source; every other call runs on the timer queue.
#pragma once

#include <cstdint>
#include <string>

#include "kolv/handoff_names.h"  // the fallback group and the two file names, shared with companions
#include "platform/platform.h"

namespace kolv {

class SharedFrameReader {
 public:
  explicit SharedFrameReader(const Platform& platform);
  SharedFrameReader(const SharedFrameReader&) = delete;
  SharedFrameReader& operator=(const SharedFrameReader&) = delete;

  // "AppGroupIdentifier", else the first of "com.apple.security.application-groups",
  // else the fallback.
  static std::string resolveAppGroupID(const Platform& platform);

  // A pixel buffer over the companion's surface when it has published a picture newer
  // than the last one handed out; otherwise empty.
  CVPixelBufferRef currentFrame();
  // Re-reads the surface-ID file and looks the surface up when the ID changed.
  void refreshSurface();
  // The frame-metadata file's timestamp, or 0 when the file cannot be used.
  double readFrameTimestamp();

  const std::string& appGroupID() const { return appGroupID_; }
  const std::string& surfaceIDFileName() const { return surfaceIDFileName_; }
  const std::string& frameMetadataFileName() const { return frameMetadataFileName_; }
  const IOSurfaceRef& currentSurface() const { return currentSurface_; }
  std::uint32_t lastSurfaceID() const { return lastSurfaceID_; }
  double lastTimestamp() const { return lastTimestamp_; }

 private:
  const Platform& platform_;
  const std::string appGroupID_;
  const std::string surfaceIDFileName_;
  const std::string frameMetadataFileName_;
  IOSurfaceRef currentSurface_;
  std::uint32_t lastSurfaceID_ = 0;
  double lastTimestamp_ = 0;
};

}  // namespace kolv
