// The pixel formats the camera writes into a v4l2loopback device, and the frame written into
// it: each one in the device's format by OutputFrame::writeInto (placed, converted once per
// frame for every output that carries the format, or grey).
// Thread-safety: FrameConverter lives on the thread that sends frames (the camera's frame queue).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/output/output_frame.h"

namespace kolv::v4l2loopback {

enum class LoopbackFormat { yuyv, i420, nv12, bgra };

// "YUYV", "I420", "NV12" or "BGRA", in any case; nothing for another name.
std::optional<LoopbackFormat> parseLoopbackFormat(std::string_view name);
const char* formatName(LoopbackFormat format);
// The V4L2 pixel format (V4L2_PIX_FMT_*): 'BGRA' goes out as V4L2_PIX_FMT_BGR32, whose bytes
// are B, G, R and a fourth that readers ignore.
std::uint32_t v4l2PixelFormat(LoopbackFormat format);
std::size_t bytesPerLine(LoopbackFormat format, std::size_t width);
std::size_t frameBytes(LoopbackFormat format, std::size_t width, std::size_t height);

class FrameConverter {
 public:
  FrameConverter(LoopbackFormat format, std::size_t width, std::size_t height);

  // Writes `frame`'s picture into frame(): centred and cropped or surrounded by grey when the
  // sizes differ, all grey when its format cannot be shown. False, leaving frame() as it was,
  // when the picture cannot be read.
  bool convert(output::OutputFrame& frame);

  std::span<const std::byte> frame() const { return frame_; }
  LoopbackFormat format() const { return format_; }

 private:
  const LoopbackFormat format_;
  const std::size_t width_;
  const std::size_t height_;
  std::vector<std::byte> frame_;
};

}  // namespace kolv::v4l2loopback
