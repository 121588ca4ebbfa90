#pragma once

#include <concepts>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "brisvane_export.h"
#include "interoperability/DecodingError.h"
#include "interoperability/EncodingError.h"

namespace brisvane {

// A JSON value being decoded, with the coding path that led to it. Decoding is strict: a
// required member that is absent, null or of another JSON type is an error, never a default.
// Member names compare exactly (letter case included); members nobody asks for are ignored.
//
// A node refers to the document it was made from and must not outlive it. Threads: any, as long
// as the document is not changed meanwhile.
class BRISVANE_EXPORT JSONNode {
 public:
  explicit JSONNode(const nlohmann::json& value, CodingPath path = {})
      : value_(&value), path_(std::move(path)) {}

  const nlohmann::json& value() const noexcept { return *value_; }
  const CodingPath& codingPath() const noexcept { return path_; }

  // Requires a JSON object here: null is valueNotFound, anything else typeMismatch. The
  // expected type names the record being decoded, for the error's text.
  void requireObject(std::string_view expectedType = "Dictionary") const;

  // The member `key` of this object; keyNotFound when it is absent.
  JSONNode member(std::string_view key) const;

  // Decodes the member `key` as T.
  template <class T>
  T decode(std::string_view key) const;

  // Decodes this value as T.
  template <class T>
  T decodeValue() const;

  // Errors located at this node.
  DecodingError valueNotFound(std::string_view expectedType) const;
  DecodingError typeMismatch(std::string_view expectedType) const;
  DecodingError dataCorrupted(std::string description) const;

 private:
  const nlohmann::json* value_;
  CodingPath path_;
};

// "a string", "an object", ...: the JSON type of a value, as decoding errors name it.
BRISVANE_EXPORT std::string_view describeJSONType(const nlohmann::json& value);

// How a type is written to and read from JSON. Specialised below for booleans, doubles and text;
// a record opts in with two members:
//   nlohmann::json encodeJSON() const;                 // may throw EncodingError
//   static Record decodeJSON(const JSONNode& node);    // may throw DecodingError
template <class T>
struct JSONCoding;

template <class T>
concept JSONRecord = requires(const T& value, const JSONNode& node) {
  { value.encodeJSON() } -> std::same_as<nlohmann::json>;
  { T::decodeJSON(node) } -> std::same_as<T>;
};

// A type that can be both encoded to and decoded from JSON.
template <class T>
concept JSONCodable = requires(const T& value, const JSONNode& node) {
  { JSONCoding<T>::encode(value) } -> std::same_as<nlohmann::json>;
  { JSONCoding<T>::decode(node) } -> std::same_as<T>;
};

template <JSONRecord T>
struct JSONCoding<T> {
  static nlohmann::json encode(const T& value) { return value.encodeJSON(); }
  static T decode(const JSONNode& node) { return T::decodeJSON(node); }
};

template <>
struct BRISVANE_EXPORT JSONCoding<bool> {
  static nlohmann::json encode(bool value) { return value; }
  static bool decode(const JSONNode& node);
};

template <>
struct BRISVANE_EXPORT JSONCoding<double> {
  static nlohmann::json encode(double value);
  static double decode(const JSONNode& node);
};

// Whole numbers: a JSON number without a fraction that fits in 64 bits.
template <>
struct BRISVANE_EXPORT JSONCoding<std::int64_t> {
  static nlohmann::json encode(std::int64_t value) { return value; }
  static std::int64_t decode(const JSONNode& node);
};

template <>
struct BRISVANE_EXPORT JSONCoding<std::string> {
  static nlohmann::json encode(const std::string& value) { return value; }
  static std::string decode(const JSONNode& node);
};

template <class T>
T JSONNode::decode(std::string_view key) const {
  return member(key).template decodeValue<T>();
}

template <class T>
T JSONNode::decodeValue() const {
  return JSONCoding<T>::decode(*this);
}

// Writes values as compact UTF-8 JSON text. Stateless: any thread.
class BRISVANE_EXPORT JSONEncoder {
 public:
  template <JSONCodable T>
  std::vector<std::uint8_t> encode(const T& value) const {
    const std::string text = encodeToString(value);
    return std::vector<std::uint8_t>(text.begin(), text.end());
  }

  template <JSONCodable T>
  std::string encodeToString(const T& value) const {
    return serialize(JSONCoding<T>::encode(value));
  }

  // Compact text of a JSON document; EncodingError when a string in it is not valid UTF-8.
  static std::string serialize(const nlohmann::json& document);
};

// Reads values from UTF-8 JSON text. Stateless: any thread.
class BRISVANE_EXPORT JSONDecoder {
 public:
  template <JSONCodable T>
  T decode(std::span<const std::uint8_t> bytes) const {
    return decode<T>(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }

  template <JSONCodable T>
  T decode(std::string_view text) const {
    const nlohmann::json document = parse(text);
    return JSONCoding<T>::decode(JSONNode(document));
  }

  // The JSON document in `text`; dataCorrupted when it is not exactly one JSON value in valid
  // UTF-8 (surrounding whitespace allowed).
  static nlohmann::json parse(std::string_view text);
};

}  // namespace brisvane
