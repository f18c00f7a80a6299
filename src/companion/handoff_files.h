// The two hand-off files byte by byte, and replacing a file in one step.
// Thread-safety: free functions without state; safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace kolv::companion {

// The surface-ID file: the ID as 4 bytes, little-endian.
std::array<std::byte, 4> encodeSurfaceID(std::uint32_t surfaceID);
// The frame-metadata file: an IEEE 754 double as 8 bytes, little-endian.
std::array<std::byte, 8> encodeTimestamp(double timestamp);
// The timestamp held by exactly 8 bytes; empty for any other length.
std::optional<double> decodeTimestamp(std::span<const std::byte> bytes);

// Writes `bytes` to a new temporary file in `folder`, then renames it to `name`, so that a
// reader opens either the old file or the new one, whole. 0 on success; on failure the
// errno value, with the reason in `reason`; the temporary file is then gone and the old
// file untouched.
int replaceFile(const std::filesystem::path& folder, const std::string& name, std::span<const std::byte> bytes,
                std::string& reason);
// The whole content of a small regular file; empty when missing, unreadable or longer
// than `maxLength`.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t maxLength);

}  // namespace kolv::companion
