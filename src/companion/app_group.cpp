// The app group and its container, chosen as the camera chooses them.
#include <plist/plist.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>
#include <system_error>

#include "handoff/info_dictionary.h"
#include "handoff_files.h"
#include "kolv/companion.h"

namespace kolv::companion {
namespace {

bool isSinglePathComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace

std::string resolveAppGroupID(const std::filesystem::path& infoPlist) {
  std::string reason;
  const auto dictionary = handoff::InfoDictionary::read(infoPlist, reason);
  if (!dictionary) return kFallbackAppGroupID;
  if (auto group = dictionary->findString("AppGroupIdentifier")) return *group;
  plist_t groups = dictionary->find("com.apple.security.application-groups");
  if (groups != nullptr && plist_get_node_type(groups) == PLIST_ARRAY && plist_array_get_size(groups) > 0) {
    // Only an array made of strings counts, as in the camera.
    bool allStrings = true;
    for (std::uint32_t i = 0; i < plist_array_get_size(groups); ++i) {
      allStrings = allStrings && plist_get_node_type(plist_array_get_item(groups, i)) == PLIST_STRING;
    }
    if (allStrings) return *handoff::InfoDictionary::stringOf(plist_array_get_item(groups, 0));
  }
  return kFallbackAppGroupID;
}

bool isUsableInfoPlist(const std::filesystem::path& infoPlist, std::string* reason) {
  std::string why;
  const bool usable = handoff::InfoDictionary::read(infoPlist, why).has_value();
  if (reason) *reason = std::move(why);
  return usable;
}

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
