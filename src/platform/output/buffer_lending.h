// An output's buffers lent to the camera's pixel-buffer pools, so that the camera draws a frame
// straight into memory the output's consumers map: the frame is written once and the output
// sends it without a copy (OutputFrame::picture() is then one of its own buffers). The pool's
// side of the bargain; an output that lends implements StreamBufferSupplier and
// StreamBufferLender (the PipeWire output does, through its nodes' ledgers).
// Thread-safety: any thread; callers hold none of the output's locks, and may hold their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "handoff/shared_memory.h"
#include "platform/types.h"

namespace kolv {

// Geometry and memory kind of a pool's buffers.
struct PixelBufferLayout {
  std::size_t width = 0;
  std::size_t height = 0;
  std::size_t bytesPerRow = 0;
  OSType pixelFormat = kCVPixelFormatType_32BGRA;
  // Backed by a sealed memfd that another process can map; private memory otherwise.
  bool shareable = false;

  std::size_t byteCount() const { return bytesPerRow * height; }
  friend bool operator==(const PixelBufferLayout&, const PixelBufferLayout&) = default;
};

class StreamBufferLender;

// One stream buffer lent out: which one, of which set, and its pages, which stay mapped for as
// long as the loan is held even when the stream drops the buffer meanwhile.
struct StreamBufferLoan {
  std::shared_ptr<StreamBufferLender> lender;
  std::uint64_t generation = 0;
  std::uint32_t index = 0;
  std::shared_ptr<const SharedMemory> memory;
};

// What a pixel buffer made from a loan tells the lender.
class StreamBufferLender {
 public:
  virtual ~StreamBufferLender() = default;
  // The pixel buffer of `loan` has gone.
  virtual void release(const StreamBufferLoan& loan) = 0;
  // A writer starts or stops filling the buffer of `loan` (the pixel buffer pairs the calls): a
  // buffer being written is never sent.
  virtual void beginWriting(const StreamBufferLoan& loan) = 0;
  virtual void endWriting(const StreamBufferLoan& loan) = 0;
};

// Where a pool finds stream buffers: an output, for the streams whose format it has negotiated.
class StreamBufferSupplier {
 public:
  virtual ~StreamBufferSupplier() = default;
  // A free buffer of a stream whose buffers have `layout`; empty when there is none.
  virtual std::optional<StreamBufferLoan> lend(const PixelBufferLayout& layout) = 0;
  // Stream buffers not free, over every stream.
  virtual std::size_t buffersInUse() const = 0;
};

}  // namespace kolv
