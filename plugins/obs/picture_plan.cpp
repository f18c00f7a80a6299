#include "picture_plan.h"

#include <algorithm>
#include <cstring>

namespace kolv::obs {

std::string_view formatName(Format format) {
  switch (format) {
    case Format::bgra:
      return "BGRA";
    case Format::nv12:
      return "NV12";
    case Format::i420:
      return "I420";
    case Format::other:
      break;
  }
  return "other";
}

namespace {

std::uint32_t evenDown(std::uint64_t value) {
  return static_cast<std::uint32_t>(std::max<std::uint64_t>(2, value & ~1ULL));
}

}  // namespace

PicturePlan planPicture(const ProgramVideo& program, std::span<const Format> publishable) {
  PicturePlan plan;
  if (program.width == 0 || program.height == 0) return plan;

  const bool yuv = program.format == Format::nv12 || program.format == Format::i420;
  const bool taken = std::find(publishable.begin(), publishable.end(), program.format) != publishable.end();
  if (program.format == Format::bgra || (yuv && program.bt601Limited && taken)) plan.format = program.format;

  plan.width = program.width;
  plan.height = program.height;
  if (program.width > kCameraWidth || program.height > kCameraHeight) {
    const std::uint64_t w = program.width;
    const std::uint64_t h = program.height;
    // Wider than the camera's 16:9 (or as wide): the width fills it; else the height does.
    if (w * kCameraHeight >= h * kCameraWidth) {
      plan.width = kCameraWidth;
      plan.height = evenDown(h * kCameraWidth / w);
    } else {
      plan.height = kCameraHeight;
      plan.width = evenDown(w * kCameraHeight / h);
    }
  }
  plan.convert = plan.format != program.format || plan.width != program.width || plan.height != program.height;
  return plan;
}

PictureShape pictureShape(Format format, std::uint32_t width, std::uint32_t height) {
  PictureShape shape;
  const std::uint32_t halfWidth = (width + 1) / 2;
  const std::uint32_t halfHeight = (height + 1) / 2;
  switch (format) {
    case Format::bgra:
      shape.planeCount = 1;
      shape.planes[0] = {height, width * 4};
      break;
    case Format::nv12:
      shape.planeCount = 2;
      shape.planes[0] = {height, width};
      shape.planes[1] = {halfHeight, halfWidth * 2};
      break;
    case Format::i420:
      shape.planeCount = 3;
      shape.planes[0] = {height, width};
      shape.planes[1] = {halfHeight, halfWidth};
      shape.planes[2] = {halfHeight, halfWidth};
      break;
    case Format::other:
      break;
  }
  return shape;
}

bool copyPicture(Format format, std::uint32_t width, std::uint32_t height, std::span<const SourcePlane> source,
                 std::span<const TargetPlane> target) {
  const PictureShape shape = pictureShape(format, width, height);
  if (shape.planeCount == 0 || source.size() < shape.planeCount || target.size() < shape.planeCount) return false;
  for (std::size_t p = 0; p < shape.planeCount; ++p) {
    const PlaneShape& plane = shape.planes[p];
    if (source[p].data == nullptr || target[p].data == nullptr || source[p].bytesPerRow < plane.rowBytes ||
        target[p].bytesPerRow < plane.rowBytes) {
      return false;
    }
  }
  for (std::size_t p = 0; p < shape.planeCount; ++p) {
    const PlaneShape& plane = shape.planes[p];
    if (source[p].bytesPerRow == plane.rowBytes && target[p].bytesPerRow == plane.rowBytes) {
      std::memcpy(target[p].data, source[p].data, static_cast<std::size_t>(plane.rowBytes) * plane.rows);
      continue;
    }
    for (std::uint32_t row = 0; row < plane.rows; ++row) {
      std::memcpy(target[p].data + static_cast<std::size_t>(row) * target[p].bytesPerRow,
                  source[p].data + static_cast<std::size_t>(row) * source[p].bytesPerRow, plane.rowBytes);
    }
  }
  return true;
}

}  // namespace kolv::obs
