#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "messages/BrisvaneSettings.h"
#include "runtime/clock.h"
#include "keychain/os_status_error.h"
#include "support/temp_dir.h"
#include "support/wait.h"

// The keychain client and its storage over a real store and real notification centers, as
// docs/wire-formats.md describes the item and the announcement.
namespace {

using namespace brisvane;
using namespace platform;
using Client = KeychainInteroperabilityClient;

const std::string kService = "com.tarvik.brisvane.interoperability";
const std::string kGroup = "group.test";
const std::string kKey = "com.tarvik.brisvane.interoperability.state";
const std::string kName = "com.tarvik.NyraInteroperability." + kKey + ".Updated";

// The settings item as another program finds it (synchronizable 0), plus `extra`.
KeychainDictionary item(KeychainDictionary extra) {
  extra.insert({{kSecClass, kSecClassGenericPassword},
                {kSecAttrService, kService},
                {kSecAttrAccessGroup, kGroup},
                {kSecAttrAccount, kKey}});
  return extra;
}

std::string describe(const std::optional<Message<BrisvaneSettings>>& message) {
  return !message ? "absent" : message->data().isRTPEnabled() ? "true" : "false";
}

// The stored item's text, or nullopt when there is none.
std::optional<std::string> storedText() {
  std::optional<KeychainValue> result;
  if (SecItemCopyMatching(item({{kSecReturnData, true}}), &result) != errSecSuccess) return {};
  const auto& bytes = std::get<Bytes>(*result);
  return std::string(bytes.begin(), bytes.end());
}

// The stored item as "absent", "true", "false" or "undecodable".
std::string describeStored() {
  const auto text = storedText();
  try {
    return text ? describe(JSONDecoder().decode<Message<BrisvaneSettings>>(*text)) : "absent";
  } catch (const DecodingError&) {
    return "undecodable";
  }
}

// The user's keychain, except for operations told to answer with a fixed status; measures how
// many calls ever ran at the same time.
class ForcingKeychain final : public KeychainServices {
 public:
  enum Op { add, copy, update, remove };
  std::map<Op, OSStatus> forced;  // changed only while no call runs
  std::atomic<int> inFlight{0}, mostAtOnce{0};

  OSStatus itemAdd(const KeychainDictionary& item) override {
    return run(add, [&] { return SecItemAdd(item); });
  }
  OSStatus itemCopyMatching(const KeychainDictionary& query,
                            std::optional<KeychainValue>* result) override {
    return run(copy, [&] { return SecItemCopyMatching(query, result); });
  }
  OSStatus itemUpdate(const KeychainDictionary& query, const KeychainDictionary& changes) override {
    return run(update, [&] { return SecItemUpdate(query, changes); });
  }
  OSStatus itemDelete(const KeychainDictionary& query) override {
    return run(remove, [&] { return SecItemDelete(query); });
  }
  OSStatus run(Op op, const std::function<OSStatus()>& pass) {
    const int atOnce = ++inFlight;
    for (int most = mostAtOnce; atOnce > most && !mostAtOnce.compare_exchange_weak(most, atOnce);) {
    }
    std::this_thread::yield();  // widens the window an unserialised caller would overlap in
    const auto found = forced.find(op);
    const OSStatus status = found != forced.end() ? found->second : pass();
    --inFlight;
    return status;
  }
};

// A real center's notifications; records each post's name and the stored item at that moment
// (on the client's executor; read after the operation returned).
class WatchedNotifications final : public DistributedNotifications {
 public:
  explicit WatchedNotifications(std::shared_ptr<DistributedNotificationCenter> center)
      : inner_(over(std::move(center))) {}
  void post(const std::string& name) override {
    names.push_back(name);
    posts += describeStored() + ";";
    inner_->post(name);
  }
  ObserverToken addObserver(const std::string& name,
                            DistributedNotificationCenter::Callback callback) override {
    ++liveObservers;
    return inner_->addObserver(name, std::move(callback));
  }
  void removeObserver(const ObserverToken& token) override {
    inner_->removeObserver(token);
    --liveObservers;
  }
  std::vector<std::string> names;
  std::string posts;
  std::atomic<int> liveObservers{0};

 private:
  const std::shared_ptr<DistributedNotifications> inner_;
};

// Counts what `stream` yields, on the thread that yields; each must carry `key`.
std::shared_ptr<std::atomic<int>> count(AsyncStream<UpdateNotification>& stream, std::string key) {
  auto yielded = std::make_shared<std::atomic<int>>(0);
  stream.forEach(
      [yielded, key](const UpdateNotification& update) {
        EXPECT_EQ(update.messageKey(), key);
        ++*yielded;
      },
      [] {});
  return yielded;
}

class KeychainClientTest : public ::testing::Test {
 protected:
  std::shared_ptr<Client> makeClient() {
    return std::make_shared<Client>(kService, kGroup, keychain_, notifications_);
  }
  // The center delivers in post order: once a fresh marker arrives, everything posted before it
  // has been handed to its observers.
  void drainCenter() {
    const std::string marker = "test.marker." + std::to_string(++markers_);
    std::atomic<bool> seen{false};
    const auto token = center_->addObserver(marker, [&seen](const std::string&) { seen = true; });
    center_->post(marker);
    ASSERT_TRUE(testsupport::waitFor([&] { return seen.load(); }));
    center_->removeObserver(token);
  }

  testsupport::TempDir dir_;
  testsupport::ScopedEnv dataHome_{"XDG_DATA_HOME", dir_.path().string()};
  std::shared_ptr<DistributedNotificationCenter> center_ =
      DistributedNotificationCenter::create(dir_ / "notifications");
  std::shared_ptr<WatchedNotifications> notifications_ =
      std::make_shared<WatchedNotifications>(center_);
  std::shared_ptr<ForcingKeychain> keychain_ = std::make_shared<ForcingKeychain>();
  std::shared_ptr<Client> client_ = makeClient();
  int markers_ = 0;
};

TEST_F(KeychainClientTest, SavingWritesTheDocumentedEnvelopeAndAnnouncesTheKey) {
  const double before = currentTimeIntervalSince1970();
  testing::internal::CaptureStdout();
  client_->saveData(BrisvaneSettings(true));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Options attributes: [:]\n");
  const auto document = nlohmann::json::parse(storedText().value_or("null"));
  EXPECT_EQ(document, nlohmann::json({{"version", "1.0.0"},
                                      {"timestamp", document.value("timestamp", 0.0)},
                                      {"data", {{"isRTPEnabled", true}}}}));
  EXPECT_GE(document.value("timestamp", 0.0), before);
  EXPECT_LE(document.value("timestamp", 0.0), currentTimeIntervalSince1970());
  const auto message = client_->readData<BrisvaneSettings>();
  ASSERT_EQ(describe(message), "true");
  EXPECT_EQ(message->timestamp(), document.value("timestamp", 0.0));
  client_->deleteData<BrisvaneSettings>(kKey);
  EXPECT_EQ(notifications_->names, std::vector<std::string>(2, kName));
}

// `posts` is the stored item as each announcement found it: a change is announced only when it
// has been made, and only then.
TEST_F(KeychainClientTest, OnlyChangesMadeAreAnnouncedAndFailuresReachTheCaller) {
  using Act = std::function<std::string(Client&)>;
  const Act save = [](Client& c) { return c.saveData(BrisvaneSettings(true)), std::string(); };
  const Act saveBad = [](Client& c) {
    return c.saveData(std::string("\xFF"), kKey), std::string();
  };
  const Act request = [](Client& c) { return describe(c.requestData<BrisvaneSettings>(kKey)); };
  const Act remove = [](Client& c) { return describe(c.deleteData<BrisvaneSettings>(kKey)); };
  using Op = ForcingKeychain::Op;
  const std::string head = R"({"version":"1.0.0","timestamp":1700000000,"data":)";
  const std::string no = head + R"({"isRTPEnabled":false}})";
  const std::string nested = std::string(200000, '[') + std::string(200000, ']');
  const struct {
    std::string stored;  // the item's text before `forced` applies; empty: none
    std::map<Op, OSStatus> forced;
    Act act;
    std::string outcome, posts, after;  // after: describeStored() once done
  } cases[] = {
      // clang-format off
      {"", {}, save, "", "true;", "true"},
      {no, {}, save, "", "true;", "true"},
      {no, {{Op::copy, errSecInteractionNotAllowed}}, save, "", "true;", "true"},  // busy probe: update
      {no, {{Op::update, errSecIO}}, save, "", "false;", "false"},  // a failed update is not reported
      {"", {{Op::copy, errSecIO}}, save, "", "absent;", "absent"},  // an odd probe writes nothing
      {"", {{Op::add, errSecDuplicateItem}}, save, "status -25299", "", "absent"},
      {"", {{Op::add, 7}}, save, "status 7", "", "absent"},
      {no, {}, saveBad, "EncodingError", "", "false"},
      {no, {}, request, "false", "", "false"},
      {"", {}, request, "absent", "", "absent"},
      {no, {{Op::copy, errSecDecode}}, request, "status -26275", "", "false"},
      {"RTP is on", {}, request, "dataCorrupted", "", "undecodable"},
      {head + R"("{\"isRTPEnabled\":true}"})", {}, request, "typeMismatch", "", "undecodable"},
      {head + R"({"isRTPEnabled":null}})", {}, request, "valueNotFound", "", "undecodable"},
      {head + R"({"isRTPEnabled":true},"pad":")" + std::string(4 << 20, 'x'), {}, request, "dataCorrupted", "", "undecodable"},
      {nested, {}, request, "typeMismatch", "", "undecodable"},
      {std::string(500000, '['), {}, request, "dataCorrupted", "", "undecodable"},
      {no, {}, remove, "false", "absent;", "absent"},
      {"", {}, remove, "absent", "", "absent"},
      {no, {{Op::copy, errSecInteractionNotAllowed}}, remove, "status -25308", "", "false"},
      {no, {{Op::remove, errSecIO}}, remove, "status -36", "", "false"},
      {head + R"({"isRTPEnabled":"yes"}})", {}, remove, "typeMismatch", "", "absent"},  // still removed
      {nested, {}, remove, "typeMismatch", "", "absent"},
      // clang-format on
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(i);
    testsupport::TempDir store;
    testsupport::ScopedEnv dataHome("XDG_DATA_HOME", store.path().string());
    keychain_ = std::make_shared<ForcingKeychain>();
    notifications_ = std::make_shared<WatchedNotifications>(center_);
    client_ = makeClient();
    if (!c.stored.empty()) {
      ASSERT_EQ(SecItemAdd(item({{kSecValueData, Bytes(c.stored.begin(), c.stored.end())}})),
                errSecSuccess);
    }
    keychain_->forced = c.forced;
    std::string outcome;
    try {
      outcome = c.act(*client_);
    } catch (const OSStatusError& error) {
      outcome = "status " + std::to_string(error.code());
      EXPECT_EQ(std::string(error.what()),
                "The operation couldn\u2019t be completed. (OSStatus error " +
                    std::to_string(error.code()) + ".)");
    } catch (const EncodingError&) {
      outcome = "EncodingError";
    } catch (const DecodingError& error) {
      outcome = decodingErrorKindName(error.kind());
    }
    EXPECT_EQ(outcome, c.outcome);
    EXPECT_EQ(notifications_->posts, c.posts);
    EXPECT_EQ(describeStored(), c.after);
  }
}

TEST_F(KeychainClientTest, ListenersGetEachChangeOfTheirKeyOnceUntilTheyCancel) {
  auto first = client_->listenForUpdates(kKey);
  auto second = client_->listenForUpdates(kKey);
  auto other = client_->listenForUpdates("other.key");
  const auto firsts = count(first, kKey), seconds = count(second, kKey);
  const auto others = count(other, "other.key");
  EXPECT_EQ(notifications_->liveObservers, 3);
  client_->saveData(BrisvaneSettings(true));
  client_->saveData(BrisvaneSettings(false));
  client_->deleteData<BrisvaneSettings>(kKey);
  drainCenter();
  EXPECT_EQ(*firsts, 3);
  EXPECT_EQ(*seconds, 3);
  EXPECT_EQ(*others, 0);

  second.cancel();
  EXPECT_EQ(notifications_->liveObservers, 2);
  client_->saveData(BrisvaneSettings(true));
  drainCenter();
  EXPECT_EQ(*firsts, 4);
  EXPECT_EQ(*seconds, 3);
}

// Two centers over one folder stand for two processes.
TEST_F(KeychainClientTest, AStreamOutlivesItsClientAndHearsAnotherProcess) {
  auto stream = client_->listenForUpdates(kKey);
  const auto yielded = count(stream, kKey);
  client_.reset();
  Client writer(kService, kGroup, KeychainServices::system(),
                DistributedNotificationCenter::create(dir_ / "notifications"));
  writer.saveData(BrisvaneSettings(true));
  ASSERT_TRUE(testsupport::waitFor([&] { return *yielded == 1; }));
  EXPECT_EQ(describe(makeClient()->readData<BrisvaneSettings>()), "true");
  stream.cancel();
  EXPECT_EQ(notifications_->liveObservers, 0);
}

TEST_F(KeychainClientTest, NotificationNamesUseTheKeyUnchangedUpToTheCentersLimit) {
  EXPECT_EQ(client_->notificationName("a b/c.Updated"),
            "com.tarvik.NyraInteroperability.a b/c.Updated.Updated");
  const std::string longest(
      DistributedNotificationCenter::kMaxNameLength - client_->notificationName("").size(), 'k');
  EXPECT_THROW(client_->saveData(BrisvaneSettings(true), longest + "k"), std::invalid_argument);
  EXPECT_THROW(client_->deleteData<BrisvaneSettings>(longest + "k"), std::invalid_argument);
  EXPECT_EQ(keychain_->mostAtOnce, 0) << "a refused key reached the keychain";
  client_->saveData(BrisvaneSettings(true), longest);
  EXPECT_EQ(notifications_->names.size(), 1u);
}

TEST_F(KeychainClientTest, ConcurrentSavesThroughOneStorageRunOneAfterTheOther) {
  KeychainStorage storage(kService, kGroup, nullptr, keychain_);
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&storage] {
      for (int i = 0; i < 150; ++i) storage.save(Bytes(1, std::uint8_t(i)), std::to_string(i % 3));
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(keychain_->mostAtOnce, 1);
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 3) << "only each key's first save adds";
}

}  // namespace
