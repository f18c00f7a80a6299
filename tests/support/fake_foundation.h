// In-memory Info dictionary, app-group container, log and run loop.
// Thread: test thread only, except CapturingLog, which may be written from any thread.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation.h"

namespace kolv::test {

class FakeBundle final : public NSBundle {
 public:
  std::optional<InfoValue> objectForInfoDictionaryKey(std::string_view key) const override;
  std::map<std::string, InfoValue, std::less<>> info;
};

class FakeBundleServices final : public BundleServices {
 public:
  NSBundleRef mainBundle() override {
    ++mainBundleCalls;
    return bundle;
  }
  std::shared_ptr<FakeBundle> bundle = std::make_shared<FakeBundle>();
  int mainBundleCalls = 0;
};

// Containers live under /fake/app-groups/<group>; files are kept in memory.
class FakeFileManager final : public NSFileManager {
 public:
  std::optional<std::filesystem::path> containerURLForSecurityApplicationGroupIdentifier(
      const std::string& groupIdentifier) const override;
  std::optional<std::vector<std::byte>> contentsAtPath(const std::filesystem::path& path,
                                                       std::size_t maxLength) const override;

  static std::filesystem::path containerOf(const std::string& group) { return "/fake/app-groups/" + group; }
  void writeFile(const std::string& group, const std::string& name, std::vector<std::byte> bytes);
  void removeFile(const std::string& group, const std::string& name);

  std::set<std::string> groupsWithoutContainer;
  std::map<std::filesystem::path, std::vector<std::byte>> files;
  std::set<std::filesystem::path> unreadable;
  // Every read, with the most bytes asked for.
  mutable std::vector<std::pair<std::filesystem::path, std::size_t>> reads;
  mutable int containerLookups = 0;
};

class CapturingLog final : public OSLog {
 public:
  struct Line {
    OSLogType type;
    std::string message;
  };
  bool isEnabled(OSLogType type) const override { return enabled && type >= OSLogType::error; }
  void write(OSLogType type, std::string_view message) override;
  std::vector<Line> lines() const;

  bool enabled = true;

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

class FakeRunLoop final : public RunLoop {
 public:
  void run() override {
    ++runs;
    if (onRun) onRun();
  }
  int runs = 0;
  std::function<void()> onRun;
};

// Little-endian bytes of a value, as a companion writes them.
std::vector<std::byte> surfaceIDBytes(std::uint32_t id);
std::vector<std::byte> timestampBytes(double timestamp);

}  // namespace kolv::test
