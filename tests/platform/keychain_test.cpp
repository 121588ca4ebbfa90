#include "keychain/keychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
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
  d.insert_or_assign(key, std::move(value));
  return d;
}
KeychainDictionary without(KeychainDictionary d, const std::string& key) {
  d.erase(key);
  return d;
}
KeychainDictionary query(const std::string& account) {
  return {{kSecClass, kSecClassGenericPassword}, {kSecAttrService, "svc"},
          {kSecAttrAccessGroup, "group"},        {kSecAttrAccount, account},
          {kSecAttrSynchronizable, kSecAttrSynchronizableAny}, {kSecUseDataProtectionKeychain, true}};
}
KeychainDictionary item(const std::string& account, const std::string& data, bool synced = false) {
  return with(with(query(account), kSecAttrSynchronizable, synced), kSecValueData, bytesOf(data));
}

// The data of the first match, or the failing status.
struct ReadResult {
  OSStatus status;
  std::string data;
};
ReadResult readData(const KeychainDictionary& q) {
  std::optional<KeychainValue> result;
  const OSStatus status = SecItemCopyMatching(
      with(with(q, kSecReturnData, true), kSecMatchLimit, kSecMatchLimitOne), &result);
  const auto* bytes = result ? std::get_if<Bytes>(&*result) : nullptr;
  if (status != errSecSuccess || bytes == nullptr) return {status == errSecSuccess ? -1 : status, {}};
  return {status, std::string(bytes->begin(), bytes->end())};
}

class KeychainTest : public ::testing::Test {
 protected:
  fs::path storeFile() const { return dir_ / "brisvane" / "keychain.sqlite3"; }
  testsupport::TempDir dir_;
  testsupport::ScopedEnv dataHome_{"XDG_DATA_HOME", dir_.path().string()};
};

TEST_F(KeychainTest, StoreIsMadeInAPrivateFolderAndMadeAgainWhenRemoved) {
  ASSERT_EQ(SecItemAdd(item("a", "x")), errSecSuccess);
  ASSERT_EQ(defaultKeychainPath(), storeFile());
  struct stat folder {}, file {};
  ASSERT_EQ(::stat(storeFile().parent_path().c_str(), &folder), 0);
  ASSERT_EQ(::stat(storeFile().c_str(), &file), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
  fs::remove_all(storeFile().parent_path());
  EXPECT_EQ(readData(query("a")).status, errSecItemNotFound);
  ASSERT_EQ(SecItemAdd(item("a", "y")), errSecSuccess);
  EXPECT_EQ(readData(query("a")).data, "y");
}

TEST_F(KeychainTest, ItemLifecycleReportsTheDocumentedStatuses) {
  EXPECT_EQ(readData(query("a")).status, errSecItemNotFound);
  EXPECT_EQ(SecItemUpdate(query("a"), {{kSecValueData, bytesOf("y")}}), errSecItemNotFound);
  EXPECT_EQ(SecItemDelete(query("a")), errSecItemNotFound);
  std::string binary(1 << 20, 'z');  // data round-trips byte for byte
  for (int i = 0; i < 256; ++i) binary[i] = char(i);
  ASSERT_EQ(SecItemAdd(item("a", binary)), errSecSuccess);
  EXPECT_EQ(SecItemAdd(item("a", "again")), errSecDuplicateItem);
  EXPECT_EQ(readData(query("a")).data, binary) << "a refused add changed the item";
  EXPECT_EQ(SecItemCopyMatching(query("a"), nullptr), errSecSuccess);
  EXPECT_EQ(SecItemUpdate(query("a"), {{kSecValueData, bytesOf("second")}}), errSecSuccess);
  EXPECT_EQ(readData(query("a")).data, "second");
  ASSERT_EQ(SecItemAdd(item("b", "other")), errSecSuccess);
  EXPECT_EQ(SecItemUpdate(query("b"), {{kSecAttrAccount, "a"}}), errSecDuplicateItem);
  EXPECT_EQ(readData(query("b")).data, "other");
  EXPECT_EQ(SecItemDelete(query("a")), errSecSuccess);
  EXPECT_EQ(readData(query("a")).status, errSecItemNotFound);
  EXPECT_EQ(readData(query("b")).data, "other") << "delete went beyond its query";
}

TEST_F(KeychainTest, ItemsAreIdentifiedByServiceGroupAccountAndFlag) {
  ASSERT_EQ(SecItemAdd(item("a", "base")), errSecSuccess);
  ASSERT_EQ(SecItemAdd(with(item("a", "service"), kSecAttrService, "svc2")), errSecSuccess);
  ASSERT_EQ(SecItemAdd(with(item("a", "group"), kSecAttrAccessGroup, "g2")), errSecSuccess);
  ASSERT_EQ(SecItemAdd(item("A", "case")), errSecSuccess);
  ASSERT_EQ(SecItemAdd(item("s", "synced", true)), errSecSuccess);
  EXPECT_EQ(readData(query("a")).data, "base");
  EXPECT_EQ(readData(with(query("a"), kSecAttrService, "svc2")).data, "service");
  EXPECT_EQ(readData(with(query("a"), kSecAttrAccessGroup, "g2")).data, "group");
  EXPECT_EQ(readData(query("A")).data, "case");
  EXPECT_EQ(readData(without(query("zzz"), kSecAttrAccount)).status, errSecSuccess);
  const struct {
    std::optional<KeychainValue> flag;  // nullopt: left out
    bool findsPlain, findsSynced;
  } cases[] = {{kSecAttrSynchronizableAny, true, true}, {false, true, false}, {true, false, true},
               {std::nullopt, true, false}};
  for (const auto& c : cases) {
    for (const auto& [account, expected] : {std::pair{"a", c.findsPlain}, std::pair{"s", c.findsSynced}}) {
      auto q = without(query(account), kSecAttrSynchronizable);
      if (c.flag) q = with(q, kSecAttrSynchronizable, *c.flag);
      EXPECT_EQ(readData(q).status, expected ? errSecSuccess : errSecItemNotFound)
          << describe(q);
    }
  }
}

TEST_F(KeychainTest, MalformedDictionariesAreRejectedWithParamAndChangeNothing) {
  const auto copy = [](KeychainDictionary q) { return SecItemCopyMatching(q, nullptr); };
  const std::function<OSStatus()> cases[] = {
      [] { return SecItemAdd(without(item("a", "x"), kSecClass)); },
      [] { return SecItemAdd(with(item("a", "x"), kSecClass, "internet-password")); },
      [] { return SecItemAdd(with(item("a", "x"), "colour", "red")); },
      [] { return SecItemAdd(with(item("a", "x"), kSecValueData, "x")); },
      [] { return SecItemAdd(with(item("a", "x"), kSecAttrSynchronizable, kSecAttrSynchronizableAny)); },
      [&] { return copy(with(query("a"), kSecValueData, bytesOf("x"))); },
      [&] { return copy(with(query("a"), kSecMatchLimit, "two")); },
      [] { return SecItemDelete(with(query("a"), kSecReturnData, true)); },
      [] { return SecItemUpdate(query("a"), {{kSecAttrSynchronizable, kSecAttrSynchronizableAny}}); },
  };
  ASSERT_EQ(SecItemAdd(item("a", "x")), errSecSuccess);
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i](), errSecParam) << i;
  EXPECT_EQ(readData(query("a")).data, "x");
}

TEST_F(KeychainTest, AStoreThatCannotBeUsedGivesAFailureStatus) {
  const std::pair<std::function<void(const fs::path&)>, OSStatus> cases[] = {
      {[](const fs::path& file) { std::ofstream(file) << std::string(8192, 'x'); }, errSecDecode},
      {[](const fs::path& file) { fs::create_directories(file); }, errSecNotAvailable},
  };
  for (const auto& [damage, expected] : cases) {
    testsupport::TempDir home;
    testsupport::ScopedEnv variable("XDG_DATA_HOME", home.path().string());
    fs::create_directories(home / "brisvane");
    damage(home / "brisvane" / "keychain.sqlite3");
    EXPECT_EQ(SecItemAdd(item("a", "x")), expected);
    EXPECT_EQ(readData(query("a")).status, expected);
    EXPECT_EQ(SecItemUpdate(query("a"), {{kSecValueData, bytesOf("y")}}), expected);
    EXPECT_EQ(SecItemDelete(query("a")), expected);
  }
}

// Processes and threads use the same items at once; every status must be one the interleaving
// explains (never busy, never damaged).
TEST_F(KeychainTest, SeveralProcessesReadAndWriteAtOnce) {
  auto work = [](const std::string& own) -> std::string {
    std::string statuses;
    for (int round = 0; round < 100; ++round) {
      const std::string data = own + ":" + std::to_string(round);
      statuses += std::to_string(SecItemAdd(item(own, data))) + " ";
      statuses += std::to_string(SecItemUpdate(query(own), {{kSecValueData, bytesOf(data + "!")}}));
      statuses += readData(query(own)).data == data + "!" ? " read " : " lost ";
      const OSStatus shared = SecItemAdd(item("shared", data));
      const OSStatus deleted = SecItemDelete(query("shared"));
      statuses += std::to_string(SecItemDelete(query(own))) + " ";
      if (statuses != "0 0 read 0 " || (shared != errSecSuccess && shared != errSecDuplicateItem) ||
          (deleted != errSecSuccess && deleted != errSecItemNotFound)) {
        return own + ": " + statuses + std::to_string(shared) + " " + std::to_string(deleted);
      }
      statuses.clear();
    }
    return {};
  };
  std::vector<pid_t> children;
  for (int child = 0; child < 3; ++child) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const std::string failure = work("child" + std::to_string(child));
      if (!failure.empty()) std::fprintf(stderr, "%s\n", failure.c_str());
      ::_exit(failure.empty() ? 0 : 1);
    }
    children.push_back(pid);
  }
  EXPECT_EQ(work("parent"), "");
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << pid;
  }
}

}  // namespace
