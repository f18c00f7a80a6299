#include "platform/linux/info_plist_bundle.h"

#include <plist/plist.h>

#include <bit>
#include <cstdint>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

namespace kolv {
namespace {

// Arrays nested deeper than this are kept as Other rather than walked recursively.
constexpr int kMaxArrayDepth = 32;

InfoValue convert(plist_t node, int depth) {
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      std::uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return {std::string(text != nullptr ? text : "", text != nullptr ? length : 0)};
    }
    case PLIST_UINT: {
      // libplist keeps every integer in 64 bits; negative ones are stored in two's complement.
      std::uint64_t raw = 0;
      plist_get_uint_val(node, &raw);
      return {std::bit_cast<std::int64_t>(raw)};
    }
    case PLIST_REAL: {
      double real = 0;
      plist_get_real_val(node, &real);
      return {real};
    }
    case PLIST_BOOLEAN: {
      std::uint8_t flag = 0;
      plist_get_bool_val(node, &flag);
      return {flag != 0};
    }
    case PLIST_ARRAY: {
      if (depth >= kMaxArrayDepth) return {InfoValue::Other{}};
      std::vector<InfoValue> items;
      const std::uint32_t count = plist_array_get_size(node);
      items.reserve(count);
      for (std::uint32_t i = 0; i < count; ++i) items.push_back(convert(plist_array_get_item(node, i), depth + 1));
      return {std::move(items)};
    }
    default:
      return {InfoValue::Other{}};
  }
}

}  // namespace

InfoPlistBundle::InfoPlistBundle(const std::filesystem::path& infoPlist, std::string* reason) {
  std::string why;
  dictionary_ = handoff::InfoDictionary::read(infoPlist, why);
  if (reason) *reason = std::move(why);
}

std::optional<InfoValue> InfoPlistBundle::objectForInfoDictionaryKey(std::string_view key) const {
  if (!dictionary_) return std::nullopt;
  const plist_t node = dictionary_->find(std::string(key));
  if (node == nullptr) return std::nullopt;
  return convert(node, 0);
}

InfoPlistBundleServices::InfoPlistBundleServices(std::filesystem::path infoPlist, OSLog* log)
    : infoPlist_(std::move(infoPlist)), log_(log) {}

NSBundleRef InfoPlistBundleServices::mainBundle() {
  std::call_once(loaded_, [this] {
    const std::filesystem::path path = infoPlist_ ? *infoPlist_ : ownInfoPlist();
    std::string reason;
    auto bundle = std::make_shared<const InfoPlistBundle>(path, &reason);
    std::error_code missing;
    if (!bundle->loaded() && log_ && std::filesystem::exists(path, missing)) {
      os_log_with_type(*log_, OSLogType::error, "Info.plist refused, the app group falls back to its default: %s",
                       reason.c_str());
    }
    bundle_ = std::move(bundle);
  });
  return bundle_;
}

std::filesystem::path InfoPlistBundleServices::ownInfoPlist() {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : infoPlistBeside(executable);
}

std::filesystem::path InfoPlistBundleServices::infoPlistBeside(const std::filesystem::path& executable) {
  const auto directory = executable.parent_path();
  auto installed = (directory / ".." / "share" / "kolv-camera" / "Info.plist").lexically_normal();
  std::error_code error;
  if (std::filesystem::is_regular_file(installed, error)) return installed;
  return directory / "Info.plist";
}

}  // namespace kolv
