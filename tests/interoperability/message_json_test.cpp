#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "interoperability/DecodingError.h"
#include "interoperability/EncodingError.h"
#include "interoperability/JSONCoding.h"
#include "interoperability/Message.h"
#include "interoperability/UpdateNotification.h"
#include "messages/BrisvaneSettings.h"

// The envelope and the settings payload as docs/wire-formats.md describes them.
namespace {

using namespace brisvane;
using Settings = Message<BrisvaneSettings>;

// An envelope of version "1" with the given timestamp and value of "isRTPEnabled", as text.
std::string envelope(const std::string& timestamp, const std::string& flag = "true") {
  return R"({"version":"1","timestamp":)" + timestamp + R"(,"data":{"isRTPEnabled":)" + flag + "}}";
}

// How decoding `text` as T failed: "<kind> <subject> @<path.to.member>", or what() when `what`.
template <class T = Settings>
std::string failureOf(const std::string& text, bool what = false) {
  try {
    JSONDecoder().decode<T>(text);
  } catch (const DecodingError& error) {
    if (what) return error.what();
    std::string path;
    for (const auto& key : error.codingPath()) path += (path.empty() ? "" : ".") + key;
    const std::string subject = error.subject().empty() ? "" : " " + error.subject();
    return decodingErrorKindName(error.kind()) + subject + " @" + path;
  }
  return "decoded";
}

// Members in any order, others ignored, whitespace and a byte-order mark around the value, escapes
// decoded; every timestamp bit survives decoding and re-encoding. What is encoded has the
// documented text, or is refused.
TEST(MessageJSONTest, AcceptedEnvelopesSurviveReencodingAndEncodingWritesTheDocumentedText) {
  // The text, then its version, timestamp and flag.
  std::vector<std::tuple<std::string, std::string, double, bool>> cases = {
      // clang-format off
      {R"({"version":"1.0.0","timestamp":1700000000.25,"data":{"isRTPEnabled":true}})", "1.0.0", 1700000000.25, true},
      {R"({"data":{"isRTPEnabled":false},"timestamp":-86400.5,"version":"2.0-beta"})", "2.0-beta", -86400.5, false},
      {R"({"version":"","timestamp":5,"data":{"x":[1],"isRTPEnabled":true},"extra":null})", "", 5, true},
      {"\xEF\xBB\xBF {\n \"version\" : \"1\",\t\"timestamp\":1.7e9,\"data\":{\"isRTPEnabled\":true}} ", "1", 1.7e9, true},
      {R"({"version":"\u00e9t\u00e9 \ud83c\udf17","timestamp":0,"data":{"isRTPEnabled":true}})", "\xC3\xA9t\xC3\xA9 \xF0\x9F\x8C\x97", 0, true},
      // clang-format on
  };
  // Integral timestamps become the same double.
  for (const char* t : {"1700000000.123456789", "0.1", "5e-324", "1.7976931348623157e308",
                        "9007199254740993", "18446744073709551615", "-9223372036854775808"}) {
    cases.emplace_back(envelope(t), "1", std::strtod(t, nullptr), true);
  }
  for (const auto& [text, version, timestamp, flag] : cases) {
    SCOPED_TRACE(text);
    const auto decoded = JSONDecoder().decode<Settings>(text);
    const auto again = JSONDecoder().decode<Settings>(JSONEncoder().encodeToString(decoded));
    for (const auto* message : {&decoded, &again}) {
      EXPECT_EQ(
          std::make_tuple(message->version(), message->timestamp(), message->data().isRTPEnabled()),
          std::make_tuple(version, timestamp, flag));
    }
  }
  // The change record's exact text; payloads without a JSON form are refused.
  EXPECT_EQ(JSONEncoder().encodeToString(UpdateNotification("com.example.key")),
            R"({"messageKey":"com.example.key"})");
  EXPECT_THROW(JSONEncoder().encode(Message<double>(std::nan(""), "1.0.0")), EncodingError);
  EXPECT_THROW(JSONEncoder().encode(Message<std::string>("\xFF\xFE", "1.0.0")), EncodingError);
}

// Each row is one way to fail: absent, null or of another JSON type, member by member, in the
// order version, timestamp, data whatever the order in the text; then text that is not JSON.
TEST(MessageJSONTest, RejectedEnvelopesNameTheFirstFailingMember) {
  const std::string data = R"("data":{"isRTPEnabled":true})";
  const std::string head = R"({"version":"1","timestamp":1,)";
  using Int = Message<std::int64_t>;
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      {failureOf(R"({"timestamp":1,)" + data + "}"), "keyNotFound version @"},
      {failureOf(R"({"version":null,"timestamp":1,)" + data + "}"), "valueNotFound String @version"},
      {failureOf(R"({"version":1,"timestamp":1,)" + data + "}"), "typeMismatch String @version"},
      {failureOf(R"({"version":"1",)" + data + "}"), "keyNotFound timestamp @"},
      {failureOf(envelope("null")), "valueNotFound Double @timestamp"},
      // What another program's log shows.
      {failureOf(head + R"("data":{}})", true), R"(keyNotFound("isRTPEnabled", codingPath: ["data"]): no value associated with key "isRTPEnabled")"},
      {failureOf(envelope(R"("x")"), true), R"(typeMismatch(Double, codingPath: ["timestamp"]): expected to decode Double but found a string instead)"},
      {failureOf("nope", true).substr(0, 66), "dataCorrupted(codingPath: []): the given data was not valid JSON: "},
      {failureOf(R"({"version":"1","timestamp":1})"), "keyNotFound data @"},
      {failureOf(head + R"("data":null})"), "valueNotFound Dictionary @data"},
      {failureOf(head + R"("data":"{\"isRTPEnabled\":true}"})"), "typeMismatch Dictionary @data"},
      {failureOf(head + R"("data":{"isrtpenabled":true}})"), "keyNotFound isRTPEnabled @data"},
      {failureOf(envelope("1", "null")), "valueNotFound Bool @data.isRTPEnabled"},
      {failureOf(envelope("1", "1")), "typeMismatch Bool @data.isRTPEnabled"},
      {failureOf(envelope("1", R"("true")")), "typeMismatch Bool @data.isRTPEnabled"},
      {failureOf("[]"), "typeMismatch Dictionary @"},
      {failureOf(R"({"timestamp":"x","data":null})"), "keyNotFound version @"},
      {failureOf(R"({"data":null,"timestamp":"x","version":"1"})"), "typeMismatch Double @timestamp"},
      // Text that is not one JSON value in valid UTF-8.
      {failureOf(""), "dataCorrupted @"},
      {failureOf(envelope("1") + " trailing"), "dataCorrupted @"},
      {failureOf(envelope("NaN")), "dataCorrupted @"},
      {failureOf(envelope("1e400")), "dataCorrupted @"},
      {failureOf("{\"version\":\"\xFF\"," + data + "}"), "dataCorrupted @"},
      {failureOf(R"({"version":"\ud800",)" + data + "}"), "dataCorrupted @"},
      // The change record, and a payload of whole numbers (64 bits, no fraction).
      {failureOf<UpdateNotification>("{}"), "keyNotFound messageKey @"},
      {failureOf<Int>(head + R"("data":4.5})"), "typeMismatch Int64 @data"},
      {failureOf<Int>(head + R"("data":18446744073709551615})"), "dataCorrupted @data"},
      {failureOf<Int>(head + R"("data":-9223372036854775808})"), "decoded"},
      // clang-format on
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
}

}  // namespace
