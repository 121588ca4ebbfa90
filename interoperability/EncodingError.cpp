#include "interoperability/EncodingError.h"

#include <utility>

namespace brisvane {

EncodingError::EncodingError(std::string value, std::string debugDescription, CodingPath path)
    : value_(std::move(value)),
      debugDescription_(std::move(debugDescription)),
      codingPath_(std::move(path)) {
  what_ = "invalidValue(" + value_ + ", codingPath: " + describeCodingPath(codingPath_) +
          "): " + debugDescription_;
}

EncodingError EncodingError::nestedUnder(std::string_view key) const {
  CodingPath path;
  path.reserve(codingPath_.size() + 1);
  path.emplace_back(key);
  path.insert(path.end(), codingPath_.begin(), codingPath_.end());
  return EncodingError(value_, debugDescription_, std::move(path));
}

}  // namespace brisvane
