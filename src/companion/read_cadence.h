// The camera's reading rhythm, learnt from when its reads of the frame file were seen: the
// period and phase of its frame timer, so that a producer can be told when the next read
// comes. The camera reads once a tick, a little after its timer fires; a read comes late
// when the machine is busy and never early, and a tick may pass without a read that was
// seen (the watcher folds reads that come together). So the period is taken from the spacing
// of the reads in whole ticks, and the phase from the earliest read of the recent ones
// against that period. Reads that fit no common grid (the camera restarted, or its timer
// jumped) start the history again.
// Thread: none of its own; the publisher calls it under its mutex.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>

namespace kolv::companion {

class ReadCadence {
 public:
  // The camera's tick when too few reads were seen to measure it: 30 a second.
  static constexpr std::chrono::nanoseconds kNominalPeriod{1'000'000'000 / 30};
  // Reads kept: about half a second of ticks.
  static constexpr std::size_t kHistory = 16;
  // Fewer reads than this are too few to measure the period by: the nominal one is taken.
  static constexpr std::size_t kFewestForPeriod = 8;
  // The phase is taken from the earliest of this many newest reads.
  static constexpr std::size_t kPhaseReads = 8;

  // A read seen at `at` (monotonic). Reads come in time order.
  void noteRead(std::chrono::nanoseconds at);
  // Forgets every read (the camera stopped reading).
  void clear() { reads_.clear(); }

  struct Prediction {
    std::chrono::nanoseconds period;
    // A time at which the camera's timer fired, to which whole periods are added.
    std::chrono::nanoseconds phase;
  };
  // The rhythm from the reads seen so far; empty before the first one.
  std::optional<Prediction> predict() const;
  // The first predicted read at or after `at`; empty before the first read.
  std::optional<std::chrono::nanoseconds> nextReadAtOrAfter(std::chrono::nanoseconds at) const;

  std::optional<std::chrono::nanoseconds> lastRead() const {
    return reads_.empty() ? std::nullopt : std::optional(reads_.back());
  }

 private:
  std::deque<std::chrono::nanoseconds> reads_;
};

}  // namespace kolv::companion
