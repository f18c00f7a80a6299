// Fills an output's buffer of its format from a camera picture of any format: the
// picture itself when the formats match, converted when the stream carries 'BGRA' and the
// picture is in one of the surface formats, and a grey frame (every byte 0x40) otherwise, so
// that consumers keep getting frames whatever a companion publishes. Grey for want of a
// conversion is logged once when it starts and once when a companion's picture is shown
// again; the camera's own grey frames, which come between a companion's pictures whenever it
// has nothing new, neither start nor end it. A format already reported (of the last few) is not
// reported again, and then its end neither: a companion cycling through surfaces of which one
// cannot be shown logs two lines, not two a pass.
// Thread-safety: lives on the frame queue, with the stream's FramePictures (output_frame.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation.h"
#include "platform/output/picture_placement.h"
#include "platform/types.h"

namespace kolv::output {

class FrameWriter {
 public:
  FrameWriter(OSLog& log, std::string label) : log_(log), label_(std::move(label)) {}

  // Writes every byte of `target`'s rows. False, writing nothing, when `target` has no memory
  // or rows too short for its width, or the picture in a format that can be shown has no
  // memory or rows too short for its width.
  // `fromCompanion`: the picture is a companion's surface, not one of the camera's own.
  // A target format of unknown size per pixel writes nothing.
  bool write(const SourcePicture& source, std::uint32_t sourceFormat, const TargetPicture& target, OSType targetFormat,
             bool fromCompanion = true);
  // A picture was shown without passing through write() (copied or converted elsewhere).
  void shown(bool fromCompanion);

 private:
  OSLog& log_;
  const std::string label_;
  static constexpr std::size_t kRememberedFormats = 8;

  std::optional<std::uint32_t> unshownFormat_;  // while grey for want of a conversion: the format
  std::vector<std::uint32_t> reportedFormats_;  // formats reported as unshown, the most recent first
  bool reportedSinceShown_ = false;             // an unshown format was reported since pictures were shown
};

}  // namespace kolv::output
