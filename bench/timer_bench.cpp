// The frame timer on this machine: a strict 30 Hz timer on a user-interactive queue, run for a
// few seconds. Reports how many ticks ran, how late each tick started against its ideal time
// start + k/30 s, and how far the last tick lies from its ideal time (drift).
//
// A tick serves the grid point after the previous tick's. A tick that starts a whole interval
// or more late stands for every grid point that passed meanwhile (the timer merges them): its
// lateness counts against the first of them, and the next tick serves the grid point after the
// last of them.
// Runs on the main thread; the timer's handler records ticks on the timer queue.
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/linux/dispatch_linux.h"
#include "platform/linux/host_clock.h"

namespace {

constexpr std::uint64_t kFramesPerSecond = 30;
constexpr std::uint64_t kNanosecondsPerSecond = 1'000'000'000;

// Ideal start of tick k, in exact integer arithmetic, independent of the timer's own grid.
std::uint64_t idealTime(std::uint64_t start, std::uint64_t tick) {
  return start + tick * kNanosecondsPerSecond / kFramesPerSecond;
}

// Ticks as the handler saw them. Thread-safety: every member under `mutex`.
struct TickLog {
  std::mutex mutex;
  std::vector<std::int64_t> latenessNanoseconds;  // each tick's start minus the ideal time it serves
  std::uint64_t lastGridPoint = 0;                // served by the latest tick
  std::uint64_t lastTickTime = 0;
  std::uint64_t mergedGridPoints = 0;  // passed during a late tick and served by it
  std::uint64_t longestGap = 0;        // between two ticks' starts
  std::string handlerThread;           // how the timer queue's thread is scheduled
};

std::string describeCallingThread() {
  const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
  if (policy == SCHED_RR || policy == SCHED_FIFO) {
    sched_param param{};
    sched_getparam(0, &param);
    return std::string(policy == SCHED_RR ? "SCHED_RR" : "SCHED_FIFO") + " priority " +
           std::to_string(param.sched_priority);
  }
  return "SCHED_OTHER nice " + std::to_string(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())));
}

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
      "Usage: %s [--seconds N]\n"
      "Runs a strict 30 Hz timer (leeway 1 ms) on a user-interactive queue for N seconds (default 10)\n"
      "and prints tick count, lateness median / p99 / max against start + k/30 s, and drift.\n",
      program);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10;
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
    printUsage(argv[0]);
    return 2;
  }

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
  log.latenessNanoseconds.resize(static_cast<std::size_t>(seconds) * kFramesPerSecond + 64);
  log.latenessNanoseconds.clear();
  queue->async([&log] {
    std::lock_guard lock(log.mutex);
    log.handlerThread = describeCallingThread();
  });
  const std::uint64_t start = kolv::monotonicNanoseconds();
  timer->schedule(kolv::DispatchTime{start}, 1.0 / 30, std::chrono::milliseconds(1));
  timer->setEventHandler([&log, start] {
    const std::uint64_t now = kolv::monotonicNanoseconds();
    std::lock_guard lock(log.mutex);
    const std::uint64_t gridPoint = log.latenessNanoseconds.empty() ? 0 : log.lastGridPoint + 1;
    log.latenessNanoseconds.push_back(static_cast<std::int64_t>(now - idealTime(start, gridPoint)));
    const std::uint64_t passed = (now - start) * kFramesPerSecond / kNanosecondsPerSecond;  // last point <= now
    log.mergedGridPoints += passed > gridPoint ? passed - gridPoint : 0;
    log.lastGridPoint = std::max(gridPoint, passed);
    if (gridPoint > 0) log.longestGap = std::max(log.longestGap, now - log.lastTickTime);
    log.lastTickTime = now;
  });

  timer->resume();

  for (int second = 1; second <= seconds; ++second) {
    // Half an interval after a grid point, so that this thread never wakes together with a tick.
    const std::uint64_t wake =
        start + static_cast<std::uint64_t>(second) * kNanosecondsPerSecond + kNanosecondsPerSecond / 60;
    std::this_thread::sleep_for(std::chrono::nanoseconds(wake - kolv::monotonicNanoseconds()));
    std::lock_guard lock(log.mutex);
    const auto& lateness = log.latenessNanoseconds;
    const auto worst = lateness.empty() ? 0 : *std::max_element(lateness.begin(), lateness.end());
    std::printf("%3d s: %zu ticks, max lateness so far %.1f us\n", second, lateness.size(), microseconds(worst));
    std::fflush(stdout);
  }
  timer->cancel();
  const std::uint64_t end = kolv::monotonicNanoseconds();

  std::vector<std::int64_t> lateness;
  std::string handlerThread;
  std::uint64_t merged = 0;
  std::uint64_t longestGap = 0;
  std::uint64_t lastGridPoint = 0;
  std::uint64_t lastTickTime = 0;
  {
    std::lock_guard lock(log.mutex);
    lateness = log.latenessNanoseconds;
    handlerThread = log.handlerThread;
    merged = log.mergedGridPoints;
    longestGap = log.longestGap;
    lastGridPoint = log.lastGridPoint;
    lastTickTime = log.lastTickTime;
  }
  if (lateness.empty()) {
    std::printf("no tick ran\n");
    return 1;
  }
  const auto drift = static_cast<std::int64_t>(lastTickTime - idealTime(start, lastGridPoint));
  const std::uint64_t expected = (end - start) * kFramesPerSecond / kNanosecondsPerSecond + 1;
  std::vector<std::int64_t> sorted = lateness;
  std::sort(sorted.begin(), sorted.end());

  std::printf("timer queue thread: %s\n", handlerThread.c_str());
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
  const std::size_t perSecond = std::min<std::size_t>(kFramesPerSecond, lateness.size());
  std::printf("mean lateness: first second %.1f us, last second %.1f us\n",
              microseconds(mean(lateness.begin(), lateness.begin() + perSecond)),
              microseconds(mean(lateness.end() - perSecond, lateness.end())));
  return 0;
}
