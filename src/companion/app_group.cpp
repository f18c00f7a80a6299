// The app group and its container, chosen as the camera chooses them.
#include <plist/plist.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string_view>
#include <system_error>

#include "handoff_files.h"
#include "kolv/companion.h"

namespace kolv::companion {
namespace {

// An Info.plist is a few kilobytes; the camera ignores anything above 1 MiB.
constexpr std::size_t kMaxInfoPlistBytes = 1 << 20;

struct PlistDeleter {
  void operator()(void* node) const { plist_free(node); }
};
using PlistHandle = std::unique_ptr<void, PlistDeleter>;

// The file's root dictionary; null when the file is missing, too large or not a dictionary.
PlistHandle readInfoDictionary(const std::filesystem::path& infoPlist) {
  const auto bytes = readSmallFile(infoPlist, kMaxInfoPlistBytes);
  if (!bytes || bytes->empty()) return nullptr;
  plist_t root = nullptr;
  plist_from_memory(bytes->data(), static_cast<std::uint32_t>(bytes->size()), &root);
  PlistHandle handle(root);
  if (!handle || plist_get_node_type(handle.get()) != PLIST_DICT) return nullptr;
  return handle;
}

std::optional<std::string> stringValue(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (text == nullptr) return std::string();
  return std::string(text, length);
}

bool isSinglePathComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace

std::string resolveAppGroupID(const std::filesystem::path& infoPlist) {
  const PlistHandle root = readInfoDictionary(infoPlist);
  if (!root) return kFallbackAppGroupID;
  if (auto group = stringValue(plist_dict_get_item(root.get(), "AppGroupIdentifier"))) return *group;
  plist_t groups = plist_dict_get_item(root.get(), "com.apple.security.application-groups");
  if (groups != nullptr && plist_get_node_type(groups) == PLIST_ARRAY && plist_array_get_size(groups) > 0) {
    // Only an array made of strings counts, as in the camera.
    bool allStrings = true;
    for (std::uint32_t i = 0; i < plist_array_get_size(groups); ++i) {
      allStrings = allStrings && plist_get_node_type(plist_array_get_item(groups, i)) == PLIST_STRING;
    }
    if (allStrings) return *stringValue(plist_array_get_item(groups, 0));
  }
  return kFallbackAppGroupID;
}

bool isUsableInfoPlist(const std::filesystem::path& infoPlist) { return readInfoDictionary(infoPlist) != nullptr; }

std::optional<std::filesystem::path> runtimeDirectory() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
    return std::filesystem::path(runtime);
  }
  const std::filesystem::path perUser = "/run/user/" + std::to_string(::geteuid());
  std::error_code error;
  if (std::filesystem::is_directory(perUser, error)) return perUser;
  return std::nullopt;
}

std::optional<std::filesystem::path> appGroupContainer(const std::filesystem::path& runtimeDir,
                                                       const std::string& group) {
  if (!isSinglePathComponent(group)) return std::nullopt;
  return runtimeDir / "app-groups" / group;
}

const char* describe(Status status) {
  switch (status) {
    case Status::ok:
      return "success";
    case Status::busy:
      return "no surface is free to draw into yet";
    case Status::noFrame:
      return "no picture to publish";
    case Status::invalidArgument:
      return "invalid argument";
    case Status::invalidInfoPlist:
      return "not a usable Info.plist";
    case Status::invalidAppGroup:
      return "the app group is not a plain file name";
    case Status::noRuntimeDirectory:
      return "no runtime directory (XDG_RUNTIME_DIR is unset and /run/user/<uid> is missing)";
    case Status::containerUnavailable:
      return "cannot use the app group's container folder";
    case Status::groupInUse:
      return "another companion is publishing to this app group";
    case Status::surfaceUnavailable:
      return "cannot create a shared surface";
    case Status::writeFailed:
      return "cannot write a hand-off file";
  }
  return "unknown status";
}

std::string Error::message() const {
  std::string text = describe(status);
  if (!detail.empty()) text += ": " + detail;
  return text;
}

}  // namespace kolv::companion
