#include "platform/types.h"

#include <uuid/uuid.h>

#include <cmath>
#include <limits>

namespace kolv {

std::string fourCCString(FourCharCode code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[static_cast<std::size_t>(i)] = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
  return text;
}

double CMTimeGetSeconds(const CMTime& time) {
  if (!CMTimeIsValid(time) || time.timescale == 0) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(time.value) / static_cast<double>(time.timescale);
}

NSError NSError::errorWithDomain(std::string domain, std::int64_t code,
                                 std::map<std::string, std::string, std::less<>> userInfo) {
  return NSError{std::move(domain), code, std::move(userInfo)};
}

std::string NSError::localizedDescription() const {
  if (auto it = userInfo.find(NSLocalizedDescriptionKey); it != userInfo.end()) return it->second;
  return "The operation couldn't be completed. (" + domain + " error " + std::to_string(code) + ".)";
}

NSUUID NSUUID::UUID() {
  NSUUID uuid;
  uuid_generate_random(uuid.bytes.data());
  return uuid;
}

std::string NSUUID::UUIDString() const {
  char text[37];
  uuid_unparse_upper(bytes.data(), text);
  return text;
}

CFDictionary::CFDictionary(std::initializer_list<std::pair<std::string, CFValue>> entries) : entries_(entries) {}

const CFValue* CFDictionary::find(std::string_view key) const {
  for (const auto& [name, value] : entries_) {
    if (name == key) return &value;
  }
  return nullptr;
}

std::optional<std::int64_t> CFDictionary::integer(std::string_view key) const {
  const CFValue* value = find(key);
  if (value == nullptr) return std::nullopt;
  if (const auto* v32 = std::get_if<std::int32_t>(value)) return *v32;
  if (const auto* v64 = std::get_if<std::int64_t>(value)) return *v64;
  return std::nullopt;
}

}  // namespace kolv
