// The last picture stays live: a new timestamp after every read of the frame file, for the
// named surface only, within the hold time; watched() follows the reads; the watcher thread
// ends with the publisher. Each read is followed by a wait until the watcher has handled
// it, so the outcome does not depend on timing.
#include <signal.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "companion_fixture.h"
#include "handoff_files.h"
#include "read_watcher.h"

namespace kolv::companion::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The tasks of this process that are watcher threads, found by name: a sanitizer's runtime
// may start threads of its own at any time.
std::vector<std::string> watcherThreads() {
  std::vector<std::string> watchers;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::string name;
    std::getline(std::ifstream(task.path() / "comm"), name);
    if (name == FrameReadWatcher::kThreadName) watchers.push_back(task.path().filename());
  }
  return watchers;
}

class KeepAliveTest : public CompanionTest {
 protected:
  static std::uint32_t drawAndPublish(Publisher& publisher) {
    auto canvas = publisher.beginFrame();
    EXPECT_TRUE(canvas) << publisher.lastError().message();
    if (!canvas) return 0;
    EXPECT_EQ(publisher.publish(), Status::ok) << publisher.lastError().message();
    return canvas->surfaceID;
  }
  double timestampInFile() { return decodeTimestamp(readBytes(container() / kFrameMetadataFileName)).value_or(-1); }
  std::uint32_t namedSurface() {
    const auto bytes = readBytes(container() / kSurfaceIDFileName);
    std::uint32_t id = 0;
    if (bytes.size() == 4) std::memcpy(&id, bytes.data(), 4);
    return id;
  }
  // A camera tick: reads the frame file (open, read, close), then waits until the
  // publisher's watcher has handled the read. The timestamp the tick read.
  double cameraTick(Publisher& publisher) {
    const auto before = publisher.frameFileReads();
    const double seen = timestampInFile();
    EXPECT_TRUE(eventually([&] { return publisher.frameFileReads() > before; })) << "the watcher saw no read";
    return seen;
  }
};

TEST_F(KeepAliveTest, OnlyFinishedReadsOfTheFrameFileCount) {
  auto publisher = open(options());
  drawAndPublish(publisher);
  const double published = publisher.lastTimestamp();
  // Reading the surface-ID file, and writing next to the frame file, are no reads of it.
  for (int i = 0; i < 5; ++i) readBytes(container() / kSurfaceIDFileName);
  std::ofstream(container() / "unrelated") << "x";
  readBytes(container() / "unrelated");
  cameraTick(publisher);
  EXPECT_EQ(publisher.frameFileReads(), 1u);
  // The clock stood still: exactly one step above the published timestamp.
  EXPECT_EQ(publisher.lastTimestamp(), published + 1e-6);
}

TEST_F(KeepAliveTest, NothingIsStampedBeforeTheFirstPicture) {
  auto publisher = open(options());
  fs::create_directories(container());
  std::string reason;
  ASSERT_EQ(replaceFile(container(), kFrameMetadataFileName, encodeTimestamp(5.0), reason), 0);
  cameraTick(publisher);
  EXPECT_EQ(timestampInFile(), 5.0);
  EXPECT_FALSE(fs::exists(container() / kSurfaceIDFileName));
}

TEST_F(KeepAliveTest, TheHoldTimeEndsTheReStampsUntilTheNextPicture) {
  Options settings = options();
  settings.holdTime = 500ms;
  auto publisher = open(settings);
  drawAndPublish(publisher);
  const double published = cameraTick(publisher);
  clock_->now += 499ms;
  const double held = cameraTick(publisher);
  EXPECT_GT(held, published);
  clock_->now += 1ms;  // 500 ms since the picture: no more re-stamps
  EXPECT_GT(cameraTick(publisher), held);
  const double last = cameraTick(publisher);
  EXPECT_EQ(cameraTick(publisher), last);
  EXPECT_EQ(cameraTick(publisher), last);

  ASSERT_EQ(publisher.republish(), Status::ok);  // holds again
  const double republished = cameraTick(publisher);
  EXPECT_GT(republished, last);
  EXPECT_GT(cameraTick(publisher), republished);

  clock_->now += 10s;
  drawAndPublish(publisher);  // so does a new picture
  const double next = cameraTick(publisher);
  EXPECT_GT(cameraTick(publisher), next);

  // Changed later, it applies to the picture already live.
  EXPECT_EQ(publisher.setHoldTime(-1ns), Status::invalidArgument);
  ASSERT_EQ(publisher.setHoldTime(0ns), Status::ok);
  clock_->now += 1h;
  const double forever = cameraTick(publisher);
  EXPECT_GT(cameraTick(publisher), forever);
}

TEST_F(KeepAliveTest, WatchedFollowsTheReads) {
  auto publisher = open(options());
  EXPECT_FALSE(publisher.watched());
  drawAndPublish(publisher);
  EXPECT_FALSE(publisher.watched());
  cameraTick(publisher);
  EXPECT_TRUE(publisher.watched());
  clock_->now += kWatchedWindow;
  EXPECT_TRUE(publisher.watched());
  clock_->now += 1ns;
  EXPECT_FALSE(publisher.watched());
  cameraTick(publisher);
  EXPECT_TRUE(publisher.watched());
}

TEST_F(KeepAliveTest, TheNamedSurfaceIsNeverDrawnIntoWhileReStampedAndRestsAfterItsLastStamp) {
  Options settings = options();
  settings.surfaceCount = 2;
  settings.maxSurfaceCount = 2;
  auto publisher = open(settings);
  const std::uint32_t first = drawAndPublish(publisher);
  for (int tick = 0; tick < 30; ++tick) {
    clock_->now += 33ms;
    cameraTick(publisher);
    const auto canvas = publisher.beginFrame();
    ASSERT_TRUE(canvas);
    EXPECT_NE(canvas->surfaceID, first);
    EXPECT_EQ(namedSurface(), first);
  }
  // The first surface was handed over a second ago, but stamped until the second one took
  // its place: it rests from then on.
  ASSERT_EQ(publisher.publish(), Status::ok);
  EXPECT_FALSE(publisher.beginFrame());
  EXPECT_EQ(publisher.lastError().status, Status::busy);
  clock_->now += kDefaultReuseDelay - 1ns;
  cameraTick(publisher);
  EXPECT_FALSE(publisher.beginFrame());
  clock_->now += 1ns;
  const auto canvas = publisher.beginFrame();
  ASSERT_TRUE(canvas);
  EXPECT_EQ(canvas->surfaceID, first);
}

TEST_F(KeepAliveTest, TheWatcherEndsWithThePublisherAndFollowsAMove) {
  const std::size_t threadsBefore = watcherThreads().size();
  auto original = std::make_unique<Publisher>(open(options()));
  EXPECT_TRUE(eventually([&] { return watcherThreads().size() == threadsBefore + 1; }));
  drawAndPublish(*original);
  auto moved = std::make_unique<Publisher>(std::move(*original));
  original.reset();
  EXPECT_TRUE(eventually([&] { return watcherThreads().size() == threadsBefore + 1; }));
  const double before = cameraTick(*moved);
  EXPECT_GT(timestampInFile(), before);

  moved.reset();
  // A joined thread may stay listed for a moment.
  EXPECT_TRUE(eventually([&] { return watcherThreads().size() == threadsBefore; }));
  // Nobody stamps any more: the camera sends grey from its next tick on.
  const double last = timestampInFile();
  readBytes(container() / kFrameMetadataFileName);
  EXPECT_EQ(timestampInFile(), last);
}

// Signals meant for the application (SIGTERM to a signalfd, say) never land on the watcher.
TEST_F(KeepAliveTest, TheWatcherThreadBlocksEverySignal) {
  auto publisher = open(options());
  std::vector<std::string> watchers;
  ASSERT_TRUE(eventually([&] { return (watchers = watcherThreads()).size() == 1; }));
  std::ifstream status("/proc/self/task/" + watchers[0] + "/status");
  std::string line;
  std::uint64_t blocked = 0;
  while (std::getline(status, line)) {
    if (line.rfind("SigBlk:", 0) == 0) blocked = std::stoull(line.substr(7), nullptr, 16);
  }
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGCHLD}) {
    EXPECT_NE(blocked & (std::uint64_t{1} << (signal - 1)), 0u) << signal;
  }
}

TEST_F(KeepAliveTest, KeepsStampingAfterTheContainerIsMadeAgain) {
  auto publisher = open(options());
  drawAndPublish(publisher);
  fs::remove_all(runtime() / "app-groups");
  drawAndPublish(publisher);  // makes the container again
  const double published = cameraTick(publisher);
  EXPECT_GT(cameraTick(publisher), published);

  // Made again by someone else (a session's cleanup and the camera's files, say).
  fs::remove_all(runtime() / "app-groups");
  fs::create_directories(container());
  drawAndPublish(publisher);
  const double republished = cameraTick(publisher);
  EXPECT_GT(cameraTick(publisher), republished);
  EXPECT_TRUE(publisher.keepAliveProblem().empty()) << publisher.keepAliveProblem();
}

}  // namespace
}  // namespace kolv::companion::test
