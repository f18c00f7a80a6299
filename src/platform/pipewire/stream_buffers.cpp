#include "platform/pipewire/stream_buffers.h"

#include <algorithm>
#include <bit>
#include <mutex>
#include <utility>

namespace kolv {
namespace {

bool sameGeometry(const PixelBufferLayout& a, const PixelBufferLayout& b) {
  return a.width == b.width && a.height == b.height && a.bytesPerRow == b.bytesPerRow && a.pixelFormat == b.pixelFormat;
}

}  // namespace

StreamBufferLedger::StreamBufferLedger() { slots_.reserve(kCapacity); }

void StreamBufferLedger::retireLocked() {
  for (const Slot& slot : slots_) retiredLent_ += slot.lent ? 1 : 0;
  slots_.clear();  // keeps its room
  freeOrder_.clear();
  ++generation_;
  // Hand-backs of the old set still on their way find another generation and are ignored.
  handedBack_.store(tagOf(generation_), std::memory_order_release);
}

void StreamBufferLedger::takeHandedBackLocked() {
  std::uint64_t word = handedBack_.load(std::memory_order_acquire);
  while ((word & kIndexBits) != 0 &&
         !handedBack_.compare_exchange_weak(word, word & ~kIndexBits, std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
  }
  // The tag is the current generation's: only retireLocked(), under the mutex, changes it.
  for (auto indexes = static_cast<std::uint32_t>(word & kIndexBits); indexes != 0; indexes &= indexes - 1) {
    const auto index = static_cast<std::uint32_t>(std::countr_zero(indexes));
    if (index >= slots_.size() || !slots_[index].withStream) continue;
    slots_[index].withStream = false;
    if (slots_[index].free()) freeOrder_.push(index);
  }
}

void StreamBufferLedger::reset(const PixelBufferLayout& layout) {
  std::lock_guard lock(mutex_);
  retireLocked();
  layout_ = layout;
}

void StreamBufferLedger::clear() {
  std::lock_guard lock(mutex_);
  retireLocked();
  layout_.reset();
}

std::optional<std::uint32_t> StreamBufferLedger::add(std::shared_ptr<const SharedMemory> memory) {
  std::lock_guard lock(mutex_);
  if (slots_.size() >= kCapacity) return std::nullopt;
  slots_.push_back(Slot{std::move(memory)});
  return static_cast<std::uint32_t>(slots_.size() - 1);
}

void StreamBufferLedger::returnedByStream(std::uint32_t index, std::uint64_t generation) {
  if (index >= kCapacity) return;
  const std::uint64_t tag = tagOf(generation);
  const std::uint64_t bit = std::uint64_t{1} << index;
  std::uint64_t word = handedBack_.load(std::memory_order_relaxed);
  do {
    if ((word & ~kIndexBits) != tag) return;  // a set that is gone
  } while (!handedBack_.compare_exchange_weak(word, word | bit, std::memory_order_release, std::memory_order_relaxed));
}

std::vector<std::uint32_t> StreamBufferLedger::withStream() {
  std::lock_guard lock(mutex_);
  takeHandedBackLocked();
  std::vector<std::uint32_t> indices;
  for (std::uint32_t index = 0; index < slots_.size(); ++index) {
    if (slots_[index].withStream) indices.push_back(index);
  }
  return indices;
}

std::uint64_t StreamBufferLedger::generation() const {
  std::lock_guard lock(mutex_);
  return generation_;
}

StreamBufferLedger::Taken StreamBufferLedger::takeForSending(const void* data) {
  std::lock_guard lock(mutex_);
  takeHandedBackLocked();
  for (std::uint32_t index = 0; index < slots_.size(); ++index) {
    Slot& slot = slots_[index];
    if (slot.memory->data() != data || !slot.lent) continue;
    if (slot.withStream || slot.writers > 0) return {Taken::Outcome::unfinished};
    slot.withStream = true;
    return {Taken::Outcome::taken, index, generation_};
  }
  return {Taken::Outcome::notLent};
}

std::optional<StreamBufferLedger::FreeBuffer> StreamBufferLedger::takeFreeForSending() {
  std::lock_guard lock(mutex_);
  takeHandedBackLocked();
  if (!layout_ || freeOrder_.empty()) return std::nullopt;
  const std::uint32_t index = freeOrder_.pop();
  slots_[index].withStream = true;
  return FreeBuffer{index, generation_, slots_[index].memory, *layout_};
}

std::optional<StreamBufferLoan> StreamBufferLedger::lend(const PixelBufferLayout& layout) {
  std::lock_guard lock(mutex_);
  takeHandedBackLocked();
  if (!layout_ || !sameGeometry(*layout_, layout) || freeOrder_.empty()) return std::nullopt;
  const std::uint32_t index = freeOrder_.pop();
  slots_[index].lent = true;
  return StreamBufferLoan{shared_from_this(), generation_, index, slots_[index].memory};
}

StreamBufferLedger::Slot* StreamBufferLedger::slotOf(const StreamBufferLoan& loan) {
  if (loan.generation != generation_ || loan.index >= slots_.size()) return nullptr;
  return &slots_[loan.index];
}

void StreamBufferLedger::release(const StreamBufferLoan& loan) {
  std::lock_guard lock(mutex_);
  takeHandedBackLocked();
  Slot* slot = slotOf(loan);
  if (!slot) {
    if (retiredLent_ > 0) --retiredLent_;
    return;
  }
  slot->lent = false;
  slot->writers = 0;
  if (slot->free()) freeOrder_.push(loan.index);
}

void StreamBufferLedger::beginWriting(const StreamBufferLoan& loan) {
  std::lock_guard lock(mutex_);
  if (Slot* slot = slotOf(loan)) ++slot->writers;
}

void StreamBufferLedger::endWriting(const StreamBufferLoan& loan) {
  std::lock_guard lock(mutex_);
  if (Slot* slot = slotOf(loan); slot && slot->writers > 0) --slot->writers;
}

std::size_t StreamBufferLedger::inUse() {
  std::lock_guard lock(mutex_);
  takeHandedBackLocked();
  const auto busy = std::count_if(slots_.begin(), slots_.end(), [](const Slot& slot) { return !slot.free(); });
  return static_cast<std::size_t>(busy) + retiredLent_;
}

}  // namespace kolv
