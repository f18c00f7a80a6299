// The camera's output on PipeWire: publishes each registered stream as a Video/Source node,
// tells the composed host (OutputsHost) when a node's first consumer comes and its last goes,
// and hands frames to consumers. Built, started and shut down on the main thread; PipeWire work
// runs on the output's own loop thread. send() runs on the camera's frame queue, one call at a
// time: it puts the frame into a node buffer there, and PipeWire's data thread queues it.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/cmio.h"
#include "platform/foundation.h"
#include "platform/output/camera_output.h"

namespace kolv {

class StreamBufferSupplier;

struct PipeWireOutputOptions {
  // The PipeWire instance to publish on; empty means $PIPEWIRE_REMOTE, else "pipewire-0".
  std::string remoteName;
  // While PipeWire cannot be reached, attempts follow each other after this delay, doubled
  // after each failure up to maxRetryDelay.
  std::chrono::milliseconds firstRetryDelay{50};
  std::chrono::milliseconds maxRetryDelay{500};
  // Whether each 'BGRA' format is offered in YUY2, NV12 and I420 too. A node carries one format
  // at a time, the first consumer's choice: with 'BGRA' alone every consumer shares it.
  bool yuvFormats = true;
};

class PipeWireOutput final : public output::CameraOutput {
 public:
  explicit PipeWireOutput(OSLog& log, PipeWireOutputOptions options = {});
  ~PipeWireOutput() override;
  PipeWireOutput(const PipeWireOutput&) = delete;
  PipeWireOutput& operator=(const PipeWireOutput&) = delete;

  std::string_view name() const override { return "PipeWire"; }
  // Publishes the nodes and returns. When PipeWire is not running it says so in one line and
  // keeps trying in the background; when PipeWire goes away it reconnects the same way.
  void start(const std::shared_ptr<CMIOExtensionProvider>& provider, output::OutputListener& listener) override;
  void send(const CMIOExtensionStream& stream, output::OutputFrame& frame) override;

  // The nodes' buffers, for pixel-buffer pools (LinuxMediaServices::supplyStreamBuffers): a
  // frame drawn into one is sent without a copy. Valid before startService and after shutdown.
  std::shared_ptr<StreamBufferSupplier> streamBuffers() const;

  // Reports every node's consumers gone, removes the nodes and leaves PipeWire; later frames
  // are ignored. Idempotent; the destructor calls it.
  void shutdown() override;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kolv
