// The Info dictionary's reading on a small thread: nesting and shared objects are bounded
// before libplist, whose parser recurses once a level, sees the file.
#include "handoff/info_dictionary.h"

#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include "support/temporary_folder.h"

namespace kolv::handoff {
namespace {

namespace fs = std::filesystem;

// Binary property lists with 2-byte offsets and references, object 0 at the top.
std::string be16(std::size_t value) { return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)}; }
std::string be64(std::size_t value) {
  std::string bytes;
  for (int shift = 56; shift >= 0; shift -= 8) bytes += static_cast<char>((value >> shift) & 0xFF);
  return bytes;
}
std::string container(unsigned char kind, const std::vector<std::size_t>& refs, std::size_t count) {
  std::string bytes;
  if (count < 15) {
    bytes += static_cast<char>(kind | count);
  } else {
    bytes += static_cast<char>(kind | 0x0F);
    bytes += '\x11' + be16(count);
  }
  for (std::size_t ref : refs) bytes += be16(ref);
  return bytes;
}
std::string array(const std::vector<std::size_t>& refs) { return container(0xA0, refs, refs.size()); }
std::string dictionary(std::size_t key, std::size_t value) { return container(0xD0, {key, value}, 1); }
std::string ascii(const std::string& text) { return static_cast<char>(0x50 | text.size()) + text; }
std::string binaryPlist(const std::vector<std::string>& objects) {
  std::string bytes = "bplist00";
  std::vector<std::size_t> offsets;
  for (const std::string& object : objects) {
    offsets.push_back(bytes.size());
    bytes += object;
  }
  const std::size_t table = bytes.size();
  for (std::size_t offset : offsets) bytes += be16(offset);
  return bytes + std::string(6, '\0') + "\x02\x02" + be64(objects.size()) + be64(0) + be64(table);
}

// { "k": [[[...]]] }: a dictionary, then `arrays` arrays one inside the next.
std::string nestedBinary(std::size_t arrays) {
  std::vector<std::string> objects{dictionary(1, 2), ascii("k")};
  for (std::size_t i = 0; i < arrays; ++i) {
    objects.push_back(i + 1 < arrays ? array({objects.size() + 1}) : array({}));
  }
  return binaryPlist(objects);
}
std::string nestedXml(std::size_t arrays) {
  std::string text = "<?xml version=\"1.0\"?><!-- <array> --><plist version=\"1.0\"><dict><key>k</key>";
  for (std::size_t i = 0; i < arrays; ++i) text += "<array>";
  text += "<string>deep</string>";
  for (std::size_t i = 0; i < arrays; ++i) text += "</array>";
  return text + "</dict></plist>";
}

// Runs `body` on a thread of its own with `stackBytes` of stack, as a companion's small
// worker thread would.
void onThreadWithStack(std::size_t stackBytes, const std::function<void()>& body) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, stackBytes), 0);
  pthread_t thread;
  auto run = [](void* argument) -> void* {
    (*static_cast<const std::function<void()>*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&body)), 0);
  pthread_attr_destroy(&attributes);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
}

class InfoDictionaryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(folder_.path().empty()); }

  fs::path write(const std::string& name, const std::string& bytes) { return folder_.write(name, bytes); }

  // Reads `path` on a 128 KiB thread: whether it was read, and the reason when not.
  std::pair<bool, std::string> readOnSmallThread(const fs::path& path) {
    bool read = false;
    std::string reason;
    onThreadWithStack(128 * 1024, [&] { read = InfoDictionary::read(path, reason).has_value(); });
    return {read, reason};
  }

  test::TemporaryFolder folder_{"kolv-info"};
};

TEST_F(InfoDictionaryTest, DeepNestingUnderTheSizeCapIsRefusedOnASmallThread) {
  // 13,090 levels are the most that 2-byte references fit in 64 KiB.
  const std::string deepest = nestedBinary(13090);
  ASSERT_LE(deepest.size(), InfoDictionary::kMaxBytes);
  const std::string xml = nestedXml(4000);
  ASSERT_LE(xml.size(), InfoDictionary::kMaxBytes);
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, std::string>>{
           {"2000.bplist", nestedBinary(2000)}, {"13090.bplist", deepest}, {"4000.plist", xml}}) {
    const auto [read, reason] = readOnSmallThread(write(name, bytes));
    EXPECT_FALSE(read) << name;
    EXPECT_NE(reason.find(name + ": arrays and dictionaries nested more than 64 deep"), std::string::npos)
        << name << ": " << reason;
  }
}

TEST_F(InfoDictionaryTest, SixtyFourLevelsAreReadAndSixtyFiveAreNot) {
  // The root dictionary is the first level.
  for (const auto& [name, bytes] :
       std::vector<std::pair<std::string, std::string>>{{"63.bplist", nestedBinary(63)}, {"63.plist", nestedXml(63)}}) {
    const auto [read, reason] = readOnSmallThread(write(name, bytes));
    EXPECT_TRUE(read) << name << ": " << reason;
  }
  std::string reason;
  const auto dictionary = InfoDictionary::read(write("63-main.bplist", nestedBinary(63)), reason);
  ASSERT_TRUE(dictionary) << reason;
  EXPECT_EQ(plist_get_node_type(dictionary->find("k")), PLIST_ARRAY);
  for (const auto& [name, bytes] :
       std::vector<std::pair<std::string, std::string>>{{"64.bplist", nestedBinary(64)}, {"64.plist", nestedXml(64)}}) {
    const auto [read, why] = readOnSmallThread(write(name, bytes));
    EXPECT_FALSE(read) << name;
    EXPECT_NE(why.find("nested more than 64 deep"), std::string::npos) << why;
  }
}

TEST_F(InfoDictionaryTest, SharedObjectsThatExpandTooFarAreRefused) {
  // 20 arrays of two references to the next: 2^20 values once expanded, in 150 bytes.
  std::vector<std::string> objects{dictionary(1, 2), ascii("k")};
  for (std::size_t i = 0; i < 20; ++i) {
    objects.push_back(i + 1 < 20 ? array({objects.size() + 1, objects.size() + 1}) : array({}));
  }
  const auto [read, reason] = readOnSmallThread(write("shared.bplist", binaryPlist(objects)));
  EXPECT_FALSE(read);
  EXPECT_NE(reason.find("values once its shared objects are expanded"), std::string::npos) << reason;
}

TEST_F(InfoDictionaryTest, BrokenObjectTablesAreNotPropertyLists) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"cycle", binaryPlist({dictionary(1, 2), ascii("k"), array({3}), array({2})})},
      {"reference out of range", binaryPlist({dictionary(1, 2), ascii("k"), array({9})})},
      {"count beyond the file", binaryPlist({dictionary(1, 2), ascii("k"), container(0xA0, {}, 200)})},
      {"trailer only", std::string("bplist00") + std::string(32, '\0')},
  };
  for (const auto& [name, bytes] : cases) {
    const auto [read, reason] = readOnSmallThread(write("broken.bplist", bytes));
    EXPECT_FALSE(read) << name;
    EXPECT_NE(reason.find("not a property list"), std::string::npos) << name << ": " << reason;
  }
}

}  // namespace
}  // namespace kolv::handoff
