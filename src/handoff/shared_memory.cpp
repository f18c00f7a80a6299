#include "handoff/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace kolv {
namespace {

// Since Linux 6.3: the memfd can never be made executable. Older kernels refuse the flag.
constexpr unsigned int kMemfdNoExecSeal = 0x0008U;

constexpr int kSizeSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;

}  // namespace

MemoryMapping& MemoryMapping::operator=(MemoryMapping&& other) noexcept {
  MemoryMapping taken(std::move(other));  // unmaps what this held when it goes
  std::swap(data_, taken.data_);
  std::swap(size_, taken.size_);
  return *this;
}

MemoryMapping::~MemoryMapping() {
  if (data_ != nullptr) ::munmap(data_, size_);
}

namespace {

void* mapFile(int fd, std::size_t size, int protection) {
  if (size == 0) {
    errno = EINVAL;
    return MAP_FAILED;
  }
  return ::mmap(nullptr, size, protection, MAP_SHARED, fd, 0);
}

}  // namespace

MemoryMapping MemoryMapping::mapShared(int fd, std::size_t size) {
  void* data = mapFile(fd, size, PROT_READ | PROT_WRITE);
  if (data == MAP_FAILED) return {};
  return MemoryMapping(static_cast<std::byte*>(data), size);
}

MemoryMapping MemoryMapping::mapSharedReadOnly(int fd, std::size_t size) {
  void* data = mapFile(fd, size, PROT_READ);
  if (data == MAP_FAILED) return {};
  return MemoryMapping(static_cast<std::byte*>(data), size);
}

MemoryMapping MemoryMapping::anonymous(std::size_t size) {
  if (size == 0) {
    errno = EINVAL;
    return {};
  }
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) return {};
  return MemoryMapping(static_cast<std::byte*>(data), size);
}

UniqueFD createSealableMemfd(const char* name) {
  UniqueFD fd(::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING | kMemfdNoExecSeal));
  if (!fd && errno == EINVAL) fd.reset(::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
  return fd;
}

SharedMemory SharedMemory::create(const char* name, std::size_t size) {
  if (size == 0 || size > static_cast<std::size_t>(std::numeric_limits<off_t>::max())) {
    errno = EINVAL;
    return {};
  }
  UniqueFD fd = createSealableMemfd(name);
  if (!fd) return {};
  if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) return {};
  if (::fcntl(fd.get(), F_ADD_SEALS, kSizeSeals) != 0) return {};
  MemoryMapping mapping = MemoryMapping::mapShared(fd.get(), size);
  if (!mapping) return {};
  return SharedMemory(std::move(fd), std::move(mapping));
}

}  // namespace kolv
