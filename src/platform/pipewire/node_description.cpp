#include "platform/pipewire/node_description.h"

#include <pipewire/keys.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

namespace kolv::pipewire {
namespace {

constexpr std::int64_t kTransportTypeVirtual = fourCC("virt");
// Below every V4L2 camera WirePlumber numbers (1000 - 10 x index), so a real camera stays
// the default one.
constexpr const char* kSessionPriority = "500";

template <class Source>
bool offers(const Source& source, const CMIOExtensionProperty& property) {
  return source.availableProperties().contains(property);
}

std::optional<std::string> manufacturerOf(const CMIOExtensionProvider& provider) {
  const auto source = provider.source();
  if (!source || !offers(*source, CMIOExtensionPropertyProviderManufacturer)) return std::nullopt;
  std::optional<NSError> error;
  const auto properties = source->providerPropertiesForProperties({CMIOExtensionPropertyProviderManufacturer}, &error);
  return properties ? properties->manufacturer() : std::nullopt;
}

struct DeviceFacts {
  std::optional<std::string> model;
  std::optional<std::int64_t> transportType;
};

DeviceFacts factsOf(const CMIOExtensionDevice& device) {
  const auto source = device.source();
  if (!source) return {};
  CMIOExtensionPropertySet wanted;
  for (const auto& key : {CMIOExtensionPropertyDeviceModel, CMIOExtensionPropertyDeviceTransportType}) {
    if (offers(*source, key)) wanted.insert(key);
  }
  if (wanted.empty()) return {};
  std::optional<NSError> error;
  const auto properties = source->devicePropertiesForProperties(wanted, &error);
  if (!properties) return {};
  return {properties->model(), properties->transportType()};
}

struct StreamFacts {
  std::optional<CMTime> frameDuration;
  std::optional<std::int64_t> activeFormatIndex;
};

StreamFacts factsOf(CMIOExtensionStreamSource& source) {
  CMIOExtensionPropertySet wanted;
  for (const auto& key : {CMIOExtensionPropertyStreamFrameDuration, CMIOExtensionPropertyStreamActiveFormatIndex}) {
    if (offers(source, key)) wanted.insert(key);
  }
  if (wanted.empty()) return {};
  std::optional<NSError> error;
  const auto properties = source.streamPropertiesForProperties(wanted, &error);
  if (!properties) return {};
  return {properties->frameDuration(), properties->activeFormatIndex()};
}

bool slower(const FrameRate& a, const FrameRate& b) {
  return std::uint64_t{a.num} * b.denom < std::uint64_t{b.num} * a.denom;
}

std::optional<VideoFormat> videoFormatOf(const CMIOExtensionStreamFormat& format, std::optional<CMTime> frameDuration,
                                         OSLog& log, const std::string& label, std::size_t index) {
  const auto& description = format.formatDescription();
  if (!description || description->mediaType != kCMMediaType_Video) {
    os_log_with_type(log, OSLogType::error, "%s: format %zu is not a video format; not published", label.c_str(),
                     index);
    return std::nullopt;
  }
  const auto pixelFormat = pixelFormatForCode(description->mediaSubType);
  if (!pixelFormat) {
    os_log_with_type(log, OSLogType::error, "%s: format %zu has pixel format '%s', which the host cannot publish",
                     label.c_str(), index, fourCCString(description->mediaSubType).c_str());
    return std::nullopt;
  }
  const auto [width, height] = description->dimensions;
  if (width <= 0 || height <= 0) {
    os_log_with_type(log, OSLogType::error, "%s: format %zu has no picture size (%dx%d); not published", label.c_str(),
                     index, width, height);
    return std::nullopt;
  }
  const auto maxRate = frameRateForDuration(format.minFrameDuration());
  if (!maxRate) {
    os_log_with_type(log, OSLogType::error, "%s: format %zu has no valid minimum frame duration; not published",
                     label.c_str(), index);
    return std::nullopt;
  }
  VideoFormat video;
  video.pixelFormat = *pixelFormat;
  video.width = static_cast<std::uint32_t>(width);
  video.height = static_cast<std::uint32_t>(height);
  video.maxFrameRate = *maxRate;
  video.minFrameRate = frameRateForDuration(format.maxFrameDuration()).value_or(*maxRate);
  if (slower(video.maxFrameRate, video.minFrameRate)) video.minFrameRate = video.maxFrameRate;
  if (const auto& durations = format.validFrameDurations()) {
    for (const auto& duration : *durations) {
      if (const auto rate = frameRateForDuration(duration)) video.frameRates.push_back(*rate);
    }
  }
  // The preferred rate: the stream's current frame duration when the format allows it,
  // otherwise the fastest one.
  video.frameRate = video.frameRates.empty() ? video.maxFrameRate : video.frameRates.front();
  if (const auto current = frameDuration ? frameRateForDuration(*frameDuration) : std::nullopt) {
    const bool inRange = !slower(*current, video.minFrameRate) && !slower(video.maxFrameRate, *current);
    const bool listed = video.frameRates.empty() ||
                        std::find(video.frameRates.begin(), video.frameRates.end(), *current) != video.frameRates.end();
    if (inRange && listed) video.frameRate = *current;
  }
  return video;
}

// Beside each of the camera's own 'BGRA' formats the node offers the same in these, converted
// once per frame, for consumers that take only YUV; at widths that are a multiple of 8 and even
// heights, where GStreamer lays a frame out as the node's buffers hold it (bufferLayoutFor()).
constexpr std::array kConvertedCodes{fourCC("yuvs"), fourCC("420v"), fourCC("y420")};

void addConvertedFormats(std::vector<VideoFormat>& formats) {
  const std::size_t own = formats.size();
  for (std::size_t i = 0; i < own; ++i) {
    const VideoFormat& bgra = formats[i];
    if (bgra.pixelFormat.code != kCVPixelFormatType_32BGRA || bgra.width % 8 != 0 || bgra.height % 2 != 0) continue;
    for (const OSType code : kConvertedCodes) {
      const bool offered = std::any_of(formats.begin(), formats.end(), [&](const VideoFormat& f) {
        return f.pixelFormat.code == code && f.width == bgra.width && f.height == bgra.height;
      });
      if (offered) continue;
      VideoFormat converted = formats[i];
      converted.pixelFormat = *pixelFormatForCode(code);
      formats.push_back(std::move(converted));
    }
  }
}

}  // namespace

std::string nodeNameFromDeviceName(std::string_view deviceName) {
  std::string name;
  bool separator = false;
  for (const char c : deviceName) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit) {
      separator = !name.empty();
      continue;
    }
    if (separator) name += '-';
    separator = false;
    name += letter ? static_cast<char>(c | 0x20) : c;
  }
  // A name of digits alone would be read as an object serial by consumers' target lookups.
  const bool allDigits = std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (name.empty()) return "camera";
  if (allDigits) return "camera-" + name;
  return name;
}

NodeDescription describeStream(const CMIOExtensionProvider& provider, const CMIOExtensionDevice& device,
                               const CMIOExtensionStream& stream, OSLog& log, bool yuvFormats) {
  NodeDescription node;
  node.nodeName = nodeNameFromDeviceName(device.localizedName());
  node.label = stream.localizedName().empty() ? device.localizedName() : stream.localizedName();

  const auto manufacturer = manufacturerOf(provider);
  const auto deviceFacts = factsOf(device);
  const std::string& description = !device.localizedName().empty() ? device.localizedName()
                                   : deviceFacts.model             ? *deviceFacts.model
                                                                   : node.label;

  auto& properties = node.properties;
  properties = {
      {PW_KEY_MEDIA_TYPE, "Video"},           {PW_KEY_MEDIA_CATEGORY, "Capture"},
      {PW_KEY_MEDIA_ROLE, "Camera"},          {PW_KEY_MEDIA_CLASS, "Video/Source"},
      {PW_KEY_NODE_DESCRIPTION, description}, {PW_KEY_PRIORITY_SESSION, kSessionPriority},
  };
  if (!stream.localizedName().empty()) properties.emplace_back(PW_KEY_NODE_NICK, stream.localizedName());
  if (manufacturer) properties.emplace_back(PW_KEY_DEVICE_VENDOR_NAME, *manufacturer);
  if (deviceFacts.model) properties.emplace_back(PW_KEY_DEVICE_PRODUCT_NAME, *deviceFacts.model);
  if (deviceFacts.transportType == kTransportTypeVirtual) properties.emplace_back(PW_KEY_NODE_VIRTUAL, "true");
  properties.emplace_back("kolv.device.id", device.deviceID().UUIDString());
  properties.emplace_back("kolv.stream.id", stream.streamID().UUIDString());

  const auto source = stream.source();
  if (!source) {
    os_log_with_type(log, OSLogType::error, "%s: the stream has no source; not published", node.label.c_str());
    return node;
  }
  const auto facts = factsOf(*source);
  const auto formats = source->formats();
  std::optional<VideoFormat> active;
  for (std::size_t index = 0; index < formats.size(); ++index) {
    if (!formats[index]) continue;
    auto video = videoFormatOf(*formats[index], facts.frameDuration, log, node.label, index);
    if (!video) continue;
    if (facts.activeFormatIndex && static_cast<std::size_t>(*facts.activeFormatIndex) == index) {
      active = std::move(video);
    } else {
      node.formats.push_back(std::move(*video));
    }
  }
  if (active) node.formats.insert(node.formats.begin(), std::move(*active));
  if (yuvFormats) addConvertedFormats(node.formats);
  if (node.formats.empty()) {
    os_log_with_type(log, OSLogType::error, "%s: the stream offers no format PipeWire can carry; not published",
                     node.label.c_str());
  }
  return node;
}

}  // namespace kolv::pipewire
