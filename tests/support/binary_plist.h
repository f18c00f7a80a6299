// Binary property lists built byte by byte, for inputs that no writer produces (repeated keys,
// keys libplist cannot walk). Thread: plain functions.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace kolv::test {

// An ASCII string object of a binary property list (at most 14 bytes).
inline std::string asciiObject(const std::string& text) { return static_cast<char>(0x50 | text.size()) + text; }

// A binary property list of one dictionary with these key and value objects (256 bytes in all
// at most).
inline std::string binaryDictionary(const std::vector<std::pair<std::string, std::string>>& entries) {
  const auto count = static_cast<char>(entries.size());
  std::string bytes = "bplist00";
  std::vector<std::size_t> offsets{bytes.size()};
  bytes += static_cast<char>(0xD0 | count);
  for (char i = 0; i < count; ++i) bytes += static_cast<char>(1 + i);          // keys: objects 1..n
  for (char i = 0; i < count; ++i) bytes += static_cast<char>(1 + count + i);  // values: n+1..2n
  const auto add = [&](const std::string& object) {
    offsets.push_back(bytes.size());
    bytes += object;
  };
  for (const auto& entry : entries) add(entry.first);
  for (const auto& entry : entries) add(entry.second);
  const std::size_t table = bytes.size();
  for (std::size_t offset : offsets) bytes += static_cast<char>(offset);
  bytes += std::string(6, '\0') + "\x01\x01";
  bytes += std::string(7, '\0') + static_cast<char>(offsets.size());
  bytes += std::string(8, '\0');
  bytes += std::string(7, '\0') + static_cast<char>(table);
  return bytes;
}

}  // namespace kolv::test
