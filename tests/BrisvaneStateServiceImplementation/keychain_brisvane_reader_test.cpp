#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BrisvaneStateServiceImplementation/KeychainBrisvaneReader.h"
#include "host/logging.h"
#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "messages/BrisvaneSettings.h"
#include "keychain/os_status_error.h"
#include "runtime/task.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

using brisvane::BrisvaneSettings;
using brisvane::DecodingError;
using brisvane::KeychainBrisvaneReader;
using brisvane::UpdateNotification;

const std::string kSettingsKey = "com.tarvik.brisvane.interoperability.state";
const std::string kNoMessageLine = "🌗 No Keychain Brisvane RTP message found. Proceeding as usual.";
const std::string kExpiredLine = "🌗 Keychain Brisvane RTP state expired. Defaulting to disabled.";

// A client with one slot per key, whose change stream the test feeds. Thread-safe.
class FakeClient final : public brisvane::InteroperabilityClient {
 public:
  void store(const std::string& key, const std::string& text) {
    std::lock_guard lock(mutex_);
    items_[key] = text;
  }
  void storeSettings(bool isRTPEnabled, double timestamp) {
    store(kSettingsKey, nlohmann::json({{"version", "1.0.0"},
                                        {"timestamp", timestamp},
                                        {"data", {{"isRTPEnabled", isRTPEnabled}}}})
                            .dump());
  }
  void failWith(std::function<void()> thrower) {
    std::lock_guard lock(mutex_);
    thrower_ = std::move(thrower);
  }

  // The producer side of the last stream handed out, and whether that stream has ended.
  platform::AsyncStream<UpdateNotification>::Continuation updates() const {
    std::lock_guard lock(mutex_);
    return continuation_;
  }
  bool hasUpdatesEnded() const { return *updatesEnded_; }
  std::vector<std::string> listenedKeys() const {
    std::lock_guard lock(mutex_);
    return listened_;
  }

  platform::AsyncStream<UpdateNotification> listenForUpdates(const std::string& key) override {
    std::lock_guard lock(mutex_);
    if (thrower_) thrower_();
    listened_.push_back(key);
    auto [stream, continuation] = platform::AsyncStream<UpdateNotification>::makeStream();
    auto ended = std::make_shared<std::atomic<bool>>(false);
    continuation.onTermination([ended] { *ended = true; });
    updatesEnded_ = ended;
    continuation_ = continuation;
    return std::move(stream);
  }

 protected:
  void saveEnvelope(const std::string&, const EnvelopeEncoder&) override {
    ADD_FAILURE() << "the reader never saves";
  }
  bool requestEnvelope(const std::string& key, const EnvelopeDecoder& decode) override {
    std::string text;
    {
      std::lock_guard lock(mutex_);
      if (thrower_) thrower_();
      const auto found = items_.find(key);
      if (found == items_.end()) return false;
      text = found->second;
    }
    decode(brisvane::JSONDecoder(), std::vector<std::uint8_t>(text.begin(), text.end()));
    return true;
  }
  bool deleteEnvelope(const std::string&, const EnvelopeDecoder&) override {
    ADD_FAILURE() << "the reader never deletes";
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string> items_;
  std::function<void()> thrower_;
  std::vector<std::string> listened_;
  platform::AsyncStream<UpdateNotification>::Continuation continuation_;
  std::shared_ptr<std::atomic<bool>> updatesEnded_ = std::make_shared<std::atomic<bool>>(false);
};

constexpr double kWritten = 1700000000.0;

class KeychainBrisvaneReaderTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeClient> client_ = std::make_shared<FakeClient>();
  double now_ = kWritten;
  KeychainBrisvaneReader reader_{client_, [this] { return now_; }};
  host::ScopedLogCapture log_;
};

TEST_F(KeychainBrisvaneReaderTest, AgeOfTheMessageDecidesTheState) {
  struct Case {
    const char* name;
    double age;
    bool isFresh;
  };
  const Case cases[] = {
      {"just written", 0.0, true},
      {"exactly one day old", 86400.0, true},
      {"just over a day old", 86400.001, false},
      {"two days old", 172800.0, false},
      {"written in the future", -3600.0, true},
  };
  for (const auto& c : cases) {
    for (const bool stored : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (stored ? ", enabled" : ", disabled"));
      log_.sink().clear();
      client_->storeSettings(stored, kWritten);
      now_ = kWritten + c.age;
      const std::optional<bool> state = reader_.readRTPState();
      ASSERT_TRUE(state.has_value());  // an expired message is false, never absent
      EXPECT_EQ(*state, c.isFresh && stored);
      const auto records = log_.sink().records();
      if (c.isFresh) {
        EXPECT_TRUE(records.empty());
      } else {
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, host::LogLevel::warning);
        EXPECT_EQ(records[0].message, kExpiredLine);
      }
    }
  }
}

TEST_F(KeychainBrisvaneReaderTest, AnEmptySlotIsAbsentWithAnInfoLine) {
  EXPECT_EQ(reader_.readRTPState(), std::nullopt);
  const auto records = log_.sink().records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, host::LogLevel::info);
  EXPECT_EQ(records[0].message, kNoMessageLine);
  EXPECT_EQ(records[0].category, "Brisvane RTP");
  EXPECT_EQ(records[0].context, 0);
  EXPECT_TRUE(records[0].asynchronous);
  EXPECT_EQ(records[0].file, "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl");
}

TEST_F(KeychainBrisvaneReaderTest, ClientErrorsPassThroughUnlogged) {
  client_->store(kSettingsKey, R"({"version":"1.0.0","timestamp":1,"data":{"isRTPEnabled":1}})");
  EXPECT_THROW(reader_.readRTPState(), DecodingError);

  client_->failWith([] { throw platform::OSStatusError(platform::errSecInteractionNotAllowed); });
  try {
    reader_.readRTPState();
    ADD_FAILURE() << "the read succeeded";
  } catch (const platform::OSStatusError& error) {
    EXPECT_EQ(error.code(), platform::errSecInteractionNotAllowed);
  }
  EXPECT_THROW(reader_.listenForRTPStateUpdates(), platform::OSStatusError);
  EXPECT_TRUE(log_.sink().records().empty());
}

// Counts the signals of a stream on a background task, so the test thread never blocks on it.
class SignalCounter {
 public:
  explicit SignalCounter(platform::AsyncStream<platform::Void> stream)
      : state_(std::make_shared<State>()) {
    auto box = std::make_shared<platform::AsyncStream<platform::Void>>(std::move(stream));
    task_ = platform::Task::detached([state = state_, box] {
      while (box->next()) ++state->count;
      state->hasEnded = true;
    });
  }
  ~SignalCounter() {
    task_.cancel();
    task_.wait();
  }
  int count() const { return state_->count; }
  bool hasEnded() const { return state_->hasEnded; }

 private:
  struct State {
    std::atomic<int> count{0};
    std::atomic<bool> hasEnded{false};
  };
  std::shared_ptr<State> state_;
  platform::TaskHandle task_;
};

TEST_F(KeychainBrisvaneReaderTest, EachNotificationBecomesOneSignalUntilTheClientStreamEnds) {
  auto signals = reader_.listenForRTPStateUpdates();
  EXPECT_EQ(client_->listenedKeys(), std::vector<std::string>{kSettingsKey});
  const auto updates = client_->updates();
  for (int i = 0; i < 3; ++i) updates.yield(UpdateNotification(kSettingsKey));
  updates.finish();

  SignalCounter counter(std::move(signals));
  ASSERT_TRUE(testsupport::waitFor([&] { return counter.hasEnded(); }));
  EXPECT_EQ(counter.count(), 3);
}

TEST_F(KeychainBrisvaneReaderTest, EndingTheSignalStreamStopsTheListeningBehindIt) {
  {
    auto signals = reader_.listenForRTPStateUpdates();
    client_->updates().yield(UpdateNotification(kSettingsKey));
    signals.cancel();
    ASSERT_TRUE(testsupport::waitFor([&] { return client_->hasUpdatesEnded(); }));
  }
  {
    SignalCounter counter(reader_.listenForRTPStateUpdates());
    client_->updates().yield(UpdateNotification(kSettingsKey));
    ASSERT_TRUE(testsupport::waitFor([&] { return counter.count() == 1; }));
    EXPECT_FALSE(client_->hasUpdatesEnded());
  }  // the consumer's task is cancelled and the stream dropped
  ASSERT_TRUE(testsupport::waitFor([&] { return client_->hasUpdatesEnded(); }));
  {
    auto signals = reader_.listenForRTPStateUpdates();
  }  // dropped before the producer task ever ran
  ASSERT_TRUE(testsupport::waitFor([&] { return client_->hasUpdatesEnded(); }));
}

TEST(KeychainBrisvaneReaderWithKeychainTest, ReadsAndListensThroughTheKeychainClient) {
  testsupport::TempDir dir;
  testsupport::ScopedEnv dataHome("XDG_DATA_HOME", dir.path().string());
  auto center = platform::DistributedNotificationCenter::create(dir / "notifications");
  auto makeClient = [&] {
    return std::make_shared<brisvane::KeychainInteroperabilityClient>(
        "com.tarvik.brisvane.interoperability", "group.test", platform::KeychainServices::system(),
        center);
  };
  auto writer = makeClient();
  KeychainBrisvaneReader reader(makeClient());
  host::ScopedLogCapture log;

  EXPECT_EQ(reader.readRTPState(), std::nullopt);
  SignalCounter counter(reader.listenForRTPStateUpdates());
  testing::internal::CaptureStdout();
  writer->saveData(BrisvaneSettings(true));
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(testsupport::waitFor([&] { return counter.count() == 1; }));
  EXPECT_EQ(reader.readRTPState(), std::optional<bool>(true));
  writer->deleteData<BrisvaneSettings>(kSettingsKey);
  ASSERT_TRUE(testsupport::waitFor([&] { return counter.count() == 2; }));
  EXPECT_EQ(reader.readRTPState(), std::nullopt);
}

}  // namespace
