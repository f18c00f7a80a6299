#include "platform/v4l2loopback/loopback_format.h"

#include <libyuv/convert_from_argb.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cctype>

#include "platform/types.h"

namespace kolv::v4l2loopback {
namespace {

struct FormatInfo {
  LoopbackFormat format;
  const char* name;
  std::uint32_t pixelFormat;
};

constexpr FormatInfo kFormats[] = {
    {LoopbackFormat::yuyv, "YUYV", V4L2_PIX_FMT_YUYV},
    {LoopbackFormat::i420, "I420", V4L2_PIX_FMT_YUV420},
    {LoopbackFormat::nv12, "NV12", V4L2_PIX_FMT_NV12},
    {LoopbackFormat::bgra, "BGRA", V4L2_PIX_FMT_BGR32},
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
  switch (format) {
    case LoopbackFormat::yuyv:
    case LoopbackFormat::bgra:
      return bytesPerLine(format, width) * height;
    case LoopbackFormat::i420:
    case LoopbackFormat::nv12:
      return width * height + 2 * ((width + 1) / 2) * ((height + 1) / 2);
  }
  return 0;
}

FrameConverter::FrameConverter(LoopbackFormat format, std::size_t width, std::size_t height)
    : format_(format), width_(width), height_(height), frame_(frameBytes(format, width, height)) {
  // Until the first picture: grey.
  scratch_.assign(width_ * height_ * 4, output::kBlankByte);
  fromBGRA(scratch_.data(), width_ * 4);
  if (format_ == LoopbackFormat::bgra) scratch_ = {};
}

bool FrameConverter::convert(output::OutputFrame& frame) {
  if (format_ == LoopbackFormat::bgra) {
    return frame.writeInto({frame_.data(), width_, height_, width_ * 4}, kCVPixelFormatType_32BGRA);
  }
  if (!frame.writeInto({scratch_.data(), width_, height_, width_ * 4}, kCVPixelFormatType_32BGRA)) return false;
  return fromBGRA(scratch_.data(), width_ * 4);
}

bool FrameConverter::fromBGRA(const std::byte* data, std::size_t bytesPerRow) {
  // libyuv's "ARGB" is B, G, R, A in memory.
  const auto* in = reinterpret_cast<const std::uint8_t*>(data);
  auto* out = reinterpret_cast<std::uint8_t*>(frame_.data());
  const int stride = static_cast<int>(bytesPerRow);
  const int width = static_cast<int>(width_);
  const int height = static_cast<int>(height_);
  const int chromaWidth = (width + 1) / 2;
  const std::size_t lumaBytes = width_ * height_;
  switch (format_) {
    case LoopbackFormat::yuyv:
      return libyuv::ARGBToYUY2(in, stride, out, width * 2, width, height) == 0;
    case LoopbackFormat::i420: {
      const std::size_t chromaBytes = static_cast<std::size_t>(chromaWidth) * ((height_ + 1) / 2);
      return libyuv::ARGBToI420(in, stride, out, width, out + lumaBytes, chromaWidth, out + lumaBytes + chromaBytes,
                                chromaWidth, width, height) == 0;
    }
    case LoopbackFormat::nv12:
      return libyuv::ARGBToNV12(in, stride, out, width, out + lumaBytes, chromaWidth * 2, width, height) == 0;
    case LoopbackFormat::bgra:
      return libyuv::ARGBCopy(in, stride, out, width * 4, width, height) == 0;
  }
  return false;
}

}  // namespace kolv::v4l2loopback
