// Which buffers of kolvsink's pool may draw straight into the publisher's canvas, and what the
// sink does with each buffer it renders. The publisher hands out one canvas at a time (the
// same one until it is published), so at most one buffer holds it; the others are plain
// memory, copied once into the canvas when they are rendered.
//
// A canvas is lent only when no other buffer of the pool is lent or waiting to be rendered:
// buffers are rendered in the order they were made, so a plain buffer is then never rendered
// while a newer buffer is drawing into the canvas. When upstream renders out of that order
// anyway (a decoder that outputs frames in another order than it made them), the plain
// buffer cannot be copied without drawing over the lent one; it is dropped and counted.
// Pure bookkeeping. Thread: any, under the caller's lock (kolvsink's publisher lock).
#pragma once

#include <cstdint>
#include <set>

namespace kolv::gst {

class CanvasLending {
 public:
  // A ticket names one buffer of the pool; 0 names a buffer from elsewhere.
  struct Ticket {
    std::uint64_t id = 0;
    bool lent = false;  // the buffer wraps the canvas
  };
  enum class Action {
    publishInPlace,  // the buffer is the canvas: publish it
    copy,            // copy the buffer into the canvas, then publish
    drop,            // the canvas is lent to a buffer not rendered yet: skip this one
    republish,       // the buffer rendered last, again (a preroll shown, then played)
  };

  // A new buffer is made. `canvasFree`: the publisher has a canvas to hand out now. When the
  // ticket says lent, the caller wraps the canvas; if that fails it calls release(ticket).
  Ticket acquire(bool canvasFree);
  // The sink renders the buffer with this ticket (0 for a buffer not from the pool). A
  // buffer to copy counts as rendered even if the sink finds no canvas for it.
  Action render(std::uint64_t id);
  // The buffer went back to the pool, rendered or not. A lent canvas that was never rendered
  // stays the publisher's next canvas, free to lend again.
  void release(std::uint64_t id);

  bool lent() const { return lent_ != 0; }
  std::size_t waiting() const { return waiting_.size(); }

 private:
  std::uint64_t next_ = 1;
  std::uint64_t lent_ = 0;           // the buffer that holds the canvas, not yet rendered
  std::uint64_t last_ = 0;           // the buffer of the last picture published
  std::set<std::uint64_t> waiting_;  // plain buffers not yet rendered nor released
};

}  // namespace kolv::gst
