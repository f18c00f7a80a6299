#include "platform/linux/info_plist_bundle.h"

#include <plist/plist.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/linux/app_group_file_manager.h"

namespace kolv {
namespace {

// An Info.plist is a few kilobytes; anything much larger is not one.
constexpr std::size_t kMaxInfoPlistBytes = 1 << 20;
// Arrays nested deeper than this are kept as Other rather than walked recursively.
constexpr int kMaxArrayDepth = 32;

struct PlistDeleter {
  void operator()(void* node) const { plist_free(node); }
};
using PlistHandle = std::unique_ptr<void, PlistDeleter>;

// Dictionary iterators and keys come from malloc.
struct FreeDeleter {
  void operator()(void* memory) const { std::free(memory); }
};
using DictIterator = std::unique_ptr<void, FreeDeleter>;
using DictKey = std::unique_ptr<char, FreeDeleter>;

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

PlistHandle parse(const std::filesystem::path& infoPlist) {
  const auto bytes = readRegularFile(infoPlist, kMaxInfoPlistBytes + 1);
  if (!bytes || bytes->empty() || bytes->size() > kMaxInfoPlistBytes) return nullptr;
  plist_t root = nullptr;
  plist_from_memory(reinterpret_cast<const char*>(bytes->data()), static_cast<std::uint32_t>(bytes->size()), &root);
  return PlistHandle(root);
}

}  // namespace

InfoPlistBundle::InfoPlistBundle(const std::filesystem::path& infoPlist) {
  const PlistHandle root = parse(infoPlist);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return;

  plist_dict_iter rawIterator = nullptr;
  plist_dict_new_iter(root.get(), &rawIterator);
  const DictIterator iterator(rawIterator);
  if (!iterator) return;
  for (;;) {
    char* rawKey = nullptr;
    plist_t node = nullptr;
    plist_dict_next_item(root.get(), iterator.get(), &rawKey, &node);
    const DictKey key(rawKey);
    if (!key || node == nullptr) break;
    values_.insert_or_assign(std::string(key.get()), convert(node, 0));
  }
}

std::optional<InfoValue> InfoPlistBundle::objectForInfoDictionaryKey(std::string_view key) const {
  const auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

InfoPlistBundleServices::InfoPlistBundleServices(std::filesystem::path infoPlist) : infoPlist_(std::move(infoPlist)) {}

NSBundleRef InfoPlistBundleServices::mainBundle() {
  std::call_once(loaded_, [this] {
    std::filesystem::path path;
    if (infoPlist_) {
      path = *infoPlist_;
    } else {
      std::error_code error;
      const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
      if (!error) path = infoPlistBeside(executable);
    }
    bundle_ = std::make_shared<const InfoPlistBundle>(path);
  });
  return bundle_;
}

std::filesystem::path InfoPlistBundleServices::infoPlistBeside(const std::filesystem::path& executable) {
  const auto directory = executable.parent_path();
  auto installed = (directory / ".." / "share" / "kolv-camera" / "Info.plist").lexically_normal();
  std::error_code error;
  if (std::filesystem::is_regular_file(installed, error)) return installed;
  return directory / "Info.plist";
}

}  // namespace kolv
