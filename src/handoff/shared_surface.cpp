#include "handoff/shared_surface.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "handoff/app_group.h"

namespace kolv {
namespace {

// Header layout, all integers little-endian:
//   0  8  magic "KOLVSURF"     16  4  width          28  4  bytes per row
//   8  4  format version (1)   20  4  height         32  8  pixel data offset
//  12  4  surface ID           24  4  pixel format   40 24  reserved, zero
constexpr std::string_view kMagic = "KOLVSURF";
constexpr std::uint64_t kPageSize = 4096;
constexpr std::uint64_t kMaxPixelOffset = 1U << 20;
// Distinct random IDs to try when the registry already holds the one drawn.
constexpr int kPublishAttempts = 64;

void store32(std::byte* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::byte>(value >> (8 * i));
}
void store64(std::byte* at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<std::byte>(value >> (8 * i));
}
std::uint32_t load32(const std::byte* at) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= std::to_integer<std::uint32_t>(at[i]) << (8 * i);
  return value;
}
std::uint64_t load64(const std::byte* at) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= std::to_integer<std::uint64_t>(at[i]) << (8 * i);
  return value;
}

std::uint32_t randomSurfaceID() {
  std::uint32_t id = 0;
  while (id == 0) {
    if (::getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id)) return 0;
  }
  return id;
}

std::string registryTarget(int pid, int fd) { return "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd); }

// The process ID in a link made by registryTarget(), or empty for any other text.
std::optional<pid_t> creatorOf(std::string_view target) {
  auto number = [&target](std::string_view prefix) -> std::optional<long> {
    if (target.substr(0, prefix.size()) != prefix) return std::nullopt;
    target.remove_prefix(prefix.size());
    std::size_t digits = 0;
    while (digits < target.size() && digits < 9 && target[digits] >= '0' && target[digits] <= '9') ++digits;
    if (digits == 0) return std::nullopt;
    const long value = std::stol(std::string(target.substr(0, digits)));
    target.remove_prefix(digits);
    return value;
  };
  const auto pid = number("/proc/");
  if (!pid || *pid <= 0 || !number("/fd/") || !target.empty()) return std::nullopt;
  return static_cast<pid_t>(*pid);
}

// The PID namespace this process runs in, as /proc/self/ns/pid names it ("pid:[4026531836]");
// empty without /proc.
std::optional<std::string> ownPidNamespace() {
  std::array<char, 64> text{};
  const ssize_t length = ::readlink("/proc/self/ns/pid", text.data(), text.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= text.size()) return std::nullopt;
  return std::string(text.data(), static_cast<std::size_t>(length));
}

std::string creatorRecordName(std::string_view entry) { return std::string(entry) + kSurfaceCreatorSuffix; }

// The text of the creator record: "<PID namespace> <pid>".
std::string creatorRecord(const std::string& pidNamespace, pid_t pid) {
  return pidNamespace + " " + std::to_string(pid);
}

// The text of the link `name` in `folder`, when it is one and short.
std::optional<std::string> readLink(int folder, const std::string& name) {
  std::array<char, 96> target{};
  const ssize_t length = ::readlinkat(folder, name.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return std::nullopt;
  return std::string(target.data(), static_cast<std::size_t>(length));
}

bool isEntryName(std::string_view name) {
  return !name.empty() && name.size() <= 10 && name.find_first_not_of("0123456789") == std::string_view::npos;
}

// Whether the creator named by the record `name` is known dead from here: the record says it
// ran in this process's PID namespace, under `pid` when `pid` is given, and no process has that
// PID now. Anything else (no record, another namespace, a process under that PID) cannot be
// judged from here and counts as alive.
bool creatorKnownDead(int folder, const std::string& name, const std::string& ownNamespace,
                      std::optional<pid_t> pid = std::nullopt) {
  const auto record = readLink(folder, name);
  if (!record) return false;
  const std::string_view text(*record);
  const std::size_t space = text.rfind(' ');
  if (space == std::string_view::npos || text.substr(0, space) != ownNamespace) return false;
  const std::string_view digits = text.substr(space + 1);
  if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  const auto recorded = static_cast<pid_t>(std::stol(std::string(digits)));
  if (recorded <= 0 || (pid && recorded != *pid)) return false;
  return ::kill(recorded, 0) != 0 && errno == ESRCH;
}

}  // namespace

std::uint64_t SurfaceHeader::extent() const {
  return pixelOffset + surfacePlanes(width, height, pixelFormat, bytesPerRow).size;
}

std::uint32_t packedBytesPerRow(std::uint32_t width, std::uint32_t pixelFormat) {
  return minimumBytesPerRow(width, pixelFormat);
}

bool isValidSurfaceGeometry(std::uint32_t width, std::uint32_t height, std::uint32_t pixelFormat,
                            std::uint32_t bytesPerRow) {
  return surfacePlanes(width, height, pixelFormat, bytesPerRow).count != 0;
}

void encodeSurfaceHeader(const SurfaceHeader& header, std::span<std::byte, kSurfaceHeaderSize> out) {
  std::memset(out.data(), 0, out.size());
  std::memcpy(out.data(), kMagic.data(), kMagic.size());
  store32(&out[8], kSurfaceFormatVersion);
  store32(&out[12], header.surfaceID);
  store32(&out[16], header.width);
  store32(&out[20], header.height);
  store32(&out[24], header.pixelFormat);
  store32(&out[28], header.bytesPerRow);
  store64(&out[32], header.pixelOffset);
}

namespace {

// The header in `bytes`, or why it is refused.
std::optional<SurfaceHeader> decodeOrExplain(std::span<const std::byte, kSurfaceHeaderSize> bytes,
                                             std::string* problem) {
  const auto refuse = [problem](std::string why) -> std::optional<SurfaceHeader> {
    if (problem) *problem = std::move(why);
    return std::nullopt;
  };
  if (std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0) return refuse("its magic is not KOLVSURF");
  if (const std::uint32_t version = load32(&bytes[8]); version != kSurfaceFormatVersion) {
    return refuse("format version " + std::to_string(version) + ", expected " + std::to_string(kSurfaceFormatVersion));
  }
  SurfaceHeader header;
  header.surfaceID = load32(&bytes[12]);
  header.width = load32(&bytes[16]);
  header.height = load32(&bytes[20]);
  header.pixelFormat = load32(&bytes[24]);
  header.bytesPerRow = load32(&bytes[28]);
  header.pixelOffset = load64(&bytes[32]);
  if (header.surfaceID == 0) return refuse("its header names surface 0");
  if (header.pixelFormat == 0) return refuse("pixel format 0");
  if (!isValidSurfaceGeometry(header.width, header.height, header.pixelFormat, header.bytesPerRow)) {
    return refuse("invalid geometry " + std::to_string(header.width) + "x" + std::to_string(header.height) + ", " +
                  std::to_string(header.bytesPerRow) + " bytes per row");
  }
  if (header.pixelOffset == 0 || header.pixelOffset > kMaxPixelOffset || header.pixelOffset % kPageSize != 0) {
    return refuse("pixel offset " + std::to_string(header.pixelOffset) +
                  " is not a nonzero multiple of 4096 up to 1 MiB");
  }
  return header;
}

}  // namespace

std::optional<SurfaceHeader> decodeSurfaceHeader(std::span<const std::byte, kSurfaceHeaderSize> bytes) {
  return decodeOrExplain(bytes, nullptr);
}

std::string surfaceHeaderProblem(std::span<const std::byte, kSurfaceHeaderSize> bytes) {
  std::string problem;
  decodeOrExplain(bytes, &problem);
  return problem;
}

std::filesystem::path defaultSurfaceRegistry() {
  const auto runtime = handoff::runtimeDirectory();
  if (!runtime) return {};
  return *runtime / "kolv-surfaces";
}

UniqueFD openSurfaceRegistry(const std::filesystem::path& registry, bool create, std::string* reason) {
  auto refuse = [reason](std::string text) {
    if (reason) *reason = std::move(text);
    return UniqueFD();
  };
  if (registry.empty()) {
    return refuse("no runtime folder for the surface registry (XDG_RUNTIME_DIR is unset and /run/user/" +
                  std::to_string(::geteuid()) + " is missing)");
  }
  const std::string path = registry.string();
  if (create && ::mkdir(registry.c_str(), 0700) != 0 && errno != EEXIST) {
    return refuse("cannot create " + path + ": " + std::strerror(errno));
  }
  UniqueFD folder(::open(registry.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder) {
    const int error = errno;
    struct stat entry {};
    if (::lstat(registry.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode)) {
      return refuse(path + " is a symbolic link, not a folder; fix: rm " + path + " (it is made again as a folder)");
    }
    if (error == ENOTDIR) return refuse(path + " is not a folder; fix: remove it (it is made again as a folder)");
    return refuse(path + ": " + std::strerror(error));
  }
  // Anyone who can write here could publish any file under any ID.
  struct stat status {};
  if (::fstat(folder.get(), &status) != 0) return refuse(path + ": " + std::strerror(errno));
  if (status.st_uid != ::geteuid()) {
    return refuse(path + " belongs to user " + std::to_string(status.st_uid) + ", not to this user (" +
                  std::to_string(::geteuid()) + "); fix: remove it (sudo rm -r " + path + "), it is made again");
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return refuse(path + " is writable by other users; fix: chmod 700 " + path);
  }
  return folder;
}

std::size_t sweepDeadSurfaces(int registryFolder) {
  // Links to /proc/<pid>/... are judged in this process's view of process IDs, which is the
  // creator's only when both run in one PID namespace: the creator records its namespace
  // beside its entry, and an entry without that record is never removed.
  const auto ownNamespace = ownPidNamespace();
  if (!ownNamespace) return 0;
  // The directory stream gets its own descriptor, so that the caller's stays open.
  UniqueFD copy(::fcntl(registryFolder, F_DUPFD_CLOEXEC, 0));
  if (!copy) return 0;
  const std::unique_ptr<DIR, int (*)(DIR*)> folder(::fdopendir(copy.get()), ::closedir);
  if (!folder) return 0;
  static_cast<void>(copy.release());  // the stream owns it now
  ::rewinddir(folder.get());

  std::size_t removed = 0;
  while (const dirent* entry = ::readdir(folder.get())) {
    if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN) continue;
    const std::string name = entry->d_name;
    struct stat link {};
    if (::fstatat(registryFolder, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode) ||
        link.st_uid != ::geteuid()) {
      continue;
    }
    if (name.ends_with(kSurfaceCreatorSuffix)) {
      // A record left without its entry: its creator died between removing the two.
      const std::string entryName = name.substr(0, name.size() - std::strlen(kSurfaceCreatorSuffix));
      struct stat published {};
      if (isEntryName(entryName) &&
          ::fstatat(registryFolder, entryName.c_str(), &published, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT &&
          creatorKnownDead(registryFolder, name, *ownNamespace)) {
        ::unlinkat(registryFolder, name.c_str(), 0);
      }
      continue;
    }
    if (!isEntryName(name)) continue;
    const auto text = readLink(registryFolder, name);
    const auto pid = text ? creatorOf(*text) : std::nullopt;
    if (!pid) continue;
    // Dangling (the descriptor is gone here), and its creator is known to have died.
    struct stat followed {};
    if (::fstatat(registryFolder, name.c_str(), &followed, 0) == 0 || errno != ENOENT) continue;
    const std::string record = creatorRecordName(name);
    if (!creatorKnownDead(registryFolder, record, *ownNamespace, *pid)) continue;
    if (::unlinkat(registryFolder, name.c_str(), 0) == 0) ++removed;
    ::unlinkat(registryFolder, record.c_str(), 0);
  }
  return removed;
}

SharedSurface::SharedSurface(SharedMemory memory, UniqueFD registry, SurfaceHeader header)
    : memory_(std::move(memory)), registry_(std::move(registry)), header_(header), creatorPid_(::getpid()) {}

SharedSurface& SharedSurface::operator=(SharedSurface&& other) noexcept {
  if (this != &other) {
    unpublish();
    memory_ = std::move(other.memory_);
    registry_ = std::move(other.registry_);
    header_ = other.header_;
    creatorPid_ = other.creatorPid_;
  }
  return *this;
}

SharedSurface::~SharedSurface() { unpublish(); }

void SharedSurface::unpublish() {
  if (!registry_ || !memory_ || creatorPid_ != ::getpid()) return;
  // Remove the entry only while it still names this surface's descriptor.
  const std::string name = std::to_string(header_.surfaceID);
  if (readLink(registry_.get(), name) == registryTarget(creatorPid_, memory_.fd()) &&
      ::unlinkat(registry_.get(), name.c_str(), 0) == 0) {
    // Its record goes second: a record without an entry is swept, an entry without a record
    // never is.
    const std::string record = creatorRecordName(name);
    const auto pidNamespace = ownPidNamespace();
    if (pidNamespace && readLink(registry_.get(), record) == creatorRecord(*pidNamespace, creatorPid_)) {
      ::unlinkat(registry_.get(), record.c_str(), 0);
    }
  }
  registry_.reset();
}

std::optional<SharedSurface> SharedSurface::create(std::uint32_t width, std::uint32_t height, std::uint32_t pixelFormat,
                                                   std::uint32_t bytesPerRow) {
  return createIn(defaultSurfaceRegistry(), width, height, pixelFormat, bytesPerRow);
}

std::optional<SharedSurface> SharedSurface::createIn(const std::filesystem::path& registry, std::uint32_t width,
                                                     std::uint32_t height, std::uint32_t pixelFormat,
                                                     std::uint32_t bytesPerRow, std::string* reason) {
  auto fail = [reason](std::string text) -> std::optional<SharedSurface> {
    if (reason) *reason = std::move(text);
    return std::nullopt;
  };
  if (bytesPerRow == 0) bytesPerRow = packedBytesPerRow(width, pixelFormat);
  if (!isValidSurfaceGeometry(width, height, pixelFormat, bytesPerRow)) {
    return fail("invalid surface geometry " + std::to_string(width) + "x" + std::to_string(height) + ", " +
                std::to_string(bytesPerRow) + " bytes per row");
  }
  UniqueFD folder = openSurfaceRegistry(registry, true, reason);
  if (!folder) return std::nullopt;

  SurfaceHeader header{0, width, height, pixelFormat, bytesPerRow, kSurfacePixelOffset};
  SharedMemory memory = SharedMemory::create("kolv-surface", header.extent());
  if (!memory) {
    return fail("cannot create " + std::to_string(header.extent()) +
                " bytes of shared memory: " + std::strerror(errno));
  }

  // The header names the ID before the entry does, so that a reader never finds an entry
  // whose file claims another ID. The ID is taken when the link is made: symlinkat fails
  // with EEXIST when the name is already there.
  const std::string target = registryTarget(::getpid(), memory.fd());
  const auto pidNamespace = ownPidNamespace();
  const auto headerBytes = std::span(memory.data(), memory.size()).first<kSurfaceHeaderSize>();
  for (int attempt = 0; attempt < kPublishAttempts; ++attempt) {
    header.surfaceID = randomSurfaceID();
    if (header.surfaceID == 0) return fail(std::string("cannot draw a random surface ID: ") + std::strerror(errno));
    encodeSurfaceHeader(header, headerBytes);
    const std::string name = std::to_string(header.surfaceID);
    if (::symlinkat(target.c_str(), folder.get(), name.c_str()) == 0) {
      // The record says in which PID namespace the entry's process ID counts, so that only a
      // sweeper there judges it. One left by a creator of this ID that died is replaced.
      // Without a record the entry is merely never swept.
      if (pidNamespace) {
        const std::string record = creatorRecordName(name);
        ::unlinkat(folder.get(), record.c_str(), 0);
        ::symlinkat(creatorRecord(*pidNamespace, ::getpid()).c_str(), folder.get(), record.c_str());
      }
      return SharedSurface(std::move(memory), std::move(folder), header);
    }
    if (errno != EEXIST) return fail("cannot register a surface in " + registry.string() + ": " + std::strerror(errno));
  }
  return fail("no free surface ID in " + registry.string() + " after " + std::to_string(kPublishAttempts) + " tries");
}

std::span<std::byte> SharedSurface::pixels() const {
  if (!memory_) return {};
  return std::span(memory_.data() + header_.pixelOffset, header_.extent() - header_.pixelOffset);
}

}  // namespace kolv
