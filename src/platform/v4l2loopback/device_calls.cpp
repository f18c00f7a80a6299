#include "platform/v4l2loopback/device_calls.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string_view>
#include <system_error>

namespace kolv::v4l2loopback {

UniqueFD KernelDeviceCalls::open(const std::filesystem::path& path, int& error) {
  UniqueFD fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  error = fd ? 0 : errno;
  return fd;
}

int KernelDeviceCalls::ioctl(int fd, unsigned long request, void* argument) {
  int result;
  do {
    result = ::ioctl(fd, request, argument);
  } while (result < 0 && errno == EINTR);
  return result < 0 ? errno : 0;
}

int KernelDeviceCalls::write(int fd, std::span<const std::byte> bytes) {
  ssize_t written;
  do {
    written = ::write(fd, bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) return errno;
  return static_cast<std::size_t>(written) == bytes.size() ? 0 : EIO;
}

std::size_t KernelDeviceCalls::otherOpeners(const std::filesystem::path& path) {
  const pid_t self = ::getpid();
  std::size_t count = 0;
  for (const Opener& opener : openersOf(path)) count += opener.pid != self;
  return count;
}

std::vector<Opener> openersOf(const std::filesystem::path& node) {
  std::vector<Opener> openers;
  struct stat device {};
  if (::stat(node.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) return openers;
  std::error_code error;
  for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = process.path().filename();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string command;
    std::error_code fdError;
    for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", fdError)) {
      struct stat target {};
      if (::stat(fd.path().c_str(), &target) != 0 || !S_ISCHR(target.st_mode) || target.st_rdev != device.st_rdev) {
        continue;
      }
      if (command.empty()) std::getline(std::ifstream(process.path() / "comm"), command);
      openers.push_back({static_cast<pid_t>(std::stol(name)), command});
    }
  }
  return openers;
}

std::optional<std::filesystem::path> findDeviceByLabel(const std::string& label,
                                                       const std::filesystem::path& sysfsClass,
                                                       const std::filesystem::path& devices) {
  std::optional<std::filesystem::path> found;
  long foundNumber = -1;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(sysfsClass, error)) {
    const std::string name = entry.path().filename();
    if (!name.starts_with("video") || name.size() == 5 || name.size() > 14 ||
        name.find_first_not_of("0123456789", 5) != std::string::npos)
      continue;
    std::ifstream file(entry.path() / "name");
    std::string cardLabel;
    if (!std::getline(file, cardLabel) || cardLabel != label) continue;
    const long number = std::stol(name.substr(5));
    if (!found || number < foundNumber) {
      found = devices / name;
      foundNumber = number;
    }
  }
  return found;
}

}  // namespace kolv::v4l2loopback
