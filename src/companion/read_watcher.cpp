#include "read_watcher.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <utility>

namespace kolv::companion {
namespace {

// Only finished reads: the camera's own open comes before it has the timestamp, and a new
// one written then could land within the same tick and go unseen. Our own replacement of
// the file is a close after writing (of a temporary name) and a rename, neither of which
// is watched.
constexpr std::uint32_t kWatchMask = IN_CLOSE_NOWRITE | IN_ONLYDIR | IN_DONT_FOLLOW;

}  // namespace

std::unique_ptr<FrameReadWatcher> FrameReadWatcher::start(const std::filesystem::path& container,
                                                          const std::string& name, std::function<void()> onRead,
                                                          std::string& reason) {
  UniqueFD inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify) {
    reason = std::string("cannot watch ") + container.string() +
             " for the camera's reads: inotify: " + std::strerror(errno) +
             (errno == EMFILE ? " (see sysctl fs.inotify.max_user_instances)" : "");
    return nullptr;
  }
  if (::inotify_add_watch(inotify.get(), container.c_str(), kWatchMask) < 0) {
    reason = "cannot watch " + container.string() + " for the camera's reads: " + std::strerror(errno) +
             (errno == ENOSPC ? " (see sysctl fs.inotify.max_user_watches)" : "");
    return nullptr;
  }
  UniqueFD wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake) {
    reason = std::string("cannot make an eventfd: ") + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<FrameReadWatcher> watcher(
      new FrameReadWatcher(container, name, std::move(onRead), std::move(inotify), std::move(wake)));
  // The thread starts with every signal blocked, so that the application's signals (and
  // a signalfd it reads them from) stay with its own threads.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    watcher->thread_ = std::thread([self = watcher.get()] { self->run(); });
  } catch (const std::system_error& error) {
    reason = std::string("cannot start the watcher thread: ") + error.what();
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!watcher->thread_.joinable()) return nullptr;
  watcher->priority_ = watcher->raised_.get_future().get();
  return watcher;
}

FrameReadWatcher::FrameReadWatcher(std::filesystem::path container, std::string name, std::function<void()> onRead,
                                   UniqueFD inotify, UniqueFD wake)
    : container_(std::move(container)),
      name_(std::move(name)),
      onRead_(std::move(onRead)),
      inotify_(std::move(inotify)),
      wake_(std::move(wake)) {}

FrameReadWatcher::~FrameReadWatcher() { stop(); }

void FrameReadWatcher::stop() {
  if (!thread_.joinable()) return;
  const std::uint64_t one = 1;
  // An eventfd counter cannot overflow from one write; the thread sees it whenever it polls.
  while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
  thread_.join();
}

bool FrameReadWatcher::rewatch() { return ::inotify_add_watch(inotify_.get(), container_.c_str(), kWatchMask) >= 0; }

void FrameReadWatcher::run() {
  ::pthread_setname_np(::pthread_self(), kThreadName);
  raised_.set_value(realtime::raiseThisThread(kPriority));
  for (;;) {
    std::array<pollfd, 2> fds{{{wake_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;  // only a broken descriptor gets here; the publisher then works without re-stamps
    }
    if (fds[0].revents != 0) return;
    if (fds[1].revents != 0 && drainEvents()) onRead_();
  }
}

bool FrameReadWatcher::drainEvents() {
  alignas(inotify_event) std::array<char, 4096> buffer{};
  bool read = false;
  for (;;) {
    const ssize_t length = ::read(inotify_.get(), buffer.data(), buffer.size());
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) return read;
    for (ssize_t offset = 0; offset < length;) {
      inotify_event event;
      std::memcpy(&event, buffer.data() + offset, sizeof event);
      const char* eventName = buffer.data() + offset + sizeof event;
      // Lost events may have been reads; a re-stamp too many costs nothing.
      if ((event.mask & IN_Q_OVERFLOW) != 0) read = true;
      if ((event.mask & IN_CLOSE_NOWRITE) != 0 && event.len > 0 && name_ == eventName) read = true;
      offset += static_cast<ssize_t>(sizeof event + event.len);
    }
  }
}

}  // namespace kolv::companion
