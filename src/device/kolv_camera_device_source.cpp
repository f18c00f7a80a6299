#include "device/kolv_camera_device_source.h"

#include <cstdlib>
#include <limits>

#include "device/property_routines.h"
#include "stream/kolv_camera_stream_source.h"

namespace kolv {

namespace {
constexpr double kFrameIntervalSeconds = 1.0 / 30.0;
constexpr std::chrono::nanoseconds kTimerLeeway = std::chrono::milliseconds(1);
}  // namespace

kolvCameraDeviceSource::kolvCameraDeviceSource(const Platform& platform)
    : platform_(platform),
      _timerQueue(platform.dispatch.makeQueue(kTimerQueueLabel, DispatchQoS::userInteractive)),
      frameReader_(std::make_unique<SharedFrameReader>(platform)) {}

std::shared_ptr<kolvCameraDeviceSource> kolvCameraDeviceSource::initWithLocalizedName(const Platform& platform,
                                                                                      std::string localizedName) {
  auto source = std::shared_ptr<kolvCameraDeviceSource>(new kolvCameraDeviceSource(platform));
  source->init(std::move(localizedName));
  return source;
}

void kolvCameraDeviceSource::init(std::string localizedName) {
  MediaServices& media = platform_.media;

  const NSUUID deviceID = NSUUID::UUID();
  device_ = CMIOExtensionDevice::initWithLocalizedName(platform_.host, std::move(localizedName), deviceID,
                                                       std::nullopt, weak_from_this());

  _videoDescription = media.CMVideoFormatDescriptionCreate(kCVPixelFormatType_32BGRA, kFrameWidth, kFrameHeight,
                                                           nullptr).value;
  if (!_videoDescription) {
    // The description comes from constants; without it there is no format to offer, and
    // the camera cannot run at all.
    os_log_error(platform_.log, "No format description for %s %dx%d", fourCCString(kCVPixelFormatType_32BGRA).c_str(),
                 kFrameWidth, kFrameHeight);
    std::abort();
  }

  const auto pixelBufferAttributes = std::make_shared<const CFDictionary>(CFDictionary{
      {std::string(kCVPixelBufferWidthKey), std::int32_t{kFrameWidth}},
      {std::string(kCVPixelBufferHeightKey), std::int32_t{kFrameHeight}},
      {std::string(kCVPixelBufferPixelFormatTypeKey),
       static_cast<std::int32_t>(CMFormatDescriptionGetMediaSubType(_videoDescription))},
      {std::string(kCVPixelBufferIOSurfacePropertiesKey), std::make_shared<const CFDictionary>()},
  });
  _bufferPool = media.CVPixelBufferPoolCreate(nullptr, pixelBufferAttributes).value;

  auto streamFormat = CMIOExtensionStreamFormat::streamFormatWithFormatDescription(
      _videoDescription, kFrameDuration, kFrameDuration, std::nullopt);

  _bufferAuxAttributes = std::make_shared<const CFDictionary>(CFDictionary{
      {std::string(kCVPixelBufferPoolAllocationThresholdKey), std::int64_t{kPoolAllocationThreshold}},
  });

  const NSUUID streamID = NSUUID::UUID();
  _streamSource = kolvCameraStreamSource::initWithLocalizedName(platform_, kStreamLocalizedName, streamID,
                                                                std::move(streamFormat), device_);

  std::optional<NSError> error;
  if (!device_->addStream(_streamSource->stream(), &error)) {
    const std::string description = error ? error->localizedDescription() : std::string();
    os_log_error(platform_.log, "Failed to add stream: %s", description.c_str());
  }
}

// ---- Properties ------------------------------------------------------------------------

CMIOExtensionPropertySet kolvCameraDeviceSource::availableProperties() const {
  return availablePropertiesWithKeys(CMIOExtensionPropertyDeviceTransportType, CMIOExtensionPropertyDeviceModel);
}

std::shared_ptr<CMIOExtensionDeviceProperties> kolvCameraDeviceSource::devicePropertiesForProperties(
    const CMIOExtensionPropertySet& properties, NSErrorOut /*error*/) {
  return propertiesForProperties(properties, [](const CMIOExtensionPropertySet& keys) {
    auto deviceProperties = CMIOExtensionDeviceProperties::initWithDictionary({});
    if (keys.contains(CMIOExtensionPropertyDeviceTransportType)) {
      deviceProperties->setTransportType(kTransportTypeVirtual);
    }
    if (keys.contains(CMIOExtensionPropertyDeviceModel)) deviceProperties->setModel(kDeviceModel);
    return deviceProperties;
  });
}

bool kolvCameraDeviceSource::setDeviceProperties(const CMIOExtensionDeviceProperties& /*deviceProperties*/,
                                                 NSErrorOut /*error*/) {
  return true;
}

// ---- Streaming control -----------------------------------------------------------------

void kolvCameraDeviceSource::startStreaming() {
  if (!_bufferPool) return;
  std::lock_guard lock(_streamingMutex);
  // Saturates: a count that wrapped to 0 would stop the frames of every open request.
  if (_streamingCounter == std::numeric_limits<std::uint32_t>::max()) return;
  if (++_streamingCounter != 1) return;

  _timer = platform_.dispatch.makeTimerSource(DispatchTimerFlags::strict, _timerQueue);
  if (!_timer) return;
  _timer->schedule(DispatchTime::now(), kFrameIntervalSeconds, kTimerLeeway);
  _timer->setEventHandler([weakSelf = weak_from_this()] {
    if (auto self = weakSelf.lock()) self->deliverFrame();
  });
  _timer->resume();
}

void kolvCameraDeviceSource::stopStreaming() {
  std::lock_guard lock(_streamingMutex);
  if (_streamingCounter == 0) return;
  if (--_streamingCounter > 0) return;
  if (_timer) _timer->cancel();
  _timer.reset();
}

std::uint32_t kolvCameraDeviceSource::streamingCounter() const {
  std::lock_guard lock(_streamingMutex);
  return _streamingCounter;
}

DispatchSourceTimerRef kolvCameraDeviceSource::timer() const {
  std::lock_guard lock(_streamingMutex);
  return _timer;
}

}  // namespace kolv
