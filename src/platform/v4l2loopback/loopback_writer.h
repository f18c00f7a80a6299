// Holds a v4l2loopback device as its writer: finds it (a node path, or the card label of a
// loopback device), opens it, sets the output format and frame rate, and writes a first grey
// frame, after which v4l2loopback (with exclusive_caps=1) offers the device to V4L2
// applications as a capture device. Then writes each frame it is given.
// Every problem (device missing, not a loopback device, held by another writer, format refused,
// write failed) is one log line, not repeated while the same problem lasts; a device that fails
// is let go, and take() takes it again when it is back.
// Thread-safety: one thread at a time (the loopback output serialises its watch thread and the
// frame queue).
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "handoff/unique_fd.h"
#include "platform/foundation.h"
#include "platform/v4l2loopback/device_calls.h"
#include "platform/v4l2loopback/loopback_format.h"

namespace kolv::v4l2loopback {

inline constexpr const char* kDefaultCardLabel = "Kolv Camera";

// The modprobe line that makes the device the camera looks for under `label`.
std::string loadCommand(const std::string& label);

struct WriterOptions {
  // A device node ("/dev/video10": starts with '/'), or the card label of a loopback device.
  std::string device = kDefaultCardLabel;
  LoopbackFormat format = LoopbackFormat::yuyv;
  std::size_t width = 1280;
  std::size_t height = 720;
  std::uint32_t framesPerSecond = 30;
  std::filesystem::path sysfsClass = "/sys/class/video4linux";
  std::filesystem::path devices = "/dev";
};

enum class TakeResult {
  taken,     // held (also when it was held already)
  missing,   // no such node, or no loopback device with that label
  unusable,  // cannot be opened, or not a loopback device that takes output
  busy,      // another writer holds it
  refused,   // the format could not be set
};

class LoopbackWriter {
 public:
  LoopbackWriter(OSLog& log, WriterOptions options, DeviceCalls& calls);

  TakeResult take();
  bool holding() const { return fd_.isValid(); }
  // The node held, or the one last tried.
  const std::filesystem::path& path() const { return path_; }

  // Writes one frame of the configured format and size. False when nothing is held or the
  // write failed; a failed device is let go.
  bool write(std::span<const std::byte> frame);
  // Writes the grey frame, as write() does.
  bool writeGrey() { return write(grey_.frame()); }

  // Lets the device go (logs nothing).
  void release();

 private:
  TakeResult fail(TakeResult result, const std::string& problem);
  void report(const std::string& problem);
  std::string describe() const;

  OSLog& log_;
  const WriterOptions options_;
  DeviceCalls& calls_;
  FrameConverter grey_;
  UniqueFD fd_;
  std::filesystem::path path_;
  std::string lastProblem_;  // the last problem logged, until the device is held again
};

}  // namespace kolv::v4l2loopback
