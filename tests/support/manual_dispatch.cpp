#include "support/manual_dispatch.h"

#include <cmath>
#include <limits>
#include <optional>

namespace kolv::test {

std::size_t ManualQueue::runAll() {
  std::size_t ran = 0;
  while (!tasks_.empty()) {
    auto task = std::move(tasks_.front());
    tasks_.pop_front();
    ++running_;
    maxConcurrent_ = std::max(maxConcurrent_, running_);
    task();
    --running_;
    ++ran;
  }
  return ran;
}

void ManualTimer::schedule(DispatchTime deadline, double repeatingSeconds, std::chrono::nanoseconds leeway) {
  start_ = deadline == DispatchTime::now() ? dispatch_.clock().nanoseconds() : deadline.nanoseconds;
  interval_ = repeatingSeconds;
  leeway_ = leeway;
  nextIndex_ = 0;
  scheduled_ = true;
}

std::uint64_t ManualTimer::deadline(std::uint64_t k) const {
  return start_ + static_cast<std::uint64_t>(std::llround(static_cast<double>(k) * interval_ * 1e9));
}

void ManualTimer::fireIfDue(std::uint64_t now) {
  if (!scheduled_ || !resumed_ || cancelled_ || deadline(nextIndex_) > now) return;
  while (deadline(nextIndex_ + 1) <= now) ++nextIndex_;  // missed grid points are merged
  ++nextIndex_;
  if (eventPending_) return;
  eventPending_ = true;
  queue_->async([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->eventPending_ = false;
    if (!self->cancelled_ && self->handler_) self->handler_();
  });
}

DispatchQueueRef ManualDispatch::makeQueue(std::string label, DispatchQoS qos) {
  auto queue = std::make_shared<ManualQueue>(std::move(label), qos);
  queues_.push_back(queue);
  return queue;
}

DispatchSourceTimerRef ManualDispatch::makeTimerSource(DispatchTimerFlags flags, DispatchQueueRef queue) {
  auto manualQueue = std::dynamic_pointer_cast<ManualQueue>(queue);
  if (!manualQueue) return nullptr;
  auto timer = std::make_shared<ManualTimer>(*this, flags, std::move(manualQueue));
  timers_.push_back(timer);
  return timer;
}

void ManualDispatch::runUntilIdle() {
  bool ranSomething = true;
  while (ranSomething) {
    for (const auto& timer : timers_) timer->fireIfDue(clock_.nanoseconds());
    ranSomething = false;
    for (const auto& queue : queues_) ranSomething |= queue->runAll() > 0;
  }
}

void ManualDispatch::advance(std::chrono::nanoseconds duration) {
  const std::uint64_t target = clock_.nanoseconds() + static_cast<std::uint64_t>(duration.count());
  runUntilIdle();
  for (;;) {
    std::optional<std::uint64_t> next;
    for (const auto& timer : timers_) {
      if (!timer->scheduled_ || !timer->resumed_ || timer->cancelled_) continue;
      const std::uint64_t due = timer->deadline(timer->nextIndex_);
      if (due <= target && (!next || due < *next)) next = due;
    }
    if (!next) break;
    clock_.set(std::max(*next, clock_.nanoseconds()));
    runUntilIdle();
  }
  clock_.set(target);
  runUntilIdle();
}

void ManualDispatch::advanceWithoutRunning(std::chrono::nanoseconds duration) {
  clock_.set(clock_.nanoseconds() + static_cast<std::uint64_t>(duration.count()));
  for (const auto& timer : timers_) timer->fireIfDue(clock_.nanoseconds());
}

}  // namespace kolv::test
