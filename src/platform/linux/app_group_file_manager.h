// App-group containers under the user's runtime directory, and bounded reads of small files.
// Reads of the companion's hand-off files can be watched: a file of the wrong length, or a
// timestamp that is not a number, is logged once until the problem changes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "handoff/regular_file.h"
#include "platform/foundation.h"

namespace kolv {

using handoff::readRegularFile;

// A file that a companion hands over through its container, by name, and its exact length.
struct HandOffFile {
  std::string name;
  std::size_t length = 0;
  bool timestamp = false;  // holds a little-endian double that must be finite
};

// What is wrong with one read of a hand-off file; `none` when it is usable. `missing` covers
// every file that cannot be read.
struct HandOffProblem {
  enum class Kind { none, missing, wrongLength, notFinite } kind = Kind::none;
  std::size_t length = 0;  // bytes read, for wrongLength (at most the expected length + 1)
  friend bool operator==(const HandOffProblem&, const HandOffProblem&) = default;
};

// What is wrong with `bytes`, one read of `file` (empty when it could not be read). Makes no
// system call.
HandOffProblem handOffProblem(const HandOffFile& file, const std::optional<std::vector<std::byte>>& bytes);
// One line for a problem with the file at `path`: "kolvcamera_frame_meta in /run/user/1000/
// app-groups/g is 5 bytes, expected 8". May examine the file to say more.
std::string describeHandOffProblem(const HandOffFile& file, const std::filesystem::path& path,
                                   const HandOffProblem& problem);

// Without watched files, stateless; safe from any thread, as long as nobody changes the
// environment meanwhile. The watched files' last problems are under a mutex.
class AppGroupFileManager final : public NSFileManager {
 public:
  // Containers live in `runtimeDir`/app-groups; without one, the runtime directory is looked
  // up anew on every call (see handoff::runtimeDirectory).
  explicit AppGroupFileManager(std::optional<std::filesystem::path> runtimeDir = std::nullopt);
  // The same, watching reads of `handOffFiles` (by file name, in any folder): each problem is
  // logged to `log` when it differs from the file's last one, and the file's recovery too.
  AppGroupFileManager(OSLog& log, std::vector<HandOffFile> handOffFiles,
                      std::optional<std::filesystem::path> runtimeDir = std::nullopt);

  // `<runtime dir>/app-groups/<groupIdentifier>`, whether or not the folder exists. Empty when
  // there is no runtime directory or the identifier is not one plain path component.
  std::optional<std::filesystem::path> containerURLForSecurityApplicationGroupIdentifier(
      const std::string& groupIdentifier) const override;
  std::optional<std::vector<std::byte>> contentsAtPath(const std::filesystem::path& path,
                                                       std::size_t maxLength) const override;

 private:
  void watch(const std::filesystem::path& path, const std::optional<std::vector<std::byte>>& bytes) const;

  std::optional<std::filesystem::path> runtimeDir_;
  OSLog* const log_ = nullptr;
  const std::vector<HandOffFile> handOffFiles_;
  mutable std::mutex problemsMutex_;
  mutable std::vector<HandOffProblem> problems_;  // one per hand-off file; guarded by problemsMutex_
};

}  // namespace kolv
