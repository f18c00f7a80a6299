// Mapped memory as move-only owners: MemoryMapping (one mmap region) and SharedMemory
// (a sealed memfd mapped here, which another process can map too).
// Thread-safety: plain values; one owner at a time, movable between threads. The bytes
// themselves are shared and carry no lock.
#pragma once

#include <cstddef>
#include <utility>

#include "handoff/unique_fd.h"

namespace kolv {

class MemoryMapping {
 public:
  MemoryMapping() = default;
  MemoryMapping(MemoryMapping&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  MemoryMapping& operator=(MemoryMapping&& other) noexcept;
  MemoryMapping(const MemoryMapping&) = delete;
  MemoryMapping& operator=(const MemoryMapping&) = delete;
  ~MemoryMapping();

  // `size` bytes of `fd` from byte 0, readable and writable, shared with every other
  // mapping of the file. Empty on failure (errno says why).
  static MemoryMapping mapShared(int fd, std::size_t size);
  // The same, readable only: for memory that another process writes.
  static MemoryMapping mapSharedReadOnly(int fd, std::size_t size);
  // `size` zero-filled bytes private to this process. Empty on failure.
  static MemoryMapping anonymous(std::size_t size);

  std::byte* data() const { return data_; }
  std::size_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  MemoryMapping(std::byte* data, std::size_t size) : data_(data), size_(size) {}

  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

class SharedMemory {
 public:
  SharedMemory() = default;

  // A memfd of exactly `size` bytes, zero-filled and mapped here. Its size is sealed (no
  // shrink, no grow, no further seals), so no holder of the descriptor can take pages
  // away from under a mapping. `name` shows in /proc/<pid>/fd and maps. Empty on failure.
  static SharedMemory create(const char* name, std::size_t size);

  int fd() const { return fd_.get(); }
  std::byte* data() const { return mapping_.data(); }
  std::size_t size() const { return mapping_.size(); }
  explicit operator bool() const { return static_cast<bool>(mapping_); }

 private:
  SharedMemory(UniqueFD fd, MemoryMapping mapping) : fd_(std::move(fd)), mapping_(std::move(mapping)) {}

  UniqueFD fd_;
  MemoryMapping mapping_;
};

// A new memfd that allows sealing and is closed on exec; invalid on failure.
UniqueFD createSealableMemfd(const char* name);

}  // namespace kolv
