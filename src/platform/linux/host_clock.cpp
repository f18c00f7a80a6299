#include "platform/linux/host_clock.h"

#include <time.h>

namespace kolv {

std::uint64_t monotonicNanoseconds() {
  timespec now{};
  // CLOCK_MONOTONIC cannot fail with a valid timespec pointer.
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000U + static_cast<std::uint64_t>(now.tv_nsec);
}

CMTime MonotonicHostClock::time() const {
  return CMTimeMake(static_cast<std::int64_t>(monotonicNanoseconds()), 1'000'000'000);
}

}  // namespace kolv
