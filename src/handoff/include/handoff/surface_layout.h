// The pixel formats a shared surface may carry and where their planes lie in its pixel data.
// The one place that decides how many bytes a picture of a given geometry takes: the header
// checks, the lookup's file-size check and the camera host's conversions all ask here.
// docs/surface-format.md describes the same layouts. Pure functions, safe on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kolv/pixel_formats.h"

namespace kolv {

// Four-character codes, first letter in the most significant byte; the installed
// kolv/pixel_formats.h is where companions find them.
inline constexpr std::uint32_t kSurfacePixelFormatBGRA = KOLV_PIXEL_FORMAT_BGRA;
inline constexpr std::uint32_t kSurfacePixelFormatRGBA = KOLV_PIXEL_FORMAT_RGBA;
inline constexpr std::uint32_t kSurfacePixelFormatARGB = KOLV_PIXEL_FORMAT_ARGB;
inline constexpr std::uint32_t kSurfacePixelFormatABGR = KOLV_PIXEL_FORMAT_ABGR;
inline constexpr std::uint32_t kSurfacePixelFormatNV12 = KOLV_PIXEL_FORMAT_NV12;
inline constexpr std::uint32_t kSurfacePixelFormatI420 = KOLV_PIXEL_FORMAT_I420;
inline constexpr std::uint32_t kSurfacePixelFormatYUY2 = KOLV_PIXEL_FORMAT_YUY2;
inline constexpr std::uint32_t kSurfacePixelFormatUYVY = KOLV_PIXEL_FORMAT_UYVY;

inline constexpr std::uint32_t kMaxSurfaceDimension = 16384;

// What a pixel format code stands for. Several codes name the same layout ('yuvs' is 'YUY2',
// '2vuy' is 'UYVY', '420v' is 'NV12', 'y420' is 'I420', 0x00000020 is 'ARGB').
enum class SurfaceFormatKind {
  kBGRA,   // packed, 4 bytes a pixel: B, G, R, A
  kRGBA,   // R, G, B, A
  kARGB,   // A, R, G, B
  kABGR,   // A, B, G, R
  kNV12,   // 4:2:0, a Y plane, then one plane of interleaved U, V pairs
  kI420,   // 4:2:0, a Y plane, then a U plane, then a V plane
  kYUY2,   // 4:2:2 packed, two pixels in 4 bytes: Y0, U, Y1, V
  kUYVY,   // U, Y0, V, Y1
  kOther,  // any other nonzero code: one plane of at least 1 byte a pixel, never shown
};

SurfaceFormatKind surfaceFormatKind(std::uint32_t pixelFormat);

// One plane of a picture: `rows` rows of `bytesPerRow` bytes from `offset` on, each row
// holding `rowBytes` bytes of pixels.
struct SurfacePlane {
  std::uint64_t offset = 0;
  std::uint64_t bytesPerRow = 0;
  std::uint64_t rows = 0;
  std::uint64_t rowBytes = 0;
};

struct SurfacePlanes {
  std::array<SurfacePlane, 3> planes{};
  std::size_t count = 0;
  std::uint64_t size = 0;  // bytes from the first plane's start to the last one's end
};

// The planes of a picture of this geometry; count 0 when the geometry is unusable: a size or
// format of zero, a size above 16384, or rows too short for `width` pixels.
SurfacePlanes surfacePlanes(std::uint32_t width, std::uint32_t height, std::uint32_t pixelFormat,
                            std::uint32_t bytesPerRow);

// The smallest bytes per row for which surfacePlanes() accepts `width` pixels of the format;
// 0 when the width or format is unusable.
std::uint32_t minimumBytesPerRow(std::uint32_t width, std::uint32_t pixelFormat);

}  // namespace kolv
