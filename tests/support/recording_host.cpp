#include "support/recording_host.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace kolv::test {

void RecordingHost::startService(const std::shared_ptr<CMIOExtensionProvider>& provider) {
  calls.push_back("startService");
  startedProviders.push_back(provider);
}

bool RecordingHost::addDevice(CMIOExtensionProvider&, const std::shared_ptr<CMIOExtensionDevice>& device,
                              NSErrorOut error) {
  calls.push_back("addDevice");
  deviceRequests.push_back(device);
  if (!refuseDevice) return true;
  if (error)
    *error = NSError::errorWithDomain("TestHost", 1, {{std::string(NSLocalizedDescriptionKey), "device refused"}});
  return false;
}

bool RecordingHost::addStream(CMIOExtensionDevice&, const std::shared_ptr<CMIOExtensionStream>& stream,
                              NSErrorOut error) {
  calls.push_back("addStream");
  streamRequests.push_back(stream);
  if (!refuseStream) return true;
  if (error)
    *error = NSError::errorWithDomain("TestHost", 2, {{std::string(NSLocalizedDescriptionKey), "stream refused"}});
  return false;
}

void RecordingHost::sendSampleBuffer(CMIOExtensionStream&, const CMSampleBufferRef& sampleBuffer,
                                     CMIOExtensionStreamDiscontinuityFlags discontinuity,
                                     std::uint64_t hostTimeInNanoseconds) {
  ++sendsInFlight_;
  if (sendDuration.count() > 0) std::this_thread::sleep_for(sendDuration);
  RecordedSample record;
  if (retainSamples) record.sample = sampleBuffer;
  record.discontinuity = discontinuity;
  record.hostTimeInNanoseconds = hostTimeInNanoseconds;
  if (sampleBuffer) {
    record.dataReady = sampleBuffer->dataReady;
    record.timingCount = sampleBuffer->timing.size();
    if (!sampleBuffer->timing.empty()) record.timing = sampleBuffer->timing.front();
    if (sampleBuffer->formatDescription) record.formatDescription = *sampleBuffer->formatDescription;
    if (const auto& image = sampleBuffer->imageBuffer) {
      CVPixelBufferLockBaseAddress(image, kCVPixelBufferLock_ReadOnly);
      const auto* base = static_cast<const std::uint8_t*>(CVPixelBufferGetBaseAddress(image));
      record.baseAddress = base;
      record.width = image->width();
      record.height = image->height();
      record.bytesPerRow = image->bytesPerRow();
      record.pixelFormat = image->pixelFormatType();
      const std::size_t size = record.bytesPerRow * record.height;
      // Compared a row at a time with memcmp: a byte loop on the timer thread slows the ticks
      // it records under the sanitizers.
      const std::vector<std::uint8_t> greyRow(record.bytesPerRow, 0x40);
      bool grey = base != nullptr && size > 0;
      for (std::size_t row = 0; grey && row < record.height; ++row) {
        grey = std::memcmp(base + row * record.bytesPerRow, greyRow.data(), record.bytesPerRow) == 0;
      }
      record.allBytes0x40 = grey;
      if (base != nullptr && size >= 4) std::memcpy(&record.firstPixel, base, 4);
      CVPixelBufferUnlockBaseAddress(image, kCVPixelBufferLock_ReadOnly);
    }
  }
  {
    std::lock_guard lock(mutex_);
    samples_.push_back(std::move(record));
  }
  --sendsInFlight_;
}

std::vector<RecordedSample> RecordingHost::samples() const {
  std::lock_guard lock(mutex_);
  return samples_;
}

std::size_t RecordingHost::sampleCount() const {
  std::lock_guard lock(mutex_);
  return samples_.size();
}

void RecordingHost::clearSamples() {
  std::lock_guard lock(mutex_);
  samples_.clear();
}

}  // namespace kolv::test
