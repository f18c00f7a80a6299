#include "handoff/published_surface.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

namespace kolv {
namespace {

PublishedSurfaceOpening refused(SurfaceRefusal refusal, std::string reason) {
  return {std::nullopt, refusal, std::move(reason)};
}

}  // namespace

UniqueFD openSurfaceEntry(int registry, std::uint32_t id) {
  // Opening the entry follows its /proc/<pid>/fd/<n> link to the producer's memfd. A
  // dangling link fails here. O_NONBLOCK keeps a FIFO from stalling the caller; it is
  // refused by openPublishedSurface like any file that is not a memfd.
  return UniqueFD(::openat(registry, std::to_string(id).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
}

// Why the entry of `id` could not be opened; `error` is the errno of openat. Only runs once a
// lookup has failed.
PublishedSurfaceOpening explainUnopenable(int registry, std::uint32_t id, int error) {
  const std::string name = std::to_string(id);
  struct stat entry {};
  if (::fstatat(registry, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
    return refused(SurfaceRefusal::noEntry, "nothing is published under this ID (no registry entry)");
  }
  if (error == ENOENT && S_ISLNK(entry.st_mode)) {
    return refused(SurfaceRefusal::danglingEntry, "its companion has exited (dangling registry link)");
  }
  return refused(SurfaceRefusal::unopenable,
                 std::string("its registry entry cannot be opened: ") + std::strerror(error));
}

PublishedSurfaceOpening openPublishedSurface(UniqueFD fd, std::uint32_t id) {
  // Seals before size: seals are never removed, so once shrink and grow are sealed the
  // size read next is the size for good. Files that cannot be sealed report an error or
  // F_SEAL_SEAL alone.
  constexpr int kSizeSeals = F_SEAL_SHRINK | F_SEAL_GROW;
  const int seals = ::fcntl(fd.get(), F_GET_SEALS);
  if (seals < 0) return refused(SurfaceRefusal::notMemfd, "not a sealed memfd (a plain file, FIFO or device)");
  if ((seals & kSizeSeals) != kSizeSeals) {
    return refused(SurfaceRefusal::unsealed, "its memfd is not sealed against shrinking and growing");
  }
  struct stat sealed {};
  if (::fstat(fd.get(), &sealed) != 0 || !S_ISREG(sealed.st_mode)) {
    return refused(SurfaceRefusal::notMemfd, "not a sealed memfd (not a regular file)");
  }
  if (sealed.st_uid != ::geteuid()) {
    return refused(SurfaceRefusal::otherUser,
                   "its file belongs to another user (uid " + std::to_string(sealed.st_uid) + ")");
  }
  // Plain shmem only: a hugetlb memfd can be sealed too, but its pages may fail to fault in.
  struct statfs filesystem {};
  if (::fstatfs(fd.get(), &filesystem) != 0 || filesystem.f_type != TMPFS_MAGIC) {
    return refused(SurfaceRefusal::notMemfd, "not a memfd on plain shared memory (hugetlb or another file system)");
  }

  // The header is read once, into this process; nothing reads it from the mapping.
  std::array<std::byte, kSurfaceHeaderSize> bytes{};
  if (sealed.st_size < static_cast<off_t>(bytes.size()) ||
      ::pread(fd.get(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    return refused(SurfaceRefusal::badHeader,
                   "its file is " + std::to_string(sealed.st_size) + " bytes, shorter than the 64-byte header");
  }
  const std::optional<SurfaceHeader> header = decodeSurfaceHeader(bytes);
  if (!header) return refused(SurfaceRefusal::badHeader, "bad header: " + surfaceHeaderProblem(bytes));
  if (header->surfaceID != id) {
    return refused(SurfaceRefusal::idMismatch,
                   "its header names surface " + std::to_string(header->surfaceID) + " (ID mismatch)");
  }
  const std::uint64_t extent = header->extent();
  if (extent > static_cast<std::uint64_t>(sealed.st_size) || extent > std::numeric_limits<std::size_t>::max()) {
    return refused(SurfaceRefusal::shorterThanHeader,
                   "its file is " + std::to_string(sealed.st_size) + " bytes, shorter than the " +
                       std::to_string(extent) + " its header describes (" + std::to_string(header->width) + "x" +
                       std::to_string(header->height) + ", " + std::to_string(header->bytesPerRow) + " bytes per row)");
  }

  MemoryMapping mapping = MemoryMapping::mapSharedReadOnly(fd.get(), static_cast<std::size_t>(extent));
  if (!mapping) return refused(SurfaceRefusal::unmappable, std::string("cannot be mapped: ") + std::strerror(errno));
  return {PublishedSurfaceMemory{std::move(fd), std::move(mapping), *header}, SurfaceRefusal::none, {}};
}

}  // namespace kolv
