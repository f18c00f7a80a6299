#include "platform/linux/shared_surface.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

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
  constexpr const char* kFolder = "kolv-surfaces";
  // A relative XDG_RUNTIME_DIR is to be ignored, like an unset one.
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
    return std::filesystem::path(runtime) / kFolder;
  }
  const std::filesystem::path perUser = "/run/user/" + std::to_string(::geteuid());
  std::error_code error;
  if (std::filesystem::is_directory(perUser, error)) return perUser / kFolder;
  return {};
}

UniqueFD openSurfaceRegistry(const std::filesystem::path& registry, bool create) {
  if (registry.empty()) return {};
  if (create && ::mkdir(registry.c_str(), 0700) != 0 && errno != EEXIST) return {};
  UniqueFD folder(::open(registry.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder) return {};
  // Anyone who can write here could publish any file under any ID.
  struct stat status {};
  if (::fstat(folder.get(), &status) != 0) return {};
  if (status.st_uid != ::geteuid() || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) return {};
  return folder;
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
                                                     std::uint32_t bytesPerRow) {
  if (bytesPerRow == 0) bytesPerRow = packedBytesPerRow(width, pixelFormat);
  if (!isValidSurfaceGeometry(width, height, pixelFormat, bytesPerRow)) return std::nullopt;
  UniqueFD folder = openSurfaceRegistry(registry, true);
  if (!folder) return std::nullopt;

  SurfaceHeader header{0, width, height, pixelFormat, bytesPerRow, kSurfacePixelOffset};
  SharedMemory memory = SharedMemory::create("kolv-surface", header.extent());
  if (!memory) return std::nullopt;

  // The header names the ID before the entry does, so that a reader never finds an entry
  // whose file claims another ID. The ID is taken when the link is made: symlinkat fails
  // with EEXIST when the name is already there.
  const std::string target = registryTarget(::getpid(), memory.fd());
  const auto headerBytes = std::span(memory.data(), memory.size()).first<kSurfaceHeaderSize>();
  for (int attempt = 0; attempt < kPublishAttempts; ++attempt) {
    header.surfaceID = randomSurfaceID();
    if (header.surfaceID == 0) return std::nullopt;
    encodeSurfaceHeader(header, headerBytes);
    const std::string name = std::to_string(header.surfaceID);
    if (::symlinkat(target.c_str(), folder.get(), name.c_str()) == 0) {
      return SharedSurface(std::move(memory), std::move(folder), header);
    }
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

std::span<std::byte> SharedSurface::pixels() const {
  if (!memory_) return {};
  return std::span(memory_.data() + header_.pixelOffset, header_.extent() - header_.pixelOffset);
}

}  // namespace kolv
