#include "handoff/info_dictionary.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>
#include <vector>

namespace kolv::handoff {

std::optional<InfoDictionary> InfoDictionary::read(const std::filesystem::path& path, std::string& reason) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error) {
    reason = path.string() + ": " + error.message();
    return std::nullopt;
  }
  if (!std::filesystem::is_regular_file(status)) {
    reason = path.string() + ": not a regular file";
    return std::nullopt;
  }
  std::ifstream file(path, std::ios::binary);
  std::vector<char> bytes(kMaxBytes + 1);
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (file.bad() || !file.is_open()) {
    reason = path.string() + ": cannot read it: " + std::strerror(errno);
    return std::nullopt;
  }
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  if (bytes.size() > kMaxBytes) {
    reason = path.string() + ": larger than " + std::to_string(kMaxBytes / 1024) + " KiB, too large for an Info.plist";
    return std::nullopt;
  }
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
