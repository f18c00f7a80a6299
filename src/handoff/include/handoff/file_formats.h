// The byte formats of the two hand-off files, little-endian whatever the machine's. The
// companion writes them with these, the camera's Linux checks read them with these; the
// camera's reader decodes them on its own.
// Thread-safety: plain functions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kolv::handoff {

inline constexpr std::size_t kSurfaceIDFileLength = 4;
inline constexpr std::size_t kFrameMetadataFileLength = 8;

// The surface-ID file: the ID as 4 bytes, little-endian.
std::array<std::byte, kSurfaceIDFileLength> encodeSurfaceID(std::uint32_t surfaceID);
// The ID held by exactly 4 bytes; empty for any other length.
std::optional<std::uint32_t> decodeSurfaceID(std::span<const std::byte> bytes);

// The frame-metadata file: an IEEE 754 double as 8 bytes, little-endian.
std::array<std::byte, kFrameMetadataFileLength> encodeTimestamp(double timestamp);
// The timestamp held by exactly 8 bytes; empty for any other length.
std::optional<double> decodeTimestamp(std::span<const std::byte> bytes);

}  // namespace kolv::handoff
