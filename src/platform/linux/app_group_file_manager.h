// App-group containers under the user's runtime directory, and bounded reads of small files.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation.h"

namespace kolv {

// At most `maxLength` bytes of the regular file at `path`; empty when it cannot be opened or is
// not a regular file. Never blocks on a FIFO or device, and never reads more than asked for.
std::optional<std::vector<std::byte>> readRegularFile(const std::filesystem::path& path, std::size_t maxLength);

// Stateless; safe from any thread, as long as nobody changes the environment meanwhile.
class AppGroupFileManager final : public NSFileManager {
 public:
  // Containers live in `runtimeDir`/app-groups; without one, the runtime directory is looked
  // up anew on every call (see runtimeDirectory).
  explicit AppGroupFileManager(std::optional<std::filesystem::path> runtimeDir = std::nullopt);

  // `<runtime dir>/app-groups/<groupIdentifier>`, whether or not the folder exists. Empty when
  // there is no runtime directory or the identifier is not one plain path component.
  std::optional<std::filesystem::path> containerURLForSecurityApplicationGroupIdentifier(
      const std::string& groupIdentifier) const override;
  std::optional<std::vector<std::byte>> contentsAtPath(const std::filesystem::path& path,
                                                       std::size_t maxLength) const override;

  // $XDG_RUNTIME_DIR when it is an absolute path, else /run/user/<euid> when that folder exists.
  static std::optional<std::filesystem::path> runtimeDirectory();

 private:
  std::optional<std::filesystem::path> runtimeDir_;
};

}  // namespace kolv
