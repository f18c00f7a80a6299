// The buffers a camera stream shares with its consumers, lent to a pixel-buffer pool so that
// the camera draws a frame straight into the memory that consumers map: the frame is written
// once and sent without a copy.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "handoff/shared_memory.h"
#include "platform/output/buffer_lending.h"
#include "realtime/priority_inheritance_mutex.h"

namespace kolv {

// Which of a stream's buffers are free. A buffer is free when the stream has handed it back (it
// is neither queued nor held by a consumer) and no pixel buffer made from it is alive; only a
// free buffer is lent, and only a lent buffer that nobody is writing into is taken for sending.
// Each new set of buffers (a negotiation) has a new generation: buffers of an older set are
// never sent and never lent again.
// Thread-safety: any thread. The stream's data thread (real-time) only hands buffers back
// (returnedByStream, unsent): that takes no lock and allocates nothing, one atomic word of
// pending indexes that the other calls fold in. Every other call takes one internal mutex with
// priority inheritance, held for no call out and for no allocation once the set is made.
class StreamBufferLedger final : public StreamBufferLender, public std::enable_shared_from_this<StreamBufferLedger> {
 public:
  // The most buffers a set may have (PipeWire negotiates at most 8 for the camera).
  static constexpr std::uint32_t kCapacity = 32;

  StreamBufferLedger();

  // The stream's side (the host).
  // Starts a new, empty set of buffers of `layout`; loans of the old set stay valid memory.
  void reset(const PixelBufferLayout& layout);
  // Forgets the current set: no buffers until the next reset().
  void clear();
  // Adds a buffer to the current set, with the stream (not free until handed back). Its index;
  // empty when the set has kCapacity buffers already.
  std::optional<std::uint32_t> add(std::shared_ptr<const SharedMemory> memory);
  // The stream handed buffer `index` of set `generation` back; nothing if that set is gone.
  // Lock-free and allocation-free, for the data thread.
  void returnedByStream(std::uint32_t index, std::uint64_t generation);
  // The buffers of the current set that are with the stream (queued, or held by a consumer, or
  // taken for sending), by index.
  std::vector<std::uint32_t> withStream();
  // A buffer taken for sending that was not sent after all: free again, if it is of the current
  // set (`generation`). Lock-free and allocation-free, for the data thread.
  void unsent(std::uint32_t index, std::uint64_t generation) { returnedByStream(index, generation); }
  // The current set's generation.
  std::uint64_t generation() const;
  // Takes the lent, finished buffer whose pages start at `data` for sending: it is with the
  // stream from now on.
  struct Taken {
    enum class Outcome {
      taken,      // `index` is the stream's again
      notLent,    // `data` is no lent buffer of the current set: send a copy of the picture
      unfinished  // a lent buffer that is still being written, or was sent already: send nothing
    } outcome;
    std::uint32_t index = 0;
    std::uint64_t generation = 0;
  };
  Taken takeForSending(const void* data);
  // A free buffer taken to write a picture into and send: its pages stay mapped while `memory`
  // is held, even when the stream drops the set meanwhile.
  struct FreeBuffer {
    std::uint32_t index = 0;
    std::uint64_t generation = 0;
    std::shared_ptr<const SharedMemory> memory;
    PixelBufferLayout layout;
  };
  // Takes the buffer free the longest for a picture to be copied in. Empty when none is free.
  std::optional<FreeBuffer> takeFreeForSending();

  // The pool's side.
  // Lends a free buffer of the current set when it has `layout`: the one free the longest.
  std::optional<StreamBufferLoan> lend(const PixelBufferLayout& layout);
  void release(const StreamBufferLoan& loan) override;
  void beginWriting(const StreamBufferLoan& loan) override;
  void endWriting(const StreamBufferLoan& loan) override;
  // Buffers that are not free: with the stream or its consumers, or lent (of any set).
  std::size_t inUse();

 private:
  struct Slot {
    std::shared_ptr<const SharedMemory> memory;
    bool withStream = true;  // queued, held by a consumer, or not yet handed back
    bool lent = false;       // a pixel buffer made from it is alive
    int writers = 0;
    bool free() const { return !withStream && !lent; }
  };
  // The free slots in a fixed ring, the one free the longest first. A consumer may still be
  // reading a buffer that PipeWire has just handed back (pipewiresrc drops a buffer that comes
  // again before it has let it go), so a buffer is reused as late as possible, as PipeWire's own
  // queue of free buffers does.
  class FreeOrder {
   public:
    bool empty() const { return count_ == 0; }
    void clear() { head_ = count_ = 0; }
    void push(std::uint32_t index) {
      if (count_ < kCapacity) order_[(head_ + count_++) % kCapacity] = static_cast<std::uint8_t>(index);
    }
    std::uint32_t pop() {
      const std::uint32_t index = order_[head_];
      head_ = (head_ + 1) % kCapacity;
      --count_;
      return index;
    }

   private:
    std::array<std::uint8_t, kCapacity> order_{};
    std::uint32_t head_ = 0;
    std::uint32_t count_ = 0;
  };
  // The word of buffers handed back and not yet folded in: the current generation's low 32 bits
  // above, one bit per index below.
  static constexpr std::uint64_t kIndexBits = 0xffff'ffffU;
  static std::uint64_t tagOf(std::uint64_t generation) { return (generation & kIndexBits) << 32; }

  Slot* slotOf(const StreamBufferLoan& loan);  // call with mutex_ held
  void retireLocked();
  // Folds the buffers the stream handed back into the slots. Call with mutex_ held.
  void takeHandedBackLocked();

  mutable realtime::PriorityInheritanceMutex mutex_;
  std::optional<PixelBufferLayout> layout_;  // guarded by mutex_
  std::uint64_t generation_ = 0;             // guarded by mutex_
  std::vector<Slot> slots_;                  // guarded by mutex_; room for kCapacity from the start
  FreeOrder freeOrder_;                      // guarded by mutex_
  std::size_t retiredLent_ = 0;              // guarded by mutex_: lent buffers of older sets
  std::atomic<std::uint64_t> handedBack_{0};
};

// The latest of a series of values, handed from one writer thread to one reader thread
// without a lock: the frame a stream sends next. Three records trade places by one atomic
// exchange each, so each is always the writer's, the reader's, or waiting between them, and
// neither side ever waits for the other or allocates. A value the reader has not taken when the
// next one is put is handed back to the writer (a dropped frame).
// Thread-safety: put() on one thread at a time, take() on one thread at a time.
template <typename T>
class LatestValue {
  static_assert(std::is_trivially_copyable_v<T>, "the records are copied between threads as they are");

 public:
  // Makes `value` the one waiting; the one it replaces, if it was not taken.
  std::optional<T> put(const T& value) {
    records_[writer_] = value;
    const std::uint32_t previous = waiting_.exchange(writer_ | kFresh, std::memory_order_acq_rel);
    writer_ = previous & kRecord;
    if ((previous & kFresh) == 0) return std::nullopt;
    return records_[writer_];
  }
  // The value waiting, if any; it waits no more.
  std::optional<T> take() {
    const std::uint32_t previous = waiting_.exchange(reader_, std::memory_order_acq_rel);
    reader_ = previous & kRecord;
    if ((previous & kFresh) == 0) return std::nullopt;
    return records_[reader_];
  }

 private:
  static constexpr std::uint32_t kRecord = 3;
  static constexpr std::uint32_t kFresh = 4;
  std::array<T, 3> records_{};
  std::uint32_t writer_ = 0;               // the writer's thread
  std::uint32_t reader_ = 1;               // the reader's thread
  std::atomic<std::uint32_t> waiting_{2};  // the record between them, and whether it is fresh
};

}  // namespace kolv
