// The app group and its container, chosen as the camera chooses them (src/handoff).
#include "handoff/app_group.h"
#include "handoff/info_dictionary.h"
#include "kolv/companion.h"

namespace kolv::companion {

std::string resolveAppGroupID(const std::filesystem::path& infoPlist) { return handoff::resolveAppGroupID(infoPlist); }

bool isUsableInfoPlist(const std::filesystem::path& infoPlist, std::string* reason) {
  std::string why;
  const bool usable = handoff::InfoDictionary::read(infoPlist, why).has_value();
  if (reason) *reason = std::move(why);
  return usable;
}

std::optional<std::filesystem::path> runtimeDirectory() { return handoff::runtimeDirectory(); }

std::optional<std::filesystem::path> appGroupContainer(const std::filesystem::path& runtimeDir,
                                                       const std::string& group) {
  return handoff::appGroupContainer(runtimeDir, group);
}

const char* describe(Status status) {
  switch (status) {
    case Status::ok:
      return "success";
    case Status::timedOut:
      return "timed out before the cue";
    case Status::notWatched:
      return "the camera is not reading; paced by the frame rate";
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
