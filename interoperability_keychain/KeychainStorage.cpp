#include "interoperability_keychain/KeychainStorage.h"

#include <iostream>
#include <utility>

#include "keychain/os_status_error.h"

namespace brisvane {

namespace {

KeychainStorage::Options makeOptions(std::string service, std::optional<std::string> accessGroup,
                                     platform::SecKeychainRef keychain) {
  KeychainStorage::Options options;
  options.service = std::move(service);
  options.keychainAccessGroup = std::move(accessGroup);
  if (keychain) options.attributes.emplace(platform::kSecUseKeychain, std::move(keychain));
  return options;
}

// Sets `key`, replacing an entry already there. Replacing by erase and emplace, rather than by
// assigning to the variant, keeps g++ 12 at -O3 from a false free-nonheap-object warning.
void put(platform::KeychainDictionary& dictionary, const std::string& key,
         platform::KeychainValue value) {
  dictionary.erase(key);
  dictionary.emplace(key, std::move(value));
}

}  // namespace

KeychainStorage::KeychainStorage(std::string service, std::optional<std::string> accessGroup,
                                 platform::SecKeychainRef keychain,
                                 std::shared_ptr<platform::KeychainServices> services)
    : KeychainStorage(makeOptions(std::move(service), std::move(accessGroup), std::move(keychain)),
                      std::move(services)) {}

KeychainStorage::KeychainStorage(Options options,
                                 std::shared_ptr<platform::KeychainServices> services)
    : options_(std::move(options)), services_(std::move(services)) {}

platform::KeychainDictionary KeychainStorage::baseQuery() const {
  platform::KeychainDictionary query;
  query.emplace(platform::kSecClass, options_.itemClass);
  query.emplace(platform::kSecAttrSynchronizable, platform::kSecAttrSynchronizableAny);
  query.emplace(platform::kSecAttrService, options_.service);
  if (options_.keychainAccessGroup) {
    query.emplace(platform::kSecAttrAccessGroup, *options_.keychainAccessGroup);
  }
  query.emplace(platform::kSecUseDataProtectionKeychain, platform::kCFBooleanTrue);
  return query;
}

platform::KeychainDictionary KeychainStorage::itemAttributes(
    const std::optional<std::string>& account, const platform::Bytes& bytes) const {
  platform::KeychainDictionary item;
  if (account) {
    item = baseQuery();
    put(item, platform::kSecAttrAccount, *account);
  }
  put(item, platform::kSecValueData, bytes);
  put(item, platform::kSecAttrSynchronizable,
      options_.synchronizable ? platform::kCFBooleanTrue : platform::kCFBooleanFalse);
  for (const auto& [key, value] : options_.attributes) put(item, key, value);
  return item;
}

void KeychainStorage::save(const platform::Bytes& bytes, const std::string& key) {
  std::lock_guard guard(lock_);
  auto probe = baseQuery();
  put(probe, platform::kSecAttrAccount, key);
  put(probe, platform::kSecReturnData, platform::kCFBooleanTrue);
  const platform::OSStatus probeStatus = services_->itemCopyMatching(probe, nullptr);

  if (probeStatus == platform::errSecSuccess ||
      probeStatus == platform::errSecInteractionNotAllowed) {
    auto query = baseQuery();
    put(query, platform::kSecAttrAccount, key);
    // The outcome of the update is deliberately not examined: a save over an existing item
    // ends without an error whatever the keychain answers.
    [[maybe_unused]] const platform::OSStatus ignored =
        services_->itemUpdate(query, itemAttributes(std::nullopt, bytes));
    return;
  }
  if (probeStatus == platform::errSecItemNotFound) {
    const auto item = itemAttributes(key, bytes);
    std::cout << ("Options attributes: " + platform::describe(options_.attributes) + "\n")
              << std::flush;
    const platform::OSStatus status = services_->itemAdd(item);
    if (status != platform::errSecSuccess) throw platform::OSStatusError(status);
  }
  // Any other probe status: nothing is written and the save ends without an error.
}

std::optional<platform::Bytes> KeychainStorage::read(const std::string& key) {
  std::lock_guard guard(lock_);
  auto query = baseQuery();
  put(query, platform::kSecMatchLimit, platform::kSecMatchLimitOne);
  put(query, platform::kSecReturnData, platform::kCFBooleanTrue);
  put(query, platform::kSecAttrAccount, key);
  std::optional<platform::KeychainValue> result;
  const platform::OSStatus status = services_->itemCopyMatching(query, &result);
  if (status == platform::errSecItemNotFound) return std::nullopt;
  if (status != platform::errSecSuccess) throw platform::OSStatusError(status);
  if (!result) return std::nullopt;
  auto* bytes = std::get_if<platform::Bytes>(&*result);
  if (bytes == nullptr) return std::nullopt;
  return std::move(*bytes);
}

void KeychainStorage::deleteItem(const std::string& key) {
  std::lock_guard guard(lock_);
  auto query = baseQuery();
  put(query, platform::kSecAttrAccount, key);
  const platform::OSStatus status = services_->itemDelete(query);
  if (status != platform::errSecSuccess && status != platform::errSecItemNotFound) {
    throw platform::OSStatusError(status);
  }
}

}  // namespace brisvane
