#include "stream/kolv_camera_stream_source.h"

#include "device/kolv_camera_device_source.h"
#include "device/property_routines.h"

namespace kolv {

namespace {

// Finds the device source behind `device`, or fills `error` and returns nothing.
std::shared_ptr<kolvCameraDeviceSource> deviceSourceOf(const CMIOExtensionDevice& device, NSErrorOut error) {
  auto deviceSource = std::dynamic_pointer_cast<kolvCameraDeviceSource>(device.source());
  if (!deviceSource && error) {
    *error = NSError::errorWithDomain(kKolvCameraErrorDomain, -1,
                                      {{std::string(NSLocalizedDescriptionKey), "Invalid device source"}});
  }
  return deviceSource;
}

}  // namespace

kolvCameraStreamSource::kolvCameraStreamSource(std::shared_ptr<const CMIOExtensionStreamFormat> streamFormat,
                                               std::shared_ptr<CMIOExtensionDevice> device)
    : device_(std::move(device)), _streamFormat(std::move(streamFormat)) {}

std::shared_ptr<kolvCameraStreamSource> kolvCameraStreamSource::initWithLocalizedName(
    const Platform& platform, std::string localizedName, NSUUID streamID,
    std::shared_ptr<const CMIOExtensionStreamFormat> streamFormat, std::shared_ptr<CMIOExtensionDevice> device) {
  auto source = std::shared_ptr<kolvCameraStreamSource>(
      new kolvCameraStreamSource(std::move(streamFormat), std::move(device)));
  source->stream_ = CMIOExtensionStream::initWithLocalizedName(
      platform.host, std::move(localizedName), streamID, CMIOExtensionStreamDirection::source,
      CMIOExtensionStreamClockType::hostTime, source->weak_from_this());
  return source;
}

std::vector<std::shared_ptr<const CMIOExtensionStreamFormat>> kolvCameraStreamSource::formats() const {
  return {_streamFormat};
}

CMIOExtensionPropertySet kolvCameraStreamSource::availableProperties() const {
  return availablePropertiesWithKeys(CMIOExtensionPropertyStreamActiveFormatIndex,
                                     CMIOExtensionPropertyStreamFrameDuration);
}

std::shared_ptr<CMIOExtensionStreamProperties> kolvCameraStreamSource::streamPropertiesForProperties(
    const CMIOExtensionPropertySet& properties, NSErrorOut /*error*/) {
  return propertiesForProperties(properties, [](const CMIOExtensionPropertySet& keys) {
    auto streamProperties = CMIOExtensionStreamProperties::initWithDictionary({});
    // There is one format, so the active index is always 0.
    if (keys.contains(CMIOExtensionPropertyStreamActiveFormatIndex)) streamProperties->setActiveFormatIndex(0);
    if (keys.contains(CMIOExtensionPropertyStreamFrameDuration)) streamProperties->setFrameDuration(kFrameDuration);
    return streamProperties;
  });
}

bool kolvCameraStreamSource::setStreamProperties(const CMIOExtensionStreamProperties& streamProperties,
                                                 NSErrorOut /*error*/) {
  if (auto index = streamProperties.activeFormatIndex()) activeFormatIndex_.store(*index, std::memory_order_relaxed);
  return true;
}

bool kolvCameraStreamSource::authorizedToStartStreamForClient(const CMIOExtensionClient& /*client*/) { return true; }

bool kolvCameraStreamSource::startStreamAndReturnError(NSErrorOut error) {
  auto deviceSource = deviceSourceOf(*device_, error);
  if (!deviceSource) return false;
  deviceSource->startStreaming();
  return true;
}

bool kolvCameraStreamSource::stopStreamAndReturnError(NSErrorOut error) {
  auto deviceSource = deviceSourceOf(*device_, error);
  if (!deviceSource) return false;
  deviceSource->stopStreaming();
  return true;
}

}  // namespace kolv
