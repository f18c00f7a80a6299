// The reading side of the surface registry: which entries a reader accepts as a companion's
// surface, and why it refuses the others. A surface is accepted when its entry leads to a
// memfd of this user on plain shared memory, sealed against shrinking and growing, whose
// header is valid, names the ID it was looked up by, and fits in the file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "handoff/shared_memory.h"
#include "handoff/shared_surface.h"
#include "handoff/unique_fd.h"

namespace kolv {

// Why a lookup found no surface, by kind; the kinds are what log lines are told apart by.
enum class SurfaceRefusal {
  none,
  zeroID,             // the ID file names surface 0
  noRegistry,         // the registry folder is missing or unsafe
  noEntry,            // nothing is published under the ID
  danglingEntry,      // the link's target is gone: its companion has exited
  unopenable,         // the entry exists but cannot be opened
  notMemfd,           // a plain file, FIFO, device or hugetlb file
  unsealed,           // a memfd that may still shrink or grow
  otherUser,          // a file of another user
  badHeader,          // short, wrong magic or version, invalid geometry
  idMismatch,         // the header names another surface
  shorterThanHeader,  // the file ends before the rows its header describes
  unmappable,         // mmap failed
};

// An accepted surface: its memfd, mapped read-only up to the header's extent, and the header
// as it was read once at opening. The producer may rewrite its header later, but it cannot
// shrink the file (sealed), so every plane stays mapped and backed while this lives.
// Thread-safety: immutable once made; any thread.
struct PublishedSurfaceMemory {
  UniqueFD fd;
  MemoryMapping mapping;
  SurfaceHeader header;
};

// The accepted surface, or the kind and a one-line reason why there is none.
struct PublishedSurfaceOpening {
  std::optional<PublishedSurfaceMemory> memory;
  SurfaceRefusal refusal = SurfaceRefusal::none;
  std::string reason;  // empty when accepted
};

// Opens the registry entry of `id` in the registry folder `registry`, read-only, following its
// link to the producer's memfd. Invalid when that fails (errno set); explainUnopenable says why.
UniqueFD openSurfaceEntry(int registry, std::uint32_t id);
// Why the entry of `id` could not be opened; `error` is the errno of openSurfaceEntry.
PublishedSurfaceOpening explainUnopenable(int registry, std::uint32_t id, int error);
// Checks the opened entry `fd` against every rule above and maps it.
PublishedSurfaceOpening openPublishedSurface(UniqueFD fd, std::uint32_t id);

}  // namespace kolv
