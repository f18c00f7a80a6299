#include "platform/output/picture_conversion.h"

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>
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

namespace {

bool fromBGRA(SurfaceFormatKind kind) {
  return kind == SurfaceFormatKind::kYUY2 || kind == SurfaceFormatKind::kUYVY || kind == SurfaceFormatKind::kNV12 ||
         kind == SurfaceFormatKind::kI420;
}

// The planes of an output picture; count 0 for a format an output cannot carry.
SurfacePlanes outputPlanes(std::uint32_t pixelFormat, std::size_t width, std::size_t height, std::size_t bytesPerRow) {
  const bool packed = packedBytesPerPixel(pixelFormat) != 0;
  if ((!packed && !fromBGRA(surfaceFormatKind(pixelFormat))) || width > kMaxSurfaceDimension ||
      height > kMaxSurfaceDimension || bytesPerRow > INT_MAX) {
    return {};
  }
  return surfacePlanes(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), pixelFormat,
                       static_cast<std::uint32_t>(bytesPerRow));
}

}  // namespace

bool canConvertFromBGRA(std::uint32_t pixelFormat) { return fromBGRA(surfaceFormatKind(pixelFormat)); }

std::size_t pictureBytes(std::uint32_t pixelFormat, std::size_t width, std::size_t height, std::size_t bytesPerRow) {
  return static_cast<std::size_t>(outputPlanes(pixelFormat, width, height, bytesPerRow).size);
}

bool convertFromBGRA(const SourcePicture& source, const TargetPicture& target, std::uint32_t pixelFormat) {
  if (!canConvertFromBGRA(pixelFormat) || !source.data || !target.data) return false;
  if (source.width != target.width || source.height != target.height || source.bytesPerRow > INT_MAX) return false;
  if (source.bytesPerRow < source.width * kTargetBytesPerPixel) return false;
  const SurfacePlanes planes = outputPlanes(pixelFormat, target.width, target.height, target.bytesPerRow);
  if (planes.count == 0) return false;

  const auto* in = reinterpret_cast<const std::uint8_t*>(source.data);
  const int inStride = static_cast<int>(source.bytesPerRow);
  const auto out = [&](std::size_t plane) {
    return reinterpret_cast<std::uint8_t*>(target.data) + planes.planes[plane].offset;
  };
  const auto stride = [&](std::size_t plane) { return static_cast<int>(planes.planes[plane].bytesPerRow); };
  const int width = static_cast<int>(target.width);
  const int height = static_cast<int>(target.height);
  int result = -1;
  switch (surfaceFormatKind(pixelFormat)) {
    case SurfaceFormatKind::kYUY2:
      result = libyuv::ARGBToYUY2(in, inStride, out(0), stride(0), width, height);
      break;
    case SurfaceFormatKind::kUYVY:
      result = libyuv::ARGBToUYVY(in, inStride, out(0), stride(0), width, height);
      break;
    case SurfaceFormatKind::kNV12:
      result = libyuv::ARGBToNV12(in, inStride, out(0), stride(0), out(1), stride(1), width, height);
      break;
    case SurfaceFormatKind::kI420:
      result = libyuv::ARGBToI420(in, inStride, out(0), stride(0), out(1), stride(1), out(2), stride(2), width, height);
      break;
    default:
      break;
  }
  if (result != 0) return false;
  // Row padding too, so that no byte of an earlier frame stays in the buffer.
  for (std::size_t p = 0; p < planes.count; ++p) {
    const SurfacePlane& plane = planes.planes[p];
    if (plane.bytesPerRow == plane.rowBytes) continue;
    for (std::uint64_t row = 0; row < plane.rows; ++row) {
      std::memset(out(p) + row * plane.bytesPerRow + plane.rowBytes, static_cast<int>(kBlankByte),
                  plane.bytesPerRow - plane.rowBytes);
    }
  }
  return true;
}

bool copyPicture(const SourcePicture& source, const TargetPicture& target, std::uint32_t pixelFormat) {
  if (!source.data || !target.data || source.width != target.width || source.height != target.height) return false;
  const SurfacePlanes from = outputPlanes(pixelFormat, source.width, source.height, source.bytesPerRow);
  const SurfacePlanes to = outputPlanes(pixelFormat, target.width, target.height, target.bytesPerRow);
  if (from.count == 0 || to.count == 0) return false;
  if (source.bytesPerRow == target.bytesPerRow) {
    std::memcpy(target.data, source.data, to.size);
    return true;
  }
  for (std::size_t p = 0; p < to.count; ++p) {
    const SurfacePlane& in = from.planes[p];
    const SurfacePlane& out = to.planes[p];
    for (std::uint64_t row = 0; row < out.rows; ++row) {
      std::byte* line = target.data + out.offset + row * out.bytesPerRow;
      std::memcpy(line, source.data + in.offset + row * in.bytesPerRow, out.rowBytes);
      std::memset(line + out.rowBytes, static_cast<int>(kBlankByte), out.bytesPerRow - out.rowBytes);
    }
  }
  return true;
}

}  // namespace kolv::output
