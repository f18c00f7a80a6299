#include "platform/output/output_frame.h"

#include <algorithm>

#include "platform/output/picture_conversion.h"

namespace kolv::output {

OutputFrame::OutputFrame(FramePictures& pictures, const CMSampleBufferRef& sample,
                         CMIOExtensionStreamDiscontinuityFlags discontinuity, std::uint64_t hostTimeInNanoseconds,
                         std::uint64_t sequence, std::size_t outputs)
    : pictures_(pictures),
      picture_(sample ? sample->imageBuffer : nullptr),
      discontinuity_(discontinuity),
      hostTimeInNanoseconds_(hostTimeInNanoseconds),
      sequence_(sequence),
      frame_(++pictures.frames_),
      outputsLeft_(outputs) {}

OutputFrame::~OutputFrame() {
  if (locked_.value_or(false)) CVPixelBufferUnlockBaseAddress(picture_, kCVPixelBufferLock_ReadOnly);
}

bool OutputFrame::readable() {
  if (!locked_) {
    locked_ = picture_ && CVPixelBufferLockBaseAddress(picture_, kCVPixelBufferLock_ReadOnly) == noErr;
  }
  return *locked_ && picture_->baseAddress() != nullptr;
}

bool OutputFrame::writeInto(const TargetPicture& target, OSType targetFormat) {
  if (!readable()) return false;
  const SourcePicture source{static_cast<const std::byte*>(picture_->baseAddress()), picture_->width(),
                             picture_->height(), picture_->bytesPerRow()};
  const OSType sourceFormat = picture_->pixelFormatType();
  if (sourceFormat != targetFormat && targetFormat == kCVPixelFormatType_32BGRA && canConvertToBGRA(sourceFormat)) {
    // Converted once per frame: for an output after this one, into memory kept for them; the
    // last one converts straight into its buffer unless an earlier one already converted.
    const bool earlier = std::any_of(pictures_.converted_.begin(), pictures_.converted_.end(),
                                     [&](const auto& c) { return c.frame == frame_ && c.format == targetFormat; });
    if (earlier || outputsLeft_ > 1) {
      if (const auto* done = converted(source, sourceFormat, targetFormat)) {
        return pictures_.writer_.write({done->pixels.data(), done->width, done->height, done->bytesPerRow},
                                       targetFormat, target, targetFormat, fromCompanion());
      }
    }
    ++pictures_.conversions_;
  }
  return pictures_.writer_.write(source, sourceFormat, target, targetFormat, fromCompanion());
}

const FramePictures::Converted* OutputFrame::converted(const SourcePicture& source, OSType sourceFormat,
                                                       OSType format) {
  auto& all = pictures_.converted_;
  auto entry = std::find_if(all.begin(), all.end(), [&](const auto& c) { return c.format == format; });
  if (entry != all.end() && entry->frame == frame_) return &*entry;
  if (entry == all.end()) {
    entry = all.insert(all.end(), FramePictures::Converted{});
    entry->format = format;
  }
  const std::size_t bytesPerRow = source.width * packedBytesPerPixel(format);
  entry->pixels.resize(bytesPerRow * source.height);
  entry->width = source.width;
  entry->height = source.height;
  entry->bytesPerRow = bytesPerRow;
  entry->frame = 0;
  if (!convertToBGRA(source, sourceFormat, {entry->pixels.data(), source.width, source.height, bytesPerRow})) {
    return nullptr;
  }
  ++pictures_.conversions_;
  entry->frame = frame_;
  return &*entry;
}

}  // namespace kolv::output
