#include "platform/pipewire/node_stream.h"

#include <spa/buffer/meta.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/utils/result.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace kolv::pipewire {
namespace {

// Room for one format object, or for the buffer and meta parameters.
constexpr std::size_t kParamBytes = 1024;

}  // namespace

const pw_stream_events NodeStream::kEvents = {
    .version = PW_VERSION_STREAM_EVENTS,
    .destroy = nullptr,
    .state_changed = &NodeStream::onStateChanged,
    .control_info = nullptr,
    .io_changed = nullptr,
    .param_changed = &NodeStream::onParamChanged,
    .add_buffer = &NodeStream::onAddBuffer,
    .remove_buffer = &NodeStream::onRemoveBuffer,
    .process = nullptr,
    .drained = nullptr,
    .command = nullptr,
    .trigger_done = nullptr,
};

NodeStream::NodeStream(OSLog& log, std::shared_ptr<CMIOExtensionStream> stream, NodeDescription description,
                       output::CameraOutput& owner, output::OutputListener& listener)
    : log_(log), stream_(std::move(stream)), description_(std::move(description)), owner_(owner), listener_(listener) {}

bool NodeStream::connect(pw_core* core, pw_loop* dataLoop) {
  disconnect();
  dataLoop_ = dataLoop;
  Properties properties{pw_properties_new(PW_KEY_NODE_NAME, description_.nodeName.c_str(), nullptr)};
  for (const auto& [key, value] : description_.properties) {
    pw_properties_set(properties.get(), key.c_str(), value.c_str());
  }
  // pw_stream_new takes the properties, also when it fails.
  Stream node{pw_stream_new(core, description_.label.c_str(), properties.release())};
  if (!node) {
    os_log_with_type(log_, OSLogType::error, "%s: PipeWire refused the node: %s", description_.label.c_str(),
                     std::strerror(errno));
    return false;
  }
  node_ = std::move(node);
  pw_stream_add_listener(node_.get(), nodeListener_.prepare(), &kEvents, this);

  std::vector<std::array<std::uint8_t, kParamBytes>> memory(description_.formats.size());
  std::vector<const spa_pod*> params;
  for (std::size_t i = 0; i < description_.formats.size(); ++i) {
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, memory[i].data(), memory[i].size());
    if (const spa_pod* format = buildEnumFormat(builder, description_.formats[i])) params.push_back(format);
  }
  // ALLOC_BUFFERS: the node makes its buffers' memory itself (onAddBuffer), so that the camera
  // can draw into them. RT_PROCESS: pw_stream_trigger_process(), which sendReady() calls on the
  // data thread, then starts the cycle there and then, without a call through the loop thread.
  const auto flags =
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_ALLOC_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
  const int result = pw_stream_connect(node_.get(), PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params.data(),
                                       static_cast<std::uint32_t>(params.size()));
  if (result < 0) {
    os_log_with_type(log_, OSLogType::error, "%s: PipeWire refused the node: %s", description_.label.c_str(),
                     spa_strerror(result));
    nodeListener_.reset();
    node_.reset();
    return false;
  }
  os_log_with_type(log_, OSLogType::info, "%s: published as PipeWire node \"%s\"", description_.label.c_str(),
                   description_.nodeName.c_str());
  return true;
}

void NodeStream::disconnect() {
  stopSending();
  endStreaming();
  layout_.reset();
  nodeListener_.reset();
  node_.reset();  // removes its buffers first (onRemoveBuffer)
  buffers_.clear();
  ledger_->clear();
}

void NodeStream::connectionLost() {
  stopSending();
  endStreaming();
}

void NodeStream::post(output::OutputFrame& frame) {
  Drop cause = Drop::unreadable;
  auto ready = frame.picture() ? prepare(frame, cause) : std::nullopt;
  if (!ready) {
    drop(cause);
    return;
  }
  ready->discontinuity = frame.discontinuity();
  ready->hostTimeInNanoseconds = frame.hostTimeInNanoseconds();
  // The stream's frame number, so that consumers see a frame that is dropped.
  ready->sequence = frame.sequence();
  // Replaced only when the data thread did not run between two ticks.
  if (const auto replaced = ready_.put(*ready)) {
    ledger_->unsent(replaced->index, replaced->generation);
    drop(Drop::replaced);
  }
}

std::optional<NodeStream::Ready> NodeStream::prepare(output::OutputFrame& frame, Drop& cause) {
  // A frame drawn into one of this node's buffers, and finished, goes as it is.
  const auto taken = ledger_->takeForSending(frame.picture()->baseAddress());
  if (taken.outcome == StreamBufferLedger::Taken::Outcome::unfinished) {
    cause = Drop::unfinished;
    return std::nullopt;
  }
  if (taken.outcome == StreamBufferLedger::Taken::Outcome::taken) {
    return Ready{.index = taken.index, .generation = taken.generation, .placed = true, .inPlace = true};
  }

  if (!frame.readable()) {
    cause = Drop::unreadable;
    return std::nullopt;
  }
  const auto target = ledger_->takeFreeForSending();
  if (!target) {
    cause = Drop::noFreeBuffer;
    return std::nullopt;
  }
  const auto format = pixelFormatForCode(target->layout.pixelFormat);
  if (!format) {
    ledger_->unsent(target->index, target->generation);
    cause = Drop::unreadable;
    return std::nullopt;
  }
  const output::TargetPicture out{target->memory->data(), target->layout.width, target->layout.height,
                                  target->layout.bytesPerRow};
  const bool placed = frame.writeInto(out, format->code);
  ++copied_;
  return Ready{.index = target->index, .generation = target->generation, .placed = placed};
}

void NodeStream::sendReady() {
  const auto ready = ready_.take();
  // A frame that arrives while nobody streams (a tick that was already running when the stream
  // stopped) is let go.
  if (!sending_.node) {
    if (ready) ledger_->unsent(ready->index, ready->generation);
    return;
  }
  takeBackReturnedBuffers(sending_.node, sending_.generation, sending_.buffers.size());
  if (!ready) return;
  if (ready->generation != sending_.generation || ready->index >= sending_.buffers.size()) {
    ledger_->unsent(ready->index, ready->generation);  // of a set renegotiated meanwhile
    drop(Drop::renegotiated);
    return;
  }

  pw_buffer* buffer = sending_.buffers[ready->index];
  spa_data& data = buffer->buffer->datas[0];
  data.chunk->offset = 0;
  data.chunk->stride = static_cast<std::int32_t>(sending_.stride);
  data.chunk->size = ready->placed ? sending_.size : 0;
  data.chunk->flags = ready->placed ? SPA_CHUNK_FLAG_NONE : SPA_CHUNK_FLAG_CORRUPTED;
  if (auto* header = static_cast<spa_meta_header*>(
          spa_buffer_find_meta_data(buffer->buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
    header->flags = ready->discontinuity != CMIOExtensionStreamDiscontinuityFlagNone ? SPA_META_HEADER_FLAG_DISCONT : 0;
    header->offset = 0;
    header->pts = static_cast<std::int64_t>(ready->hostTimeInNanoseconds);
    header->dts_offset = 0;
    header->seq = ready->sequence;
  }
  pw_stream_queue_buffer(sending_.node, buffer);
  pw_stream_trigger_process(sending_.node);
  // The cycle just started recycled the buffer that consumers let go since the last one: take
  // it back now, so that the next tick finds it free rather than one tick later.
  takeBackReturnedBuffers(sending_.node, sending_.generation, sending_.buffers.size());
  if (!ready->placed) {
    drop(Drop::notPlaced);
    return;
  }
  ++sent_;
  if (ready->inPlace) ++sentInPlace_;
}

void NodeStream::takeBackReturnedBuffers(pw_stream* node, std::uint64_t generation, std::size_t bufferCount) {
  // A buffer that a consumer still reads (its busy count is up) is not handed out: pw_stream puts
  // it back at the end of its queue and returns nothing, with EBUSY. Going on past it, once round
  // the set at most, keeps one held buffer from holding back every buffer queued behind it.
  for (std::size_t tries = 0; tries < bufferCount; ++tries) {
    errno = 0;
    pw_buffer* buffer = pw_stream_dequeue_buffer(node);
    if (!buffer) {
      if (errno == EBUSY) continue;
      return;
    }
    ledger_->returnedByStream(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(buffer->user_data)),
                              generation);
  }
}

void NodeStream::setSending(Sending sending) {
  const bool withNode = sending.node != nullptr;
  if (!withNode && !sendingSet_) return;
  nextSending_ = std::move(sending);
  if (dataLoop_) {
    // Blocks until the data thread has run it: afterwards it no longer uses what it had.
    pw_loop_invoke(dataLoop_, &NodeStream::applySending, 0, nullptr, 0, true, this);
  } else {
    applySending(nullptr, false, 0, nullptr, 0, this);
  }
  sendingSet_ = withNode;
}

int NodeStream::applySending(spa_loop*, bool, std::uint32_t, const void*, std::size_t, void* user) {
  auto& self = *static_cast<NodeStream*>(user);
  self.sending_ = std::exchange(self.nextSending_, Sending{});
  return 0;
}

void NodeStream::discardReady() {
  if (dataLoop_) {
    pw_loop_invoke(dataLoop_, &NodeStream::applyDiscard, 0, nullptr, 0, true, this);
  } else {
    applyDiscard(nullptr, false, 0, nullptr, 0, this);
  }
}

int NodeStream::applyDiscard(spa_loop*, bool, std::uint32_t, const void*, std::size_t, void* user) {
  auto& self = *static_cast<NodeStream*>(user);
  if (const auto ready = self.ready_.take()) self.ledger_->unsent(ready->index, ready->generation);
  return 0;
}

void NodeStream::onAddBuffer(void* data, pw_buffer* buffer) {
  auto& self = *static_cast<NodeStream*>(data);
  spa_data& plane = buffer->buffer->datas[0];
  // Until it has memory of its own the plane holds no usable pointer.
  plane.data = nullptr;
  plane.maxsize = 0;
  if (!self.layout_ || buffer->buffer->n_datas < 1) return;
  auto memory = std::make_shared<SharedMemory>(SharedMemory::create("kolv-stream-buffer", self.layout_->size));
  if (!*memory) {
    os_log_with_type(self.log_, OSLogType::error, "%s: cannot allocate a stream buffer: %s",
                     self.description_.label.c_str(), std::strerror(errno));
    pw_stream_set_error(self.node_.get(), -ENOMEM, "cannot allocate a buffer");
    return;
  }
  const int fd = memory->fd();
  void* const pages = memory->data();
  // The ledger keeps the memory; the plane points into it only once it does.
  const auto added = self.ledger_->add(std::move(memory));
  if (!added) {
    os_log_with_type(self.log_, OSLogType::error, "%s: more stream buffers than %u", self.description_.label.c_str(),
                     StreamBufferLedger::kCapacity);
    pw_stream_set_error(self.node_.get(), -ENOSPC, "too many buffers");
    return;
  }
  plane.type = SPA_DATA_MemFd;
  plane.flags = SPA_DATA_FLAG_READWRITE;
  plane.fd = fd;
  plane.mapoffset = 0;
  plane.maxsize = self.layout_->size;
  plane.data = pages;
  const std::uint32_t index = *added;
  buffer->user_data = reinterpret_cast<void*>(static_cast<std::uintptr_t>(index));
  if (self.buffers_.size() <= index) self.buffers_.resize(index + 1);
  self.buffers_[index] = buffer;
  // A new buffer starts out with the stream; take it back at once so that the pool can use it.
  // (The data thread sends nothing while buffers change: see negotiate().)
  self.takeBackReturnedBuffers(self.node_.get(), self.ledger_->generation(), self.buffers_.size());
}

void NodeStream::onRemoveBuffer(void* data, pw_buffer*) {
  // The set goes as a whole; loans of it keep their pages and are never sent.
  auto& self = *static_cast<NodeStream*>(data);
  self.stopSending();
  if (!self.buffers_.empty()) {
    self.buffers_.clear();
    self.ledger_->clear();
  }
}

void NodeStream::onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error) {
  auto& self = *static_cast<NodeStream*>(data);
  os_log_with_type(self.log_, OSLogType::debug, "%s: node %s -> %s", self.description_.label.c_str(),
                   pw_stream_state_as_string(old), pw_stream_state_as_string(state));
  if (state == PW_STREAM_STATE_ERROR) {
    os_log_with_type(self.log_, OSLogType::error, "%s: the node failed: %s", self.description_.label.c_str(),
                     error ? error : "no reason given");
  }
  if (state == PW_STREAM_STATE_STREAMING) {
    self.beginStreaming();
    if (self.layout_) {
      self.setSending(Sending{self.node_.get(), self.buffers_, self.ledger_->generation(), self.layout_->stride,
                              self.layout_->size});
    }
  } else if (state != PW_STREAM_STATE_CONNECTING) {
    self.stopSending();
    self.endStreaming();
    if (state == PW_STREAM_STATE_PAUSED) self.takeBackBuffersAfterPeriod();
  }
}

void NodeStream::takeBackBuffersAfterPeriod() {
  if (!node_ || buffers_.empty()) return;
  // Frames queued after the graph stopped cycling (the last consumer left, or was killed, while
  // they were on their way) are never taken: pw_stream keeps them queued, and the next period
  // would send them first, stale, one a cycle, with that many buffers fewer meanwhile. Flushing
  // hands them back (the node is PAUSED already, so it pauses nothing).
  pw_stream_flush(node_.get(), false);
  // A consumer that was killed while it held a buffer never lowers the buffer's busy count, and
  // pw_stream never hands such a buffer out again: each killed consumer would take one or two
  // buffers of the set for good, until none is left and nothing is sent. No consumer pulls frames
  // now, so a busy count on a buffer that the node has not got back is stale. (Those the node
  // holds count its own hold, which queueing takes off again; the frame tick has stopped, so
  // none is on its way to the data thread.) A consumer that stays linked but paused with a buffer
  // in hand may find it written over in the next period: a picture changing under a paused
  // consumer, against a camera that stops for good.
  discardReady();
  for (const std::uint32_t index : ledger_->withStream()) {
    if (index >= buffers_.size() || !buffers_[index]) continue;
    if (auto* busy = static_cast<spa_meta_busy*>(
            spa_buffer_find_meta_data(buffers_[index]->buffer, SPA_META_Busy, sizeof(spa_meta_busy)))) {
      std::atomic_ref<std::uint32_t>(busy->count).store(0);
    }
  }
  takeBackReturnedBuffers(node_.get(), ledger_->generation(), buffers_.size());
}

void NodeStream::onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
  if (id == SPA_PARAM_Format) static_cast<NodeStream*>(data)->negotiate(param);
}

void NodeStream::negotiate(const spa_pod* format) {
  stopSending();
  layout_.reset();
  buffers_.clear();
  ledger_->clear();
  if (!format) {
    os_log_with_type(log_, OSLogType::debug, "%s: format cleared", description_.label.c_str());
    return;
  }
  std::uint32_t mediaType = 0;
  std::uint32_t mediaSubtype = 0;
  spa_video_info_raw info{};
  if (spa_format_parse(format, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
      mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(format, &info) < 0) {
    pw_stream_set_error(node_.get(), -EINVAL, "unsupported format");
    return;
  }
  const auto layout = bufferLayoutFor(info);
  if (!layout) {
    pw_stream_set_error(node_.get(), -EINVAL, "unsupported video format");
    return;
  }
  layout_ = layout;
  ledger_->reset(PixelBufferLayout{layout_->width, layout_->height, layout_->stride, layout_->pixelFormat.code, true});
  buffers_.clear();

  std::array<std::uint8_t, kParamBytes> memory{};
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, memory.data(), memory.size());
  std::array<const spa_pod*, 2> params{buildBuffersParam(builder, *layout_), buildHeaderMetaParam(builder)};
  pw_stream_update_params(node_.get(), params.data(), params.size());
  os_log_with_type(log_, OSLogType::info, "%s: negotiated '%s' %ux%u at %u/%u", description_.label.c_str(),
                   fourCCString(layout_->pixelFormat.code).c_str(), layout_->width, layout_->height, info.framerate.num,
                   info.framerate.denom);
}

void NodeStream::beginStreaming() {
  if (streaming_) return;
  discardReady();  // a frame from before this period would be stale
  sentAtStart_ = sent_;
  sentInPlaceAtStart_ = sentInPlace_;
  copiedAtStart_ = copied_;
  for (std::size_t i = 0; i < dropped_.size(); ++i) droppedAtStart_[i] = dropped_[i].load();
  streaming_ = true;
  listener_.consumersChanged(owner_, *stream_, true);
}

void NodeStream::endStreaming() {
  if (!streaming_) return;
  streaming_ = false;
  // The host stops the camera when no other output has consumers; it waits for a frame tick
  // under way, which takes none of this node's locks.
  listener_.consumersChanged(owner_, *stream_, false);
  // "M dropped while streaming", then the causes that dropped any: "(2 no free buffer)".
  std::uint64_t dropped = 0;
  std::string causes;
  for (std::size_t i = 0; i < dropped_.size(); ++i) {
    const std::uint64_t count = dropped_[i].load() - droppedAtStart_[i];
    if (count == 0) continue;
    dropped += count;
    causes += (causes.empty() ? " (" : ", ") + std::to_string(count) + " " + kDropNames[i];
  }
  if (!causes.empty()) causes += ")";
  os_log_with_type(log_, OSLogType::info,
                   "%s: %llu frames sent (%llu in place, %llu copied), %llu dropped while streaming%s",
                   description_.label.c_str(), static_cast<unsigned long long>(sent_.load() - sentAtStart_),
                   static_cast<unsigned long long>(sentInPlace_.load() - sentInPlaceAtStart_),
                   static_cast<unsigned long long>(copied_.load() - copiedAtStart_),
                   static_cast<unsigned long long>(dropped), causes.c_str());
}

}  // namespace kolv::pipewire
