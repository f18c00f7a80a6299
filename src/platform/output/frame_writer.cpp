#include "platform/output/frame_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/output/picture_conversion.h"

namespace kolv::output {
namespace {

// A code as its four letters in quotes ('NV12'), or in hexadecimal when a byte is not
// printable: a companion may put anything there.
std::string formatName(std::uint32_t code) {
  std::string text = fourCCString(code);
  for (const char c : text) {
    if (c < 0x20 || c > 0x7e) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%08x", code);
      return hex;
    }
  }
  return "'" + text + "'";
}

}  // namespace

bool FrameWriter::write(const SourcePicture& source, std::uint32_t sourceFormat, const TargetPicture& target,
                        OSType targetFormat, bool fromCompanion) {
  const std::size_t bytesPerPixel = packedBytesPerPixel(targetFormat);
  if (bytesPerPixel == 0 || !target.data || target.bytesPerRow < target.width * bytesPerPixel) return false;

  bool written = false;
  bool showable = true;
  if (sourceFormat == targetFormat) {
    written = placePicture(source, target, bytesPerPixel);
  } else if (targetFormat == kCVPixelFormatType_32BGRA && canConvertToBGRA(sourceFormat)) {
    written = convertToBGRA(source, sourceFormat, target);
  } else {
    fillGrey(target);
    written = true;
    showable = false;
  }
  if (!written) return false;

  if (!showable) {
    // A companion drawing into several surfaces in turn, one of them in a format that cannot be
    // shown, comes back to that format on every pass: it is one problem, reported once.
    const auto known = std::find(reportedFormats_.begin(), reportedFormats_.end(), sourceFormat);
    const bool reported = known != reportedFormats_.end();
    if (reported) reportedFormats_.erase(known);
    reportedFormats_.insert(reportedFormats_.begin(), sourceFormat);
    if (reportedFormats_.size() > kRememberedFormats) reportedFormats_.pop_back();
    if (unshownFormat_ != sourceFormat && !reported) {
      os_log_with_type(log_, OSLogType::error, "%s: pictures of pixel format %s cannot be shown; sending grey",
                       label_.c_str(), formatName(sourceFormat).c_str());
      reportedSinceShown_ = true;
    }
    unshownFormat_ = sourceFormat;
  } else {
    shown(fromCompanion);
  }
  return true;
}

void FrameWriter::shown(bool fromCompanion) {
  if (!unshownFormat_ || !fromCompanion) return;
  if (std::exchange(reportedSinceShown_, false)) {
    os_log_with_type(log_, OSLogType::info, "%s: pictures are shown again", label_.c_str());
  }
  unshownFormat_.reset();
}

}  // namespace kolv::output
