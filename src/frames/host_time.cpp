#include "frames/host_time.h"

#include <cmath>
#include <limits>

namespace kolv {

std::uint64_t hostTimeInNanoseconds(const CMTime& time) {
  const double nanoseconds = CMTimeGetSeconds(time) * 1e9;
  if (!std::isfinite(nanoseconds) || nanoseconds < 0) return 0;
  // 2^64 is exactly representable; anything at or above it does not fit.
  if (nanoseconds >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(nanoseconds);
}

}  // namespace kolv
