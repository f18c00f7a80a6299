// The services the camera runs on, passed explicitly to every part that needs them.
// Thread-safety: the struct is built once, before the camera, and outlives it.
#pragma once

#include "platform/cmio.h"
#include "platform/dispatch.h"
#include "platform/foundation.h"
#include "platform/media.h"

namespace kolv {

struct Platform {
  CameraHost& host;
  MediaServices& media;
  Dispatch& dispatch;
  BundleServices& bundles;
  NSFileManager& fileManager;
  OSLog& log;
  RunLoop& runLoop;
};

}  // namespace kolv
