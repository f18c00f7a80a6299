// Publisher: the container folder, the files it writes, timestamps, the group's lock and
// the surfaces' lifetime.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>

#include "companion_fixture.h"
#include "handoff/unique_fd.h"
#include "handoff_files.h"

namespace kolv::companion::test {
namespace {

namespace fs = std::filesystem;

class PublisherTest : public CompanionTest {
 protected:
  Error openFails(const Options& settings) {
    Error error;
    EXPECT_FALSE(Publisher::open(settings, &error));
    return error;
  }
  static void drawAndPublish(Publisher& publisher) {
    auto canvas = publisher.beginFrame();
    ASSERT_TRUE(canvas);
    std::fill(canvas->pixels.begin(), canvas->pixels.end(), std::byte{0x7F});
    ASSERT_EQ(publisher.publish(), Status::ok) << publisher.lastError().message();
  }
  // Not a read by the camera: no re-stamp follows it.
  double timestampInFile(const std::string& group = kFallbackAppGroupID) {
    return decodeTimestamp(peekBytes(container(group) / kFrameMetadataFileName)).value_or(-1);
  }
  // Everything in the registry: entries and their creator records.
  std::size_t registryEntries() const {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(registry())) ++count;
    return count;
  }
};

TEST_F(PublisherTest, CreatesTheContainerWithOwnerOnlyAccess) {
  ASSERT_FALSE(fs::exists(runtime() / "app-groups"));
  auto publisher = open(options());
  EXPECT_EQ(publisher.appGroupID(), kFallbackAppGroupID);
  EXPECT_EQ(publisher.container(), container());
  EXPECT_EQ(modeOf(runtime() / "app-groups"), 0700);
  EXPECT_EQ(modeOf(container()), 0700);
  // Nothing is handed over before the first picture.
  EXPECT_FALSE(fs::exists(container() / kSurfaceIDFileName));
  EXPECT_FALSE(fs::exists(container() / kFrameMetadataFileName));
}

TEST_F(PublisherTest, KeepsAnExistingContainerAsItIs) {
  fs::create_directories(container("group.other"));
  fs::permissions(container("group.other"), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  std::ofstream(container("group.other") / "keep") << "x";
  auto publisher = open(options("group.other"));
  EXPECT_EQ(modeOf(container("group.other")), 0750);
  EXPECT_TRUE(fs::exists(container("group.other") / "keep"));
}

TEST_F(PublisherTest, RefusesContainersItCannotUse) {
  EXPECT_EQ(openFails(options("a/b")).status, Status::invalidAppGroup);
  EXPECT_EQ(openFails(options("..")).status, Status::invalidAppGroup);

  fs::create_directories(runtime() / "app-groups");
  std::ofstream(container("group.file")) << "not a folder";
  EXPECT_EQ(openFails(options("group.file")).status, Status::containerUnavailable);
  fs::create_symlink(root_, container("group.link"));
  EXPECT_EQ(openFails(options("group.link")).status, Status::containerUnavailable);

  Options noRuntime = options();
  noRuntime.runtimeDirectory = root_ / "missing" / "runtime";
  const Error error = openFails(noRuntime);
  EXPECT_EQ(error.status, Status::containerUnavailable);
  EXPECT_NE(error.message().find("missing/runtime"), std::string::npos) << error.message();
}

TEST_F(PublisherTest, RefusesBadSettings) {
  Options tooFew = options();
  tooFew.surfaceCount = 1;
  EXPECT_EQ(openFails(tooFew).status, Status::invalidArgument);
  Options tooMany = options();
  tooMany.maxSurfaceCount = 17;
  EXPECT_EQ(openFails(tooMany).status, Status::invalidArgument);
  Options capBelowStart = options();
  capBelowStart.maxSurfaceCount = 2;
  EXPECT_EQ(openFails(capBelowStart).status, Status::invalidArgument);
  Options empty = options();
  empty.width = 0;
  EXPECT_EQ(openFails(empty).status, Status::invalidArgument);
  Options huge = options();
  huge.height = 16385;
  EXPECT_EQ(openFails(huge).status, Status::invalidArgument);
  // Nothing was left behind by the refusals.
  EXPECT_FALSE(fs::exists(runtime() / "app-groups"));
}

TEST_F(PublisherTest, WritesTheSurfaceIDAndTheTimestampByteByByte) {
  auto publisher = open(options());
  auto canvas = publisher.beginFrame();
  ASSERT_TRUE(canvas);
  EXPECT_EQ(canvas->width, 64u);
  EXPECT_EQ(canvas->height, 36u);
  EXPECT_EQ(canvas->bytesPerRow, 256u);
  EXPECT_EQ(canvas->pixels.size(), 256u * 36);
  clock_->wall = 1.0;  // a clock at 1.0 s gives the bytes of the double 1.0
  ASSERT_EQ(publisher.publish(), Status::ok);

  const std::uint32_t id = canvas->surfaceID;
  EXPECT_EQ(readBytes(container() / kSurfaceIDFileName),
            bytesOf({static_cast<int>(id & 0xFF), static_cast<int>((id >> 8) & 0xFF),
                     static_cast<int>((id >> 16) & 0xFF), static_cast<int>(id >> 24)}));
  EXPECT_EQ(peekBytes(container() / kFrameMetadataFileName), bytesOf({0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
  EXPECT_EQ(publisher.publishedSurfaceID(), id);
  EXPECT_EQ(publisher.lastTimestamp(), 1.0);
}

TEST_F(PublisherTest, TimestampsAlwaysGrowEvenWhenTheClockDoesNot) {
  auto publisher = open(options());
  clock_->wall = 5000.0;
  drawAndPublish(publisher);
  EXPECT_EQ(timestampInFile(), 5000.0);
  drawAndPublish(publisher);  // same clock reading
  const double second = timestampInFile();
  EXPECT_GT(second, 5000.0);
  clock_->wall = 4000.0;  // clock set back
  ASSERT_EQ(publisher.republish(), Status::ok);
  EXPECT_GT(timestampInFile(), second);
  clock_->wall = 6000.5;  // and forward again: the clock leads
  drawAndPublish(publisher);
  EXPECT_EQ(timestampInFile(), 6000.5);
}

TEST_F(PublisherTest, TimestampsKeepGrowingAcrossARestart) {
  clock_->wall = 9000.0;
  {
    auto publisher = open(options());
    for (int i = 0; i < 3; ++i) drawAndPublish(publisher);
  }
  const double before = timestampInFile();
  clock_->wall = 10.0;  // the next companion starts with a clock far behind
  auto publisher = open(options());
  EXPECT_EQ(publisher.lastTimestamp(), before);
  drawAndPublish(publisher);
  EXPECT_GT(timestampInFile(), before);
}

TEST_F(PublisherTest, IgnoresAFrameFileThatHoldsNoUsableTimestamp) {
  fs::create_directories(container());
  for (double bad : {-5.0, std::nan(""), 0.0, HUGE_VAL, -HUGE_VAL}) {
    std::string reason;
    ASSERT_EQ(replaceFile(container(), kFrameMetadataFileName, encodeTimestamp(bad), reason), 0);
    clock_->wall = 77.0;
    auto publisher = open(options());
    EXPECT_EQ(publisher.lastTimestamp(), 0.0);
    drawAndPublish(publisher);
    EXPECT_EQ(timestampInFile(), 77.0) << bad;
    EXPECT_EQ(publisher.lastTimestamp(), 77.0) << bad;
  }
}

TEST_F(PublisherTest, RepublishKeepsTheSurfaceAndRenewsTheTimestamp) {
  auto publisher = open(options());
  EXPECT_EQ(publisher.republish(), Status::noFrame);
  EXPECT_EQ(publisher.publish(), Status::noFrame);
  drawAndPublish(publisher);
  const auto idBytes = readBytes(container() / kSurfaceIDFileName);
  const double first = timestampInFile();
  ASSERT_EQ(publisher.republish(), Status::ok);
  EXPECT_EQ(readBytes(container() / kSurfaceIDFileName), idBytes);
  EXPECT_GT(timestampInFile(), first);
}

TEST_F(PublisherTest, OnePublisherPerGroup) {
  auto first = std::make_unique<Publisher>(open(options()));
  EXPECT_EQ(openFails(options()).status, Status::groupInUse);
  auto other = open(options("group.other"));  // another group is fine
  first.reset();
  auto second = open(options());
  drawAndPublish(second);
}

TEST_F(PublisherTest, ReleasesItsSurfacesWhenClosedAndKeepsTheFiles) {
  {
    auto publisher = open(options());
    EXPECT_EQ(publisher.surfaceIDs().size(), 3u);
    EXPECT_EQ(registryEntries(), 6u);  // three entries, each with its record
    drawAndPublish(publisher);
  }
  EXPECT_EQ(registryEntries(), 0u);
  EXPECT_TRUE(fs::exists(container() / kSurfaceIDFileName));
  EXPECT_TRUE(fs::exists(container() / kFrameMetadataFileName));
}

TEST_F(PublisherTest, MakesTheContainerAgainWhenItVanishes) {
  auto publisher = open(options());
  drawAndPublish(publisher);
  fs::remove_all(runtime() / "app-groups");
  drawAndPublish(publisher);
  EXPECT_EQ(readBytes(container() / kSurfaceIDFileName).size(), 4u);
  EXPECT_EQ(modeOf(container()), 0700);
}

TEST_F(PublisherTest, ReportsAFileItCannotReplace) {
  auto publisher = open(options());
  fs::create_directories(container() / kFrameMetadataFileName / "in-the-way");
  ASSERT_TRUE(publisher.beginFrame());
  EXPECT_EQ(publisher.publish(), Status::writeFailed);
  EXPECT_EQ(publisher.lastError().status, Status::writeFailed);
  EXPECT_NE(publisher.lastError().message().find(kFrameMetadataFileName), std::string::npos);
  EXPECT_EQ(publisher.lastTimestamp(), 0.0);
}

TEST_F(PublisherTest, DrawsIntoTheSurfaceHandedOverLongestAgoAndAddsOneWhenNoneHasRested) {
  using namespace std::chrono_literals;
  Options settings = options();
  settings.maxSurfaceCount = 4;
  auto publisher = open(settings);
  const auto first = publisher.surfaceIDs();
  ASSERT_EQ(first.size(), 3u);

  // One picture every 40 ms: a surface is back in turn 80 ms after it was replaced, before
  // the 100 ms have passed, so a fourth surface joins the ring, and then no more are needed.
  std::vector<std::uint32_t> drawnInto;
  for (int i = 0; i < 12; ++i) {
    auto canvas = publisher.beginFrame();
    ASSERT_TRUE(canvas) << i << ": " << publisher.lastError().message();
    EXPECT_NE(canvas->surfaceID, publisher.publishedSurfaceID());
    drawnInto.push_back(canvas->surfaceID);
    ASSERT_EQ(publisher.publish(), Status::ok);
    clock_->now += 40ms;
  }
  const auto ring = publisher.surfaceIDs();
  ASSERT_EQ(ring.size(), 4u);
  EXPECT_EQ(std::vector<std::uint32_t>(drawnInto.begin(), drawnInto.begin() + 3), first);
  for (std::size_t i = 4; i < drawnInto.size(); ++i) EXPECT_EQ(drawnInto[i], drawnInto[i - 4]) << i;

  // Faster than the ring allows: the three others, then busy.
  clock_->now += 1s;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(publisher.beginFrame());
    ASSERT_EQ(publisher.publish(), Status::ok);
  }
  EXPECT_FALSE(publisher.beginFrame());
  EXPECT_EQ(publisher.lastError().status, Status::busy);
  EXPECT_EQ(publisher.surfaceIDs().size(), 4u);
  clock_->now += 100ms;
  EXPECT_TRUE(publisher.beginFrame());
}

// Each refusal of the surface registry says what is wrong with it and how to fix it.
TEST_F(PublisherTest, ARegistryItCannotUseIsNamedWithItsCauseAndFix) {
  const std::string path = registry().string();
  fs::create_directories(registry());
  fs::permissions(registry(), fs::perms::all);
  Error error = openFails(options());
  EXPECT_EQ(error.status, Status::surfaceUnavailable);
  EXPECT_NE(error.message().find(path + " is writable by other users; fix: chmod 700 " + path), std::string::npos)
      << error.message();

  fs::remove(registry());
  fs::create_directories(root_ / "elsewhere");
  fs::permissions(root_ / "elsewhere", fs::perms::owner_all);
  fs::create_directory_symlink(root_ / "elsewhere", registry());
  error = openFails(options());
  EXPECT_NE(error.message().find(path + " is a symbolic link, not a folder; fix: rm " + path), std::string::npos)
      << error.message();

  fs::remove(registry());
  std::ofstream(registry()) << "in the way";
  error = openFails(options());
  EXPECT_NE(error.message().find(path + " is not a folder"), std::string::npos) << error.message();

  if (::geteuid() == 0) {  // only root can hand the folder to another user
    fs::remove(registry());
    fs::create_directories(registry());
    fs::permissions(registry(), fs::perms::owner_all);
    ASSERT_EQ(::chown(registry().c_str(), 4242, 4242), 0);
    error = openFails(options());
    EXPECT_NE(error.message().find(path + " belongs to user 4242, not to this user (0); fix: "), std::string::npos)
        << error.message();
  }
}

TEST_F(PublisherTest, SweepsEntriesOfCompanionsThatDiedAndOnlyThose) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);  // its pid now names no process
  const std::string self = std::to_string(::getpid());
  const std::string dead = std::to_string(child);
  std::ofstream(root_ / "open-file") << "x";
  const UniqueFD held(::open((root_ / "open-file").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(held);
  const std::string ownNamespace = fs::read_symlink("/proc/self/ns/pid").string();
  const auto record = [&](const std::string& id, const std::string& pidNamespace, const std::string& pid) {
    fs::create_symlink(pidNamespace + " " + pid, registry() / (id + ".creator"));
  };

  fs::create_directories(registry());
  fs::permissions(registry(), fs::perms::owner_all);
  fs::create_symlink("/proc/" + dead + "/fd/7", registry() / "101");  // dead
  record("101", ownNamespace, dead);
  fs::create_symlink("/proc/" + self + "/fd/" + std::to_string(held.get()), registry() / "102");  // live
  record("102", ownNamespace, self);
  fs::create_symlink("/proc/" + self + "/fd/999", registry() / "103");  // dangling, but its creator lives
  record("103", ownNamespace, self);
  fs::create_symlink(root_ / "missing", registry() / "104");  // dangling, not ours to judge
  std::ofstream(registry() / "105") << "a plain file";
  // Dead here, but made by an older library: no record says where its process ID counts.
  fs::create_symlink("/proc/" + dead + "/fd/7", registry() / "106");
  // Its creator ran in another PID namespace, where its process ID may well be alive.
  fs::create_symlink("/proc/" + dead + "/fd/7", registry() / "107");
  record("107", "pid:[4026599999]", dead);
  // A record that names another process than its entry does.
  fs::create_symlink("/proc/" + dead + "/fd/7", registry() / "108");
  record("108", ownNamespace, self);
  // Records left without their entries: by a dead creator of this namespace, and by a live one.
  record("109", ownNamespace, dead);
  record("110", ownNamespace, self);

  auto publisher = open(options());
  EXPECT_FALSE(fs::is_symlink(registry() / "101"));
  EXPECT_FALSE(fs::is_symlink(registry() / "101.creator"));
  EXPECT_FALSE(fs::is_symlink(registry() / "109.creator"));
  for (const char* kept : {"102", "102.creator", "103", "103.creator", "104", "105", "106", "107", "107.creator", "108",
                           "108.creator", "110.creator"})
    EXPECT_TRUE(fs::is_symlink(registry() / kept) || fs::exists(registry() / kept)) << kept;
  EXPECT_EQ(registryEntries(), 12u + 2 * publisher.surfaceIDs().size());
}

}  // namespace
}  // namespace kolv::companion::test
