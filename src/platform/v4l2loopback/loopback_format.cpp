#include "platform/v4l2loopback/loopback_format.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cctype>

#include "platform/output/picture_conversion.h"
#include "platform/types.h"

namespace kolv::v4l2loopback {
namespace {

struct FormatInfo {
  LoopbackFormat format;
  const char* name;
  std::uint32_t pixelFormat;
  OSType code;  // the same format as the camera's outputs name it
};

constexpr FormatInfo kFormats[] = {
    {LoopbackFormat::yuyv, "YUYV", V4L2_PIX_FMT_YUYV, fourCC("yuvs")},
    {LoopbackFormat::i420, "I420", V4L2_PIX_FMT_YUV420, fourCC("y420")},
    {LoopbackFormat::nv12, "NV12", V4L2_PIX_FMT_NV12, fourCC("420v")},
    {LoopbackFormat::bgra, "BGRA", V4L2_PIX_FMT_BGR32, kCVPixelFormatType_32BGRA},
};

const FormatInfo& info(LoopbackFormat format) {
  return *std::find_if(std::begin(kFormats), std::end(kFormats), [&](const auto& f) { return f.format == format; });
}

}  // namespace

std::optional<LoopbackFormat> parseLoopbackFormat(std::string_view name) {
  for (const auto& f : kFormats) {
    if (name.size() == 4 && std::equal(name.begin(), name.end(), f.name, [](char a, char b) {
          return std::toupper(static_cast<unsigned char>(a)) == b;
        })) {
      return f.format;
    }
  }
  return std::nullopt;
}

const char* formatName(LoopbackFormat format) { return info(format).name; }

std::uint32_t v4l2PixelFormat(LoopbackFormat format) { return info(format).pixelFormat; }

std::size_t bytesPerLine(LoopbackFormat format, std::size_t width) {
  switch (format) {
    case LoopbackFormat::yuyv:
      return width * 2;
    case LoopbackFormat::bgra:
      return width * 4;
    case LoopbackFormat::i420:
    case LoopbackFormat::nv12:
      return width;
  }
  return 0;
}

std::size_t frameBytes(LoopbackFormat format, std::size_t width, std::size_t height) {
  return output::pictureBytes(info(format).code, width, height, bytesPerLine(format, width));
}

FrameConverter::FrameConverter(LoopbackFormat format, std::size_t width, std::size_t height)
    : format_(format), width_(width), height_(height), frame_(frameBytes(format, width, height)) {
  // Until the first picture: grey.
  const output::TargetPicture target{frame_.data(), width_, height_, bytesPerLine(format_, width_)};
  if (format_ == LoopbackFormat::bgra) {
    output::fillGrey(target);
  } else {
    const std::vector<std::byte> grey(width_ * height_ * 4, output::kBlankByte);
    output::convertFromBGRA({grey.data(), width_, height_, width_ * 4}, target, info(format_).code);
  }
}

bool FrameConverter::convert(output::OutputFrame& frame) {
  return frame.writeInto({frame_.data(), width_, height_, bytesPerLine(format_, width_)}, info(format_).code);
}

}  // namespace kolv::v4l2loopback
