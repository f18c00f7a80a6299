// A PNG or JPEG file decoded and scaled with gdk-pixbuf to fit a picture size, for
// kolv-publish --image.
// Thread-safety: a free function without state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kolv::tools {

// The image at `path` as 'BGRA' rows of width * 4 bytes: scaled to fit width x height with
// its aspect kept, centred on black, transparent parts over black. Empty when the file is
// missing, is not a PNG or JPEG image, or cannot be decoded; `error` then says why.
std::optional<std::vector<std::byte>> loadFittedPicture(const std::filesystem::path& path, std::uint32_t width,
                                                        std::uint32_t height, std::string& error);

}  // namespace kolv::tools
