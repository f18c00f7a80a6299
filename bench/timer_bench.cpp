// The frame timer on this machine: a strict 30 Hz timer on a user-interactive queue, run for a
// few seconds. Reports how many ticks ran, how late each tick started against its ideal time
// start + k/30 s, and how far the last tick lies from its ideal time (drift).
//
// A tick serves the grid point after the previous tick's. A tick that starts a whole interval
// or more late stands for every grid point that passed meanwhile (the timer merges them): its
// lateness counts against the first of them, and the next tick serves the grid point after the
// last of them.
// Long runs print one line a minute (that minute's mean lateness and where its last tick lies
// against start + k/30 s) and the slope of lateness over the run: drift shows as a trend there.
// Then, as its floor, the same in rounds interleaved with a bare timerfd loop at the scheduling
// class read from the timer queue's own thread, so that both are measured alike under the same load.
// Runs on the main thread; the timer's handler records ticks on the timer queue.
#include <sched.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "handoff/unique_fd.h"
#include "platform/linux/dispatch_linux.h"
#include "platform/linux/host_clock.h"

namespace {

constexpr std::uint64_t kFramesPerSecond = 30;
constexpr std::uint64_t kNanosecondsPerSecond = 1'000'000'000;

// Ideal start of tick k, in exact integer arithmetic, independent of the timer's own grid.
std::uint64_t idealTime(std::uint64_t start, std::uint64_t tick) {
  return start + tick * kNanosecondsPerSecond / kFramesPerSecond;
}

// How a thread is scheduled: a real-time policy and priority, or SCHED_OTHER and a nice level.
struct Scheduling {
  int policy = SCHED_OTHER;
  int priority = 0;
  int nice = 0;
};

Scheduling callingThreadScheduling() {
  Scheduling scheduling;
  scheduling.policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
  sched_param param{};
  sched_getparam(0, &param);
  scheduling.priority = param.sched_priority;
  errno = 0;
  scheduling.nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  return scheduling;
}

bool isRealTime(const Scheduling& scheduling) {
  return scheduling.policy == SCHED_RR || scheduling.policy == SCHED_FIFO;
}

std::string describe(const Scheduling& scheduling) {
  if (isRealTime(scheduling)) {
    return std::string(scheduling.policy == SCHED_RR ? "SCHED_RR" : "SCHED_FIFO") + " priority " +
           std::to_string(scheduling.priority);
  }
  return "SCHED_OTHER nice " + std::to_string(scheduling.nice);
}

// Puts the calling thread into `scheduling`; false when the system refuses.
bool applyToCallingThread(const Scheduling& scheduling) {
  if (isRealTime(scheduling)) {
    sched_param param{};
    param.sched_priority = scheduling.priority;
    return sched_setscheduler(0, scheduling.policy | SCHED_RESET_ON_FORK, &param) == 0;
  }
  sched_param param{};
  if (sched_setscheduler(0, SCHED_OTHER, &param) != 0) return false;
  return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), scheduling.nice) == 0;
}

// Ticks as the handler saw them. Thread-safety: every member under `mutex`.
struct TickLog {
  std::mutex mutex;
  std::vector<std::int64_t> latenessNanoseconds;  // each tick's start minus the ideal time it serves
  std::vector<std::uint64_t> gridPoints;          // the grid point each tick serves
  std::uint64_t lastGridPoint = 0;                // served by the latest tick
  std::uint64_t lastTickTime = 0;
  std::uint64_t mergedGridPoints = 0;  // passed during a late tick and served by it
  std::uint64_t longestGap = 0;        // between two ticks' starts
  Scheduling handlerThread;            // how the timer queue's thread is scheduled
  bool handlerThreadKnown = false;
};

double microseconds(std::int64_t nanoseconds) { return static_cast<double>(nanoseconds) / 1000.0; }

std::int64_t percentile(const std::vector<std::int64_t>& sorted, double fraction) {
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(index, sorted.size() - 1)];
}

std::int64_t mean(std::vector<std::int64_t>::const_iterator first, std::vector<std::int64_t>::const_iterator last) {
  std::int64_t sum = 0;
  for (auto it = first; it != last; ++it) sum += *it;
  return first == last ? 0 : sum / (last - first);
}

void printUsage(const char* program) {
  std::printf(
      "Usage: %s [--seconds N] [--floor-rounds R] [--floor-seconds F]\n"
      "Runs a strict 30 Hz timer (leeway 1 ms) on a user-interactive queue for N seconds (default 10)\n"
      "and prints tick count, lateness median / p99 / max against start + k/30 s, and drift: a line\n"
      "a second (N <= 60) or a minute (N >= 60) and the slope of lateness over the whole run.\n"
      "Then, with R > 0 (default 4), R rounds of F seconds each (default N) of the frame timer and\n"
      "of a bare timerfd loop at the timer queue thread's scheduling class, interleaved and rotated\n"
      "(ABBA...), as its floor.\n",
      program);
}

struct LatenessSummary {
  std::size_t ticks = 0;
  std::int64_t median = 0;
  std::int64_t p99 = 0;
  std::int64_t max = 0;
};

LatenessSummary summarize(std::vector<std::int64_t> lateness) {
  if (lateness.empty()) return {};
  std::sort(lateness.begin(), lateness.end());
  return {lateness.size(), percentile(lateness, 0.5), percentile(lateness, 0.99), lateness.back()};
}

// The floor: one thread in `scheduling` (the timer queue thread's) that sleeps in read() on a
// timerfd armed at each absolute deadline start + k/30 s, nothing else. `ran` receives how the
// loop's thread was actually scheduled.
LatenessSummary bareTimerfdLoop(int seconds, const Scheduling& scheduling, Scheduling& ran) {
  std::vector<std::int64_t> lateness;
  lateness.reserve(static_cast<std::size_t>(seconds) * kFramesPerSecond + 4);
  std::thread loop([&lateness, &ran, &scheduling, seconds] {
    applyToCallingThread(scheduling);
    ran = callingThreadScheduling();
    kolv::UniqueFD timer(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC));
    if (!timer) return;
    const std::uint64_t start = kolv::monotonicNanoseconds();
    const std::uint64_t ticks = static_cast<std::uint64_t>(seconds) * kFramesPerSecond;
    for (std::uint64_t tick = 0; tick < ticks; ++tick) {
      const std::uint64_t deadline = idealTime(start, tick);
      itimerspec alarm{};
      alarm.it_value.tv_sec = static_cast<time_t>(deadline / kNanosecondsPerSecond);
      alarm.it_value.tv_nsec = static_cast<long>(deadline % kNanosecondsPerSecond);
      if (deadline <= kolv::monotonicNanoseconds()) {
        lateness.push_back(static_cast<std::int64_t>(kolv::monotonicNanoseconds() - deadline));
        continue;
      }
      timerfd_settime(timer.get(), TFD_TIMER_ABSTIME, &alarm, nullptr);
      std::uint64_t expirations = 0;
      if (read(timer.get(), &expirations, sizeof expirations) != sizeof expirations) return;
      lateness.push_back(static_cast<std::int64_t>(kolv::monotonicNanoseconds() - deadline));
    }
  });
  loop.join();
  return summarize(std::move(lateness));
}

// The frame timer as the camera runs it, for `seconds`, without progress lines.
LatenessSummary frameTimerRound(kolv::LinuxDispatch& dispatch, const kolv::DispatchQueueRef& queue, int seconds) {
  auto timer = dispatch.makeTimerSource(kolv::DispatchTimerFlags::strict, queue);
  if (!timer) return {};
  std::mutex mutex;
  std::vector<std::int64_t> lateness;
  lateness.reserve(static_cast<std::size_t>(seconds) * kFramesPerSecond + 4);
  std::uint64_t gridPoint = 0;
  const std::uint64_t start = kolv::monotonicNanoseconds();
  timer->schedule(kolv::DispatchTime{start}, 1.0 / 30, std::chrono::milliseconds(1));
  timer->setEventHandler([&] {
    const std::uint64_t now = kolv::monotonicNanoseconds();
    std::lock_guard lock(mutex);
    lateness.push_back(static_cast<std::int64_t>(now - idealTime(start, gridPoint)));
    // A late tick serves every grid point that passed; the next one serves the point after.
    gridPoint = std::max(gridPoint, (now - start) * kFramesPerSecond / kNanosecondsPerSecond) + 1;
  });
  timer->resume();
  std::this_thread::sleep_for(std::chrono::seconds(seconds) - std::chrono::milliseconds(10));
  timer->cancel();
  std::lock_guard lock(mutex);
  return summarize(lateness);
}

std::int64_t medianOf(std::vector<std::int64_t> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

bool sameScheduling(const Scheduling& a, const Scheduling& b) {
  return a.policy == b.policy && (isRealTime(a) ? a.priority == b.priority : a.nice == b.nice);
}

// Rounds of the frame timer and the bare loop, interleaved and rotated: A B B A A B...
// `scheduling` is the timer queue thread's, which the bare loop copies.
void compareWithFloor(kolv::LinuxDispatch& dispatch, const kolv::DispatchQueueRef& queue, int seconds, int rounds,
                      const Scheduling& scheduling) {
  std::printf(
      "\nfloor comparison: %d rounds of %d s each, frame timer (A) and bare timerfd loop (B), "
      "interleaved ABBA...\n",
      rounds, seconds);
  std::printf("bare timerfd loop thread: %s, as the timer queue thread\n", describe(scheduling).c_str());
  std::vector<std::int64_t> timerP99, floorP99, timerMedian, floorMedian;
  for (int round = 0; round < rounds; ++round) {
    for (int slot = 0; slot < 2; ++slot) {
      const bool timerFirst = round % 2 == 0;
      const bool isTimer = (slot == 0) == timerFirst;
      Scheduling ran = scheduling;
      const LatenessSummary result =
          isTimer ? frameTimerRound(dispatch, queue, seconds) : bareTimerfdLoop(seconds, scheduling, ran);
      if (!sameScheduling(ran, scheduling)) {
        std::printf("  (the bare loop could not take %s and ran at %s: the comparison is not like for like)\n",
                    describe(scheduling).c_str(), describe(ran).c_str());
      }
      std::printf("  round %d %-16s %4zu ticks, lateness median %7.1f us, p99 %7.1f us, max %8.1f us\n", round + 1,
                  isTimer ? "frame timer" : "bare timerfd", result.ticks, microseconds(result.median),
                  microseconds(result.p99), microseconds(result.max));
      std::fflush(stdout);
      (isTimer ? timerP99 : floorP99).push_back(result.p99);
      (isTimer ? timerMedian : floorMedian).push_back(result.median);
    }
  }
  const std::int64_t timerP99Median = medianOf(timerP99);
  const std::int64_t floorP99Median = medianOf(floorP99);
  std::printf("median over rounds: frame timer median %.1f us, p99 %.1f us; bare timerfd median %.1f us, p99 %.1f us\n",
              microseconds(medianOf(timerMedian)), microseconds(timerP99Median), microseconds(medianOf(floorMedian)),
              microseconds(floorP99Median));
  std::vector<double> ratios;
  for (std::size_t i = 0; i < timerP99.size() && i < floorP99.size(); ++i) {
    if (floorP99[i] > 0) ratios.push_back(static_cast<double>(timerP99[i]) / static_cast<double>(floorP99[i]));
  }
  std::sort(ratios.begin(), ratios.end());
  if (!ratios.empty()) {
    std::printf("p99 ratio frame timer / bare timerfd per round: median %.2f (range %.2f-%.2f)\n",
                ratios[ratios.size() / 2], ratios.front(), ratios.back());
  }
}

// Least-squares slope of lateness against the ideal time of the grid point each tick serves, in
// nanoseconds of lateness per second of run: a timer whose deadlines accumulate rounding errors
// or slip shows a steady slope; scheduling noise averages out.
double latenessSlope(const std::vector<std::uint64_t>& gridPoints, const std::vector<std::int64_t>& lateness) {
  const std::size_t n = std::min(gridPoints.size(), lateness.size());
  if (n < 2) return 0;
  double meanX = 0, meanY = 0;
  for (std::size_t i = 0; i < n; ++i) {
    meanX += static_cast<double>(gridPoints[i]) / kFramesPerSecond;
    meanY += static_cast<double>(lateness[i]);
  }
  meanX /= static_cast<double>(n);
  meanY /= static_cast<double>(n);
  double covariance = 0, variance = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double dx = static_cast<double>(gridPoints[i]) / kFramesPerSecond - meanX;
    covariance += dx * (static_cast<double>(lateness[i]) - meanY);
    variance += dx * dx;
  }
  return variance > 0 ? covariance / variance : 0;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10;
  int floorRounds = 4;
  int floorSeconds = 0;  // 0: as --seconds
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      printUsage(argv[0]);
      return 0;
    }
    if (argument == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
      if (seconds > 0) continue;
    }
    if (argument == "--floor-rounds" && i + 1 < argc) {
      const std::string_view value = argv[++i];
      floorRounds = std::atoi(argv[i]);
      if (floorRounds > 0 || value == "0") continue;
    }
    if (argument == "--floor-seconds" && i + 1 < argc) {
      floorSeconds = std::atoi(argv[++i]);
      if (floorSeconds > 0) continue;
    }
    printUsage(argv[0]);
    return 2;
  }
  if (floorSeconds == 0) floorSeconds = seconds;

  kolv::LinuxDispatch dispatch;
  auto queue = dispatch.makeQueue("org.kolv.bench.cameraTimer", kolv::DispatchQoS::userInteractive);
  auto timer = queue ? dispatch.makeTimerSource(kolv::DispatchTimerFlags::strict, queue) : nullptr;
  if (!timer) {
    std::fprintf(stderr, "could not create the timer queue or the timer\n");
    return 1;
  }

  std::string loadAverage;
  std::getline(std::ifstream("/proc/loadavg"), loadAverage);
  std::printf("strict timer, interval 1/30 s, leeway 1 ms, %d s; load average %s\n", seconds, loadAverage.c_str());
  std::fflush(stdout);

  // As the camera does: schedule for now, set the handler, resume.
  TickLog log;
  // Touch the memory the handler writes now: a first touch in a tick is a page fault, which on a
  // VM can cost milliseconds.
  const std::size_t capacity = static_cast<std::size_t>(seconds) * kFramesPerSecond + 64;
  log.latenessNanoseconds.resize(capacity);
  log.latenessNanoseconds.clear();
  log.gridPoints.resize(capacity);
  log.gridPoints.clear();
  queue->async([&log] {
    std::lock_guard lock(log.mutex);
    log.handlerThread = callingThreadScheduling();
    log.handlerThreadKnown = true;
  });
  const std::uint64_t start = kolv::monotonicNanoseconds();
  timer->schedule(kolv::DispatchTime{start}, 1.0 / 30, std::chrono::milliseconds(1));
  timer->setEventHandler([&log, start] {
    const std::uint64_t now = kolv::monotonicNanoseconds();
    std::lock_guard lock(log.mutex);
    const std::uint64_t gridPoint = log.latenessNanoseconds.empty() ? 0 : log.lastGridPoint + 1;
    log.latenessNanoseconds.push_back(static_cast<std::int64_t>(now - idealTime(start, gridPoint)));
    log.gridPoints.push_back(gridPoint);
    const std::uint64_t passed = (now - start) * kFramesPerSecond / kNanosecondsPerSecond;  // last point <= now
    log.mergedGridPoints += passed > gridPoint ? passed - gridPoint : 0;
    log.lastGridPoint = std::max(gridPoint, passed);
    if (gridPoint > 0) log.longestGap = std::max(log.longestGap, now - log.lastTickTime);
    log.lastTickTime = now;
  });

  timer->resume();

  // A line a second for short runs; a line a minute (its ticks, mean and max lateness, and its
  // last tick against start + k/30 s) for runs of a minute or more.
  const bool perMinute = seconds >= 60;
  std::size_t minuteFirstTick = 0;
  for (int second = 1; second <= seconds; ++second) {
    // Half an interval after a grid point, so that this thread never wakes together with a tick.
    const std::uint64_t wake =
        start + static_cast<std::uint64_t>(second) * kNanosecondsPerSecond + kNanosecondsPerSecond / 60;
    std::this_thread::sleep_for(std::chrono::nanoseconds(wake - kolv::monotonicNanoseconds()));
    std::lock_guard lock(log.mutex);
    const auto& lateness = log.latenessNanoseconds;
    if (!perMinute) {
      const auto worst = lateness.empty() ? 0 : *std::max_element(lateness.begin(), lateness.end());
      std::printf("%3d s: %zu ticks, max lateness so far %.1f us\n", second, lateness.size(), microseconds(worst));
    } else if (second % 60 == 0 && minuteFirstTick < lateness.size()) {
      const auto first = lateness.begin() + static_cast<std::ptrdiff_t>(minuteFirstTick);
      const auto worst = *std::max_element(first, lateness.end());
      std::printf(
          "minute %3d: %zu ticks, mean lateness %.1f us, max %.1f us; last tick %+.1f us against start + "
          "%llu/30 s\n",
          second / 60, lateness.size() - minuteFirstTick, microseconds(mean(first, lateness.end())),
          microseconds(worst),
          microseconds(static_cast<std::int64_t>(log.lastTickTime - idealTime(start, log.lastGridPoint))),
          static_cast<unsigned long long>(log.lastGridPoint));
      minuteFirstTick = lateness.size();
    }
    std::fflush(stdout);
  }
  timer->cancel();
  const std::uint64_t end = kolv::monotonicNanoseconds();

  std::vector<std::int64_t> lateness;
  std::vector<std::uint64_t> gridPoints;
  Scheduling handlerThread;
  bool handlerThreadKnown = false;
  std::uint64_t merged = 0;
  std::uint64_t longestGap = 0;
  std::uint64_t lastGridPoint = 0;
  std::uint64_t lastTickTime = 0;
  {
    std::lock_guard lock(log.mutex);
    lateness = log.latenessNanoseconds;
    gridPoints = log.gridPoints;
    handlerThread = log.handlerThread;
    handlerThreadKnown = log.handlerThreadKnown;
    merged = log.mergedGridPoints;
    longestGap = log.longestGap;
    lastGridPoint = log.lastGridPoint;
    lastTickTime = log.lastTickTime;
  }
  if (lateness.empty() || !handlerThreadKnown) {
    std::printf("no tick ran\n");
    return 1;
  }
  const auto drift = static_cast<std::int64_t>(lastTickTime - idealTime(start, lastGridPoint));
  const std::uint64_t expected = (end - start) * kFramesPerSecond / kNanosecondsPerSecond + 1;
  std::vector<std::int64_t> sorted = lateness;
  std::sort(sorted.begin(), sorted.end());

  std::printf("timer queue thread: %s\n", describe(handlerThread).c_str());
  std::printf("ticks: %zu counted, %llu expected; %llu grid points merged into late ticks; longest gap %.1f us\n",
              lateness.size(), static_cast<unsigned long long>(expected), static_cast<unsigned long long>(merged),
              microseconds(static_cast<std::int64_t>(longestGap)));
  std::printf("lateness: min %.1f us, median %.1f us, p99 %.1f us, max %.1f us\n", microseconds(sorted.front()),
              microseconds(percentile(sorted, 0.5)), microseconds(percentile(sorted, 0.99)),
              microseconds(sorted.back()));
  std::printf("drift at the end: %.1f us (last tick against start + %llu/30 s)\n", microseconds(drift),
              static_cast<unsigned long long>(lastGridPoint));
  std::vector<std::size_t> worst(lateness.size());
  for (std::size_t i = 0; i < worst.size(); ++i) worst[i] = i;
  const std::size_t shown = std::min<std::size_t>(5, worst.size());
  std::partial_sort(worst.begin(), worst.begin() + static_cast<std::ptrdiff_t>(shown), worst.end(),
                    [&lateness](std::size_t a, std::size_t b) { return lateness[a] > lateness[b]; });
  std::printf("latest ticks:");
  for (std::size_t i = 0; i < shown; ++i) std::printf(" #%zu %.1f us", worst[i], microseconds(lateness[worst[i]]));
  std::printf("\n");
  // Drift shows as a trend; one late tick does not.
  const std::size_t window =
      std::min<std::size_t>(perMinute ? 60 * kFramesPerSecond : kFramesPerSecond, lateness.size());
  const char* windowName = perMinute ? "minute" : "second";
  std::printf("mean lateness: first %s %.1f us, last %s %.1f us\n", windowName,
              microseconds(mean(lateness.begin(), lateness.begin() + static_cast<std::ptrdiff_t>(window))), windowName,
              microseconds(mean(lateness.end() - static_cast<std::ptrdiff_t>(window), lateness.end())));
  const double slope = latenessSlope(gridPoints, lateness);  // ns per second
  std::printf("lateness trend: %+.1f us over the %d s (least-squares slope over %zu ticks", slope * seconds / 1000,
              seconds, lateness.size());
  if (perMinute) std::printf(", %+.3f us per minute", slope * 60 / 1000);
  std::printf(")\n");
  timer.reset();
  if (floorRounds > 0) compareWithFloor(dispatch, queue, floorSeconds, floorRounds, handlerThread);
  return 0;
}
