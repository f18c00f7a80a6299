#include "service/kolv_camera_provider_source.h"

#include "device/kolv_camera_device_source.h"

namespace kolv {

std::shared_ptr<kolvCameraProviderSource> kolvCameraProviderSource::initWithClientQueue(
    const Platform& platform, DispatchQueueRef clientQueue) {
  auto source = std::shared_ptr<kolvCameraProviderSource>(new kolvCameraProviderSource());
  source->provider_ =
      CMIOExtensionProvider::initWithSource(platform.host, source->weak_from_this(), std::move(clientQueue));
  source->deviceSource_ = kolvCameraDeviceSource::initWithLocalizedName(platform, kDeviceLocalizedName);

  std::optional<NSError> error;
  if (!source->provider_->addDevice(source->deviceSource_->device(), &error)) {
    const std::string description = error ? error->localizedDescription() : std::string();
    os_log_error(platform.log, "Failed to add device: %s", description.c_str());
  }
  return source;
}

bool kolvCameraProviderSource::connectClient(const CMIOExtensionClient& /*client*/, NSErrorOut /*error*/) {
  return true;
}

void kolvCameraProviderSource::disconnectClient(const CMIOExtensionClient& /*client*/) {}

std::shared_ptr<CMIOExtensionProviderProperties> kolvCameraProviderSource::providerPropertiesForProperties(
    const CMIOExtensionPropertySet& properties, NSErrorOut /*error*/) {
  auto providerProperties = CMIOExtensionProviderProperties::initWithDictionary({});
  if (properties.contains(CMIOExtensionPropertyProviderManufacturer)) providerProperties->setManufacturer(kManufacturer);
  return providerProperties;
}

bool kolvCameraProviderSource::setProviderProperties(const CMIOExtensionProviderProperties& /*providerProperties*/,
                                                     NSErrorOut /*error*/) {
  return true;
}

CMIOExtensionPropertySet kolvCameraProviderSource::availableProperties() const {
  return CMIOExtensionPropertySet{CMIOExtensionPropertyProviderManufacturer};
}

}  // namespace kolv
