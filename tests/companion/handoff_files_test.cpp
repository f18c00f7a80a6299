// The hand-off files replaced in one step (their bytes: tests/handoff/file_formats_test.cpp).
#include "handoff_files.h"

#include <atomic>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "companion_fixture.h"

namespace kolv::companion::test {
namespace {

class ReplaceFileTest : public CompanionTest {
 protected:
  std::vector<std::string> namesInRoot() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root_)) names.push_back(entry.path().filename());
    return names;
  }
};

TEST_F(ReplaceFileTest, WritesExactlyTheBytesAndLeavesNoTemporaryFile) {
  std::string reason;
  ASSERT_EQ(replaceFile(root_, "kolvcamera_frame_meta", encodeTimestamp(1.0), reason), 0) << reason;
  ASSERT_EQ(replaceFile(root_, "kolvcamera_frame_meta", encodeSurfaceID(7), reason), 0) << reason;
  EXPECT_EQ(readBytes(root_ / "kolvcamera_frame_meta"), bytesOf({7, 0, 0, 0}));
  EXPECT_EQ(namesInRoot(), std::vector<std::string>{"kolvcamera_frame_meta"});
}

TEST_F(ReplaceFileTest, FailureKeepsTheOldFileAndCleansUp) {
  std::string reason;
  ASSERT_EQ(replaceFile(root_, "kolvcamera_surface_id", encodeSurfaceID(1), reason), 0);
  // A folder in the way: the rename fails after the temporary file was written.
  std::filesystem::create_directory(root_ / "blocked");
  std::filesystem::create_directory(root_ / "blocked" / "inside");
  EXPECT_NE(replaceFile(root_, "blocked", encodeSurfaceID(2), reason), 0);
  EXPECT_NE(reason.find("blocked"), std::string::npos) << reason;
  EXPECT_EQ(replaceFile(root_ / "missing", "kolvcamera_surface_id", encodeSurfaceID(3), reason), ENOENT);

  EXPECT_EQ(readBytes(root_ / "kolvcamera_surface_id"), bytesOf({1, 0, 0, 0}));
  auto names = namesInRoot();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"blocked", "kolvcamera_surface_id"}));
}

// A reader that opens the file while it is being replaced sees the old bytes or the new
// ones, never an empty or partly written file.
TEST_F(ReplaceFileTest, ReadersNeverSeeAPartialFile) {
  const auto first = encodeTimestamp(1.0);
  const auto second = encodeTimestamp(2.0);
  std::string reason;
  ASSERT_EQ(replaceFile(root_, "kolvcamera_frame_meta", first, reason), 0);

  std::atomic<bool> writing{true};
  std::thread writer([&] {
    std::string writerReason;
    for (int i = 0; i < 3000; ++i) {
      if (replaceFile(root_, "kolvcamera_frame_meta", i % 2 ? first : second, writerReason) != 0) break;
    }
    writing = false;
  });
  int reads = 0;
  int torn = 0;
  while (writing || reads == 0) {
    const auto content = readSmallFile(root_ / "kolvcamera_frame_meta", 64);
    ++reads;
    const auto bytes =
        content ? std::as_bytes(std::span(content->data(), content->size())) : std::span<const std::byte>{};
    if (!(std::ranges::equal(bytes, first) || std::ranges::equal(bytes, second))) ++torn;
  }
  writer.join();
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
}

TEST_F(ReplaceFileTest, ReadSmallFileRefusesOversizedAndSpecialFiles) {
  std::ofstream(root_ / "nine") << "123456789";
  EXPECT_EQ(readSmallFile(root_ / "nine", 9), "123456789");
  EXPECT_FALSE(readSmallFile(root_ / "nine", 8));
  EXPECT_FALSE(readSmallFile(root_, 8));
  EXPECT_FALSE(readSmallFile(root_ / "absent", 8));
}

}  // namespace
}  // namespace kolv::companion::test
