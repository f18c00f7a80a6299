// Serial queues and timer sources on Linux.
//
// A queue is one worker thread that takes tasks from a FIFO, one at a time. Destroying the
// queue drains it: every task submitted before the last reference went runs, then the worker
// exits and is joined. When that last reference is dropped by one of the queue's own tasks,
// the worker cannot join itself; it is detached instead and drains the queue on its own.
//
// A timer keeps its deadlines on the grid start + k * interval (TimerGrid) and has a timing
// thread that sleeps on a timerfd armed with the next deadline as an absolute CLOCK_MONOTONIC
// time. When a deadline is reached the timing thread puts one event on the queue unless one is
// already waiting there, then arms the first grid point after the present moment: deadlines
// that pass while the queue is busy merge into the waiting event and are never replayed. A
// timerfd expiry carries no timer slack, so strict and non-strict timers alike fire as close to
// their deadlines as the kernel allows and the leeway is always kept.
//
// Cancelling: an event starts when its queued task, holding the timer's lock, finds the timer
// not cancelled. cancel() sets that flag under the same lock, so once it returns no event
// starts. It does not wait for a handler already running; that one completes. cancel() and
// the timer's destruction are safe from inside the handler. Destroying a timer cancels it.
// Queued events hold the timer's state only weakly, so a destroyed timer's events do nothing.
#include "platform/linux/dispatch_linux.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/linux/host_clock.h"
#include "platform/linux/unique_fd.h"

namespace kolv {

TimerGrid::TimerGrid(std::uint64_t startNanoseconds, double intervalSeconds)
    : start_(startNanoseconds),
      intervalNanoseconds_(std::isfinite(intervalSeconds) && intervalSeconds > 0 ? intervalSeconds * 1e9 : 0) {}

std::uint64_t TimerGrid::deadline(std::uint64_t index) const {
  const double offset = std::round(static_cast<double>(index) * intervalNanoseconds_);
  constexpr auto kLast = std::numeric_limits<std::uint64_t>::max();
  if (offset >= static_cast<double>(kLast - start_)) return kLast;
  return start_ + static_cast<std::uint64_t>(offset);
}

std::uint64_t TimerGrid::firstIndexAfter(std::uint64_t nanoseconds) const {
  if (!repeats() || nanoseconds < start_) return 0;
  auto index = static_cast<std::uint64_t>(static_cast<double>(nanoseconds - start_) / intervalNanoseconds_) + 1;
  // The division may land one off either way after rounding; settle on the exact answer.
  while (deadline(index) <= nanoseconds) ++index;
  while (index > 0 && deadline(index - 1) > nanoseconds) --index;
  return index;
}

namespace {

// Names the calling thread after the last component of a reverse-DNS label.
void nameThisThread(const std::string& label) {
  const auto dot = label.rfind('.');
  std::string name = dot == std::string::npos ? label : label.substr(dot + 1);
  name.resize(std::min<std::size_t>(name.size(), 15));  // the kernel's limit, without the terminator
  pthread_setname_np(pthread_self(), name.c_str());
}

// Gives the calling thread what the system permits of the quality of service; never fails.
//   userInteractive: SCHED_RR at the lowest real-time priority (1, below PipeWire's data
//     threads), not inherited by forked children; when that is refused (no CAP_SYS_NICE and
//     RLIMIT_RTPRIO 0), nice -10; when that is refused too, unchanged.
//   userInitiated: nice -5 when permitted.   defaultQoS: unchanged.
//   utility: nice 5.   background: nice 10.
void applyQualityOfService(DispatchQoS qos) {
  const auto thread = static_cast<id_t>(gettid());
  const auto setNice = [thread](int nice) { return setpriority(PRIO_PROCESS, thread, nice) == 0; };
  switch (qos) {
    case DispatchQoS::userInteractive: {
      sched_param param{};
      param.sched_priority = sched_get_priority_min(SCHED_RR);
      if (sched_setscheduler(0, SCHED_RR | SCHED_RESET_ON_FORK, &param) == 0) return;
      setNice(-10);
      return;
    }
    case DispatchQoS::userInitiated:
      setNice(-5);
      return;
    case DispatchQoS::defaultQoS:
      return;
    case DispatchQoS::utility:
      setNice(5);
      return;
    case DispatchQoS::background:
      setNice(10);
      return;
  }
}

// What a queue and its worker share.
struct QueueState {
  std::mutex mutex;
  std::condition_variable wakeUp;
  std::deque<std::function<void()>> tasks;  // guarded by mutex
  bool closing = false;                     // guarded by mutex
};

void runQueueWorker(const std::shared_ptr<QueueState>& state, const std::string& label, DispatchQoS qos) {
  nameThisThread(label);
  applyQualityOfService(qos);
  std::unique_lock lock(state->mutex);
  for (;;) {
    state->wakeUp.wait(lock, [&state] { return state->closing || !state->tasks.empty(); });
    if (state->tasks.empty()) return;  // closing, and every task has run
    auto task = std::move(state->tasks.front());
    state->tasks.pop_front();
    lock.unlock();
    task();
    task = nullptr;  // its captures go before the lock is taken again: they may drop the queue
    lock.lock();
  }
}

// A serial queue with one worker thread.
// Thread-safety: async() from any thread, tasks included; tasks run on the worker thread.
class SerialQueue final : public DispatchQueue {
 public:
  SerialQueue(std::string label, DispatchQoS qos)
      : label_(std::move(label)),
        qos_(qos),
        state_(std::make_shared<QueueState>()),
        worker_([state = state_, label = label_, qos] { runQueueWorker(state, label, qos); }) {}

  ~SerialQueue() override {
    {
      std::lock_guard lock(state_->mutex);
      state_->closing = true;
    }
    state_->wakeUp.notify_one();
    if (worker_.get_id() == std::this_thread::get_id()) worker_.detach();  // else the jthread joins
  }

  const std::string& label() const override { return label_; }

  void async(std::function<void()> task) override {
    if (!task) return;
    {
      std::lock_guard lock(state_->mutex);
      state_->tasks.push_back(std::move(task));
    }
    state_->wakeUp.notify_one();
  }

  DispatchQoS qos() const { return qos_; }

 private:
  const std::string label_;
  const DispatchQoS qos_;
  const std::shared_ptr<QueueState> state_;
  std::jthread worker_;
};

// What a timer, its timing thread and its queued events share.
struct TimerState {
  TimerState(DispatchQueueRef queue, UniqueFD timerFd, UniqueFD wakeFd)
      : queue(std::move(queue)), timerFd(std::move(timerFd)), wakeFd(std::move(wakeFd)) {}

  const DispatchQueueRef queue;
  const UniqueFD timerFd;  // the next deadline, armed by the timing thread only
  const UniqueFD wakeFd;   // eventfd: the fields below changed

  std::mutex mutex;
  std::shared_ptr<const std::function<void()>> handler;  // guarded by mutex
  std::optional<TimerGrid> grid;                         // guarded by mutex
  std::uint64_t nextIndex = 0;                           // guarded by mutex: of the next deadline
  bool finished = false;                                 // guarded by mutex: a one-shot grid has fired
  bool resumed = false;                                  // guarded by mutex
  bool cancelled = false;                                // guarded by mutex
  bool eventPending = false;                             // guarded by mutex: an event waits on the queue

  void wake() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(wakeFd.get(), &one, sizeof one);  // fails only when already signalled
  }
};

// A queued event: runs the handler unless the timer was cancelled or destroyed meanwhile.
void runTimerEvent(const std::weak_ptr<TimerState>& weakState) {
  const auto state = weakState.lock();
  if (!state) return;
  std::shared_ptr<const std::function<void()>> handler;
  {
    std::lock_guard lock(state->mutex);
    state->eventPending = false;
    if (state->cancelled) return;
    handler = state->handler;
  }
  // Called without the lock, so the handler may cancel, reschedule or drop its timer.
  if (handler && *handler) (*handler)();
}

timespec toTimespec(std::uint64_t nanoseconds) {
  timespec time{};
  time.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000U);
  time.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000U);
  return time;
}

// Resets a timerfd's or eventfd's counter so that poll() waits again.
void drainCounter(int fd) {
  std::uint64_t count = 0;
  [[maybe_unused]] const auto bytes = read(fd, &count, sizeof count);
}

void runTimingThread(const std::shared_ptr<TimerState>& state, DispatchQoS qos) {
  nameThisThread("dispatch-timer");
  applyQualityOfService(qos);
  for (;;) {
    bool due = false;   // a deadline has passed: act on it, then look at the next one
    bool fire = false;  // and no event waits on the queue yet
    itimerspec next{};  // all zero: disarmed
    {
      std::lock_guard lock(state->mutex);
      if (state->cancelled) return;
      if (state->resumed && state->grid && !state->finished) {
        const std::uint64_t now = monotonicNanoseconds();
        const std::uint64_t deadline = state->grid->deadline(state->nextIndex);
        if (deadline <= now) {
          due = true;
          fire = !state->eventPending;
          state->eventPending = true;
          if (state->grid->repeats()) {
            state->nextIndex = state->grid->firstIndexAfter(now);
          } else {
            state->finished = true;
          }
        } else {
          next.it_value = toTimespec(deadline);
        }
      }
    }
    if (fire) state->queue->async([weakState = std::weak_ptr(state)] { runTimerEvent(weakState); });
    if (due) continue;
    timerfd_settime(state->timerFd.get(), TFD_TIMER_ABSTIME, &next, nullptr);
    pollfd fds[] = {{state->timerFd.get(), POLLIN, 0}, {state->wakeFd.get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;  // EINTR
    for (const pollfd& fd : fds) {
      if ((fd.revents & POLLIN) != 0) drainCounter(fd.fd);
    }
  }
}

// A timer source with its own timing thread; its events run on its queue.
// Thread-safety: every operation from any thread, the timer's own handler included.
class LinuxTimerSource final : public DispatchSourceTimer {
 public:
  LinuxTimerSource(std::shared_ptr<TimerState> state, DispatchQoS qos)
      : state_(std::move(state)), thread_([state = state_, qos] { runTimingThread(state, qos); }) {}

  ~LinuxTimerSource() override {
    cancel();
    // The timing thread only ever runs the handler if the queue runs tasks inline; then the
    // thread holds the state itself and finishes on its own.
    if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();  // else the jthread joins it
  }

  void schedule(DispatchTime deadline, double repeatingSeconds, std::chrono::nanoseconds /*leeway*/) override {
    const std::uint64_t start = deadline == DispatchTime::now() ? monotonicNanoseconds() : deadline.nanoseconds;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->cancelled) return;
      state_->grid.emplace(start, repeatingSeconds);
      state_->nextIndex = 0;
      state_->finished = false;
    }
    state_->wake();
  }

  void setEventHandler(std::function<void()> handler) override {
    auto replaced = handler ? std::make_shared<const std::function<void()>>(std::move(handler)) : nullptr;
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->cancelled) std::swap(state_->handler, replaced);
    }
    // The old handler goes outside the lock: its captures may call back into the timer.
  }

  void resume() override {
    {
      std::lock_guard lock(state_->mutex);
      if (state_->cancelled || state_->resumed) return;
      state_->resumed = true;
    }
    state_->wake();
  }

  void cancel() override {
    std::shared_ptr<const std::function<void()>> released;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->cancelled) return;
      state_->cancelled = true;
      released = std::move(state_->handler);
    }
    state_->wake();
  }

  bool isCancelled() const override {
    std::lock_guard lock(state_->mutex);
    return state_->cancelled;
  }

 private:
  const std::shared_ptr<TimerState> state_;
  std::jthread thread_;
};

}  // namespace

DispatchQueueRef LinuxDispatch::makeQueue(std::string label, DispatchQoS qos) {
  try {
    return std::make_shared<SerialQueue>(std::move(label), qos);
  } catch (const std::system_error&) {
    return nullptr;
  }
}

DispatchSourceTimerRef LinuxDispatch::makeTimerSource(DispatchTimerFlags /*flags*/, DispatchQueueRef queue) {
  if (!queue) return nullptr;
  UniqueFD timerFd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  UniqueFD wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!timerFd || !wakeFd) return nullptr;
  // The timing thread decides when events start, so it runs at the queue's quality of service.
  const auto* serialQueue = dynamic_cast<const SerialQueue*>(queue.get());
  const DispatchQoS qos = serialQueue != nullptr ? serialQueue->qos() : DispatchQoS::defaultQoS;
  try {
    return std::make_shared<LinuxTimerSource>(
        std::make_shared<TimerState>(std::move(queue), std::move(timerFd), std::move(wakeFd)), qos);
  } catch (const std::system_error&) {
    return nullptr;
  }
}

}  // namespace kolv
