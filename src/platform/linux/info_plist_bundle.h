// The camera's Info dictionary, read from an Info.plist file (XML or binary) with libplist.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation.h"

namespace kolv {

// Immutable after construction; read from any thread.
class InfoPlistBundle final : public NSBundle {
 public:
  // A missing, oversized or unparsable file, or one whose root is not a dictionary, gives a
  // bundle with no keys.
  explicit InfoPlistBundle(const std::filesystem::path& infoPlist);

  std::optional<InfoValue> objectForInfoDictionaryKey(std::string_view key) const override;
  std::size_t keyCount() const { return values_.size(); }

 private:
  std::map<std::string, InfoValue, std::less<>> values_;
};

// Built on the main thread; mainBundle() may be called from any thread. The file is read on
// the first call and the bundle kept for the life of the process.
class InfoPlistBundleServices final : public BundleServices {
 public:
  // The Info.plist beside the running executable (see infoPlistBeside).
  InfoPlistBundleServices() = default;
  explicit InfoPlistBundleServices(std::filesystem::path infoPlist);

  NSBundleRef mainBundle() override;

  // `<dir>/../share/kolv-camera/Info.plist` (installed) when that file exists, otherwise
  // `<dir>/Info.plist` (build tree), where <dir> holds `executable`.
  static std::filesystem::path infoPlistBeside(const std::filesystem::path& executable);

 private:
  std::optional<std::filesystem::path> infoPlist_;
  std::once_flag loaded_;
  NSBundleRef bundle_;
};

}  // namespace kolv
