// Every test double wired into one Platform, for tests of the camera's own logic.
// Thread: test thread only.
#pragma once

#include "platform/platform.h"
#include "support/fake_foundation.h"
#include "support/fake_media.h"
#include "support/manual_dispatch.h"
#include "support/recording_host.h"

namespace kolv::test {

struct TestPlatform {
  ManualClock clock;
  ManualDispatch dispatch{clock};
  FakeMediaServices media{clock};
  RecordingHost host;
  FakeBundleServices bundles;
  FakeFileManager files;
  CapturingLog log;
  FakeRunLoop runLoop;
  Platform platform{host, media, dispatch, bundles, files, log, runLoop};

  // Publishes a surface and points the hand-off files at it, as the companion does.
  std::shared_ptr<FakeSurface> publish(IOSurfaceID id, double timestamp, const std::string& group);
  void setTimestamp(double timestamp, const std::string& group);
};

}  // namespace kolv::test
