// Converting a camera picture of another pixel format into a BGRA stream buffer, with
// libyuv: YUV formats as BT.601 limited range, the other byte orders of RGBA by swizzling.
// The picture is placed like placePicture() places one: centred, cropped where it is larger,
// surrounded by 0x40 bytes where it is smaller. Pure functions, safe on any thread.
#pragma once

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

}  // namespace kolv::output
