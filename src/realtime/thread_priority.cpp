#include "realtime/thread_priority.h"

#include <poll.h>
#include <sched.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>

#include "realtime/deadline_bus.h"

namespace kolv::realtime {
namespace {

constexpr const char* kService = "org.freedesktop.RealtimeKit1";
constexpr const char* kPath = "/org/freedesktop/RealtimeKit1";

std::string errnoText(int error) { return std::strerror(error); }

// RTKit over the system bus. Every call waits for its reply up to the one deadline set at
// connection, so that a bus or daemon that never answers costs that long at most.
// Thread: the thread that made it.
class BusRealtimeKit final : public RealtimeKit {
 public:
  BusRealtimeKit(Bus bus, DeadlineBus::Clock::time_point deadline) : bus_(std::move(bus), deadline) {}

  std::optional<std::int64_t> property(const char* name, std::string& error) override {
    auto reply = call("org.freedesktop.DBus.Properties", "Get", error,
                      [&](sd_bus_message* m) { return sd_bus_message_append(m, "ss", kService, name); });
    if (!reply) return std::nullopt;
    const char* type = nullptr;
    char kind = 0;
    if (sd_bus_message_peek_type(reply.get(), &kind, &type) < 0 || kind != 'v' || !type) {
      error = std::string("RTKit's ") + name + " is no variant";
      return std::nullopt;
    }
    if (sd_bus_message_enter_container(reply.get(), 'v', type) < 0) {
      error = std::string("cannot read RTKit's ") + name;
      return std::nullopt;
    }
    if (std::strcmp(type, "i") == 0) {
      std::int32_t value = 0;
      if (sd_bus_message_read_basic(reply.get(), 'i', &value) >= 0) return value;
    } else if (std::strcmp(type, "x") == 0) {
      std::int64_t value = 0;
      if (sd_bus_message_read_basic(reply.get(), 'x', &value) >= 0) return value;
    }
    error = std::string("cannot read RTKit's ") + name + " (type " + type + ")";
    return std::nullopt;
  }

  bool makeThreadRealtime(pid_t thread, std::uint32_t priority, std::string& error) override {
    return call(kService, "MakeThreadRealtime", error, [&](sd_bus_message* m) {
             return sd_bus_message_append(m, "tu", static_cast<std::uint64_t>(thread), priority);
           }) != nullptr;
  }

  bool makeThreadHighPriority(pid_t thread, std::int32_t nice, std::string& error) override {
    return call(kService, "MakeThreadHighPriority", error, [&](sd_bus_message* m) {
             return sd_bus_message_append(m, "ti", static_cast<std::uint64_t>(thread), nice);
           }) != nullptr;
  }

 private:
  // Calls `member` of RTKit's object: the reply, or null with `error`.
  Message call(const char* interface, const char* member, std::string& error,
               const std::function<int(sd_bus_message*)>& append) {
    CallFailure failure;
    auto reply = bus_.call(kService, kPath, interface, member, failure, append);
    if (reply) return reply;
    switch (failure.kind) {
      case CallFailure::Kind::notSent:
        error = "cannot call RTKit: " + failure.text;
        break;
      case CallFailure::Kind::busFailed:
        error = "the system bus failed: " + failure.text;
        break;
      case CallFailure::Kind::noAnswer:
        error = "RTKit did not answer in time";
        break;
      case CallFailure::Kind::refused:
        error = "RTKit refused: " + failure.text;
        break;
    }
    return nullptr;
  }

  DeadlineBus bus_;
};

class KernelSystem final : public System {
 public:
  pid_t thisThread() override { return ::gettid(); }

  int setFifo(pid_t thread, int priority) override {
    sched_param parameter{};
    parameter.sched_priority = priority;
    // Children of the thread start at normal priority.
    return ::sched_setscheduler(thread, SCHED_FIFO | SCHED_RESET_ON_FORK, &parameter) == 0 ? 0 : errno;
  }

  int setNice(pid_t thread, int nice) override {
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), nice) == 0 ? 0 : errno;
  }

  int niceOf(pid_t thread) override {
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
    return errno == 0 ? nice : 0;
  }

  rlimit limit(int resource) override {
    rlimit value{RLIM_INFINITY, RLIM_INFINITY};
    ::getrlimit(resource, &value);
    return value;
  }

  int setLimit(int resource, const rlimit& value) override { return ::setrlimit(resource, &value) == 0 ? 0 : errno; }

  std::unique_ptr<RealtimeKit> realtimeKit(std::chrono::milliseconds timeout, std::string& error) override {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // sd_bus_open_system() connects without waiting for the bus's answer: the calls below
    // wait for that under the deadline.
    sd_bus* raw = nullptr;
    if (const int result = sd_bus_open_system(&raw); result < 0) {
      error = std::string("no system bus: ") + errnoText(-result);
      return nullptr;
    }
    return std::make_unique<BusRealtimeKit>(Bus(raw), deadline);
  }
};

int clampNice(long long nice) { return static_cast<int>(std::clamp<long long>(nice, -20, 19)); }

// Through RTKit: RLIMIT_RTTIME within its maximum, then the priority within its maximum.
std::optional<Outcome> realtimeThroughKit(const Request& request, System& system, RealtimeKit& kit, pid_t thread,
                                          std::string& error) {
  const auto maxPriority = kit.property("MaxRealtimePriority", error);
  if (!maxPriority) return std::nullopt;
  const int priority = static_cast<int>(std::min<std::int64_t>(request.priority, *maxPriority));
  if (priority < 1) {
    error = "RTKit allows no real-time priority";
    return std::nullopt;
  }
  const auto maxRunTime = kit.property("RTTimeUSecMax", error);
  if (!maxRunTime) return std::nullopt;
  const auto ceiling = static_cast<rlim_t>(std::max<std::int64_t>(*maxRunTime, 1));
  const rlimit runTime = system.limit(RLIMIT_RTTIME);
  if (runTime.rlim_max == RLIM_INFINITY || runTime.rlim_max > ceiling) {
    const rlimit lowered{std::min(runTime.rlim_cur, ceiling), ceiling};
    if (const int result = system.setLimit(RLIMIT_RTTIME, lowered); result != 0) {
      error = "cannot set RLIMIT_RTTIME for RTKit: " + errnoText(result);
      return std::nullopt;
    }
  }
  if (!kit.makeThreadRealtime(thread, static_cast<std::uint32_t>(priority), error)) return std::nullopt;
  return Outcome{.kind = Outcome::Kind::realtime, .priority = priority, .throughRTKit = true, .refused = {}};
}

}  // namespace

std::string Outcome::describe() const {
  switch (kind) {
    case Kind::realtime:
      return std::string("real-time (") + (throughRTKit ? "SCHED_RR through RTKit" : "SCHED_FIFO") + ", priority " +
             std::to_string(priority) + ")";
    case Kind::nice:
      return "nice " + std::to_string(nice) + (throughRTKit ? " through RTKit" : "") +
             " (real-time refused: " + refused + ")";
    case Kind::unchanged:
      break;
  }
  return "normal priority (real-time and a higher nice level refused: " + refused + ")";
}

System& systemScheduling() {
  static KernelSystem system;
  return system;
}

Outcome raiseThisThread(const Request& request, System& system) {
  const pid_t thread = system.thisThread();

  // Directly: privileged (CAP_SYS_NICE), or within RLIMIT_RTPRIO.
  int result = system.setFifo(thread, request.priority);
  if (result == EPERM) {
    const rlimit allowed = system.limit(RLIMIT_RTPRIO);
    if (allowed.rlim_cur != RLIM_INFINITY && allowed.rlim_cur >= 1 &&
        allowed.rlim_cur < static_cast<rlim_t>(request.priority)) {
      const int priority = static_cast<int>(allowed.rlim_cur);
      if (system.setFifo(thread, priority) == 0)
        return Outcome{.kind = Outcome::Kind::realtime, .priority = priority, .refused = {}};
    }
  } else if (result == 0) {
    return Outcome{.kind = Outcome::Kind::realtime, .priority = request.priority, .refused = {}};
  }
  std::string refused = "SCHED_FIFO: " + errnoText(result);

  // Through RTKit.
  std::string error;
  auto kit = system.realtimeKit(request.busTimeout, error);
  if (kit) {
    if (auto outcome = realtimeThroughKit(request, system, *kit, thread, error)) return *outcome;
  }
  refused += "; " + error;

  // The best nice level: the one wanted, else the best RLIMIT_NICE allows, else RTKit's.
  const int before = system.niceOf(thread);
  if (system.setNice(thread, request.nice) == 0) {
    return Outcome{.kind = Outcome::Kind::nice, .nice = system.niceOf(thread), .refused = refused};
  }
  const rlimit niceLimit = system.limit(RLIMIT_NICE);
  const long long allowed = niceLimit.rlim_cur == RLIM_INFINITY ? 40 : static_cast<long long>(niceLimit.rlim_cur);
  const int best = clampNice(std::max<long long>(20 - allowed, request.nice));
  if (best < before && system.setNice(thread, best) == 0) {
    return Outcome{.kind = Outcome::Kind::nice, .nice = best, .refused = refused};
  }
  if (kit) {
    std::string kitError;
    const auto minNice = kit->property("MinNiceLevel", kitError);
    const int wanted = clampNice(std::max<long long>(request.nice, minNice.value_or(request.nice)));
    if (minNice && wanted < before && kit->makeThreadHighPriority(thread, wanted, kitError)) {
      return Outcome{.kind = Outcome::Kind::nice, .throughRTKit = true, .nice = wanted, .refused = refused};
    }
  }
  return Outcome{.kind = Outcome::Kind::unchanged, .nice = before, .refused = refused};
}

}  // namespace kolv::realtime
