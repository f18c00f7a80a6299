// Conversion of a host-clock media time to the nanoseconds that the host takes.
// Thread: any.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace kolv {

// Seconds of `time` times 1e9, truncated toward zero. A product that is not finite or is
// negative gives 0; one of 2^64 or more gives the largest value.
std::uint64_t hostTimeInNanoseconds(const CMTime& time);

}  // namespace kolv
