#include "platform/v4l2loopback/reader_count.h"

#include <sys/inotify.h>

namespace kolv::v4l2loopback {

NodeChange ReaderCount::apply(std::uint32_t mask, bool linked) {
  if (mask & (IN_DELETE_SELF | IN_IGNORED | IN_UNMOUNT)) return NodeChange::gone;
  if ((mask & IN_ATTRIB) && !linked) return NodeChange::gone;
  if (mask & IN_OPEN) ++others_;
  if (mask & IN_CLOSE) {
    // A close with no reader counted is of a process that opened the node before the watch
    // began and was not visible in /proc (another user's): there is nothing to take away.
    if (others_ > 0) --others_;
  }
  return (mask & (IN_OPEN | IN_CLOSE)) ? NodeChange::readers : NodeChange::none;
}

}  // namespace kolv::v4l2loopback
