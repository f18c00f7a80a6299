// Fills a stream buffer of the negotiated format from a camera picture of any format: the
// picture itself when the formats match, converted when the stream carries 'BGRA' and the
// picture is in one of the surface formats, and a grey frame (every byte 0x40) otherwise, so
// that consumers keep getting frames whatever a companion publishes. Grey for want of a
// conversion is logged once when it starts and once when pictures are shown again: after a
// second's worth of pictures in a row, since the camera's own grey frames come between a
// companion's pictures whenever the companion has nothing new.
// Thread-safety: lives on the loop thread of the NodeStream that owns it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation.h"
#include "platform/pipewire/picture_placement.h"
#include "platform/pipewire/video_params.h"

namespace kolv::pipewire {

class FrameWriter {
 public:
  FrameWriter(OSLog& log, std::string label) : log_(log), label_(std::move(label)) {}

  // Writes every byte of `target`'s rows. False, writing nothing, when `target` has no memory
  // or rows too short for its width, or the picture in a format that can be shown has no
  // memory or rows too short for its width.
  bool write(const SourcePicture& source, std::uint32_t sourceFormat, const TargetPicture& target,
             const PixelFormat& targetFormat);

  // Pictures shown in a row before grey for want of a conversion counts as over.
  static constexpr std::uint32_t kShownAgainAfter = 30;

 private:
  OSLog& log_;
  const std::string label_;
  std::optional<std::uint32_t> unshownFormat_;  // while grey for want of a conversion: the format
  std::uint32_t shownSince_ = 0;                // pictures shown since the last such grey frame
};

}  // namespace kolv::pipewire
