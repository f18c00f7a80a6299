#include "platform/linux/signal_run_loop.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace kolv {
namespace {

// Blocks SIGINT, SIGTERM and SIGHUP in this thread (and the threads it starts) for one test, then
// checks that none is left pending before unblocking them again.
class ScopedTerminationBlock {
 public:
  ScopedTerminationBlock() {
    pthread_sigmask(SIG_SETMASK, nullptr, &previous_);
    SignalRunLoop::blockTerminationSignals();
  }
  ~ScopedTerminationBlock() {
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGTERM));
    EXPECT_FALSE(sigismember(&pending, SIGINT));
    EXPECT_FALSE(sigismember(&pending, SIGHUP));
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  ScopedTerminationBlock(const ScopedTerminationBlock&) = delete;
  ScopedTerminationBlock& operator=(const ScopedTerminationBlock&) = delete;

 private:
  sigset_t previous_;
};

TEST(SignalRunLoopTest, StopRequestedBeforeRunMakesRunReturn) {
  SignalRunLoop loop;
  loop.requestStop();
  std::thread runner([&loop] { loop.run(); });  // the stop is kept until a run() takes it
  runner.join();
}

TEST(SignalRunLoopTest, StopFromAnotherThreadEndsRun) {
  SignalRunLoop loop;
  std::thread runner([&loop] { loop.run(); });
  loop.requestStop();
  runner.join();

  // Each stop ends one run.
  std::thread second([&loop] { loop.run(); });
  loop.requestStop();
  second.join();
}

TEST(SignalRunLoopTest, TerminationSignalToTheRunningThreadEndsRun) {
  const ScopedTerminationBlock blocked;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SignalRunLoop loop;
    std::thread runner([&loop] { loop.run(); });
    ASSERT_EQ(pthread_kill(runner.native_handle(), signal), 0);
    runner.join();
  }
}

// The real thing, in a child process: main() blocks the signals, other threads are running,
// the process receives SIGTERM, SIGINT or SIGHUP, run() returns and main exits 0.
void runLikeMainUntil(int signal) {
  SignalRunLoop::blockTerminationSignals();
  std::thread worker([signal] { ::kill(::getpid(), signal); });
  SignalRunLoop loop;
  loop.run();
  worker.join();
  std::exit(0);
}

TEST(SignalRunLoopDeathTest, ProcessExitsCleanlyOnTermination) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(runLikeMainUntil(SIGTERM), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(runLikeMainUntil(SIGINT), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(runLikeMainUntil(SIGHUP), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kolv
