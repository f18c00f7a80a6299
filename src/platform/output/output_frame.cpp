#include "platform/output/output_frame.h"

#include <algorithm>

#include "handoff/surface_layout.h"
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
  if (canConvertFromBGRA(targetFormat)) {
    // The same layout may come under another code ('YUY2' from a surface, 'yuvs' at the node).
    const bool sameLayout = surfaceFormatKind(sourceFormat) == surfaceFormatKind(targetFormat);
    const bool sameSize = source.width == target.width && source.height == target.height;
    if (sameLayout && sameSize && copyPicture(source, target, targetFormat)) {
      pictures_.writer_.shown(fromCompanion());
      return true;
    }
    // A packed picture of the output's own format is placed below, at any size.
    if (sourceFormat != targetFormat || packedBytesPerPixel(targetFormat) == 0) {
      return writeYUV(source, sourceFormat, target, targetFormat);
    }
  }
  if (sourceFormat != targetFormat && targetFormat == kCVPixelFormatType_32BGRA && canConvertToBGRA(sourceFormat)) {
    // Converted once per frame: for an output after this one, into memory kept for them; the
    // last one converts straight into its buffer unless an earlier one already converted.
    if (sharedAlready(targetFormat, source.width, source.height) || outputsLeft_ > 1) {
      const auto* done = shared(targetFormat, source.width, source.height, [&](const TargetPicture& into) {
        ++pictures_.conversions_;
        return convertToBGRA(source, sourceFormat, into);
      });
      if (done) return pictures_.writer_.write(done->picture(), targetFormat, target, targetFormat, fromCompanion());
    }
    ++pictures_.conversions_;
  }
  return pictures_.writer_.write(source, sourceFormat, target, targetFormat, fromCompanion());
}

bool OutputFrame::writeYUV(const SourcePicture& source, OSType sourceFormat, const TargetPicture& target,
                           OSType targetFormat) {
  constexpr OSType kBGRA = kCVPixelFormatType_32BGRA;
  // The picture in 'BGRA' at the target's size: the picture itself when it is that, else
  // placed, converted or grey (as the writer decides, and reports) into memory kept for the frame.
  SourcePicture bgra = source;
  if (sourceFormat == kBGRA && source.width == target.width && source.height == target.height) {
    pictures_.writer_.shown(fromCompanion());
  } else {
    const auto* placed = shared(kBGRA, target.width, target.height, [&](const TargetPicture& into) {
      if (sourceFormat != kBGRA && canConvertToBGRA(sourceFormat)) ++pictures_.conversions_;
      return pictures_.writer_.write(source, sourceFormat, into, kBGRA, fromCompanion());
    });
    if (!placed) return false;
    bgra = placed->picture();
  }
  if (sharedAlready(targetFormat, target.width, target.height) || outputsLeft_ > 1) {
    const auto* done = shared(targetFormat, target.width, target.height, [&](const TargetPicture& into) {
      ++pictures_.conversions_;
      return convertFromBGRA(bgra, into, targetFormat);
    });
    if (done) return copyPicture(done->picture(), target, targetFormat);
  }
  ++pictures_.conversions_;
  return convertFromBGRA(bgra, target, targetFormat);
}

bool OutputFrame::sharedAlready(OSType format, std::size_t width, std::size_t height) const {
  return std::any_of(pictures_.converted_.begin(), pictures_.converted_.end(), [&](const auto& c) {
    return c.frame == frame_ && c.format == format && c.width == width && c.height == height;
  });
}

template <class Make>
const FramePictures::Converted* OutputFrame::shared(OSType format, std::size_t width, std::size_t height, Make make) {
  auto& all = pictures_.converted_;
  auto entry = std::find_if(all.begin(), all.end(), [&](const auto& c) {
    return c.format == format && c.width == width && c.height == height;
  });
  if (entry != all.end() && entry->frame == frame_) return &*entry;
  if (entry == all.end()) {
    entry = all.insert(all.end(), FramePictures::Converted{});
    entry->format = format;
    entry->width = width;
    entry->height = height;
  }
  const std::size_t bytesPerRow = minimumBytesPerRow(static_cast<std::uint32_t>(width), format);
  entry->pixels.resize(pictureBytes(format, width, height, bytesPerRow));
  entry->bytesPerRow = bytesPerRow;
  entry->frame = 0;
  if (entry->pixels.empty() || !make(TargetPicture{entry->pixels.data(), width, height, bytesPerRow})) return nullptr;
  entry->frame = frame_;
  return &*entry;
}

}  // namespace kolv::output
