#include "platform/pipewire/pipewire_output.h"

#include <spa/utils/result.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include "platform/pipewire/node_stream.h"
#include "platform/pipewire/pw_handles.h"
#include "platform/pipewire/stream_buffers.h"

namespace kolv {

using namespace pipewire;

namespace {

// The buffers of every node, for the camera's pools: a pool borrows from the first node whose
// buffers have its geometry. Thread-safety: any thread.
class NodeBuffers final : public StreamBufferSupplier {
 public:
  // `starved` runs on the borrower's thread when a loan finds no buffer free. The ledgers learn of
  // the buffers their streams have handed back only when the data thread takes them back, which
  // a frame sent wakes it for; the borrower (the camera's tick drawing a grey frame, with its
  // pool at its threshold) then has no frame to send. Without a wake-up here, once consumers had
  // held every buffer for a moment no tick would find one free again, and nothing would be sent
  // for good. Empty: nothing runs; once this returns, the one before runs no more.
  void setStarved(std::function<void()> starved) {
    std::lock_guard lock(starvedMutex_);
    starved_ = std::move(starved);
  }
  void setLedgers(std::vector<std::shared_ptr<StreamBufferLedger>> ledgers) {
    std::lock_guard lock(mutex_);
    ledgers_ = std::move(ledgers);
  }
  std::optional<StreamBufferLoan> lend(const PixelBufferLayout& layout) override {
    for (const auto& ledger : ledgers()) {
      if (auto loan = ledger->lend(layout)) return loan;
    }
    std::lock_guard lock(starvedMutex_);
    if (starved_) starved_();
    return std::nullopt;
  }
  std::size_t buffersInUse() const override {
    std::size_t count = 0;
    for (const auto& ledger : ledgers()) count += ledger->inUse();
    return count;
  }

 private:
  std::vector<std::shared_ptr<StreamBufferLedger>> ledgers() const {
    std::lock_guard lock(mutex_);
    return ledgers_;
  }

  std::mutex starvedMutex_;
  std::function<void()> starved_;  // guarded by starvedMutex_
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<StreamBufferLedger>> ledgers_;  // guarded by mutex_
};

}  // namespace

// Owns the PipeWire connection. Built and started on the main thread, then driven by the
// thread loop: connection attempts and node events run there. Frames go from the sender's thread
// (the camera's frame queue) straight to PipeWire's data thread, which queues them.
class PipeWireOutput::Impl {
 public:
  Impl(OSLog& log, PipeWireOutputOptions options)
      : log_(log), options_(std::move(options)), retryDelay_(options_.firstRetryDelay) {}
  ~Impl() { shutdown(); }

  void start(const std::shared_ptr<CMIOExtensionProvider>& provider, output::CameraOutput& owner,
             output::OutputListener& listener);
  void send(const CMIOExtensionStream& stream, output::OutputFrame& frame);
  void shutdown();
  const std::shared_ptr<NodeBuffers>& buffers() const { return buffers_; }

 private:
  static const pw_core_events kCoreEvents;
  static void onSend(void* data, std::uint64_t count);
  static int addSendEvent(spa_loop*, bool, std::uint32_t, const void*, std::size_t, void* data);
  static int removeSendEvent(spa_loop*, bool, std::uint32_t, const void*, std::size_t, void* data);
  static void onRetry(void* data, std::uint64_t expirations);
  static void onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);

  void describe(const CMIOExtensionProvider& provider, output::CameraOutput& owner, output::OutputListener& listener);
  bool createLoop();
  void connect();
  void disconnect();
  void scheduleRetry(std::chrono::milliseconds delay);
  // The sender's thread: wakes the data thread without a frame, to take back the buffers the
  // streams have handed back (NodeStream::sendReady).
  void wakeSender();

  OSLog& log_;
  const PipeWireOutputOptions options_;
  bool started_ = false;  // main thread
  const std::shared_ptr<NodeBuffers> buffers_ = std::make_shared<NodeBuffers>();

  Library library_;
  ThreadLoop threadLoop_;
  pw_loop* loop_ = nullptr;
  Context context_;
  pw_loop* dataLoop_ = nullptr;
  LoopSource send_;  // on the data loop: made and removed there
  LoopSource retryTimer_;
  std::vector<std::unique_ptr<NodeStream>> nodes_;  // fixed once serving_ is set
  Core core_;
  Listener coreListener_;  // after core_, so that it is removed before the core goes
  std::chrono::milliseconds retryDelay_;
  bool reportedAbsent_ = false;  // loop thread

  // Senders hold it while they hand a sample over, so that shutdown never pulls the
  // wake-up event from under them.
  std::mutex gate_;
  bool serving_ = false;  // guarded by gate_
};

const pw_core_events PipeWireOutput::Impl::kCoreEvents = {
    .version = PW_VERSION_CORE_EVENTS,
    .info = nullptr,
    .done = nullptr,
    .ping = nullptr,
    .error = &PipeWireOutput::Impl::onCoreError,
    .remove_id = nullptr,
    .bound_id = nullptr,
    .add_mem = nullptr,
    .remove_mem = nullptr,
};

void PipeWireOutput::Impl::start(const std::shared_ptr<CMIOExtensionProvider>& provider, output::CameraOutput& owner,
                                 output::OutputListener& listener) {
  if (started_) {
    os_log_with_type(log_, OSLogType::error, "the PipeWire output is already running");
    return;
  }
  started_ = true;
  if (provider) describe(*provider, owner, listener);
  if (nodes_.empty()) os_log_with_type(log_, OSLogType::error, "no camera stream to publish");
  if (!createLoop()) return;
  {
    ThreadLoopLock lock(threadLoop_.get());
    connect();
  }
  buffers_->setStarved([this] { wakeSender(); });
  std::lock_guard gate(gate_);
  serving_ = true;
}

void PipeWireOutput::Impl::describe(const CMIOExtensionProvider& provider, output::CameraOutput& owner,
                                    output::OutputListener& listener) {
  std::set<std::string, std::less<>> names;
  for (const auto& device : provider.devices()) {
    for (const auto& stream : device->streams()) {
      auto description = describeStream(provider, *device, *stream, log_, options_.yuvFormats);
      if (description.formats.empty()) continue;
      // A second stream of the same device, or a device of the same name, gets a numbered name.
      const std::string base = description.nodeName;
      for (int n = 2; names.contains(description.nodeName); ++n) description.nodeName = base + "-" + std::to_string(n);
      names.insert(description.nodeName);
      nodes_.push_back(std::make_unique<NodeStream>(log_, stream, std::move(description), owner, listener));
    }
  }
  std::vector<std::shared_ptr<StreamBufferLedger>> ledgers;
  for (const auto& node : nodes_) ledgers.push_back(node->ledger());
  buffers_->setLedgers(std::move(ledgers));
}

bool PipeWireOutput::Impl::createLoop() {
  threadLoop_.reset(pw_thread_loop_new("kolv-pipewire", nullptr));
  if (!threadLoop_) {
    os_log_with_type(log_, OSLogType::error, "cannot create the PipeWire loop: %s", std::strerror(errno));
    return false;
  }
  loop_ = pw_thread_loop_get_loop(threadLoop_.get());
  // client-rt.conf: libpipewire's data thread, which runs the graph cycles that carry each frame
  // to consumers, gets real-time priority where the system permits it (directly, or through
  // RTKit). It does no file I/O; the frame queue, which reads the hand-off files, stays
  // non-real-time.
  context_.reset(pw_context_new(loop_, pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0));
  if (!context_) {
    os_log_with_type(log_, OSLogType::error, "cannot create the PipeWire context: %s", std::strerror(errno));
    return false;
  }
  dataLoop_ = pw_data_loop_get_loop(pw_context_get_data_loop(context_.get()));
  pw_loop_invoke(dataLoop_, &Impl::addSendEvent, 0, nullptr, 0, true, this);
  retryTimer_ = LoopSource(loop_, pw_loop_add_timer(loop_, &Impl::onRetry, this));
  if (!send_ || !retryTimer_) {
    os_log_with_type(log_, OSLogType::error, "cannot set up the PipeWire loop: %s", std::strerror(errno));
    return false;
  }
  if (const int result = pw_thread_loop_start(threadLoop_.get()); result < 0) {
    os_log_with_type(log_, OSLogType::error, "cannot start the PipeWire loop: %s", spa_strerror(result));
    return false;
  }
  return true;
}

void PipeWireOutput::Impl::connect() {
  Properties properties;
  if (!options_.remoteName.empty()) {
    properties.reset(pw_properties_new(PW_KEY_REMOTE_NAME, options_.remoteName.c_str(), nullptr));
  }
  // pw_context_connect takes the properties, also when it fails.
  Core core{pw_context_connect(context_.get(), properties.release(), 0)};
  if (!core) {
    if (!reportedAbsent_) {
      os_log_with_type(log_, OSLogType::error, "PipeWire is not running (%s); the camera appears as soon as it starts",
                       std::strerror(errno));
      reportedAbsent_ = true;
    }
    scheduleRetry(retryDelay_);
    retryDelay_ = std::min(retryDelay_ * 2, options_.maxRetryDelay);
    return;
  }
  core_ = std::move(core);
  pw_core_add_listener(core_.get(), coreListener_.prepare(), &kCoreEvents, this);
  reportedAbsent_ = false;
  retryDelay_ = options_.firstRetryDelay;
  std::size_t published = 0;
  for (const auto& node : nodes_) {
    if (node->connect(core_.get(), dataLoop_)) ++published;
  }
  os_log_with_type(log_, OSLogType::info, "connected to PipeWire; %zu of %zu camera streams published", published,
                   nodes_.size());
}

void PipeWireOutput::Impl::disconnect() {
  for (const auto& node : nodes_) node->disconnect();
  coreListener_.reset();
  core_.reset();
}

void PipeWireOutput::Impl::scheduleRetry(std::chrono::milliseconds delay) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(delay);
  timespec value{static_cast<time_t>(seconds.count()),
                 static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(delay - seconds).count())};
  if (value.tv_sec == 0 && value.tv_nsec == 0) value.tv_nsec = 1;  // zero would disarm the timer
  pw_loop_update_timer(loop_, retryTimer_.get(), &value, nullptr, false);
}

void PipeWireOutput::Impl::onSend(void* data, std::uint64_t) {
  for (const auto& node : static_cast<Impl*>(data)->nodes_) node->sendReady();
}

int PipeWireOutput::Impl::addSendEvent(spa_loop*, bool, std::uint32_t, const void*, std::size_t, void* data) {
  auto& self = *static_cast<Impl*>(data);
  self.send_ = LoopSource(self.dataLoop_, pw_loop_add_event(self.dataLoop_, &Impl::onSend, &self));
  return 0;
}

int PipeWireOutput::Impl::removeSendEvent(spa_loop*, bool, std::uint32_t, const void*, std::size_t, void* data) {
  static_cast<Impl*>(data)->send_.reset();
  return 0;
}

void PipeWireOutput::Impl::onRetry(void* data, std::uint64_t) {
  auto& self = *static_cast<Impl*>(data);
  self.disconnect();
  self.connect();
}

void PipeWireOutput::Impl::onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
  auto& self = *static_cast<Impl*>(data);
  if (id == PW_ID_CORE && res == -EPIPE) {
    os_log_with_type(self.log_, OSLogType::error, "lost the connection to PipeWire (%s); reconnecting",
                     message ? message : spa_strerror(res));
    for (const auto& node : self.nodes_) node->connectionLost();
    // The core cannot be destroyed from inside its own event: the retry timer does it.
    self.scheduleRetry(self.options_.firstRetryDelay);
    return;
  }
  os_log_with_type(self.log_, OSLogType::error, "PipeWire reported an error on object %u: %s (%s)", id,
                   spa_strerror(res), message ? message : "no message");
}

void PipeWireOutput::Impl::send(const CMIOExtensionStream& stream, output::OutputFrame& frame) {
  std::lock_guard gate(gate_);
  if (!serving_) return;
  const auto node = std::find_if(nodes_.begin(), nodes_.end(), [&](const auto& n) { return &n->stream() == &stream; });
  if (node == nodes_.end()) return;
  (*node)->post(frame);
  // The one libpipewire call made on the sender's thread: it only writes the event's eventfd.
  pw_loop_signal_event(dataLoop_, send_.get());
}

void PipeWireOutput::Impl::wakeSender() {
  std::lock_guard gate(gate_);
  if (serving_) pw_loop_signal_event(dataLoop_, send_.get());
}

void PipeWireOutput::Impl::shutdown() {
  buffers_->setStarved({});
  {
    std::lock_guard gate(gate_);
    serving_ = false;
  }
  if (!threadLoop_) return;
  {
    ThreadLoopLock lock(threadLoop_.get());
    disconnect();
    retryTimer_.reset();
    if (dataLoop_) pw_loop_invoke(dataLoop_, &Impl::removeSendEvent, 0, nullptr, 0, true, this);
  }
  pw_thread_loop_stop(threadLoop_.get());
  nodes_.clear();
  context_.reset();
  threadLoop_.reset();
  loop_ = nullptr;
  os_log_with_type(log_, OSLogType::info, "left PipeWire");
}

PipeWireOutput::PipeWireOutput(OSLog& log, PipeWireOutputOptions options)
    : impl_(std::make_unique<Impl>(log, std::move(options))) {}

PipeWireOutput::~PipeWireOutput() = default;

void PipeWireOutput::start(const std::shared_ptr<CMIOExtensionProvider>& provider, output::OutputListener& listener) {
  impl_->start(provider, *this, listener);
}

void PipeWireOutput::send(const CMIOExtensionStream& stream, output::OutputFrame& frame) { impl_->send(stream, frame); }

void PipeWireOutput::shutdown() { impl_->shutdown(); }

std::shared_ptr<StreamBufferSupplier> PipeWireOutput::streamBuffers() const { return impl_->buffers(); }

}  // namespace kolv
