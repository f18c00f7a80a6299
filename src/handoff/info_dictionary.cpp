#include "handoff/info_dictionary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "handoff/unique_fd.h"

namespace kolv::handoff {
namespace {

// Limits checked before libplist sees a file: its binary parser and plist_free() recurse once
// a level (about 100 bytes of stack each), and its binary parser expands an object each time
// it is referred to. A real Info.plist nests a few levels and holds a few hundred values.
constexpr std::size_t kMaxNesting = 64;
constexpr std::uint64_t kMaxValues = 1U << 18;

enum class Shape { fine, tooDeep, tooManyValues, malformed };

std::uint64_t bigEndian(const unsigned char* at, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value = (value << 8) | at[i];
  return value;
}

// A binary property list's object table, as far as nesting goes: which objects are arrays,
// sets or dictionaries, and the objects they refer to. Lives inside one call to shapeOf.
class BinaryObjects {
 public:
  // Empty when the trailer or the offset table does not fit the file.
  static std::optional<BinaryObjects> open(std::span<const unsigned char> bytes) {
    constexpr std::size_t kHeader = 8;
    constexpr std::size_t kTrailer = 32;
    if (bytes.size() < kHeader + kTrailer) return std::nullopt;
    BinaryObjects objects;
    const unsigned char* trailer = bytes.data() + bytes.size() - kTrailer;
    objects.bytes_ = bytes.first(bytes.size() - kTrailer);
    objects.offsetSize_ = trailer[6];
    objects.refSize_ = trailer[7];
    objects.count_ = bigEndian(trailer + 8, 8);
    objects.top_ = bigEndian(trailer + 16, 8);
    objects.table_ = bigEndian(trailer + 24, 8);
    const std::size_t end = objects.bytes_.size();
    if (objects.offsetSize_ < 1 || objects.offsetSize_ > 8 || objects.refSize_ < 1 || objects.refSize_ > 8 ||
        objects.count_ == 0 || objects.top_ >= objects.count_ || objects.table_ < kHeader || objects.table_ > end ||
        objects.count_ > (end - objects.table_) / objects.offsetSize_) {
      return std::nullopt;
    }
    return objects;
  }

  std::uint64_t count() const { return count_; }
  std::uint64_t top() const { return top_; }

  // Where the references of a container start and how many there are; nullopt for an
  // object that holds no others, and `broken` set when the object lies outside the file.
  struct Container {
    std::size_t refs = 0;
    std::uint64_t count = 0;
  };
  std::optional<Container> container(std::uint64_t object, bool& broken) const {
    const std::size_t end = bytes_.size();
    const std::uint64_t offset = bigEndian(bytes_.data() + table_ + object * offsetSize_, offsetSize_);
    if (offset < 8 || offset >= end) {
      broken = true;
      return std::nullopt;
    }
    const unsigned char marker = bytes_[offset];
    const unsigned kind = marker & 0xF0U;
    if (kind != 0xA0 && kind != 0xC0 && kind != 0xD0) return std::nullopt;  // array, set, dictionary
    Container found;
    found.refs = offset + 1;
    found.count = marker & 0x0FU;
    if (found.count == 0x0F) {  // the count follows as an integer object
      if (found.refs >= end || (bytes_[found.refs] & 0xF0U) != 0x10) {
        broken = true;
        return std::nullopt;
      }
      const std::size_t size = std::size_t{1} << (bytes_[found.refs] & 0x0FU);
      if (size > 8 || size > end - found.refs - 1) {
        broken = true;
        return std::nullopt;
      }
      found.count = bigEndian(bytes_.data() + found.refs + 1, size);
      found.refs += 1 + size;
    }
    const std::uint64_t perEntry = kind == 0xD0 ? 2 : 1;  // a key and a value
    if (found.count > (end - found.refs) / refSize_ / perEntry) {
      broken = true;
      return std::nullopt;
    }
    found.count *= perEntry;
    return found;
  }

  // The object that reference `index` of `container` names; count() when out of range.
  std::uint64_t reference(const Container& container, std::uint64_t index) const {
    const std::uint64_t object = bigEndian(bytes_.data() + container.refs + index * refSize_, refSize_);
    return object < count_ ? object : count_;
  }

 private:
  std::span<const unsigned char> bytes_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t top_ = 0;
  std::uint64_t table_ = 0;
};

// Walks the containers from the top object with a stack of its own, each object once: how deep
// they nest and how many values libplist would make of them (an object counts each time it is
// referred to).
Shape binaryShape(std::span<const unsigned char> bytes) {
  const auto objects = BinaryObjects::open(bytes);
  if (!objects) return Shape::malformed;
  enum : unsigned char { unseen, open, done };
  std::vector<unsigned char> state(objects->count(), unseen);
  std::vector<std::uint8_t> depth(objects->count(), 0);  // containers on the longest path down
  std::vector<std::uint64_t> values(objects->count(), 1);
  struct Frame {
    std::uint64_t object;
    BinaryObjects::Container container;
    std::uint64_t next = 0;
    std::uint8_t deepest = 0;
    std::uint64_t values = 1;
  };
  std::vector<Frame> stack;
  // Opens `object` below the frames on the stack: a container is pushed, anything else is done.
  const auto enter = [&](std::uint64_t object) -> Shape {
    bool broken = false;
    const auto container = objects->container(object, broken);
    if (broken) return Shape::malformed;
    if (!container) {
      state[object] = done;
      return Shape::fine;
    }
    if (stack.size() >= kMaxNesting) return Shape::tooDeep;
    state[object] = open;
    stack.push_back({object, *container});
    return Shape::fine;
  };
  if (const Shape shape = enter(objects->top()); shape != Shape::fine) return shape;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next < frame.container.count) {
      const std::uint64_t child = objects->reference(frame.container, frame.next++);
      if (child >= objects->count() || state[child] == open) return Shape::malformed;  // out of range, a cycle
      if (state[child] == unseen) {
        if (const Shape shape = enter(child); shape != Shape::fine) return shape;
        if (state[child] == open) continue;  // its frame is on top now
      }
      if (stack.size() + depth[child] > kMaxNesting) return Shape::tooDeep;
      Frame& parent = stack.back();
      parent.deepest = std::max(parent.deepest, depth[child]);
      parent.values = std::min(parent.values + values[child], kMaxValues + 1);
      continue;
    }
    const Frame finished = frame;
    stack.pop_back();
    state[finished.object] = done;
    depth[finished.object] = static_cast<std::uint8_t>(finished.deepest + 1);
    values[finished.object] = finished.values;
    if (finished.values > kMaxValues) return Shape::tooManyValues;
    if (!stack.empty()) {
      Frame& parent = stack.back();
      parent.deepest = std::max(parent.deepest, depth[finished.object]);
      parent.values = std::min(parent.values + finished.values, kMaxValues + 1);
    }
  }
  return Shape::fine;
}

// How deep the elements of an XML property list nest: the plist element, then arrays and
// dictionaries, then a value, so kMaxNesting + 2 levels at most. Comments, CDATA sections,
// processing instructions and declarations hold no elements. What is cut short is left to
// libplist, which refuses it.
Shape xmlShape(std::string_view text) {
  std::size_t depth = 0;
  std::size_t at = 0;
  const auto skipPast = [&text, &at](std::string_view end) {
    const std::size_t found = text.find(end, at);
    at = found == std::string_view::npos ? text.size() : found + end.size();
  };
  // Past the '>' that ends the markup at `at`, skipping quoted text (and, in a declaration,
  // its bracketed internal subset). Whether it ended in "/>".
  const auto skipMarkup = [&text, &at]() {
    char quote = 0;
    int brackets = 0;
    for (; at < text.size(); ++at) {
      const char c = text[at];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '[') {
        ++brackets;
      } else if (c == ']') {
        --brackets;
      } else if (c == '>' && brackets <= 0) {
        ++at;
        return text[at - 2] == '/';
      }
    }
    return false;
  };
  while ((at = text.find('<', at)) != std::string_view::npos) {
    const std::string_view rest = text.substr(at);
    if (rest.starts_with("<!--")) {
      skipPast("-->");
    } else if (rest.starts_with("<![CDATA[")) {
      skipPast("]]>");
    } else if (rest.starts_with("<?")) {
      skipPast("?>");
    } else if (rest.starts_with("<!")) {
      skipMarkup();
    } else if (rest.starts_with("</")) {
      if (depth > 0) --depth;
      skipMarkup();
    } else {
      ++at;
      const bool empty = skipMarkup();
      if (!empty && ++depth > kMaxNesting + 2) return Shape::tooDeep;
    }
  }
  return Shape::fine;
}

Shape shapeOf(std::span<const char> bytes) {
  constexpr std::string_view kBinaryMagic = "bplist00";
  const std::string_view text(bytes.data(), bytes.size());
  if (text.starts_with(kBinaryMagic)) {
    return binaryShape(std::span(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
  }
  return xmlShape(text);
}

}  // namespace

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
  switch (shapeOf(bytes)) {
    case Shape::fine:
      break;
    case Shape::tooDeep:
      reason = path.string() + ": arrays and dictionaries nested more than " + std::to_string(kMaxNesting) +
               " deep, too deep for an Info.plist";
      return std::nullopt;
    case Shape::tooManyValues:
      reason = path.string() + ": more than " + std::to_string(kMaxValues) +
               " values once its shared objects are expanded, too many for an Info.plist";
      return std::nullopt;
    case Shape::malformed:
      reason = path.string() + ": not a property list (XML or binary)";
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
