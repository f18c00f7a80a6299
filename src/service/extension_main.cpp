#include "service/extension_main.h"

#include "service/kolv_camera_provider_source.h"

namespace kolv {

namespace {
// Keeps the provider source, and with it the whole camera, alive while the process runs.
std::shared_ptr<kolvCameraProviderSource> gProviderSource;
}  // namespace

int kolvCameraExtensionMain(const Platform& platform) {
  gProviderSource = kolvCameraProviderSource::initWithClientQueue(platform, nullptr);
  CMIOExtensionProvider::startServiceWithProvider(gProviderSource->provider());
  platform.runLoop.run();
  // The process is ending: release the camera while the platform it runs on still exists.
  gProviderSource.reset();
  return 0;
}

}  // namespace kolv
