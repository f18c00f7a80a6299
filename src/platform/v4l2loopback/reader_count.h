// The number of other processes that hold the loopback device open, kept from inotify's events
// on its node: v4l2loopback 0.12.7 tells a writer nothing about its readers. The writer opens
// the node before it adds the watch and removes the watch before it closes the node, so that no
// event is its own; openers from before the watch are counted from /proc when it begins. inotify
// merges alike events that come together (two closes at once are one), so the output counts
// again from /proc after each batch of opens and closes; the events say when to.
// Thread-safety: a plain value, on the thread that reads the events (the loopback's watch thread).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kolv::v4l2loopback {

enum class NodeChange { none, readers, gone };

class ReaderCount {
 public:
  // Starts over with `openers` processes holding the node.
  void reset(std::size_t openers = 0) { others_ = openers; }

  // Applies one inotify event on the node (its mask): IN_OPEN adds a reader, IN_CLOSE_WRITE or
  // IN_CLOSE_NOWRITE takes one away; IN_DELETE_SELF, IN_ATTRIB with no link left (`linked`
  // false) or IN_IGNORED mean the node went away.
  NodeChange apply(std::uint32_t mask, bool linked = true);

  std::size_t readers() const { return others_; }

 private:
  std::size_t others_ = 0;
};

}  // namespace kolv::v4l2loopback
