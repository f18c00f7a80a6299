// Where the hand-off happens: the app group chosen from an Info dictionary, the user's
// runtime folder and the group's container in it (the surface registry beside it is in
// shared_surface.h). The companion library, `kolv-camera --check` and the camera's Linux
// platform use these; the camera's reader resolves its group on its own, through the
// platform's bundle.
// Thread-safety: plain functions; the runtime folder is looked up anew on every call, so
// nobody may change the environment meanwhile.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "handoff/info_dictionary.h"

namespace kolv::handoff {

// "AppGroupIdentifier" when it is a string (even empty), else the first element of
// "com.apple.security.application-groups" when that is a non-empty array of strings, else
// kFallbackAppGroupID. No dictionary (null) gives the fallback.
std::string resolveAppGroupID(const InfoDictionary* dictionary);
// The same for the Info.plist at `infoPlist`; a missing or unusable file gives the fallback.
std::string resolveAppGroupID(const std::filesystem::path& infoPlist);

// One plain name: not empty, not "." or "..", no separator and no NUL.
bool isSinglePathComponent(std::string_view name);

// $XDG_RUNTIME_DIR when it is an absolute path, else /run/user/<euid> when that folder exists.
std::optional<std::filesystem::path> runtimeDirectory();
// `<runtimeDir>/app-groups/<group>`, whether or not it exists; empty when the group is not
// one plain file name.
std::optional<std::filesystem::path> appGroupContainer(const std::filesystem::path& runtimeDir, std::string_view group);

}  // namespace kolv::handoff
