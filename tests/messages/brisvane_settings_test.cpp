#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "interoperability/Message.h"
#include "messages/BrisvaneSettings.h"

namespace {

using brisvane::BrisvaneSettings;
using brisvane::DecodingError;
using brisvane::JSONDecoder;
using brisvane::JSONEncoder;
using brisvane::Message;
using Kind = DecodingError::Kind;

TEST(BrisvaneSettingsTest, DecodingRequiresABoolean) {
  struct Case {
    std::string text;
    std::optional<bool> value;  // nullopt: must fail with `kind`
    Kind kind = Kind::dataCorrupted;
  };
  const Case cases[] = {
      {R"({"isRTPEnabled":true})", true},
      {R"({"isRTPEnabled":false})", false},
      {R"({"other":1,"isRTPEnabled":true})", true},
      {"{}", std::nullopt, Kind::keyNotFound},
      {R"({"isrtpenabled":true})", std::nullopt, Kind::keyNotFound},
      {R"({"isRTPEnabled":null})", std::nullopt, Kind::valueNotFound},
      {R"({"isRTPEnabled":1})", std::nullopt, Kind::typeMismatch},
      {R"({"isRTPEnabled":"true"})", std::nullopt, Kind::typeMismatch},
      {R"({"isRTPEnabled":[true]})", std::nullopt, Kind::typeMismatch},
      {"true", std::nullopt, Kind::typeMismatch},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.value) {
      EXPECT_EQ(JSONDecoder().decode<BrisvaneSettings>(c.text).isRTPEnabled(), *c.value);
      continue;
    }
    try {
      JSONDecoder().decode<BrisvaneSettings>(c.text);
      ADD_FAILURE() << "decoded";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.kind(), c.kind) << error.what();
    }
  }
}

TEST(BrisvaneSettingsTest, EnvelopeNestsTheSettingsObject) {
  const auto message = JSONDecoder().decode<Message<BrisvaneSettings>>(
      R"({"version":"1.0.0","timestamp":1700000000.5,"data":{"isRTPEnabled":false}})");
  EXPECT_FALSE(message.data().isRTPEnabled());
  EXPECT_EQ(message.timestamp(), 1700000000.5);

  for (const bool value : {true, false}) {
    const auto document = nlohmann::json::parse(
        JSONEncoder().encodeToString(Message<BrisvaneSettings>(BrisvaneSettings(value), "1.0.0")));
    EXPECT_EQ(document.at("data"), nlohmann::json({{"isRTPEnabled", value}}));
  }
}

}  // namespace
