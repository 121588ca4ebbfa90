#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "messages/BrisvaneSettings.h"
#include "platform/clock.h"
#include "platform/os_status_error.h"
#include "support/temp_dir.h"
#include "support/wait.h"

// The keychain client and its storage over a real store and real notification centers, as
// docs/wire-formats.md describes the item and the announcement.
namespace {

using namespace brisvane;
using namespace platform;
using Settings = Message<BrisvaneSettings>;

const std::string kService = "com.tarvik.brisvane.interoperability";
const std::string kGroup = "group.test";
const std::string kKey = "com.tarvik.brisvane.interoperability.state";
const std::string kName =
    "com.tarvik.NyraInteroperability.com.tarvik.brisvane.interoperability.state.Updated";

// The settings item's text as another program finds it: the row of the service, access group
// and account, with synchronizable 0.
std::optional<std::string> storedText() {
  std::optional<KeychainValue> result;
  if (SecItemCopyMatching({{kSecClass, kSecClassGenericPassword},
                           {kSecAttrService, kService},
                           {kSecAttrAccessGroup, kGroup},
                           {kSecAttrAccount, kKey},
                           {kSecReturnData, true}},
                          &result) != errSecSuccess) {
    return std::nullopt;
  }
  const auto& bytes = std::get<Bytes>(*result);
  return std::string(bytes.begin(), bytes.end());
}

// The user's keychain, except for operations told to answer with a fixed status; measures how
// many calls ever ran at the same time.
class ForcingKeychain final : public KeychainServices {
 public:
  enum Op { add, copy, update, remove };
  std::map<Op, OSStatus> forced;  // changed only while no call runs
  std::atomic<int> adds{0}, inFlight{0}, mostAtOnce{0};

  OSStatus itemAdd(const KeychainDictionary& item) override {
    ++adds;
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

// A real center's notifications; records each post with the item's text at that moment.
class WatchedNotifications final : public DistributedNotifications {
 public:
  struct Post {
    std::string name;
    std::optional<std::string> stored;
  };
  explicit WatchedNotifications(std::shared_ptr<DistributedNotificationCenter> center)
      : inner_(over(std::move(center))) {}
  void post(const std::string& name) override {
    posts.push_back({name, storedText()});  // on the client's executor, read after it returned
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
  std::vector<Post> posts;
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

std::string describe(const std::optional<Settings>& message) {
  return !message ? "absent" : message->data().isRTPEnabled() ? "true" : "false";
}

// The stored item as "absent", "true", "false" or "undecodable".
std::string describeStored() {
  const auto text = storedText();
  try {
    return text ? describe(JSONDecoder().decode<Settings>(*text)) : "absent";
  } catch (const DecodingError&) {
    return "undecodable";
  }
}

class KeychainClientTest : public ::testing::Test {
 protected:
  std::shared_ptr<KeychainInteroperabilityClient> makeClient() {
    return std::make_shared<KeychainInteroperabilityClient>(kService, kGroup, keychain_,
                                                            notifications_);
  }
  void storeRaw(const std::string& text) {
    ASSERT_EQ(SecItemAdd({{kSecClass, kSecClassGenericPassword},
                          {kSecAttrService, kService},
                          {kSecAttrAccessGroup, kGroup},
                          {kSecAttrAccount, kKey},
                          {kSecValueData, Bytes(text.begin(), text.end())}}),
              errSecSuccess);
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
  std::shared_ptr<KeychainInteroperabilityClient> client_ = makeClient();
  int markers_ = 0;
};

TEST_F(KeychainClientTest, ChangesAreWrittenInTheDocumentedFormBeforeTheyAreAnnounced) {
  const double before = currentTimeIntervalSince1970();
  testing::internal::CaptureStdout();
  client_->saveData(BrisvaneSettings(true));
  client_->saveData(BrisvaneSettings(false));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Options attributes: [:]\n");
  const double after = currentTimeIntervalSince1970();
  const auto read = client_->readData<BrisvaneSettings>();
  EXPECT_EQ(describe(client_->deleteData<BrisvaneSettings>(kKey)), "false");

  const auto& posts = notifications_->posts;
  ASSERT_EQ(posts.size(), 3u);
  for (const bool flag : {true, false}) {
    const auto& post = posts[flag ? 0 : 1];
    EXPECT_EQ(post.name, kName);
    ASSERT_TRUE(post.stored.has_value()) << "announced before the item was written";
    const auto document = nlohmann::json::parse(*post.stored);
    EXPECT_EQ(document.size(), 3u);
    EXPECT_EQ(document.at("version"), "1.0.0");
    EXPECT_EQ(document.at("data"), nlohmann::json({{"isRTPEnabled", flag}}));
    EXPECT_GE(document.at("timestamp").get<double>(), before);
    EXPECT_LE(document.at("timestamp").get<double>(), after);
    if (!flag) {
      ASSERT_EQ(describe(read), "false");
      EXPECT_EQ(read->version(), "1.0.0");
      EXPECT_EQ(read->timestamp(), document.at("timestamp").get<double>());
    }
  }
  EXPECT_EQ(posts[2].name, kName);
  EXPECT_FALSE(posts[2].stored.has_value()) << "announced before the item was removed";
}

TEST_F(KeychainClientTest, OnlySuccessfulChangesAreAnnouncedAndFailuresReachTheCaller) {
  using Act = std::function<std::string(KeychainInteroperabilityClient&)>;
  const Act save = [](KeychainInteroperabilityClient& client) {
    client.saveData(BrisvaneSettings(true));
    return std::string("done");
  };
  const Act saveUnencodable = [](KeychainInteroperabilityClient& client) {
    client.saveData(std::string("\xFF"), kKey);
    return std::string("done");
  };
  const Act request = [](KeychainInteroperabilityClient& client) {
    return describe(client.requestData<BrisvaneSettings>(kKey));
  };
  const Act remove = [](KeychainInteroperabilityClient& client) {
    return describe(client.deleteData<BrisvaneSettings>(kKey));
  };
  using Op = ForcingKeychain::Op;
  const std::string head = R"({"version":"1.0.0","timestamp":1700000000,"data":)";
  const std::string no = head + R"({"isRTPEnabled":false}})";
  const std::string huge = head + R"({"isRTPEnabled":true},"pad":")" + std::string(4 << 20, 'x');
  const std::string nested = std::string(200000, '[') + std::string(200000, ']');
  const struct {
    std::string stored;  // the item's text before `forced` applies; empty: none
    std::map<Op, OSStatus> forced;
    Act act;
    std::string outcome;
    std::size_t posts;
    std::string after;  // describeStored() afterwards
  } cases[] = {
      // clang-format off
      {"", {}, save, "done", 1, "true"},
      {no, {}, save, "done", 1, "true"},
      {no, {{Op::copy, errSecInteractionNotAllowed}}, save, "done", 1, "true"},  // busy probe: update
      {no, {{Op::update, errSecIO}}, save, "done", 1, "false"},  // a failed update is not reported
      {"", {{Op::copy, errSecIO}}, save, "done", 1, "absent"},  // an odd probe writes nothing
      {"", {{Op::add, errSecDuplicateItem}}, save, "status -25299", 0, "absent"},
      {"", {{Op::add, 7}}, save, "status 7", 0, "absent"},
      {no, {}, saveUnencodable, "EncodingError", 0, "false"},
      {no, {}, request, "false", 0, "false"},
      {"", {}, request, "absent", 0, "absent"},
      {no, {{Op::copy, errSecDecode}}, request, "status -26275", 0, "false"},
      {"RTP is on", {}, request, "dataCorrupted", 0, "undecodable"},
      {std::string("\x00\x01\x02\xFF", 4), {}, request, "dataCorrupted", 0, "undecodable"},
      {head + R"("{\"isRTPEnabled\":true}"})", {}, request, "typeMismatch", 0, "undecodable"},
      {head + R"({"isRTPEnabled":null}})", {}, request, "valueNotFound", 0, "undecodable"},
      {huge, {}, request, "dataCorrupted", 0, "undecodable"},
      {nested, {}, request, "typeMismatch", 0, "undecodable"},
      {std::string(500000, '['), {}, request, "dataCorrupted", 0, "undecodable"},
      {no, {}, remove, "false", 1, "absent"},
      {"", {}, remove, "absent", 0, "absent"},
      {no, {{Op::copy, errSecInteractionNotAllowed}}, remove, "status -25308", 0, "false"},
      {no, {{Op::remove, errSecIO}}, remove, "status -36", 0, "false"},
      {no, {{Op::remove, errSecItemNotFound}}, remove, "false", 1, "false"},
      {head + R"({"isRTPEnabled":"yes"}})", {}, remove, "typeMismatch", 0, "absent"},  // still removed
      {nested, {}, remove, "typeMismatch", 0, "absent"},
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
    if (!c.stored.empty()) storeRaw(c.stored);
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
    EXPECT_EQ(notifications_->posts.size(), c.posts);
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
  KeychainInteroperabilityClient writer(
      kService, kGroup, KeychainServices::system(),
      DistributedNotificationCenter::create(dir_ / "notifications"));
  writer.saveData(BrisvaneSettings(true));
  ASSERT_TRUE(testsupport::waitFor([&] { return *yielded == 1; }));
  EXPECT_EQ(describe(makeClient()->readData<BrisvaneSettings>()), "true");
  stream.cancel();
  EXPECT_EQ(notifications_->liveObservers, 0);
}

TEST_F(KeychainClientTest, NotificationNamesUseTheKeyUnchangedUpToTheCentersLimit) {
  EXPECT_EQ(client_->notificationName(kKey), kName);
  EXPECT_EQ(client_->notificationName("a b/c.Updated"),
            "com.tarvik.NyraInteroperability.a b/c.Updated.Updated");
  const std::string longest(
      DistributedNotificationCenter::kMaxNameLength - client_->notificationName("").size(), 'k');
  EXPECT_THROW(client_->saveData(BrisvaneSettings(true), longest + "k"), std::invalid_argument);
  EXPECT_THROW(client_->deleteData<BrisvaneSettings>(longest + "k"), std::invalid_argument);
  EXPECT_EQ(keychain_->adds, 0) << "a refused key changed the store";
  EXPECT_TRUE(notifications_->posts.empty());
  client_->saveData(BrisvaneSettings(true), longest);
  EXPECT_EQ(notifications_->posts.size(), 1u);
}

TEST_F(KeychainClientTest, ConcurrentSavesThroughOneStorageRunOneAfterTheOther) {
  KeychainStorage storage(kService, kGroup, nullptr, keychain_);
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&storage, t] {
      for (int i = 0; i < 150; ++i) {
        const std::string text = std::to_string(t) + ":" + std::to_string(i);
        storage.save(Bytes(text.begin(), text.end()), "k" + std::to_string(i % 3));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(keychain_->mostAtOnce, 1);
  EXPECT_EQ(keychain_->adds, 3) << "only the first save of each key adds";
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 3);
}

}  // namespace
