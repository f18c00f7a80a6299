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
    if (void* base = CVPixelBufferGetBaseAddress(blank)) {
      // Row r spans bytesPerRow bytes from base + r * bytesPerRow, padding included, so the
      // rows tile one block; filling it at once lets memset use streaming stores.
      std::memset(base, kBlankByte, CVPixelBufferGetBytesPerRow(blank) * CVPixelBufferGetHeight(blank));
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
