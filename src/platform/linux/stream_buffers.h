// The buffers a camera stream shares with its consumers, lent to a pixel-buffer pool so that
// the camera draws a frame straight into the memory that consumers map: the frame is written
// once and sent without a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "handoff/shared_memory.h"
#include "platform/linux/pixel_buffer_pool.h"

namespace kolv {

class StreamBufferLedger;

// One stream buffer lent out: which one, of which set, and its pages, which stay mapped for as
// long as the loan is held even when the stream drops the buffer meanwhile.
struct StreamBufferLoan {
  std::shared_ptr<StreamBufferLedger> ledger;
  std::uint64_t generation = 0;
  std::uint32_t index = 0;
  std::shared_ptr<const SharedMemory> memory;
};

// Which of a stream's buffers are free. A buffer is free when the stream has handed it back (it
// is neither queued nor held by a consumer) and no pixel buffer made from it is alive; only a
// free buffer is lent, and only a lent buffer that nobody is writing into is taken for sending.
// Each new set of buffers (a negotiation) has a new generation: buffers of an older set are
// never sent and never lent again.
// Thread-safety: any thread. One internal mutex, which is held for no call out.
class StreamBufferLedger : public std::enable_shared_from_this<StreamBufferLedger> {
 public:
  // The stream's side (the host).
  // Starts a new, empty set of buffers of `layout`; loans of the old set stay valid memory.
  void reset(const PixelBufferLayout& layout);
  // Forgets the current set: no buffers until the next reset().
  void clear();
  // Adds a buffer to the current set, with the stream (not free until handed back). Its index.
  std::uint32_t add(std::shared_ptr<const SharedMemory> memory);
  // The stream handed buffer `index` of the current set back.
  void returnedByStream(std::uint32_t index);
  // The buffers of the current set that are with the stream (queued, or held by a consumer, or
  // taken for sending), by index.
  std::vector<std::uint32_t> withStream() const;
  // A buffer taken for sending that was not sent after all: free again, if it is of the current
  // set (`generation`).
  void unsent(std::uint32_t index, std::uint64_t generation);
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
  // The pixel buffer of `loan` has gone.
  void release(const StreamBufferLoan& loan);
  // A writer starts or stops filling the buffer of `loan` (the pixel buffer pairs the calls).
  void beginWriting(const StreamBufferLoan& loan);
  void endWriting(const StreamBufferLoan& loan);
  // Buffers that are not free: with the stream or its consumers, or lent (of any set).
  std::size_t inUse() const;

 private:
  struct Slot {
    std::shared_ptr<const SharedMemory> memory;
    bool withStream = true;  // queued, held by a consumer, or not yet handed back
    bool lent = false;       // a pixel buffer made from it is alive
    int writers = 0;
    bool free() const { return !withStream && !lent; }
  };
  Slot* slotOf(const StreamBufferLoan& loan);  // call with mutex_ held
  void retireLocked();

  mutable std::mutex mutex_;
  std::optional<PixelBufferLayout> layout_;  // guarded by mutex_
  std::uint64_t generation_ = 0;             // guarded by mutex_
  std::vector<Slot> slots_;                  // guarded by mutex_
  // Guarded by mutex_: the free slots, the one free the longest first. A consumer may still be
  // reading a buffer that PipeWire has just handed back (pipewiresrc drops a buffer that comes
  // again before it has let it go), so a buffer is reused as late as possible, as PipeWire's own
  // queue of free buffers does.
  std::deque<std::uint32_t> freeOrder_;
  std::size_t retiredLent_ = 0;  // guarded by mutex_: lent buffers of older sets
};

// Where a pool finds stream buffers: the camera host, for the streams it has negotiated.
// Thread-safety: any thread; callers hold none of the host's locks, and may hold their own.
class StreamBufferSupplier {
 public:
  virtual ~StreamBufferSupplier() = default;
  // A free buffer of a stream whose buffers have `layout`; empty when there is none.
  virtual std::optional<StreamBufferLoan> lend(const PixelBufferLayout& layout) = 0;
  // Stream buffers not free, over every stream (see StreamBufferLedger::inUse).
  virtual std::size_t buffersInUse() const = 0;
};

}  // namespace kolv
