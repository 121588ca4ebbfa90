#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "interoperability_keychain/KeychainStorage.h"
#include "interoperability_keychain/recording_keychain.h"
#include "keychain/os_status_error.h"
#include "support/temp_dir.h"

namespace {

using namespace platform;
using brisvane::KeychainStorage;
using testsupport::RecordingKeychain;
using Operation = RecordingKeychain::Operation;

Bytes bytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

KeychainDictionary baseQuery(std::optional<std::string> group = "group") {
  KeychainDictionary query{{kSecClass, kSecClassGenericPassword},
                           {kSecAttrSynchronizable, kSecAttrSynchronizableAny},
                           {kSecAttrService, "svc"},
                           {kSecUseDataProtectionKeychain, true}};
  if (group) query.emplace(kSecAttrAccessGroup, *group);
  return query;
}

KeychainDictionary with(KeychainDictionary dictionary, const std::string& key,
                        KeychainValue value) {
  dictionary.insert_or_assign(key, std::move(value));
  return dictionary;
}

// The item's data and synchronizable flag, read past the storage.
struct StoredItem {
  std::string data;
  bool synchronizable;
};
std::optional<StoredItem> storedItem(const std::string& account) {
  for (const bool flag : {false, true}) {
    std::optional<KeychainValue> result;
    auto query = with(with(baseQuery(), kSecAttrAccount, account), kSecAttrSynchronizable, flag);
    if (SecItemCopyMatching(with(query, kSecReturnData, true), &result) == errSecSuccess) {
      const auto& bytes = std::get<Bytes>(*result);
      return StoredItem{std::string(bytes.begin(), bytes.end()), flag};
    }
  }
  return std::nullopt;
}

class KeychainStorageTest : public ::testing::Test {
 protected:
  std::unique_ptr<KeychainStorage> makeStorage(KeychainStorage::Options options) {
    return std::make_unique<KeychainStorage>(std::move(options), keychain_);
  }

  // Runs `body` and returns what it wrote to standard output.
  template <class F>
  std::string standardOutputOf(F&& body) {
    testing::internal::CaptureStdout();
    body();
    return testing::internal::GetCapturedStdout();
  }

  testsupport::TempDir dir_;
  testsupport::ScopedEnv dataHome_{"XDG_DATA_HOME", dir_.path().string()};
  std::shared_ptr<RecordingKeychain> keychain_ = std::make_shared<RecordingKeychain>();
  KeychainStorage storage_{"svc", "group", nullptr, keychain_};
};

TEST_F(KeychainStorageTest, SavingANewKeyProbesThenAddsTheWholeItemAndWritesOneLine) {
  const std::string output = standardOutputOf([&] { storage_.save(bytesOf("payload"), "k"); });
  EXPECT_EQ(output, "Options attributes: [:]\n");

  const auto calls = keychain_->calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].operation, Operation::copyMatching);
  EXPECT_EQ(calls[0].dictionary,
            with(with(baseQuery(), kSecAttrAccount, "k"), kSecReturnData, true));
  EXPECT_EQ(calls[1].operation, Operation::add);
  EXPECT_EQ(calls[1].dictionary,
            with(with(with(baseQuery(), kSecAttrAccount, "k"), kSecValueData, bytesOf("payload")),
                 kSecAttrSynchronizable, false));

  const auto stored = storedItem("k");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->data, "payload");
  EXPECT_FALSE(stored->synchronizable);
}

TEST_F(KeychainStorageTest, SavingAnExistingKeyReplacesDataAndFlagSilently) {
  ASSERT_EQ(SecItemAdd(with(
                with(with(with(baseQuery(), kSecAttrAccount, "k"), kSecValueData, bytesOf("old")),
                     kSecAttrSynchronizable, true),
                kSecUseDataProtectionKeychain, true)),
            errSecSuccess);
  const std::string output = standardOutputOf([&] { storage_.save(bytesOf("new"), "k"); });
  EXPECT_EQ(output, "");

  const auto updates = keychain_->calls(Operation::update);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].dictionary, with(baseQuery(), kSecAttrAccount, "k"));
  EXPECT_EQ(updates[0].changes,
            (KeychainDictionary{{kSecValueData, bytesOf("new")}, {kSecAttrSynchronizable, false}}));
  EXPECT_TRUE(keychain_->calls(Operation::add).empty());
  const auto stored = storedItem("k");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->data, "new");
  EXPECT_FALSE(stored->synchronizable);
}

TEST_F(KeychainStorageTest, ProbeOutcomesDecideWhatASaveDoes) {
  struct Case {
    OSStatus probe;
    bool updates;
  };
  const Case cases[] = {
      {errSecInteractionNotAllowed, true}, {errSecIO, false},    {errSecDecode, false},
      {errSecNotAvailable, false},         {errSecParam, false}, {-34018, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.probe);
    keychain_->clearCalls();
    keychain_->force(Operation::copyMatching, c.probe);
    keychain_->force(Operation::update, errSecIO);  // an update failure is never reported
    std::string output;
    EXPECT_NO_THROW(output = standardOutputOf([&] { storage_.save(bytesOf("x"), "k"); }));
    EXPECT_EQ(output, "");
    EXPECT_EQ(keychain_->calls(Operation::update).size(), c.updates ? 1u : 0u);
    EXPECT_TRUE(keychain_->calls(Operation::add).empty());
  }
}

TEST_F(KeychainStorageTest, AFailedAddRaisesItsStatusAndLeavesTheStorageUsable) {
  for (const OSStatus status : {errSecDuplicateItem, errSecIO, OSStatus{-34018}, OSStatus{7}}) {
    SCOPED_TRACE(status);
    keychain_->force(Operation::add, status);
    std::string output;
    try {
      output = standardOutputOf([&] { storage_.save(bytesOf("x"), "k"); });
      ADD_FAILURE() << "the save succeeded";
    } catch (const OSStatusError& error) {
      output = testing::internal::GetCapturedStdout();
      EXPECT_EQ(error.domain(), "NSOSStatusErrorDomain");
      EXPECT_EQ(error.code(), status);
      EXPECT_EQ(std::string(error.what()),
                "The operation couldn\u2019t be completed. (OSStatus error " +
                    std::to_string(status) + ".)");
    }
    EXPECT_EQ(output, "Options attributes: [:]\n");
    EXPECT_FALSE(storage_.read("k").has_value());  // the lock was released
  }
}

TEST_F(KeychainStorageTest, ReadAndDeleteTreatNotFoundAsAbsentAndOtherStatusesAsErrors) {
  EXPECT_FALSE(storage_.read("k").has_value());
  EXPECT_NO_THROW(storage_.deleteItem("k"));

  standardOutputOf([&] { storage_.save(bytesOf("v"), "k"); });
  EXPECT_EQ(storage_.read("k"), bytesOf("v"));
  const auto reads = keychain_->calls(Operation::copyMatching);
  EXPECT_EQ(reads.back().dictionary,
            with(with(with(baseQuery(), kSecMatchLimit, kSecMatchLimitOne), kSecReturnData, true),
                 kSecAttrAccount, "k"));
  storage_.deleteItem("k");
  EXPECT_EQ(keychain_->calls(Operation::remove).back().dictionary,
            with(baseQuery(), kSecAttrAccount, "k"));
  EXPECT_FALSE(storage_.read("k").has_value());

  for (const OSStatus status : {errSecInteractionNotAllowed, errSecDecode, errSecParam}) {
    keychain_->force(Operation::copyMatching, status);
    keychain_->force(Operation::remove, status);
    try {
      storage_.read("k");
      ADD_FAILURE() << "read succeeded with " << status;
    } catch (const OSStatusError& error) {
      EXPECT_EQ(error.code(), status);
    }
    try {
      storage_.deleteItem("k");
      ADD_FAILURE() << "delete succeeded with " << status;
    } catch (const OSStatusError& error) {
      EXPECT_EQ(error.code(), status);
    }
  }
  keychain_->force(Operation::remove, errSecItemNotFound);
  EXPECT_NO_THROW(storage_.deleteItem("k"));
}

TEST_F(KeychainStorageTest, WithoutAnAccessGroupNoDictionaryNamesOne) {
  KeychainStorage::Options options;
  options.service = "svc";
  auto storage = makeStorage(options);
  standardOutputOf([&] {
    storage->save(bytesOf("1"), "k");  // add
    storage->save(bytesOf("2"), "k");  // update
  });
  EXPECT_EQ(storage->read("k"), bytesOf("2"));
  storage->deleteItem("k");
  const auto calls = keychain_->calls();
  ASSERT_EQ(calls.size(), 6u);
  for (const auto& call : calls) {
    EXPECT_FALSE(call.dictionary.contains(kSecAttrAccessGroup));
    EXPECT_FALSE(call.changes.contains(kSecAttrAccessGroup));
  }
}

TEST_F(KeychainStorageTest, ExtraAttributesOverrideAddAndUpdateButNeverQueries) {
  KeychainStorage::Options options;
  options.service = "svc";
  options.keychainAccessGroup = "group";
  options.synchronizable = true;
  options.attributes = {{kSecAttrAccount, "override"}, {kSecValueData, bytesOf("fixed")}};
  auto storage = makeStorage(options);
  const std::string output = standardOutputOf([&] { storage->save(bytesOf("mine"), "k"); });
  EXPECT_EQ(output, "Options attributes: [\"account\": \"override\", \"value-data\": 5 bytes]\n");
  const auto added = keychain_->calls(Operation::add);
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(added[0].dictionary.at(kSecAttrAccount), KeychainValue("override"));
  EXPECT_EQ(added[0].dictionary.at(kSecValueData), KeychainValue(bytesOf("fixed")));
  EXPECT_EQ(added[0].dictionary.at(kSecAttrSynchronizable), KeychainValue(true));
  ASSERT_TRUE(storedItem("override").has_value());
  EXPECT_TRUE(storedItem("override")->synchronizable);

  // The probe looks for "k", which the add never made, so a second save adds again and the
  // keychain reports a duplicate: the overlay applies exactly as configured.
  keychain_->clearCalls();
  EXPECT_THROW(standardOutputOf([&] { storage->save(bytesOf("mine"), "k"); }), OSStatusError);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(keychain_->calls(Operation::add).back().status, errSecDuplicateItem);

  keychain_->clearCalls();
  keychain_->force(Operation::copyMatching, errSecSuccess);
  standardOutputOf([&] { storage->save(bytesOf("mine"), "k"); });
  const auto updates = keychain_->calls(Operation::update);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].dictionary.at(kSecAttrAccount), KeychainValue("k"));
  EXPECT_EQ(updates[0].changes, (KeychainDictionary{{kSecAttrAccount, "override"},
                                                    {kSecValueData, bytesOf("fixed")},
                                                    {kSecAttrSynchronizable, true}}));

  keychain_->clearCalls();
  storage->read("k");
  storage->deleteItem("k");
  for (const auto& call : keychain_->calls()) {
    EXPECT_EQ(call.dictionary.at(kSecAttrAccount), KeychainValue("k"));
    EXPECT_FALSE(call.dictionary.contains(kSecValueData));
  }
}

TEST_F(KeychainStorageTest, AKeychainReferenceBecomesTheOneExtraAttribute) {
  const auto other = std::make_shared<SecKeychain>(dir_ / "other" / "store.sqlite3");
  KeychainStorage storage("svc", std::nullopt, other, keychain_);
  EXPECT_EQ(storage.options().attributes, (KeychainDictionary{{kSecUseKeychain, other}}));
  EXPECT_EQ(storage.options().itemClass, kSecClassGenericPassword);
  EXPECT_FALSE(storage.options().synchronizable);
  const std::string output = standardOutputOf([&] { storage.save(bytesOf("x"), "k"); });
  EXPECT_EQ(output, "Options attributes: [\"use-keychain\": <keychain \"" +
                        other->databasePath().string() + "\">]\n");
  EXPECT_TRUE(std::filesystem::exists(other->databasePath()));
}

TEST_F(KeychainStorageTest, ConcurrentSavesThroughOneStorageRunOneAfterTheOther) {
  constexpr int kThreads = 4;
  constexpr int kSaves = 150;
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kSaves; ++i) {
        storage_.save(bytesOf(std::to_string(t) + ":" + std::to_string(i)),
                      "k" + std::to_string(i % 3));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(keychain_->mostCallsAtOnce(), 1);
  // Only the first save of each key adds.
  EXPECT_EQ(keychain_->calls(Operation::add).size(), 3u);
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 3);
}

}  // namespace
