// Watches an app group's container for reads of the frame-metadata file: the camera opens,
// reads and closes it on every tick while it streams a surface, so each read is the moment
// to hand it a new timestamp for the next tick.
// Thread: made and destroyed on the publisher's thread; runs its own thread in between,
// which calls `onRead`. That thread runs real-time where the system permits (see start()).
#pragma once

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "handoff/unique_fd.h"
#include "realtime/thread_priority.h"

namespace kolv::companion {

class FrameReadWatcher {
 public:
  // The watcher thread's name, as ps and /proc show it.
  static constexpr char kThreadName[] = "kolv-restamp";
  // A re-stamp must reach the frame file before the camera's next tick even when every core
  // is busy, so the thread asks for real-time: SCHED_FIFO just below the camera's own frame
  // timer (10), so that it never preempts a tick on the same core, and the best nice level
  // when real-time is refused. It sleeps in poll() between reads and does microseconds of
  // work on each.
  static constexpr realtime::Request kPriority{.priority = 9, .nice = -20};

  // Watches `container` and calls `onRead` on the watcher's thread after the file `name`
  // in it was closed without having been written (once for several reads that came
  // together). Null when inotify, the wake-up descriptor or the thread cannot be had, with
  // the reason in `reason`. Returns once the thread has its priority (at most
  // kPriority.busTimeout when RTKit is asked and does not answer).
  static std::unique_ptr<FrameReadWatcher> start(const std::filesystem::path& container, const std::string& name,
                                                 std::function<void()> onRead, std::string& reason);

  FrameReadWatcher(const FrameReadWatcher&) = delete;
  FrameReadWatcher& operator=(const FrameReadWatcher&) = delete;
  // Wakes the thread and joins it: `onRead` is not running and will not run again.
  ~FrameReadWatcher();

  // Ends the thread, after the read it may be handling; later calls do nothing. Not from the
  // watcher's own thread.
  void stop();

  // Watches the container again after it was removed and made anew; false when it cannot.
  bool rewatch();

  // The priority the thread got.
  const realtime::Outcome& priority() const { return priority_; }

 private:
  FrameReadWatcher(std::filesystem::path container, std::string name, std::function<void()> onRead, UniqueFD inotify,
                   UniqueFD wake);
  void run();
  // Reads the pending events; whether any was a finished read of the file.
  bool drainEvents();

  std::filesystem::path container_;
  std::string name_;
  std::function<void()> onRead_;
  UniqueFD inotify_;
  UniqueFD wake_;
  std::promise<realtime::Outcome> raised_;  // set by the thread once it has its priority
  realtime::Outcome priority_;
  std::thread thread_;
};

}  // namespace kolv::companion
