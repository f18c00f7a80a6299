// What the loopback writer asks of the system: finding the device by its card label, and the
// calls it makes on the device node. The kernel's are in KernelDeviceCalls; tests put fakes in.
// Thread-safety: KernelDeviceCalls and the free functions are safe on any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "handoff/unique_fd.h"

namespace kolv::v4l2loopback {

class DeviceCalls {
 public:
  virtual ~DeviceCalls() = default;
  // The node opened for writing without blocking, or an invalid descriptor with `error` set.
  virtual UniqueFD open(const std::filesystem::path& path, int& error) = 0;
  // 0, or the errno of the failed ioctl.
  virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
  // 0 when every byte was written, else the errno (EIO for a short write).
  virtual int write(int fd, std::span<const std::byte> bytes) = 0;
  // How many descriptors processes other than this one hold on `path` (those this process
  // may look at under /proc: its user's, or every process's for root).
  virtual std::size_t otherOpeners(const std::filesystem::path& path) = 0;
};

class KernelDeviceCalls final : public DeviceCalls {
 public:
  UniqueFD open(const std::filesystem::path& path, int& error) override;
  int ioctl(int fd, unsigned long request, void* argument) override;
  int write(int fd, std::span<const std::byte> bytes) override;
  std::size_t otherOpeners(const std::filesystem::path& path) override;
};

// One descriptor a process holds on a device node.
struct Opener {
  pid_t pid;
  std::string command;  // the process's name (/proc/PID/comm)
};

// Every descriptor on the character device `node` held by the processes this one may look at
// under /proc (its user's, or every process's for root), this process's included.
std::vector<Opener> openersOf(const std::filesystem::path& node);

// The node (under `devices`) of the lowest-numbered video device in `sysfsClass` (normally
// /sys/class/video4linux) whose name is `label`, or nothing.
std::optional<std::filesystem::path> findDeviceByLabel(const std::string& label,
                                                       const std::filesystem::path& sysfsClass,
                                                       const std::filesystem::path& devices);

}  // namespace kolv::v4l2loopback
