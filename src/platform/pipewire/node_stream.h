// One camera stream published as a PipeWire node. The node (a pw_stream) is made on each
// connection to PipeWire and removed when the connection goes; what outlives connections
// (the description, the streaming period, the frame slot, the buffer ledger, the counters) lives
// here. The node allocates its buffers itself, one memfd each, and lends the free ones through
// its ledger to the camera's pixel-buffer pool: a frame drawn into one is sent as it is.
// Thread-safety: post() may be called from any thread, the ledger is safe on any thread;
// everything else runs on the loop thread, or with the thread loop's lock held.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/cmio.h"
#include "platform/foundation.h"
#include "platform/linux/stream_buffers.h"
#include "platform/pipewire/frame_writer.h"
#include "platform/pipewire/node_description.h"
#include "platform/pipewire/pw_handles.h"
#include "platform/pipewire/stream_activity.h"
#include "platform/pipewire/video_params.h"

namespace kolv::pipewire {

class NodeStream {
 public:
  NodeStream(OSLog& log, std::shared_ptr<CMIOExtensionStream> stream, NodeDescription description);
  NodeStream(const NodeStream&) = delete;
  NodeStream& operator=(const NodeStream&) = delete;

  const CMIOExtensionStream& stream() const { return *stream_; }
  const NodeDescription& description() const { return description_; }

  // Publishes the node on `core`. False, with a log line, when PipeWire refused it.
  bool connect(pw_core* core);
  // Ends the streaming period (the stop request it is owed, if any) and removes the node.
  void disconnect();
  // The connection broke: ends the streaming period now; disconnect() removes the node later.
  void connectionLost();

  // Any thread: keeps `sample` as the newest one, replacing (and dropping) an unsent one.
  void post(CMSampleBufferRef sample, CMIOExtensionStreamDiscontinuityFlags discontinuity,
            std::uint64_t hostTimeInNanoseconds);
  // Sends the newest sample, if the node streams: a frame drawn into one of the node's own
  // buffers as it is, any other copied into a free buffer as it is, converted to the stream's
  // format, or grey when it cannot be shown (FrameWriter).
  void deliver();

  // The node's buffers, for the pool; negotiated buffers only while a format is set.
  const std::shared_ptr<StreamBufferLedger>& ledger() const { return ledger_; }

 private:
  struct Pending {
    CMSampleBufferRef sample;
    CMIOExtensionStreamDiscontinuityFlags discontinuity = 0;
    std::uint64_t hostTimeInNanoseconds = 0;
    std::uint64_t sequence = 0;
  };

  static const pw_stream_events kEvents;
  static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error);
  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
  static void onAddBuffer(void* data, pw_buffer* buffer);
  static void onRemoveBuffer(void* data, pw_buffer* buffer);
  void negotiate(const spa_pod* format);
  // Takes the buffers that the stream has handed back into the ledger's free ones.
  void takeBackReturnedBuffers();
  // Sends buffer `index` with the sample's time and sequence; `placed`: it holds the picture.
  void send(std::uint32_t index, const Pending& pending, bool placed);
  void beginStreaming();
  void endStreaming();
  std::optional<Pending> takePending();
  void drop();

  OSLog& log_;
  const std::shared_ptr<CMIOExtensionStream> stream_;
  const NodeDescription description_;

  // Loop thread.
  StreamActivity activity_;
  FrameWriter writer_;
  Stream node_;
  Listener nodeListener_;  // after node_, so that it is removed before the node is destroyed
  std::optional<BufferLayout> layout_;
  std::vector<pw_buffer*> buffers_;  // the current set, by ledger index
  bool streaming_ = false;
  std::uint64_t sent_ = 0;
  std::uint64_t sentInPlace_ = 0;
  std::uint64_t copied_ = 0;
  std::uint64_t dropped_ = 0;
  std::uint64_t sentAtStart_ = 0;
  std::uint64_t sentInPlaceAtStart_ = 0;
  std::uint64_t copiedAtStart_ = 0;
  std::uint64_t droppedAtStart_ = 0;

  const std::shared_ptr<StreamBufferLedger> ledger_ = std::make_shared<StreamBufferLedger>();

  std::mutex mutex_;
  std::optional<Pending> pending_;  // guarded by mutex_
  std::uint64_t nextSequence_ = 0;  // guarded by mutex_
  std::uint64_t replaced_ = 0;      // guarded by mutex_
};

}  // namespace kolv::pipewire
