#include "platform/linux/pixel_buffer_pool.h"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "handoff/shared_memory.h"
#include "platform/output/buffer_lending.h"

namespace kolv {
namespace {

// The pages of one buffer: a sealed memfd mapped here, or private anonymous memory.
// Thread-safety: owned by one pool or one buffer at a time.
struct BufferMemory {
  SharedMemory shared;
  MemoryMapping local;

  static BufferMemory allocate(const PixelBufferLayout& layout) {
    BufferMemory memory;
    if (layout.shareable) {
      memory.shared = SharedMemory::create("kolv-pixel-buffer", layout.byteCount());
    } else {
      memory.local = MemoryMapping::anonymous(layout.byteCount());
    }
    return memory;
  }
  std::byte* data() const { return shared ? shared.data() : local.data(); }
  explicit operator bool() const { return data() != nullptr; }
};

// How many times a buffer is locked; an unlock without a matching lock is refused.
class LockCount {
 public:
  void lock() { count_.fetch_add(1, std::memory_order_relaxed); }
  bool unlock() {
    int count = count_.load(std::memory_order_relaxed);
    do {
      if (count == 0) return false;
    } while (!count_.compare_exchange_weak(count, count - 1, std::memory_order_relaxed));
    return true;
  }

 private:
  std::atomic<int> count_ = 0;
};

}  // namespace

// What the pool and its buffers share; buffers hold it weakly, so that it ends with the pool.
// Thread-safety: any thread, under `mutex`.
class PixelBufferPoolState {
 public:
  std::mutex mutex;
  std::vector<BufferMemory> idle;  // guarded by mutex; the last one back is handed out first
  std::size_t inUse = 0;           // guarded by mutex

  void giveBack(BufferMemory memory) {
    std::lock_guard lock(mutex);
    --inUse;
    idle.push_back(std::move(memory));
  }
};

namespace {

// One buffer out of a pool. Its memory goes back to the pool when the last holder lets go,
// or is freed if the pool is gone by then.
// Thread-safety: any thread; locking is counted, the pages are always mapped.
class PooledPixelBuffer final : public CVPixelBuffer {
 public:
  PooledPixelBuffer(const PixelBufferLayout& layout, BufferMemory memory, std::weak_ptr<PixelBufferPoolState> pool)
      : layout_(layout), memory_(std::move(memory)), pool_(std::move(pool)) {}
  ~PooledPixelBuffer() override {
    if (auto pool = pool_.lock()) pool->giveBack(std::move(memory_));
  }

  std::size_t width() const override { return layout_.width; }
  std::size_t height() const override { return layout_.height; }
  std::size_t bytesPerRow() const override { return layout_.bytesPerRow; }
  OSType pixelFormatType() const override { return layout_.pixelFormat; }
  OSStatus lockBaseAddress(CVPixelBufferLockFlags) override {
    locks_.lock();
    return noErr;
  }
  OSStatus unlockBaseAddress(CVPixelBufferLockFlags) override { return locks_.unlock() ? noErr : kCVReturnError; }
  void* baseAddress() const override { return memory_.data(); }
  std::optional<SharedMemoryRegion> sharedMemory() const override {
    if (!memory_.shared) return std::nullopt;
    return SharedMemoryRegion{memory_.shared.fd(), 0, layout_.byteCount()};
  }

 private:
  const PixelBufferLayout layout_;
  BufferMemory memory_;
  const std::weak_ptr<PixelBufferPoolState> pool_;
  LockCount locks_;
};

// A stream's buffer lent to the pool: the frame drawn into it is what the stream sends. The loan
// ends, and the buffer may go back to the stream's free buffers, when the last holder lets go.
// Thread-safety: any thread; a write lock is held in the stream's ledger until it is unlocked,
// so that the buffer is not sent while it is being filled.
class StreamPixelBuffer final : public CVPixelBuffer {
 public:
  StreamPixelBuffer(const PixelBufferLayout& layout, StreamBufferLoan loan) : layout_(layout), loan_(std::move(loan)) {}
  ~StreamPixelBuffer() override { loan_.lender->release(loan_); }

  std::size_t width() const override { return layout_.width; }
  std::size_t height() const override { return layout_.height; }
  std::size_t bytesPerRow() const override { return layout_.bytesPerRow; }
  OSType pixelFormatType() const override { return layout_.pixelFormat; }
  OSStatus lockBaseAddress(CVPixelBufferLockFlags flags) override {
    locks_.lock();
    if ((flags & kCVPixelBufferLock_ReadOnly) == 0) loan_.lender->beginWriting(loan_);
    return noErr;
  }
  OSStatus unlockBaseAddress(CVPixelBufferLockFlags flags) override {
    if (!locks_.unlock()) return kCVReturnError;
    if ((flags & kCVPixelBufferLock_ReadOnly) == 0) loan_.lender->endWriting(loan_);
    return noErr;
  }
  void* baseAddress() const override { return loan_.memory->data(); }
  std::optional<SharedMemoryRegion> sharedMemory() const override {
    return SharedMemoryRegion{loan_.memory->fd(), 0, layout_.byteCount()};
  }

 private:
  const PixelBufferLayout layout_;
  const StreamBufferLoan loan_;
  LockCount locks_;
};

}  // namespace

std::optional<PixelBufferLayout> pixelBufferLayoutFromAttributes(const CFDictionaryRef& attributes) {
  if (!attributes) return std::nullopt;
  const auto width = attributes->integer(kCVPixelBufferWidthKey);
  const auto height = attributes->integer(kCVPixelBufferHeightKey);
  const auto format = attributes->integer(kCVPixelBufferPixelFormatTypeKey);
  const auto inRange = [](const std::optional<std::int64_t>& size) {
    return size && *size >= 1 && *size <= kMaxPixelBufferDimension;
  };
  if (!inRange(width) || !inRange(height) || format != std::int64_t{kCVPixelFormatType_32BGRA}) return std::nullopt;

  PixelBufferLayout layout;
  layout.width = static_cast<std::size_t>(*width);
  layout.height = static_cast<std::size_t>(*height);
  layout.bytesPerRow = layout.width * 4;
  layout.pixelFormat = kCVPixelFormatType_32BGRA;
  layout.shareable = attributes->find(kCVPixelBufferIOSurfacePropertiesKey) != nullptr;
  return layout;
}

LinuxPixelBufferPool::LinuxPixelBufferPool(const PixelBufferLayout& layout,
                                           std::shared_ptr<StreamBufferSupplier> streamBuffers)
    : layout_(layout), streamBuffers_(std::move(streamBuffers)), state_(std::make_shared<PixelBufferPoolState>()) {}

LinuxPixelBufferPool::~LinuxPixelBufferPool() = default;

Created<CVPixelBufferRef> LinuxPixelBufferPool::createPixelBuffer(const CFDictionaryRef& auxAttributes) {
  const std::optional<std::int64_t> threshold =
      auxAttributes ? auxAttributes->integer(kCVPixelBufferPoolAllocationThresholdKey) : std::nullopt;
  // One request at a time: the count of stream buffers in use and the loan that follows must
  // see the same state. Buffers come back without this lock.
  std::lock_guard request(requestMutex_);
  // A free stream buffer is lent whatever the threshold: the stream's own buffer count bounds
  // these, and a frame drawn into one is sent as it is. Counting the buffers that the stream's
  // consumers hold against the threshold left a tick without a frame to send (not even grey)
  // whenever a slow consumer kept most of them, although free ones were there.
  if (streamBuffers_) {
    if (auto loan = streamBuffers_->lend(layout_)) {
      return {noErr, std::make_shared<StreamPixelBuffer>(layout_, std::move(*loan))};
    }
  }
  const std::size_t streamBuffersInUse = streamBuffers_ ? streamBuffers_->buffersInUse() : 0;
  BufferMemory memory;
  {
    std::lock_guard lock(state_->mutex);
    const std::int64_t limit = threshold.value_or(0);
    if (threshold && (limit <= 0 || state_->inUse + streamBuffersInUse >= static_cast<std::uint64_t>(limit))) {
      return {kCVReturnWouldExceedAllocationThreshold, nullptr};
    }
  }
  {
    std::lock_guard lock(state_->mutex);
    ++state_->inUse;
    if (!state_->idle.empty()) {
      memory = std::move(state_->idle.back());
      state_->idle.pop_back();
    }
  }
  if (!memory) memory = BufferMemory::allocate(layout_);
  if (!memory) {
    std::lock_guard lock(state_->mutex);
    --state_->inUse;
    return {kCVReturnAllocationFailed, nullptr};
  }
  return {noErr, std::make_shared<PooledPixelBuffer>(layout_, std::move(memory), state_)};
}

std::size_t LinuxPixelBufferPool::buffersInUse() const {
  const std::size_t streamBuffersInUse = streamBuffers_ ? streamBuffers_->buffersInUse() : 0;
  std::lock_guard lock(state_->mutex);
  return state_->inUse + streamBuffersInUse;
}

}  // namespace kolv
