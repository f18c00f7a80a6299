// An Info.plist as both sides of the hand-off read it: the camera for its app group, and the
// companion library to find the same group. One reading, so both give the same answer for
// any file, repeated keys included. Keys are looked up by name only; the dictionary is never
// walked, so keys that libplist cannot iterate safely are never touched.
// Thread-safety: immutable after read(); any thread.
#pragma once

#include <plist/plist.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace kolv::handoff {

class InfoDictionary {
 public:
  // A real Info.plist is a few kilobytes.
  static constexpr std::size_t kMaxBytes = 64 * 1024;

  // The dictionary at the root of the XML or binary property list `path`. Empty when the file
  // is missing or unreadable, not a regular file, larger than kMaxBytes, not a property list,
  // or has no dictionary at its root; `reason` then says which, in a few words after the path.
  // Arrays and dictionaries nested more than 64 deep, and binary lists whose shared objects
  // expand to more than 262,144 values, are refused before libplist parses them: its parser
  // recurses once a level, and a thread of 128 KiB must be enough to read any file.
  static std::optional<InfoDictionary> read(const std::filesystem::path& path, std::string& reason);

  // The value stored under `key`, or null. Valid while this dictionary lives.
  plist_t find(const std::string& key) const;
  // The string stored under `key`; empty when there is none or it is not a string.
  std::optional<std::string> findString(const std::string& key) const;

  // The string `node` holds; empty when it is null or not a string.
  static std::optional<std::string> stringOf(plist_t node);

 private:
  struct Free {
    void operator()(void* node) const { plist_free(node); }
  };
  explicit InfoDictionary(plist_t root) : root_(root) {}

  std::unique_ptr<void, Free> root_;
};

}  // namespace kolv::handoff
