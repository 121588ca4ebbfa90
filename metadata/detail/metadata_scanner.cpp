#include "metadata/detail/metadata_scanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "metadata/detail/metadata_plist.h"

namespace platform::detail {
namespace {

// Folders, bundles and Contents folders: everything whose change can add, remove or alter a
// bundle. Reads are not watched, so reading a plist never wakes the query.
constexpr std::uint32_t kTreeMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                    IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                    IN_ONLYDIR | IN_EXCL_UNLINK;
// The nearest existing parent of a missing scope only needs to see folders appear.
constexpr std::uint32_t kAncestorMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;

// Without symbolic links folders cannot loop, but a bound on the depth keeps a pathological tree
// from costing unbounded work.
constexpr int kMaximumDepth = 128;

constexpr std::string_view kBundleSuffix = ".app";

bool isBundleName(std::string_view name) {
  return name.size() > kBundleSuffix.size() &&
         name.substr(name.size() - kBundleSuffix.size()) == kBundleSuffix;
}

bool isWithin(const std::string& path, const std::string& root) {
  if (root == "/") return !path.empty() && path.front() == '/';
  return path.size() >= root.size() && path.compare(0, root.size(), root) == 0 &&
         (path.size() == root.size() || path[root.size()] == '/');
}

std::string join(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (path != "/") path += '/';
  path += name;
  return path;
}

std::string parentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == 0 || slash == std::string::npos) return "/";
  return path.substr(0, slash);
}

std::string_view nameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string_view(path)
                                    : std::string_view(path).substr(slash + 1);
}

bool isDirectory(const std::string& path, bool follow) {
  struct stat status {};
  const int rc = follow ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status);
  return rc == 0 && S_ISDIR(status.st_mode);
}

// Calls `onErase` for, then erases, the entry at `root` and every entry below it.
template <class Map, class F>
void eraseSubtree(Map& map, const std::string& root, F onErase) {
  if (auto it = map.find(root); it != map.end()) {
    onErase(*it);
    map.erase(it);
  }
  const std::string prefix = root == "/" ? root : root + '/';
  for (auto it = map.lower_bound(prefix);
       it != map.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
    onErase(*it);
    it = map.erase(it);
  }
}

bool hasAncestorIn(const std::set<std::string>& paths, const std::string& path) {
  for (std::string ancestor = path; ancestor != "/";) {
    ancestor = parentOf(ancestor);
    if (paths.count(ancestor) != 0) return true;
  }
  return false;
}

MetadataItem makeItem(const std::string& path, std::string_view name, BundleInfo info) {
  MetadataItem::Attributes attributes;
  attributes.emplace(MetadataItemCFBundleIdentifierKey, std::move(info.identifier));
  attributes.emplace(MetadataItemPathKey, path);
  attributes.emplace(MetadataItemFSNameKey, std::string(name));
  attributes.emplace(MetadataItemDisplayNameKey,
                     info.displayName && !info.displayName->empty()
                         ? std::move(*info.displayName)
                         : std::string(name.substr(0, name.size() - kBundleSuffix.size())));
  if (info.shortVersion) attributes.emplace(MetadataItemVersionKey, std::move(*info.shortVersion));
  return MetadataItem(std::move(attributes));
}

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

BundleScanner::BundleScanner(const std::vector<std::filesystem::path>& scopes) {
  for (const auto& scope : scopes) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(scope, error);
    if (error) continue;
    std::string normal = absolute.lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    bool isDuplicate = false;
    for (const auto& known : scopes_) isDuplicate = isDuplicate || known == normal;
    if (!isDuplicate) scopes_.push_back(std::move(normal));
  }
}

BundleScanner::~BundleScanner() {
  if (feed_ >= 0) ::close(feed_);
}

bool BundleScanner::openChangeFeed() {
  if (feed_ < 0) feed_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  return feed_ >= 0;
}

bool BundleScanner::isCancelled() const {
  return cancelled_ != nullptr && cancelled_->load(std::memory_order_relaxed);
}

void BundleScanner::gather(const std::atomic<bool>& cancelled) {
  cancelled_ = &cancelled;
  ensureScopes();
  cancelled_ = nullptr;
}

bool BundleScanner::addWatch(const std::string& path, bool follow, bool isAncestorOnly) {
  if (feed_ < 0) return false;
  auto existing = watchByPath_.find(path);
  // A folder's full watch already reports what its ancestor watch would.
  if (isAncestorOnly && existing != watchByPath_.end() && !existing->second.isAncestorOnly) {
    return true;
  }
  std::uint32_t mask = isAncestorOnly ? kAncestorMask : kTreeMask;
  if (!follow) mask |= IN_DONT_FOLLOW;
  const int descriptor = ::inotify_add_watch(feed_, path.c_str(), mask);
  if (descriptor < 0) {
    if (errno == ENOSPC || errno == ENOMEM) ++failedWatches_;
    forgetWatch(path);
    return false;
  }
  if (existing != watchByPath_.end() && existing->second.descriptor != descriptor) {
    // Another folder now stands at this path; the old one is no longer ours to watch.
    ::inotify_rm_watch(feed_, existing->second.descriptor);
    pathByWatch_.erase(existing->second.descriptor);
  }
  if (auto other = pathByWatch_.find(descriptor);
      other != pathByWatch_.end() && other->second != path) {
    // The watched folder moved here from another path.
    watchByPath_.erase(other->second);
    ancestorWatches_.erase(other->second);
  }
  watchByPath_[path] = Watch{descriptor, isAncestorOnly};
  pathByWatch_[descriptor] = path;
  if (isAncestorOnly) {
    ancestorWatches_.insert(path);
  } else {
    ancestorWatches_.erase(path);
  }
  return true;
}

void BundleScanner::forgetWatch(const std::string& path) {
  const auto it = watchByPath_.find(path);
  if (it == watchByPath_.end()) return;
  ::inotify_rm_watch(feed_, it->second.descriptor);
  pathByWatch_.erase(it->second.descriptor);
  watchByPath_.erase(it);
  ancestorWatches_.erase(path);
}

void BundleScanner::removeSubtree(const std::string& path) {
  eraseSubtree(watchByPath_, path, [this](const auto& entry) {
    ::inotify_rm_watch(feed_, entry.second.descriptor);
    pathByWatch_.erase(entry.second.descriptor);
    ancestorWatches_.erase(entry.first);
  });
  eraseSubtree(bundles_, path, [](const auto&) {});
  for (const auto& scope : scopes_) {
    if (isWithin(scope, path)) scannedScopes_.erase(scope);
  }
}

void BundleScanner::ensureScopes() {
  std::set<std::string> neededAncestors;
  for (const auto& scope : scopes_) {
    // A folder on the way to a missing scope may appear while its parent's watch is being set
    // up; looking again after each watch closes that gap.
    for (int attempt = 0; attempt < 16; ++attempt) {
      if (isCancelled()) return;
      if (isDirectory(scope, true)) {
        if (scannedScopes_.count(scope) == 0) {
          const auto watch = watchByPath_.find(scope);
          bool isCovered = false;
          if (watch != watchByPath_.end() && !watch->second.isAncestorOnly) {
            for (const auto& other : scannedScopes_) {
              isCovered = isCovered || (other != scope && isWithin(scope, other));
            }
          }
          if (!isCovered) scanTree(scope, true);
          if (isCancelled()) return;
          scannedScopes_.insert(scope);
        }
        break;
      }
      if (scannedScopes_.count(scope) != 0) removeSubtree(scope);
      std::string ancestor = parentOf(scope);
      while (ancestor != "/" && !isDirectory(ancestor, true)) ancestor = parentOf(ancestor);
      addWatch(ancestor, true, true);
      neededAncestors.insert(ancestor);
      const std::size_t start = ancestor == "/" ? 1 : ancestor.size() + 1;
      if (!isDirectory(scope.substr(0, scope.find('/', start)), true)) break;
    }
  }
  for (auto it = ancestorWatches_.begin(); it != ancestorWatches_.end();) {
    if (neededAncestors.count(*it) != 0) {
      ++it;
      continue;
    }
    const auto watch = watchByPath_.find(*it);
    if (watch != watchByPath_.end()) {
      ::inotify_rm_watch(feed_, watch->second.descriptor);
      pathByWatch_.erase(watch->second.descriptor);
      watchByPath_.erase(watch);
    }
    it = ancestorWatches_.erase(it);
  }
}

void BundleScanner::scanTree(const std::string& root, bool isScopeRoot) {
  struct Pending {
    std::string path;
    int depth;
  };
  std::vector<Pending> pending{{root, 0}};
  while (!pending.empty()) {
    if (isCancelled()) return;
    const Pending folder = std::move(pending.back());
    pending.pop_back();
    // The scope itself may be a symbolic link; nothing below it is followed.
    const bool follow = isScopeRoot && folder.depth == 0;
    // Watch before listing, so that whatever changes after the listing is reported.
    addWatch(folder.path, follow, false);
    const int fd =
        ::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    if (fd < 0) continue;
    DIR* listing = ::fdopendir(fd);
    if (listing == nullptr) {
      ::close(fd);
      continue;
    }
    while (const dirent* entry = ::readdir(listing)) {
      const std::string_view name(entry->d_name);
      if (name == "." || name == "..") continue;
      bool isFolder = entry->d_type == DT_DIR;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat status {};
        isFolder = ::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                   S_ISDIR(status.st_mode);
      }
      if (!isFolder) continue;
      std::string child = join(folder.path, name);
      if (isBundleName(name)) {
        scanBundle(child, fd, entry->d_name);
      } else if (folder.depth + 1 < kMaximumDepth) {
        pending.push_back({std::move(child), folder.depth + 1});
      }
    }
    ::closedir(listing);
  }
}

void BundleScanner::scanBundle(const std::string& path, int parentFd, const char* name) {
  const ScopedFd bundle(::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (bundle.get() < 0) {
    removeSubtree(path);
    return;
  }
  // The bundle's own watch sees Contents appear or go; the Contents watch sees Info.plist
  // written, replaced or removed. Both are in place before the plist is read.
  addWatch(path, false, false);
  const std::string contentsPath = join(path, "Contents");
  const ScopedFd contents(
      ::openat(bundle.get(), "Contents", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  std::optional<BundleInfo> info;
  if (contents.get() >= 0) {
    addWatch(contentsPath, false, false);
    info = readBundleInfo(contents.get(), "Info.plist");
  } else {
    forgetWatch(contentsPath);
  }
  if (info) {
    bundles_.insert_or_assign(path, makeItem(path, name, std::move(*info)));
  } else {
    bundles_.erase(path);
  }
}

void BundleScanner::reconcileBundle(const std::string& path) {
  const ScopedFd parent(::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (parent.get() < 0) {
    removeSubtree(path);
    return;
  }
  const std::string name(nameOf(path));
  scanBundle(path, parent.get(), name.c_str());
}

void BundleScanner::reconcileTree(const std::string& path) {
  removeSubtree(path);
  for (const auto& scope : scopes_) {
    // ensureScopes() searches a scope again once it is there.
    if (scope == path) return;
  }
  if (isDirectory(path, false)) scanTree(path, false);
}

void BundleScanner::reconcile(const std::set<std::string>& dirty) {
  std::set<std::string> trees;
  std::set<std::string> bundles;
  for (const auto& path : dirty) {
    for (const auto& scope : scannedScopes_) {
      if (!isWithin(path, scope)) continue;
      // Below a bundle only the bundle matters: the outermost bundle on the way is looked at
      // again, and bundles inside it are never items.
      std::string bundle;
      for (std::size_t start = scope == "/" ? 1 : scope.size() + 1; start < path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (isBundleName(std::string_view(path).substr(start, end - start))) {
          bundle = path.substr(0, end);
          break;
        }
        start = end + 1;
      }
      if (bundle.empty()) {
        trees.insert(path);
      } else {
        bundles.insert(bundle);
      }
    }
  }
  for (const auto& tree : trees) {
    if (!hasAncestorIn(trees, tree)) reconcileTree(tree);
  }
  for (const auto& bundle : bundles) {
    if (trees.count(bundle) == 0 && !hasAncestorIn(trees, bundle)) reconcileBundle(bundle);
  }
}

bool BundleScanner::processChanges() {
  if (feed_ < 0) return false;
  alignas(inotify_event) char buffer[64 * 1024];
  bool hasRead = false;
  bool hasOverflowed = false;
  std::set<std::string> dirty;
  for (;;) {
    const ssize_t n = ::read(feed_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    hasRead = true;
    for (const char* p = buffer; p < buffer + n;) {
      inotify_event event{};
      std::memcpy(&event, p, sizeof event);
      const char* name = p + sizeof(inotify_event);
      p += sizeof(inotify_event) + event.len;
      if ((event.mask & IN_Q_OVERFLOW) != 0) {
        hasOverflowed = true;
        continue;
      }
      const auto watched = pathByWatch_.find(event.wd);
      if (watched == pathByWatch_.end()) continue;
      const std::string folder = watched->second;
      if ((event.mask & IN_IGNORED) != 0) {
        // The folder is gone (or unmounted); whatever stands at its path now is looked at again.
        watchByPath_.erase(folder);
        ancestorWatches_.erase(folder);
        pathByWatch_.erase(watched);
        dirty.insert(folder);
      } else if (event.len > 0 && name[0] != '\0') {
        dirty.insert(join(folder, name));
      } else if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0) {
        dirty.insert(folder);
      }
    }
  }
  if (!hasRead) return false;
  if (hasOverflowed) {
    // Events were lost: only a fresh walk can be trusted.
    for (const auto& scope : scopes_) removeSubtree(scope);
  } else {
    reconcile(dirty);
  }
  ensureScopes();
  return true;
}

}  // namespace platform::detail
