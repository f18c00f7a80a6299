// Taking a loopback device and writing into it, against a fake kernel: the device found by its
// label, each way it can be unusable (one log line per problem, not one per attempt), and the
// device taken again after it failed.
#include "platform/v4l2loopback/loopback_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "support/fake_foundation.h"
#include "v4l2loopback/fake_device_calls.h"

namespace kolv::v4l2loopback {
namespace {

namespace fs = std::filesystem;
using testing::FakeCalls;

class LoopbackWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("kolv-v4l2-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "class");
    options_.sysfsClass = root_ / "class";
    options_.devices = "/dev";
    options_.width = 32;
    options_.height = 16;
  }
  void TearDown() override { fs::remove_all(root_); }

  void addDevice(const std::string& node, const std::string& label) {
    fs::create_directories(root_ / "class" / node);
    std::ofstream(root_ / "class" / node / "name") << label << "\n";
  }
  std::vector<std::string> errors() const {
    std::vector<std::string> messages;
    for (const auto& line : log_.lines()) messages.push_back(line.message);
    return messages;
  }

  fs::path root_;
  WriterOptions options_;
  FakeCalls calls_;
  test::CapturingLog log_;
};

TEST_F(LoopbackWriterTest, TakesTheLowestNumberedDeviceWithTheLabelAndWritesAGreyFrame) {
  addDevice("video0", "Integrated Camera");
  addDevice("video12", "Kolv Camera");
  addDevice("video3", "Kolv Camera");
  addDevice("video1", "Kolv Camera Two");
  LoopbackWriter writer(log_, options_, calls_);

  ASSERT_EQ(writer.take(), TakeResult::taken);
  EXPECT_TRUE(writer.holding());
  EXPECT_EQ(writer.path(), "/dev/video3");
  ASSERT_TRUE(calls_.setFormat);
  EXPECT_EQ(calls_.setFormat->pixelformat, V4L2_PIX_FMT_YUYV);
  EXPECT_EQ(calls_.setFormat->width, 32u);
  EXPECT_EQ(calls_.setFormat->height, 16u);
  ASSERT_TRUE(calls_.rate);
  EXPECT_EQ(calls_.rate->numerator, 1u);
  EXPECT_EQ(calls_.rate->denominator, 30u);
  // Without a first frame, exclusive_caps=1 would not offer the device to readers.
  ASSERT_EQ(calls_.written.size(), 1u);
  EXPECT_EQ(calls_.written[0].size(), 32u * 16 * 2);
  EXPECT_EQ(static_cast<int>(calls_.written[0][0]), 71);  // grey's Y
  EXPECT_TRUE(errors().empty());

  // Held: taking again opens nothing.
  EXPECT_EQ(writer.take(), TakeResult::taken);
  EXPECT_EQ(calls_.opened.size(), 1u);
}

TEST_F(LoopbackWriterTest, MissingDeviceIsOneLineUntilItAppears) {
  LoopbackWriter writer(log_, options_, calls_);
  EXPECT_EQ(writer.take(), TakeResult::missing);
  EXPECT_EQ(writer.take(), TakeResult::missing);
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_NE(errors()[0].find("no v4l2loopback device labelled \"Kolv Camera\""), std::string::npos) << errors()[0];
  EXPECT_TRUE(calls_.opened.empty());

  addDevice("video10", "Kolv Camera");
  EXPECT_EQ(writer.take(), TakeResult::taken);

  // A node named in the settings that does not exist.
  options_.device = "/dev/video77";
  calls_.openError = ENOENT;
  LoopbackWriter byPath(log_, options_, calls_);
  EXPECT_EQ(byPath.take(), TakeResult::missing);
  EXPECT_EQ(calls_.opened.back(), "/dev/video77");
  EXPECT_NE(errors().back().find("/dev/video77 does not exist"), std::string::npos) << errors().back();
}

TEST_F(LoopbackWriterTest, RefusesDevicesThatAreNotLoopbackOrHeldByAnotherWriter) {
  options_.device = "/dev/video0";
  calls_.driver = "uvcvideo";
  LoopbackWriter camera(log_, options_, calls_);
  EXPECT_EQ(camera.take(), TakeResult::unusable);
  EXPECT_FALSE(camera.holding());
  EXPECT_NE(errors().back().find("not a v4l2loopback device (its driver is \"uvcvideo\")"), std::string::npos);

  calls_.driver = "v4l2 loopback";
  calls_.deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;  // another writer is attached
  LoopbackWriter writer(log_, options_, calls_);
  EXPECT_EQ(writer.take(), TakeResult::busy);
  EXPECT_EQ(writer.take(), TakeResult::busy);
  EXPECT_FALSE(writer.holding());
  EXPECT_NE(errors().back().find("held by another writer"), std::string::npos) << errors().back();
  EXPECT_EQ(errors().size(), 2u);
  EXPECT_TRUE(calls_.written.empty());

  // That writer wrote without streaming and let go: the device offers neither capture nor
  // output until a streaming writer has held it and closed it.
  calls_.deviceCaps = V4L2_CAP_READWRITE | V4L2_CAP_STREAMING;
  const std::size_t opens = calls_.opened.size();
  EXPECT_EQ(writer.take(), TakeResult::taken);
  EXPECT_EQ(calls_.opened.size(), opens + 2);  // marked as streamed and closed, then opened again
  EXPECT_TRUE(calls_.streaming);
  EXPECT_EQ(calls_.written.size(), 1u);
}

TEST_F(LoopbackWriterTest, AFormatKeptFromAnEarlierWriterOrAnErrorIsARefusal) {
  options_.device = "/dev/video10";
  options_.format = LoopbackFormat::nv12;
  v4l2_pix_format kept{};
  kept.pixelformat = V4L2_PIX_FMT_YUYV;
  kept.width = 640;
  kept.height = 480;
  calls_.keptFormat = kept;
  LoopbackWriter writer(log_, options_, calls_);
  EXPECT_EQ(writer.take(), TakeResult::refused);
  EXPECT_FALSE(writer.holding());
  EXPECT_TRUE(calls_.written.empty());
  EXPECT_NE(errors().back().find("refuses NV12 32x16 at 30 fps (it keeps YUYV 640x480"), std::string::npos)
      << errors().back();

  // Same size, other format: still refused.
  kept.width = 32;
  kept.height = 16;
  calls_.keptFormat = kept;
  EXPECT_EQ(writer.take(), TakeResult::refused);

  calls_.keptFormat.reset();
  calls_.formatError = EINVAL;
  EXPECT_EQ(writer.take(), TakeResult::refused);
  EXPECT_NE(errors().back().find("refuses NV12 32x16 at 30 fps: Invalid argument"), std::string::npos);

  calls_.formatError = 0;
  EXPECT_EQ(writer.take(), TakeResult::taken);
  EXPECT_EQ(calls_.setFormat->pixelformat, V4L2_PIX_FMT_NV12);
  EXPECT_EQ(calls_.written.back().size(), 32u * 16 * 3 / 2);
}

TEST_F(LoopbackWriterTest, AFailedWriteLetsTheDeviceGoAndItIsTakenAgain) {
  addDevice("video10", "Kolv Camera");
  LoopbackWriter writer(log_, options_, calls_);
  ASSERT_EQ(writer.take(), TakeResult::taken);
  const std::vector<std::byte> frame(32 * 16 * 2, std::byte{0x10});
  EXPECT_TRUE(writer.write(frame));
  EXPECT_EQ(calls_.written.back(), frame);

  calls_.writeError = ENODEV;
  EXPECT_FALSE(writer.write(frame));
  EXPECT_FALSE(writer.holding());
  EXPECT_FALSE(writer.write(frame));
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_NE(errors()[0].find("writing to /dev/video10 failed (No such device)"), std::string::npos) << errors()[0];

  calls_.writeError = 0;
  EXPECT_EQ(writer.take(), TakeResult::taken);
  EXPECT_EQ(calls_.opened.size(), 2u);
  EXPECT_TRUE(writer.write(frame));
}

TEST(DeviceLabelTest, OnlyVideoNodesWithTheExactLabelMatch) {
  const fs::path root = fs::temp_directory_path() / ("kolv-v4l2-label-" + std::to_string(::getpid()));
  fs::remove_all(root);
  for (const auto& [node, label] : {std::pair{"video5", "Kolv Camera2"},
                                    {"vbi0", "Kolv Camera"},
                                    {"videoX", "Kolv Camera"},
                                    {"video", "Kolv Camera"}}) {
    fs::create_directories(root / node);
    std::ofstream(root / node / "name") << label << "\n";
  }
  EXPECT_EQ(findDeviceByLabel("Kolv Camera", root, "/dev"), std::nullopt);
  fs::create_directories(root / "video7");
  std::ofstream(root / "video7" / "name") << "Kolv Camera\n";
  EXPECT_EQ(findDeviceByLabel("Kolv Camera", root, "/dev"), fs::path("/dev/video7"));
  EXPECT_EQ(findDeviceByLabel("Kolv Camera", root / "absent", "/dev"), std::nullopt);
  fs::remove_all(root);
}

}  // namespace
}  // namespace kolv::v4l2loopback
