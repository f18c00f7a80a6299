// The companion's side of `kolv-camera --check`: its container, the two hand-off files, the
// surface registry and the surface the ID file names, each judged with a fix when it fails.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/app_group_file_manager.h"
#include "platform/linux/media_linux.h"

namespace kolv {

// One line of the checklist.
struct CheckItem {
  enum class Status { ok, warning, failure, skipped };
  Status status = Status::ok;
  std::string text;  // what was found
  std::string fix;   // for a failure or warning: a command or setting that helps
};

// "[ok]   text", "[warn] text. Fix: ...", "[FAIL] text. Fix: ...", "[skip] text".
std::string formatCheckItem(const CheckItem& item);

// A timestamp older than this many seconds means the companion has stopped publishing.
inline constexpr double kStaleTimestampSeconds = 2;

// The timestamp file's item, from its bytes (empty when unreadable), the time it was last
// written and the time now (both seconds since the epoch). Epoch-like values are aged by
// themselves; other clocks by the file's modification time. An old timestamp is no failure
// while `companionRunning`: a live companion stamps anew only when the camera reads the file.
CheckItem timestampItem(const HandOffFile& file, const std::filesystem::path& path,
                        const std::optional<std::vector<std::byte>>& bytes, double modifiedAt, double now,
                        bool companionRunning = false);

// The items of the companion's side, in order: container, surface-ID file, timestamp file,
// registry folder, surface. `container` is the app group's folder (empty without a runtime
// folder). Looks the surface up in `media` without logging.
std::vector<CheckItem> checkHandOff(const std::string& group, const std::optional<std::filesystem::path>& container,
                                    const HandOffFile& idFile, const HandOffFile& timestampFile,
                                    const std::filesystem::path& registry, LinuxMediaServices& media);

}  // namespace kolv
