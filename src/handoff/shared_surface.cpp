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
    struct stat link {};
    if (::fstatat(registryFolder, entry->d_name, &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode) ||
        link.st_uid != ::geteuid()) {
      continue;
    }
    std::array<char, 64> target{};
    const ssize_t length = ::readlinkat(registryFolder, entry->d_name, target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) continue;
    const std::string_view text(target.data(), static_cast<std::size_t>(length));
    const auto pid = creatorOf(text);
    if (!pid) continue;
    // Dangling (the descriptor is gone) and its creator no longer exists.
    struct stat followed {};
    if (::fstatat(registryFolder, entry->d_name, &followed, 0) == 0 || errno != ENOENT) continue;
    if (::kill(*pid, 0) == 0 || errno != ESRCH) continue;
    if (::unlinkat(registryFolder, entry->d_name, 0) == 0) ++removed;
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
  const std::string target = registryTarget(creatorPid_, memory_.fd());
  std::array<char, 64> link{};
  const ssize_t length = ::readlinkat(registry_.get(), name.c_str(), link.data(), link.size());
  if (length > 0 && std::string_view(link.data(), static_cast<std::size_t>(length)) == target) {
    ::unlinkat(registry_.get(), name.c_str(), 0);
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
  const auto headerBytes = std::span(memory.data(), memory.size()).first<kSurfaceHeaderSize>();
  for (int attempt = 0; attempt < kPublishAttempts; ++attempt) {
    header.surfaceID = randomSurfaceID();
    if (header.surfaceID == 0) return fail(std::string("cannot draw a random surface ID: ") + std::strerror(errno));
    encodeSurfaceHeader(header, headerBytes);
    const std::string name = std::to_string(header.surfaceID);
    if (::symlinkat(target.c_str(), folder.get(), name.c_str()) == 0) {
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
