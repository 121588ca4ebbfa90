#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "interoperability/InteroperabilityClient.h"
#include "runtime/clock.h"

namespace {

using brisvane::DecodingError;
using brisvane::InteroperabilityClient;
using brisvane::JSONNode;
using brisvane::UpdateNotification;

// A payload that names its own key.
class Note {
 public:
  explicit Note(std::string text) : text_(std::move(text)) {}
  const std::string& text() const { return text_; }
  static constexpr std::string_view key() { return "test.note"; }
  nlohmann::json encodeJSON() const { return {{"text", text_}}; }
  static Note decodeJSON(const JSONNode& node) {
    node.requireObject();
    return Note(node.decode<std::string>("text"));
  }

 private:
  std::string text_;
};

struct TransportFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Keeps envelopes in memory under their keys and records the signals it would send.
class InMemoryClient final : public InteroperabilityClient {
 public:
  std::map<std::string, std::vector<std::uint8_t>> items;
  std::vector<std::string> signals;
  bool failsTransport = false;

  platform::AsyncStream<UpdateNotification> listenForUpdates(const std::string&) override {
    auto [stream, continuation] = platform::AsyncStream<UpdateNotification>::makeStream();
    return std::move(stream);
  }

  void store(const std::string& key, const std::string& text) {
    items[key] = std::vector<std::uint8_t>(text.begin(), text.end());
  }

 protected:
  void saveEnvelope(const std::string& key, const EnvelopeEncoder& encode) override {
    auto bytes = encode(brisvane::JSONEncoder(), "test-1");
    if (failsTransport) throw TransportFailure("store refused");
    items[key] = std::move(bytes);
    signals.push_back(key);
  }
  bool requestEnvelope(const std::string& key, const EnvelopeDecoder& decode) override {
    if (failsTransport) throw TransportFailure("store refused");
    const auto found = items.find(key);
    if (found == items.end()) return false;
    decode(brisvane::JSONDecoder(), found->second);
    return true;
  }
  bool deleteEnvelope(const std::string& key, const EnvelopeDecoder& decode) override {
    const auto found = items.find(key);
    if (found == items.end()) return false;
    const auto bytes = found->second;
    items.erase(found);
    decode(brisvane::JSONDecoder(), bytes);
    signals.push_back(key);
    return true;
  }
};

TEST(InteroperabilityClientTest, SaveReadAndDeleteUnderTheTypesKey) {
  InMemoryClient client;
  EXPECT_FALSE(client.readData<Note>().has_value()) << "a key never saved is absent, not an error";
  EXPECT_FALSE(client.requestData<Note>("other").has_value());
  EXPECT_FALSE(client.deleteData<Note>("test.note").has_value());
  EXPECT_TRUE(client.signals.empty());

  const double before = platform::currentTimeIntervalSince1970();
  client.saveData(Note("hello"));
  const double after = platform::currentTimeIntervalSince1970();
  const auto message = client.readData<Note>();
  ASSERT_TRUE(message.has_value());
  EXPECT_EQ(message->data().text(), "hello");
  EXPECT_EQ(message->version(), "test-1");
  EXPECT_GE(message->timestamp(), before);
  EXPECT_LE(message->timestamp(), after);
  EXPECT_EQ(client.signals, std::vector<std::string>{"test.note"});

  InMemoryClient byKey;
  byKey.saveData(Note("hello"), std::string(Note::key()));
  EXPECT_EQ(byKey.items.size(), 1u);
  EXPECT_EQ(byKey.items.begin()->first, client.items.begin()->first);
  EXPECT_EQ(byKey.signals, client.signals);

  const auto removed = client.deleteData<Note>("test.note");
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(removed->data().text(), "hello");
  EXPECT_FALSE(client.readData<Note>().has_value());
  EXPECT_EQ(client.signals, (std::vector<std::string>{"test.note", "test.note"}));
}

TEST(InteroperabilityClientTest, FailuresReachTheCallerUnchanged) {
  InMemoryClient client;
  client.store("test.note", R"({"version":"1","timestamp":1,"data":{"text":3}})");
  DecodingError::Kind viaRequest{};
  DecodingError::Kind viaRead{};
  try {
    client.requestData<Note>("test.note");
    FAIL() << "undecodable item decoded";
  } catch (const DecodingError& error) {
    viaRequest = error.kind();
  }
  try {
    client.readData<Note>();
    FAIL() << "undecodable item decoded";
  } catch (const DecodingError& error) {
    viaRead = error.kind();
  }
  EXPECT_EQ(viaRequest, DecodingError::Kind::typeMismatch);
  EXPECT_EQ(viaRead, viaRequest);

  client.failsTransport = true;
  EXPECT_THROW(client.readData<Note>(), TransportFailure);
  EXPECT_THROW(client.saveData(Note("x")), TransportFailure);
  EXPECT_TRUE(client.signals.empty());
}

}  // namespace
