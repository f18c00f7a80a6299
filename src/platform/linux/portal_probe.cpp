#include "platform/linux/portal_probe.h"

#include <systemd/sd-bus.h>

#include <cstring>
#include <memory>

namespace kolv {
namespace {

constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

// An sd_bus_error freed at the end of its scope. Lives on the thread that makes the call.
class BusError {
 public:
  BusError() = default;
  ~BusError() { sd_bus_error_free(&error_); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;

  sd_bus_error* get() { return &error_; }
  // The error's name and message, or the errno text of `result` when the call set none.
  std::string describe(int result) const {
    if (sd_bus_error_is_set(&error_)) {
      return std::string(error_.name) + (error_.message ? std::string(": ") + error_.message : "");
    }
    return std::strerror(-result);
  }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

}  // namespace

PortalReport probePortal(std::chrono::milliseconds timeout) {
  PortalReport report;
  sd_bus* opened = nullptr;
  if (const int result = sd_bus_open_user(&opened); result < 0) {
    report.busError = std::strerror(-result);
    return report;
  }
  const Bus bus(opened);
  sd_bus_set_method_call_timeout(bus.get(), static_cast<std::uint64_t>(timeout.count()) * 1000);

  {
    BusError error;
    sd_bus_message* reply = nullptr;
    const int result = sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus", "GetId", error.get(), &reply, "");
    sd_bus_message_unref(reply);
    if (result < 0) {
      report.busError = error.describe(result);
      return report;
    }
  }
  report.busReachable = true;

  {
    BusError error;
    sd_bus_message* reply = nullptr;
    const int result = sd_bus_call_method(bus.get(), kPortalService, kPortalPath, "org.freedesktop.DBus.Peer", "Ping",
                                          error.get(), &reply, "");
    sd_bus_message_unref(reply);
    if (result < 0) {
      report.portalError = error.describe(result);
      return report;
    }
  }
  report.portalReachable = true;

  BusError error;
  std::uint32_t version = 0;
  const int result = sd_bus_get_property_trivial(
      bus.get(), kPortalService, kPortalPath, "org.freedesktop.portal.Camera", "version", error.get(), 'u', &version);
  if (result < 0) {
    report.cameraError = error.describe(result);
  } else {
    report.cameraVersion = version;
  }
  return report;
}

}  // namespace kolv
