#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "BrisvaneStateServiceImplementation/KeychainBrisvaneReader.h"
#include "host/logging.h"
#include "interoperability/DecodingError.h"
#include "interoperability/InteroperabilityClient.h"
#include "keychain/keychain.h"
#include "keychain/os_status_error.h"
#include "support/wait.h"

namespace {

using brisvane::UpdateNotification;
using testsupport::waitFor;

const std::string kSettingsKey = "com.tarvik.brisvane.interoperability.state";
constexpr double kWritten = 1700000000.0;

// A client with one item under the settings key, read on the test thread, and a change stream
// the test feeds; the reader must listen under the settings key.
struct FakeClient final : brisvane::InteroperabilityClient {
  std::optional<std::string> item;
  bool failing = false;
  platform::AsyncStream<UpdateNotification>::Continuation updates;
  std::shared_ptr<std::atomic<bool>> updatesEnded;

  platform::AsyncStream<UpdateNotification> listenForUpdates(const std::string& key) override {
    if (failing) throw platform::OSStatusError(platform::errSecInteractionNotAllowed);
    EXPECT_EQ(key, kSettingsKey);
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
    if (key != kSettingsKey || !item) return false;
    decode(brisvane::JSONDecoder(), std::vector<std::uint8_t>(item->begin(), item->end()));
    return true;
  }
  bool deleteEnvelope(const std::string&, const EnvelopeDecoder&) override { ADD_FAILURE(); return false; }
};

// One signal per notification, in order; the end of the client's stream ends the signals, and
// cancelling or dropping the signals ends the client's stream. Then the stored message: fresh for
// one day (inclusive), and then off with a warning, never absent; nothing stored is absent; the
// client's errors, and a stored message that does not decode, pass through.
TEST(KeychainBrisvaneReaderTest, AgeOfTheMessageDecidesTheStateAndEachNotificationIsOneSignal) {
  const auto client = std::make_shared<FakeClient>();
  double now = kWritten;
  brisvane::KeychainBrisvaneReader reader{client, [&] { return now; }};
  host::ScopedLogCapture log;
  std::atomic<int> count{0};
  std::atomic<bool> ended{false};
  auto signals = reader.listenForRTPStateUpdates();
  for (int i = 0; i < 3; ++i) client->updates.yield(UpdateNotification(kSettingsKey));
  client->updates.finish();
  signals.forEach([&](platform::Void) { ++count; }, [&] { ended = true; });
  ASSERT_TRUE(waitFor([&] { return ended.load(); }));
  EXPECT_EQ(count, 3);
  for (const bool cancel : {true, false}) {
    signals = reader.listenForRTPStateUpdates();
    const auto clientEnded = client->updatesEnded;
    EXPECT_FALSE(*clientEnded);
    if (cancel)
      signals.cancel();
    else
      signals = reader.listenForRTPStateUpdates();  // drops them
    ASSERT_TRUE(waitFor([&] { return clientEnded->load(); })) << (cancel ? "cancelled" : "dropped");
  }

  for (const auto& [age, isFresh] : std::vector<std::pair<double, bool>>{
           {0.0, true}, {86400.0, true}, {86400.001, false}, {-3600.0, true}}) {
    for (const bool stored : {true, false}) {
      SCOPED_TRACE("age " + std::to_string(age) + (stored ? ", enabled" : ", disabled"));
      log.sink().clear();
      client->item = nlohmann::json({{"version", "1.0.0"}, {"timestamp", kWritten}, {"data", {{"isRTPEnabled", stored}}}}).dump();
      now = kWritten + age;
      EXPECT_EQ(reader.readRTPState(), std::optional<bool>(isFresh && stored));
      EXPECT_EQ(log.sink().count("🌗 Keychain Brisvane RTP state expired. Defaulting to disabled."), isFresh ? 0u : 1u);
    }
  }
  client->item.reset();
  EXPECT_EQ(reader.readRTPState(), std::nullopt);
  client->item = R"({"version":"1.0.0","timestamp":1,"data":{"isRTPEnabled":1}})";
  EXPECT_THROW(reader.readRTPState(), brisvane::DecodingError);
  client->failing = true;
  EXPECT_THROW(reader.readRTPState(), platform::OSStatusError);
  EXPECT_THROW(reader.listenForRTPStateUpdates(), platform::OSStatusError);
}

}  // namespace
