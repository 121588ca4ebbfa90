#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "metadata/metadata_query.h"

namespace platform::detail {

// The index behind a metadata query: every application bundle under the search scopes, keyed by
// path, kept current through one inotify instance.
//
// Watched: each existing scope and every folder below it that is not a bundle (reached without
// following symbolic links), each bundle folder and its Contents folder, and for a scope that
// does not exist, its nearest existing parent. Change events only say where to look again; the
// index then reads the file system as it is, so bursts, reordered events and half-copied
// bundles settle to the right state.
//
// Not thread-safe: one thread at a time (gathering may run on a background thread and hand the
// scanner over to the main thread afterwards).
class BundleScanner {
 public:
  explicit BundleScanner(const std::vector<std::filesystem::path>& scopes);
  BundleScanner(const BundleScanner&) = delete;
  BundleScanner& operator=(const BundleScanner&) = delete;
  ~BundleScanner();

  // Opens the inotify instance. False when the system refuses one; the scanner then gathers
  // all the same but does not see later changes.
  bool openChangeFeed();
  // The inotify descriptor (non-blocking) to wait on for readability, or -1.
  int changeFeedFd() const { return feed_; }

  // Walks every scope. When `cancelled` becomes true the walk stops early and the index is
  // left partial.
  void gather(const std::atomic<bool>& cancelled);

  // Reads every pending change event and brings the index up to date. Never blocks. False when
  // there was nothing to read.
  bool processChanges();

  // Bundles with a readable identifier, by path.
  const std::map<std::string, MetadataItem>& bundles() const { return bundles_; }

  std::size_t watchCount() const { return watchByPath_.size(); }
  // Watches the system refused (for instance past the per-user inotify limit).
  std::size_t failedWatchCount() const { return failedWatches_; }

 private:
  struct Watch {
    int descriptor = -1;
    bool isAncestorOnly = false;
  };

  void ensureScopes();
  void watchNearestAncestor(const std::string& scope, std::set<std::string>& needed);
  void scanTree(const std::string& root, bool isScopeRoot);
  void scanBundle(const std::string& path, int parentFd, const char* name);
  void reconcileBundle(const std::string& path);
  void reconcileTree(const std::string& path);
  void removeSubtree(const std::string& path);
  bool addWatch(const std::string& path, bool follow, bool isAncestorOnly);
  void forgetWatch(const std::string& path);
  void reconcile(const std::set<std::string>& dirty);
  bool isCancelled() const;

  std::vector<std::string> scopes_;
  std::set<std::string> scannedScopes_;
  int feed_ = -1;
  std::map<std::string, Watch> watchByPath_;
  std::unordered_map<int, std::string> pathByWatch_;
  std::set<std::string> ancestorWatches_;
  std::map<std::string, MetadataItem> bundles_;
  std::size_t failedWatches_ = 0;
  const std::atomic<bool>* cancelled_ = nullptr;
};

}  // namespace platform::detail
