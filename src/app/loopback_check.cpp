#include "app/loopback_check.h"

#include <fstream>
#include <map>

#include "platform/v4l2loopback/device_calls.h"
#include "platform/v4l2loopback/loopback_writer.h"

namespace kolv {
namespace {

using Status = CheckItem::Status;
namespace fs = std::filesystem;

constexpr const char* kCameraCommand = "kolv-camera";
std::string load() { return "sudo " + v4l2loopback::loadCommand(v4l2loopback::kDefaultCardLabel); }

std::string firstLine(const fs::path& file) {
  std::string line;
  std::getline(std::ifstream(file), line);
  return line;
}

// "ffmpeg (PID 12), chromium (PID 40, 2 descriptors)".
std::string describe(const std::vector<v4l2loopback::Opener>& openers) {
  std::map<pid_t, std::pair<std::string, int>> byProcess;
  for (const auto& opener : openers) {
    auto& entry = byProcess[opener.pid];
    entry.first = opener.command;
    ++entry.second;
  }
  std::string text;
  for (const auto& [pid, entry] : byProcess) {
    if (!text.empty()) text += ", ";
    text += entry.first + " (PID " + std::to_string(pid);
    if (entry.second > 1) text += ", " + std::to_string(entry.second) + " descriptors";
    text += ")";
  }
  return text;
}

}  // namespace

std::vector<CheckItem> checkLoopback(const std::string& device, const LoopbackCheckPlaces& places) {
  if (device == "off") return {{Status::skipped, "V4L2 loopback: turned off (KOLV_V4L2_DEVICE=off)", {}}};
  if (!fs::is_directory(places.module)) {
    return {{Status::warning, "V4L2 loopback: module v4l2loopback not loaded; V4L2 applications do not see the camera",
             "sudo apt-get install v4l2loopback-dkms, then " + load()}};
  }
  const std::string version = firstLine(places.module / "version");
  const std::string module = "V4L2 loopback: module loaded" + (version.empty() ? "" : " (" + version + ")");

  const std::string wanted = device.empty() ? v4l2loopback::kDefaultCardLabel : device;
  fs::path node;
  if (wanted.starts_with('/')) {
    node = wanted;
  } else if (auto found = v4l2loopback::findDeviceByLabel(wanted, places.sysfsClass, places.devices)) {
    node = *found;
  } else {
    return {{Status::warning, module + ", no device labelled \"" + wanted + "\"",
             "sudo modprobe -r v4l2loopback, then " + load()}};
  }
  const fs::path sysfs = places.sysfsClass / node.filename();
  if (!fs::exists(node) || !fs::exists(sysfs)) {
    return {
        {Status::warning, module + ", no video device " + node.string(), "set KOLV_V4L2_DEVICE to a loopback node"}};
  }
  std::vector<CheckItem> items{
      {Status::ok, module + ", device " + node.string() + " \"" + firstLine(sysfs / "name") + "\"", {}}};

  std::vector<v4l2loopback::Opener> writers;
  std::vector<v4l2loopback::Opener> readers;
  for (auto& opener : v4l2loopback::openersOf(node)) {
    (opener.command == kCameraCommand ? writers : readers).push_back(std::move(opener));
  }
  const std::string format = firstLine(sysfs / "format");  // "YUYV:1280x720@30" while written
  const std::string readersText =
      readers.empty() ? "no readers" : std::to_string(readers.size()) + " reader(s): " + describe(readers);
  if (writers.empty()) {
    items.push_back({Status::warning,
                     "V4L2 loopback: " + node.string() + " is not written by the camera (" +
                         (readers.empty() ? std::string("nobody holds it open") : "held by " + describe(readers)) + ")",
                     "start the camera (systemctl --user start kolv-camera.service); it takes the device once no other "
                     "writer holds it"});
  } else {
    items.push_back(
        {Status::ok,
         "V4L2 loopback: written by " + describe(writers) + (format.empty() ? "" : ", " + format) + "; " + readersText,
         {}});
  }
  return items;
}

}  // namespace kolv
