// --check's V4L2 loopback lines on a made-up sysfs: each way the device can be missing is a
// warning with the command that mends it, and a device found is named by node and label.
#include "app/loopback_check.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temporary_folder.h"

namespace kolv {
namespace {

using Status = CheckItem::Status;

TEST(LoopbackCheckTest, MissingModuleOrDeviceIsAWarningWithTheFixAndAFoundDeviceIsNamed) {
  const test::TemporaryFolder root("kolv-loopback-check");
  const LoopbackCheckPlaces places{root / "module", root / "class", root / "dev"};
  std::filesystem::create_directories(root / "class" / "video3");
  std::filesystem::create_directories(root / "dev");
  root.write("class/video3/name", "Other Camera\n");

  EXPECT_EQ(checkLoopback("off", places).front().status, Status::skipped);

  auto items = checkLoopback("", places);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].status, Status::warning);
  EXPECT_NE(items[0].text.find("not loaded"), std::string::npos) << items[0].text;
  EXPECT_NE(items[0].fix.find("card_label=\"Kolv Camera\" exclusive_caps=1"), std::string::npos) << items[0].fix;

  std::filesystem::create_directories(root / "module");
  root.write("module/version", "0.12.7\n");
  items = checkLoopback("", places);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].text, "V4L2 loopback: module loaded (0.12.7), no device labelled \"Kolv Camera\"");

  std::filesystem::create_directories(root / "class" / "video12");
  root.write("class/video12/name", "Kolv Camera\n");
  root.write("dev/video12", "");
  items = checkLoopback("", places);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].status, Status::ok);
  EXPECT_EQ(items[0].text,
            "V4L2 loopback: module loaded (0.12.7), device " + (root / "dev/video12").string() + " \"Kolv Camera\"");
  EXPECT_EQ(items[1].status, Status::warning);
  EXPECT_NE(items[1].text.find("is not written by the camera (nobody holds it open)"), std::string::npos);

  // A node named by the setting is used as it is, label or not.
  root.write("dev/video3", "");
  items = checkLoopback((root / "dev/video3").string(), places);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_NE(items[0].text.find("\"Other Camera\""), std::string::npos) << items[0].text;
  EXPECT_EQ(checkLoopback((root / "dev/video9").string(), places).front().status, Status::warning);
}

}  // namespace
}  // namespace kolv
