#include "read_cadence.h"

#include <algorithm>
#include <vector>

namespace kolv::companion {
namespace {

using std::chrono::nanoseconds;

// Whole ticks of `period` in `span`, at least 1.
std::int64_t ticksIn(nanoseconds span, nanoseconds period) {
  return std::max<std::int64_t>(1, (span + period / 2) / period);
}

// The typical spacing of one tick: each gap between reads divided by the ticks it spans
// (against `guess`), the median of those. A missed read makes a gap of two ticks, a late
// read one short and one long gap; the median is moved by neither.
nanoseconds medianTick(const std::deque<nanoseconds>& reads, nanoseconds guess) {
  std::vector<nanoseconds> ticks;
  for (std::size_t i = 1; i < reads.size(); ++i) {
    const nanoseconds gap = reads[i] - reads[i - 1];
    ticks.push_back(gap / ticksIn(gap, guess));
  }
  std::nth_element(ticks.begin(), ticks.begin() + static_cast<std::ptrdiff_t>(ticks.size() / 2), ticks.end());
  return ticks[ticks.size() / 2];
}

}  // namespace

void ReadCadence::noteRead(nanoseconds at) {
  if (!reads_.empty()) {
    // A gap that is no whole number of ticks: the camera's timer is on another grid now.
    const nanoseconds period = predict()->period;
    const nanoseconds gap = at - reads_.back();
    const nanoseconds off = gap - ticksIn(gap, period) * period;
    if (gap <= nanoseconds::zero() || off > period / 3 || off < -period / 3) reads_.clear();
  }
  reads_.push_back(at);
  while (reads_.size() > kHistory) reads_.pop_front();
}

std::optional<ReadCadence::Prediction> ReadCadence::predict() const {
  if (reads_.empty()) return std::nullopt;
  nanoseconds period = kNominalPeriod;
  if (reads_.size() >= kFewestForPeriod) {
    // Each read's tick on the grid of the median spacing, then the median of the slopes
    // between every two reads: a late read moves the slopes it is part of, not their median,
    // and slopes over many ticks carry little of the jitter.
    const nanoseconds tick = medianTick(reads_, kNominalPeriod);
    if (tick > kNominalPeriod / 2 && tick < kNominalPeriod * 2) {
      std::vector<std::int64_t> index(reads_.size(), 0);
      for (std::size_t i = 1; i < reads_.size(); ++i) {
        index[i] = index[i - 1] + ticksIn(reads_[i] - reads_[i - 1], tick);
      }
      std::vector<double> slopes;
      for (std::size_t i = 0; i < reads_.size(); ++i) {
        for (std::size_t j = i + 1; j < reads_.size(); ++j) {
          slopes.push_back(static_cast<double>((reads_[j] - reads_[i]).count()) /
                           static_cast<double>(index[j] - index[i]));
        }
      }
      std::nth_element(slopes.begin(), slopes.begin() + static_cast<std::ptrdiff_t>(slopes.size() / 2), slopes.end());
      period = nanoseconds(static_cast<std::int64_t>(slopes[slopes.size() / 2]));
    }
  }
  // Reads come late, never early: the earliest against the grid is nearest the timer. Only
  // the recent ones, so that an error in the period adds up over few ticks.
  const nanoseconds newest = reads_.back();
  nanoseconds earliest{0};
  const std::size_t recent = std::min(reads_.size(), kPhaseReads);
  for (std::size_t i = reads_.size() - recent; i < reads_.size(); ++i) {
    const nanoseconds read = reads_[i];
    const nanoseconds before = newest - read;
    const std::int64_t ticks = (before + period / 2) / period;
    earliest = std::min(earliest, read - (newest - ticks * period));
  }
  return Prediction{period, newest + earliest};
}

std::optional<nanoseconds> ReadCadence::nextReadAtOrAfter(nanoseconds at) const {
  const auto rhythm = predict();
  if (!rhythm) return std::nullopt;
  if (at <= rhythm->phase) return rhythm->phase;
  const nanoseconds ahead = at - rhythm->phase;
  const std::int64_t ticks = (ahead + rhythm->period - nanoseconds(1)) / rhythm->period;
  return rhythm->phase + ticks * rhythm->period;
}

}  // namespace kolv::companion
