// Converting pictures between pixel formats with libyuv, YUV always as BT.601 limited range:
// a camera picture of any surface format into a BGRA stream buffer (the other byte orders of
// RGBA by swizzling), placed like placePicture() places one: centred, cropped where it is
// larger, surrounded by 0x40 bytes where it is smaller; and a BGRA picture into an output's
// YUV buffer of the same size. An output's buffer of a planar format holds its planes one
// after another as a shared surface does (surfacePlanes()), the first plane's rows
// bytesPerRow apart. Pure functions, safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/output/picture_placement.h"

namespace kolv::output {

// Whether convertToBGRA() takes pictures of this format ('BGRA' itself included).
bool canConvertToBGRA(std::uint32_t pixelFormat);

// Writes `source`, of `pixelFormat` with its planes laid out as in a shared surface
// (surfacePlanes()), into the BGRA `target`: every byte of the target's rows once. Returns
// false, writing nothing, when the format cannot be converted, either picture has no memory,
// or a row is too short for its width.
bool convertToBGRA(const SourcePicture& source, std::uint32_t pixelFormat, const TargetPicture& target);

// Whether convertFromBGRA() writes this format: YUY2 ('yuvs'), UYVY ('2vuy'), NV12 ('420v')
// and I420 ('y420'), under any of their codes.
bool canConvertFromBGRA(std::uint32_t pixelFormat);

// Bytes of a picture of an output format (canConvertFromBGRA()'s or packedBytesPerPixel()'s)
// whose first plane's rows are `bytesPerRow` apart; 0 for another format or rows too short.
std::size_t pictureBytes(std::uint32_t pixelFormat, std::size_t width, std::size_t height, std::size_t bytesPerRow);

// Writes the BGRA `source` into `target` of `pixelFormat`, every byte of its planes' rows.
// False, writing nothing, when the sizes differ, the format is not one of
// canConvertFromBGRA()'s, either picture has no memory or a row is too short.
bool convertFromBGRA(const SourcePicture& source, const TargetPicture& target, std::uint32_t pixelFormat);

// Copies a picture of an output format into a target of the same size and format, plane by
// plane; false, writing nothing, when they differ or either has no memory or too short rows.
bool copyPicture(const SourcePicture& source, const TargetPicture& target, std::uint32_t pixelFormat);

}  // namespace kolv::output
