#include "interoperability/JSONCoding.h"

#include <cmath>
#include <utility>

namespace brisvane {

namespace {

// nlohmann's messages start with "[json.exception.<kind>.<id>] ", which says nothing to a reader.
std::string withoutExceptionTag(const char* message) {
  std::string_view text(message);
  if (!text.empty() && text.front() == '[') {
    const auto end = text.find("] ");
    if (end != std::string_view::npos) text.remove_prefix(end + 2);
  }
  return std::string(text);
}

}  // namespace

std::string_view describeJSONType(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::null:
      return "null";
    case nlohmann::json::value_t::object:
      return "an object";
    case nlohmann::json::value_t::array:
      return "an array";
    case nlohmann::json::value_t::string:
      return "a string";
    case nlohmann::json::value_t::boolean:
      return "a boolean";
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float:
      return "a number";
    case nlohmann::json::value_t::binary:
    case nlohmann::json::value_t::discarded:
      break;
  }
  return "an unsupported value";
}

void JSONNode::requireObject(std::string_view expectedType) const {
  if (value_->is_object()) return;
  if (value_->is_null()) throw valueNotFound(expectedType);
  throw typeMismatch(expectedType);
}

JSONNode JSONNode::member(std::string_view key) const {
  requireObject();
  const auto& object = value_->get_ref<const nlohmann::json::object_t&>();
  const auto found = object.find(key);
  if (found == object.end()) throw DecodingError::keyNotFound(key, path_);
  CodingPath path = path_;
  path.emplace_back(key);
  return JSONNode(found->second, std::move(path));
}

DecodingError JSONNode::valueNotFound(std::string_view expectedType) const {
  return DecodingError::valueNotFound(expectedType, path_);
}

DecodingError JSONNode::typeMismatch(std::string_view expectedType) const {
  return DecodingError::typeMismatch(expectedType, describeJSONType(*value_), path_);
}

DecodingError JSONNode::dataCorrupted(std::string description) const {
  return DecodingError::dataCorrupted(std::move(description), path_);
}

bool JSONCoding<bool>::decode(const JSONNode& node) {
  const auto& value = node.value();
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_null()) throw node.valueNotFound("Bool");
  throw node.typeMismatch("Bool");
}

nlohmann::json JSONCoding<double>::encode(double value) {
  if (!std::isfinite(value)) {
    const char* name = std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
    throw EncodingError(name, "a JSON number must be finite");
  }
  return value;
}

double JSONCoding<double>::decode(const JSONNode& node) {
  const auto& value = node.value();
  if (value.is_number()) {
    const double number = value.get<double>();
    if (!std::isfinite(number)) {
      throw node.dataCorrupted("the parsed JSON number does not fit in Double");
    }
    return number;
  }
  if (value.is_null()) throw node.valueNotFound("Double");
  throw node.typeMismatch("Double");
}

std::int64_t JSONCoding<std::int64_t>::decode(const JSONNode& node) {
  const auto& value = node.value();
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
      throw node.dataCorrupted("the parsed JSON number does not fit in Int64");
    }
    return value.get<std::int64_t>();
  }
  if (value.is_null()) throw node.valueNotFound("Int64");
  throw node.typeMismatch("Int64");
}

std::string JSONCoding<std::string>::decode(const JSONNode& node) {
  const auto& value = node.value();
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) throw node.valueNotFound("String");
  throw node.typeMismatch("String");
}

std::string JSONEncoder::serialize(const nlohmann::json& document) {
  try {
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::type_error& error) {
    throw EncodingError("string", withoutExceptionTag(error.what()));
  }
}

nlohmann::json JSONDecoder::parse(std::string_view text) {
  try {
    return nlohmann::json::parse(text.begin(), text.end());
  } catch (const nlohmann::json::exception& error) {
    // Syntax errors, invalid UTF-8, and numbers too large for a double ("1e400").
    throw DecodingError::dataCorrupted(
        "the given data was not valid JSON: " + withoutExceptionTag(error.what()), {});
  }
}

}  // namespace brisvane
