// Value types shared by every part of the platform boundary: status codes,
// four-character codes, media time, errors, UUIDs and attribute dictionaries.
// Thread-safety: plain values; safe to copy between threads.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kolv {

using OSStatus = std::int32_t;
using OSType = std::uint32_t;
using FourCharCode = std::uint32_t;

inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus kCVReturnError = -6660;
inline constexpr OSStatus kCVReturnInvalidArgument = -6661;
inline constexpr OSStatus kCVReturnAllocationFailed = -6662;
inline constexpr OSStatus kCVReturnWouldExceedAllocationThreshold = -6689;

// 'ABCD' with the first letter in the most significant byte.
constexpr FourCharCode fourCC(const char (&code)[5]) {
  return (static_cast<FourCharCode>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<FourCharCode>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<FourCharCode>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<FourCharCode>(static_cast<unsigned char>(code[3]));
}
std::string fourCCString(FourCharCode code);

inline constexpr OSType kCVPixelFormatType_32BGRA = fourCC("BGRA");
inline constexpr FourCharCode kCMMediaType_Video = fourCC("vide");

// Rational media time: value / timescale seconds.
enum CMTimeFlags : std::uint32_t {
  kCMTimeFlags_Valid = 1U << 0,
  kCMTimeFlags_HasBeenRounded = 1U << 1,
  kCMTimeFlags_PositiveInfinity = 1U << 2,
  kCMTimeFlags_NegativeInfinity = 1U << 3,
  kCMTimeFlags_Indefinite = 1U << 4,
};

struct CMTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;
  std::uint32_t flags = 0;
  std::int64_t epoch = 0;

  friend bool operator==(const CMTime&, const CMTime&) = default;
};

constexpr CMTime CMTimeMake(std::int64_t value, std::int32_t timescale) {
  return CMTime{value, timescale, kCMTimeFlags_Valid, 0};
}
inline constexpr CMTime kCMTimeInvalid{};

constexpr bool CMTimeIsValid(const CMTime& time) { return (time.flags & kCMTimeFlags_Valid) != 0; }

// value / timescale as a double; NaN for an invalid time or a zero timescale.
double CMTimeGetSeconds(const CMTime& time);

// Error object handed to the host: domain, code and user info.
inline constexpr std::string_view NSLocalizedDescriptionKey = "NSLocalizedDescription";

struct NSError {
  std::string domain;
  std::int64_t code = 0;
  std::map<std::string, std::string, std::less<>> userInfo;

  static NSError errorWithDomain(std::string domain, std::int64_t code,
                                 std::map<std::string, std::string, std::less<>> userInfo);
  // The NSLocalizedDescriptionKey entry, or a generic text built from domain and code.
  std::string localizedDescription() const;
};

// An error out-argument: the callee fills it only on failure, and only if the caller gave one.
using NSErrorOut = std::optional<NSError>*;

// 128-bit UUID.
struct NSUUID {
  std::array<std::uint8_t, 16> bytes{};

  // A fresh random (version 4) UUID.
  static NSUUID UUID();
  // Upper-case canonical text, 36 characters.
  std::string UUIDString() const;

  friend bool operator==(const NSUUID&, const NSUUID&) = default;
};

// Attribute dictionary as the media services take it: ordered entries, keys compared by value.
class CFDictionary;
using CFDictionaryRef = std::shared_ptr<const CFDictionary>;
using CFValue = std::variant<std::int32_t, std::int64_t, std::string, CFDictionaryRef>;

class CFDictionary {
 public:
  CFDictionary() = default;
  CFDictionary(std::initializer_list<std::pair<std::string, CFValue>> entries);

  const std::vector<std::pair<std::string, CFValue>>& entries() const { return entries_; }
  std::size_t count() const { return entries_.size(); }
  const CFValue* find(std::string_view key) const;
  // An integer entry (32- or 64-bit) as int64; empty when absent or of another type.
  std::optional<std::int64_t> integer(std::string_view key) const;

 private:
  std::vector<std::pair<std::string, CFValue>> entries_;
};

inline constexpr std::string_view kCVPixelBufferWidthKey = "Width";
inline constexpr std::string_view kCVPixelBufferHeightKey = "Height";
inline constexpr std::string_view kCVPixelBufferPixelFormatTypeKey = "PixelFormatType";
inline constexpr std::string_view kCVPixelBufferIOSurfacePropertiesKey = "IOSurfaceProperties";
inline constexpr std::string_view kCVPixelBufferPoolAllocationThresholdKey = "AllocationThreshold";

}  // namespace kolv
