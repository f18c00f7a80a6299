// Raising a thread's priority: the order of the attempts (directly, RTKit, nice) against a
// system double, and on the real system what the thread got is what it reports.
#include "realtime/thread_priority.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>

#include <cerrno>
#include <map>
#include <thread>
#include <vector>

#include "realtime/priority_inheritance_mutex.h"

namespace kolv::realtime {
namespace {

constexpr pid_t kThread = 4242;

// RTKit as the daemon answers: its limits, and what it was asked.
struct FakeKit {
  std::int64_t maxPriority = 20;
  std::int64_t minNice = -15;
  std::int64_t maxRunTime = 200'000;
  bool refuse = false;
  std::vector<std::pair<pid_t, std::uint32_t>> realtimeCalls;
  std::vector<std::pair<pid_t, std::int32_t>> niceCalls;
};

class KitHandle final : public RealtimeKit {
 public:
  explicit KitHandle(FakeKit& kit) : kit_(kit) {}
  std::optional<std::int64_t> property(const char* name, std::string& error) override {
    const std::map<std::string, std::int64_t> values{
        {"MaxRealtimePriority", kit_.maxPriority}, {"MinNiceLevel", kit_.minNice}, {"RTTimeUSecMax", kit_.maxRunTime}};
    if (const auto found = values.find(name); found != values.end()) return found->second;
    error = "no such property";
    return std::nullopt;
  }
  bool makeThreadRealtime(pid_t thread, std::uint32_t priority, std::string& error) override {
    kit_.realtimeCalls.emplace_back(thread, priority);
    if (kit_.refuse) error = "RTKit refused: not permitted";
    return !kit_.refuse;
  }
  bool makeThreadHighPriority(pid_t thread, std::int32_t nice, std::string& error) override {
    kit_.niceCalls.emplace_back(thread, nice);
    if (kit_.refuse) error = "RTKit refused: not permitted";
    return !kit_.refuse;
  }

 private:
  FakeKit& kit_;
};

// The kernel as an unprivileged process sees it unless told otherwise.
class FakeSystem final : public System {
 public:
  pid_t thisThread() override { return kThread; }
  int setFifo(pid_t thread, int priority) override {
    EXPECT_EQ(thread, kThread);
    fifoTries.push_back(priority);
    if (privileged || (rtprio > 0 && static_cast<rlim_t>(priority) <= rtprio)) {
      fifo = priority;
      return 0;
    }
    return EPERM;
  }
  int setNice(pid_t thread, int value) override {
    EXPECT_EQ(thread, kThread);
    if (!privileged && value < 20 - static_cast<int>(niceLimit)) return EACCES;
    nice = value;
    return 0;
  }
  int niceOf(pid_t) override { return nice; }
  rlimit limit(int resource) override {
    if (resource == RLIMIT_RTPRIO) return {rtprio, rtprio};
    if (resource == RLIMIT_NICE) return {niceLimit, niceLimit};
    if (resource == RLIMIT_RTTIME) return runTime;
    return {RLIM_INFINITY, RLIM_INFINITY};
  }
  int setLimit(int resource, const rlimit& value) override {
    EXPECT_EQ(resource, RLIMIT_RTTIME);
    runTime = value;
    return 0;
  }
  std::unique_ptr<RealtimeKit> realtimeKit(std::chrono::milliseconds timeout, std::string& error) override {
    kitTimeout = timeout;
    if (!kit) {
      error = "no system bus: No such file or directory";
      return nullptr;
    }
    return std::make_unique<KitHandle>(*kit);
  }

  bool privileged = false;
  rlim_t rtprio = 0;
  rlim_t niceLimit = 0;
  rlimit runTime{RLIM_INFINITY, RLIM_INFINITY};
  FakeKit* kit = nullptr;
  std::optional<int> fifo;
  int nice = 0;
  std::vector<int> fifoTries;
  std::optional<std::chrono::milliseconds> kitTimeout;
};

const Request kRequest{.priority = 10, .nice = -20, .busTimeout = std::chrono::milliseconds(300)};

TEST(ThreadPriorityTest, APrivilegedProcessGetsFifoDirectlyAndNeverAsksTheBus) {
  FakeSystem system;
  system.privileged = true;
  const Outcome outcome = raiseThisThread(kRequest, system);
  EXPECT_EQ(outcome.kind, Outcome::Kind::realtime);
  EXPECT_EQ(outcome.priority, 10);
  EXPECT_FALSE(outcome.throughRTKit);
  EXPECT_EQ(system.fifo, 10);
  EXPECT_FALSE(system.kitTimeout);
  EXPECT_EQ(outcome.describe(), "real-time (SCHED_FIFO, priority 10)");
}

TEST(ThreadPriorityTest, RlimitRtprioBelowTheWishGivesFifoAtTheLimit) {
  FakeSystem system;
  system.rtprio = 4;
  const Outcome outcome = raiseThisThread(kRequest, system);
  EXPECT_EQ(outcome.kind, Outcome::Kind::realtime);
  EXPECT_EQ(outcome.priority, 4);
  EXPECT_EQ(system.fifo, 4);
  EXPECT_EQ(system.fifoTries, (std::vector<int>{10, 4}));
}

TEST(ThreadPriorityTest, RtkitGrantsWithinItsLimitsAfterRlimitRttimeIsSet) {
  FakeSystem system;
  FakeKit kit;
  kit.maxPriority = 5;
  system.kit = &kit;
  const Outcome outcome = raiseThisThread(kRequest, system);
  EXPECT_EQ(outcome.kind, Outcome::Kind::realtime);
  EXPECT_TRUE(outcome.throughRTKit);
  EXPECT_EQ(outcome.priority, 5);
  ASSERT_EQ(kit.realtimeCalls.size(), 1U);
  EXPECT_EQ(kit.realtimeCalls[0], (std::pair<pid_t, std::uint32_t>{kThread, 5}));
  // RTKit refuses a process whose RLIMIT_RTTIME is unlimited or above its maximum.
  EXPECT_EQ(system.runTime.rlim_max, 200'000U);
  EXPECT_EQ(system.runTime.rlim_cur, 200'000U);
  EXPECT_EQ(system.kitTimeout, kRequest.busTimeout);
  EXPECT_EQ(outcome.describe(), "real-time (SCHED_RR through RTKit, priority 5)");
}

TEST(ThreadPriorityTest, AnRlimitRttimeAlreadyWithinRtkitsMaximumIsLeftAsItIs) {
  FakeSystem system;
  FakeKit kit;
  system.kit = &kit;
  system.runTime = {20'000, 50'000};
  EXPECT_EQ(raiseThisThread(kRequest, system).kind, Outcome::Kind::realtime);
  EXPECT_EQ(system.runTime.rlim_cur, 20'000U);
  EXPECT_EQ(system.runTime.rlim_max, 50'000U);
  EXPECT_EQ(kit.realtimeCalls.at(0).second, 10U);
}

TEST(ThreadPriorityTest, RefusedRealTimeFallsBackToTheBestNiceLevelAllowed) {
  FakeSystem system;
  system.niceLimit = 25;  // nice down to -5
  const Outcome outcome = raiseThisThread(kRequest, system);
  EXPECT_EQ(outcome.kind, Outcome::Kind::nice);
  EXPECT_EQ(outcome.nice, -5);
  EXPECT_EQ(system.nice, -5);
  EXPECT_NE(outcome.refused.find("SCHED_FIFO: Operation not permitted"), std::string::npos) << outcome.refused;
  EXPECT_NE(outcome.refused.find("no system bus"), std::string::npos) << outcome.refused;
  EXPECT_EQ(outcome.describe().rfind("nice -5 (real-time refused: ", 0), 0U) << outcome.describe();
}

TEST(ThreadPriorityTest, RtkitsHighPriorityIsTheLastResortWithinItsMinimumNiceLevel) {
  FakeSystem system;
  FakeKit kit;
  kit.maxPriority = 0;  // real-time off in RTKit's configuration
  system.kit = &kit;
  const Outcome outcome = raiseThisThread(kRequest, system);
  EXPECT_EQ(outcome.kind, Outcome::Kind::nice);
  EXPECT_TRUE(outcome.throughRTKit);
  EXPECT_EQ(outcome.nice, -15);
  EXPECT_TRUE(kit.realtimeCalls.empty());
  EXPECT_EQ(kit.niceCalls, (std::vector<std::pair<pid_t, std::int32_t>>{{kThread, -15}}));
  EXPECT_NE(outcome.refused.find("RTKit allows no real-time priority"), std::string::npos) << outcome.refused;
}

TEST(ThreadPriorityTest, WithEverythingRefusedTheThreadStaysAsItWasAndSaysWhy) {
  FakeSystem system;
  FakeKit kit;
  kit.refuse = true;
  system.kit = &kit;
  const Outcome outcome = raiseThisThread(kRequest, system);
  EXPECT_EQ(outcome.kind, Outcome::Kind::unchanged);
  EXPECT_EQ(system.nice, 0);
  EXPECT_EQ(kit.realtimeCalls.size(), 1U);
  EXPECT_EQ(kit.niceCalls.size(), 1U);
  EXPECT_EQ(outcome.describe().rfind("normal priority (real-time and a higher nice level refused: SCHED_FIFO: ", 0), 0U)
      << outcome.describe();
  EXPECT_NE(outcome.describe().find("RTKit refused: not permitted"), std::string::npos) << outcome.describe();
}

// On this machine, whatever it permits: the thread's real scheduling is what the outcome says.
TEST(ThreadPriorityTest, OnTheRealSystemTheOutcomeIsTheThreadsScheduling) {
  std::thread([] {
    const Outcome outcome = raiseThisThread(Request{.priority = 3, .nice = -2});
    const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    sched_param parameter{};
    sched_getparam(0, &parameter);
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    switch (outcome.kind) {
      case Outcome::Kind::realtime:
        EXPECT_TRUE(policy == SCHED_FIFO || policy == SCHED_RR) << policy;
        EXPECT_EQ(parameter.sched_priority, outcome.priority);
        EXPECT_NE(sched_getscheduler(0) & SCHED_RESET_ON_FORK, 0);  // children start at normal priority
        break;
      case Outcome::Kind::nice:
        EXPECT_EQ(policy, SCHED_OTHER);
        EXPECT_EQ(nice, outcome.nice);
        break;
      case Outcome::Kind::unchanged:
        EXPECT_EQ(policy, SCHED_OTHER);
        EXPECT_FALSE(outcome.refused.empty());
        break;
    }
  }).join();
}

TEST(PriorityInheritanceMutexTest, ExcludesLikeAMutex) {
  PriorityInheritanceMutex mutex;
  int counter = 0;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 10'000; ++i) {
          std::lock_guard lock(mutex);
          ++counter;
        }
      });
    }
  }
  EXPECT_EQ(counter, 40'000);
  std::unique_lock lock(mutex);
  std::thread([&] { EXPECT_FALSE(mutex.try_lock()); }).join();
}

}  // namespace
}  // namespace kolv::realtime
