// The main run loop: waits for SIGINT, SIGTERM or SIGHUP (its terminal closed), or for a stop
// asked by another thread.
#pragma once

#include "handoff/unique_fd.h"
#include "platform/foundation.h"

namespace kolv {

// run() belongs to the main thread; requestStop() may be called from any thread.
class SignalRunLoop final : public RunLoop {
 public:
  // Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and in every thread it starts afterwards,
  // so that run() receives them. Call first thing in main(), before any thread exists.
  static void blockTerminationSignals();

  SignalRunLoop();
  ~SignalRunLoop() override;
  SignalRunLoop(const SignalRunLoop&) = delete;
  SignalRunLoop& operator=(const SignalRunLoop&) = delete;

  // Returns after SIGINT, SIGTERM or SIGHUP, or after requestStop(). Returns at once when the loop
  // could not get its descriptors at construction.
  void run() override;
  // Makes the current run() return, or the next one if none is running.
  void requestStop();

 private:
  UniqueFD signals_;  // signalfd for SIGINT, SIGTERM and SIGHUP
  UniqueFD wakeup_;   // eventfd written by requestStop
};

}  // namespace kolv
