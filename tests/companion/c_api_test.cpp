// The C interface: what a ctypes, Rust or Go companion calls.
#include "kolv_companion.h"

#include <stdlib.h>

#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "companion_fixture.h"

namespace kolv::companion::test {
namespace {

namespace fs = std::filesystem;

// The C interface finds the runtime folder in the environment, as a companion would.
class CInterfaceTest : public CompanionTest {
 protected:
  void SetUp() override {
    CompanionTest::SetUp();
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) savedRuntime_ = old;
    ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
  }
  void TearDown() override {
    if (savedRuntime_) {
      ::setenv("XDG_RUNTIME_DIR", savedRuntime_->c_str(), 1);
    } else {
      ::unsetenv("XDG_RUNTIME_DIR");
    }
  }
  std::optional<std::string> savedRuntime_;
};

TEST_F(CInterfaceTest, PublishesACopiedPicture) {
  int status = -100;
  kolv_companion* companion = kolv_companion_open(nullptr, nullptr, 0, 0, &status);
  ASSERT_NE(companion, nullptr) << kolv_companion_status_string(status);
  EXPECT_EQ(status, KOLV_COMPANION_OK);
  EXPECT_STREQ(kolv_companion_app_group(companion), "group.kolv.vcamera");
  EXPECT_EQ(fs::path(kolv_companion_container(companion)), container());

  // Rows of 5200 bytes in the caller's memory, 5120 of them pixels.
  std::vector<std::uint8_t> picture(5200 * 720, 0x5A);
  ASSERT_EQ(kolv_companion_publish_bgra(companion, picture.data(), picture.size(), 5200), KOLV_COMPANION_OK);
  EXPECT_GT(kolv_companion_last_timestamp(companion), 0.0);
  EXPECT_EQ(readBytes(container() / "kolvcamera_surface_id").size(), 4u);
  EXPECT_EQ(readBytes(container() / "kolvcamera_frame_meta").size(), 8u);

  EXPECT_EQ(kolv_companion_publish_bgra(companion, picture.data(), 5120 * 719, 5120), KOLV_COMPANION_INVALID_ARGUMENT);
  EXPECT_NE(std::strstr(kolv_companion_last_error(companion), "too small"), nullptr);
  EXPECT_EQ(kolv_companion_publish_bgra(companion, picture.data(), picture.size(), 5116),
            KOLV_COMPANION_INVALID_ARGUMENT);
  kolv_companion_close(companion);
  EXPECT_TRUE(fs::is_empty(root_ / "kolv-surfaces"));
}

TEST_F(CInterfaceTest, DrawsInPlaceAndRepublishes) {
  kolv_companion* companion = kolv_companion_open("group.c", nullptr, 320, 240, nullptr);
  ASSERT_NE(companion, nullptr);
  EXPECT_EQ(kolv_companion_publish(companion), KOLV_COMPANION_NO_FRAME);
  EXPECT_EQ(kolv_companion_republish(companion), KOLV_COMPANION_NO_FRAME);

  kolv_companion_frame frame{};
  ASSERT_EQ(kolv_companion_begin_frame(companion, &frame), KOLV_COMPANION_OK);
  EXPECT_EQ(frame.width, 320u);
  EXPECT_EQ(frame.height, 240u);
  EXPECT_EQ(frame.bytes_per_row, 1280u);
  std::memset(frame.pixels, 0xFF, std::size_t{frame.bytes_per_row} * frame.height);
  ASSERT_EQ(kolv_companion_publish(companion), KOLV_COMPANION_OK);
  const auto idBytes = readBytes(container("group.c") / "kolvcamera_surface_id");
  std::uint32_t named = 0;
  std::memcpy(&named, idBytes.data(), 4);
  EXPECT_EQ(named, frame.surface_id);

  const double first = kolv_companion_last_timestamp(companion);
  ASSERT_EQ(kolv_companion_republish(companion), KOLV_COMPANION_OK);
  EXPECT_GT(kolv_companion_last_timestamp(companion), first);
  kolv_companion_close(companion);
}

TEST_F(CInterfaceTest, TellsWhetherTheCameraWatchesAndTakesAHoldTime) {
  kolv_companion* companion = kolv_companion_open("group.w", nullptr, 64, 36, nullptr);
  ASSERT_NE(companion, nullptr);
  EXPECT_EQ(kolv_companion_set_hold_time(companion, -1), KOLV_COMPANION_INVALID_ARGUMENT);
  EXPECT_EQ(kolv_companion_set_hold_time(companion, std::nan("")), KOLV_COMPANION_INVALID_ARGUMENT);
  EXPECT_EQ(kolv_companion_set_hold_time(companion, HUGE_VAL), KOLV_COMPANION_INVALID_ARGUMENT);
  EXPECT_EQ(kolv_companion_set_hold_time(nullptr, 1), KOLV_COMPANION_INVALID_ARGUMENT);
  // The longest hold is just below the documented limit, and a refusal says what the limit is.
  EXPECT_EQ(kolv_companion_set_hold_time(companion, KOLV_COMPANION_MAX_HOLD_SECONDS * 0.999), KOLV_COMPANION_OK);
  EXPECT_EQ(kolv_companion_set_hold_time(companion, KOLV_COMPANION_MAX_HOLD_SECONDS), KOLV_COMPANION_INVALID_ARGUMENT);
  EXPECT_NE(std::string(kolv_companion_last_error(companion)).find("below 9e9 s"), std::string::npos)
      << kolv_companion_last_error(companion);
  EXPECT_NE(std::string(kolv_companion_last_error(companion)).find("hold time 9e+09 s refused"), std::string::npos)
      << kolv_companion_last_error(companion);
  EXPECT_EQ(kolv_companion_set_hold_time(companion, 60), KOLV_COMPANION_OK);

  std::vector<std::uint8_t> picture(64 * 4 * 36, 0x33);
  ASSERT_EQ(kolv_companion_publish_bgra(companion, picture.data(), picture.size(), 64 * 4), KOLV_COMPANION_OK);
  EXPECT_EQ(kolv_companion_watched(companion), 0);
  const double published = kolv_companion_last_timestamp(companion);
  // Reads as the camera does on each tick, until the watcher has seen one (the real clock
  // runs here: a read counts for 200 ms).
  EXPECT_TRUE(eventually([&] {
    readBytes(container("group.w") / "kolvcamera_frame_meta");
    return kolv_companion_watched(companion) == 1;
  }));
  EXPECT_GT(kolv_companion_last_timestamp(companion), published);  // re-stamped for the next tick
  EXPECT_EQ(kolv_companion_watched(nullptr), 0);
  kolv_companion_close(companion);
}

TEST_F(CInterfaceTest, ReportsFailuresAsCodes) {
  int status = 0;
  EXPECT_EQ(kolv_companion_open("", nullptr, 0, 0, &status), nullptr);
  EXPECT_EQ(status, KOLV_COMPANION_INVALID_APP_GROUP);
  EXPECT_EQ(kolv_companion_open("a/b", nullptr, 0, 0, &status), nullptr);
  EXPECT_EQ(status, KOLV_COMPANION_INVALID_APP_GROUP);
  EXPECT_EQ(kolv_companion_open(nullptr, (root_ / "missing.plist").c_str(), 0, 0, &status), nullptr);
  EXPECT_EQ(status, KOLV_COMPANION_INVALID_INFO_PLIST);
  EXPECT_EQ(kolv_companion_open(nullptr, nullptr, 0, 100, &status), nullptr);
  EXPECT_EQ(status, KOLV_COMPANION_INVALID_ARGUMENT);

  kolv_companion* first = kolv_companion_open(nullptr, nullptr, 0, 0, &status);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(kolv_companion_open(nullptr, nullptr, 0, 0, &status), nullptr);
  EXPECT_EQ(status, KOLV_COMPANION_GROUP_IN_USE);
  kolv_companion_close(first);

  ::unsetenv("XDG_RUNTIME_DIR");
  if (!fs::is_directory("/run/user/" + std::to_string(::geteuid()))) {
    EXPECT_EQ(kolv_companion_open(nullptr, nullptr, 0, 0, &status), nullptr);
    EXPECT_EQ(status, KOLV_COMPANION_NO_RUNTIME_DIRECTORY);
  }

  EXPECT_EQ(kolv_companion_begin_frame(nullptr, nullptr), KOLV_COMPANION_INVALID_ARGUMENT);
  kolv_companion_close(nullptr);
  EXPECT_STREQ(kolv_companion_status_string(KOLV_COMPANION_GROUP_IN_USE),
               "another companion is publishing to this app group");
  EXPECT_STREQ(kolv_companion_status_string(12345), "unknown status");
}

// BUSY means "try again"; a surface that cannot be made at all is another status.
TEST_F(CInterfaceTest, ASurfaceThatCannotBeMadeIsNotBusy) {
  int status = -100;
  kolv_companion* companion = kolv_companion_open(nullptr, nullptr, 0, 0, &status);
  ASSERT_NE(companion, nullptr) << kolv_companion_status_string(status);
  std::vector<std::uint8_t> picture(5120 * 720, 0x5A);
  // The registry refuses new surfaces; pictures in quick succession soon need one.
  const fs::path registry = root_ / "kolv-surfaces";
  fs::permissions(registry, fs::perms::others_write, fs::perm_options::add);
  int result = KOLV_COMPANION_OK;
  for (int i = 0; i < 100 && result == KOLV_COMPANION_OK; ++i) {
    result = kolv_companion_publish_bgra(companion, picture.data(), picture.size(), 5120);
  }
  EXPECT_EQ(result, KOLV_COMPANION_SURFACE_UNAVAILABLE);
  EXPECT_NE(std::strstr(kolv_companion_last_error(companion), "writable by other users"), nullptr)
      << kolv_companion_last_error(companion);
  kolv_companion_frame frame{};
  EXPECT_EQ(kolv_companion_begin_frame(companion, &frame), KOLV_COMPANION_SURFACE_UNAVAILABLE);
  fs::permissions(registry, fs::perms::others_write, fs::perm_options::remove);
  kolv_companion_close(companion);
}

// The planes a C producer draws in, for each format, where the camera reads them: planar
// formats put their chroma right after the Y plane, 'I420' with rows half as long.
TEST_F(CInterfaceTest, DescribesThePlanesOfEachPixelFormat) {
  struct Expected {
    uint32_t format;
    uint32_t planeCount;
    std::vector<std::array<std::size_t, 4>> planes;  // offset, bytes per row, rows, row bytes
  };
  const std::vector<Expected> cases = {
      {KOLV_PIXEL_FORMAT_BGRA, 1, {{0, 5120, 720, 5120}}},
      {KOLV_PIXEL_FORMAT_ABGR, 1, {{0, 5120, 720, 5120}}},
      {KOLV_PIXEL_FORMAT_NV12, 2, {{0, 1280, 720, 1280}, {921600, 1280, 360, 1280}}},
      {KOLV_PIXEL_FORMAT_I420, 3, {{0, 1280, 720, 1280}, {921600, 640, 360, 640}, {1152000, 640, 360, 640}}},
      {KOLV_PIXEL_FORMAT_YUY2, 1, {{0, 2560, 720, 2560}}},
      {KOLV_PIXEL_FORMAT_UYVY, 1, {{0, 2560, 720, 2560}}},
  };
  for (const Expected& expected : cases) {
    SCOPED_TRACE(expected.format);
    int status = -100;
    kolv_companion* companion = kolv_companion_open_format(nullptr, nullptr, 0, 0, expected.format, &status);
    ASSERT_NE(companion, nullptr) << kolv_companion_status_string(status);
    EXPECT_EQ(kolv_companion_pixel_format(companion), expected.format);
    kolv_companion_planes frame{};
    ASSERT_EQ(kolv_companion_begin_frame_planes(companion, &frame), KOLV_COMPANION_OK);
    EXPECT_EQ(frame.pixel_format, expected.format);
    EXPECT_EQ(frame.width, 1280u);
    EXPECT_EQ(frame.height, 720u);
    ASSERT_EQ(frame.plane_count, expected.planeCount);
    const auto& last = expected.planes.back();
    EXPECT_EQ(frame.size, last[0] + last[1] * last[2]);
    for (std::size_t i = 0; i < frame.plane_count; ++i) {
      const kolv_companion_plane& plane = frame.planes[i];
      EXPECT_EQ(plane.offset, expected.planes[i][0]) << i;
      EXPECT_EQ(plane.data, frame.pixels + plane.offset) << i;
      EXPECT_EQ(plane.bytes_per_row, expected.planes[i][1]) << i;
      EXPECT_EQ(plane.rows, expected.planes[i][2]) << i;
      EXPECT_EQ(plane.row_bytes, expected.planes[i][3]) << i;
    }
    // The whole canvas is writable memory of the surface.
    std::memset(frame.pixels, 0x80, frame.size);
    // The older call describes the first plane of the same canvas.
    kolv_companion_frame first{};
    ASSERT_EQ(kolv_companion_begin_frame(companion, &first), KOLV_COMPANION_OK);
    EXPECT_EQ(first.pixels, frame.pixels);
    EXPECT_EQ(first.bytes_per_row, frame.planes[0].bytes_per_row);
    EXPECT_EQ(first.surface_id, frame.surface_id);
    EXPECT_EQ(kolv_companion_publish(companion), KOLV_COMPANION_OK);
    if (expected.format != KOLV_PIXEL_FORMAT_BGRA) {
      std::vector<std::uint8_t> picture(5120 * 720);
      EXPECT_EQ(kolv_companion_publish_bgra(companion, picture.data(), picture.size(), 5120),
                KOLV_COMPANION_INVALID_ARGUMENT);
      EXPECT_NE(std::strstr(kolv_companion_last_error(companion), "'BGRA'"), nullptr);
    }
    kolv_companion_close(companion);
  }
}

TEST_F(CInterfaceTest, OpensInTheDefaultFormatAndRefusesOthers) {
  kolv_companion* companion = kolv_companion_open(nullptr, nullptr, 0, 0, nullptr);
  ASSERT_NE(companion, nullptr);
  EXPECT_EQ(kolv_companion_pixel_format(companion), KOLV_PIXEL_FORMAT_BGRA);
  kolv_companion_close(companion);
  companion = kolv_companion_open_format(nullptr, nullptr, 0, 0, 0, nullptr);
  ASSERT_NE(companion, nullptr);
  EXPECT_EQ(kolv_companion_pixel_format(companion), KOLV_PIXEL_FORMAT_BGRA);
  kolv_companion_close(companion);

  // Codes the camera cannot show, and its own aliases, which the library does not write.
  for (const uint32_t format : {0x52474232u /* 'RGB2' */, 0x34323076u /* '420v' */, 0x00000020u, 1u}) {
    int status = 0;
    EXPECT_EQ(kolv_companion_open_format(nullptr, nullptr, 0, 0, format, &status), nullptr) << format;
    EXPECT_EQ(status, KOLV_COMPANION_INVALID_ARGUMENT) << format;
  }
  EXPECT_TRUE(fs::is_empty(root_ / "kolv-surfaces"));
}

// The cue through the C interface, on the system clock: nothing reads, so it paces.
TEST_F(CInterfaceTest, WaitsForACueAndRefusesBadTimes) {
  kolv_companion* companion = kolv_companion_open(nullptr, nullptr, 64, 36, nullptr);
  ASSERT_NE(companion, nullptr);
  EXPECT_EQ(kolv_companion_wait_for_cue(companion, 0.005, 1), KOLV_COMPANION_NOT_WATCHED);
  ASSERT_EQ(kolv_companion_set_frame_rate(companion, 0.5), KOLV_COMPANION_OK);
  // The next cue is 2 s away.
  EXPECT_EQ(kolv_companion_wait_for_cue(companion, 0, 0.001), KOLV_COMPANION_TIMED_OUT);
  for (const auto& [draw, timeout] :
       std::vector<std::pair<double, double>>{{-0.001, 1}, {0, -1}, {NAN, 1}, {0, INFINITY}, {3600, 1}}) {
    EXPECT_EQ(kolv_companion_wait_for_cue(companion, draw, timeout), KOLV_COMPANION_INVALID_ARGUMENT)
        << draw << " " << timeout;
  }
  EXPECT_NE(std::strstr(kolv_companion_last_error(companion), "below an hour"), nullptr);
  EXPECT_EQ(kolv_companion_set_frame_rate(companion, 0), KOLV_COMPANION_INVALID_ARGUMENT);
  EXPECT_EQ(kolv_companion_set_frame_rate(companion, 1001), KOLV_COMPANION_INVALID_ARGUMENT);
  EXPECT_EQ(kolv_companion_wait_for_cue(nullptr, 0, 0), KOLV_COMPANION_INVALID_ARGUMENT);
  EXPECT_STRNE(kolv_companion_status_string(KOLV_COMPANION_TIMED_OUT), "unknown status");
  kolv_companion_close(companion);
}

}  // namespace
}  // namespace kolv::companion::test
