#include "messages/BrisvaneSettings.h"

#include "interoperability/InteroperabilityMessage.h"

namespace brisvane {

static_assert(InteroperabilityMessage<BrisvaneSettings>);
static_assert(JSONCodable<BrisvaneSettings>);

nlohmann::json BrisvaneSettings::encodeJSON() const {
  nlohmann::json object = nlohmann::json::object();
  object[std::string(CodingKeys::isRTPEnabled)] = isRTPEnabled_;
  return object;
}

BrisvaneSettings BrisvaneSettings::decodeJSON(const JSONNode& node) {
  node.requireObject();
  return BrisvaneSettings(node.decode<bool>(CodingKeys::isRTPEnabled));
}

}  // namespace brisvane
