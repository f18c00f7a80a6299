// The camera's Info dictionary, read from an Info.plist file (XML or binary) with libplist.
#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "handoff/info_dictionary.h"
#include "platform/foundation.h"

namespace kolv {

// Immutable after construction; read from any thread.
class InfoPlistBundle final : public NSBundle {
 public:
  // A missing, oversized or unparsable file, or one whose root is not a dictionary, gives a
  // bundle with no keys, and the reason in `reason` when given.
  explicit InfoPlistBundle(const std::filesystem::path& infoPlist, std::string* reason = nullptr);

  // Each key is looked up by name when asked for, never by walking the dictionary.
  std::optional<InfoValue> objectForInfoDictionaryKey(std::string_view key) const override;
  // Whether the file was read as an Info dictionary.
  bool loaded() const { return dictionary_.has_value(); }

 private:
  std::optional<handoff::InfoDictionary> dictionary_;
};

// Built on the main thread; mainBundle() may be called from any thread. The file is read on
// the first call and the bundle kept for the life of the process.
class InfoPlistBundleServices final : public BundleServices {
 public:
  // The Info.plist beside the running executable (see infoPlistBeside).
  // A file that exists but cannot be used as an Info dictionary gets one line in `log`.
  explicit InfoPlistBundleServices(OSLog* log = nullptr) : log_(log) {}
  explicit InfoPlistBundleServices(std::filesystem::path infoPlist, OSLog* log = nullptr);

  NSBundleRef mainBundle() override;

  // The Info.plist beside the running executable; empty when /proc/self/exe cannot be read.
  static std::filesystem::path ownInfoPlist();
  // `<dir>/../share/kolv-camera/Info.plist` (installed) when that file exists, otherwise
  // `<dir>/Info.plist` (build tree), where <dir> holds `executable`.
  static std::filesystem::path infoPlistBeside(const std::filesystem::path& executable);

 private:
  std::optional<std::filesystem::path> infoPlist_;
  OSLog* log_ = nullptr;
  std::once_flag loaded_;
  NSBundleRef bundle_;
};

}  // namespace kolv
