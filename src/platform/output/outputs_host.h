// The camera host the process composes from its outputs (the PipeWire node, a V4L2 loopback
// device, ...): to the camera's core it is the one CameraHost; to each output it is the
// listener of consumers and the source of frames. A stream streams while any output has a
// consumer of it: the first consumer at any output starts it (one start request), the last
// one leaving the last output stops it (one stop request). Each frame goes to the outputs
// that have consumers of its stream, and to no other.
// Thread-safety: built, started and shut down on the main thread; sendSampleBuffer on the
// camera's frame queue (one call at a time per stream), taking no lock; consumersChanged on the
// outputs' threads, serialised by one mutex that sendSampleBuffer never takes.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/cmio.h"
#include "platform/foundation.h"
#include "platform/output/camera_output.h"

namespace kolv::output {

class OutputsHost final : public CameraHost, private OutputListener {
 public:
  // `outputs` outlive the host; the frames go to them in this order.
  OutputsHost(OSLog& log, std::vector<std::reference_wrapper<CameraOutput>> outputs);
  ~OutputsHost() override;
  OutputsHost(const OutputsHost&) = delete;
  OutputsHost& operator=(const OutputsHost&) = delete;

  // Starts every output on the provider's streams.
  void startService(const std::shared_ptr<CMIOExtensionProvider>& provider) override;
  bool addDevice(CMIOExtensionProvider& provider, const std::shared_ptr<CMIOExtensionDevice>& device,
                 NSErrorOut error) override;
  bool addStream(CMIOExtensionDevice& device, const std::shared_ptr<CMIOExtensionStream>& stream,
                 NSErrorOut error) override;
  void sendSampleBuffer(CMIOExtensionStream& stream, const CMSampleBufferRef& sampleBuffer,
                        CMIOExtensionStreamDiscontinuityFlags discontinuity,
                        std::uint64_t hostTimeInNanoseconds) override;

  // Shuts every output down, then ends every streaming period still open (one stop request for
  // each start); later samples are ignored. Idempotent; the destructor calls it.
  void shutdown();

 private:
  class StreamState;
  void consumersChanged(CameraOutput& output, const CMIOExtensionStream& stream, bool hasConsumers) override;
  StreamState* stateOf(const CMIOExtensionStream& stream) const;

  OSLog& log_;
  const std::vector<std::reference_wrapper<CameraOutput>> outputs_;
  std::vector<std::unique_ptr<StreamState>> streams_;  // fixed before serving_ is set
  std::atomic<bool> serving_ = false;
  bool started_ = false;                // main thread
  std::atomic<bool> shutDown_ = false;  // set on the main thread
  std::mutex activityMutex_;            // consumers and streaming periods; never taken by sendSampleBuffer
};

}  // namespace kolv::output
