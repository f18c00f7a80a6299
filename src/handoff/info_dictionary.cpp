#include "handoff/info_dictionary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "handoff/unique_fd.h"

namespace kolv::handoff {

std::optional<InfoDictionary> InfoDictionary::read(const std::filesystem::path& path, std::string& reason) {
  // O_NONBLOCK: a FIFO in the file's place must not stall the reader; it is refused below.
  const UniqueFD file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat status {};
  if (!file || ::fstat(file.get(), &status) != 0) {
    reason = path.string() + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (!S_ISREG(status.st_mode)) {
    reason = path.string() + ": not a regular file";
    return std::nullopt;
  }
  if (static_cast<std::uint64_t>(status.st_size) > kMaxBytes) {
    reason = path.string() + ": larger than " + std::to_string(kMaxBytes / 1024) + " KiB, too large for an Info.plist";
    return std::nullopt;
  }
  std::vector<char> bytes(kMaxBytes + 1);
  std::size_t length = 0;
  while (length < bytes.size()) {
    const ssize_t got = ::read(file.get(), bytes.data() + length, bytes.size() - length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      reason = path.string() + ": cannot read it: " + std::strerror(errno);
      return std::nullopt;
    }
    if (got == 0) break;
    length += static_cast<std::size_t>(got);
  }
  if (length > kMaxBytes) {  // it grew after fstat
    reason = path.string() + ": larger than " + std::to_string(kMaxBytes / 1024) + " KiB, too large for an Info.plist";
    return std::nullopt;
  }
  bytes.resize(length);
  plist_t root = nullptr;
  if (!bytes.empty()) plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  if (root == nullptr) {
    reason = path.string() + ": not a property list (XML or binary)";
    return std::nullopt;
  }
  InfoDictionary dictionary(root);
  if (plist_get_node_type(root) != PLIST_DICT) {
    reason = path.string() + ": its root is not a dictionary";
    return std::nullopt;
  }
  return dictionary;
}

plist_t InfoDictionary::find(const std::string& key) const { return plist_dict_get_item(root_.get(), key.c_str()); }

std::optional<std::string> InfoDictionary::findString(const std::string& key) const { return stringOf(find(key)); }

std::optional<std::string> InfoDictionary::stringOf(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return text == nullptr ? std::string() : std::string(text, length);
}

}  // namespace kolv::handoff
