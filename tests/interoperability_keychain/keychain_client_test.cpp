#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "interoperability_keychain/recording_keychain.h"
#include "messages/BrisvaneSettings.h"
#include "runtime/clock.h"
#include "keychain/os_status_error.h"
#include "runtime/task.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

using brisvane::BrisvaneSettings;
using brisvane::DecodingError;
using brisvane::DistributedNotifications;
using brisvane::EncodingError;
using brisvane::KeychainInteroperabilityClient;
using brisvane::UpdateNotification;
using platform::DistributedNotificationCenter;
using testsupport::RecordingKeychain;
using Operation = RecordingKeychain::Operation;

const std::string kService = "com.tarvik.brisvane.interoperability";
const std::string kGroup = "group.test";
const std::string kSettingsKey = "com.tarvik.brisvane.interoperability.state";
const std::string kSettingsNotification =
    "com.tarvik.NyraInteroperability.com.tarvik.brisvane.interoperability.state.Updated";

// Passes every call to a real center, and counts posts, live observers and the deliveries each
// observer received (counted on the center's thread, before the client's callback runs).
class CountingNotifications final : public DistributedNotifications {
 public:
  explicit CountingNotifications(std::shared_ptr<DistributedNotificationCenter> center)
      : inner_(DistributedNotifications::over(std::move(center))) {}

  void post(const std::string& name) override {
    {
      std::lock_guard lock(mutex_);
      posts_.push_back(name);
    }
    inner_->post(name);
  }
  platform::ObserverToken addObserver(const std::string& name,
                                      DistributedNotificationCenter::Callback callback) override {
    auto deliveries = std::make_shared<std::atomic<int>>(0);
    const auto token = inner_->addObserver(name, [deliveries, callback](const std::string& n) {
      ++*deliveries;
      callback(n);
    });
    std::lock_guard lock(mutex_);
    live_.insert(token);
    deliveries_.push_back(deliveries);
    return token;
  }
  void removeObserver(const platform::ObserverToken& token) override {
    inner_->removeObserver(token);
    std::lock_guard lock(mutex_);
    live_.erase(token);
  }

  std::vector<std::string> posts() const {
    std::lock_guard lock(mutex_);
    return posts_;
  }
  std::size_t liveObservers() const {
    std::lock_guard lock(mutex_);
    return live_.size();
  }
  // Deliveries of the n-th observer ever added.
  int deliveries(std::size_t n) const {
    std::lock_guard lock(mutex_);
    return deliveries_.at(n)->load();
  }

 private:
  const std::shared_ptr<DistributedNotifications> inner_;
  mutable std::mutex mutex_;
  std::vector<std::string> posts_;
  std::set<platform::ObserverToken> live_;
  std::vector<std::shared_ptr<std::atomic<int>>> deliveries_;
};

// Members are public so that the table-driven cases can arrange them.
class KeychainClientTest : public ::testing::Test {
 public:
  // The storage writes a line per added item; keep the test's output readable.
  KeychainClientTest() { testing::internal::CaptureStdout(); }
  ~KeychainClientTest() override { testing::internal::GetCapturedStdout(); }

  std::shared_ptr<KeychainInteroperabilityClient> makeClient(
      std::shared_ptr<DistributedNotifications> notifications) {
    return std::make_shared<KeychainInteroperabilityClient>(kService, kGroup, keychain_,
                                                            std::move(notifications));
  }

  // Stores raw bytes where the client keeps the message of `key`.
  void storeRaw(const std::string& key, const std::string& text) {
    platform::SecItemDelete({{platform::kSecClass, platform::kSecClassGenericPassword},
                             {platform::kSecAttrService, kService},
                             {platform::kSecAttrAccount, key}});
    ASSERT_EQ(platform::SecItemAdd(
                  {{platform::kSecClass, platform::kSecClassGenericPassword},
                   {platform::kSecAttrService, kService},
                   {platform::kSecAttrAccessGroup, kGroup},
                   {platform::kSecAttrAccount, key},
                   {platform::kSecValueData, platform::Bytes(text.begin(), text.end())}}),
              platform::errSecSuccess);
  }

  std::optional<std::string> storedText(const std::string& key) {
    std::optional<platform::KeychainValue> result;
    const auto status =
        platform::SecItemCopyMatching({{platform::kSecClass, platform::kSecClassGenericPassword},
                                       {platform::kSecAttrService, kService},
                                       {platform::kSecAttrAccessGroup, kGroup},
                                       {platform::kSecAttrAccount, key},
                                       {platform::kSecReturnData, true}},
                                      &result);
    if (status != platform::errSecSuccess) return std::nullopt;
    const auto& bytes = std::get<platform::Bytes>(*result);
    return std::string(bytes.begin(), bytes.end());
  }

  // Waits until the center has delivered everything posted so far: the center delivers in post
  // order, so once a fresh marker arrives, every earlier name has been handed to its observers.
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
  std::shared_ptr<CountingNotifications> notifications_ =
      std::make_shared<CountingNotifications>(center_);
  std::shared_ptr<RecordingKeychain> keychain_ = std::make_shared<RecordingKeychain>();
  std::shared_ptr<KeychainInteroperabilityClient> client_ = makeClient(notifications_);
  int markers_ = 0;
};

TEST_F(KeychainClientTest, SavingTheSettingsStoresTheEnvelopeAndAnnouncesIt) {
  const double before = platform::currentTimeIntervalSince1970();
  client_->saveData(BrisvaneSettings(true));
  const double after = platform::currentTimeIntervalSince1970();

  EXPECT_EQ(notifications_->posts(), std::vector<std::string>{kSettingsNotification});
  const auto text = storedText(kSettingsKey);
  ASSERT_TRUE(text.has_value());
  const auto document = nlohmann::json::parse(*text);
  EXPECT_EQ(document.at("version"), "1.0.0");
  EXPECT_EQ(document.at("data"), nlohmann::json({{"isRTPEnabled", true}}));
  EXPECT_GE(document.at("timestamp").get<double>(), before);
  EXPECT_LE(document.at("timestamp").get<double>(), after);

  const auto message = client_->readData<BrisvaneSettings>();
  ASSERT_TRUE(message.has_value());
  EXPECT_TRUE(message->data().isRTPEnabled());
  EXPECT_EQ(message->version(), "1.0.0");
  EXPECT_EQ(message->timestamp(), document.at("timestamp").get<double>());
}

TEST_F(KeychainClientTest, OnlySuccessfulChangesAreAnnounced) {
  struct Case {
    const char* name;
    std::function<void(KeychainClientTest&)> arrange;
    std::function<void(KeychainInteroperabilityClient&)> act;
    std::size_t posts;
  };
  const auto save = [](KeychainInteroperabilityClient& c) { c.saveData(BrisvaneSettings(false)); };
  const Case cases[] = {
      {"save of a new key", [](auto&) {}, save, 1},
      {"save over an existing item",
       [](KeychainClientTest& t) { t.client_->saveData(BrisvaneSettings(true)); }, save, 1},
      {"save the storage skips after an odd probe",
       [](KeychainClientTest& t) {
         t.keychain_->force(Operation::copyMatching, platform::errSecIO);
       },
       save, 1},
      {"save whose add fails",
       [](KeychainClientTest& t) {
         t.keychain_->force(Operation::add, platform::errSecDuplicateItem);
       },
       [](KeychainInteroperabilityClient& c) {
         EXPECT_THROW(c.saveData(BrisvaneSettings(true)), platform::OSStatusError);
       },
       0},
      {"save whose payload cannot be encoded", [](auto&) {},
       [](KeychainInteroperabilityClient& c) {
         EXPECT_THROW(c.saveData(std::string("\xFF"), kSettingsKey), EncodingError);
       },
       0},
      {"request", [](KeychainClientTest& t) { t.client_->saveData(BrisvaneSettings(true)); },
       [](KeychainInteroperabilityClient& c) {
         EXPECT_TRUE(c.requestData<BrisvaneSettings>(kSettingsKey).has_value());
       },
       0},
      {"request of an empty slot", [](auto&) {},
       [](KeychainInteroperabilityClient& c) {
         EXPECT_FALSE(c.requestData<BrisvaneSettings>(kSettingsKey).has_value());
       },
       0},
      {"delete of a stored message",
       [](KeychainClientTest& t) { t.client_->saveData(BrisvaneSettings(true)); },
       [](KeychainInteroperabilityClient& c) {
         const auto removed = c.deleteData<BrisvaneSettings>(kSettingsKey);
         ASSERT_TRUE(removed.has_value());
         EXPECT_TRUE(removed->data().isRTPEnabled());
       },
       1},
      {"delete of an empty slot", [](auto&) {},
       [](KeychainInteroperabilityClient& c) {
         EXPECT_FALSE(c.deleteData<BrisvaneSettings>(kSettingsKey).has_value());
       },
       0},
      {"delete whose read fails",
       [](KeychainClientTest& t) {
         t.client_->saveData(BrisvaneSettings(true));
         t.keychain_->force(Operation::copyMatching, platform::errSecInteractionNotAllowed);
       },
       [](KeychainInteroperabilityClient& c) {
         EXPECT_THROW(c.deleteData<BrisvaneSettings>(kSettingsKey), platform::OSStatusError);
       },
       0},
      {"delete whose removal fails",
       [](KeychainClientTest& t) {
         t.client_->saveData(BrisvaneSettings(true));
         t.keychain_->force(Operation::remove, platform::errSecIO);
       },
       [](KeychainInteroperabilityClient& c) {
         EXPECT_THROW(c.deleteData<BrisvaneSettings>(kSettingsKey), platform::OSStatusError);
       },
       0},
      {"delete of an undecodable item",
       [](KeychainClientTest& t) { t.storeRaw(kSettingsKey, "not json"); },
       [](KeychainInteroperabilityClient& c) {
         EXPECT_THROW(c.deleteData<BrisvaneSettings>(kSettingsKey), DecodingError);
       },
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir store;
    testsupport::ScopedEnv dataHome("XDG_DATA_HOME", store.path().string());
    keychain_ = std::make_shared<RecordingKeychain>();
    notifications_ = std::make_shared<CountingNotifications>(center_);
    client_ = makeClient(notifications_);
    c.arrange(*this);
    const std::size_t before = notifications_->posts().size();
    c.act(*client_);
    const auto posts = notifications_->posts();
    EXPECT_EQ(posts.size() - before, c.posts);
    for (std::size_t i = before; i < posts.size(); ++i) EXPECT_EQ(posts[i], kSettingsNotification);
  }
}

TEST_F(KeychainClientTest, DeletingAnUndecodableItemStillRemovesIt) {
  storeRaw(kSettingsKey, R"({"version":"1.0.0","timestamp":1,"data":{"isRTPEnabled":"yes"}})");
  EXPECT_THROW(client_->deleteData<BrisvaneSettings>(kSettingsKey), DecodingError);
  EXPECT_FALSE(storedText(kSettingsKey).has_value());
}

TEST_F(KeychainClientTest, MalformedItemBytesRaiseDecodingErrors) {
  struct Case {
    const char* name;
    std::string text;
    DecodingError::Kind kind;
  };
  const std::string envelope = R"({"version":"1.0.0","timestamp":1700000000,"data":)";
  const Case cases[] = {
      {"not JSON", "RTP is on", DecodingError::Kind::dataCorrupted},
      {"binary", std::string("\x00\x01\x02\xFF", 4), DecodingError::Kind::dataCorrupted},
      {"string payload", envelope + R"("{\"isRTPEnabled\":true}"})",
       DecodingError::Kind::typeMismatch},
      {"null flag", envelope + R"({"isRTPEnabled":null}})", DecodingError::Kind::valueNotFound},
      {"huge string", envelope + R"({"isRTPEnabled":true},"pad":")" + std::string(4 << 20, 'x'),
       DecodingError::Kind::dataCorrupted},
      {"deeply nested", std::string(200000, '[') + std::string(200000, ']'),
       DecodingError::Kind::typeMismatch},
      {"deeply nested, unterminated", std::string(500000, '['), DecodingError::Kind::dataCorrupted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    storeRaw(kSettingsKey, c.text);
    try {
      client_->requestData<BrisvaneSettings>(kSettingsKey);
      ADD_FAILURE() << "decoded";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.kind(), c.kind) << error.what();
    }
  }
  EXPECT_TRUE(notifications_->posts().empty());
}

// Takes values from a stream on a background task, so the test thread never blocks on it.
class StreamCollector {
 public:
  explicit StreamCollector(platform::AsyncStream<UpdateNotification> stream)
      : state_(std::make_shared<State>()) {
    auto box = std::make_shared<platform::AsyncStream<UpdateNotification>>(std::move(stream));
    task_ = platform::Task::detached([state = state_, box] {
      while (auto value = box->next()) {
        std::lock_guard lock(state->mutex);
        state->keys.push_back(value->messageKey());
      }
      state->hasEnded = true;
    });
  }
  ~StreamCollector() {
    task_.cancel();
    task_.wait();
  }
  std::vector<std::string> keys() const {
    std::lock_guard lock(state_->mutex);
    return state_->keys;
  }
  bool waitForCount(std::size_t count) const {
    return testsupport::waitFor([&] { return keys().size() >= count; });
  }
  // Cancels the consuming task, which ends the stream from the consumer's side.
  void cancel() {
    task_.cancel();
    task_.wait();
  }
  bool hasEnded() const { return state_->hasEnded; }

 private:
  struct State {
    mutable std::mutex mutex;
    std::vector<std::string> keys;
    std::atomic<bool> hasEnded{false};
  };
  std::shared_ptr<State> state_;
  platform::TaskHandle task_;
};

TEST_F(KeychainClientTest, EveryListenerOfAKeyGetsEachChangeOnce) {
  StreamCollector first(client_->listenForUpdates(kSettingsKey));
  StreamCollector second(client_->listenForUpdates(kSettingsKey));
  StreamCollector other(client_->listenForUpdates("other.key"));
  EXPECT_EQ(notifications_->liveObservers(), 3u);

  client_->saveData(BrisvaneSettings(true));
  client_->saveData(BrisvaneSettings(false));
  client_->deleteData<BrisvaneSettings>(kSettingsKey);
  drainCenter();

  EXPECT_EQ(notifications_->deliveries(0), 3);
  EXPECT_EQ(notifications_->deliveries(1), 3);
  EXPECT_EQ(notifications_->deliveries(2), 0);
  ASSERT_TRUE(first.waitForCount(3));
  ASSERT_TRUE(second.waitForCount(3));
  EXPECT_EQ(first.keys(), std::vector<std::string>(3, kSettingsKey));
  EXPECT_EQ(second.keys(), std::vector<std::string>(3, kSettingsKey));
  EXPECT_TRUE(other.keys().empty());
}

TEST_F(KeychainClientTest, CancellingAStreamRemovesOnlyItsObserver) {
  StreamCollector kept(client_->listenForUpdates(kSettingsKey));
  StreamCollector cancelled(client_->listenForUpdates(kSettingsKey));
  client_->saveData(BrisvaneSettings(true));
  ASSERT_TRUE(cancelled.waitForCount(1));

  cancelled.cancel();
  EXPECT_TRUE(cancelled.hasEnded());
  EXPECT_EQ(notifications_->liveObservers(), 1u);

  client_->saveData(BrisvaneSettings(false));
  drainCenter();
  EXPECT_EQ(notifications_->deliveries(0), 2);
  EXPECT_EQ(notifications_->deliveries(1), 1);
  ASSERT_TRUE(kept.waitForCount(2));
  EXPECT_EQ(cancelled.keys().size(), 1u);
}

TEST_F(KeychainClientTest, AStreamOutlivesItsClient) {
  auto stream = client_->listenForUpdates(kSettingsKey);
  client_.reset();
  auto writer = makeClient(notifications_);
  writer->saveData(BrisvaneSettings(true));
  drainCenter();
  const auto value = stream.next();  // already buffered
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->messageKey(), kSettingsKey);
  stream.cancel();
  EXPECT_EQ(notifications_->liveObservers(), 0u);
}

// Two centers over one folder stand for two processes: a save through one client reaches the
// listener of a client on the other center, through the center's sockets.
TEST_F(KeychainClientTest, ChangesReachListenersOnAnotherCenter) {
  auto otherCenter = DistributedNotificationCenter::create(dir_ / "notifications");
  auto listener = std::make_shared<KeychainInteroperabilityClient>(
      kService, kGroup, platform::KeychainServices::system(), otherCenter);
  StreamCollector updates(listener->listenForUpdates(kSettingsKey));

  client_->saveData(BrisvaneSettings(true));
  ASSERT_TRUE(updates.waitForCount(1));
  EXPECT_EQ(updates.keys(), std::vector<std::string>{kSettingsKey});
  const auto message = listener->readData<BrisvaneSettings>();
  ASSERT_TRUE(message.has_value());
  EXPECT_TRUE(message->data().isRTPEnabled());
}

TEST_F(KeychainClientTest, NotificationNamesUseTheKeyUnchanged) {
  EXPECT_EQ(client_->notificationName(kSettingsKey), kSettingsNotification);
  EXPECT_EQ(client_->notificationName("a b/c.Updated"),
            "com.tarvik.NyraInteroperability.a b/c.Updated.Updated");

  // A key whose name the center cannot carry changes nothing.
  const std::string longKey(DistributedNotificationCenter::kMaxNameLength, 'k');
  EXPECT_THROW(client_->saveData(BrisvaneSettings(true), longKey), std::invalid_argument);
  EXPECT_THROW(client_->deleteData<BrisvaneSettings>(longKey), std::invalid_argument);
  EXPECT_TRUE(keychain_->calls().empty());
  EXPECT_TRUE(notifications_->posts().empty());
}

}  // namespace
