// A private runtime folder and surface registry for companion tests, and a clock the test
// sets by hand. Thread: test thread only.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kolv/companion.h"

namespace kolv::companion::test {

// A duration that the test thread sets while the publisher's watcher thread reads it.
class AtomicDuration {
 public:
  explicit AtomicDuration(std::chrono::nanoseconds value) : ns_(value.count()) {}
  AtomicDuration& operator=(std::chrono::nanoseconds value) {
    ns_.store(value.count());
    return *this;
  }
  AtomicDuration& operator+=(std::chrono::nanoseconds step) {
    ns_.fetch_add(step.count());
    return *this;
  }
  operator std::chrono::nanoseconds() const { return std::chrono::nanoseconds(ns_.load()); }

 private:
  std::atomic<std::int64_t> ns_;
};

// Set by the test thread, read by the test thread and the publisher's watcher thread.
class ManualClock final : public Clock {
 public:
  double wallSeconds() override { return wall.load(); }
  std::chrono::nanoseconds monotonic() override { return now; }
  // Sleeping moves the clock on, at once.
  void sleepUntil(std::chrono::nanoseconds until) override {
    sleeps.fetch_add(1);
    if (until > std::chrono::nanoseconds(now)) now = until;
  }

  std::atomic<double> wall{1'700'000'000.0};
  AtomicDuration now{std::chrono::seconds(100)};
  std::atomic<int> sleeps{0};
};

// Polls `condition` for up to 10 s: for the publisher's watcher thread, which answers a
// read within microseconds when the machine is not starved.
template <typename Condition>
bool eventually(Condition condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

inline std::vector<std::byte> readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> bytes(chars.size());
  if (!chars.empty()) std::memcpy(bytes.data(), chars.data(), chars.size());
  return bytes;
}

// The file's bytes, read through a descriptor opened for writing too: its close is no
// finished read to the publisher's watcher, so it writes no new timestamp for it.
inline std::vector<std::byte> peekBytes(const std::filesystem::path& path) {
  std::fstream in(path, std::ios::binary | std::ios::in | std::ios::out);
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
  // A publisher that must open; a failure to open fails the test with its reason.
  Publisher open(const Options& settings) {
    Error error;
    auto publisher = Publisher::open(settings, &error);
    EXPECT_TRUE(publisher) << error.message();
    return std::move(*publisher);
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
