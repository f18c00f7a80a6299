#include "app/portal_probe.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace kolv {
namespace {

constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";

// Closed without a flush: sd_bus_flush() first waits for the connection to be set up, for as
// long as sd-bus's own 90 s authentication timeout on a bus that never answers.
struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

using Clock = std::chrono::steady_clock;

// Method calls on one bus that all end by one deadline, connection set-up and authentication
// included: sd-bus's blocking calls first wait for the set-up without a bound of ours. Lives
// on the thread that makes the calls, inside probePortal.
class DeadlineBus {
 public:
  DeadlineBus(sd_bus* bus, Clock::time_point deadline, std::chrono::milliseconds timeout)
      : bus_(bus), deadline_(deadline), timeout_(timeout) {}

  // Calls `member` with the string arguments `first` and `second` when given; the reply, or
  // why there is none in `error`.
  Message call(const char* destination, const char* path, const char* interface, const char* member, std::string& error,
               const char* first = nullptr, const char* second = nullptr) {
    sd_bus_message* made = nullptr;
    int result = sd_bus_message_new_method_call(bus_, &made, destination, path, interface, member);
    const Message request(made);
    for (const char* argument : {first, second}) {
      if (result >= 0 && argument != nullptr) result = sd_bus_message_append(made, "s", argument);
    }
    if (result < 0) {
      error = std::strerror(-result);
      return nullptr;
    }
    Pending pending;
    sd_bus_slot* slot = nullptr;
    result = sd_bus_call_async(bus_, &slot, made, &DeadlineBus::onReply, &pending, remainingMicroseconds());
    const Slot owned(slot);  // dropping it cancels a call still waiting
    if (result < 0) {
      error = std::strerror(-result);
      return nullptr;
    }
    while (!pending.reply) {
      result = sd_bus_process(bus_, nullptr);
      if (result < 0) {
        error = std::strerror(-result);
        return nullptr;
      }
      if (result > 0) continue;
      const std::uint64_t left = remainingMicroseconds();
      if (left == 0) {
        error = "no answer within " + std::to_string(timeout_.count()) + " ms";
        return nullptr;
      }
      result = sd_bus_wait(bus_, left);
      if (result < 0 && result != -EINTR) {
        error = std::strerror(-result);
        return nullptr;
      }
    }
    if (const sd_bus_error* failure = sd_bus_message_get_error(pending.reply.get())) {
      error = std::string(failure->name ? failure->name : "error") +
              (failure->message ? std::string(": ") + failure->message : "");
      return nullptr;
    }
    return std::move(pending.reply);
  }

 private:
  struct Pending {
    Message reply;
  };

  static int onReply(sd_bus_message* reply, void* data, sd_bus_error* /*error*/) {
    static_cast<Pending*>(data)->reply.reset(sd_bus_message_ref(reply));
    return 0;
  }

  std::uint64_t remainingMicroseconds() const {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - Clock::now());
    return left.count() > 0 ? static_cast<std::uint64_t>(left.count()) : 0;
  }

  sd_bus* bus_;
  Clock::time_point deadline_;
  std::chrono::milliseconds timeout_;
};

}  // namespace

PortalReport probePortal(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  PortalReport report;
  // Connects on a non-blocking socket and starts authenticating; nothing here waits.
  sd_bus* opened = nullptr;
  if (const int result = sd_bus_open_user(&opened); result < 0) {
    report.busError = std::strerror(-result);
    return report;
  }
  const Bus bus(opened);
  DeadlineBus calls(bus.get(), deadline, timeout);

  if (!calls.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId", report.busError)) {
    return report;
  }
  report.busReachable = true;

  if (!calls.call(kPortalService, kPortalPath, "org.freedesktop.DBus.Peer", "Ping", report.portalError)) return report;
  report.portalReachable = true;

  const Message reply = calls.call(kPortalService, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
                                   report.cameraError, "org.freedesktop.portal.Camera", "version");
  if (!reply) return report;
  std::uint32_t version = 0;
  if (const int result = sd_bus_message_read(reply.get(), "v", "u", &version); result < 0) {
    report.cameraError = std::string("its version is not a number: ") + std::strerror(-result);
  } else {
    report.cameraVersion = version;
  }
  return report;
}

}  // namespace kolv
