#include "support/fake_foundation.h"

#include <bit>
#include <cstdint>

namespace kolv::test {

std::optional<InfoValue> FakeBundle::objectForInfoDictionaryKey(std::string_view key) const {
  auto it = info.find(key);
  if (it == info.end()) return std::nullopt;
  return it->second;
}

std::optional<std::filesystem::path> FakeFileManager::containerURLForSecurityApplicationGroupIdentifier(
    const std::string& groupIdentifier) const {
  ++containerLookups;
  if (groupsWithoutContainer.contains(groupIdentifier)) return std::nullopt;
  return containerOf(groupIdentifier);
}

std::optional<std::vector<std::byte>> FakeFileManager::contentsAtPath(const std::filesystem::path& path,
                                                                      std::size_t maxLength) const {
  reads.emplace_back(path, maxLength);
  auto it = files.find(path);
  if (it == files.end() || unreadable.contains(path)) return std::nullopt;
  const std::size_t length = std::min(maxLength, it->second.size());
  return std::vector<std::byte>(it->second.begin(), it->second.begin() + static_cast<std::ptrdiff_t>(length));
}

void FakeFileManager::writeFile(const std::string& group, const std::string& name, std::vector<std::byte> bytes) {
  files[containerOf(group) / name] = std::move(bytes);
}

void FakeFileManager::removeFile(const std::string& group, const std::string& name) {
  files.erase(containerOf(group) / name);
}

void CapturingLog::write(OSLogType type, std::string_view message) {
  std::lock_guard lock(mutex_);
  lines_.push_back({type, std::string(message)});
}

std::vector<CapturingLog::Line> CapturingLog::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

namespace {
template <class T>
std::vector<std::byte> littleEndianBytes(T value) {
  std::vector<std::byte> bytes(sizeof(T));
  for (std::size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
  return bytes;
}
}  // namespace

std::vector<std::byte> surfaceIDBytes(std::uint32_t id) { return littleEndianBytes(id); }
std::vector<std::byte> timestampBytes(double timestamp) {
  return littleEndianBytes(std::bit_cast<std::uint64_t>(timestamp));
}

}  // namespace kolv::test
