// One frame of a camera stream on its way to the outputs that have consumers of it, and what a
// stream keeps from one frame to the next for them (FramePictures). The picture is the
// companion's surface or the camera's own grey frame; each output either sends it as it is
// (when the picture already is one of its buffers) or writes it into a buffer of its own with
// writeInto(): placed as it is when the formats match; for a 'BGRA' output converted from any
// surface format; for a YUV output converted from the picture in 'BGRA' at the output's size;
// grey otherwise. A conversion wanted by more than one output is done once per frame, format
// and size, into memory the stream keeps, and copied from there.
// Thread-safety: the camera's frame queue; a frame lives for one OutputsHost::sendSampleBuffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/cmio.h"
#include "platform/foundation.h"
#include "platform/media.h"
#include "platform/output/frame_writer.h"
#include "platform/output/picture_placement.h"

namespace kolv::output {

// Per stream, across frames: the writer that reports pictures that cannot be shown (once for the
// stream, not once per output), and the converted pictures of the current frame. Frame queue.
class FramePictures {
 public:
  FramePictures(OSLog& log, std::string label) : writer_(log, std::move(label)) {}

  // Conversions made so far, over every frame: what the tests and the bench count.
  std::uint64_t conversions() const { return conversions_; }

 private:
  friend class OutputFrame;
  struct Converted {
    OSType format = 0;
    std::size_t width = 0;
    std::size_t height = 0;
    std::uint64_t frame = 0;  // the frame it holds; stale once another frame began
    std::size_t bytesPerRow = 0;
    std::vector<std::byte> pixels;  // kept across frames, so that steady streaming allocates nothing
    SourcePicture picture() const { return {pixels.data(), width, height, bytesPerRow}; }
  };

  FrameWriter writer_;
  std::vector<Converted> converted_;
  std::uint64_t frames_ = 0;
  std::uint64_t conversions_ = 0;
};

class OutputFrame {
 public:
  // `outputs`: how many outputs this frame goes to, so that the last one converting a format
  // converts straight into its own buffer.
  OutputFrame(FramePictures& pictures, const CMSampleBufferRef& sample,
              CMIOExtensionStreamDiscontinuityFlags discontinuity, std::uint64_t hostTimeInNanoseconds,
              std::uint64_t sequence, std::size_t outputs);
  ~OutputFrame();
  OutputFrame(const OutputFrame&) = delete;
  OutputFrame& operator=(const OutputFrame&) = delete;

  // The picture; null for a sample without one (such a frame cannot be written).
  const CVPixelBufferRef& picture() const { return picture_; }
  // The companion's surface, rather than the camera's own grey frame.
  bool fromCompanion() const { return picture_ && picture_->ioSurface() != nullptr; }
  CMIOExtensionStreamDiscontinuityFlags discontinuity() const { return discontinuity_; }
  // The monotonic clock when the camera made the frame.
  std::uint64_t hostTimeInNanoseconds() const { return hostTimeInNanoseconds_; }
  // The stream's frame number, the same at every output; outputs without consumers skip numbers.
  std::uint64_t sequence() const { return sequence_; }

  // Writes every byte of `target`'s rows in `targetFormat`. False, writing nothing, when the
  // target has no memory, rows too short or a format of unknown size, or the picture cannot be
  // read.
  bool writeInto(const TargetPicture& target, OSType targetFormat);

  // Whether the picture can be read: locks it for reading, for the frame's life, on first use.
  bool readable();

  // The host, before handing the frame to the next output.
  void nextOutput() {
    if (outputsLeft_ > 0) --outputsLeft_;
  }

 private:
  // The picture made into `format` at `width` x `height` for this frame by `make` (which
  // writes a TargetPicture and says whether it did), made now if need be; null when it failed.
  template <class Make>
  const FramePictures::Converted* shared(OSType format, std::size_t width, std::size_t height, Make make);
  // Whether this frame was already made into `format` at that size.
  bool sharedAlready(OSType format, std::size_t width, std::size_t height) const;
  // A YUV target: from the picture in 'BGRA' at the target's size.
  bool writeYUV(const SourcePicture& source, OSType sourceFormat, const TargetPicture& target, OSType targetFormat);

  FramePictures& pictures_;
  const CVPixelBufferRef picture_;
  const CMIOExtensionStreamDiscontinuityFlags discontinuity_;
  const std::uint64_t hostTimeInNanoseconds_;
  const std::uint64_t sequence_;
  const std::uint64_t frame_;  // this frame among the stream's
  std::size_t outputsLeft_;
  std::optional<bool> locked_;  // empty until first read
};

}  // namespace kolv::output
