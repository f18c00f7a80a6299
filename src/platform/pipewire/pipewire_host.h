// The camera host on PipeWire: publishes each registered stream as a Video/Source node,
// turns consumers coming and going into start and stop requests, and hands samples to
// consumers. Built and started on the main thread; PipeWire work runs on the host's own loop
// thread. sendSampleBuffer may be called from any thread but PipeWire's, one call at a time per
// stream (the camera's frame queue): it puts the frame into a stream buffer there, and PipeWire's
// data thread queues it.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/cmio.h"
#include "platform/foundation.h"

namespace kolv {

class StreamBufferSupplier;

struct PipeWireHostOptions {
  // The PipeWire instance to publish on; empty means $PIPEWIRE_REMOTE, else "pipewire-0".
  std::string remoteName;
  // While PipeWire cannot be reached, attempts follow each other after this delay, doubled
  // after each failure up to maxRetryDelay.
  std::chrono::milliseconds firstRetryDelay{50};
  std::chrono::milliseconds maxRetryDelay{500};
};

class PipeWireHost final : public CameraHost {
 public:
  explicit PipeWireHost(OSLog& log, PipeWireHostOptions options = {});
  ~PipeWireHost() override;
  PipeWireHost(const PipeWireHost&) = delete;
  PipeWireHost& operator=(const PipeWireHost&) = delete;

  // Publishes the nodes and returns. When PipeWire is not running it says so in one line and
  // keeps trying in the background; when PipeWire goes away it reconnects the same way.
  void startService(const std::shared_ptr<CMIOExtensionProvider>& provider) override;
  bool addDevice(CMIOExtensionProvider& provider, const std::shared_ptr<CMIOExtensionDevice>& device,
                 NSErrorOut error) override;
  bool addStream(CMIOExtensionDevice& device, const std::shared_ptr<CMIOExtensionStream>& stream,
                 NSErrorOut error) override;
  void sendSampleBuffer(CMIOExtensionStream& stream, const CMSampleBufferRef& sampleBuffer,
                        CMIOExtensionStreamDiscontinuityFlags discontinuity,
                        std::uint64_t hostTimeInNanoseconds) override;

  // The nodes' buffers, for pixel-buffer pools (LinuxMediaServices::supplyStreamBuffers): a
  // frame drawn into one is sent without a copy. Valid before startService and after shutdown.
  std::shared_ptr<StreamBufferSupplier> streamBuffers() const;

  // Ends every streaming period (one stop request for each start), removes the nodes and
  // leaves PipeWire; later samples are ignored. Idempotent; the destructor calls it.
  void shutdown();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kolv
