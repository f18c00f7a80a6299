#include "platform/linux/app_group_file_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "handoff/app_group.h"
#include "handoff/file_formats.h"

namespace kolv {

HandOffProblem handOffProblem(const HandOffFile& file, const std::optional<std::vector<std::byte>>& bytes) {
  using Kind = HandOffProblem::Kind;
  if (!bytes) return {Kind::missing, 0};
  if (bytes->size() != file.length) return {Kind::wrongLength, bytes->size()};
  if (file.timestamp && file.length == sizeof(double)) {
    if (!std::isfinite(handoff::decodeTimestamp(*bytes).value_or(0))) return {Kind::notFinite, 0};
  }
  return {};
}

std::string describeHandOffProblem(const HandOffFile& file, const std::filesystem::path& path,
                                   const HandOffProblem& problem) {
  using Kind = HandOffProblem::Kind;
  const std::string where = file.name + " in " + path.parent_path().string();
  const std::string expected = std::to_string(file.length) + (file.length == 1 ? " byte" : " bytes");
  switch (problem.kind) {
    case Kind::none:
      return where + " is usable";
    case Kind::missing: {
      // readRegularFile does not say why it read nothing: ask again.
      struct stat status {};
      if (::stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) return where + " is missing: no companion has handed a picture over";
        return where + " cannot be read: " + std::strerror(errno);
      }
      if (!S_ISREG(status.st_mode)) return where + " is not a regular file";
      return where + " cannot be read: " + (::access(path.c_str(), R_OK) != 0 ? std::strerror(errno) : "read error");
    }
    case Kind::wrongLength:
      if (problem.length > file.length) {
        struct stat status {};
        if (::stat(path.c_str(), &status) == 0 && status.st_size > static_cast<off_t>(file.length)) {
          return where + " is " + std::to_string(status.st_size) + " bytes, expected " + std::to_string(file.length);
        }
        return where + " is longer than " + expected + ", expected " + std::to_string(file.length);
      }
      return where + " is " + std::to_string(problem.length) + (problem.length == 1 ? " byte" : " bytes") +
             ", expected " + std::to_string(file.length);
    case Kind::notFinite:
      return where + " holds a timestamp that is not a finite number";
  }
  return where;
}

AppGroupFileManager::AppGroupFileManager(std::optional<std::filesystem::path> runtimeDir)
    : runtimeDir_(std::move(runtimeDir)) {}

AppGroupFileManager::AppGroupFileManager(OSLog& log, std::vector<HandOffFile> handOffFiles,
                                         std::optional<std::filesystem::path> runtimeDir)
    : runtimeDir_(std::move(runtimeDir)),
      log_(&log),
      handOffFiles_(std::move(handOffFiles)),
      problems_(handOffFiles_.size()) {}

std::optional<std::filesystem::path> AppGroupFileManager::containerURLForSecurityApplicationGroupIdentifier(
    const std::string& groupIdentifier) const {
  const auto runtime = runtimeDir_ ? runtimeDir_ : handoff::runtimeDirectory();
  if (!runtime) return std::nullopt;
  return handoff::appGroupContainer(*runtime, groupIdentifier);
}

std::optional<std::vector<std::byte>> AppGroupFileManager::contentsAtPath(const std::filesystem::path& path,
                                                                          std::size_t maxLength) const {
  auto bytes = readRegularFile(path, maxLength);
  if (log_ != nullptr) watch(path, bytes);
  return bytes;
}

void AppGroupFileManager::watch(const std::filesystem::path& path,
                                const std::optional<std::vector<std::byte>>& bytes) const {
  // Runs on every read: a name compared and a few bytes looked at; the lock is only
  // contended when two threads read hand-off files at once.
  const std::string_view name = std::string_view(path.native()).substr(path.native().rfind('/') + 1);
  for (std::size_t i = 0; i < handOffFiles_.size(); ++i) {
    const HandOffFile& file = handOffFiles_[i];
    if (file.name != name) continue;
    const HandOffProblem problem = handOffProblem(file, bytes);
    std::unique_lock lock(problemsMutex_);
    const HandOffProblem previous = std::exchange(problems_[i], problem);
    lock.unlock();
    if (problem == previous) return;
    // A missing file is the usual state before a companion starts, not an error.
    const bool error = problem.kind != HandOffProblem::Kind::none && problem.kind != HandOffProblem::Kind::missing;
    os_log_with_type(*log_, error ? OSLogType::error : OSLogType::defaultType, "%s",
                     describeHandOffProblem(file, path, problem).c_str());
    return;
  }
}

}  // namespace kolv
