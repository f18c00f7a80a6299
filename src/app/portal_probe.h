// A look at xdg-desktop-portal on the session bus, for `kolv-camera --check`: whether it
// answers and whether it offers the Camera portal that browsers reach cameras through.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace kolv {

struct PortalReport {
  bool busReachable = false;
  std::string busError;  // why the session bus could not be reached
  bool portalReachable = false;
  std::string portalError;  // why org.freedesktop.portal.Desktop did not answer
  std::optional<std::uint32_t> cameraVersion;
  std::string cameraError;  // why its Camera interface gave no version
};

// Asks the session bus (DBUS_SESSION_BUS_ADDRESS, else XDG_RUNTIME_DIR/bus) with sd-bus; the
// whole exchange, connecting and authenticating included, ends within `timeout`, whatever the
// bus does (a bus that accepts the connection and never answers is "no answer within ...").
// The portal is started by D-Bus activation when it is installed but not running. Runs on
// the calling thread.
PortalReport probePortal(std::chrono::milliseconds timeout);

}  // namespace kolv
