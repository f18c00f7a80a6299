#include "app/check.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/handoff_check.h"
#include "app/loopback_check.h"
#include "app/portal_probe.h"
#include "app/session_probe.h"
#include "handoff/app_group.h"
#include "handoff/file_formats.h"
#include "kolv/handoff_names.h"
#include "platform/linux/host_clock.h"
#include "platform/linux/info_plist_bundle.h"
#include "platform/linux/media_linux.h"

namespace kolv {
namespace {

using Status = CheckItem::Status;

constexpr auto kTimeout = std::chrono::seconds(2);
constexpr const char* kNodeName = "kolv-camera";

// Where libpipewire looks for the daemon: PIPEWIRE_REMOTE (a name or a path), by default
// "pipewire-0", in PIPEWIRE_RUNTIME_DIR, XDG_RUNTIME_DIR or USERPROFILE.
std::string pipewireSocket() {
  const char* remote = std::getenv("PIPEWIRE_REMOTE");
  const std::string name = remote && remote[0] ? remote : "pipewire-0";
  if (name.front() == '/') return name;
  for (const char* variable : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR", "USERPROFILE"}) {
    if (const char* folder = std::getenv(variable); folder && folder[0]) return std::string(folder) + "/" + name;
  }
  return name + " (no runtime folder: XDG_RUNTIME_DIR is unset)";
}

std::vector<CheckItem> checkPipeWire() {
  const SessionReport session = probeSession(kNodeName, kTimeout);
  std::vector<CheckItem> items;
  if (!session.reachable) {
    items.push_back({Status::failure, "PipeWire: not reachable at " + pipewireSocket() + " (" + session.error + ")",
                     "systemctl --user start pipewire.socket pipewire.service (Debian package pipewire)"});
    items.push_back({Status::skipped, "WirePlumber: not checked without PipeWire", {}});
    items.push_back(
        {Status::skipped, std::string("camera node \"") + kNodeName + "\": not checked without PipeWire", {}});
    return items;
  }
  const std::string version = session.serverVersion.empty() ? "" : " (server " + session.serverVersion + ")";
  if (!session.complete) {
    items.push_back({Status::failure,
                     "PipeWire: connected" + version + " but no complete answer (" + session.error + ")",
                     "systemctl --user restart pipewire.service wireplumber.service"});
  } else {
    items.push_back({Status::ok, "PipeWire: reachable" + version, {}});
  }

  if (session.wirePlumberClient || session.defaultMetadata) {
    items.push_back({Status::ok,
                     std::string("WirePlumber: running (") +
                         (session.wirePlumberClient ? "client \"WirePlumber\"" : "\"default\" metadata present") + ")",
                     {}});
  } else {
    items.push_back({Status::failure, "WirePlumber: not running (no such client, no \"default\" metadata)",
                     "systemctl --user start wireplumber.service (Debian package wireplumber)"});
  }

  const std::string node = std::string("camera node \"") + kNodeName + "\"";
  if (!session.nodePresent) {
    items.push_back(
        {Status::failure, node + ": not found", "systemctl --user start kolv-camera.service, or run kolv-camera"});
  } else if (session.nodeState == "running") {
    items.push_back({Status::ok, node + ": present, streaming", {}});
  } else {
    items.push_back({Status::warning,
                     node + ": present, not streaming (state " +
                         (session.nodeState.empty() ? std::string("unknown") : session.nodeState) + ")",
                     "none needed: it streams while an application watches"});
  }
  return items;
}

std::vector<CheckItem> checkPortal() {
  const PortalReport portal = probePortal(kTimeout);
  std::vector<CheckItem> items;
  if (!portal.busReachable) {
    items.push_back(
        {Status::failure, "session bus: not reachable (" + portal.busError + ")",
         "run inside a desktop session, or set DBUS_SESSION_BUS_ADDRESS (Debian package dbus-user-session)"});
    items.push_back({Status::skipped, "Camera portal: not checked without a session bus", {}});
    return items;
  }
  if (!portal.portalReachable) {
    items.push_back(
        {Status::failure, "xdg-desktop-portal: not reachable (" + portal.portalError + ")",
         "sudo apt-get install xdg-desktop-portal, then systemctl --user start xdg-desktop-portal.service"});
    items.push_back({Status::skipped, "Camera portal: not checked without xdg-desktop-portal", {}});
    return items;
  }
  items.push_back({Status::ok, "xdg-desktop-portal: reachable on the session bus", {}});
  if (portal.cameraVersion) {
    items.push_back({Status::ok,
                     "Camera portal: exported (org.freedesktop.portal.Camera version " +
                         std::to_string(*portal.cameraVersion) + ")",
                     {}});
  } else {
    // xdg-desktop-portal 1.16 exports the Camera portal only when a backend for the current
    // desktop declares org.freedesktop.impl.portal.Access. In Debian 12, -gtk and -kde do;
    // -gnome leaves it to -gtk; -wlr has none.
    items.push_back({Status::failure,
                     "Camera portal: not exported (" + portal.cameraError + "); browsers see no camera",
                     "install a portal backend with an Access implementation for your desktop: sudo apt-get install "
                     "xdg-desktop-portal-gtk (GNOME, Xfce, others; xdg-desktop-portal-gnome needs it) or "
                     "xdg-desktop-portal-kde (KDE), then systemctl --user restart xdg-desktop-portal.service"});
  }
  return items;
}

std::vector<CheckItem> checkCompanion() {
  // The app group comes from the same Info.plist as the running camera's, by the rules that
  // both sides of the hand-off share; nothing here is started.
  const std::string group = handoff::resolveAppGroupID(InfoPlistBundleServices::ownInfoPlist());
  LinuxMediaServices media(std::make_shared<MonotonicHostClock>());
  const AppGroupFileManager fileManager;
  const auto files = companionHandOffFiles();
  return checkHandOff(group, fileManager.containerURLForSecurityApplicationGroupIdentifier(group), files[0], files[1],
                      defaultSurfaceRegistry(), media);
}

}  // namespace

std::vector<HandOffFile> companionHandOffFiles() {
  return {{kSurfaceIDFileName, handoff::kSurfaceIDFileLength, false},
          {kFrameMetadataFileName, handoff::kFrameMetadataFileLength, true}};
}

int runCheck(std::FILE* out) {
  std::vector<CheckItem> items = checkPipeWire();
  for (auto& item : checkPortal()) items.push_back(std::move(item));
  for (auto& item : checkCompanion()) items.push_back(std::move(item));
  const char* device = std::getenv("KOLV_V4L2_DEVICE");
  for (auto& item : checkLoopback(device ? device : "")) items.push_back(std::move(item));

  int failures = 0;
  int warnings = 0;
  for (const CheckItem& item : items) {
    std::fprintf(out, "%s\n", formatCheckItem(item).c_str());
    failures += item.status == Status::failure;
    warnings += item.status == Status::warning;
  }
  if (failures > 0) {
    std::fprintf(out, "kolv-camera --check: %d failed, %d warning(s)\n", failures, warnings);
  } else {
    std::fprintf(out, "kolv-camera --check: all passed, %d warning(s)\n", warnings);
  }
  std::fflush(out);
  return failures > 0 ? 1 : 0;
}

}  // namespace kolv
