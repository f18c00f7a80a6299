#include "platform/linux/signal_run_loop.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace kolv {
namespace {

sigset_t terminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);  // the terminal that started the camera has closed
  return set;
}

}  // namespace

void SignalRunLoop::blockTerminationSignals() {
  const sigset_t set = terminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalRunLoop::SignalRunLoop() {
  const sigset_t set = terminationSignals();
  signals_ = UniqueFD(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  wakeup_ = UniqueFD(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

SignalRunLoop::~SignalRunLoop() = default;

void SignalRunLoop::run() {
  if (!signals_ || !wakeup_) return;
  // The signals reach the signalfd only while blocked. main() blocks them before any thread
  // starts; blocking them here as well covers a caller that forgot, for this thread at least.
  blockTerminationSignals();

  pollfd watched[] = {{signals_.get(), POLLIN, 0}, {wakeup_.get(), POLLIN, 0}};
  for (;;) {
    if (::poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (((watched[0].revents | watched[1].revents) & (POLLERR | POLLNVAL)) != 0) return;
    // Both are non-blocking: a signal taken meanwhile by sigwait elsewhere only means poll again.
    if (watched[0].revents != 0) {
      signalfd_siginfo received{};
      if (::read(signals_.get(), &received, sizeof received) == static_cast<ssize_t>(sizeof received)) return;
    }
    if (watched[1].revents != 0) {
      std::uint64_t count = 0;
      if (::read(wakeup_.get(), &count, sizeof count) == static_cast<ssize_t>(sizeof count)) return;
    }
  }
}

void SignalRunLoop::requestStop() {
  if (!wakeup_) return;
  const std::uint64_t one = 1;
  while (::write(wakeup_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

}  // namespace kolv
