// The host clock on Linux: CLOCK_MONOTONIC, the same clock that dispatch deadlines use.
#pragma once

#include <cstdint>

#include "platform/media.h"

namespace kolv {

// CLOCK_MONOTONIC in nanoseconds; DispatchTime counts on this clock.
std::uint64_t monotonicNanoseconds();

// CLOCK_MONOTONIC as a media time in nanoseconds (timescale 1'000'000'000, epoch 0).
// Thread-safety: stateless; call from any thread.
class MonotonicHostClock final : public CMClock {
 public:
  CMTime time() const override;
};

}  // namespace kolv
