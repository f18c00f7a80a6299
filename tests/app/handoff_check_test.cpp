// The companion's side of `kolv-camera --check`: how each item is judged, on files made here.
#include "app/handoff_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "handoff/shared_surface.h"

namespace kolv {
namespace {

namespace fs = std::filesystem;
using Status = CheckItem::Status;

const HandOffFile kIDFile{"kolvcamera_surface_id", 4, false};
const HandOffFile kTimestampFile{"kolvcamera_frame_meta", 8, true};

std::vector<std::byte> doubleBytes(double value) {
  std::vector<std::byte> bytes(8);
  std::memcpy(bytes.data(), &value, 8);
  return bytes;
}

TEST(TimestampItemTest, AgesEpochSecondsByValueAndOtherClocksByTheFilesTime) {
  const fs::path path = "/run/user/1000/app-groups/g/kolvcamera_frame_meta";
  const double now = 1.8e9;
  struct Case {
    const char* name;
    std::optional<std::vector<std::byte>> bytes;
    double modifiedAt;
    Status status;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"fresh epoch", doubleBytes(now - 0.5), now - 100, Status::ok, ", 0.5 s old"},
      {"stale epoch, rewritten just now", doubleBytes(now - 30), now, Status::failure, ", 30.0 s old, stale"},
      {"epoch ahead", doubleBytes(now + 60), now, Status::warning, "60.0 s in the future"},
      {"monotonic, file fresh", doubleBytes(743.5), now - 0.25, Status::ok, "timestamp 743.5, 0.2 s old (not seconds"},
      {"monotonic, file old", doubleBytes(743.5), now - 9, Status::failure, "9.0 s old, stale (not seconds"},
      {"not a number", doubleBytes(std::nan("")), now, Status::failure, "not a finite number"},
      {"five bytes", std::vector<std::byte>(5), now, Status::failure, "is 5 bytes, expected 8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CheckItem item = timestampItem(kTimestampFile, path, c.bytes, c.modifiedAt, now);
    EXPECT_EQ(item.status, c.status);
    EXPECT_NE(item.text.find(c.text), std::string::npos) << item.text;
    EXPECT_EQ(item.fix.empty(), c.status == Status::ok) << item.fix;
  }
  // A running companion that nobody streams: its timestamp ages, and that is no failure.
  const CheckItem idle = timestampItem(kTimestampFile, path, doubleBytes(now - 30), now - 30, now, true);
  EXPECT_EQ(idle.status, Status::warning);
  EXPECT_NE(idle.text.find("a companion is running"), std::string::npos) << idle.text;
}

TEST(CheckItemTest, FailuresAndWarningsCarryTheirFix) {
  EXPECT_EQ(formatCheckItem({Status::ok, "PipeWire: reachable", {}}), "[ok]   PipeWire: reachable");
  EXPECT_EQ(formatCheckItem({Status::failure, "node: not found", "run kolv-camera"}),
            "[FAIL] node: not found. Fix: run kolv-camera");
  EXPECT_EQ(formatCheckItem({Status::warning, "mode 0750", "chmod 700 x"}), "[warn] mode 0750. Fix: chmod 700 x");
}

// A runtime folder of its own: the container, the registry and the surfaces in it.
class HandOffCheckTest : public ::testing::Test {
 protected:
  static fs::path makeRoot() {
    char pattern[] = "/tmp/kolv-check-test-XXXXXX";
    return ::mkdtemp(pattern) != nullptr ? pattern : "";
  }
  ~HandOffCheckTest() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  void SetUp() override { ASSERT_FALSE(root_.empty()); }

  void write(const std::string& name, const std::vector<std::byte>& bytes) {
    fs::create_directories(container_);
    std::ofstream(container_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  void writeID(std::uint32_t id) {
    std::vector<std::byte> bytes(4);
    std::memcpy(bytes.data(), &id, 4);
    write(kIDFile.name, bytes);
  }
  std::vector<CheckItem> check() { return checkHandOff("g", container_, kIDFile, kTimestampFile, registry_, media_); }

  const fs::path root_ = makeRoot();
  const fs::path container_ = root_ / "app-groups" / "g";
  const fs::path registry_ = root_ / "kolv-surfaces";
  LinuxMediaServices media_{nullptr, registry_};
};

TEST_F(HandOffCheckTest, NothingPublishedFailsAtTheFolderAndSkipsWhatFollows) {
  const auto items = check();
  ASSERT_EQ(items.size(), 5U);
  EXPECT_EQ(items[0].status, Status::failure);
  EXPECT_NE(items[0].text.find("(app group \"g\"): missing"), std::string::npos) << items[0].text;
  EXPECT_EQ(items[1].status, Status::skipped);
  EXPECT_EQ(items[2].status, Status::skipped);
  EXPECT_EQ(items[3].status, Status::failure);  // no registry
  EXPECT_EQ(items[4].status, Status::skipped);
}

TEST_F(HandOffCheckTest, AGoodSurfacePassesAndItsFaultsAreNamed) {
  auto surface = SharedSurface::createIn(registry_, 64, 32);
  ASSERT_TRUE(surface);
  writeID(surface->id());
  write(kTimestampFile.name, doubleBytes(5.0));  // not epoch seconds: aged by the file, just written
  auto items = check();
  ASSERT_EQ(items.size(), 5U);
  for (const auto& item : items) EXPECT_EQ(item.status, Status::ok) << item.text;
  EXPECT_EQ(items[1].text, "kolvcamera_surface_id: names surface " + std::to_string(surface->id()));
  EXPECT_EQ(items[4].text, "surface " + std::to_string(surface->id()) + ": 64x32 'BGRA', 256 bytes per row");

  // A registry others may write to is not used at all; a merely open one is a warning.
  ASSERT_EQ(::chmod(registry_.c_str(), 0777), 0);
  items = check();
  EXPECT_EQ(items[3].status, Status::failure);
  EXPECT_EQ(items[3].fix, "chmod 700 " + registry_.string());
  EXPECT_EQ(items[4].status, Status::failure);
  ASSERT_EQ(::chmod(registry_.c_str(), 0755), 0);
  items = check();
  EXPECT_EQ(items[3].status, Status::warning);
  EXPECT_EQ(items[4].status, Status::ok);

  // An ID that nothing is published under; then a surface the camera cannot send.
  writeID(surface->id() + 1);
  items = check();
  EXPECT_EQ(items[4].status, Status::failure);
  EXPECT_NE(items[4].text.find("nothing is published under this ID"), std::string::npos) << items[4].text;
  auto grey = SharedSurface::createIn(registry_, 16, 16, 0x4c303038);  // 'L008'
  ASSERT_TRUE(grey);
  writeID(grey->id());
  items = check();
  EXPECT_EQ(items[4].status, Status::failure);
  EXPECT_NE(items[4].text.find("'L008'"), std::string::npos) << items[4].text;
  EXPECT_NE(items[4].text.find("unknown pixel format"), std::string::npos) << items[4].text;
  auto converted = SharedSurface::createIn(registry_, 16, 16, kSurfacePixelFormatNV12);  // the host converts it
  ASSERT_TRUE(converted);
  writeID(converted->id());
  EXPECT_EQ(check()[4].status, Status::ok);

  write(kIDFile.name, std::vector<std::byte>(3));
  items = check();
  EXPECT_EQ(items[1].status, Status::failure);
  EXPECT_EQ(items[1].text, "kolvcamera_surface_id in " + container_.string() + " is 3 bytes, expected 4");
  EXPECT_EQ(items[4].status, Status::skipped);
}

}  // namespace
}  // namespace kolv
