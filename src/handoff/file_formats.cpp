#include "handoff/file_formats.h"

#include <bit>

namespace kolv::handoff {
namespace {

template <std::size_t N>
std::array<std::byte, N> littleEndianBytes(std::uint64_t value) {
  std::array<std::byte, N> bytes{};
  for (std::size_t i = 0; i < N; ++i) bytes[i] = static_cast<std::byte>(value >> (8 * i));
  return bytes;
}

std::uint64_t littleEndianValue(std::span<const std::byte> bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | std::to_integer<std::uint64_t>(bytes[i]);
  return value;
}

}  // namespace

std::array<std::byte, kSurfaceIDFileLength> encodeSurfaceID(std::uint32_t surfaceID) {
  return littleEndianBytes<kSurfaceIDFileLength>(surfaceID);
}

std::optional<std::uint32_t> decodeSurfaceID(std::span<const std::byte> bytes) {
  if (bytes.size() != kSurfaceIDFileLength) return std::nullopt;
  return static_cast<std::uint32_t>(littleEndianValue(bytes));
}

std::array<std::byte, kFrameMetadataFileLength> encodeTimestamp(double timestamp) {
  return littleEndianBytes<kFrameMetadataFileLength>(std::bit_cast<std::uint64_t>(timestamp));
}

std::optional<double> decodeTimestamp(std::span<const std::byte> bytes) {
  if (bytes.size() != kFrameMetadataFileLength) return std::nullopt;
  return std::bit_cast<double>(littleEndianValue(bytes));
}

}  // namespace kolv::handoff
