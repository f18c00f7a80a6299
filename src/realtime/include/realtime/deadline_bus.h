// D-Bus method calls on one connection that all end by one deadline, the connection's set-up
// and authentication included: sd-bus's blocking calls first wait for the set-up without a
// bound of ours, 90 s on a bus that accepts a connection and never answers. For RTKit on the
// system bus and for --check's portal probe on the session bus.
// Thread-safety: lives on the thread that makes the calls.
#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kolv::realtime {

// Closed without a flush: sd_bus_flush() would first wait for the set-up, unbounded as above.
// Nothing is left to flush: every call waited for its reply.
struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// Why a call brought no reply.
struct CallFailure {
  enum class Kind { notSent, busFailed, noAnswer, refused };
  Kind kind = Kind::notSent;
  std::string text;  // for refused: the error's message, or its name when it has none
  std::string name;  // for refused: the error's name
};

class DeadlineBus {
 public:
  using Clock = std::chrono::steady_clock;
  DeadlineBus(Bus bus, Clock::time_point deadline) : bus_(std::move(bus)), deadline_(deadline) {}

  // Calls `member`, with the arguments `append` adds to the request (none without it), and waits
  // for the reply until the deadline: the reply, or null with `failure` set.
  Message call(const char* destination, const char* path, const char* interface, const char* member,
               CallFailure& failure, const std::function<int(sd_bus_message*)>& append = {});

 private:
  std::uint64_t remainingMicroseconds() const;

  Bus bus_;
  const Clock::time_point deadline_;
};

}  // namespace kolv::realtime
