#include "platform/cmio.h"

namespace kolv {

// ---- Properties ------------------------------------------------------------------------

const CMIOExtensionPropertyValue* CMIOExtensionProperties::value(const CMIOExtensionProperty& key) const {
  auto it = dictionary_.find(key);
  return it == dictionary_.end() ? nullptr : &it->second.value;
}

void CMIOExtensionProperties::setValue(const CMIOExtensionProperty& key,
                                       std::optional<CMIOExtensionPropertyValue> value) {
  if (value) {
    dictionary_.insert_or_assign(key, CMIOExtensionPropertyState{std::move(*value)});
  } else {
    dictionary_.erase(key);
  }
}

std::optional<std::string> CMIOExtensionProperties::stringValue(const CMIOExtensionProperty& key) const {
  const auto* v = value(key);
  if (const auto* s = v ? std::get_if<std::string>(v) : nullptr) return *s;
  return std::nullopt;
}

std::optional<std::int64_t> CMIOExtensionProperties::integerValue(const CMIOExtensionProperty& key) const {
  const auto* v = value(key);
  if (const auto* i = v ? std::get_if<std::int64_t>(v) : nullptr) return *i;
  return std::nullopt;
}

std::optional<CMTime> CMIOExtensionProperties::timeValue(const CMIOExtensionProperty& key) const {
  const auto* v = value(key);
  if (const auto* t = v ? std::get_if<CMTime>(v) : nullptr) return *t;
  return std::nullopt;
}

template <class T>
static std::optional<CMIOExtensionPropertyValue> wrap(std::optional<T> value) {
  if (!value) return std::nullopt;
  return CMIOExtensionPropertyValue{std::move(*value)};
}

std::shared_ptr<CMIOExtensionProviderProperties> CMIOExtensionProviderProperties::initWithDictionary(
    CMIOExtensionPropertyDictionary d) {
  return std::make_shared<CMIOExtensionProviderProperties>(std::move(d));
}
void CMIOExtensionProviderProperties::setManufacturer(std::optional<std::string> manufacturer) {
  setValue(CMIOExtensionPropertyProviderManufacturer, wrap(std::move(manufacturer)));
}
std::optional<std::string> CMIOExtensionProviderProperties::manufacturer() const {
  return stringValue(CMIOExtensionPropertyProviderManufacturer);
}

std::shared_ptr<CMIOExtensionDeviceProperties> CMIOExtensionDeviceProperties::initWithDictionary(
    CMIOExtensionPropertyDictionary d) {
  return std::make_shared<CMIOExtensionDeviceProperties>(std::move(d));
}
void CMIOExtensionDeviceProperties::setModel(std::optional<std::string> model) {
  setValue(CMIOExtensionPropertyDeviceModel, wrap(std::move(model)));
}
std::optional<std::string> CMIOExtensionDeviceProperties::model() const {
  return stringValue(CMIOExtensionPropertyDeviceModel);
}
void CMIOExtensionDeviceProperties::setTransportType(std::optional<std::int64_t> transportType) {
  setValue(CMIOExtensionPropertyDeviceTransportType, wrap(transportType));
}
std::optional<std::int64_t> CMIOExtensionDeviceProperties::transportType() const {
  return integerValue(CMIOExtensionPropertyDeviceTransportType);
}

std::shared_ptr<CMIOExtensionStreamProperties> CMIOExtensionStreamProperties::initWithDictionary(
    CMIOExtensionPropertyDictionary d) {
  return std::make_shared<CMIOExtensionStreamProperties>(std::move(d));
}
void CMIOExtensionStreamProperties::setActiveFormatIndex(std::optional<std::int64_t> index) {
  setValue(CMIOExtensionPropertyStreamActiveFormatIndex, wrap(index));
}
std::optional<std::int64_t> CMIOExtensionStreamProperties::activeFormatIndex() const {
  return integerValue(CMIOExtensionPropertyStreamActiveFormatIndex);
}
void CMIOExtensionStreamProperties::setFrameDuration(std::optional<CMTime> duration) {
  setValue(CMIOExtensionPropertyStreamFrameDuration, wrap(duration));
}
std::optional<CMTime> CMIOExtensionStreamProperties::frameDuration() const {
  return timeValue(CMIOExtensionPropertyStreamFrameDuration);
}

// ---- Objects ---------------------------------------------------------------------------

std::shared_ptr<const CMIOExtensionStreamFormat> CMIOExtensionStreamFormat::streamFormatWithFormatDescription(
    CMFormatDescriptionRef formatDescription, CMTime maxFrameDuration, CMTime minFrameDuration,
    std::optional<std::vector<CMTime>> validFrameDurations) {
  auto format = std::shared_ptr<CMIOExtensionStreamFormat>(new CMIOExtensionStreamFormat());
  format->formatDescription_ = std::move(formatDescription);
  format->maxFrameDuration_ = maxFrameDuration;
  format->minFrameDuration_ = minFrameDuration;
  format->validFrameDurations_ = std::move(validFrameDurations);
  return format;
}

std::shared_ptr<CMIOExtensionStream> CMIOExtensionStream::initWithLocalizedName(
    CameraHost& host, std::string localizedName, NSUUID streamID, CMIOExtensionStreamDirection direction,
    CMIOExtensionStreamClockType clockType, std::weak_ptr<CMIOExtensionStreamSource> source) {
  auto stream = std::shared_ptr<CMIOExtensionStream>(new CMIOExtensionStream(host));
  stream->localizedName_ = std::move(localizedName);
  stream->streamID_ = streamID;
  stream->direction_ = direction;
  stream->clockType_ = clockType;
  stream->source_ = std::move(source);
  return stream;
}

void CMIOExtensionStream::sendSampleBuffer(const CMSampleBufferRef& sampleBuffer,
                                           CMIOExtensionStreamDiscontinuityFlags discontinuity,
                                           std::uint64_t hostTimeInNanoseconds) {
  host_.sendSampleBuffer(*this, sampleBuffer, discontinuity, hostTimeInNanoseconds);
}

std::shared_ptr<CMIOExtensionDevice> CMIOExtensionDevice::initWithLocalizedName(
    CameraHost& host, std::string localizedName, NSUUID deviceID, std::optional<std::string> legacyDeviceID,
    std::weak_ptr<CMIOExtensionDeviceSource> source) {
  auto device = std::shared_ptr<CMIOExtensionDevice>(new CMIOExtensionDevice(host));
  device->localizedName_ = std::move(localizedName);
  device->deviceID_ = deviceID;
  device->legacyDeviceID_ = std::move(legacyDeviceID);
  device->source_ = std::move(source);
  return device;
}

bool CMIOExtensionDevice::addStream(const std::shared_ptr<CMIOExtensionStream>& stream, NSErrorOut error) {
  if (!host_.addStream(*this, stream, error)) return false;
  std::lock_guard lock(mutex_);
  streams_.push_back(stream);
  return true;
}

std::vector<std::shared_ptr<CMIOExtensionStream>> CMIOExtensionDevice::streams() const {
  std::lock_guard lock(mutex_);
  return streams_;
}

std::shared_ptr<CMIOExtensionProvider> CMIOExtensionProvider::initWithSource(
    CameraHost& host, std::weak_ptr<CMIOExtensionProviderSource> source, DispatchQueueRef clientQueue) {
  auto provider = std::shared_ptr<CMIOExtensionProvider>(new CMIOExtensionProvider(host));
  provider->source_ = std::move(source);
  provider->clientQueue_ = std::move(clientQueue);
  return provider;
}

void CMIOExtensionProvider::startServiceWithProvider(const std::shared_ptr<CMIOExtensionProvider>& provider) {
  provider->host_.startService(provider);
}

bool CMIOExtensionProvider::addDevice(const std::shared_ptr<CMIOExtensionDevice>& device, NSErrorOut error) {
  if (!host_.addDevice(*this, device, error)) return false;
  std::lock_guard lock(mutex_);
  devices_.push_back(device);
  return true;
}

std::vector<std::shared_ptr<CMIOExtensionDevice>> CMIOExtensionProvider::devices() const {
  std::lock_guard lock(mutex_);
  return devices_;
}

}  // namespace kolv
