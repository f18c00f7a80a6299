#include "platform/linux/info_plist_bundle.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include "support/temporary_folder.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/binary_plist.h"
#include "support/fake_foundation.h"

namespace kolv {
namespace {

namespace fs = std::filesystem;

InfoValue str(const char* text) { return {std::string(text)}; }
InfoValue num(std::int64_t n) { return {n}; }
InfoValue arr(std::vector<InfoValue> items) { return {std::move(items)}; }

std::string plist(const std::string& dictBody) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\"><dict>" +
         dictBody + "</dict></plist>\n";
}

class InfoPlistBundleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  fs::path write(const std::string& contents, const std::string& name = "Info.plist") {
    return dir_.write(name, contents);
  }

  test::TemporaryFolder dir_{"kolv-info"};
};

constexpr const char* kAppGroupKey = "AppGroupIdentifier";
constexpr const char* kGroupsKey = "com.apple.security.application-groups";

// The Info dictionary shapes the camera's app-group choice depends on.
TEST_F(InfoPlistBundleTest, AppGroupKeysKeepTheirTypes) {
  struct Case {
    const char* what;
    std::string body;
    std::optional<InfoValue> appGroup;
    std::optional<InfoValue> groups;
  };
  const std::vector<Case> cases = {
      {"string beside an array",
       "<key>AppGroupIdentifier</key><string>group.a</string>"
       "<key>com.apple.security.application-groups</key><array><string>group.b</string></array>",
       str("group.a"), arr({str("group.b")})},
      {"empty string", "<key>AppGroupIdentifier</key><string></string>", str(""), std::nullopt},
      {"number and array of two strings",
       "<key>AppGroupIdentifier</key><integer>42</integer>"
       "<key>com.apple.security.application-groups</key>"
       "<array><string>group.first</string><string>group.second</string></array>",
       num(42), arr({str("group.first"), str("group.second")})},
      {"empty array", "<key>com.apple.security.application-groups</key><array/>", std::nullopt, arr({})},
      {"single string", "<key>com.apple.security.application-groups</key><string>group.only</string>", std::nullopt,
       str("group.only")},
      {"array of numbers",
       "<key>com.apple.security.application-groups</key><array><integer>1</integer><integer>2</integer></array>",
       std::nullopt, arr({num(1), num(2)})},
      {"neither key", "<key>CFBundleName</key><string>Kolv Camera</string>", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const InfoPlistBundle bundle(write(plist(c.body)));
    EXPECT_EQ(bundle.objectForInfoDictionaryKey(kAppGroupKey), c.appGroup);
    EXPECT_EQ(bundle.objectForInfoDictionaryKey(kGroupsKey), c.groups);
  }
}

TEST_F(InfoPlistBundleTest, EveryPlistTypeMapsToAValue) {
  const InfoPlistBundle bundle(
      write(plist("<key>negative</key><integer>-5</integer>"
                  "<key>big</key><integer>9223372036854775807</integer>"
                  "<key>real</key><real>0.5</real>"
                  "<key>yes</key><true/><key>no</key><false/>"
                  "<key>nested</key><array><array><string>deep</string></array><real>2.5</real></array>"
                  "<key>dict</key><dict><key>inner</key><string>x</string></dict>"
                  "<key>data</key><data>AAEC</data>"
                  "<key>date</key><date>2024-01-02T03:04:05Z</date>"
                  "<key>utf8</key><string>Kolv Caméra</string>")));

  EXPECT_EQ(bundle.objectForInfoDictionaryKey("negative"), num(-5));
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("big"), num(INT64_MAX));
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("real"), InfoValue{0.5});
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("yes"), InfoValue{true});
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("no"), InfoValue{false});
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("nested"), arr({arr({str("deep")}), InfoValue{2.5}}));
  for (const char* key : {"dict", "data", "date"}) {
    EXPECT_EQ(bundle.objectForInfoDictionaryKey(key), InfoValue{InfoValue::Other{}}) << key;
  }
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("utf8"), str("Kolv Caméra"));
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("inner"), std::nullopt);
  EXPECT_TRUE(bundle.loaded());
}

TEST_F(InfoPlistBundleTest, BinaryPlistIsRead) {
  // { "AppGroupIdentifier": "group.from.binary" } as bplist00: three objects, then the offset
  // table (one byte per offset), then the 32-byte trailer.
  std::string bytes = "bplist00";
  bytes += "\xD1\x01\x02";                                         // object 0: dictionary, key 1 -> value 2
  bytes += std::string("\x5F\x10\x12", 3) + "AppGroupIdentifier";  // object 1: 18-byte ASCII string
  bytes += std::string("\x5F\x10\x11", 3) + "group.from.binary";   // object 2: 17-byte ASCII string
  bytes += std::string("\x08\x0B\x20", 3);                         // offsets of the objects
  bytes += std::string(6, '\0') + "\x01\x01";                      // offset size 1, reference size 1
  bytes += std::string(7, '\0') + "\x03";                          // 3 objects
  bytes += std::string(8, '\0');                                   // top object 0
  bytes += std::string(7, '\0') + "\x34";                          // offset table at byte 52

  const InfoPlistBundle bundle(write(bytes));
  EXPECT_EQ(bundle.objectForInfoDictionaryKey(kAppGroupKey), str("group.from.binary"));
}

// Keys are looked up, never walked: libplist 2.2 aborts on an assertion when it walks past a
// key that is a UTF-16 string holding U+0000.
TEST_F(InfoPlistBundleTest, AKeyHoldingANulCharacterIsNeverTouched) {
  const std::string nulKey("\x61\x00\x00", 3);  // UTF-16 string of one character, U+0000
  const InfoPlistBundle bundle(
      write(test::binaryDictionary({{nulKey, test::asciiObject("x")},
                                    {test::asciiObject("AppGroupIdent"), test::asciiObject("group.nul")}}),
            "nul.bplist"));
  ASSERT_TRUE(bundle.loaded());
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("AppGroupIdent"), str("group.nul"));
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleName"), std::nullopt);
}

// 95,000 nested arrays (855 KB) overflow libplist's recursive parser; a real Info.plist is
// far below the cap that refuses them before parsing.
TEST_F(InfoPlistBundleTest, DeeplyNestedArraysAreRefusedBeforeParsing) {
  std::string nested = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key>";
  for (int i = 0; i < 95000; ++i) nested += "<array>";
  for (int i = 0; i < 95000; ++i) nested += "</array>";
  nested += "</dict></plist>";
  std::string reason;
  const InfoPlistBundle bundle(write(nested, "nested.plist"), &reason);
  EXPECT_FALSE(bundle.loaded());
  EXPECT_NE(reason.find("too large for an Info.plist"), std::string::npos) << reason;
}

TEST_F(InfoPlistBundleTest, UnusableFilesGiveNoKeys) {
  const std::string valid = plist("<key>AppGroupIdentifier</key><string>group.a</string>");
  struct Case {
    const char* what;
    fs::path path;
  };
  const std::vector<Case> cases = {
      {"missing", dir_ / "absent.plist"},
      {"empty", write("", "empty.plist")},
      {"not a plist", write("AppGroupIdentifier = group.a\n", "text.plist")},
      {"truncated XML", write(valid.substr(0, valid.size() / 2), "truncated.plist")},
      {"truncated binary", write(std::string("bplist00\xD1\x01\x02", 11), "truncated.bplist")},
      {"array at the root",
       write("<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>group.a</string></array></plist>",
             "array.plist")},
      {"over 64 KiB", write(valid + std::string(64 * 1024, ' '), "huge.plist")},
      {"a directory", dir_.path()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string reason;
    const InfoPlistBundle bundle(c.path, &reason);
    EXPECT_FALSE(bundle.loaded());
    EXPECT_NE(reason.find(c.path.string() + ": "), std::string::npos) << reason;
    EXPECT_EQ(bundle.objectForInfoDictionaryKey(kAppGroupKey), std::nullopt);
  }
}

TEST_F(InfoPlistBundleTest, MainBundleIsLoadedOnceAndShared) {
  const fs::path path = write(plist("<key>AppGroupIdentifier</key><string>group.first</string>"));
  InfoPlistBundleServices services(path);

  std::vector<NSBundleRef> seen(4);
  {
    std::vector<std::jthread> threads;
    for (auto& slot : seen) threads.emplace_back([&services, &slot] { slot = services.mainBundle(); });
  }
  write(plist("<key>AppGroupIdentifier</key><string>group.second</string>"));

  ASSERT_NE(seen[0], nullptr);
  for (const auto& bundle : seen) EXPECT_EQ(bundle, seen[0]);
  EXPECT_EQ(services.mainBundle(), seen[0]);
  EXPECT_EQ(services.mainBundle()->objectForInfoDictionaryKey(kAppGroupKey), str("group.first"));
}

TEST_F(InfoPlistBundleTest, ARefusedInfoPlistIsSaidOnceAndAMissingOneIsNot) {
  test::CapturingLog log;
  InfoPlistBundleServices refused(write("not a property list", "garbage.plist"), &log);
  EXPECT_EQ(refused.mainBundle()->objectForInfoDictionaryKey(kAppGroupKey), std::nullopt);
  refused.mainBundle();
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_NE(log.lines()[0].message.find("garbage.plist: not a property list"), std::string::npos)
      << log.lines()[0].message;

  InfoPlistBundleServices missing(dir_ / "absent.plist", &log);
  missing.mainBundle();
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(InfoPlistBundleTest, InfoPlistBesideExecutablePrefersTheInstalledCopy) {
  const fs::path bin = dir_ / "bin";
  fs::create_directories(bin);
  EXPECT_EQ(InfoPlistBundleServices::infoPlistBeside(bin / "kolv-camera"), bin / "Info.plist");

  fs::create_directories(dir_ / "share" / "kolv-camera");
  write("", "share/kolv-camera/Info.plist");
  EXPECT_EQ(InfoPlistBundleServices::infoPlistBeside(bin / "kolv-camera"),
            dir_ / "share" / "kolv-camera" / "Info.plist");
}

// The build copies resources/Info.plist beside this test executable.
TEST(InfoPlistBundleServicesTest, DefaultMainBundleIsTheCamerasInfoPlist) {
  InfoPlistBundleServices services;
  const NSBundleRef bundle = services.mainBundle();
  EXPECT_EQ(bundle->objectForInfoDictionaryKey(kAppGroupKey), str("group.kolv.vcamera"));
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleIdentifier"), str("com.kolv.camera.extension"));
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleName"), str("Kolv Camera"));
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleShortVersionString"), str("0.1.0"));
}

}  // namespace
}  // namespace kolv
