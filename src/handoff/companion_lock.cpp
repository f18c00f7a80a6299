#include "handoff/companion_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "handoff/unique_fd.h"

namespace kolv::handoff {

bool isCompanionPublishing(const std::filesystem::path& container) {
  const UniqueFD lock(
      ::open((container / kCompanionLockFileName).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!lock) return false;
  // A shared lock is refused while the companion holds its exclusive one; taken, it goes
  // again with the descriptor.
  return ::flock(lock.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

}  // namespace kolv::handoff
