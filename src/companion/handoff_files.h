// Replacing a hand-off file in one step, and reading one back; the byte formats are
// src/handoff's (handoff/file_formats.h).
// Thread-safety: free functions without state; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "handoff/file_formats.h"

namespace kolv::companion {

using handoff::decodeTimestamp;
using handoff::encodeSurfaceID;
using handoff::encodeTimestamp;

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
