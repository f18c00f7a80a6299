#include "handoff/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "handoff/unique_fd.h"

namespace kolv::handoff {
namespace {

// Read size for files that grow while being read or that report no size (/proc, sysfs).
constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

std::optional<std::vector<std::byte>> readRegularFile(const std::filesystem::path& path, std::size_t maxLength) {
  // O_NONBLOCK: opening a FIFO with no writer must not wait for one. Symlinks are followed; the
  // regular-file check below applies to whatever they lead to.
  const UniqueFD file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!file) return std::nullopt;
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;

  // st_size is only a hint: the file may change under us, and some report 0.
  const auto expected = static_cast<std::size_t>(std::max<off_t>(status.st_size, 0));
  std::vector<std::byte> bytes(std::min(maxLength, expected + 1));
  std::size_t filled = 0;
  while (filled < maxLength) {
    if (filled == bytes.size()) bytes.resize(std::min(maxLength, filled + kReadChunk));
    const ssize_t count = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (count == 0) break;
    const bool shortRead = static_cast<std::size_t>(count) < bytes.size() - filled;
    filled += static_cast<std::size_t>(count);
    // A short read of a regular file is its end. Files that report no size (/proc) may read
    // short before their end, and keep being read until a read returns nothing.
    if (shortRead && expected > 0 && filled >= expected) break;
  }
  bytes.resize(filled);
  return bytes;
}

}  // namespace kolv::handoff
