// One camera stream published as a PipeWire node. The node (a pw_stream) is made on each
// connection to PipeWire and removed when the connection goes; what outlives connections
// (the description, the streaming period, the frame slot, the counters) lives here.
// Thread-safety: post() may be called from any thread; everything else runs on the loop
// thread, or with the thread loop's lock held.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/cmio.h"
#include "platform/foundation.h"
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
  // Copies the newest sample into a PipeWire buffer and sends it, if the node streams: as it
  // is, converted to the stream's format, or grey when it cannot be shown (FrameWriter).
  void deliver();

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
  void negotiate(const spa_pod* format);
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
  bool streaming_ = false;
  std::uint64_t sent_ = 0;
  std::uint64_t dropped_ = 0;
  std::uint64_t sentAtStart_ = 0;
  std::uint64_t droppedAtStart_ = 0;

  std::mutex mutex_;
  std::optional<Pending> pending_;  // guarded by mutex_
  std::uint64_t nextSequence_ = 0;  // guarded by mutex_
  std::uint64_t replaced_ = 0;      // guarded by mutex_
};

}  // namespace kolv::pipewire
