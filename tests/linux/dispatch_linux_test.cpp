#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <future>
#include <limits>
#include <mutex>
#include <semaphore>
#include <thread>
#include <vector>

#include "platform/linux/dispatch_linux.h"
#include "platform/linux/host_clock.h"

namespace kolv {
namespace {

using namespace std::chrono_literals;

// Only a broken implementation makes a test wait this long.
constexpr auto kPatience = 5s;

// The host time at which each event started.
class EventLog {
 public:
  void record() {
    std::lock_guard lock(mutex_);
    times_.push_back(monotonicNanoseconds());
    changed_.notify_all();
  }
  bool waitForCount(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return times_.size() >= count; });
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return times_.size();
  }
  std::vector<std::uint64_t> times() const {
    std::lock_guard lock(mutex_);
    return times_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::uint64_t> times_;
};

// Holds a queue with one task until released.
class QueueBlocker {
 public:
  explicit QueueBlocker(DispatchQueue& queue) {
    queue.async([gate = gate_] {
      gate->entered.release();
      gate->released.acquire();
    });
  }
  ~QueueBlocker() { release(); }
  bool waitUntilBlocking() { return gate_->entered.try_acquire_for(kPatience); }
  void release() {
    if (!std::exchange(released_, true)) gate_->released.release();
  }

 private:
  struct Gate {
    std::binary_semaphore entered{0};
    std::binary_semaphore released{0};
  };
  std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
  bool released_ = false;
};

// Waits until every task submitted so far has run.
bool flush(DispatchQueue& queue) {
  auto done = std::make_shared<std::binary_semaphore>(0);
  queue.async([done] { done->release(); });
  return done->try_acquire_for(kPatience);
}

// --- Serial queues ---

TEST(LinuxDispatchQueue, RunsTasksOneAtATimeInSubmissionOrder) {
  constexpr int kPerProducer = 200;
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0};
  std::mutex mutex;
  std::vector<int> ranA;
  std::vector<int> ranB;
  LinuxDispatch dispatch;
  auto queue = dispatch.makeQueue("org.kolv.test.serial", DispatchQoS::userInteractive);
  ASSERT_NE(queue, nullptr);
  EXPECT_EQ(queue->label(), "org.kolv.test.serial");

  auto produce = [&](std::vector<int>& ran) {
    for (int i = 0; i < kPerProducer; ++i) {
      queue->async([&, i] {
        if (inside.exchange(true)) ++overlaps;
        const auto until = monotonicNanoseconds() + 10'000;  // long enough for a second worker to show
        while (monotonicNanoseconds() < until) {
        }
        {
          std::lock_guard lock(mutex);
          ran.push_back(i);
        }
        inside = false;
      });
    }
  };
  {
    std::jthread producerA([&] { produce(ranA); });
    std::jthread producerB([&] { produce(ranB); });
  }
  ASSERT_TRUE(flush(*queue));

  std::lock_guard lock(mutex);
  EXPECT_EQ(overlaps, 0);
  ASSERT_EQ(ranA.size(), static_cast<std::size_t>(kPerProducer));
  ASSERT_EQ(ranB.size(), static_cast<std::size_t>(kPerProducer));
  EXPECT_TRUE(std::is_sorted(ranA.begin(), ranA.end()));
  EXPECT_TRUE(std::is_sorted(ranB.begin(), ranB.end()));
}

TEST(LinuxDispatchQueue, DestructionRunsTheTasksAlreadySubmitted) {
  std::atomic<int> ran{0};
  LinuxDispatch dispatch;
  auto queue = dispatch.makeQueue("org.kolv.test.drain", DispatchQoS::defaultQoS);
  QueueBlocker blocker(*queue);
  ASSERT_TRUE(blocker.waitUntilBlocking());
  for (int i = 0; i < 50; ++i) queue->async([&ran] { ++ran; });

  std::jthread releaser([&blocker] {
    std::this_thread::sleep_for(20ms);
    blocker.release();
  });
  queue.reset();  // returns once the queue is empty and its worker has ended
  EXPECT_EQ(ran, 50);
}

TEST(LinuxDispatchQueue, SurvivesItsLastReferenceDroppedByItsOwnTask) {
  LinuxDispatch dispatch;
  auto queue = dispatch.makeQueue("org.kolv.test.selfdrop", DispatchQoS::defaultQoS);
  QueueBlocker blocker(*queue);
  ASSERT_TRUE(blocker.waitUntilBlocking());
  auto laterTaskRan = std::make_shared<std::binary_semaphore>(0);
  queue->async([self = queue]() mutable { self.reset(); });
  queue->async([laterTaskRan] { laterTaskRan->release(); });
  queue.reset();
  blocker.release();
  EXPECT_TRUE(laterTaskRan->try_acquire_for(kPatience));
}

// --- Timers ---

class LinuxDispatchTimer : public ::testing::Test {
 protected:
  DispatchSourceTimerRef makeTimer(double intervalSeconds, DispatchTime deadline = DispatchTime::now()) {
    auto timer = dispatch_.makeTimerSource(DispatchTimerFlags::strict, queue_);
    if (timer) {
      timer->schedule(deadline, intervalSeconds, 1ms);
      timer->setEventHandler([this] { events_.record(); });
    }
    return timer;
  }

  EventLog events_;  // outlives the queue, on which handlers may still be running
  LinuxDispatch dispatch_;
  DispatchQueueRef queue_ = dispatch_.makeQueue("org.kolv.test.cameraTimer", DispatchQoS::userInteractive);
};

TEST_F(LinuxDispatchTimer, IsSilentUntilResumedThenFiresAtOnce) {
  // With a 10 s interval, an event within the patience can only be the one due at once.
  auto timer = makeTimer(10.0);
  ASSERT_NE(timer, nullptr);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(events_.count(), 0U);
  timer->resume();
  EXPECT_TRUE(events_.waitForCount(1));
  EXPECT_FALSE(timer->isCancelled());
}

TEST_F(LinuxDispatchTimer, TakesTheFirstDeadlineAsAHostTimeAndThenRepeats) {
  const std::uint64_t deadline = monotonicNanoseconds() + 30'000'000;
  auto timer = makeTimer(0.002, DispatchTime{deadline});
  ASSERT_NE(timer, nullptr);
  timer->resume();
  ASSERT_TRUE(events_.waitForCount(5));
  EXPECT_GE(events_.times().front(), deadline);
}

TEST_F(LinuxDispatchTimer, CancelKeepsAWaitingEventFromStarting) {
  std::atomic<bool> cancelReturned{false};
  std::atomic<int> startedAfterCancel{0};
  auto timer = dispatch_.makeTimerSource(DispatchTimerFlags::strict, queue_);
  ASSERT_NE(timer, nullptr);
  timer->schedule(DispatchTime::now(), 0.001, 1ms);
  timer->setEventHandler([&] {
    if (cancelReturned) ++startedAfterCancel;
    events_.record();
  });
  timer->resume();
  ASSERT_TRUE(events_.waitForCount(2));

  QueueBlocker blocker(*queue_);
  ASSERT_TRUE(blocker.waitUntilBlocking());
  std::this_thread::sleep_for(10ms);  // deadlines pass: an event now waits behind the blocker
  timer->cancel();
  cancelReturned = true;
  const std::size_t countAtCancel = events_.count();
  EXPECT_TRUE(timer->isCancelled());
  blocker.release();

  ASSERT_TRUE(flush(*queue_));
  std::this_thread::sleep_for(20ms);  // twenty intervals in which nothing may be queued
  ASSERT_TRUE(flush(*queue_));
  EXPECT_EQ(startedAfterCancel, 0);
  EXPECT_EQ(events_.count(), countAtCancel);
}

// What the handler reaches may be torn down as soon as cancel() returns, so a handler in
// flight must have returned by then.
TEST_F(LinuxDispatchTimer, CancelWaitsForAHandlerThatIsRunning) {
  std::promise<void> entered;
  std::atomic<bool> returned{false};
  std::atomic<int> calls{0};
  auto timer = dispatch_.makeTimerSource(DispatchTimerFlags::strict, queue_);
  ASSERT_NE(timer, nullptr);
  timer->schedule(DispatchTime::now(), 0.001, 1ms);
  timer->setEventHandler([&] {
    if (calls++ != 0) return;
    entered.set_value();
    std::this_thread::sleep_for(100ms);  // a slow tick, still running when cancel() comes
    returned = true;
  });
  timer->resume();
  entered.get_future().wait();
  timer->cancel();
  EXPECT_TRUE(returned);
  ASSERT_TRUE(flush(*queue_));
  EXPECT_EQ(calls, 1);
}

TEST_F(LinuxDispatchTimer, CanBeCancelledFromItsOwnHandler) {
  auto timer = dispatch_.makeTimerSource(DispatchTimerFlags::strict, queue_);
  ASSERT_NE(timer, nullptr);
  timer->schedule(DispatchTime::now(), 0.001, 1ms);
  timer->setEventHandler([this, self = timer.get()] {
    events_.record();
    if (events_.count() == 3) self->cancel();
  });
  timer->resume();
  ASSERT_TRUE(events_.waitForCount(3));
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(flush(*queue_));
  EXPECT_TRUE(timer->isCancelled());
  EXPECT_EQ(events_.count(), 3U);
}

TEST_F(LinuxDispatchTimer, MergesEventsMissedWhileTheQueueIsBusy) {
  auto timer = makeTimer(0.005);
  ASSERT_NE(timer, nullptr);
  timer->resume();
  ASSERT_TRUE(events_.waitForCount(2));

  // Eight tasks of 6 ms each keep the queue busy over about ten deadlines.
  std::atomic<std::uint64_t> busyEnd{0};
  for (int i = 0; i < 8; ++i) queue_->async([] { std::this_thread::sleep_for(6ms); });
  queue_->async([&busyEnd] { busyEnd = monotonicNanoseconds(); });
  ASSERT_TRUE(flush(*queue_));
  ASSERT_TRUE(events_.waitForCount(events_.count() + 2));  // the merged event, and the timer carries on

  // A replay would run the missed events back to back. Deadlines are 5 ms apart, so within
  // 3 ms of the merged event at most one more can start, however late either runs.
  const auto times = events_.times();
  const auto merged = std::find_if(times.begin(), times.end(), [&busyEnd](auto time) { return time >= busyEnd; });
  ASSERT_NE(merged, times.end());
  const auto inWindow = std::count_if(merged, times.end(), [merged](auto time) { return time - *merged <= 3'000'000; });
  EXPECT_LE(inWindow, 2);
}

TEST_F(LinuxDispatchTimer, DestructionWaitsForARunningHandlerAndStopsEvents) {
  std::binary_semaphore handlerEntered{0};
  std::binary_semaphore handlerMayReturn{0};
  auto timer = dispatch_.makeTimerSource(DispatchTimerFlags::strict, queue_);
  ASSERT_NE(timer, nullptr);
  timer->schedule(DispatchTime::now(), 0.001, 1ms);
  timer->setEventHandler([&] {
    events_.record();
    if (events_.count() == 1) {
      handlerEntered.release();
      handlerMayReturn.acquire();
    }
  });
  timer->resume();
  ASSERT_TRUE(handlerEntered.try_acquire_for(kPatience));

  auto destroyed = std::async(std::launch::async, [&timer] { timer.reset(); });
  const bool returnedWhileHandlerRan = destroyed.wait_for(100ms) == std::future_status::ready;
  handlerMayReturn.release();
  destroyed.wait();
  EXPECT_FALSE(returnedWhileHandlerRan);

  ASSERT_TRUE(flush(*queue_));
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(flush(*queue_));
  EXPECT_EQ(events_.count(), 1U);
}

TEST_F(LinuxDispatchTimer, CanBeDestroyedByItsOwnHandler) {
  std::mutex mutex;
  DispatchSourceTimerRef held = dispatch_.makeTimerSource(DispatchTimerFlags::strict, queue_);
  ASSERT_NE(held, nullptr);
  held->schedule(DispatchTime::now(), 0.001, 1ms);
  held->setEventHandler([&] {
    events_.record();
    DispatchSourceTimerRef last;
    std::lock_guard lock(mutex);
    last = std::move(held);
  });
  {
    std::lock_guard lock(mutex);
    held->resume();
  }
  ASSERT_TRUE(events_.waitForCount(1));
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(flush(*queue_));
  EXPECT_EQ(events_.count(), 1U);
}

TEST(LinuxDispatchTimerSource, NeedsAQueueOfItsOwnDispatch) {
  struct OtherQueue final : DispatchQueue {
    const std::string& label() const override { return name; }
    void async(std::function<void()> task) override { task(); }
    std::string name = "other";
  };
  LinuxDispatch dispatch;
  EXPECT_EQ(dispatch.makeTimerSource(DispatchTimerFlags::strict, nullptr), nullptr);
  EXPECT_EQ(dispatch.makeTimerSource(DispatchTimerFlags::strict, std::make_shared<OtherQueue>()), nullptr);
}

// --- The grid of deadlines ---

TEST(TimerGrid, ComputesEveryDeadlineFromTheStartSoItNeverDrifts) {
  const std::uint64_t start = 5'000'000'000;
  const TimerGrid grid(start, 1.0 / 30);
  EXPECT_TRUE(grid.repeats());
  EXPECT_EQ(grid.deadline(0), start);
  EXPECT_EQ(grid.deadline(1), start + 33'333'333);
  EXPECT_EQ(grid.deadline(2), start + 66'666'667);
  EXPECT_EQ(grid.deadline(30), start + 1'000'000'000);
  // One hour: adding a rounded 33'333'333 ns each time would be 36 us short by now.
  EXPECT_EQ(grid.deadline(108'000), start + 3'600'000'000'000);
}

TEST(TimerGrid, FirstIndexAfterSkipsToTheNextFutureDeadline) {
  const std::uint64_t start = 1'000'000;
  const TimerGrid grid(start, 1.0 / 30);
  EXPECT_EQ(grid.firstIndexAfter(0), 0U);
  EXPECT_EQ(grid.firstIndexAfter(start - 1), 0U);
  EXPECT_EQ(grid.firstIndexAfter(start), 1U);
  EXPECT_EQ(grid.firstIndexAfter(grid.deadline(5) - 1), 5U);
  EXPECT_EQ(grid.firstIndexAfter(grid.deadline(5)), 6U);
  EXPECT_EQ(grid.firstIndexAfter(start + 10'000'000'001), 301U);  // after a ten-second stall
}

TEST(TimerGrid, AnythingButAPositiveFiniteIntervalFiresOnce) {
  for (double interval : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    const TimerGrid grid(42, interval);
    EXPECT_FALSE(grid.repeats()) << interval;
    EXPECT_EQ(grid.deadline(0), 42U);
  }
}

// --- The host clock ---

TEST(MonotonicHostClock, ReadsClockMonotonicInNanoseconds) {
  const MonotonicHostClock clock;
  timespec before{};
  timespec after{};
  clock_gettime(CLOCK_MONOTONIC, &before);
  const CMTime time = clock.time();
  clock_gettime(CLOCK_MONOTONIC, &after);

  EXPECT_EQ(time.timescale, 1'000'000'000);
  EXPECT_TRUE(CMTimeIsValid(time));
  EXPECT_EQ(time.epoch, 0);
  EXPECT_GE(time.value, before.tv_sec * 1'000'000'000LL + before.tv_nsec);
  EXPECT_LE(time.value, after.tv_sec * 1'000'000'000LL + after.tv_nsec);

  std::int64_t previous = time.value;
  for (int i = 0; i < 1000; ++i) {
    const auto next = static_cast<std::int64_t>(monotonicNanoseconds());
    ASSERT_GE(next, previous);
    previous = next;
  }
}

}  // namespace
}  // namespace kolv
