#include "handoff/surface_layout.h"

namespace kolv {
namespace {

constexpr std::uint32_t code(const char (&letters)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(letters[0])) << 24 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(letters[1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(letters[2])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(letters[3]));
}

}  // namespace

SurfaceFormatKind surfaceFormatKind(std::uint32_t pixelFormat) {
  switch (pixelFormat) {
    case kSurfacePixelFormatBGRA:
      return SurfaceFormatKind::kBGRA;
    case kSurfacePixelFormatRGBA:
      return SurfaceFormatKind::kRGBA;
    case kSurfacePixelFormatARGB:
    case 0x00000020:
      return SurfaceFormatKind::kARGB;
    case kSurfacePixelFormatABGR:
      return SurfaceFormatKind::kABGR;
    case kSurfacePixelFormatNV12:
    case code("420v"):
      return SurfaceFormatKind::kNV12;
    case kSurfacePixelFormatI420:
    case code("y420"):
      return SurfaceFormatKind::kI420;
    case kSurfacePixelFormatYUY2:
    case code("yuvs"):
      return SurfaceFormatKind::kYUY2;
    case kSurfacePixelFormatUYVY:
    case code("2vuy"):
      return SurfaceFormatKind::kUYVY;
    default:
      return SurfaceFormatKind::kOther;
  }
}

std::uint32_t minimumBytesPerRow(std::uint32_t width, std::uint32_t pixelFormat) {
  if (width == 0 || width > kMaxSurfaceDimension || pixelFormat == 0) return 0;
  switch (surfaceFormatKind(pixelFormat)) {
    case SurfaceFormatKind::kBGRA:
    case SurfaceFormatKind::kRGBA:
    case SurfaceFormatKind::kARGB:
    case SurfaceFormatKind::kABGR:
      return width * 4;
    case SurfaceFormatKind::kYUY2:
    case SurfaceFormatKind::kUYVY:
      return (width + 1) / 2 * 4;
    case SurfaceFormatKind::kNV12:
      return (width + 1) / 2 * 2;  // the chroma rows' U, V pairs
    case SurfaceFormatKind::kI420:
    case SurfaceFormatKind::kOther:
      return width;
  }
  return 0;
}

SurfacePlanes surfacePlanes(std::uint32_t width, std::uint32_t height, std::uint32_t pixelFormat,
                            std::uint32_t bytesPerRow) {
  if (width == 0 || height == 0 || width > kMaxSurfaceDimension || height > kMaxSurfaceDimension || pixelFormat == 0)
    return {};
  const std::uint64_t w = width;
  const std::uint64_t h = height;
  const std::uint64_t stride = bytesPerRow;
  // Chroma of 4:2:0 and 4:2:2 formats covers two pixels across, and 4:2:0 two rows down; an
  // odd last column or row has chroma of its own.
  const std::uint64_t pairs = (w + 1) / 2;
  const std::uint64_t chromaRows = (h + 1) / 2;

  SurfacePlanes layout;
  const auto add = [&](std::uint64_t planeStride, std::uint64_t rows, std::uint64_t rowBytes) {
    layout.planes[layout.count++] = SurfacePlane{layout.size, planeStride, rows, rowBytes};
    layout.size += planeStride * rows;
  };
  switch (surfaceFormatKind(pixelFormat)) {
    case SurfaceFormatKind::kBGRA:
    case SurfaceFormatKind::kRGBA:
    case SurfaceFormatKind::kARGB:
    case SurfaceFormatKind::kABGR:
      add(stride, h, w * 4);
      break;
    case SurfaceFormatKind::kYUY2:
    case SurfaceFormatKind::kUYVY:
      add(stride, h, pairs * 4);
      break;
    case SurfaceFormatKind::kNV12:
      add(stride, h, w);
      add(stride, chromaRows, pairs * 2);
      break;
    case SurfaceFormatKind::kI420: {
      // The chroma planes' rows are half as long as the Y plane's, rounded up.
      const std::uint64_t chromaStride = (stride + 1) / 2;
      add(stride, h, w);
      add(chromaStride, chromaRows, pairs);
      add(chromaStride, chromaRows, pairs);
      break;
    }
    case SurfaceFormatKind::kOther:
      add(stride, h, w);
      break;
  }
  for (std::size_t i = 0; i < layout.count; ++i) {
    if (layout.planes[i].bytesPerRow < layout.planes[i].rowBytes) return {};
  }
  return layout;
}

}  // namespace kolv
