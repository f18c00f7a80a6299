// The byte order of both hand-off files: little-endian, whatever the machine's.
// Thread-safety: plain functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kolv::handoff {

// The unsigned value of up to 8 bytes, least significant first.
inline std::uint64_t littleEndianValue(std::span<const std::byte> bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | std::to_integer<std::uint64_t>(bytes[i]);
  return value;
}

}  // namespace kolv::handoff
