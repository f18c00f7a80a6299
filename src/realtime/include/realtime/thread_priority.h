// Raising a thread's scheduling priority as far as the system permits: real-time (SCHED_FIFO)
// directly when the process may, else through RTKit (org.freedesktop.RealtimeKit1 on the
// system bus), as desktop media programs do; else the best nice level allowed. Linked by the
// companion library (its re-stamp thread) and by the camera's Linux platform (its frame timer).
// Thread: raiseThisThread() acts on the calling thread, and may be called from any thread.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kolv::realtime {

struct Request {
  // The SCHED_FIFO priority wanted (1 to 99); RTKit's limit or RLIMIT_RTPRIO may lower it.
  int priority = 10;
  // The nice level wanted when real-time is refused (-20 to 19); limits may raise it.
  int nice = -11;
  // The whole RTKit exchange, connection included: after it the thread goes on as it is.
  std::chrono::milliseconds busTimeout{1000};
};

struct Outcome {
  enum class Kind { realtime, nice, unchanged };
  Kind kind = Kind::unchanged;
  int priority = 0;           // realtime: the priority it got
  bool throughRTKit = false;  // realtime or nice: granted by RTKit
  int nice = 0;               // nice: the level it got
  std::string refused;        // why real-time (and, for unchanged, a better nice level) was refused

  // One phrase for a log line, e.g. "real-time (SCHED_FIFO, priority 10)" or
  // "nice -11 (real-time refused: ...)".
  std::string describe() const;
};

// RTKit's interface, reached under one deadline. Each call is an error message on failure.
class RealtimeKit {
 public:
  virtual ~RealtimeKit() = default;
  virtual std::optional<std::int64_t> property(const char* name, std::string& error) = 0;
  virtual bool makeThreadRealtime(pid_t thread, std::uint32_t priority, std::string& error) = 0;
  virtual bool makeThreadHighPriority(pid_t thread, std::int32_t nice, std::string& error) = 0;
};

// What the kernel and the bus offer; the real one by default, test doubles in tests.
class System {
 public:
  virtual ~System() = default;
  virtual pid_t thisThread() = 0;
  // 0 or an errno value.
  virtual int setFifo(pid_t thread, int priority) = 0;
  virtual int setNice(pid_t thread, int nice) = 0;
  virtual int niceOf(pid_t thread) = 0;
  virtual rlimit limit(int resource) = 0;
  virtual int setLimit(int resource, const rlimit& value) = 0;  // 0 or an errno value
  // RTKit on the system bus, reached within `timeout`; null with the reason when it is not.
  virtual std::unique_ptr<RealtimeKit> realtimeKit(std::chrono::milliseconds timeout, std::string& error) = 0;
};

// The kernel and the system bus. Stateless.
System& systemScheduling();

// Raises the calling thread as far as the system permits; never fails, never waits beyond
// `request.busTimeout`. Through RTKit it sets RLIMIT_RTTIME on the process first when that is
// unlimited or above RTKit's maximum (RTKit requires it): a real-time thread of the process
// that then runs that long without sleeping gets SIGXCPU.
Outcome raiseThisThread(const Request& request, System& system = systemScheduling());

}  // namespace kolv::realtime
