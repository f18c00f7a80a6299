// Serial queues and timer sources on Linux.
//
// A queue is one worker thread that takes tasks from a FIFO, one at a time, and that also
// keeps the queue's timers. Between tasks it sleeps in poll() on an eventfd (new work) and a
// timerfd armed with the earliest deadline of its timers as an absolute CLOCK_MONOTONIC time.
// Timer expiry thus wakes the very thread that runs the handler: one wake-up per event.
//
// Destroying a queue drains it: every task submitted before the last reference went runs, then
// the worker exits and is joined. When that last reference is dropped by one of the queue's own
// tasks, the worker cannot join itself; it is detached instead and drains the queue on its own.
//
// A timer keeps its deadlines on the grid start + k * interval (TimerGrid). When the worker
// finds a deadline reached it appends one event to the FIFO unless one is already waiting
// there, and moves on to the first grid point after the present moment: deadlines that pass
// while the queue is busy merge into the waiting event and are never replayed. A timerfd expiry
// carries no timer slack, so strict and non-strict timers alike fire as close to their
// deadlines as the kernel allows, and the leeway is always kept.
//
// Cancelling: an event starts when its task, holding the timer's lock, finds the timer not
// cancelled. cancel() sets that flag under the same lock, so once it returns no event starts,
// and it waits for a handler already running on another thread to return: whatever the
// handler reaches (the host, the media services, the log) may be torn down as soon as
// cancel() returns. From inside the handler, cancel() and the timer's destruction return at
// once. Destroying a timer cancels it. Queued events hold the timer only weakly, so a
// destroyed timer's events do nothing. A handler must not wait for a thread that is itself
// cancelling its timer.
//
// Locks: a queue's mutex may be held while taking one of its timers' mutexes, never the reverse.
#include "platform/linux/dispatch_linux.h"

#include <poll.h>
#include <pthread.h>
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
#include <vector>

#include "handoff/unique_fd.h"
#include "platform/linux/host_clock.h"
#include "realtime/thread_priority.h"

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
// Returns what a userInteractive thread got, for the log; empty for the other classes.
//   userInteractive: real-time where permitted (SCHED_FIFO at kTickPriority directly with
//     CAP_SYS_NICE or RLIMIT_RTPRIO, else through RTKit), else the best nice level allowed.
//   userInitiated: nice -5 when permitted.   defaultQoS: unchanged.
//   utility: nice 5.   background: nice 10.
// The one userInteractive queue is the frame timer's. Under load a normal thread, even at
// nice -10, waits behind every busy thread of its core and the frame comes late; at real-time
// it runs on time. What a tick does stays within what a real-time thread may do: it reads two
// small files on tmpfs (and a surface's header), maps a surface it has not seen before, fills
// a grey frame (a memset of 3.6 MB, about a millisecond) or copies a picture once, takes short
// locks that no thread holds across a wait, and writes a log line only for a new problem. Its
// priority stays below PipeWire's data thread (client-rt.conf asks 88; RTKit's limit, 20 by
// default, caps both), which paces the graph and must preempt the tick. It sleeps in poll()
// between ticks, far inside RTKit's limit on run time without a sleep (RLIMIT_RTTIME).
constexpr realtime::Request kTickPriority{.priority = 10, .nice = -20};

std::string applyQualityOfService(DispatchQoS qos) {
  const auto thread = static_cast<id_t>(gettid());
  const auto setNice = [thread](int nice) { return setpriority(PRIO_PROCESS, thread, nice) == 0; };
  switch (qos) {
    case DispatchQoS::userInteractive:
      return realtime::raiseThisThread(kTickPriority).describe();
    case DispatchQoS::userInitiated:
      setNice(-5);
      break;
    case DispatchQoS::defaultQoS:
      break;
    case DispatchQoS::utility:
      setNice(5);
      break;
    case DispatchQoS::background:
      setNice(10);
      break;
  }
  return {};
}

// What a timer and its queued events share. Thread-safety: every field under `mutex`.
struct TimerState {
  std::mutex mutex;
  std::shared_ptr<const std::function<void()>> handler;
  std::optional<TimerGrid> grid;
  std::uint64_t nextIndex = 0;  // of the next deadline on the grid
  bool finished = false;        // a one-shot grid has fired
  bool resumed = false;
  bool cancelled = false;
  bool eventPending = false;                 // an event waits on the queue and has not started
  std::optional<std::thread::id> runningOn;  // the thread running the handler, while it runs
  std::condition_variable handlerReturned;
};

// A queued event: runs the handler unless the timer was cancelled or destroyed meanwhile.
void runTimerEvent(const std::weak_ptr<TimerState>& weakTimer) {
  const auto timer = weakTimer.lock();
  if (!timer) return;
  std::shared_ptr<const std::function<void()>> handler;
  {
    std::lock_guard lock(timer->mutex);
    timer->eventPending = false;
    if (timer->cancelled || !timer->handler) return;
    handler = timer->handler;
    timer->runningOn = std::this_thread::get_id();
  }
  // Called without the lock, so the handler may cancel, reschedule or drop its timer.
  if (*handler) (*handler)();
  handler.reset();  // its captures go before cancel() may return
  {
    std::lock_guard lock(timer->mutex);
    timer->runningOn.reset();
  }
  timer->handlerReturned.notify_all();
}

// What a queue, its worker and its timers share. Thread-safety: the fields below the mutex
// under it; only the worker arms the timerfd and drains the two descriptors.
struct QueueState {
  QueueState(UniqueFD timerFd, UniqueFD wakeFd) : timerFd(std::move(timerFd)), wakeFd(std::move(wakeFd)) {}

  const UniqueFD timerFd;  // the earliest timer deadline; armed by the worker only
  const UniqueFD wakeFd;   // eventfd that ends the worker's poll()

  std::mutex mutex;
  std::deque<std::function<void()>> tasks;        // guarded by mutex
  std::vector<std::weak_ptr<TimerState>> timers;  // guarded by mutex; dropped once cancelled
  bool closing = false;                           // guarded by mutex
  bool sleeping = false;                          // guarded by mutex: the worker is in poll()

  // Ends the worker's sleep, if it sleeps; call with `mutex` held.
  void wakeWorkerLocked() {
    if (!std::exchange(sleeping, false)) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto bytes = write(wakeFd.get(), &one, sizeof one);  // cannot block or overflow here
  }
  void wakeWorker() {
    std::lock_guard lock(mutex);
    wakeWorkerLocked();
  }
};

// Queues an event for every timer whose deadline has come and that has none waiting, and
// moves each past its deadline. Returns the earliest deadline still ahead, if any. Call with
// the queue's mutex held.
std::optional<std::uint64_t> queueDueTimerEvents(QueueState& queue) {
  std::optional<std::uint64_t> earliest;
  const std::uint64_t now = monotonicNanoseconds();
  std::erase_if(queue.timers, [&](const std::weak_ptr<TimerState>& weakTimer) {
    const auto timer = weakTimer.lock();
    if (!timer) return true;
    std::lock_guard lock(timer->mutex);
    if (timer->cancelled) return true;
    if (!timer->resumed || !timer->grid || timer->finished) return false;
    std::uint64_t deadline = timer->grid->deadline(timer->nextIndex);
    if (deadline <= now) {
      if (!std::exchange(timer->eventPending, true)) {
        queue.tasks.push_back([weakTimer] { runTimerEvent(weakTimer); });
      }
      if (!timer->grid->repeats()) {
        timer->finished = true;
        return false;
      }
      timer->nextIndex = timer->grid->firstIndexAfter(now);
      deadline = timer->grid->deadline(timer->nextIndex);
    }
    earliest = std::min(earliest.value_or(deadline), deadline);
    return false;
  });
  return earliest;
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

void runQueueWorker(const std::shared_ptr<QueueState>& state, const std::string& label, DispatchQoS qos, OSLog* log) {
  nameThisThread(label);
  const std::string priority = applyQualityOfService(qos);
  if (log && !priority.empty())
    os_log_with_type(*log, OSLogType::info, "%s: runs at %s", label.c_str(), priority.c_str());
  std::unique_lock lock(state->mutex);
  for (;;) {
    const auto nextDeadline = queueDueTimerEvents(*state);
    if (!state->tasks.empty()) {
      auto task = std::move(state->tasks.front());
      state->tasks.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // its captures go before the lock is taken again: they may drop the queue
      lock.lock();
      continue;
    }
    if (state->closing) return;  // and every task has run

    itimerspec alarm{};  // all zero: disarmed
    if (nextDeadline) alarm.it_value = toTimespec(*nextDeadline);
    timerfd_settime(state->timerFd.get(), TFD_TIMER_ABSTIME, &alarm, nullptr);
    state->sleeping = true;
    lock.unlock();
    pollfd fds[] = {{state->wakeFd.get(), POLLIN, 0}, {state->timerFd.get(), POLLIN, 0}};
    if (poll(fds, 2, -1) > 0) {
      for (const pollfd& fd : fds) {
        if ((fd.revents & POLLIN) != 0) drainCounter(fd.fd);
      }
    }
    lock.lock();
    state->sleeping = false;
  }
}

// A serial queue with one worker thread, which also runs the queue's timers.
// Thread-safety: async() from any thread, tasks included; tasks run on the worker thread.
class SerialQueue final : public DispatchQueue {
 public:
  SerialQueue(std::string label, DispatchQoS qos, std::shared_ptr<QueueState> state, OSLog* log)
      : label_(std::move(label)),
        state_(std::move(state)),
        worker_([state = state_, label = label_, qos, log] { runQueueWorker(state, label, qos, log); }) {}

  ~SerialQueue() override {
    {
      std::lock_guard lock(state_->mutex);
      state_->closing = true;
      state_->wakeWorkerLocked();
    }
    if (worker_.get_id() == std::this_thread::get_id()) worker_.detach();  // else the jthread joins it
  }

  const std::string& label() const override { return label_; }

  void async(std::function<void()> task) override {
    if (!task) return;
    std::lock_guard lock(state_->mutex);
    state_->tasks.push_back(std::move(task));
    state_->wakeWorkerLocked();
  }

  const std::shared_ptr<QueueState>& state() const { return state_; }

 private:
  const std::string label_;
  const std::shared_ptr<QueueState> state_;
  std::jthread worker_;
};

// A timer source whose events run on a SerialQueue; that queue's worker keeps its deadlines.
// Thread-safety: every operation from any thread, the timer's own handler included.
class LinuxTimerSource final : public DispatchSourceTimer {
 public:
  explicit LinuxTimerSource(std::shared_ptr<SerialQueue> queue) : queue_(std::move(queue)) {
    std::lock_guard lock(queue_->state()->mutex);
    queue_->state()->timers.push_back(timer_);
  }

  ~LinuxTimerSource() override { cancel(); }

  void schedule(DispatchTime deadline, double repeatingSeconds, std::chrono::nanoseconds /*leeway*/) override {
    const std::uint64_t start = deadline == DispatchTime::now() ? monotonicNanoseconds() : deadline.nanoseconds;
    {
      std::lock_guard lock(timer_->mutex);
      if (timer_->cancelled) return;
      timer_->grid.emplace(start, repeatingSeconds);
      timer_->nextIndex = 0;
      timer_->finished = false;
    }
    queue_->state()->wakeWorker();
  }

  void setEventHandler(std::function<void()> handler) override {
    auto replaced = handler ? std::make_shared<const std::function<void()>>(std::move(handler)) : nullptr;
    {
      std::lock_guard lock(timer_->mutex);
      if (!timer_->cancelled) std::swap(timer_->handler, replaced);
    }
    // The old handler goes outside the lock: its captures may call back into the timer.
  }

  void resume() override {
    {
      std::lock_guard lock(timer_->mutex);
      if (timer_->cancelled || std::exchange(timer_->resumed, true)) return;
    }
    queue_->state()->wakeWorker();
  }

  void cancel() override {
    std::shared_ptr<const std::function<void()>> released;
    {
      std::unique_lock lock(timer_->mutex);
      const bool first = !std::exchange(timer_->cancelled, true);
      if (first) released = std::move(timer_->handler);
      // A handler running on another thread finishes before cancel() returns.
      timer_->handlerReturned.wait(
          lock, [this] { return !timer_->runningOn || *timer_->runningOn == std::this_thread::get_id(); });
      if (!first) return;
    }
    queue_->state()->wakeWorker();  // so that it stops waiting for this timer's deadline
  }

  bool isCancelled() const override {
    std::lock_guard lock(timer_->mutex);
    return timer_->cancelled;
  }

 private:
  const std::shared_ptr<SerialQueue> queue_;
  const std::shared_ptr<TimerState> timer_ = std::make_shared<TimerState>();
};

}  // namespace

DispatchQueueRef LinuxDispatch::makeQueue(std::string label, DispatchQoS qos) {
  UniqueFD timerFd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  UniqueFD wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!timerFd || !wakeFd) return nullptr;
  try {
    return std::make_shared<SerialQueue>(std::move(label), qos,
                                         std::make_shared<QueueState>(std::move(timerFd), std::move(wakeFd)), log_);
  } catch (const std::system_error&) {
    return nullptr;
  }
}

DispatchSourceTimerRef LinuxDispatch::makeTimerSource(DispatchTimerFlags /*flags*/, DispatchQueueRef queue) {
  auto serialQueue = std::dynamic_pointer_cast<SerialQueue>(std::move(queue));
  if (!serialQueue) return nullptr;
  return std::make_shared<LinuxTimerSource>(std::move(serialQueue));
}

}  // namespace kolv
