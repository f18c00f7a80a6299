#include "platform/v4l2loopback/loopback_output.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace kolv::v4l2loopback {

LoopbackOutput::LoopbackOutput(OSLog& log, LoopbackOutputOptions options, std::unique_ptr<DeviceCalls> calls)
    : log_(log),
      options_(std::move(options)),
      calls_(std::move(calls)),
      writer_(log, options_.writer, *calls_),
      converter_(options_.writer.format, options_.writer.width, options_.writer.height) {}

LoopbackOutput::~LoopbackOutput() { shutdown(); }

void LoopbackOutput::start(const std::shared_ptr<CMIOExtensionProvider>& provider, output::OutputListener& listener) {
  if (thread_.joinable() || !provider) return;
  listener_ = &listener;
  for (const auto& device : provider->devices()) {
    const auto streams = device->streams();
    if (!streams.empty()) {
      stream_ = streams.front();
      break;
    }
  }
  if (!stream_) {
    os_log_with_type(log_, OSLogType::error, "V4L2 output: the camera has no stream to write");
    return;
  }
  inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  wake_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!inotify_ || !wake_) {
    os_log_with_type(log_, OSLogType::error, "V4L2 output: cannot watch for the device: %s", std::strerror(errno));
    return;
  }
  // New nodes in the device folder (a loopback device created, or udev done with one).
  directoryWatch_ = inotify_add_watch(inotify_.get(), options_.writer.devices.c_str(),
                                      IN_CREATE | IN_ATTRIB | IN_MOVED_TO | IN_ONLYDIR);
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "kolv-v4l2");
    run();
  });
}

void LoopbackOutput::wake() {
  if (!wake_) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wake_.get(), &one, sizeof one);
}

void LoopbackOutput::run() {
  while (!stopping_) {
    bool holding;
    {
      std::lock_guard lock(mutex_);
      holding = writer_.holding();
    }
    if (!holding) {
      if (nodeWatch_ >= 0) releaseDevice();
      if (lookAgain_) takeDevice();
    }
    updateStreaming();
    {
      std::lock_guard lock(mutex_);
      holding = writer_.holding();
    }
    std::array<pollfd, 2> fds{{{inotify_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}}};
    const int timeout = holding ? -1 : static_cast<int>(options_.retry.count());
    const int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) {
      os_log_with_type(log_, OSLogType::error, "V4L2 output: waiting for the device failed: %s", std::strerror(errno));
      break;
    }
    lookAgain_ = ready == 0;  // the retry interval passed
    if (fds[1].revents & POLLIN) {
      std::uint64_t count;
      [[maybe_unused]] const auto got = ::read(wake_.get(), &count, sizeof count);
      lookAgain_ = true;
    }
    if (fds[0].revents & POLLIN) readEvents();
  }
  {
    std::lock_guard lock(mutex_);
    writer_.release();
  }
  releaseDevice();
  updateStreaming();
}

void LoopbackOutput::takeDevice() {
  lookAgain_ = false;
  std::lock_guard lock(mutex_);
  if (writer_.take() != TakeResult::taken) return;
  // The watch begins after the writer's open and ends before its close, so that no event on
  // the node is the writer's own; those who opened it before are found in /proc.
  nodeWatch_ =
      inotify_add_watch(inotify_.get(), writer_.path().c_str(), IN_OPEN | IN_CLOSE | IN_ATTRIB | IN_DELETE_SELF);
  if (nodeWatch_ < 0) {
    os_log_with_type(log_, OSLogType::error, "V4L2 output: cannot watch %s for readers: %s", writer_.path().c_str(),
                     std::strerror(errno));
    writer_.release();
    return;
  }
  readers_.reset(calls_->otherOpeners(writer_.path()));
}

void LoopbackOutput::releaseDevice() {
  if (nodeWatch_ >= 0) inotify_rm_watch(inotify_.get(), nodeWatch_);
  nodeWatch_ = -1;
  readers_.reset();
  std::lock_guard lock(mutex_);
  writer_.release();
}

void LoopbackOutput::readEvents() {
  alignas(inotify_event) std::array<char, 4096> buffer;
  bool recount = false;
  for (;;) {
    const ssize_t length = ::read(inotify_.get(), buffer.data(), buffer.size());
    if (length <= 0) break;
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->wd == directoryWatch_) {
        lookAgain_ = true;
      } else if (event->wd == nodeWatch_ && nodeWatch_ >= 0) {
        bool linked = true;
        if (event->mask & IN_ATTRIB) {
          struct stat node {};
          linked = ::stat(writer_.path().c_str(), &node) == 0;
        }
        const NodeChange change = readers_.apply(event->mask, linked);
        recount = recount || change == NodeChange::readers;
        if (change == NodeChange::gone) {
          if (event->mask & IN_IGNORED) nodeWatch_ = -1;  // the kernel removed the watch
          os_log_with_type(log_, OSLogType::error,
                           "V4L2 output: %s went away; the camera takes it again when it is back",
                           writer_.path().c_str());
          releaseDevice();
          lookAgain_ = true;
        }
      }
    }
  }
  // inotify merges an event with the one before it when both are alike and unread: two readers
  // closing the node at once are one IN_CLOSE_NOWRITE. The events say when readers came or
  // went; /proc says how many are left.
  if (recount && nodeWatch_ >= 0) readers_.reset(calls_->otherOpeners(writer_.path()));
}

void LoopbackOutput::updateStreaming() {
  bool holding;
  {
    std::lock_guard lock(mutex_);
    holding = writer_.holding();
  }
  const bool readers = holding && readers_.readers() > 0 && !stopping_;
  if (readers == reported_) return;
  reported_ = readers;
  // Without the mutex: the host's stop request waits for a frame tick that may be in send().
  listener_->consumersChanged(*this, *stream_, readers);
  if (!readers) {
    // v4l2loopback hands a new reader the last frame written first, however old: make it grey,
    // not the last picture of a companion that may be long gone.
    std::lock_guard lock(mutex_);
    writer_.writeGrey();
  }
}

void LoopbackOutput::send(const CMIOExtensionStream& stream, output::OutputFrame& frame) {
  if (&stream != stream_.get() || !converter_.convert(frame)) return;
  bool lost = false;
  {
    std::lock_guard lock(mutex_);
    lost = writer_.holding() && !writer_.write(converter_.frame());
  }
  if (lost) wake();
}

void LoopbackOutput::shutdown() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  wake();
  thread_.join();
  if (directoryWatch_ >= 0) inotify_rm_watch(inotify_.get(), directoryWatch_);
  directoryWatch_ = -1;
  os_log_with_type(log_, OSLogType::info, "V4L2 output: stopped");
}

}  // namespace kolv::v4l2loopback
