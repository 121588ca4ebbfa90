#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "interoperability/DecodingError.h"
#include "interoperability/EncodingError.h"
#include "interoperability/JSONCoding.h"
#include "interoperability/Message.h"
#include "interoperability/UpdateNotification.h"
#include "messages/BrisvaneSettings.h"
#include "platform/clock.h"

// The envelope and the settings payload as docs/wire-formats.md describes them.
namespace {

using namespace brisvane;
using Settings = Message<BrisvaneSettings>;

// An envelope of version "1" with the given timestamp and value of "isRTPEnabled", as text.
std::string envelope(const std::string& timestamp, const std::string& flag = "true") {
  return R"({"version":"1","timestamp":)" + timestamp + R"(,"data":{"isRTPEnabled":)" + flag + "}}";
}

// How decoding `text` as T failed: its kind, subject and coding path, or what() when `what`.
template <class T = Settings>
std::string failureOf(const std::string& text, bool what = false) {
  try {
    JSONDecoder().decode<T>(text);
  } catch (const DecodingError& error) {
    if (what) return error.what();
    return std::string(decodingErrorKindName(error.kind())) + " " + error.subject() + " " +
           describeCodingPath(error.codingPath());
  }
  return "decoded";
}

TEST(MessageJSONTest, EncodesExactlyTheDocumentedMembers) {
  for (const bool flag : {true, false}) {
    const double before = platform::currentTimeIntervalSince1970();
    const Settings message(BrisvaneSettings(flag), "1.0.0");
    EXPECT_GE(message.timestamp(), before);
    EXPECT_LE(message.timestamp(), platform::currentTimeIntervalSince1970());
    EXPECT_EQ(nlohmann::json::parse(JSONEncoder().encodeToString(message)),
              nlohmann::json({{"version", "1.0.0"},
                              {"timestamp", message.timestamp()},
                              {"data", {{"isRTPEnabled", flag}}}}));
  }
  EXPECT_EQ(JSONEncoder().encodeToString(UpdateNotification("com.example.key")),
            R"({"messageKey":"com.example.key"})");
}

TEST(MessageJSONTest, AcceptedEnvelopesKeepTheirValuesThroughReencoding) {
  struct Case {
    std::string text;
    std::string version;
    double timestamp;
    bool flag;
  };
  std::vector<Case> cases = {
      {R"({"version":"1.0.0","timestamp":1700000000.25,"data":{"isRTPEnabled":true}})", "1.0.0",
       1700000000.25, true},
      {R"({"data":{"isRTPEnabled":false},"timestamp":-86400.5,"version":"2.0-beta"})", "2.0-beta",
       -86400.5, false},
      {R"({"version":"","timestamp":5,"data":{"x":[1],"isRTPEnabled":true},"extra":null})", "", 5,
       true},
      {"\xEF\xBB\xBF {\n \"version\" : "
       "\"1\",\t\"timestamp\":1.7e9,\"data\":{\"isRTPEnabled\":true}} ",
       "1", 1.7e9, true},
      {R"({"version":"\u00e9t\u00e9 \ud83c\udf17","timestamp":0,"data":{"isRTPEnabled":true}})",
       "\xC3\xA9t\xC3\xA9 \xF0\x9F\x8C\x97", 0, true},
  };
  // Timestamps keep every bit, and integral ones become the same double.
  for (const char* t : {"1700000000.123456789", "0.1", "5e-324", "1.7976931348623157e308",
                        "9007199254740993", "18446744073709551615", "-9223372036854775808"}) {
    cases.push_back({envelope(t), "1", std::strtod(t, nullptr), true});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto decoded = JSONDecoder().decode<Settings>(c.text);
    const auto again = JSONDecoder().decode<Settings>(JSONEncoder().encodeToString(decoded));
    for (const auto* message : {&decoded, &again}) {
      EXPECT_EQ(message->version(), c.version);
      EXPECT_EQ(message->timestamp(), c.timestamp);
      EXPECT_EQ(message->data().isRTPEnabled(), c.flag);
    }
  }
}

TEST(MessageJSONTest, RejectedEnvelopesNameTheFirstFailingMember) {
  const std::string data = R"("data":{"isRTPEnabled":true})";
  const std::string head = R"({"version":"1","timestamp":1,)";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"timestamp":1,)" + data + "}", "keyNotFound version []"},
      {R"({"Version":"1","timestamp":1,)" + data + "}", "keyNotFound version []"},
      {R"({"version":null,"timestamp":1,)" + data + "}", R"(valueNotFound String ["version"])"},
      {R"({"version":1,"timestamp":1,)" + data + "}", R"(typeMismatch String ["version"])"},
      {R"({"version":"1",)" + data + "}", "keyNotFound timestamp []"},
      {envelope("null"), R"(valueNotFound Double ["timestamp"])"},
      {envelope(R"("1700000000")"), R"(typeMismatch Double ["timestamp"])"},
      {R"({"version":"1","timestamp":1})", "keyNotFound data []"},
      {head + R"("data":null})", R"(valueNotFound Dictionary ["data"])"},
      {head + R"("data":"{\"isRTPEnabled\":true}"})", R"(typeMismatch Dictionary ["data"])"},
      {head + R"("data":{}})", R"(keyNotFound isRTPEnabled ["data"])"},
      {head + R"("data":{"isrtpenabled":true}})", R"(keyNotFound isRTPEnabled ["data"])"},
      {envelope("1", "null"), R"(valueNotFound Bool ["data", "isRTPEnabled"])"},
      {envelope("1", "1"), R"(typeMismatch Bool ["data", "isRTPEnabled"])"},
      {envelope("1", R"("true")"), R"(typeMismatch Bool ["data", "isRTPEnabled"])"},
      {"[]", "typeMismatch Dictionary []"},
      {"null", "valueNotFound Dictionary []"},
      {R"({"timestamp":"x","data":null})", "keyNotFound version []"},
      {R"({"data":null,"timestamp":"x","version":"1"})", R"(typeMismatch Double ["timestamp"])"},
      // Text that is not one JSON value in valid UTF-8.
      {"", "dataCorrupted  []"},
      {head + data, "dataCorrupted  []"},
      {envelope("1") + " trailing", "dataCorrupted  []"},
      {envelope("NaN"), "dataCorrupted  []"},
      {envelope("1e400"), "dataCorrupted  []"},
      {"{\"version\":\"\xFF\"," + data + "}", "dataCorrupted  []"},
      {R"({"version":"\ud800",)" + data + "}", "dataCorrupted  []"},
  };
  for (const auto& [text, failure] : cases) {
    EXPECT_EQ(failureOf(text), failure) << testing::PrintToString(text);
  }
  // What another program's log shows.
  EXPECT_EQ(
      failureOf(head + R"("data":{}})", true),
      R"(keyNotFound("isRTPEnabled", codingPath: ["data"]): no value associated with key "isRTPEnabled")");
  EXPECT_EQ(
      failureOf(envelope(R"("x")"), true),
      R"(typeMismatch(Double, codingPath: ["timestamp"]): expected to decode Double but found a string instead)");
  EXPECT_EQ(failureOf("nope", true)
                .rfind("dataCorrupted(codingPath: []): the given data was not valid JSON: ", 0),
            0u);
}

TEST(MessageJSONTest, TheNotificationAndWholeNumberPayloadsDecodeStrictly) {
  EXPECT_EQ(JSONDecoder().decode<UpdateNotification>(R"({"x":1,"messageKey":"k"})").messageKey(),
            "k");
  const std::string head = R"({"version":"1","timestamp":1,"data":)";
  EXPECT_EQ(JSONDecoder().decode<Message<std::int64_t>>(head + "-9223372036854775808}").data(),
            INT64_MIN);
  using Int = Message<std::int64_t>;
  const std::pair<std::string, std::string> cases[] = {
      {failureOf<UpdateNotification>("{}"), "keyNotFound messageKey []"},
      {failureOf<UpdateNotification>(R"({"MessageKey":"k"})"), "keyNotFound messageKey []"},
      {failureOf<UpdateNotification>(R"({"messageKey":null})"),
       R"(valueNotFound String ["messageKey"])"},
      {failureOf<UpdateNotification>(R"({"messageKey":7})"),
       R"(typeMismatch String ["messageKey"])"},
      {failureOf<Int>(head + "4.5}"), R"(typeMismatch Int64 ["data"])"},
      {failureOf<Int>(head + "null}"), R"(valueNotFound Int64 ["data"])"},
      {failureOf<Int>(head + "18446744073709551615}"), R"(dataCorrupted  ["data"])"},
  };
  for (const auto& [actual, expected] : cases) EXPECT_EQ(actual, expected);
}

TEST(MessageJSONTest, PayloadsWithoutAJSONFormFailToEncode) {
  try {
    JSONEncoder().encode(Message<double>(std::nan(""), "1.0.0"));
    ADD_FAILURE() << "a NaN payload encoded";
  } catch (const EncodingError& error) {
    EXPECT_STREQ(error.what(),
                 R"(invalidValue(nan, codingPath: ["data"]): a JSON number must be finite)");
  }
  EXPECT_THROW(JSONEncoder().encode(Message<std::string>("\xFF\xFE", "1.0.0")), EncodingError);
  EXPECT_THROW(JSONEncoder().encode(Message<bool>(true, "bad \xC3")), EncodingError);
}

}  // namespace
