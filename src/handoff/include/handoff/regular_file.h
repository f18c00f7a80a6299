// Bounded reads of small files, as both sides read the hand-off files: never more than asked
// for, and never blocked by a FIFO or device in a file's place.
// Thread-safety: a plain function; any thread.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <vector>

namespace kolv::handoff {

// At most `maxLength` bytes of the regular file at `path`; empty when it cannot be opened or is
// not a regular file. Never blocks on a FIFO or device, and never reads more than asked for.
std::optional<std::vector<std::byte>> readRegularFile(const std::filesystem::path& path, std::size_t maxLength);

}  // namespace kolv::handoff
