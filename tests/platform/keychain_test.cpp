#include "keychain/keychain.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using namespace platform;
namespace fs = std::filesystem;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

KeychainDictionary with(KeychainDictionary d, const std::string& key, KeychainValue value) {
  return d.insert_or_assign(key, std::move(value)), d;
}
KeychainDictionary without(KeychainDictionary d, const std::string& key) { return d.erase(key), d; }
KeychainDictionary query(const std::string& account) {
  return {{kSecClass, kSecClassGenericPassword}, {kSecAttrService, "svc"},
          {kSecAttrAccessGroup, "group"},        {kSecAttrAccount, account},
          {kSecAttrSynchronizable, kSecAttrSynchronizableAny}, {kSecUseDataProtectionKeychain, true}};
}
KeychainDictionary item(const std::string& account, const std::string& data, bool synced = false) {
  return with(with(query(account), kSecAttrSynchronizable, synced), kSecValueData, bytesOf(data));
}

// The data of the first match, or the failing status (-1: success without data).
std::pair<OSStatus, std::string> readData(const KeychainDictionary& q) {
  std::optional<KeychainValue> result;
  const OSStatus status = SecItemCopyMatching(
      with(with(q, kSecReturnData, true), kSecMatchLimit, kSecMatchLimitOne), &result);
  const auto* bytes = result ? std::get_if<Bytes>(&*result) : nullptr;
  if (status != errSecSuccess || bytes == nullptr) return {status == errSecSuccess ? -1 : status, {}};
  return {status, std::string(bytes->begin(), bytes->end())};
}
std::string dataOf(const KeychainDictionary& q) { return readData(q).second; }

struct KeychainTest : ::testing::Test {
  testsupport::TempDir dir_;
  testsupport::ScopedEnv dataHome_{"XDG_DATA_HOME", dir_.path().string()};
};

TEST_F(KeychainTest, ItemLifecycleInAPrivateStoreAndItemsIdentifiedByServiceGroupAccountAndFlag) {
  EXPECT_EQ(readData(query("a")).first, errSecItemNotFound);
  EXPECT_EQ(SecItemUpdate(query("a"), {{kSecValueData, bytesOf("y")}}), errSecItemNotFound);
  EXPECT_EQ(SecItemDelete(query("a")), errSecItemNotFound);
  std::string binary(1 << 20, 'z');  // data round-trips byte for byte
  for (int i = 0; i < 256; ++i) binary[i] = char(i);
  ASSERT_EQ(SecItemAdd(item("a", binary)), errSecSuccess);
  const fs::path store = dir_ / "brisvane" / "keychain.sqlite3";
  ASSERT_EQ(defaultKeychainPath(), store);
  EXPECT_EQ(fs::status(store.parent_path()).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(store).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(SecItemAdd(item("a", "again")), errSecDuplicateItem);
  EXPECT_EQ(dataOf(query("a")), binary) << "a refused add changed the item";
  EXPECT_EQ(SecItemCopyMatching(query("a"), nullptr), errSecSuccess);
  EXPECT_EQ(SecItemUpdate(query("a"), {{kSecValueData, bytesOf("second")}}), errSecSuccess);
  EXPECT_EQ(dataOf(query("a")), "second");
  ASSERT_EQ(SecItemAdd(item("b", "other")), errSecSuccess);
  EXPECT_EQ(SecItemUpdate(query("b"), {{kSecAttrAccount, "a"}}), errSecDuplicateItem);
  EXPECT_EQ(SecItemDelete(query("a")), errSecSuccess);
  EXPECT_EQ(readData(query("a")).first, errSecItemNotFound);
  EXPECT_EQ(dataOf(query("b")), "other") << "update or delete went beyond its query";
  fs::remove_all(store.parent_path());  // made again by the adds that follow
  EXPECT_EQ(readData(query("b")).first, errSecItemNotFound);

  // Items are told apart by service, access group, account (case included) and the
  // synchronizable flag. Malformed dictionaries give errSecParam and change none of them; a store
  // that does not decode gives errSecDecode from every call. (A directory in the store's place is
  // a reliability test.)
  const std::pair<KeychainDictionary, std::string> items[] = {
      {query("a"), "base"},
      {with(query("a"), kSecAttrService, "svc2"), "service"},
      {with(query("a"), kSecAttrAccessGroup, "g2"), "group"},
      {query("A"), "case"}};
  for (const auto& [q, data] : items) {
    ASSERT_EQ(
        SecItemAdd(with(with(q, kSecAttrSynchronizable, false), kSecValueData, bytesOf(data))),
        errSecSuccess);
  }
  ASSERT_EQ(SecItemAdd(item("s", "synced", true)), errSecSuccess);
  const std::function<OSStatus()> malformed[] = {
      [] { return SecItemAdd(without(item("a", "x"), kSecClass)); },
      [] { return SecItemAdd(with(item("a", "x"), kSecClass, "internet-password")); },
      [] { return SecItemAdd(with(item("a", "x"), "colour", "red")); },
      [] { return SecItemAdd(with(item("a", "x"), kSecValueData, "x")); },
      [] {
        return SecItemAdd(with(item("a", "x"), kSecAttrSynchronizable, kSecAttrSynchronizableAny));
      },
      [] { return SecItemCopyMatching(with(query("a"), kSecValueData, bytesOf("x")), nullptr); },
      [] { return SecItemCopyMatching(with(query("a"), kSecMatchLimit, "two"), nullptr); },
      [] { return SecItemDelete(with(query("a"), kSecReturnData, true)); },
      [] {
        return SecItemUpdate(query("a"), {{kSecAttrSynchronizable, kSecAttrSynchronizableAny}});
      },
  };
  for (std::size_t i = 0; i < std::size(malformed); ++i)
    EXPECT_EQ(malformed[i](), errSecParam) << "malformed " << i;
  for (const auto& [q, data] : items) EXPECT_EQ(dataOf(q), data) << describe(q);
  EXPECT_EQ(readData(without(query("zzz"), kSecAttrAccount)).first, errSecSuccess);
  const struct {
    std::optional<KeychainValue> flag;  // nullopt: left out
    bool findsPlain, findsSynced;
  } cases[] = {{kSecAttrSynchronizableAny, true, true}, {false, true, false}, {true, false, true},
               {std::nullopt, true, false}};
  for (const auto& c : cases) {
    for (const auto& [account, expected] : {std::pair{"a", c.findsPlain}, std::pair{"s", c.findsSynced}}) {
      auto q = without(query(account), kSecAttrSynchronizable);
      if (c.flag) q = with(q, kSecAttrSynchronizable, *c.flag);
      EXPECT_EQ(readData(q).first, expected ? errSecSuccess : errSecItemNotFound) << describe(q);
    }
  }
  EXPECT_EQ(SecItemAdd(item("a", "synced too", true)), errSecSuccess)
      << "the flag is part of the identity";

  const testsupport::TempDir other;
  const testsupport::ScopedEnv damaged{"XDG_DATA_HOME", other.path().string()};
  fs::create_directories(other / "brisvane");
  std::ofstream(other / "brisvane" / "keychain.sqlite3") << std::string(8192, 'x');
  for (const OSStatus status :
       {SecItemAdd(item("a", "x")), readData(query("a")).first,
        SecItemUpdate(query("a"), {{kSecValueData, bytesOf("y")}}), SecItemDelete(query("a"))}) {
    EXPECT_EQ(status, errSecDecode);
  }
}

// Processes use the same items at once; every status must be one the interleaving explains
// (never busy, never damaged). Returns the number of rounds that went wrong.
int addUpdateReadDelete(const std::string& own) {
  int failures = 0;
  for (int round = 0; round < 100; ++round) {
    const std::string data = own + ":" + std::to_string(round);
    failures +=
        SecItemAdd(item(own, data)) != errSecSuccess ||
        SecItemUpdate(query(own), {{kSecValueData, bytesOf(data + "!")}}) != errSecSuccess ||
        dataOf(query(own)) != data + "!";
    const OSStatus shared = SecItemAdd(item("shared", data)), deleted = SecItemDelete(query("shared"));
    failures += (shared != errSecSuccess && shared != errSecDuplicateItem) ||
                (deleted != errSecSuccess && deleted != errSecItemNotFound) ||
                SecItemDelete(query(own)) != errSecSuccess;
  }
  return failures;
}

TEST_F(KeychainTest, SeveralProcessesReadAndWriteAtOnce) {
  std::vector<pid_t> children;
  for (int child = 0; child < 3; ++child) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(std::min(addUpdateReadDelete("child" + std::to_string(child)), 100));
    children.push_back(pid);
  }
  EXPECT_EQ(addUpdateReadDelete("parent"), 0);
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "failed rounds in " << pid;
  }
}

}  // namespace
