#include "platform/output/picture_placement.h"

#include <algorithm>
#include <cstring>

namespace kolv::output {
namespace {

constexpr std::size_t kGroupBytes = 4;

// Bytes to skip so that `inner` sits in the middle of `outer`, rounded down to a whole group.
std::size_t centredOffset(std::size_t outer, std::size_t inner) {
  return (outer - inner) / 2 / kGroupBytes * kGroupBytes;
}

void fillRows(const TargetPicture& target, std::size_t first, std::size_t count) {
  if (count == 0) return;
  std::memset(target.data + first * target.bytesPerRow, static_cast<int>(kBlankByte), count * target.bytesPerRow);
}

}  // namespace

bool placePicture(const SourcePicture& source, const TargetPicture& target, std::size_t bytesPerPixel) {
  const std::size_t sourceRowBytes = source.width * bytesPerPixel;
  const std::size_t targetRowBytes = target.width * bytesPerPixel;
  if (bytesPerPixel == 0 || !target.data || target.bytesPerRow < targetRowBytes) return false;
  if ((!source.data && source.height > 0) || source.bytesPerRow < sourceRowBytes) return false;

  if (sourceRowBytes == targetRowBytes && source.height == target.height && source.bytesPerRow == target.bytesPerRow) {
    if (target.height > 0) std::memcpy(target.data, source.data, target.height * target.bytesPerRow);
    return true;
  }

  const std::size_t rows = std::min(source.height, target.height);
  const std::size_t sourceTop = (source.height - rows) / 2;
  const std::size_t targetTop = (target.height - rows) / 2;
  const std::size_t rowBytes = std::min(sourceRowBytes, targetRowBytes);
  const std::size_t sourceLeft = centredOffset(sourceRowBytes, rowBytes);
  const std::size_t targetLeft = centredOffset(targetRowBytes, rowBytes);

  fillRows(target, 0, targetTop);
  for (std::size_t row = 0; row < rows; ++row) {
    std::byte* out = target.data + (targetTop + row) * target.bytesPerRow;
    const std::byte* in = source.data + (sourceTop + row) * source.bytesPerRow + sourceLeft;
    std::memset(out, static_cast<int>(kBlankByte), targetLeft);
    std::memcpy(out + targetLeft, in, rowBytes);
    std::memset(out + targetLeft + rowBytes, static_cast<int>(kBlankByte), target.bytesPerRow - targetLeft - rowBytes);
  }
  fillRows(target, targetTop + rows, target.height - targetTop - rows);
  return true;
}

void fillGrey(const TargetPicture& target) {
  if (target.data) fillRows(target, 0, target.height);
}

std::size_t packedBytesPerPixel(OSType pixelFormat) {
  switch (pixelFormat) {
    case kCVPixelFormatType_32BGRA:
    case fourCC("RGBA"):
    case fourCC("ABGR"):
    case 0x00000020:  // kCVPixelFormatType_32ARGB
      return 4;
    case fourCC("2vuy"):
    case fourCC("yuvs"):
      return 2;
    default:
      return 0;
  }
}

}  // namespace kolv::output
