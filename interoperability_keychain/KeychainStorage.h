#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "brisvane_export.h"
#include "keychain/keychain.h"

namespace brisvane {

// Keeps opaque byte blobs in generic-password items of the user's keychain: one item per key
// (its account), all items of one storage sharing one service and one access group, always in
// the data-protection keychain. It never looks inside the bytes.
//
// Failures are platform::OSStatusError carrying the keychain's status: a failed add, and any
// read or delete status other than success and not-found. Not-found is never a failure: read
// gives nullopt, delete succeeds, save adds. A failed update, and a save whose probe reports
// something other than found, not-found or interaction-not-allowed, are not reported.
//
// Each add writes one line, "Options attributes: " followed by the extra attributes, to
// standard output.
//
// Threads: any thread. One lock per storage serialises its operations, from building the
// dictionaries to the last keychain call; the keychain calls block the caller.
class BRISVANE_EXPORT KeychainStorage {
 public:
  struct Options {
    // Value of kSecClass.
    std::string itemClass = platform::kSecClassGenericPassword;
    // Value of kSecAttrService.
    std::string service;
    // Value of kSecAttrAccessGroup; the key is left out of every dictionary when absent.
    std::optional<std::string> keychainAccessGroup;
    // Written to kSecAttrSynchronizable by add and update.
    bool synchronizable = false;
    // Laid over the add and update dictionaries, replacing entries of the same key; never used
    // in read or delete queries.
    platform::KeychainDictionary attributes;
  };

  // Options for `service` and `accessGroup`; when `keychain` is given, the one extra attribute
  // kSecUseKeychain naming it.
  KeychainStorage(
      std::string service, std::optional<std::string> accessGroup,
      platform::SecKeychainRef keychain,
      std::shared_ptr<platform::KeychainServices> services = platform::KeychainServices::system());
  explicit KeychainStorage(Options options, std::shared_ptr<platform::KeychainServices> services =
                                                platform::KeychainServices::system());
  KeychainStorage(const KeychainStorage&) = delete;
  KeychainStorage& operator=(const KeychainStorage&) = delete;

  // Adds the item of `key` holding `bytes`, or replaces the bytes (and the synchronizable flag)
  // of the existing one.
  void save(const platform::Bytes& bytes, const std::string& key);
  // The bytes stored under `key`, or nullopt when there is no such item.
  std::optional<platform::Bytes> read(const std::string& key);
  // Removes the item of `key`; succeeds when there is none.
  void deleteItem(const std::string& key);

  const Options& options() const noexcept { return options_; }

 private:
  platform::KeychainDictionary baseQuery() const;
  platform::KeychainDictionary itemAttributes(const std::optional<std::string>& account,
                                              const platform::Bytes& bytes) const;

  std::mutex lock_;
  const Options options_;
  const std::shared_ptr<platform::KeychainServices> services_;
};

}  // namespace brisvane
