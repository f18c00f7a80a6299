#include <cstring>

#include "device/kolv_camera_device_source.h"
#include "frames/host_time.h"
#include "stream/kolv_camera_stream_source.h"

namespace kolv {

namespace {
constexpr unsigned char kBlankByte = 0x40;
}

void kolvCameraDeviceSource::deliverFrame() {
  const CMTime now = CMClockGetTime(platform_.media.CMClockGetHostTimeClock());

  CVPixelBufferRef pixelBuffer = frameReader_->currentFrame();
  if (!pixelBuffer) {
    auto [status, blank] = CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(_bufferPool, _bufferAuxAttributes);
    if (status != noErr || !blank) return;
    CVPixelBufferLockBaseAddress(blank, 0);
    if (auto* base = static_cast<unsigned char*>(CVPixelBufferGetBaseAddress(blank))) {
      const std::size_t bytesPerRow = CVPixelBufferGetBytesPerRow(blank);
      const std::size_t height = CVPixelBufferGetHeight(blank);
      for (std::size_t row = 0; row < height; ++row) std::memset(base + row * bytesPerRow, kBlankByte, bytesPerRow);
    }
    CVPixelBufferUnlockBaseAddress(blank, 0);
    pixelBuffer = std::move(blank);
  }

  const CMSampleTimingInfo timing{kFrameDuration, now, kCMTimeInvalid};
  auto [descriptionStatus, description] = platform_.media.CMVideoFormatDescriptionCreateForImageBuffer(pixelBuffer);
  (void)descriptionStatus;
  if (!description) return;
  auto [sampleStatus, sampleBuffer] = platform_.media.CMSampleBufferCreateForImageBuffer(
      pixelBuffer, true, nullptr, nullptr, description, timing);
  if (sampleStatus != noErr || !sampleBuffer) return;

  _streamSource->stream()->sendSampleBuffer(sampleBuffer, CMIOExtensionStreamDiscontinuityFlagNone,
                                            hostTimeInNanoseconds(now));
}

}  // namespace kolv
