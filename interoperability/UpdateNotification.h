#pragma once

#include <string>
#include <string_view>

#include "brisvane_export.h"
#include "interoperability/JSONCoding.h"

namespace brisvane {

// What a listening stream yields when the message stored under a key has changed. Its JSON form
// is an object with the one member "messageKey" (string).
//
// An immutable value: copy it freely and read it from any thread.
class BRISVANE_EXPORT UpdateNotification {
 public:
  struct CodingKeys {
    static constexpr std::string_view messageKey = "messageKey";
  };

  explicit UpdateNotification(std::string messageKey) : messageKey_(std::move(messageKey)) {}

  const std::string& messageKey() const noexcept { return messageKey_; }

  nlohmann::json encodeJSON() const;
  static UpdateNotification decodeJSON(const JSONNode& node);

 private:
  std::string messageKey_;
};

}  // namespace brisvane
