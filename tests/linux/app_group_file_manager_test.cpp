#include "platform/linux/app_group_file_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include "support/temporary_folder.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kolv {
namespace {

namespace fs = std::filesystem;

// Sets or clears an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  explicit ScopedEnv(const char* name) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  void set(const std::string& value) const { ::setenv(name_, value.c_str(), 1); }
  void clear() const { ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class AppGroupFileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(folder_.path().empty()); }

  fs::path write(const std::string& name, const std::string& contents) { return folder_.write(name, contents); }

  static std::vector<std::byte> bytes(const std::string& text) {
    std::vector<std::byte> out;
    for (char c : text) out.push_back(static_cast<std::byte>(c));
    return out;
  }

  test::TemporaryFolder folder_{"kolv-container"};
  const fs::path& dir_ = folder_.path();
};

TEST_F(AppGroupFileManagerTest, ContainerFollowsXdgRuntimeDirOnEveryCall) {
  const ScopedEnv xdg("XDG_RUNTIME_DIR");
  const AppGroupFileManager manager;

  xdg.set((dir_ / "one").string());
  EXPECT_EQ(manager.containerURLForSecurityApplicationGroupIdentifier("group.kolv.vcamera"),
            dir_ / "one" / "app-groups" / "group.kolv.vcamera");
  xdg.set((dir_ / "two").string());
  EXPECT_EQ(manager.containerURLForSecurityApplicationGroupIdentifier("group.kolv.vcamera"),
            dir_ / "two" / "app-groups" / "group.kolv.vcamera");
}

TEST_F(AppGroupFileManagerTest, UnusableXdgRuntimeDirFallsBackToRunUser) {
  const ScopedEnv xdg("XDG_RUNTIME_DIR");
  const fs::path runUser = fs::path("/run/user") / std::to_string(::geteuid());
  std::error_code error;
  const std::optional<fs::path> expected =
      fs::is_directory(runUser, error) ? std::optional(runUser / "app-groups" / "group.a") : std::nullopt;

  const AppGroupFileManager manager;
  for (const char* value : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
    SCOPED_TRACE(value ? value : "unset");
    if (value) {
      xdg.set(value);
    } else {
      xdg.clear();
    }
    EXPECT_EQ(manager.containerURLForSecurityApplicationGroupIdentifier("group.a"), expected);
  }
}

TEST_F(AppGroupFileManagerTest, GroupMustBeOnePlainPathComponent) {
  const AppGroupFileManager manager(dir_);
  for (const std::string& group : {std::string(""), std::string("."), std::string(".."), std::string("group/../x"),
                                   std::string("/etc"), std::string("group.a/"), std::string("group\0a", 7)}) {
    EXPECT_EQ(manager.containerURLForSecurityApplicationGroupIdentifier(group), std::nullopt) << group;
  }
  // Dots inside a name are fine, and the folder need not exist.
  EXPECT_EQ(manager.containerURLForSecurityApplicationGroupIdentifier("..group.a"), dir_ / "app-groups" / "..group.a");
}

TEST_F(AppGroupFileManagerTest, ReadsAtMostMaxLengthBytes) {
  const AppGroupFileManager manager(dir_);
  const fs::path file = write("kolvcamera_surface_id", std::string("\x2A\x00\x00\x00", 4));

  EXPECT_EQ(manager.contentsAtPath(file, 5), bytes(std::string("\x2A\x00\x00\x00", 4)));
  EXPECT_EQ(manager.contentsAtPath(file, 4), bytes(std::string("\x2A\x00\x00\x00", 4)));
  EXPECT_EQ(manager.contentsAtPath(file, 3), bytes(std::string("\x2A\x00\x00", 3)));
  EXPECT_EQ(manager.contentsAtPath(file, 0), std::vector<std::byte>{});
  EXPECT_EQ(manager.contentsAtPath(write("empty", ""), 9), std::vector<std::byte>{});
}

TEST_F(AppGroupFileManagerTest, HugeFileCostsOnlyMaxLength) {
  const fs::path file = dir_ / "huge";
  {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const bool grown = ::ftruncate(fd, off_t{1} << 30) == 0;  // 1 GiB, sparse
    ::close(fd);
    ASSERT_TRUE(grown);
  }
  const auto contents = AppGroupFileManager(dir_).contentsAtPath(file, 9);
  ASSERT_TRUE(contents.has_value());
  EXPECT_EQ(*contents, std::vector<std::byte>(9, std::byte{0}));
}

TEST_F(AppGroupFileManagerTest, EndlessFileCostsOnlyMaxLength) {
  // /proc files report size 0 and can be longer than one read chunk.
  const auto contents = readRegularFile("/proc/self/maps", 100'000);
  ASSERT_TRUE(contents.has_value());
  EXPECT_GT(contents->size(), 0u);
  EXPECT_LE(contents->size(), 100'000u);
}

TEST_F(AppGroupFileManagerTest, WhatIsNotARegularFileGivesNothing) {
  const AppGroupFileManager manager(dir_);
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  EXPECT_EQ(manager.contentsAtPath(fifo, 8), std::nullopt);  // returns at once, no writer needed
  EXPECT_EQ(manager.contentsAtPath(dir_, 8), std::nullopt);
  EXPECT_EQ(manager.contentsAtPath(dir_ / "missing", 8), std::nullopt);
  EXPECT_EQ(manager.contentsAtPath("/dev/null", 8), std::nullopt);
  EXPECT_EQ(manager.contentsAtPath("", 8), std::nullopt);
}

TEST_F(AppGroupFileManagerTest, SymlinkToARegularFileIsFollowed) {
  const fs::path target = write("target", "12345678");
  fs::create_symlink(target, dir_ / "link");
  fs::create_symlink(dir_ / "missing", dir_ / "dangling");

  const AppGroupFileManager manager(dir_);
  EXPECT_EQ(manager.contentsAtPath(dir_ / "link", 9), bytes("12345678"));
  EXPECT_EQ(manager.contentsAtPath(dir_ / "dangling", 9), std::nullopt);
}

// Every line, whatever its type. The test's thread only.
class AllLinesLog final : public OSLog {
 public:
  bool isEnabled(OSLogType) const override { return true; }
  void write(OSLogType type, std::string_view message) override { lines.push_back({type, std::string(message)}); }
  std::vector<std::pair<OSLogType, std::string>> lines;
};

std::string littleEndianDouble(double value) {
  std::string out(8, '\0');
  std::memcpy(out.data(), &value, 8);
  return out;
}

// The running camera reads both files at every tick: each problem is one line until it
// changes, and the return to a usable file one more.
TEST_F(AppGroupFileManagerTest, HandOffProblemsAreLoggedOnceUntilTheyChange) {
  AllLinesLog log;
  const AppGroupFileManager manager(log, {{"kolvcamera_surface_id", 4, false}, {"kolvcamera_frame_meta", 8, true}});
  const fs::path id = dir_ / "kolvcamera_surface_id";
  const fs::path meta = dir_ / "kolvcamera_frame_meta";
  const std::string folder = dir_.string();
  const auto tick = [&](int times = 3) {
    for (int i = 0; i < times; ++i) {
      manager.contentsAtPath(id, 5);
      manager.contentsAtPath(meta, 9);
      manager.contentsAtPath(dir_ / "unwatched", 9);
    }
  };

  tick();
  write("kolvcamera_surface_id", "\x01\x02\x03\x04");
  write("kolvcamera_frame_meta", "12345");
  tick();
  write("kolvcamera_frame_meta", std::string(12, 'x'));
  tick();
  write("kolvcamera_frame_meta", littleEndianDouble(std::nan("")));
  tick();
  for (double timestamp : {1.0, 2.0, 3.0}) {
    write("kolvcamera_frame_meta", littleEndianDouble(timestamp));
    tick(1);
  }
  write("kolvcamera_frame_meta", littleEndianDouble(-std::numeric_limits<double>::infinity()));
  tick();

  using T = OSLogType;
  const std::vector<std::pair<OSLogType, std::string>> expected = {
      {T::defaultType, "kolvcamera_surface_id in " + folder + " is missing: no companion has handed a picture over"},
      {T::defaultType, "kolvcamera_frame_meta in " + folder + " is missing: no companion has handed a picture over"},
      {T::defaultType, "kolvcamera_surface_id in " + folder + " is usable"},
      {T::error, "kolvcamera_frame_meta in " + folder + " is 5 bytes, expected 8"},
      {T::error, "kolvcamera_frame_meta in " + folder + " is 12 bytes, expected 8"},
      {T::error, "kolvcamera_frame_meta in " + folder + " holds a timestamp that is not a finite number"},
      {T::defaultType, "kolvcamera_frame_meta in " + folder + " is usable"},
      {T::error, "kolvcamera_frame_meta in " + folder + " holds a timestamp that is not a finite number"},
  };
  EXPECT_EQ(log.lines, expected);
}

}  // namespace
}  // namespace kolv
