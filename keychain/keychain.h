#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "brisvane_export.h"

// The user's keychain: generic-password items kept in one database file per user, shared by
// every process of that user, with the four item operations and their statuses.
//
// An item is identified by its class, service, access group, account and synchronizable flag
// and carries data bytes. Dictionaries name attributes with the kSec... keys below; a value is
// text, bytes, a boolean, the synchronizable-any marker or a keychain reference.
//
// The store lives at $XDG_DATA_HOME/brisvane/keychain.sqlite3 ($HOME/.local/share when
// XDG_DATA_HOME is unset, empty or relative), in a folder of mode 0700, file mode 0600. Several
// processes and threads may use it at the same time; a process killed in the middle of a write
// leaves the store as it was before or after that write. A store that cannot be opened, or whose
// file is damaged, makes the operations return a failure status; nothing crashes. The layout is
// described in docs/wire-formats.md.

namespace platform {

using OSStatus = std::int32_t;

// Statuses of the keychain operations.
inline constexpr OSStatus errSecSuccess = 0;
// The store's file could not be read or written (I/O error, disk full, read-only file).
inline constexpr OSStatus errSecIO = -36;
// A dictionary holds an unknown key, a value of the wrong kind, or a combination not supported.
inline constexpr OSStatus errSecParam = -50;
// Memory ran out.
inline constexpr OSStatus errSecAllocate = -108;
// The store cannot be located, created or opened.
inline constexpr OSStatus errSecNotAvailable = -25291;
// An add found an item with the same identity.
inline constexpr OSStatus errSecDuplicateItem = -25299;
// No item matches.
inline constexpr OSStatus errSecItemNotFound = -25300;
// The store stayed locked by other writers for longer than the busy timeout.
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;
// The store's file is not a keychain store, or it is damaged.
inline constexpr OSStatus errSecDecode = -26275;

// Attribute keys of the dictionaries.
inline constexpr char kSecClass[] = "class";
inline constexpr char kSecAttrService[] = "service";
inline constexpr char kSecAttrAccount[] = "account";
inline constexpr char kSecAttrAccessGroup[] = "access-group";
inline constexpr char kSecAttrSynchronizable[] = "synchronizable";
inline constexpr char kSecUseDataProtectionKeychain[] = "use-data-protection-keychain";
inline constexpr char kSecUseKeychain[] = "use-keychain";
inline constexpr char kSecMatchLimit[] = "match-limit";
inline constexpr char kSecReturnData[] = "return-data";
inline constexpr char kSecValueData[] = "value-data";

// Text values.
inline constexpr char kSecClassGenericPassword[] = "generic-password";
inline constexpr char kSecMatchLimitOne[] = "match-limit-one";
inline constexpr char kSecMatchLimitAll[] = "match-limit-all";

inline constexpr bool kCFBooleanTrue = true;
inline constexpr bool kCFBooleanFalse = false;

using Bytes = std::vector<std::uint8_t>;

// The value of kSecAttrSynchronizable in a query that matches items whatever their flag.
struct BRISVANE_EXPORT SynchronizableAny {
  friend bool operator==(SynchronizableAny, SynchronizableAny) { return true; }
};
inline constexpr SynchronizableAny kSecAttrSynchronizableAny{};

// A store other than the user's default one, named by kSecUseKeychain. An immutable value.
class BRISVANE_EXPORT SecKeychain {
 public:
  explicit SecKeychain(std::filesystem::path databasePath)
      : databasePath_(std::move(databasePath)) {}
  const std::filesystem::path& databasePath() const noexcept { return databasePath_; }

 private:
  std::filesystem::path databasePath_;
};
using SecKeychainRef = std::shared_ptr<const SecKeychain>;

using KeychainValue = std::variant<std::string, Bytes, bool, SynchronizableAny, SecKeychainRef>;
using KeychainDictionary = std::map<std::string, KeychainValue, std::less<>>;

// The textual form of a dictionary: [:] when empty, else ["key": value, ...] in key order, text
// quoted, bytes as a count ("12 bytes"), the marker as synchronizable-any.
BRISVANE_EXPORT std::string describe(const KeychainDictionary& dictionary);
BRISVANE_EXPORT std::string describe(const KeychainValue& value);

// The four item operations:
//
// SecItemAdd(attributes): adds one item. Requires kSecClass; kSecAttrService, kSecAttrAccount and
//   kSecAttrAccessGroup default to empty text, kSecAttrSynchronizable (a boolean) to false,
//   kSecValueData to no bytes. errSecDuplicateItem when an item with the same identity exists.
// SecItemCopyMatching(query, result): looks for items matching every attribute of the query
//   (an absent attribute matches anything, except kSecAttrSynchronizable, whose absence matches
//   only items whose flag is false, and whose kSecAttrSynchronizableAny matches both). With
//   kSecReturnData true and a result slot, the slot receives the data bytes of the first match
//   (non-synchronizable items first); kSecMatchLimit may be kSecMatchLimitOne, or
//   kSecMatchLimitAll when no data is asked for. A null slot only tests for a match.
// SecItemUpdate(query, changes): sets the attributes in `changes` (service, account, access
//   group, synchronizable as a boolean, data) on every item matching the query.
//   errSecDuplicateItem when that would give two items the same identity.
// SecItemDelete(query): removes every item matching the query.
//
// All four return errSecItemNotFound when no item matches, errSecParam for a malformed
// dictionary (no kSecClass, a class other than kSecClassGenericPassword, an unknown key, a value
// of the wrong kind, kSecReturnData outside a copy), and the store statuses listed above.
// kSecUseDataProtectionKeychain is accepted as a boolean; there is one kind of keychain here.
// kSecUseKeychain, in any of the dictionaries, sends the operation to that store.
//
// Threads: any thread, any number at once. Calls block while the store is busy, up to the busy
// timeout.
BRISVANE_EXPORT OSStatus SecItemAdd(const KeychainDictionary& attributes);
BRISVANE_EXPORT OSStatus SecItemCopyMatching(const KeychainDictionary& query,
                                             std::optional<KeychainValue>* result);
BRISVANE_EXPORT OSStatus SecItemUpdate(const KeychainDictionary& query,
                                       const KeychainDictionary& changes);
BRISVANE_EXPORT OSStatus SecItemDelete(const KeychainDictionary& query);

// The four operations as an object, so that their callers can be given another implementation
// (a recording or failing one in tests). Implementations are called from any thread.
class BRISVANE_EXPORT KeychainServices {
 public:
  virtual ~KeychainServices() = default;
  virtual OSStatus itemAdd(const KeychainDictionary& attributes) = 0;
  virtual OSStatus itemCopyMatching(const KeychainDictionary& query,
                                    std::optional<KeychainValue>* result) = 0;
  virtual OSStatus itemUpdate(const KeychainDictionary& query,
                              const KeychainDictionary& changes) = 0;
  virtual OSStatus itemDelete(const KeychainDictionary& query) = 0;

  // The user's store, through the functions above. Shared by the whole process.
  static std::shared_ptr<KeychainServices> system();
};

// Where the user's store is, from the environment at the time of the call; nullopt when neither
// XDG_DATA_HOME nor a home folder is known.
BRISVANE_EXPORT std::optional<std::filesystem::path> defaultKeychainPath();

}  // namespace platform
