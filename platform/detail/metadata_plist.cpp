#include "platform/detail/metadata_plist.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

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

}  // namespace

std::optional<BundleInfo> parseBundleInfo(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaximumInfoPlistSize) return std::nullopt;
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
  const FileDescriptor file(::openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (file.get() < 0) return std::nullopt;
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0 ||
      static_cast<std::size_t>(status.st_size) > kMaximumInfoPlistSize) {
    return std::nullopt;
  }
  // The file may grow while it is read (a copy in progress); one byte more than its size tells
  // that apart, and a partial file simply fails to parse until its writer closes it.
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
