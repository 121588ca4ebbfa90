#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BrisvaneStateServiceImplementation/KeychainBrisvaneReader.h"
#include "host/logging.h"
#include "interoperability/InteroperabilityClient.h"
#include "interoperability/DecodingError.h"
#include "messages/BrisvaneSettings.h"
#include "keychain/keychain.h"
#include "keychain/os_status_error.h"
#include "runtime/task.h"
#include "support/wait.h"

namespace {

using brisvane::KeychainBrisvaneReader;
using brisvane::UpdateNotification;
using testsupport::waitFor;

const std::string kSettingsKey = "com.tarvik.brisvane.interoperability.state";

// A client with one slot per key, whose change stream the test feeds. Thread-safe.
class FakeClient final : public brisvane::InteroperabilityClient {
 public:
  void store(const std::string& text) {
    std::lock_guard lock(mutex_);
    item_ = text;
  }
  void storeSettings(bool isRTPEnabled, double timestamp) {
    store(nlohmann::json({{"version", "1.0.0"},
                          {"timestamp", timestamp},
                          {"data", {{"isRTPEnabled", isRTPEnabled}}}})
              .dump());
  }
  std::atomic<bool> failing{false};
  std::vector<std::string> listened;  // read after listenForUpdates returned
  platform::AsyncStream<UpdateNotification>::Continuation updates;
  std::shared_ptr<std::atomic<bool>> updatesEnded = std::make_shared<std::atomic<bool>>(false);

  platform::AsyncStream<UpdateNotification> listenForUpdates(const std::string& key) override {
    if (failing) throw platform::OSStatusError(platform::errSecInteractionNotAllowed);
    listened.push_back(key);
    auto [stream, continuation] = platform::AsyncStream<UpdateNotification>::makeStream();
    updatesEnded = std::make_shared<std::atomic<bool>>(false);
    continuation.onTermination([ended = updatesEnded] { *ended = true; });
    updates = continuation;
    return std::move(stream);
  }

 protected:
  void saveEnvelope(const std::string&, const EnvelopeEncoder&) override { ADD_FAILURE(); }
  bool requestEnvelope(const std::string& key, const EnvelopeDecoder& decode) override {
    if (failing) throw platform::OSStatusError(platform::errSecInteractionNotAllowed);
    std::optional<std::string> text;
    {
      std::lock_guard lock(mutex_);
      if (key == kSettingsKey) text = item_;
    }
    if (!text) return false;
    decode(brisvane::JSONDecoder(), std::vector<std::uint8_t>(text->begin(), text->end()));
    return true;
  }
  bool deleteEnvelope(const std::string&, const EnvelopeDecoder&) override {
    ADD_FAILURE();
    return false;
  }

 private:
  std::mutex mutex_;
  std::optional<std::string> item_;
};

constexpr double kWritten = 1700000000.0;

// Counts the signals of a stream on a background task, so the test thread never blocks on it.
struct SignalCounter {
  struct State {
    std::atomic<int> count{0};
    std::atomic<bool> hasEnded{false};
  };
  std::shared_ptr<State> state = std::make_shared<State>();
  platform::TaskHandle task;
  explicit SignalCounter(platform::AsyncStream<platform::Void> stream) {
    auto box = std::make_shared<platform::AsyncStream<platform::Void>>(std::move(stream));
    task = platform::Task::detached([state = state, box] {
      while (box->next()) ++state->count;
      state->hasEnded = true;
    });
  }
  ~SignalCounter() {
    task.cancel();
    task.wait();
  }
};

struct KeychainBrisvaneReaderTest : ::testing::Test {
  std::shared_ptr<FakeClient> client = std::make_shared<FakeClient>();
  double now = kWritten;
  KeychainBrisvaneReader reader{client, [this] { return now; }};
  host::ScopedLogCapture log;
};

// Fresh for one day (inclusive); an expired message is off, never absent; no message is absent.
TEST_F(KeychainBrisvaneReaderTest, AgeOfTheMessageDecidesTheState) {
  struct Case {
    double age;
    bool isFresh;
  };
  for (const auto& c : {Case{0.0, true}, Case{86400.0, true}, Case{86400.001, false},
                        Case{172800.0, false}, Case{-3600.0, true}}) {
    for (const bool stored : {true, false}) {
      SCOPED_TRACE("age " + std::to_string(c.age) + (stored ? ", enabled" : ", disabled"));
      log.sink().clear();
      client->storeSettings(stored, kWritten);
      now = kWritten + c.age;
      EXPECT_EQ(reader.readRTPState(), std::optional<bool>(c.isFresh && stored));
      const auto records = log.sink().records();
      ASSERT_EQ(records.size(), c.isFresh ? 0u : 1u);
      if (!c.isFresh) {
        EXPECT_EQ(records[0].level, host::LogLevel::warning);
        EXPECT_EQ(records[0].message,
                  "🌗 Keychain Brisvane RTP state expired. Defaulting to disabled.");
      }
    }
  }
}

TEST_F(KeychainBrisvaneReaderTest, NoMessageIsAbsentAndClientErrorsPassThrough) {
  EXPECT_EQ(reader.readRTPState(), std::nullopt);
  const auto records = log.sink().records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, host::LogLevel::info);
  EXPECT_EQ(records[0].message, "🌗 No Keychain Brisvane RTP message found. Proceeding as usual.");
  EXPECT_EQ(records[0].category, "Brisvane RTP");
  log.sink().clear();
  client->store(R"({"version":"1.0.0","timestamp":1,"data":{"isRTPEnabled":1}})");
  EXPECT_THROW(reader.readRTPState(), brisvane::DecodingError);
  client->failing = true;
  EXPECT_THROW(reader.readRTPState(), platform::OSStatusError);
  EXPECT_THROW(reader.listenForRTPStateUpdates(), platform::OSStatusError);
  EXPECT_TRUE(log.sink().records().empty());
}

TEST_F(KeychainBrisvaneReaderTest, EachNotificationIsOneSignalAndEitherEndEndsTheOther) {
  {  // The client's stream ends: the signals end, after one per notification.
    auto signals = reader.listenForRTPStateUpdates();
    EXPECT_EQ(client->listened, std::vector<std::string>{kSettingsKey});
    for (int i = 0; i < 3; ++i) client->updates.yield(UpdateNotification(kSettingsKey));
    client->updates.finish();
    SignalCounter counter(std::move(signals));
    ASSERT_TRUE(waitFor([&] { return counter.state->hasEnded.load(); }));
    EXPECT_EQ(counter.state->count, 3);
  }
  {  // The signals' consumer is cancelled and drops them: the client's stream ends.
    SignalCounter counter(reader.listenForRTPStateUpdates());
    client->updates.yield(UpdateNotification(kSettingsKey));
    ASSERT_TRUE(waitFor([&] { return counter.state->count == 1; }));
    EXPECT_FALSE(*client->updatesEnded);
  }
  ASSERT_TRUE(waitFor([&] { return client->updatesEnded->load(); }));
  reader.listenForRTPStateUpdates().cancel();
  ASSERT_TRUE(waitFor([&] { return client->updatesEnded->load(); }));
  { auto dropped = reader.listenForRTPStateUpdates(); }
  ASSERT_TRUE(waitFor([&] { return client->updatesEnded->load(); }));
}

}  // namespace
