// Process services: the bundle's Info dictionary, the app-group container and file
// reads, the system log and the main run loop.
// Thread-safety: NSBundle, NSFileManager and OSLog are safe from any thread; RunLoop::run
// belongs to the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kolv {

// A value from the Info dictionary. Dictionaries and data are kept as `Other`, so that a
// reader can tell a present value of an unexpected type from an absent one.
struct InfoValue {
  struct Other {
    friend bool operator==(const Other&, const Other&) = default;
  };
  std::variant<std::string, std::int64_t, double, bool, std::vector<InfoValue>, Other> value;

  const std::string* string() const { return std::get_if<std::string>(&value); }
  const std::vector<InfoValue>* array() const { return std::get_if<std::vector<InfoValue>>(&value); }
  friend bool operator==(const InfoValue&, const InfoValue&) = default;
};

class NSBundle {
 public:
  virtual ~NSBundle() = default;
  // The value stored under `key`, or empty when the key is absent.
  virtual std::optional<InfoValue> objectForInfoDictionaryKey(std::string_view key) const = 0;
};
using NSBundleRef = std::shared_ptr<const NSBundle>;

class BundleServices {
 public:
  virtual ~BundleServices() = default;
  virtual NSBundleRef mainBundle() = 0;
};

class NSFileManager {
 public:
  virtual ~NSFileManager() = default;
  // The folder shared by the programs of an app group, or empty when the group has none.
  virtual std::optional<std::filesystem::path> containerURLForSecurityApplicationGroupIdentifier(
      const std::string& groupIdentifier) const = 0;
  // The file's bytes, but never more than `maxLength`; empty when it cannot be read.
  // A caller that wants "exactly N bytes" asks for N + 1 and checks the size.
  virtual std::optional<std::vector<std::byte>> contentsAtPath(const std::filesystem::path& path,
                                                               std::size_t maxLength) const = 0;
};

enum class OSLogType { debug, info, defaultType, error, fault };

class OSLog {
 public:
  virtual ~OSLog() = default;
  virtual bool isEnabled(OSLogType type) const = 0;
  // One line, already formatted.
  virtual void write(OSLogType type, std::string_view message) = 0;
};

// printf-style logging; the message is only formatted when its type is enabled.
void os_log_with_type(OSLog& log, OSLogType type, const char* format, ...) __attribute__((format(printf, 3, 4)));
void os_log_error(OSLog& log, const char* format, ...) __attribute__((format(printf, 2, 3)));

class RunLoop {
 public:
  virtual ~RunLoop() = default;
  // Blocks until the process is asked to stop, then returns.
  virtual void run() = 0;
};

}  // namespace kolv
