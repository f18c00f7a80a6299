#include "shared/shared_frame_reader.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

namespace kolv {
namespace {

constexpr std::size_t kSurfaceIDFileLength = 4;
constexpr std::size_t kFrameMetadataFileLength = 8;

// The file's bytes when it has exactly `length` of them. At most one byte more is read,
// so an oversized file costs no more than a correct one.
std::optional<std::vector<std::byte>> readExactly(const Platform& platform, const std::string& groupID,
                                                  const std::string& fileName, std::size_t length) {
  const auto container = platform.fileManager.containerURLForSecurityApplicationGroupIdentifier(groupID);
  if (!container) return std::nullopt;
  auto data = platform.fileManager.contentsAtPath(*container / fileName, length + 1);
  if (!data || data->size() != length) return std::nullopt;
  return data;
}

std::uint64_t littleEndian(const std::vector<std::byte>& bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | std::to_integer<std::uint64_t>(bytes[i]);
  return value;
}

}  // namespace

SharedFrameReader::SharedFrameReader(const Platform& platform)
    : platform_(platform),
      appGroupID_(resolveAppGroupID(platform)),
      surfaceIDFileName_(kSurfaceIDFileName),
      frameMetadataFileName_(kFrameMetadataFileName) {}

std::string SharedFrameReader::resolveAppGroupID(const Platform& platform) {
  if (auto value = platform.bundles.mainBundle()->objectForInfoDictionaryKey("AppGroupIdentifier")) {
    if (const std::string* group = value->string()) return *group;
  }
  if (auto value = platform.bundles.mainBundle()->objectForInfoDictionaryKey("com.apple.security.application-groups")) {
    if (const auto* groups = value->array(); groups && !groups->empty()) {
      const bool allStrings = std::all_of(groups->begin(), groups->end(), [](const InfoValue& v) { return v.string(); });
      if (allStrings) return *groups->front().string();
    }
  }
  return kFallbackAppGroupID;
}

void SharedFrameReader::refreshSurface() {
  const auto data = readExactly(platform_, appGroupID_, surfaceIDFileName_, kSurfaceIDFileLength);
  if (!data) return;
  const auto surfaceID = static_cast<std::uint32_t>(littleEndian(*data));
  if (surfaceID == lastSurfaceID_) return;
  lastSurfaceID_ = surfaceID;
  currentSurface_ = platform_.media.IOSurfaceLookup(surfaceID);
}

double SharedFrameReader::readFrameTimestamp() {
  const auto data = readExactly(platform_, appGroupID_, frameMetadataFileName_, kFrameMetadataFileLength);
  if (!data) return 0;
  return std::bit_cast<double>(littleEndian(*data));
}

CVPixelBufferRef SharedFrameReader::currentFrame() {
  refreshSurface();
  if (!currentSurface_) return nullptr;
  const double timestamp = readFrameTimestamp();
  // NaN compares false, so it is never newer. +inf would be newer than everything and then
  // nothing could follow it: a timestamp that is not finite is never handed out.
  if (!std::isfinite(timestamp) || !(timestamp > lastTimestamp_)) return nullptr;
  lastTimestamp_ = timestamp;
  auto [status, pixelBuffer] = platform_.media.CVPixelBufferCreateWithIOSurface(currentSurface_, nullptr);
  if (status != noErr || !pixelBuffer) return nullptr;
  return pixelBuffer;
}

}  // namespace kolv
