// A fake kernel for the V4L2 output's tests: the calls on a loopback device answered as
// v4l2loopback 0.12.7 answers them. Thread-safety: open() and write() under its mutex (the
// output calls them from its watch thread and the frame queue); the rest from one thread.
#pragma once

#include <fcntl.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/v4l2loopback/device_calls.h"

namespace kolv::v4l2loopback::testing {

namespace fs = std::filesystem;

// The kernel's side, as v4l2loopback 0.12.7 answers: a format set earlier is kept.
class FakeCalls final : public DeviceCalls {
 public:
  UniqueFD open(const fs::path& path, int& error) override {
    std::lock_guard lock(mutex);
    opened.push_back(path);
    if (openError != 0) {
      error = openError;
      return UniqueFD();
    }
    UniqueFD fd(::open(openNode ? path.c_str() : "/dev/null", O_RDWR | O_CLOEXEC));
    error = fd ? 0 : errno;
    return fd;
  }
  int ioctl(int, unsigned long request, void* argument) override {
    if (request == VIDIOC_QUERYCAP) {
      auto& capability = *static_cast<v4l2_capability*>(argument);
      std::memcpy(capability.driver, driver.c_str(), std::min(driver.size(), sizeof capability.driver - 1));
      capability.capabilities = deviceCaps | V4L2_CAP_DEVICE_CAPS;
      capability.device_caps = deviceCaps;
      return 0;
    }
    if (request == VIDIOC_S_FMT) {
      if (formatError != 0) return formatError;
      auto& format = *static_cast<v4l2_format*>(argument);
      if (keptFormat) {
        format.fmt.pix = *keptFormat;
      } else {
        setFormat = format.fmt.pix;
      }
      return 0;
    }
    if (request == VIDIOC_S_PARM) {
      rate = static_cast<v4l2_streamparm*>(argument)->parm.output.timeperframe;
      return 0;
    }
    if (request == VIDIOC_STREAMON && *static_cast<int*>(argument) == V4L2_BUF_TYPE_VIDEO_OUTPUT) {
      if (!(deviceCaps & (V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_VIDEO_CAPTURE))) {
        // Left by a writer that never streamed: refused (no format), but the device offers
        // output again once this opener closes (taken as done at once).
        deviceCaps |= V4L2_CAP_VIDEO_OUTPUT;
        return EINVAL;
      }
      streaming = true;
      return 0;
    }
    return ENOTTY;
  }
  int write(int, std::span<const std::byte> bytes) override {
    std::lock_guard lock(mutex);
    if (writeError != 0) return writeError;
    // A writer that never streamed leaves the device unusable for the writers after it.
    if (!streaming) return EPERM;
    written.emplace_back(bytes.begin(), bytes.end());
    return 0;
  }
  std::size_t otherOpeners(const fs::path&) override {
    ++counts;
    return openers;
  }

  // Opens the node itself rather than /dev/null: the node is a file the test made, and its
  // opens and closes are what an inotify watch on it sees.
  bool openNode = false;
  std::atomic<std::size_t> openers = 0;  // what otherOpeners() answers
  std::atomic<int> counts = 0;           // calls of otherOpeners(): the node is watched from then on
  std::mutex mutex;                      // open() and write() come from the output's two threads
  int openError = 0;
  std::string driver = "v4l2 loopback";
  std::uint32_t deviceCaps = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_READWRITE | V4L2_CAP_STREAMING;
  int formatError = 0;
  std::optional<v4l2_pix_format> keptFormat;
  int writeError = 0;

  std::vector<fs::path> opened;
  std::optional<v4l2_pix_format> setFormat;
  std::optional<v4l2_fract> rate;
  bool streaming = false;
  std::vector<std::vector<std::byte>> written;
};

}  // namespace kolv::v4l2loopback::testing
