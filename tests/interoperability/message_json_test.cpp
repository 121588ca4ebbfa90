#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "interoperability/DecodingError.h"
#include "interoperability/EncodingError.h"
#include "interoperability/JSONCoding.h"
#include "interoperability/Message.h"
#include "interoperability/UpdateNotification.h"
#include "runtime/clock.h"

namespace {

using brisvane::CodingPath;
using brisvane::DecodingError;
using brisvane::EncodingError;
using brisvane::JSONDecoder;
using brisvane::JSONEncoder;
using brisvane::JSONNode;
using brisvane::Message;
using brisvane::UpdateNotification;
using Kind = DecodingError::Kind;

// A record payload with one boolean member, "flag".
class Flag {
 public:
  explicit Flag(bool value) : value_(value) {}
  bool value() const { return value_; }
  nlohmann::json encodeJSON() const { return {{"flag", value_}}; }
  static Flag decodeJSON(const JSONNode& node) {
    node.requireObject();
    return Flag(node.decode<bool>("flag"));
  }

 private:
  bool value_;
};

Message<Flag> decodeEnvelope(const std::string& text) {
  return JSONDecoder().decode<Message<Flag>>(text);
}

// The error decoding `text` raised, or nullopt when it decoded.
std::optional<DecodingError> decodingFailure(const std::string& text) {
  try {
    decodeEnvelope(text);
  } catch (const DecodingError& error) {
    return error;
  }
  return std::nullopt;
}

TEST(MessageJSONTest, EncodesExactlyVersionTimestampAndNestedData) {
  const double before = platform::currentTimeIntervalSince1970();
  const Message<Flag> message(Flag(true), "1.0.0");
  const double after = platform::currentTimeIntervalSince1970();
  EXPECT_GE(message.timestamp(), before);
  EXPECT_LE(message.timestamp(), after);

  const auto document = nlohmann::json::parse(JSONEncoder().encodeToString(message));
  ASSERT_TRUE(document.is_object());
  EXPECT_EQ(document.size(), 3u);
  EXPECT_EQ(document.at("version"), "1.0.0");
  EXPECT_EQ(document.at("timestamp").get<double>(), message.timestamp());
  EXPECT_EQ(document.at("data"), nlohmann::json({{"flag", true}}));
}

TEST(MessageJSONTest, DecodesValidEnvelopesKeepingTheirValues) {
  struct Case {
    const char* name;
    std::string text;
    std::string version;
    double timestamp;
    bool flag;
  };
  const Case cases[] = {
      {"declared order", R"({"version":"1.0.0","timestamp":1700000000.25,"data":{"flag":true}})",
       "1.0.0", 1700000000.25, true},
      {"reversed order", R"({"data":{"flag":false},"timestamp":1700000000.25,"version":"1.0.0"})",
       "1.0.0", 1700000000.25, false},
      {"exponent timestamp", R"({"version":"1.0.0","timestamp":1.7e9,"data":{"flag":true}})",
       "1.0.0", 1.7e9, true},
      {"negative timestamp", R"({"version":"1.0.0","timestamp":-86400.5,"data":{"flag":true}})",
       "1.0.0", -86400.5, true},
      {"other version", R"({"version":"2.0-beta","timestamp":0,"data":{"flag":true}})", "2.0-beta",
       0.0, true},
      {"empty version", R"({"version":"","timestamp":0,"data":{"flag":true}})", "", 0.0, true},
      {"extra members",
       R"({"version":"1","timestamp":5,"data":{"flag":true,"x":[1]},"extra":null})", "1", 5.0,
       true},
      {"whitespace and BOM",
       "\xEF\xBB\xBF {\n \"version\" : \"1\",\t\"timestamp\":5,\"data\":{\"flag\":true}} \n", "1",
       5.0, true},
      {"unicode version",
       R"({"version":"\u00e9t\u00e9 \ud83c\udf17","timestamp":5,"data":{"flag":true}})",
       "\xC3\xA9t\xC3\xA9 \xF0\x9F\x8C\x97", 5.0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto message = decodeEnvelope(c.text);
    EXPECT_EQ(message.version(), c.version);
    EXPECT_EQ(message.timestamp(), c.timestamp);
    EXPECT_EQ(message.data().value(), c.flag);
  }
}

TEST(MessageJSONTest, MissingNullAndMistypedMembersFailWithDistinctErrors) {
  struct Case {
    std::string text;
    Kind kind;
    std::string subject;  // key, or expected type
    CodingPath path;
  };
  const std::string data = R"("data":{"flag":true})";
  const Case cases[] = {
      // version
      {R"({"timestamp":1,)" + data + "}", Kind::keyNotFound, "version", {}},
      {R"({"version":null,"timestamp":1,)" + data + "}",
       Kind::valueNotFound,
       "String",
       {"version"}},
      {R"({"version":1,"timestamp":1,)" + data + "}", Kind::typeMismatch, "String", {"version"}},
      {R"({"Version":"1.0.0","timestamp":1,)" + data + "}", Kind::keyNotFound, "version", {}},
      // timestamp
      {R"({"version":"1",)" + data + "}", Kind::keyNotFound, "timestamp", {}},
      {R"({"version":"1","timestamp":null,)" + data + "}",
       Kind::valueNotFound,
       "Double",
       {"timestamp"}},
      {R"({"version":"1","timestamp":"1700000000",)" + data + "}",
       Kind::typeMismatch,
       "Double",
       {"timestamp"}},
      // data
      {R"({"version":"1","timestamp":1})", Kind::keyNotFound, "data", {}},
      {R"({"version":"1","timestamp":1,"data":null})", Kind::valueNotFound, "Dictionary", {"data"}},
      {R"({"version":"1","timestamp":1,"data":"{\"flag\":true}"})",
       Kind::typeMismatch,
       "Dictionary",
       {"data"}},
      {R"({"version":"1","timestamp":1,"data":{}})", Kind::keyNotFound, "flag", {"data"}},
      {R"({"version":"1","timestamp":1,"data":{"flag":null}})",
       Kind::valueNotFound,
       "Bool",
       {"data", "flag"}},
      {R"({"version":"1","timestamp":1,"data":{"flag":1}})",
       Kind::typeMismatch,
       "Bool",
       {"data", "flag"}},
      // the envelope itself
      {"[]", Kind::typeMismatch, "Dictionary", {}},
      {"null", Kind::valueNotFound, "Dictionary", {}},
      {R"("text")", Kind::typeMismatch, "Dictionary", {}},
      // the first failing member in declaration order decides
      {R"({"timestamp":"x","data":null})", Kind::keyNotFound, "version", {}},
      {R"({"data":null,"timestamp":"x","version":"1"})",
       Kind::typeMismatch,
       "Double",
       {"timestamp"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto error = decodingFailure(c.text);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), c.kind) << error->what();
    EXPECT_EQ(error->subject(), c.subject) << error->what();
    EXPECT_EQ(error->codingPath(), c.path) << error->what();
  }
}

TEST(MessageJSONTest, TextThatIsNotJSONIsDataCorrupted) {
  const std::string cases[] = {
      "",
      "{",
      R"({"version":"1","timestamp":1,"data":{"flag":true})",
      R"({"version":"1","timestamp":1,"data":{"flag":true}} trailing)",
      "hello",
      R"({'version':'1'})",
      R"({"version":"1",})",
      R"({"version":"1","timestamp":NaN,"data":{"flag":true}})",
      R"({"version":"1","timestamp":1e400,"data":{"flag":true}})",
      R"({"version":"1","timestamp":01,"data":{"flag":true}})",
      std::string("{\"version\":\"\xFF\",\"timestamp\":1,\"data\":{\"flag\":true}}"),
      std::string("{\"version\":\"\xC3\",\"timestamp\":1,\"data\":{\"flag\":true}}"),
      std::string("{\"version\":\"\xC0\xAF\",\"timestamp\":1,\"data\":{\"flag\":true}}"),
      std::string("{\"version\":\"\xED\xA0\x80\",\"timestamp\":1,\"data\":{\"flag\":true}}"),
      R"({"version":"\ud800","timestamp":1,"data":{"flag":true}})",
      std::string(R"({"version":"1","timestamp":1,)") + '\0' + R"("data":{"flag":true}})",
  };
  for (const auto& text : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    const auto error = decodingFailure(text);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), Kind::dataCorrupted) << error->what();
  }
}

TEST(MessageJSONTest, DecodedTimestampSurvivesReencodingExactly) {
  const double timestamps[] = {1234.5678901234,
                               1700000000.123456789,
                               0.1,
                               -0.0,
                               5e-324,
                               std::numeric_limits<double>::max(),
                               9007199254740993.0};
  for (const double timestamp : timestamps) {
    SCOPED_TRACE(timestamp);
    const std::string text =
        nlohmann::json({{"version", "1"}, {"timestamp", timestamp}, {"data", {{"flag", true}}}})
            .dump();
    const auto decoded = decodeEnvelope(text);
    EXPECT_EQ(decoded.timestamp(), timestamp);
    const auto reencoded = decodeEnvelope(JSONEncoder().encodeToString(decoded));
    EXPECT_EQ(reencoded.timestamp(), timestamp);
    EXPECT_EQ(std::signbit(reencoded.timestamp()), std::signbit(timestamp));
  }
}

TEST(MessageJSONTest, IntegralTimestampsBecomeTheSameDouble) {
  for (const std::string number : {"0", "-1", "1700000000", "9007199254740992",
                                   "18446744073709551615", "-9223372036854775808"}) {
    SCOPED_TRACE(number);
    const auto message =
        decodeEnvelope(R"({"version":"1","timestamp":)" + number + R"(,"data":{"flag":true}})");
    EXPECT_EQ(message.timestamp(), std::stod(number));
  }
}

TEST(MessageJSONTest, PayloadsWithoutAJSONFormFailToEncode) {
  try {
    JSONEncoder().encode(Message<double>(std::nan(""), "1.0.0"));
    FAIL() << "a NaN payload encoded";
  } catch (const EncodingError& error) {
    EXPECT_EQ(error.codingPath(), CodingPath({"data"}));
    EXPECT_STREQ(error.what(),
                 R"(invalidValue(nan, codingPath: ["data"]): a JSON number must be finite)");
  }
  EXPECT_THROW(JSONEncoder().encode(Message<std::string>("\xFF\xFE", "1.0.0")), EncodingError);
  EXPECT_THROW(JSONEncoder().encode(Message<bool>(true, "bad \xC3")), EncodingError);
}

TEST(MessageJSONTest, ErrorsDescribeThemselvesReadably) {
  struct Case {
    std::string text;
    std::string what;
  };
  const Case cases[] = {
      {R"({"version":"1","timestamp":1,"data":{}})",
       R"(keyNotFound("flag", codingPath: ["data"]): no value associated with key "flag")"},
      {R"({"version":null})",
       R"(valueNotFound(String, codingPath: ["version"]): expected String value but found null instead)"},
      {R"({"version":"1","timestamp":"x"})",
       R"(typeMismatch(Double, codingPath: ["timestamp"]): expected to decode Double but found a string instead)"},
  };
  for (const auto& c : cases) {
    const auto error = decodingFailure(c.text);
    ASSERT_TRUE(error.has_value()) << c.text;
    EXPECT_EQ(error->what(), c.what);
  }
  const auto corrupted = decodingFailure("nope");
  ASSERT_TRUE(corrupted.has_value());
  EXPECT_EQ(std::string(corrupted->what())
                .rfind("dataCorrupted(codingPath: []): the given data was not valid JSON: ", 0),
            0u)
      << corrupted->what();
}

TEST(UpdateNotificationJSONTest, EncodesAndDecodesTheMessageKey) {
  const UpdateNotification notification("com.example.key");
  EXPECT_EQ(JSONEncoder().encodeToString(notification), R"({"messageKey":"com.example.key"})");
  EXPECT_EQ(
      JSONDecoder().decode<UpdateNotification>(R"({"other":1,"messageKey":"k"})").messageKey(),
      "k");

  struct Case {
    std::string text;
    Kind kind;
  };
  const Case failures[] = {
      {"{}", Kind::keyNotFound},
      {R"({"MessageKey":"k"})", Kind::keyNotFound},
      {R"({"messageKey":null})", Kind::valueNotFound},
      {R"({"messageKey":7})", Kind::typeMismatch},
      {R"(["k"])", Kind::typeMismatch},
      {"{", Kind::dataCorrupted},
  };
  for (const auto& c : failures) {
    try {
      JSONDecoder().decode<UpdateNotification>(c.text);
      ADD_FAILURE() << c.text << " decoded";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.kind(), c.kind) << c.text << ": " << error.what();
    }
  }
}

TEST(MessageJSONTest, WholeNumberPayloadsRejectFractionsAndNulls) {
  const struct {
    const char* text;
    std::optional<std::int64_t> value;
    std::optional<Kind> error;
  } cases[] = {
      {R"({"version":"1","timestamp":1,"data":42})", 42, std::nullopt},
      {R"({"version":"1","timestamp":1,"data":-9223372036854775808})", INT64_MIN, std::nullopt},
      {R"({"version":"1","timestamp":1,"data":4.5})", std::nullopt, Kind::typeMismatch},
      {R"({"version":"1","timestamp":1,"data":null})", std::nullopt, Kind::valueNotFound},
      {R"({"version":"1","timestamp":1,"data":18446744073709551615})", std::nullopt,
       Kind::dataCorrupted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      const auto message = JSONDecoder().decode<Message<std::int64_t>>(c.text);
      ASSERT_TRUE(c.value.has_value());
      EXPECT_EQ(message.data(), *c.value);
    } catch (const brisvane::DecodingError& error) {
      ASSERT_TRUE(c.error.has_value()) << error.what();
      EXPECT_EQ(error.kind(), *c.error);
    }
  }
}

}  // namespace
