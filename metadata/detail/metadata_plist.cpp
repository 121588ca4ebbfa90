#include "metadata/detail/metadata_plist.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace platform::detail {
namespace {

struct PlistDeleter {
  void operator()(void* node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::optional<std::string> stringEntry(plist_t dictionary, const char* key) {
  plist_t node = plist_dict_get_item(dictionary, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (text == nullptr) return std::nullopt;
  return std::string(text, static_cast<std::size_t>(length));
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

std::uint64_t bigEndian(const unsigned char* bytes, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value = (value << 8) | bytes[i];
  return value;
}

// The parser recurses once per level and, in binary lists, copies an object once for every
// reference to it, so what it is handed must have a bounded depth and a bounded expanded size.
// One pass over the objects reachable from the root, each visited once: linear in the file.
bool isWithinBinaryLimits(std::string_view text) {
  constexpr std::size_t kTrailerSize = 32;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  if (size < 8 + kTrailerSize) return false;
  const unsigned char* trailer = bytes + size - kTrailerSize;
  const std::size_t offsetSize = trailer[6];
  const std::size_t referenceSize = trailer[7];
  const std::uint64_t objectCount = bigEndian(trailer + 8, 8);
  const std::uint64_t root = bigEndian(trailer + 16, 8);
  const std::uint64_t tableOffset = bigEndian(trailer + 24, 8);
  const std::size_t tableLimit = size - kTrailerSize;
  if (offsetSize < 1 || offsetSize > 8 || referenceSize < 1 || referenceSize > 8) return false;
  if (objectCount == 0 || objectCount > size || root >= objectCount) return false;
  if (tableOffset < 8 || tableOffset > tableLimit ||
      objectCount > (tableLimit - tableOffset) / offsetSize) {
    return false;
  }

  // Where the references of a container begin and how many there are; false when malformed.
  auto references = [&](std::uint64_t object, std::size_t& first, std::uint64_t& count) {
    const std::uint64_t offset = bigEndian(bytes + tableOffset + object * offsetSize, offsetSize);
    if (offset < 8 || offset >= tableOffset) return false;
    const unsigned marker = bytes[offset];
    const unsigned kind = marker >> 4;
    count = 0;
    first = static_cast<std::size_t>(offset) + 1;
    if (kind != 0xA && kind != 0xC && kind != 0xD) return true;  // not a container
    count = marker & 0xF;
    if (count == 0xF) {
      if (first >= tableOffset || (bytes[first] >> 4) != 0x1) return false;
      const std::size_t width = std::size_t{1} << (bytes[first] & 0xF);
      if (width > 8 || first + 1 + width > tableOffset) return false;
      count = bigEndian(bytes + first + 1, width);
      first += 1 + width;
    }
    if (kind == 0xD) {
      if (count > (tableOffset - first) / (2 * referenceSize)) return false;
      count *= 2;  // keys, then values
    }
    return count <= (tableOffset - first) / referenceSize;
  };

  enum : std::uint8_t { unseen, open, done };
  std::vector<std::uint8_t> state(static_cast<std::size_t>(objectCount), unseen);
  std::vector<std::uint8_t> height(static_cast<std::size_t>(objectCount), 0);
  std::vector<std::uint32_t> nodes(static_cast<std::size_t>(objectCount), 0);
  struct Frame {
    std::uint64_t object;
    std::size_t next;         // position of the next reference
    std::uint64_t remaining;  // references still to visit
    std::uint64_t nodes;      // this object and the children visited so far, expanded
    std::size_t height;       // levels below this object seen so far
  };
  std::vector<Frame> path;
  auto enter = [&](std::uint64_t object) {
    Frame frame{object, 0, 0, 1, 0};
    if (!references(object, frame.next, frame.remaining)) return false;
    state[object] = open;
    path.push_back(frame);
    return path.size() <= kMaximumPlistDepth + 1;
  };
  if (!enter(root)) return false;
  while (!path.empty()) {
    Frame& frame = path.back();
    if (frame.remaining == 0) {
      const Frame finished = frame;
      path.pop_back();
      state[finished.object] = done;
      height[finished.object] = static_cast<std::uint8_t>(finished.height);
      nodes[finished.object] = static_cast<std::uint32_t>(finished.nodes);
      if (!path.empty()) {
        path.back().nodes += finished.nodes;
        path.back().height = std::max(path.back().height, finished.height + 1);
        if (path.back().nodes > kMaximumPlistNodes) return false;
      }
      continue;
    }
    const std::uint64_t child = bigEndian(bytes + frame.next, referenceSize);
    frame.next += referenceSize;
    --frame.remaining;
    if (child >= objectCount || state[child] == open) return false;  // out of range, or a cycle
    if (state[child] == unseen) {
      if (!enter(child)) return false;
      continue;
    }
    // Seen before through another reference: the parser copies it again.
    frame.nodes += nodes[child];
    frame.height = std::max<std::size_t>(frame.height, height[child] + 1);
    if (frame.nodes > kMaximumPlistNodes || path.size() + height[child] > kMaximumPlistDepth) {
      return false;
    }
  }
  return true;
}

// XML lists: element nesting, counted over every element (the plist element and a leaf inside
// the deepest container add two levels to the containers' depth).
bool isWithinXmlLimits(std::string_view text) {
  std::size_t depth = 0;
  std::size_t at = 0;
  auto skipPast = [&](std::string_view end) {
    const std::size_t found = text.find(end, at);
    if (found == std::string_view::npos) return false;
    at = found + end.size();
    return true;
  };
  while ((at = text.find('<', at)) != std::string_view::npos) {
    const std::string_view rest = text.substr(at);
    if (rest.starts_with("<!--")) {
      if (!skipPast("-->")) return false;
    } else if (rest.starts_with("<![CDATA[")) {
      if (!skipPast("]]>")) return false;
    } else if (rest.starts_with("<?")) {
      if (!skipPast("?>")) return false;
    } else if (rest.starts_with("<!")) {
      if (!skipPast(">")) return false;
    } else if (rest.starts_with("</")) {
      if (!skipPast(">")) return false;
      if (depth > 0) --depth;
    } else {
      char quote = 0;
      std::size_t end = at + 1;
      for (; end < text.size(); ++end) {
        const char c = text[end];
        if (quote != 0) {
          if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '>') {
          break;
        }
      }
      if (end >= text.size()) return false;
      if (text[end - 1] != '/' && ++depth > kMaximumPlistDepth + 2) return false;
      at = end + 1;
    }
  }
  return true;
}

bool isWithinLimits(std::string_view bytes) {
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), "bplist00", 8) == 0) {
    return isWithinBinaryLimits(bytes);
  }
  return isWithinXmlLimits(bytes);
}

}  // namespace

std::optional<BundleInfo> parseBundleInfo(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaximumInfoPlistSize) return std::nullopt;
  if (!isWithinLimits(bytes)) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
  const PlistPtr root(raw);
  if (root == nullptr || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;

  auto identifier = stringEntry(root.get(), "CFBundleIdentifier");
  if (!identifier || identifier->empty()) return std::nullopt;
  BundleInfo info;
  info.identifier = std::move(*identifier);
  info.displayName = stringEntry(root.get(), "CFBundleDisplayName");
  if (!info.displayName || info.displayName->empty()) {
    info.displayName = stringEntry(root.get(), "CFBundleName");
  }
  info.shortVersion = stringEntry(root.get(), "CFBundleShortVersionString");
  return info;
}

std::optional<BundleInfo> readBundleInfo(int directoryFd, const char* name) {
  const FileDescriptor file(
      ::openat(directoryFd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (file.get() < 0) return std::nullopt;
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0 ||
      static_cast<std::size_t>(status.st_size) > kMaximumInfoPlistSize) {
    return std::nullopt;
  }
  // O_NONBLOCK keeps a FIFO in its place from stalling the open; it is then refused as not a
  // regular file. The file may grow while it is read (a copy in progress); one byte more than its
  // size tells that apart, and a partial file simply fails to parse until its writer closes it.
  std::string bytes(static_cast<std::size_t>(status.st_size) + 1, '\0');
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t n = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  bytes.resize(filled);
  return parseBundleInfo(bytes);
}

std::string encodeStringDictionary(const std::vector<std::pair<std::string, std::string>>& entries,
                                   PlistFormat format) {
  const PlistPtr dictionary(plist_new_dict());
  for (const auto& [key, value] : entries) {
    plist_dict_set_item(dictionary.get(), key.c_str(), plist_new_string(value.c_str()));
  }
  char* data = nullptr;
  std::uint32_t length = 0;
  if (format == PlistFormat::xml) {
    plist_to_xml(dictionary.get(), &data, &length);
  } else {
    plist_to_bin(dictionary.get(), &data, &length);
  }
  if (data == nullptr) throw std::runtime_error("cannot encode a property list");
  std::string encoded(data, length);
  if (format == PlistFormat::xml) {
    plist_to_xml_free(data);
  } else {
    plist_to_bin_free(data);
  }
  return encoded;
}

}  // namespace platform::detail
