// A camera host that records what the camera registers and every sample it sends, and
// that can refuse registrations.
// Thread: samples may arrive from any thread; read the record after they stop.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/cmio.h"

namespace kolv::test {

struct RecordedSample {
  CMSampleBufferRef sample;  // kept only when RecordingHost::retainSamples is set
  const void* baseAddress = nullptr;
  std::size_t width = 0, height = 0, bytesPerRow = 0;
  OSType pixelFormat = 0;
  bool allBytes0x40 = false;     // every byte of every row, padding included
  std::uint32_t firstPixel = 0;  // the first four bytes, little-endian
  CMFormatDescription formatDescription;
  CMSampleTimingInfo timing;
  std::size_t timingCount = 0;
  bool dataReady = false;
  CMIOExtensionStreamDiscontinuityFlags discontinuity = 0;
  std::uint64_t hostTimeInNanoseconds = 0;
};

class RecordingHost final : public CameraHost {
 public:
  void startService(const std::shared_ptr<CMIOExtensionProvider>& provider) override;
  bool addDevice(CMIOExtensionProvider& provider, const std::shared_ptr<CMIOExtensionDevice>& device,
                 NSErrorOut error) override;
  bool addStream(CMIOExtensionDevice& device, const std::shared_ptr<CMIOExtensionStream>& stream,
                 NSErrorOut error) override;
  void sendSampleBuffer(CMIOExtensionStream& stream, const CMSampleBufferRef& sampleBuffer,
                        CMIOExtensionStreamDiscontinuityFlags discontinuity,
                        std::uint64_t hostTimeInNanoseconds) override;

  std::vector<RecordedSample> samples() const;
  std::size_t sampleCount() const;
  void clearSamples();

  // Refusals: the error returned names what was refused.
  bool refuseDevice = false;
  bool refuseStream = false;
  // Keep every sample (and so its pixel buffer) alive, as a slow client would.
  bool retainSamples = false;
  // How long each send takes; set before streaming starts.
  std::chrono::milliseconds sendDuration{0};
  // Sends that have begun and not returned yet.
  int sendsInFlight() const { return sendsInFlight_; }

  std::vector<std::shared_ptr<CMIOExtensionProvider>> startedProviders;
  std::vector<std::shared_ptr<CMIOExtensionDevice>> deviceRequests;
  std::vector<std::shared_ptr<CMIOExtensionStream>> streamRequests;
  // Order of calls, for start-up order checks: "addStream", "addDevice", "startService".
  std::vector<std::string> calls;

 private:
  std::atomic<int> sendsInFlight_{0};
  mutable std::mutex mutex_;
  std::vector<RecordedSample> samples_;  // guarded by mutex_
};

}  // namespace kolv::test
