#include "handoff/app_group.h"

#include <plist/plist.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "kolv/handoff_names.h"

namespace kolv::handoff {

std::string resolveAppGroupID(const InfoDictionary* dictionary) {
  if (dictionary == nullptr) return kFallbackAppGroupID;
  if (auto group = dictionary->findString("AppGroupIdentifier")) return *group;
  plist_t groups = dictionary->find("com.apple.security.application-groups");
  if (groups != nullptr && plist_get_node_type(groups) == PLIST_ARRAY && plist_array_get_size(groups) > 0) {
    // Only an array made of strings counts.
    bool allStrings = true;
    for (std::uint32_t i = 0; i < plist_array_get_size(groups); ++i) {
      allStrings = allStrings && plist_get_node_type(plist_array_get_item(groups, i)) == PLIST_STRING;
    }
    if (allStrings) return *InfoDictionary::stringOf(plist_array_get_item(groups, 0));
  }
  return kFallbackAppGroupID;
}

std::string resolveAppGroupID(const std::filesystem::path& infoPlist) {
  std::string reason;
  const auto dictionary = InfoDictionary::read(infoPlist, reason);
  return resolveAppGroupID(dictionary ? &*dictionary : nullptr);
}

bool isSinglePathComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::optional<std::filesystem::path> runtimeDirectory() {
  // A relative XDG_RUNTIME_DIR is to be ignored, like an unset one.
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
    return std::filesystem::path(runtime);
  }
  const std::filesystem::path perUser = "/run/user/" + std::to_string(::geteuid());
  std::error_code error;
  if (std::filesystem::is_directory(perUser, error)) return perUser;
  return std::nullopt;
}

std::optional<std::filesystem::path> appGroupContainer(const std::filesystem::path& runtimeDir,
                                                       std::string_view group) {
  if (!isSinglePathComponent(group)) return std::nullopt;
  return runtimeDir / "app-groups" / group;
}

}  // namespace kolv::handoff
