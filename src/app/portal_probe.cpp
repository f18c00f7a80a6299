#include "app/portal_probe.h"

#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "realtime/deadline_bus.h"

namespace kolv {
namespace {

constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";

using realtime::Bus;
using realtime::CallFailure;
using realtime::DeadlineBus;
using realtime::Message;
using Clock = DeadlineBus::Clock;

// The portal's probe calls, with a failure as one line: errno's text, "no answer within N ms",
// or the refusal's name and message. Lives on the thread of probePortal.
class ProbeCalls {
 public:
  ProbeCalls(Bus bus, Clock::time_point deadline, std::chrono::milliseconds timeout)
      : bus_(std::move(bus), deadline), timeout_(timeout) {}

  // Calls `member` with the string arguments `first` and `second` when given.
  Message call(const char* destination, const char* path, const char* interface, const char* member, std::string& error,
               const char* first = nullptr, const char* second = nullptr) {
    CallFailure failure;
    auto reply = bus_.call(destination, path, interface, member, failure, [&](sd_bus_message* m) {
      int result = 0;
      for (const char* argument : {first, second}) {
        if (result >= 0 && argument != nullptr) result = sd_bus_message_append(m, "s", argument);
      }
      return result;
    });
    if (reply) return reply;
    if (failure.kind == CallFailure::Kind::noAnswer) {
      error = "no answer within " + std::to_string(timeout_.count()) + " ms";
    } else if (failure.kind == CallFailure::Kind::refused) {
      error = failure.name + (failure.text != failure.name ? ": " + failure.text : "");
    } else {
      error = failure.text;
    }
    return nullptr;
  }

 private:
  DeadlineBus bus_;
  const std::chrono::milliseconds timeout_;
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
  ProbeCalls calls(Bus(opened), deadline, timeout);

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
