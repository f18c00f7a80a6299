#include "canvas_lending.h"

namespace kolv::gst {

CanvasLending::Ticket CanvasLending::acquire(bool canvasFree) {
  const std::uint64_t id = next_++;
  if (canvasFree && lent_ == 0 && waiting_.empty()) {
    lent_ = id;
    return Ticket{id, true};
  }
  waiting_.insert(id);
  return Ticket{id, false};
}

CanvasLending::Action CanvasLending::render(std::uint64_t id) {
  if (id == 0) return lent_ != 0 ? Action::drop : Action::copy;
  if (id == last_) return Action::republish;
  if (id == lent_) {
    lent_ = 0;
    last_ = id;
    return Action::publishInPlace;
  }
  waiting_.erase(id);
  if (lent_ != 0) return Action::drop;
  last_ = id;
  return Action::copy;
}

void CanvasLending::release(std::uint64_t id) {
  if (id == lent_) lent_ = 0;
  waiting_.erase(id);
}

}  // namespace kolv::gst
