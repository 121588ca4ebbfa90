#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "keychain/keychain.h"

// The database behind keychain/keychain.h. Not for use outside keychain/.

namespace platform::detail {

enum class SynchronizableMatch { notSynchronizable, synchronizable, any };

// Items match when every present field is equal.
struct KeychainItemQuery {
  std::optional<std::string> service;
  std::optional<std::string> accessGroup;
  std::optional<std::string> account;
  SynchronizableMatch synchronizable = SynchronizableMatch::notSynchronizable;
};

struct KeychainItem {
  std::string service;
  std::string accessGroup;
  std::string account;
  bool synchronizable = false;
  Bytes data;
};

// Present fields are set on every matching item.
struct KeychainItemChanges {
  std::optional<std::string> service;
  std::optional<std::string> accessGroup;
  std::optional<std::string> account;
  std::optional<bool> synchronizable;
  std::optional<Bytes> data;
};

// Each opens (or reuses) a connection to the store file at `database`. Add and update create
// the file and its folder when missing; find and delete create nothing and answer
// errSecItemNotFound, as an empty store would. No call waits longer than the busy timeout
// (5 s) for another process, then errSecInteractionNotAllowed. Any thread.
OSStatus storeAdd(const std::filesystem::path& database, const KeychainItem& item);
// Tests for a match; with `data`, copies the data of the first match into it.
OSStatus storeFind(const std::filesystem::path& database, const KeychainItemQuery& query,
                   Bytes* data);
OSStatus storeUpdate(const std::filesystem::path& database, const KeychainItemQuery& query,
                     const KeychainItemChanges& changes);
OSStatus storeDelete(const std::filesystem::path& database, const KeychainItemQuery& query);

}  // namespace platform::detail
