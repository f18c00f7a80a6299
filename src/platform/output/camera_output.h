// One way the camera reaches applications: a PipeWire node, a V4L2 loopback device, or the
// next one. The process composes every output behind one camera host (OutputsHost), which the
// camera's core sees as its only host; the core knows nothing of outputs.
//
// What an output does, and what it is told:
//
//   start(provider, listener)   main thread, once. The output publishes the provider's streams
//                               it can carry (e.g. describes them from stream->source()->formats()).
//   listener.consumersChanged   the output's own threads, whenever one of its streams gets its
//     (this, stream, true/false) first consumer or loses its last. The host starts the core's
//                               stream when the first output of a stream has a consumer and
//                               stops it when the last one loses its last; a start the core
//                               refuses means no frames, nothing more.
//   send(stream, frame)         the camera's frame queue, one call at a time, only while this
//                               output has said it has consumers of `stream`. The frame is the
//                               companion's surface or the camera's grey, with its time. The
//                               output writes it into its own buffer (OutputFrame::writeInto:
//                               placed, converted or grey, converted once per format over every
//                               output) or, if the picture already is its buffer, sends it as is.
//   shutdown()                  main thread. Unpublishes. It may report consumers lost while it
//                               runs; afterwards it reports nothing and gets no frames, and the
//                               host ends whatever streaming period is still open.
//
// Rules: send() never waits for a consumer, for I/O that may block, or for a lock that the thread
// calling consumersChanged() may hold, because a stop request waits for the frame tick to end.
// consumersChanged() is called with none of the output's locks that send() takes. An output with
// no consumer gets no frames and should cost nothing: no copy, no conversion, no wake-up.
// The pieces every output uses are beside this header: picture placement, conversion of a
// surface's pixel format, the grey byte (picture_placement.h, picture_conversion.h, output_frame.h).
#pragma once

#include <memory>
#include <string_view>

#include "platform/cmio.h"

namespace kolv::output {

class CameraOutput;
class OutputFrame;

// Where an output reports its consumers: the composed host. Thread-safety: any thread, the frame
// queue excepted; calls about one (output, stream) pair come one at a time, in order.
class OutputListener {
 public:
  virtual ~OutputListener() = default;
  // `output` has its first consumer of `stream` (true) or lost its last (false). Repeating the
  // current state is harmless.
  virtual void consumersChanged(CameraOutput& output, const CMIOExtensionStream& stream, bool hasConsumers) = 0;
};

// Thread-safety: start() and shutdown() on the main thread; send() on the camera's frame queue;
// the output's own threads call the listener.
class CameraOutput {
 public:
  virtual ~CameraOutput() = default;
  // For log lines: "PipeWire", "V4L2 loopback".
  virtual std::string_view name() const = 0;
  // Publishes the provider's streams and reports their consumers to `listener`, which outlives the
  // output, until shutdown() returns. Returns at once: an output whose service is not there yet
  // says so in one line and keeps trying in the background.
  virtual void start(const std::shared_ptr<CMIOExtensionProvider>& provider, OutputListener& listener) = 0;
  // One frame of `stream` to this output's consumers. `frame` lives for this call only.
  virtual void send(const CMIOExtensionStream& stream, OutputFrame& frame) = 0;
  // Unpublishes every stream. Idempotent; the destructor must also be safe without it.
  virtual void shutdown() = 0;
};

}  // namespace kolv::output
