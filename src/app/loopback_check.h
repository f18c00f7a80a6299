// `kolv-camera --check`'s lines for the V4L2 loopback output: the module, the device the camera
// writes (by its card label or the node KOLV_V4L2_DEVICE names), who writes it, its readers and
// the format it carries. Main thread.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "app/handoff_check.h"

namespace kolv {

struct LoopbackCheckPlaces {
  std::filesystem::path module = "/sys/module/v4l2loopback";
  std::filesystem::path sysfsClass = "/sys/class/video4linux";
  std::filesystem::path devices = "/dev";
};

// `device`: KOLV_V4L2_DEVICE's value ("off", a node, or a card label; empty: the default label).
std::vector<CheckItem> checkLoopback(const std::string& device, const LoopbackCheckPlaces& places = {});

}  // namespace kolv
