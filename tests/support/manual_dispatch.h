// A dispatch whose queues run only when the test says so, and whose timers follow a
// virtual clock that the test advances by hand.
// Thread: test thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/media.h"

namespace kolv::test {

// The host clock, in nanoseconds, moved only by the test.
class ManualClock final : public CMClock {
 public:
  CMTime time() const override { return CMTimeMake(static_cast<std::int64_t>(nanoseconds_), 1'000'000'000); }
  std::uint64_t nanoseconds() const { return nanoseconds_; }
  void set(std::uint64_t nanoseconds) { nanoseconds_ = nanoseconds; }

 private:
  std::uint64_t nanoseconds_ = 1'000'000'000;
};

class ManualQueue final : public DispatchQueue {
 public:
  ManualQueue(std::string label, DispatchQoS qos) : label_(std::move(label)), qos_(qos) {}
  const std::string& label() const override { return label_; }
  void async(std::function<void()> task) override { tasks_.push_back(std::move(task)); }

  DispatchQoS qos() const { return qos_; }
  std::size_t pending() const { return tasks_.size(); }
  // Runs tasks, including ones they submit, until none is left. Returns how many ran.
  std::size_t runAll();
  // The most tasks of this queue ever seen running at once (1 for a serial queue).
  int maxConcurrent() const { return maxConcurrent_; }

 private:
  std::string label_;
  DispatchQoS qos_;
  std::deque<std::function<void()>> tasks_;
  int running_ = 0;
  int maxConcurrent_ = 0;
};

class ManualDispatch;

class ManualTimer final : public DispatchSourceTimer, public std::enable_shared_from_this<ManualTimer> {
 public:
  ManualTimer(ManualDispatch& dispatch, DispatchTimerFlags flags, std::shared_ptr<ManualQueue> queue)
      : dispatch_(dispatch), flags_(flags), queue_(std::move(queue)) {}

  void schedule(DispatchTime deadline, double repeatingSeconds, std::chrono::nanoseconds leeway) override;
  void setEventHandler(std::function<void()> handler) override { handler_ = std::move(handler); }
  void resume() override { resumed_ = true; }
  void cancel() override { cancelled_ = true; }
  bool isCancelled() const override { return cancelled_; }

  DispatchTimerFlags flags() const { return flags_; }
  const std::shared_ptr<ManualQueue>& queue() const { return queue_; }
  std::uint64_t firstDeadline() const { return start_; }
  double interval() const { return interval_; }
  std::chrono::nanoseconds leeway() const { return leeway_; }
  bool resumed() const { return resumed_; }
  bool scheduled() const { return scheduled_; }
  bool hasHandler() const { return static_cast<bool>(handler_); }

 private:
  friend class ManualDispatch;
  // Grid point k: start + k * interval.
  std::uint64_t deadline(std::uint64_t k) const;
  // Queues one event if due and none is pending; skips grid points missed meanwhile.
  void fireIfDue(std::uint64_t now);

  ManualDispatch& dispatch_;
  DispatchTimerFlags flags_;
  std::shared_ptr<ManualQueue> queue_;
  std::function<void()> handler_;
  std::uint64_t start_ = 0;
  double interval_ = 0;
  std::chrono::nanoseconds leeway_{0};
  std::uint64_t nextIndex_ = 0;
  bool scheduled_ = false;
  bool resumed_ = false;
  bool cancelled_ = false;
  bool eventPending_ = false;
};

class ManualDispatch final : public Dispatch {
 public:
  explicit ManualDispatch(ManualClock& clock) : clock_(clock) {}

  DispatchQueueRef makeQueue(std::string label, DispatchQoS qos) override;
  DispatchSourceTimerRef makeTimerSource(DispatchTimerFlags flags, DispatchQueueRef queue) override;

  // Fires due timers and runs every queue until nothing is left to do.
  void runUntilIdle();
  // Moves the clock forward, firing each timer event at its own deadline on the way.
  void advance(std::chrono::nanoseconds duration);
  // Moves the clock without running anything, as if every queue were busy.
  void advanceWithoutRunning(std::chrono::nanoseconds duration);

  ManualClock& clock() { return clock_; }
  const std::vector<std::shared_ptr<ManualQueue>>& queues() const { return queues_; }
  const std::vector<std::shared_ptr<ManualTimer>>& timers() const { return timers_; }

 private:
  ManualClock& clock_;
  std::vector<std::shared_ptr<ManualQueue>> queues_;
  std::vector<std::shared_ptr<ManualTimer>> timers_;
};

}  // namespace kolv::test
