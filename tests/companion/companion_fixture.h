// A private runtime folder and surface registry for companion tests, and a clock the test
// sets by hand. Thread: test thread only.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kolv/companion.h"

namespace kolv::companion::test {

class ManualClock final : public Clock {
 public:
  double wallSeconds() override { return wall; }
  std::chrono::nanoseconds monotonic() override { return now; }

  double wall = 1'700'000'000.0;
  std::chrono::nanoseconds now{std::chrono::seconds(100)};
};

inline std::vector<std::byte> readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> bytes(chars.size());
  if (!chars.empty()) std::memcpy(bytes.data(), chars.data(), chars.size());
  return bytes;
}

inline std::vector<std::byte> bytesOf(std::initializer_list<int> values) {
  std::vector<std::byte> bytes;
  for (int value : values) bytes.push_back(static_cast<std::byte>(value));
  return bytes;
}

inline mode_t modeOf(const std::filesystem::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return 0;
  return status.st_mode & 07777;
}

class CompanionTest : public ::testing::Test {
 protected:
  CompanionTest() {
    char pattern[] = "/tmp/kolv-companion-test-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) root_ = pattern;
  }
  ~CompanionTest() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  void SetUp() override { ASSERT_FALSE(root_.empty()); }

  Options options(std::string group = {}) {
    Options result;
    result.appGroupID = std::move(group);
    result.runtimeDirectory = runtime();
    result.surfaceRegistry = registry();
    result.clock = clock_;
    result.width = 64;
    result.height = 36;
    return result;
  }
  std::filesystem::path runtime() const { return root_; }
  std::filesystem::path registry() const { return root_ / "kolv-surfaces"; }
  std::filesystem::path container(const std::string& group = kFallbackAppGroupID) const {
    return root_ / "app-groups" / group;
  }

  std::filesystem::path root_;
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
};

}  // namespace kolv::companion::test
