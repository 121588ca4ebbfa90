#include "keychain/keychain.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <string_view>
#include <type_traits>

#include "keychain/detail/keychain_store.h"

namespace platform {

namespace {

namespace fs = std::filesystem;
using detail::KeychainItem;
using detail::KeychainItemChanges;
using detail::KeychainItemQuery;
using detail::SynchronizableMatch;

constexpr char kStoreFolder[] = "brisvane";
constexpr char kStoreFile[] = "keychain.sqlite3";

// Which keys a dictionary may hold, by the operation it is given to.
enum class DictionaryRole { addAttributes, copyQuery, updateQuery, updateChanges, deleteQuery };

// The outcome of reading one dictionary: either a status that ends the call or the parts below.
struct ParsedDictionary {
  OSStatus status = errSecSuccess;
  std::optional<std::string> itemClass;
  std::optional<std::string> service;
  std::optional<std::string> accessGroup;
  std::optional<std::string> account;
  std::optional<bool> synchronizable;
  bool isSynchronizableAny = false;
  std::optional<Bytes> data;
  std::optional<bool> returnData;
  std::optional<std::string> matchLimit;
  SecKeychainRef keychain;
};

template <class T>
bool take(const KeychainValue& value, std::optional<T>& out) {
  if (const auto* typed = std::get_if<T>(&value)) {
    out = *typed;
    return true;
  }
  return false;
}

bool isAllowed(std::string_view key, DictionaryRole role) {
  const bool isQuery = role == DictionaryRole::copyQuery || role == DictionaryRole::updateQuery ||
                       role == DictionaryRole::deleteQuery;
  if (key == kSecAttrService || key == kSecAttrAccount || key == kSecAttrAccessGroup ||
      key == kSecAttrSynchronizable || key == kSecUseKeychain) {
    return true;
  }
  if (key == kSecClass || key == kSecUseDataProtectionKeychain) {
    return role != DictionaryRole::updateChanges;
  }
  if (key == kSecValueData) {
    return role == DictionaryRole::addAttributes || role == DictionaryRole::updateChanges;
  }
  if (key == kSecReturnData) return role == DictionaryRole::copyQuery;
  if (key == kSecMatchLimit) return isQuery;
  return false;
}

ParsedDictionary parse(const KeychainDictionary& dictionary, DictionaryRole role) {
  ParsedDictionary parsed;
  auto fail = [&parsed] {
    parsed.status = errSecParam;
    return parsed;
  };
  for (const auto& [key, value] : dictionary) {
    if (!isAllowed(key, role)) return fail();
    bool isWellFormed = false;
    if (key == kSecClass) {
      isWellFormed = take(value, parsed.itemClass);
    } else if (key == kSecAttrService) {
      isWellFormed = take(value, parsed.service);
    } else if (key == kSecAttrAccount) {
      isWellFormed = take(value, parsed.account);
    } else if (key == kSecAttrAccessGroup) {
      isWellFormed = take(value, parsed.accessGroup);
    } else if (key == kSecAttrSynchronizable) {
      isWellFormed = take(value, parsed.synchronizable);
      if (!isWellFormed && std::holds_alternative<SynchronizableAny>(value)) {
        const bool isQuery = role == DictionaryRole::copyQuery ||
                             role == DictionaryRole::updateQuery ||
                             role == DictionaryRole::deleteQuery;
        parsed.isSynchronizableAny = isWellFormed = isQuery;
      }
    } else if (key == kSecValueData) {
      isWellFormed = take(value, parsed.data);
    } else if (key == kSecReturnData) {
      isWellFormed = take(value, parsed.returnData);
    } else if (key == kSecMatchLimit) {
      isWellFormed = take(value, parsed.matchLimit) && (*parsed.matchLimit == kSecMatchLimitOne ||
                                                        *parsed.matchLimit == kSecMatchLimitAll);
    } else if (key == kSecUseDataProtectionKeychain) {
      isWellFormed = std::holds_alternative<bool>(value);
    } else if (key == kSecUseKeychain) {
      const auto* keychain = std::get_if<SecKeychainRef>(&value);
      isWellFormed = keychain != nullptr && *keychain != nullptr;
      if (isWellFormed) parsed.keychain = *keychain;
    }
    if (!isWellFormed) return fail();
  }
  if (role != DictionaryRole::updateChanges &&
      (!parsed.itemClass || *parsed.itemClass != kSecClassGenericPassword)) {
    return fail();
  }
  return parsed;
}

KeychainItemQuery queryOf(const ParsedDictionary& parsed) {
  KeychainItemQuery query;
  query.service = parsed.service;
  query.accessGroup = parsed.accessGroup;
  query.account = parsed.account;
  if (parsed.isSynchronizableAny) {
    query.synchronizable = SynchronizableMatch::any;
  } else if (parsed.synchronizable.value_or(false)) {
    query.synchronizable = SynchronizableMatch::synchronizable;
  }
  return query;
}

// The store named by kSecUseKeychain, else the user's default one.
std::optional<fs::path> storePath(const SecKeychainRef& first, const SecKeychainRef& second) {
  if (first && second && first->databasePath() != second->databasePath()) return std::nullopt;
  if (first) return first->databasePath();
  if (second) return second->databasePath();
  return defaultKeychainPath();
}

// Memory exhaustion is the one exception that can escape the store; it becomes a status.
template <class F>
OSStatus guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return errSecAllocate;
  } catch (const std::exception&) {
    return errSecNotAvailable;
  }
}

class SystemKeychainServices final : public KeychainServices {
 public:
  OSStatus itemAdd(const KeychainDictionary& attributes) override { return SecItemAdd(attributes); }
  OSStatus itemCopyMatching(const KeychainDictionary& query,
                            std::optional<KeychainValue>* result) override {
    return SecItemCopyMatching(query, result);
  }
  OSStatus itemUpdate(const KeychainDictionary& query, const KeychainDictionary& changes) override {
    return SecItemUpdate(query, changes);
  }
  OSStatus itemDelete(const KeychainDictionary& query) override { return SecItemDelete(query); }
};

}  // namespace

std::optional<fs::path> defaultKeychainPath() {
  fs::path dataHome;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    dataHome = xdg;
  } else {
    const char* home = std::getenv("HOME");
    std::string homeFolder = home != nullptr ? home : "";
    if (homeFolder.empty() || homeFolder[0] != '/') {
      passwd entry{};
      passwd* found = nullptr;
      std::string buffer(16384, '\0');
      if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
          found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
        return std::nullopt;
      }
      homeFolder = found->pw_dir;
    }
    dataHome = fs::path(homeFolder) / ".local" / "share";
  }
  return dataHome / kStoreFolder / kStoreFile;
}

std::string describe(const KeychainValue& value) {
  return std::visit(
      [](const auto& alternative) -> std::string {
        using T = std::decay_t<decltype(alternative)>;
        if constexpr (std::is_same_v<T, std::string>) {
          return "\"" + alternative + "\"";
        } else if constexpr (std::is_same_v<T, Bytes>) {
          return std::to_string(alternative.size()) + " bytes";
        } else if constexpr (std::is_same_v<T, bool>) {
          return alternative ? "true" : "false";
        } else if constexpr (std::is_same_v<T, SynchronizableAny>) {
          return "synchronizable-any";
        } else {
          if (!alternative) return "<keychain (none)>";
          return "<keychain \"" + alternative->databasePath().string() + "\">";
        }
      },
      value);
}

std::string describe(const KeychainDictionary& dictionary) {
  if (dictionary.empty()) return "[:]";
  std::string text = "[";
  bool isFirst = true;
  for (const auto& [key, value] : dictionary) {
    if (!isFirst) text += ", ";
    isFirst = false;
    text += "\"" + key + "\": " + describe(value);
  }
  text += "]";
  return text;
}

OSStatus SecItemAdd(const KeychainDictionary& attributes) {
  return guarded([&] {
    ParsedDictionary parsed = parse(attributes, DictionaryRole::addAttributes);
    if (parsed.status != errSecSuccess) return parsed.status;
    const auto path = storePath(parsed.keychain, nullptr);
    if (!path) return errSecNotAvailable;
    KeychainItem item;
    item.service = parsed.service.value_or("");
    item.accessGroup = parsed.accessGroup.value_or("");
    item.account = parsed.account.value_or("");
    item.synchronizable = parsed.synchronizable.value_or(false);
    if (parsed.data) item.data = std::move(*parsed.data);
    return detail::storeAdd(*path, item);
  });
}

OSStatus SecItemCopyMatching(const KeychainDictionary& query,
                             std::optional<KeychainValue>* result) {
  return guarded([&] {
    if (result != nullptr) result->reset();
    const ParsedDictionary parsed = parse(query, DictionaryRole::copyQuery);
    if (parsed.status != errSecSuccess) return parsed.status;
    const bool wantsData = parsed.returnData.value_or(false) && result != nullptr;
    if (parsed.returnData.value_or(false) && parsed.matchLimit == kSecMatchLimitAll) {
      return errSecParam;  // a list of results has no place in the result slot
    }
    const auto path = storePath(parsed.keychain, nullptr);
    if (!path) return errSecNotAvailable;
    Bytes data;
    const OSStatus status = detail::storeFind(*path, queryOf(parsed), wantsData ? &data : nullptr);
    if (status == errSecSuccess && wantsData) *result = KeychainValue(std::move(data));
    return status;
  });
}

OSStatus SecItemUpdate(const KeychainDictionary& query, const KeychainDictionary& changes) {
  return guarded([&] {
    const ParsedDictionary parsedQuery = parse(query, DictionaryRole::updateQuery);
    if (parsedQuery.status != errSecSuccess) return parsedQuery.status;
    ParsedDictionary parsedChanges = parse(changes, DictionaryRole::updateChanges);
    if (parsedChanges.status != errSecSuccess) return parsedChanges.status;
    const auto path = storePath(parsedQuery.keychain, parsedChanges.keychain);
    if (!path) {
      return parsedQuery.keychain && parsedChanges.keychain ? errSecParam : errSecNotAvailable;
    }
    KeychainItemChanges itemChanges;
    itemChanges.service = parsedChanges.service;
    itemChanges.accessGroup = parsedChanges.accessGroup;
    itemChanges.account = parsedChanges.account;
    itemChanges.synchronizable = parsedChanges.synchronizable;
    itemChanges.data = std::move(parsedChanges.data);
    return detail::storeUpdate(*path, queryOf(parsedQuery), itemChanges);
  });
}

OSStatus SecItemDelete(const KeychainDictionary& query) {
  return guarded([&] {
    const ParsedDictionary parsed = parse(query, DictionaryRole::deleteQuery);
    if (parsed.status != errSecSuccess) return parsed.status;
    const auto path = storePath(parsed.keychain, nullptr);
    if (!path) return errSecNotAvailable;
    return detail::storeDelete(*path, queryOf(parsed));
  });
}

std::shared_ptr<KeychainServices> KeychainServices::system() {
  static const auto services = std::make_shared<SystemKeychainServices>();
  return services;
}

}  // namespace platform
