#pragma once

#include <string_view>

#include "brisvane_export.h"
#include "interoperability/JSONCoding.h"

namespace brisvane {

// The security application's report of whether its real-time protection is on. Its JSON form is
// an object with the one member "isRTPEnabled" (boolean), which decoding requires: absent, null
// or any other JSON type (1, "true") fails with a DecodingError. Other members are ignored.
//
// An immutable value: copy it freely and read it from any thread.
class BRISVANE_EXPORT BrisvaneSettings {
 public:
  struct CodingKeys {
    static constexpr std::string_view isRTPEnabled = "isRTPEnabled";
  };

  // The storage slot and change signal of this message, shared with the writing application.
  static constexpr std::string_view messageKey = "com.tarvik.brisvane.interoperability.state";

  explicit BrisvaneSettings(bool isRTPEnabled) : isRTPEnabled_(isRTPEnabled) {}

  bool isRTPEnabled() const noexcept { return isRTPEnabled_; }

  static constexpr std::string_view key() noexcept { return messageKey; }

  nlohmann::json encodeJSON() const;
  static BrisvaneSettings decodeJSON(const JSONNode& node);

 private:
  bool isRTPEnabled_;
};

}  // namespace brisvane
