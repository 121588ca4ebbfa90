#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "interoperability/JSONCoding.h"
#include "runtime/clock.h"

namespace brisvane {

// The envelope of every message exchanged between the applications: the writer's format
// version, the wall-clock time of construction and the payload. Its JSON form is an object with
// the members "version" (string), "timestamp" (number, seconds since 1970) and "data" (the
// payload's own JSON value, nested in place).
//
// Decoding requires all three members, in any order; each that is absent, null or of another
// JSON type fails with a DecodingError, the first failing one in the order version, timestamp,
// data deciding which. Other members are ignored. An integral timestamp is read as the same
// double. The version text is kept as found and never checked.
//
// An immutable value: copy it freely and read it from any thread.
template <JSONCodable Payload>
class Message {
 public:
  // The member names of the JSON form.
  struct CodingKeys {
    static constexpr std::string_view version = "version";
    static constexpr std::string_view timestamp = "timestamp";
    static constexpr std::string_view data = "data";
  };

  // Takes the current wall-clock time as the timestamp.
  Message(Payload data, std::string version)
      : version_(std::move(version)),
        timestamp_(platform::currentTimeIntervalSince1970()),
        data_(std::move(data)) {}

  const std::string& version() const noexcept { return version_; }
  // Seconds since 1970-01-01 00:00:00 UTC, with fraction.
  double timestamp() const noexcept { return timestamp_; }
  const Payload& data() const noexcept { return data_; }

  nlohmann::json encodeJSON() const {
    nlohmann::json object = nlohmann::json::object();
    object[std::string(CodingKeys::version)] = JSONCoding<std::string>::encode(version_);
    try {
      object[std::string(CodingKeys::timestamp)] = JSONCoding<double>::encode(timestamp_);
    } catch (const EncodingError& error) {
      throw error.nestedUnder(CodingKeys::timestamp);
    }
    try {
      object[std::string(CodingKeys::data)] = JSONCoding<Payload>::encode(data_);
    } catch (const EncodingError& error) {
      throw error.nestedUnder(CodingKeys::data);
    }
    return object;
  }

  static Message decodeJSON(const JSONNode& node) {
    node.requireObject();
    auto version = node.decode<std::string>(CodingKeys::version);
    const double timestamp = node.decode<double>(CodingKeys::timestamp);
    auto data = node.decode<Payload>(CodingKeys::data);
    return Message(std::move(version), timestamp, std::move(data));
  }

 private:
  Message(std::string version, double timestamp, Payload data)
      : version_(std::move(version)), timestamp_(timestamp), data_(std::move(data)) {}

  std::string version_;
  double timestamp_;
  Payload data_;
};

}  // namespace brisvane
