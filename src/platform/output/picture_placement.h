// Copying a camera picture into an output's buffer whose size may differ: the picture is
// centred, cropped where it is larger and surrounded by 0x40 bytes where it is smaller; and
// the grey frame (every byte 0x40) that an output sends when it has nothing to show.
// Pure functions, safe on any thread.
#pragma once

#include <cstddef>

#include "platform/types.h"

namespace kolv::output {

inline constexpr std::byte kBlankByte{0x40};

struct SourcePicture {
  const std::byte* data = nullptr;
  std::size_t width = 0;  // pixels
  std::size_t height = 0;
  std::size_t bytesPerRow = 0;
};

struct TargetPicture {
  std::byte* data = nullptr;
  std::size_t width = 0;  // pixels
  std::size_t height = 0;
  std::size_t bytesPerRow = 0;
};

// Fills every byte of the target's rows, row padding included. Horizontal offsets are kept
// to multiples of 4 bytes so that two-pixel groups of 4:2:2 formats stay whole. Returns false,
// writing nothing, when either picture has no memory or rows shorter than its width.
bool placePicture(const SourcePicture& source, const TargetPicture& target, std::size_t bytesPerPixel);

// Sets every byte of the target's rows, row padding included, to 0x40.
void fillGrey(const TargetPicture& target);

// Bytes per pixel of the packed formats an output may carry: 4 for 'BGRA', 'RGBA', 'ABGR' and
// 32ARGB, 2 for '2vuy' (UYVY) and 'yuvs' (YUY2); 0 for any other.
std::size_t packedBytesPerPixel(OSType pixelFormat);

}  // namespace kolv::output
