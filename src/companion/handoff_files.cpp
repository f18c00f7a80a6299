#include "handoff_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "handoff/regular_file.h"
#include "handoff/unique_fd.h"

namespace kolv::companion {
namespace {

std::string systemReason(const std::string& what, const std::filesystem::path& path, int error) {
  return what + " " + path.string() + ": " + std::strerror(error);
}

// A temporary file that is removed again unless it was renamed into place. Lives on the
// writing thread, for one call.
class PendingFile {
 public:
  PendingFile(std::filesystem::path path, UniqueFD fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() {
    if (!renamed_) ::unlink(path_.c_str());
  }

  int fd() const { return fd_.get(); }
  const std::filesystem::path& path() const { return path_; }
  void markRenamed() { renamed_ = true; }

 private:
  std::filesystem::path path_;
  UniqueFD fd_;
  bool renamed_ = false;
};

// Distinguishes the temporary files of several writers in this process.
std::atomic<std::uint64_t> temporaryCounter{0};

}  // namespace

int replaceFile(const std::filesystem::path& folder, const std::string& name, std::span<const std::byte> bytes,
                std::string& reason) {
  // A dot name: the camera reads only the final names, and `ls` hides the temporary ones.
  const std::string temporaryName = "." + name + "." + std::to_string(::getpid()) + "." +
                                    std::to_string(temporaryCounter.fetch_add(1, std::memory_order_relaxed));
  const std::filesystem::path temporaryPath = folder / temporaryName;
  UniqueFD fd(::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) {
    const int error = errno;
    reason = systemReason("cannot create", temporaryPath, error);
    return error;
  }
  PendingFile pending(temporaryPath, std::move(fd));

  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t count = ::write(pending.fd(), bytes.data() + written, bytes.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      const int error = count < 0 ? errno : EIO;
      reason = systemReason("cannot write", temporaryPath, error);
      return error;
    }
    written += static_cast<std::size_t>(count);
  }
  const std::filesystem::path finalPath = folder / name;
  if (::rename(temporaryPath.c_str(), finalPath.c_str()) != 0) {
    const int error = errno;
    reason = systemReason("cannot replace", finalPath, error);
    return error;
  }
  pending.markRenamed();
  return 0;
}

std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t maxLength) {
  const auto bytes = handoff::readRegularFile(path, maxLength + 1);
  if (!bytes || bytes->size() > maxLength) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

}  // namespace kolv::companion
