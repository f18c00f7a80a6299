// Dispatch on Linux: serial queues on worker threads, timers on timerfd and CLOCK_MONOTONIC.
#pragma once

#include <cstdint>

#include "platform/dispatch.h"
#include "platform/foundation.h"

namespace kolv {

// Makes queues, each with its own worker thread, and timers that those workers keep; see
// dispatch_linux.cpp. Thread-safety: immutable; call from any thread.
class LinuxDispatch final : public Dispatch {
 public:
  // With `log`, each userInteractive queue's worker logs one line with the priority it got;
  // the log must outlive every queue.
  explicit LinuxDispatch(OSLog* log = nullptr) : log_(log) {}

  // nullptr only when the system refuses a thread, a timerfd or an eventfd.
  DispatchQueueRef makeQueue(std::string label, DispatchQoS qos) override;
  // nullptr unless `queue` was made by a LinuxDispatch.
  DispatchSourceTimerRef makeTimerSource(DispatchTimerFlags flags, DispatchQueueRef queue) override;

 private:
  OSLog* const log_;
};

// The deadlines of a timer: start + k * interval for k = 0, 1, 2... Each is computed from the
// start, so rounding never accumulates. An interval that is not a positive finite number of
// seconds makes a one-shot grid: deadline 0 only.
// Thread-safety: a plain value.
class TimerGrid {
 public:
  TimerGrid(std::uint64_t startNanoseconds, double intervalSeconds);
  bool repeats() const { return intervalNanoseconds_ > 0; }
  std::uint64_t deadline(std::uint64_t index) const;
  // The index of the first deadline strictly after `nanoseconds` (repeating grids only).
  std::uint64_t firstIndexAfter(std::uint64_t nanoseconds) const;

 private:
  std::uint64_t start_;
  double intervalNanoseconds_;
};

}  // namespace kolv
