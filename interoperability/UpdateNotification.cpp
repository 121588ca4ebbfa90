#include "interoperability/UpdateNotification.h"

namespace brisvane {

nlohmann::json UpdateNotification::encodeJSON() const {
  nlohmann::json object = nlohmann::json::object();
  object[std::string(CodingKeys::messageKey)] = messageKey_;
  return object;
}

UpdateNotification UpdateNotification::decodeJSON(const JSONNode& node) {
  node.requireObject();
  return UpdateNotification(node.decode<std::string>(CodingKeys::messageKey));
}

}  // namespace brisvane
