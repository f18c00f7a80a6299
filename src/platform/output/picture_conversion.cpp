#include "platform/output/picture_conversion.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "handoff/surface_layout.h"

namespace kolv::output {
namespace {

constexpr std::size_t kTargetBytesPerPixel = 4;

// Where the converted rectangle comes from and goes to, in pixels.
struct Placement {
  std::size_t sourceLeft = 0;
  std::size_t sourceTop = 0;
  std::size_t targetLeft = 0;
  std::size_t targetTop = 0;
  std::size_t columns = 0;
  std::size_t rows = 0;
};

// Centres the smaller picture in the larger one across and down, independently. A cropped
// source starts on a whole chroma sample: an even column for subsampled formats, an even row
// for 4:2:0.
Placement place(const SourcePicture& source, const TargetPicture& target, std::size_t columnStep, std::size_t rowStep) {
  Placement placement;
  placement.columns = std::min(source.width, target.width);
  placement.rows = std::min(source.height, target.height);
  placement.sourceLeft = (source.width - placement.columns) / 2 / columnStep * columnStep;
  placement.sourceTop = (source.height - placement.rows) / 2 / rowStep * rowStep;
  placement.targetLeft = (target.width - placement.columns) / 2;
  placement.targetTop = (target.height - placement.rows) / 2;
  return placement;
}

// Sets every byte of the target outside the placed rectangle to 0x40, row padding included.
void fillAround(const TargetPicture& target, const Placement& placement) {
  const auto fill = [](std::byte* at, std::size_t count) {
    if (count > 0) std::memset(at, static_cast<int>(kBlankByte), count);
  };
  const std::size_t left = placement.targetLeft * kTargetBytesPerPixel;
  const std::size_t right = left + placement.columns * kTargetBytesPerPixel;
  fill(target.data, placement.targetTop * target.bytesPerRow);
  for (std::size_t row = placement.targetTop; row < placement.targetTop + placement.rows; ++row) {
    std::byte* line = target.data + row * target.bytesPerRow;
    fill(line, left);
    fill(line + right, target.bytesPerRow - right);
  }
  const std::size_t below = placement.targetTop + placement.rows;
  fill(target.data + below * target.bytesPerRow, (target.height - below) * target.bytesPerRow);
}

}  // namespace

bool canConvertToBGRA(std::uint32_t pixelFormat) {
  return pixelFormat != 0 && surfaceFormatKind(pixelFormat) != SurfaceFormatKind::kOther;
}

bool convertToBGRA(const SourcePicture& source, std::uint32_t pixelFormat, const TargetPicture& target) {
  if (!canConvertToBGRA(pixelFormat) || !source.data || !target.data) return false;
  if (target.bytesPerRow < target.width * kTargetBytesPerPixel || target.bytesPerRow > INT_MAX) return false;
  if (source.width > kMaxSurfaceDimension || source.height > kMaxSurfaceDimension || source.bytesPerRow > INT_MAX)
    return false;
  const SurfacePlanes planes =
      surfacePlanes(static_cast<std::uint32_t>(source.width), static_cast<std::uint32_t>(source.height), pixelFormat,
                    static_cast<std::uint32_t>(source.bytesPerRow));
  if (planes.count == 0) return false;

  const SurfaceFormatKind kind = surfaceFormatKind(pixelFormat);
  const bool subsampled = kind == SurfaceFormatKind::kNV12 || kind == SurfaceFormatKind::kI420 ||
                          kind == SurfaceFormatKind::kYUY2 || kind == SurfaceFormatKind::kUYVY;
  const bool halfHeight = kind == SurfaceFormatKind::kNV12 || kind == SurfaceFormatKind::kI420;
  const Placement placement = place(source, target, subsampled ? 2 : 1, halfHeight ? 2 : 1);
  fillAround(target, placement);
  if (placement.columns == 0 || placement.rows == 0) return true;

  // Plane `plane`, row `row`, byte `byte` of the source.
  const auto in = [&](std::size_t plane, std::size_t row, std::size_t byte) {
    const SurfacePlane& p = planes.planes[plane];
    return reinterpret_cast<const std::uint8_t*>(source.data) + p.offset + row * p.bytesPerRow + byte;
  };
  const auto stride = [&](std::size_t plane) { return static_cast<int>(planes.planes[plane].bytesPerRow); };
  auto* out = reinterpret_cast<std::uint8_t*>(target.data + placement.targetTop * target.bytesPerRow +
                                              placement.targetLeft * kTargetBytesPerPixel);
  const int outStride = static_cast<int>(target.bytesPerRow);
  const int width = static_cast<int>(placement.columns);
  const int height = static_cast<int>(placement.rows);
  const std::size_t top = placement.sourceTop;
  const std::size_t left = placement.sourceLeft;

  // libyuv names formats by their 32-bit little-endian word: its "ARGB" is B, G, R, A in
  // memory, which is 'BGRA'; its "ABGR" is 'RGBA', its "BGRA" is 'ARGB', its "RGBA" is 'ABGR'.
  int result = -1;
  switch (kind) {
    case SurfaceFormatKind::kBGRA:
      result = libyuv::ARGBCopy(in(0, top, left * 4), stride(0), out, outStride, width, height);
      break;
    case SurfaceFormatKind::kRGBA:
      result = libyuv::ABGRToARGB(in(0, top, left * 4), stride(0), out, outStride, width, height);
      break;
    case SurfaceFormatKind::kARGB:
      result = libyuv::BGRAToARGB(in(0, top, left * 4), stride(0), out, outStride, width, height);
      break;
    case SurfaceFormatKind::kABGR:
      result = libyuv::RGBAToARGB(in(0, top, left * 4), stride(0), out, outStride, width, height);
      break;
    case SurfaceFormatKind::kYUY2:
      result = libyuv::YUY2ToARGB(in(0, top, left * 2), stride(0), out, outStride, width, height);
      break;
    case SurfaceFormatKind::kUYVY:
      result = libyuv::UYVYToARGB(in(0, top, left * 2), stride(0), out, outStride, width, height);
      break;
    case SurfaceFormatKind::kNV12:
      result = libyuv::NV12ToARGB(in(0, top, left), stride(0), in(1, top / 2, left), stride(1), out, outStride, width,
                                  height);
      break;
    case SurfaceFormatKind::kI420:
      result = libyuv::I420ToARGB(in(0, top, left), stride(0), in(1, top / 2, left / 2), stride(1),
                                  in(2, top / 2, left / 2), stride(2), out, outStride, width, height);
      break;
    case SurfaceFormatKind::kOther:
      break;
  }
  return result == 0;
}

}  // namespace kolv::output
