// One camera stream published as a PipeWire node. The node (a pw_stream) is made on each
// connection to PipeWire and removed when the connection goes; what outlives connections
// (the description, the streaming period, the frame slot, the buffer ledger, the counters) lives
// here. The node allocates its buffers itself, one memfd each, and lends the free ones through
// its ledger to the camera's pixel-buffer pool: a frame drawn into one is sent as it is.
// It tells the composed host when its first consumer starts pulling frames and when its last
// leaves (OutputListener), and keeps its own count of what it sent in that period.
// Thread-safety: post() runs on the sender's thread (the frame queue) and sendReady() on
// PipeWire's data thread, so that a frame reaches the graph with no hop through the loop
// thread; the ledger is safe on any thread; everything else runs on the loop thread, or with the
// thread loop's lock held. The data thread (real-time) takes no lock and allocates nothing: the
// next frame passes to it through a LatestValue, and buffers go back to the ledger lock-free.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/cmio.h"
#include "platform/foundation.h"
#include "platform/output/camera_output.h"
#include "platform/output/output_frame.h"
#include "platform/pipewire/node_description.h"
#include "platform/pipewire/pw_handles.h"
#include "platform/pipewire/stream_buffers.h"
#include "platform/pipewire/video_params.h"

namespace kolv::pipewire {

class NodeStream {
 public:
  // `owner` is the output reported to `listener`.
  NodeStream(OSLog& log, std::shared_ptr<CMIOExtensionStream> stream, NodeDescription description,
             output::CameraOutput& owner, output::OutputListener& listener);
  NodeStream(const NodeStream&) = delete;
  NodeStream& operator=(const NodeStream&) = delete;

  const CMIOExtensionStream& stream() const { return *stream_; }
  const NodeDescription& description() const { return description_; }

  // Publishes the node on `core`; `dataLoop` is the context's data loop, where sendReady() runs.
  // False, with a log line, when PipeWire refused it.
  bool connect(pw_core* core, pw_loop* dataLoop);
  // Ends the streaming period (consumers gone, to the listener) and removes the node.
  void disconnect();
  // The connection broke: ends the streaming period now; disconnect() removes the node later.
  void connectionLost();

  // The sender's thread (never the loop or data thread): makes `frame` the next frame, in a
  // buffer of the node's: a frame drawn into one of them as it is, any other written into a free
  // one (OutputFrame::writeInto: as it is, converted to the stream's format, or grey when it
  // cannot be shown). Replaces (and drops) a frame not sent yet. sendReady() sends it.
  void post(output::OutputFrame& frame);
  // Data thread: takes back the buffers the stream handed back and sends the next frame, if the
  // node streams.
  void sendReady();

  // The node's buffers, for the pool; negotiated buffers only while a format is set.
  const std::shared_ptr<StreamBufferLedger>& ledger() const { return ledger_; }

 private:
  // A frame in one of the node's buffers, waiting for the data thread.
  struct Ready {
    std::uint32_t index = 0;
    std::uint64_t generation = 0;  // of the ledger's set that `index` belongs to
    bool placed = false;           // it holds the picture (else it goes out marked corrupted)
    bool inPlace = false;          // drawn into the buffer, not copied
    CMIOExtensionStreamDiscontinuityFlags discontinuity = 0;
    std::uint64_t hostTimeInNanoseconds = 0;
    std::uint64_t sequence = 0;
  };
  // What the data thread sends with; empty while the node does not stream.
  struct Sending {
    pw_stream* node = nullptr;
    std::vector<pw_buffer*> buffers;  // by ledger index
    std::uint64_t generation = 0;
    std::uint32_t stride = 0;
    std::uint32_t size = 0;
  };

  static const pw_stream_events kEvents;
  static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error);
  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
  static void onAddBuffer(void* data, pw_buffer* buffer);
  static void onRemoveBuffer(void* data, pw_buffer* buffer);
  void negotiate(const spa_pod* format);
  // Takes the buffers that `node` has handed back into the ledger's free ones (of set
  // `generation`, the one `node` has, of `bufferCount` buffers).
  void takeBackReturnedBuffers(pw_stream* node, std::uint64_t generation, std::size_t bufferCount);
  // Loop thread, at the end of a streaming period (sending and the frame tick stopped): takes
  // back every buffer that no live consumer holds, those still queued for the graph included.
  void takeBackBuffersAfterPeriod();
  // Why a frame was not sent: the stop line names each cause that dropped any.
  enum class Drop : std::size_t {
    noFreeBuffer,  // every buffer with the stream or its consumers (the one cause a consumer makes)
    unfinished,    // drawn into a lent buffer still being written, or sent already
    unreadable,    // a picture that could not be locked, or no format to write it in
    replaced,      // the next frame came before the data thread took this one
    renegotiated,  // of a buffer set that was replaced meanwhile
    notPlaced,     // the picture could not be written into the buffer
    count
  };
  static constexpr std::array<const char*, static_cast<std::size_t>(Drop::count)> kDropNames{
      "no free buffer",       "buffer still written", "picture unreadable",
      "replaced before sent", "renegotiated",         "not placed"};
  // The sender's thread: the frame for `image` in one of the node's buffers, or nothing, with
  // `cause` set.
  std::optional<Ready> prepare(output::OutputFrame& frame, Drop& cause);
  // Loop thread: the data thread sends with `sending` (empty: sends nothing) once this returns.
  void setSending(Sending sending);
  void stopSending() { setSending({}); }
  static int applySending(spa_loop* loop, bool async, std::uint32_t seq, const void* data, std::size_t size,
                          void* user);
  void beginStreaming();
  void endStreaming();
  // Loop thread: lets an unsent frame go (on the data thread, which alone takes frames); its
  // buffer is free again.
  void discardReady();
  static int applyDiscard(spa_loop* loop, bool async, std::uint32_t seq, const void* data, std::size_t size,
                          void* user);

  OSLog& log_;
  const std::shared_ptr<CMIOExtensionStream> stream_;
  const NodeDescription description_;

  output::CameraOutput& owner_;
  output::OutputListener& listener_;

  // Loop thread.
  bool streaming_ = false;  // the listener was told of consumers
  Stream node_;
  Listener nodeListener_;  // after node_, so that it is removed before the node is destroyed
  pw_loop* dataLoop_ = nullptr;
  std::optional<BufferLayout> layout_;
  std::vector<pw_buffer*> buffers_;  // the current set, by ledger index
  bool sendingSet_ = false;          // the data thread has a Sending with a node
  Sending nextSending_;              // handed to the data thread by setSending()

  // Data thread.
  Sending sending_;

  // Counted on the sender's and the data thread, read on the loop thread.
  std::atomic<std::uint64_t> sent_ = 0;
  std::atomic<std::uint64_t> sentInPlace_ = 0;
  std::atomic<std::uint64_t> copied_ = 0;
  void drop(Drop cause) { ++dropped_[static_cast<std::size_t>(cause)]; }
  std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(Drop::count)> dropped_{};

  // Loop thread.
  std::uint64_t sentAtStart_ = 0;
  std::uint64_t sentInPlaceAtStart_ = 0;
  std::uint64_t copiedAtStart_ = 0;
  std::array<std::uint64_t, static_cast<std::size_t>(Drop::count)> droppedAtStart_{};

  const std::shared_ptr<StreamBufferLedger> ledger_ = std::make_shared<StreamBufferLedger>();

  // Put by the sender's thread, taken by the data thread.
  LatestValue<Ready> ready_;
};

}  // namespace kolv::pipewire
