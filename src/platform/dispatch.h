// Serial dispatch queues and timer sources.
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kolv {

enum class DispatchQoS { background, utility, defaultQoS, userInitiated, userInteractive };

// A serial queue: tasks run one at a time, in the order they were submitted.
class DispatchQueue {
 public:
  virtual ~DispatchQueue() = default;
  virtual const std::string& label() const = 0;
  virtual void async(std::function<void()> task) = 0;
};
using DispatchQueueRef = std::shared_ptr<DispatchQueue>;

// A point on the dispatch clock (the host clock), in nanoseconds. Zero means "now",
// resolved when the timer is scheduled.
struct DispatchTime {
  std::uint64_t nanoseconds = 0;
  static constexpr DispatchTime now() { return DispatchTime{0}; }
  friend bool operator==(const DispatchTime&, const DispatchTime&) = default;
};

enum class DispatchTimerFlags : std::uint32_t {
  none = 0,
  // Keep to the given leeway even where it is smaller than the one the system would apply.
  strict = 1,
};

// A repeating timer whose events run on its queue. It is created suspended. Events that
// fall due while the queue is busy are merged into one, never replayed in a burst. After
// cancel() returns no new event starts, and one running on another thread has returned.
class DispatchSourceTimer {
 public:
  virtual ~DispatchSourceTimer() = default;
  virtual void schedule(DispatchTime deadline, double repeatingSeconds, std::chrono::nanoseconds leeway) = 0;
  virtual void setEventHandler(std::function<void()> handler) = 0;
  virtual void resume() = 0;
  virtual void cancel() = 0;
  virtual bool isCancelled() const = 0;
};
using DispatchSourceTimerRef = std::shared_ptr<DispatchSourceTimer>;

class Dispatch {
 public:
  virtual ~Dispatch() = default;
  // A serial queue. The quality of service is a hint; a queue is made whatever the system allows.
  virtual DispatchQueueRef makeQueue(std::string label, DispatchQoS qos) = 0;
  virtual DispatchSourceTimerRef makeTimerSource(DispatchTimerFlags flags, DispatchQueueRef queue) = 0;
};

}  // namespace kolv
