#include "platform/pipewire/node_stream.h"

#include <spa/buffer/meta.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/utils/result.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace kolv::pipewire {
namespace {

// Room for one format object, or for the buffer and meta parameters.
constexpr std::size_t kParamBytes = 1024;

// Locks a pixel buffer's memory for reading for a scope. Loop thread.
class ReadLock {
 public:
  explicit ReadLock(const CVPixelBufferRef& buffer)
      : buffer_(buffer), locked_(CVPixelBufferLockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly) == noErr) {}
  ~ReadLock() {
    if (locked_) CVPixelBufferUnlockBaseAddress(buffer_, kCVPixelBufferLock_ReadOnly);
  }
  ReadLock(const ReadLock&) = delete;
  ReadLock& operator=(const ReadLock&) = delete;
  bool locked() const { return locked_; }

 private:
  const CVPixelBufferRef& buffer_;
  bool locked_;
};

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

NodeStream::NodeStream(OSLog& log, std::shared_ptr<CMIOExtensionStream> stream, NodeDescription description)
    : log_(log),
      stream_(std::move(stream)),
      description_(std::move(description)),
      activity_(log, description_.label),
      writer_(log, description_.label) {}

bool NodeStream::connect(pw_core* core) {
  disconnect();
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
  // can draw into them.
  const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_ALLOC_BUFFERS);
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
  streaming_ = false;
  endStreaming();
  layout_.reset();
  nodeListener_.reset();
  node_.reset();  // removes its buffers first (onRemoveBuffer)
  buffers_.clear();
  ledger_->clear();
}

void NodeStream::connectionLost() {
  streaming_ = false;
  endStreaming();
}

void NodeStream::post(CMSampleBufferRef sample, CMIOExtensionStreamDiscontinuityFlags discontinuity,
                      std::uint64_t hostTimeInNanoseconds) {
  std::optional<Pending> replaced;
  {
    std::lock_guard lock(mutex_);
    if (pending_) ++replaced_;
    replaced =
        std::exchange(pending_, Pending{std::move(sample), discontinuity, hostTimeInNanoseconds, nextSequence_++});
  }
  // `replaced` releases its sample here, outside the lock.
}

std::optional<NodeStream::Pending> NodeStream::takePending() {
  std::lock_guard lock(mutex_);
  dropped_ += std::exchange(replaced_, 0);
  return std::exchange(pending_, std::nullopt);
}

void NodeStream::deliver() {
  auto pending = takePending();
  takeBackReturnedBuffers();
  // Samples that arrive while nobody streams (a tick that was already running when the
  // stream stopped) are let go.
  if (!pending || !streaming_ || !layout_ || !node_) return;

  const CVPixelBufferRef image = pending->sample ? pending->sample->imageBuffer : nullptr;
  if (!image) return drop();

  // A frame drawn into one of this node's buffers, and finished, goes as it is.
  const auto taken = ledger_->takeForSending(image->baseAddress());
  if (taken.outcome == StreamBufferLedger::Taken::Outcome::unfinished) return drop();
  if (taken.outcome == StreamBufferLedger::Taken::Outcome::taken) {
    pending->sample.reset();  // the pool's loan ends; the buffer stays with the stream
    ++sentInPlace_;
    return send(taken.index, *pending, true);
  }

  ReadLock lock(image);
  const SourcePicture picture{static_cast<const std::byte*>(image->baseAddress()), image->width(), image->height(),
                              image->bytesPerRow()};
  if (!lock.locked() || !picture.data) return drop();

  const auto index = ledger_->takeFreeForSending();
  if (!index) return drop();
  const TargetPicture target{ledger_->data(*index), layout_->width, layout_->height, layout_->stride};
  const bool placed =
      writer_.write(picture, image->pixelFormatType(), target, layout_->pixelFormat, image->ioSurface() != nullptr);
  ++copied_;
  send(*index, *pending, placed);
}

void NodeStream::send(std::uint32_t index, const Pending& pending, bool placed) {
  spa_buffer* spaBuffer = buffers_[index]->buffer;
  spa_data& data = spaBuffer->datas[0];
  data.chunk->offset = 0;
  data.chunk->stride = static_cast<std::int32_t>(layout_->stride);
  data.chunk->size = placed ? layout_->size : 0;
  data.chunk->flags = placed ? SPA_CHUNK_FLAG_NONE : SPA_CHUNK_FLAG_CORRUPTED;
  if (auto* header = static_cast<spa_meta_header*>(
          spa_buffer_find_meta_data(spaBuffer, SPA_META_Header, sizeof(spa_meta_header)))) {
    header->flags =
        pending.discontinuity != CMIOExtensionStreamDiscontinuityFlagNone ? SPA_META_HEADER_FLAG_DISCONT : 0;
    header->offset = 0;
    header->pts = static_cast<std::int64_t>(pending.hostTimeInNanoseconds);
    header->dts_offset = 0;
    header->seq = pending.sequence;
  }
  pw_stream_queue_buffer(node_.get(), buffers_[index]);
  pw_stream_trigger_process(node_.get());
  if (placed) {
    ++sent_;
  } else {
    ++dropped_;
  }
}

void NodeStream::takeBackReturnedBuffers() {
  if (!node_) return;
  while (pw_buffer* buffer = pw_stream_dequeue_buffer(node_.get())) {
    ledger_->returnedByStream(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(buffer->user_data)));
  }
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
  plane.type = SPA_DATA_MemFd;
  plane.flags = SPA_DATA_FLAG_READWRITE;
  plane.fd = memory->fd();
  plane.mapoffset = 0;
  plane.maxsize = self.layout_->size;
  plane.data = memory->data();
  const std::uint32_t index = self.ledger_->add(std::move(memory));
  buffer->user_data = reinterpret_cast<void*>(static_cast<std::uintptr_t>(index));
  if (self.buffers_.size() <= index) self.buffers_.resize(index + 1);
  self.buffers_[index] = buffer;
  // A new buffer starts out with the stream; take it back at once so that the pool can use it.
  self.takeBackReturnedBuffers();
}

void NodeStream::onRemoveBuffer(void* data, pw_buffer*) {
  // The set goes as a whole; loans of it keep their pages and are never sent.
  auto& self = *static_cast<NodeStream*>(data);
  if (!self.buffers_.empty()) {
    self.buffers_.clear();
    self.ledger_->clear();
  }
}

void NodeStream::drop() { ++dropped_; }

void NodeStream::onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error) {
  auto& self = *static_cast<NodeStream*>(data);
  os_log_with_type(self.log_, OSLogType::debug, "%s: node %s -> %s", self.description_.label.c_str(),
                   pw_stream_state_as_string(old), pw_stream_state_as_string(state));
  if (state == PW_STREAM_STATE_ERROR) {
    os_log_with_type(self.log_, OSLogType::error, "%s: the node failed: %s", self.description_.label.c_str(),
                     error ? error : "no reason given");
  }
  self.streaming_ = state == PW_STREAM_STATE_STREAMING;
  if (state == PW_STREAM_STATE_STREAMING) {
    self.beginStreaming();
  } else if (state != PW_STREAM_STATE_CONNECTING) {
    self.endStreaming();
  }
}

void NodeStream::onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
  if (id == SPA_PARAM_Format) static_cast<NodeStream*>(data)->negotiate(param);
}

void NodeStream::negotiate(const spa_pod* format) {
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
  if (activity_.started()) return;
  takePending();  // a sample from before this period would be stale
  sentAtStart_ = sent_;
  sentInPlaceAtStart_ = sentInPlace_;
  copiedAtStart_ = copied_;
  droppedAtStart_ = dropped_;
  const CMIOExtensionClient client{NSUUID::UUID(), 0, {}};
  activity_.begin(stream_->source().get(), client);
}

void NodeStream::endStreaming() {
  if (!activity_.started()) {
    activity_.end(nullptr);
    return;
  }
  activity_.end(stream_->source().get());
  {
    std::lock_guard lock(mutex_);
    dropped_ += std::exchange(replaced_, 0);
  }
  os_log_with_type(log_, OSLogType::info,
                   "%s: %llu frames sent (%llu in place, %llu copied), %llu dropped while streaming",
                   description_.label.c_str(), static_cast<unsigned long long>(sent_ - sentAtStart_),
                   static_cast<unsigned long long>(sentInPlace_ - sentInPlaceAtStart_),
                   static_cast<unsigned long long>(copied_ - copiedAtStart_),
                   static_cast<unsigned long long>(dropped_ - droppedAtStart_));
}

}  // namespace kolv::pipewire
