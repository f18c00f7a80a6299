#include "platform/pipewire/frame_writer.h"

#include <cstdio>
#include <cstring>

#include "platform/pipewire/picture_conversion.h"

namespace kolv::pipewire {
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
                        const PixelFormat& targetFormat, bool fromCompanion) {
  if (!target.data || target.bytesPerRow < target.width * targetFormat.bytesPerPixel) return false;

  bool written = false;
  bool shown = true;
  if (sourceFormat == targetFormat.code) {
    written = placePicture(source, target, targetFormat.bytesPerPixel);
  } else if (targetFormat.code == kCVPixelFormatType_32BGRA && canConvertToBGRA(sourceFormat)) {
    written = convertToBGRA(source, sourceFormat, target);
  } else {
    std::memset(target.data, static_cast<int>(kBlankByte), target.height * target.bytesPerRow);
    written = true;
    shown = false;
  }
  if (!written) return false;

  if (!shown) {
    if (unshownFormat_ != sourceFormat) {
      os_log_with_type(log_, OSLogType::error, "%s: pictures of pixel format %s cannot be shown; sending grey",
                       label_.c_str(), formatName(sourceFormat).c_str());
    }
    unshownFormat_ = sourceFormat;
  } else if (unshownFormat_ && fromCompanion) {
    os_log_with_type(log_, OSLogType::info, "%s: pictures are shown again", label_.c_str());
    unshownFormat_.reset();
  }
  return true;
}

}  // namespace kolv::pipewire
