#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "brisvane_export.h"

namespace platform {

// Attribute names of metadata items.
inline constexpr const char* MetadataItemCFBundleIdentifierKey = "kMDItemCFBundleIdentifier";
inline constexpr const char* MetadataItemPathKey = "kMDItemPath";
inline constexpr const char* MetadataItemFSNameKey = "kMDItemFSName";
inline constexpr const char* MetadataItemDisplayNameKey = "kMDItemDisplayName";
inline constexpr const char* MetadataItemVersionKey = "kMDItemVersion";

// Notifications a running MetadataQuery posts on NotificationCenter::defaultCenter(), with the
// query's address as object.
inline constexpr const char* MetadataQueryDidFinishGatheringNotification =
    "MetadataQueryDidFinishGatheringNotification";
inline constexpr const char* MetadataQueryDidUpdateNotification =
    "MetadataQueryDidUpdateNotification";
// User-info keys of the did-update notification. Each holds a std::vector<MetadataItem>.
inline constexpr const char* MetadataQueryUpdateAddedItemsKey = "MetadataQueryUpdateAddedItemsKey";
inline constexpr const char* MetadataQueryUpdateRemovedItemsKey =
    "MetadataQueryUpdateRemovedItemsKey";
inline constexpr const char* MetadataQueryUpdateChangedItemsKey =
    "MetadataQueryUpdateChangedItemsKey";

// One application bundle as the index describes it: an immutable set of text attributes
// (bundle identifier, path, folder name, display name, version). Cheap to copy; thread-safe.
class BRISVANE_EXPORT MetadataItem {
 public:
  using Attributes = std::map<std::string, std::string, std::less<>>;

  MetadataItem();
  explicit MetadataItem(Attributes attributes);

  // The attribute's value, absent when the item does not have it.
  std::optional<std::string> valueForAttribute(std::string_view key) const;
  const Attributes& attributes() const { return *attributes_; }

  friend bool operator==(const MetadataItem& a, const MetadataItem& b);

 private:
  std::shared_ptr<const Attributes> attributes_;
};

// A condition on metadata items: the comparison "%K == %@" of one attribute with a text, or the
// OR of other predicates. An immutable value; thread-safe.
class BRISVANE_EXPORT Predicate {
 public:
  enum class Type { comparison, orCompound };

  // The comparison `key == value`. The only format understood is "%K == %@"; any other format
  // is a programming error and throws std::invalid_argument.
  static Predicate withFormat(std::string_view format, std::string key, std::string value);
  // True when any subpredicate is; an empty list is never true.
  static Predicate orPredicateWithSubpredicates(std::vector<Predicate> subpredicates);

  Type type() const { return type_; }
  // Comparison only.
  const std::string& key() const { return key_; }
  const std::string& value() const { return value_; }
  // OR compound only; empty for a comparison.
  const std::vector<Predicate>& subpredicates() const { return subpredicates_; }

  bool evaluate(const MetadataItem& item) const;
  // Readable form, e.g. kMDItemCFBundleIdentifier == "a" OR kMDItemCFBundleIdentifier == "b".
  std::string predicateFormat() const;

 private:
  Predicate(Type type, std::string key, std::string value, std::vector<Predicate> subpredicates);

  Type type_;
  std::string key_;
  std::string value_;
  std::vector<Predicate> subpredicates_;
};

// A live query for the application bundles ("*.app" folders) under a list of folders whose
// Contents/Info.plist matches a predicate.
//
// Gathering walks every scope (never into a bundle, never through a symbolic link below the
// scope itself) and reads each bundle's Info.plist, XML or binary; a bundle reached through
// two overlapping scopes is one item. A bundle whose Info.plist is missing, unreadable or has no
// CFBundleIdentifier is not an item. A scope that does not exist is not an error: its nearest
// existing parent is watched and the scope is searched once it appears. After gathering, the
// query follows the folders through inotify and reports added, removed and changed items; it
// wakes only when something in the watched folders changes.
//
// Threads: every member, the destructor included, is called on the main thread (the thread
// that pumps MainLoop::main()). Gathering runs on a background task. Notifications are posted on
// the main thread, from blocks and file-descriptor callbacks of the main loop, on
// NotificationCenter::defaultCenter() with this query's address as object:
// - MetadataQueryDidFinishGatheringNotification once, when the initial gather is complete and
//   results() holds its items;
// - MetadataQueryDidUpdateNotification after every later change of the results, with the items
//   under MetadataQueryUpdateAddedItemsKey, ...RemovedItemsKey and ...ChangedItemsKey (every
//   key present, possibly empty).
// Handlers may stop or destroy the query.
class BRISVANE_EXPORT MetadataQuery {
 public:
  MetadataQuery();
  MetadataQuery(const MetadataQuery&) = delete;
  MetadataQuery& operator=(const MetadataQuery&) = delete;
  // Stops the query.
  ~MetadataQuery();

  // Both take effect at the next startQuery().
  void setPredicate(Predicate predicate);
  const std::optional<Predicate>& predicate() const;
  void setSearchScopes(std::vector<std::filesystem::path> scopes);
  const std::vector<std::filesystem::path>& searchScopes() const;

  // Starts gathering; returns at once. False, and nothing started, when the query is already
  // running or has no predicate. A query that has been stopped may be started again.
  bool startQuery();
  // Stops gathering and watching; no notification is posted afterwards. Results stay as they
  // were. Harmless when repeated or before startQuery().
  void stopQuery();

  bool isStarted() const;
  bool isGathering() const;
  bool isStopped() const;

  // While updates are disabled, results() does not change and no did-update notification is
  // posted; the changes meanwhile are held, and enableUpdates() reports them (their net effect)
  // in one did-update notification posted from the main loop shortly afterwards.
  void disableUpdates();
  void enableUpdates();

  // Matching items, ordered by path. Empty until gathering has finished.
  std::vector<MetadataItem> results() const;
  std::size_t resultCount() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform
