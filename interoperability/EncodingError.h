#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "brisvane_export.h"
#include "interoperability/DecodingError.h"

namespace brisvane {

// A value that has no JSON form: a number that is not finite, or text that is not valid UTF-8.
// what() reads e.g. invalidValue(inf, codingPath: ["timestamp"]): a JSON number must be finite
//
// Threads: an immutable value; any thread.
class BRISVANE_EXPORT EncodingError final : public std::exception {
 public:
  EncodingError(std::string value, std::string debugDescription, CodingPath path = {});

  // The same error as seen from the object that holds the failing value under `key`.
  EncodingError nestedUnder(std::string_view key) const;

  const std::string& value() const noexcept { return value_; }
  const CodingPath& codingPath() const noexcept { return codingPath_; }
  const std::string& debugDescription() const noexcept { return debugDescription_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string value_;
  std::string debugDescription_;
  CodingPath codingPath_;
  std::string what_;
};

}  // namespace brisvane
