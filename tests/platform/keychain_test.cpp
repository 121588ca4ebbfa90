#include "keychain/keychain.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace {

using namespace platform;
namespace fs = std::filesystem;

Bytes bytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

KeychainDictionary item(const std::string& account, const std::string& data,
                        bool synchronizable = false) {
  return {{kSecClass, kSecClassGenericPassword},
          {kSecAttrService, "svc"},
          {kSecAttrAccessGroup, "group"},
          {kSecAttrAccount, account},
          {kSecAttrSynchronizable, synchronizable},
          {kSecUseDataProtectionKeychain, true},
          {kSecValueData, bytesOf(data)}};
}

KeychainDictionary query(const std::string& account) {
  return {{kSecClass, kSecClassGenericPassword},
          {kSecAttrService, "svc"},
          {kSecAttrAccessGroup, "group"},
          {kSecAttrAccount, account},
          {kSecAttrSynchronizable, kSecAttrSynchronizableAny},
          {kSecUseDataProtectionKeychain, true}};
}

KeychainDictionary with(KeychainDictionary dictionary, const std::string& key,
                        KeychainValue value) {
  dictionary.insert_or_assign(key, std::move(value));
  return dictionary;
}

KeychainDictionary without(KeychainDictionary dictionary, const std::string& key) {
  dictionary.erase(key);
  return dictionary;
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
  if (status != errSecSuccess) return {status, {}};
  const auto* bytes = result ? std::get_if<Bytes>(&*result) : nullptr;
  if (bytes == nullptr) return {-1, {}};
  return {status, std::string(bytes->begin(), bytes->end())};
}

class KeychainTest : public ::testing::Test {
 protected:
  fs::path storeFile() const { return dir_ / "brisvane" / "keychain.sqlite3"; }

  testsupport::TempDir dir_;
  testsupport::ScopedEnv dataHome_{"XDG_DATA_HOME", dir_.path().string()};
};

TEST_F(KeychainTest, StoreIsMadeInAPrivateFolderOfTheDataHome) {
  ASSERT_EQ(SecItemAdd(item("a", "x")), errSecSuccess);
  ASSERT_EQ(defaultKeychainPath(), storeFile());
  struct stat folder {};
  struct stat file {};
  ASSERT_EQ(::stat(storeFile().parent_path().c_str(), &folder), 0);
  ASSERT_EQ(::stat(storeFile().c_str(), &file), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
  for (const char* suffix : {"-wal", "-shm"}) {
    struct stat journal {};
    if (::stat((storeFile().string() + suffix).c_str(), &journal) == 0) {
      EXPECT_EQ(journal.st_mode & 0077, 0u) << suffix;
    }
  }
}

TEST(KeychainLocationTest, FallsBackToTheHomeFolderWhenTheDataHomeIsUnusable) {
  testsupport::TempDir home;
  testsupport::ScopedEnv homeVariable("HOME", home.path().string());
  const fs::path fallback = home / ".local" / "share" / "brisvane" / "keychain.sqlite3";
  for (const std::string dataHome : {"", "relative/folder"}) {
    testsupport::ScopedEnv variable("XDG_DATA_HOME", dataHome);
    EXPECT_EQ(defaultKeychainPath(), fallback) << "XDG_DATA_HOME=" << dataHome;
  }
  testsupport::ScopedEnv variable("XDG_DATA_HOME", "");
  ASSERT_EQ(SecItemAdd(item("a", "x")), errSecSuccess);
  EXPECT_TRUE(fs::exists(fallback));
}

TEST_F(KeychainTest, ItemLifecycleReportsTheDocumentedStatuses) {
  EXPECT_EQ(readData(query("a")).status, errSecItemNotFound);
  EXPECT_EQ(SecItemUpdate(query("a"), {{kSecValueData, bytesOf("y")}}), errSecItemNotFound);
  EXPECT_EQ(SecItemDelete(query("a")), errSecItemNotFound);

  ASSERT_EQ(SecItemAdd(item("a", "first")), errSecSuccess);
  EXPECT_EQ(SecItemAdd(item("a", "again")), errSecDuplicateItem);
  EXPECT_EQ(readData(query("a")).data, "first");
  EXPECT_EQ(SecItemCopyMatching(query("a"), nullptr), errSecSuccess);

  EXPECT_EQ(SecItemUpdate(query("a"), {{kSecValueData, bytesOf("second")}}), errSecSuccess);
  EXPECT_EQ(readData(query("a")).data, "second");

  EXPECT_EQ(SecItemDelete(query("a")), errSecSuccess);
  EXPECT_EQ(readData(query("a")).status, errSecItemNotFound);
  EXPECT_EQ(SecItemDelete(query("a")), errSecItemNotFound);
}

TEST_F(KeychainTest, ItemsAreIdentifiedByServiceAccessGroupAndAccount) {
  ASSERT_EQ(SecItemAdd(item("a", "base")), errSecSuccess);
  ASSERT_EQ(SecItemAdd(with(item("a", "other service"), kSecAttrService, "svc2")), errSecSuccess);
  ASSERT_EQ(SecItemAdd(with(item("a", "other group"), kSecAttrAccessGroup, "g2")), errSecSuccess);
  ASSERT_EQ(SecItemAdd(item("A", "other case")), errSecSuccess);

  EXPECT_EQ(readData(query("a")).data, "base");
  EXPECT_EQ(readData(with(query("a"), kSecAttrService, "svc2")).data, "other service");
  EXPECT_EQ(readData(with(query("a"), kSecAttrAccessGroup, "g2")).data, "other group");
  EXPECT_EQ(readData(query("A")).data, "other case");
  // An attribute left out of a query matches any value.
  EXPECT_EQ(readData(without(query("zzz"), kSecAttrAccount)).status, errSecSuccess);
  EXPECT_EQ(readData(without(query("a"), kSecAttrAccessGroup)).status, errSecSuccess);
}

TEST_F(KeychainTest, SynchronizableAnyMatchesBothFlagsOtherQueriesOnlyTheirOwn) {
  ASSERT_EQ(SecItemAdd(item("plain", "p", false)), errSecSuccess);
  ASSERT_EQ(SecItemAdd(item("synced", "s", true)), errSecSuccess);
  struct Case {
    const char* name;
    std::optional<KeychainValue> flag;  // nullopt: left out
    bool findsPlain;
    bool findsSynced;
  };
  const Case cases[] = {
      {"any", KeychainValue(kSecAttrSynchronizableAny), true, true},
      {"false", KeychainValue(false), true, false},
      {"true", KeychainValue(true), false, true},
      {"left out", std::nullopt, true, false},
  };
  for (const auto& c : cases) {
    for (const auto& [account, expected] :
         {std::pair{"plain", c.findsPlain}, std::pair{"synced", c.findsSynced}}) {
      auto q = without(query(account), kSecAttrSynchronizable);
      if (c.flag) q = with(q, kSecAttrSynchronizable, *c.flag);
      EXPECT_EQ(readData(q).status, expected ? errSecSuccess : errSecItemNotFound)
          << c.name << " / " << account;
    }
  }
  // An update through an any-query writes the flag it is given.
  ASSERT_EQ(SecItemUpdate(query("synced"), {{kSecAttrSynchronizable, false}}), errSecSuccess);
  EXPECT_EQ(readData(with(query("synced"), kSecAttrSynchronizable, false)).data, "s");
}

TEST_F(KeychainTest, MalformedDictionariesAreRejectedWithParam) {
  struct Case {
    const char* name;
    std::function<OSStatus()> call;
  };
  const Case cases[] = {
      {"add without class", [] { return SecItemAdd(without(item("a", "x"), kSecClass)); }},
      {"add of another class",
       [] { return SecItemAdd(with(item("a", "x"), kSecClass, "internet-password")); }},
      {"add with unknown key", [] { return SecItemAdd(with(item("a", "x"), "colour", "red")); }},
      {"add with text data", [] { return SecItemAdd(with(item("a", "x"), kSecValueData, "x")); }},
      {"add with bytes service",
       [] { return SecItemAdd(with(item("a", "x"), kSecAttrService, bytesOf("svc"))); }},
      {"add with synchronizable any",
       [] {
         return SecItemAdd(with(item("a", "x"), kSecAttrSynchronizable, kSecAttrSynchronizableAny));
       }},
      {"add asking for data",
       [] { return SecItemAdd(with(item("a", "x"), kSecReturnData, true)); }},
      {"copy with data",
       [] { return SecItemCopyMatching(with(query("a"), kSecValueData, bytesOf("x")), nullptr); }},
      {"copy of all with data",
       [] {
         std::optional<KeychainValue> result;
         return SecItemCopyMatching(
             with(with(query("a"), kSecReturnData, true), kSecMatchLimit, kSecMatchLimitAll),
             &result);
       }},
      {"copy with unknown limit",
       [] { return SecItemCopyMatching(with(query("a"), kSecMatchLimit, "two"), nullptr); }},
      {"copy with null keychain",
       [] {
         return SecItemCopyMatching(with(query("a"), kSecUseKeychain, SecKeychainRef()), nullptr);
       }},
      {"delete asking for data",
       [] { return SecItemDelete(with(query("a"), kSecReturnData, true)); }},
      {"update changing the class",
       [] {
         return SecItemUpdate(query("a"), {{kSecClass, kSecClassGenericPassword}});
       }},
      {"update with any in the changes",
       [] {
         return SecItemUpdate(query("a"), {{kSecAttrSynchronizable, kSecAttrSynchronizableAny}});
       }},
  };
  ASSERT_EQ(SecItemAdd(item("a", "x")), errSecSuccess);
  for (const auto& c : cases) EXPECT_EQ(c.call(), errSecParam) << c.name;
  EXPECT_EQ(readData(query("a")).data, "x");
}

TEST_F(KeychainTest, DataRoundTripsByteForByte) {
  std::string binary;
  for (int i = 0; i < 256; ++i) binary.push_back(static_cast<char>(i));
  const std::string cases[] = {"", std::string("a\0b", 3), binary, std::string(1 << 20, 'z')};
  int index = 0;
  for (const auto& data : cases) {
    const std::string account = "item" + std::to_string(index++);
    ASSERT_EQ(SecItemAdd(item(account, data)), errSecSuccess) << account;
    const auto read = readData(query(account));
    EXPECT_EQ(read.status, errSecSuccess) << account;
    EXPECT_EQ(read.data, data) << account;
  }
}

TEST_F(KeychainTest, UseKeychainSendsTheCallToThatStore) {
  const auto other = std::make_shared<SecKeychain>(dir_ / "elsewhere" / "other.sqlite3");
  ASSERT_EQ(SecItemAdd(with(item("a", "other"), kSecUseKeychain, other)), errSecSuccess);
  EXPECT_TRUE(fs::exists(other->databasePath()));
  EXPECT_EQ(readData(query("a")).status, errSecItemNotFound);
  EXPECT_EQ(readData(with(query("a"), kSecUseKeychain, other)).data, "other");
}

TEST_F(KeychainTest, AStoreThatCannotBeUsedGivesAFailureStatus) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& file)> damage;
    OSStatus expected;
  };
  const Case cases[] = {
      {"not a database",
       [](const fs::path& file) { std::ofstream(file) << std::string(8192, 'x'); }, errSecDecode},
      {"another program's database",
       [](const fs::path& file) {
         sqlite3* db = nullptr;
         ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
         ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes (body TEXT)", nullptr, nullptr, nullptr),
                   SQLITE_OK);
         sqlite3_close(db);
       },
       errSecDecode},
      {"a folder in place of the file", [](const fs::path& file) { fs::create_directories(file); },
       errSecNotAvailable},
  };
  for (const auto& c : cases) {
    testsupport::TempDir home;
    testsupport::ScopedEnv variable("XDG_DATA_HOME", home.path().string());
    const fs::path file = home / "brisvane" / "keychain.sqlite3";
    fs::create_directories(file.parent_path());
    c.damage(file);
    EXPECT_EQ(SecItemAdd(item("a", "x")), c.expected) << c.name;
    EXPECT_EQ(readData(query("a")).status, c.expected) << c.name;
    EXPECT_EQ(SecItemUpdate(query("a"), {{kSecValueData, bytesOf("y")}}), c.expected) << c.name;
    EXPECT_EQ(SecItemDelete(query("a")), c.expected) << c.name;
  }
  // A data home below a plain file cannot hold the store's folder.
  std::ofstream(dir_ / "plain") << "x";
  testsupport::ScopedEnv variable("XDG_DATA_HOME", (dir_ / "plain" / "share").string());
  EXPECT_EQ(SecItemAdd(item("a", "x")), errSecNotAvailable);
  EXPECT_EQ(readData(query("a")).status, errSecNotAvailable);
}

TEST_F(KeychainTest, AStoreRemovedBetweenCallsIsMadeAgain) {
  ASSERT_EQ(SecItemAdd(item("a", "x")), errSecSuccess);
  fs::remove_all(storeFile().parent_path());
  EXPECT_EQ(readData(query("a")).status, errSecItemNotFound);
  ASSERT_EQ(SecItemAdd(item("a", "y")), errSecSuccess);
  EXPECT_EQ(readData(query("a")).data, "y");
  EXPECT_TRUE(fs::exists(storeFile()));
}

TEST_F(KeychainTest, DescribeRendersDictionariesInKeyOrder) {
  EXPECT_EQ(describe(KeychainDictionary{}), "[:]");
  const KeychainDictionary dictionary{{kSecAttrAccount, "k"},
                                      {kSecValueData, bytesOf("abc")},
                                      {kSecAttrSynchronizable, kSecAttrSynchronizableAny},
                                      {kSecReturnData, true}};
  EXPECT_EQ(describe(dictionary),
            "[\"account\": \"k\", \"return-data\": true, \"synchronizable\": synchronizable-any, "
            "\"value-data\": 3 bytes]");
}

// Children hammer the same items while the parent does too; every status must be one that the
// interleaving explains (never busy, never damaged).
TEST_F(KeychainTest, SeveralProcessesReadAndWriteAtOnce) {
  constexpr int kChildren = 4;
  constexpr int kRounds = 150;
  // An empty result means every status was one the interleaving explains.
  auto work = [](const std::string& own) -> std::string {
    auto unexpected = [&](const char* step, OSStatus status) {
      return own + ": " + step + " gave " + std::to_string(status);
    };
    for (int round = 0; round < kRounds; ++round) {
      const std::string data = own + ":" + std::to_string(round);
      if (const OSStatus s = SecItemAdd(item(own, data)); s != errSecSuccess) {
        return unexpected("add", s);
      }
      if (const OSStatus s = SecItemUpdate(query(own), {{kSecValueData, bytesOf(data + "!")}});
          s != errSecSuccess) {
        return unexpected("update", s);
      }
      if (const auto read = readData(query(own)); read.data != data + "!") {
        return unexpected("read", read.status);
      }
      if (const OSStatus s = SecItemAdd(item("shared", data));
          s != errSecSuccess && s != errSecDuplicateItem) {
        return unexpected("shared add", s);
      }
      if (const auto read = readData(query("shared"));
          read.status != errSecSuccess && read.status != errSecItemNotFound) {
        return unexpected("shared read", read.status);
      }
      if (const OSStatus s = SecItemDelete(query("shared"));
          s != errSecSuccess && s != errSecItemNotFound) {
        return unexpected("shared delete", s);
      }
      if (const OSStatus s = SecItemDelete(query(own)); s != errSecSuccess) {
        return unexpected("delete", s);
      }
    }
    return {};
  };
  std::vector<pid_t> children;
  for (int child = 0; child < kChildren; ++child) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const std::string failure = work("child" + std::to_string(child));
      if (!failure.empty()) std::fprintf(stderr, "%s\n", failure.c_str());
      ::_exit(failure.empty() ? 0 : 1);
    }
    children.push_back(pid);
  }
  std::string threadFailure;
  std::thread thread([&] { threadFailure = work("thread"); });
  const std::string parentFailure = work("parent");
  thread.join();
  EXPECT_EQ(parentFailure, "");
  EXPECT_EQ(threadFailure, "");
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << pid;
  }
}

}  // namespace
