// Pictures on cue: the camera's reading rhythm learnt from its reads, and the cues a
// publisher gives from it, on the test's clock (sleeping moves it on).
#include <random>

#include <gtest/gtest.h>

#include "companion_fixture.h"
#include "read_cadence.h"

namespace kolv::companion::test {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

constexpr nanoseconds kTick = ReadCadence::kNominalPeriod;

// How far `predicted` is from the nearest tick of the true timer (origin + k * period).
nanoseconds offGrid(nanoseconds predicted, nanoseconds origin, nanoseconds period) {
  const nanoseconds since = predicted - origin;
  const std::int64_t ticks = (since + period / 2) / period;
  return since - ticks * period;
}

// The camera's timer fires on a grid; each read is seen 0.1 to 1.5 ms after its tick, one
// in ten 6 ms late, and the reads the schedule marks as missed are never seen. After every
// read the next predicted read must be the next tick, no later than an ordinary read is seen
// (so a picture published kCueMargin before it is in time even when the reads before came
// 6 ms late) and no more than 1 ms before the tick (so it waits little).
struct Timer {
  nanoseconds origin = 100s;
  nanoseconds period = kTick;
};

void expectOnGrid(const Timer& timer, const std::function<bool(int)>& missed, std::uint32_t seed) {
  SCOPED_TRACE(seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> lateUs(100, 1500);
  ReadCadence cadence;
  int checked = 0;
  for (int tick = 0; tick < 300; ++tick) {
    if (missed(tick)) continue;
    const nanoseconds at = timer.origin + tick * timer.period;
    const nanoseconds late = tick % 10 == 7 ? 6ms : std::chrono::microseconds(lateUs(random));
    cadence.noteRead(at + late);
    if (tick < 3) continue;
    const auto next = cadence.nextReadAtOrAfter(at + late + 1ms);
    ASSERT_TRUE(next);
    // The next tick, not one beyond it, and close to it.
    EXPECT_LT(*next - at, timer.period + 2ms) << "tick " << tick;
    const nanoseconds off = offGrid(*next, timer.origin, timer.period);
    EXPECT_LE(off, 1500us) << "tick " << tick;
    EXPECT_GE(off, -1ms) << "tick " << tick;
    ++checked;
  }
  EXPECT_GT(checked, 100);
}

TEST(ReadCadenceTest, PredictsTheNextTickUnderJitterAndMissedReads) {
  expectOnGrid(
      Timer{}, [](int) { return false; }, 1);
  // Every fourth read missed, and runs of three.
  expectOnGrid(
      Timer{}, [](int tick) { return tick % 4 == 1; }, 2);
  expectOnGrid(
      Timer{}, [](int tick) { return tick % 20 >= 10 && tick % 20 < 13; }, 3);
  // A timer a little off 30 a second is followed, not the nominal period.
  expectOnGrid(
      Timer{100s, kTick + 150us}, [](int tick) { return tick % 5 == 2; }, 4);
  expectOnGrid(
      Timer{100s, kTick - 200us}, [](int) { return false; }, 5);
}

TEST(ReadCadenceTest, FollowsATimerThatMovedAndGuessesFromOneRead) {
  ReadCadence cadence;
  EXPECT_FALSE(cadence.nextReadAtOrAfter(100s));
  cadence.noteRead(100s);
  // One read: the nominal period from it.
  EXPECT_EQ(*cadence.nextReadAtOrAfter(100s + 1ms), 100s + kTick);
  for (int tick = 1; tick < 10; ++tick) cadence.noteRead(100s + tick * kTick);
  // The camera restarted: its timer now fires 12 ms later in each period.
  const nanoseconds moved = 100s + 10 * kTick + 12ms;
  cadence.noteRead(moved);
  cadence.noteRead(moved + kTick);
  const auto next = cadence.nextReadAtOrAfter(moved + kTick + 1ms);
  ASSERT_TRUE(next);
  EXPECT_LE(std::chrono::abs(*next - (moved + 2 * kTick)), 100us);
}

// A publisher's cues, its watcher seeing reads made at chosen times on the test's clock.
class CueTest : public CompanionTest {
 protected:
  void SetUp() override {
    CompanionTest::SetUp();
    publisher_ = std::make_unique<Publisher>(open(options()));
    auto canvas = publisher_->beginFrame();
    ASSERT_TRUE(canvas);
    ASSERT_EQ(publisher_->publish(), Status::ok);
  }
  // The camera reads the frame file at `at`; returns once the watcher has seen it.
  void cameraReadsAt(nanoseconds at) {
    clock_->now = at;
    const auto before = publisher_->frameFileReads();
    readBytes(container() / kFrameMetadataFileName);
    ASSERT_TRUE(eventually([&] { return publisher_->frameFileReads() > before; }));
  }
  // Reads on ticks first..last of a timer at `origin`, `late` after each tick.
  void cameraReadsTicks(nanoseconds origin, int first, int last, nanoseconds late = 300us) {
    for (int tick = first; tick <= last; ++tick) cameraReadsAt(origin + tick * kTick + late);
  }
  nanoseconds now() const { return clock_->now; }

  std::unique_ptr<Publisher> publisher_;
};

TEST_F(CueTest, WithoutReadsCuesComeAtTheFrameRate) {
  const nanoseconds start = now();
  EXPECT_EQ(publisher_->waitForCue(5ms, 1s), Status::notWatched);
  EXPECT_EQ(now(), start);  // the first at once
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(publisher_->waitForCue(5ms, 1s), Status::notWatched);
    EXPECT_EQ(now(), start + i * nanoseconds(1'000'000'000 / 30)) << i;
  }
  ASSERT_EQ(publisher_->setFrameRate(10), Status::ok);
  EXPECT_EQ(publisher_->waitForCue(5ms, 1s), Status::notWatched);
  EXPECT_EQ(now(), start + 5 * nanoseconds(1'000'000'000 / 30) + 100ms);
  // A producer more than a frame behind starts again from now, rather than rushing.
  clock_->now = now() + 1s;
  const nanoseconds late = now();
  EXPECT_EQ(publisher_->waitForCue(5ms, 1s), Status::notWatched);
  EXPECT_EQ(now(), late);
}

TEST_F(CueTest, CuesComeDrawTimeAndMarginBeforeEachPredictedRead) {
  const nanoseconds origin = now() + 10ms;
  cameraReadsTicks(origin, 0, 8);
  // Each cue ends kCueMargin before the next read (seen 300 us after its tick), on
  // consecutive ticks.
  for (int tick = 9; tick < 15; ++tick) {
    ASSERT_EQ(publisher_->waitForCue(5ms, 1s), Status::ok) << tick;
    const nanoseconds read = now() + 5ms + kCueMargin;
    EXPECT_LE(std::chrono::abs(read - (origin + tick * kTick + 300us)), 100us) << tick;
    cameraReadsAt(origin + tick * kTick + 300us);
  }
  // A drawing that overran its cue goes out a read later; the next cue is the read after that.
  clock_->now = origin + 15 * kTick + 1ms;
  auto canvas = publisher_->beginFrame();
  ASSERT_TRUE(canvas);
  ASSERT_EQ(publisher_->publish(), Status::ok);
  const auto afterLate = publisher_->nextCue(1ms);
  ASSERT_TRUE(afterLate.read);
  EXPECT_LE(std::chrono::abs(*afterLate.read - (origin + 17 * kTick + 300us)), 100us);
  // A drawing that overran its tick is given the next one it can still make.
  clock_->now = origin + 17 * kTick + 30ms;
  const auto cue = publisher_->nextCue(5ms);
  EXPECT_EQ(cue.status, Status::ok);
  ASSERT_TRUE(cue.read);
  EXPECT_LE(std::chrono::abs(*cue.read - (origin + 19 * kTick + 300us)), 100us);
  EXPECT_GE(cue.start, now());
}

TEST_F(CueTest, BelowTheCameraRateCuesSkipReads) {
  ASSERT_EQ(publisher_->setFrameRate(10), Status::ok);
  const nanoseconds origin = now() + 10ms;
  cameraReadsTicks(origin, 0, 5);
  std::optional<nanoseconds> previous;
  for (int i = 0; i < 4; ++i) {
    const auto cue = publisher_->nextCue(2ms);
    ASSERT_EQ(cue.status, Status::ok);
    ASSERT_TRUE(cue.read);
    if (previous) {
      EXPECT_LE(std::chrono::abs(*cue.read - *previous - 3 * kTick), 100us) << i;
    }
    previous = cue.read;
  }
}

TEST_F(CueTest, ACueBeyondTheTimeoutIsLeftForTheNextCall) {
  ASSERT_EQ(publisher_->setFrameRate(1), Status::ok);
  EXPECT_EQ(publisher_->waitForCue(0ns, 1s), Status::notWatched);
  const nanoseconds first = now();
  EXPECT_EQ(publisher_->waitForCue(0ns, 300ms), Status::timedOut);
  EXPECT_EQ(now(), first + 300ms);
  EXPECT_EQ(publisher_->waitForCue(0ns, 300ms), Status::timedOut);
  EXPECT_EQ(publisher_->waitForCue(0ns, 1s), Status::notWatched);
  EXPECT_EQ(now(), first + 1s);
}

TEST_F(CueTest, WhenTheCameraStopsReadingCuesFallBackToTheFrameRate) {
  const nanoseconds origin = now() + 10ms;
  cameraReadsTicks(origin, 0, 8);
  EXPECT_EQ(publisher_->waitForCue(1ms, 1s), Status::ok);
  // No read for longer than kWatchedWindow: paced, 1/30 s after the last cue.
  const nanoseconds lastCue = now();
  clock_->now = origin + 8 * kTick + kWatchedWindow + 1ms;
  const auto cue = publisher_->nextCue(1ms);
  EXPECT_EQ(cue.status, Status::notWatched);
  EXPECT_FALSE(cue.read);
  EXPECT_EQ(cue.start, now());  // more than a frame behind that cue: now
  EXPECT_GT(now(), lastCue + kTick);
  // Reads again, on another grid: cues follow it.
  const nanoseconds moved = now() + 17ms;
  cameraReadsTicks(moved, 0, 3);
  ASSERT_EQ(publisher_->waitForCue(1ms, 1s), Status::ok);
  EXPECT_LE(std::chrono::abs(now() + 1ms + kCueMargin - (moved + 4 * kTick + 300us)), 100us);
}

}  // namespace
}  // namespace kolv::companion::test
