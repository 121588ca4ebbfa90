#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "brisvane_export.h"

namespace brisvane {

// The member names and array positions that lead from the top of a JSON document to a value.
using CodingPath = std::vector<std::string>;

// Renders a coding path as ["data", "isRTPEnabled"].
BRISVANE_EXPORT std::string describeCodingPath(const CodingPath& path);

// Why a JSON document could not be decoded into a value. One of four kinds:
//   keyNotFound    a required member is absent (names compare exactly, letter case included)
//   valueNotFound  a required member, or the document, is null
//   typeMismatch   a value is of another JSON type than the one required
//   dataCorrupted  the bytes are not JSON text (or not UTF-8), or a number does not fit
// what() names the kind, the offending key or type and the path, e.g.
//   keyNotFound("isRTPEnabled", codingPath: ["data"]): no value associated with key "isRTPEnabled"
//
// Threads: an immutable value; any thread.
class BRISVANE_EXPORT DecodingError final : public std::exception {
 public:
  enum class Kind { keyNotFound, valueNotFound, typeMismatch, dataCorrupted };

  // `path` is the path of the object that lacks the key.
  static DecodingError keyNotFound(std::string_view key, CodingPath path);
  // `path` is the path of the null value; `expectedType` names what was required there.
  static DecodingError valueNotFound(std::string_view expectedType, CodingPath path);
  // `found` names the JSON type found instead ("a string", "an object", ...).
  static DecodingError typeMismatch(std::string_view expectedType, std::string_view found,
                                    CodingPath path);
  static DecodingError dataCorrupted(std::string description, CodingPath path);

  Kind kind() const noexcept { return kind_; }
  // The missing key for keyNotFound, the required type for valueNotFound and typeMismatch, empty
  // for dataCorrupted.
  const std::string& subject() const noexcept { return subject_; }
  const CodingPath& codingPath() const noexcept { return codingPath_; }
  const std::string& debugDescription() const noexcept { return debugDescription_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  DecodingError(Kind kind, std::string subject, CodingPath path, std::string debugDescription);

  Kind kind_;
  std::string subject_;
  CodingPath codingPath_;
  std::string debugDescription_;
  std::string what_;
};

BRISVANE_EXPORT const char* decodingErrorKindName(DecodingError::Kind kind);

}  // namespace brisvane
