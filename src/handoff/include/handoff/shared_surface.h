// Shared-memory surfaces: a picture in a sealed memfd, published under a nonzero 32-bit ID
// as a link in a per-user registry folder. SharedSurface is the creating side, for the
// companion applications that draw; the header codec and the registry helpers are shared
// with the camera's lookup side. docs/surface-format.md describes the format in full.
// This library depends on nothing of the camera's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "handoff/shared_memory.h"
#include "handoff/surface_layout.h"
#include "handoff/unique_fd.h"

namespace kolv {

inline constexpr std::uint32_t kSurfaceFormatVersion = 1;
inline constexpr std::size_t kSurfaceHeaderSize = 64;
inline constexpr std::uint64_t kSurfacePixelOffset = 4096;

// The header at byte 0 of a surface's file.
struct SurfaceHeader {
  std::uint32_t surfaceID = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t pixelFormat = kSurfacePixelFormatBGRA;
  std::uint32_t bytesPerRow = 0;
  std::uint64_t pixelOffset = kSurfacePixelOffset;

  // Bytes from the file's start to the end of the last plane's last row (of the one plane, or
  // of the chroma planes that follow the Y plane; see surfacePlanes()).
  std::uint64_t extent() const;
  friend bool operator==(const SurfaceHeader&, const SurfaceHeader&) = default;
};

// Whether the geometry is one that a surface may have: both sizes in 1...16384, nonzero
// format, rows long enough for `width` pixels of the format (surfacePlanes()): 4 bytes a
// pixel in 'BGRA', 'RGBA', 'ARGB' and 'ABGR'; 4 bytes for each two pixels, rounded up, in
// 'YUY2' and 'UYVY'; width rounded up to even in 'NV12'; width in 'I420' and other codes.
bool isValidSurfaceGeometry(std::uint32_t width, std::uint32_t height, std::uint32_t pixelFormat,
                            std::uint32_t bytesPerRow);
// The bytes per row of a tightly packed row, or 0 when the width or format is unusable.
std::uint32_t packedBytesPerRow(std::uint32_t width, std::uint32_t pixelFormat);

void encodeSurfaceHeader(const SurfaceHeader& header, std::span<std::byte, kSurfaceHeaderSize> out);
// The header in `bytes`, when its magic and version are ours, its surface ID is nonzero,
// its geometry valid and its pixel offset a nonzero multiple of 4096. The file size is for
// the caller to check against extent().
std::optional<SurfaceHeader> decodeSurfaceHeader(std::span<const std::byte, kSurfaceHeaderSize> bytes);
// Why decodeSurfaceHeader refuses `bytes`, in a few words ("its magic is not KOLVSURF"); empty
// when it accepts them.
std::string surfaceHeaderProblem(std::span<const std::byte, kSurfaceHeaderSize> bytes);

// $XDG_RUNTIME_DIR/kolv-surfaces, or /run/user/<uid>/kolv-surfaces when XDG_RUNTIME_DIR is
// unset; empty when there is no runtime folder at all.
std::filesystem::path defaultSurfaceRegistry();
// Opens the registry folder, first creating it with mode 0700 if `create` and it is
// missing (its parent must exist). Refuses a link, a folder of another user and one that
// others may write to. Invalid on failure, with the cause and its fix in `reason` when given.
UniqueFD openSurfaceRegistry(const std::filesystem::path& registry, bool create, std::string* reason = nullptr);
// Beside each entry "<ID>" its creator records the PID namespace its process ID counts in: a
// link "<ID>.creator" whose text is "<namespace> <pid>", the namespace as the creator's
// /proc/self/ns/pid reads ("pid:[4026531836] 4242").
inline constexpr char kSurfaceCreatorSuffix[] = ".creator";

// Removes the entries that a creator which has died left behind (it was killed before it
// could remove them): links owned by this user to /proc/<pid>/fd/<n> that lead nowhere, whose
// creator record names this process's PID namespace and <pid>, and no process has that PID
// here. A link that still leads to a file, an entry of a creator in another PID namespace (a
// sandbox with a /proc of its own) and an entry without a record (from an older library) are
// never touched. Records left without their entry by a creator that died go too. The number of
// entries removed.
std::size_t sweepDeadSurfaces(int registryFolder);

// A surface this process draws into, published while the object lives.
// Thread-safety: create and destroy on one thread; the pixels are plain shared memory.
class SharedSurface {
 public:
  SharedSurface(SharedSurface&& other) noexcept = default;
  SharedSurface& operator=(SharedSurface&& other) noexcept;
  SharedSurface(const SharedSurface&) = delete;
  SharedSurface& operator=(const SharedSurface&) = delete;
  // Removes the registry entry; a process that looked the surface up keeps its view.
  ~SharedSurface();

  // A zero-filled surface published in defaultSurfaceRegistry(). `bytesPerRow` 0 means
  // tightly packed rows. Empty when the geometry is invalid or a system call fails.
  static std::optional<SharedSurface> create(std::uint32_t width, std::uint32_t height,
                                             std::uint32_t pixelFormat = kSurfacePixelFormatBGRA,
                                             std::uint32_t bytesPerRow = 0);
  // The same, published in `registry`; why it failed in `reason` when given.
  static std::optional<SharedSurface> createIn(const std::filesystem::path& registry, std::uint32_t width,
                                               std::uint32_t height,
                                               std::uint32_t pixelFormat = kSurfacePixelFormatBGRA,
                                               std::uint32_t bytesPerRow = 0, std::string* reason = nullptr);

  std::uint32_t id() const { return header_.surfaceID; }
  std::uint32_t width() const { return header_.width; }
  std::uint32_t height() const { return header_.height; }
  std::uint32_t pixelFormat() const { return header_.pixelFormat; }
  std::uint32_t bytesPerRow() const { return header_.bytesPerRow; }
  // Every plane, the first pixel first: height() rows of bytesPerRow() bytes, then the chroma
  // planes of 4:2:0 formats.
  std::span<std::byte> pixels() const;

 private:
  SharedSurface(SharedMemory memory, UniqueFD registry, SurfaceHeader header);
  void unpublish();

  SharedMemory memory_;
  UniqueFD registry_;
  SurfaceHeader header_;
  int creatorPid_ = 0;  // a forked child never removes its parent's entry
};

}  // namespace kolv
