#include "interoperability/DecodingError.h"

#include <utility>

namespace brisvane {

namespace {

std::string quoted(std::string_view text) {
  std::string result;
  result.reserve(text.size() + 2);
  result.push_back('"');
  result.append(text);
  result.push_back('"');
  return result;
}

}  // namespace

std::string describeCodingPath(const CodingPath& path) {
  std::string result = "[";
  for (std::size_t index = 0; index < path.size(); ++index) {
    if (index > 0) result += ", ";
    result += quoted(path[index]);
  }
  result += "]";
  return result;
}

const char* decodingErrorKindName(DecodingError::Kind kind) {
  switch (kind) {
    case DecodingError::Kind::keyNotFound:
      return "keyNotFound";
    case DecodingError::Kind::valueNotFound:
      return "valueNotFound";
    case DecodingError::Kind::typeMismatch:
      return "typeMismatch";
    case DecodingError::Kind::dataCorrupted:
      return "dataCorrupted";
  }
  return "unknown";
}

DecodingError::DecodingError(Kind kind, std::string subject, CodingPath path,
                             std::string debugDescription)
    : kind_(kind),
      subject_(std::move(subject)),
      codingPath_(std::move(path)),
      debugDescription_(std::move(debugDescription)) {
  what_ = decodingErrorKindName(kind_);
  what_ += "(";
  if (kind_ == Kind::keyNotFound) {
    what_ += quoted(subject_) + ", ";
  } else if (kind_ != Kind::dataCorrupted) {
    what_ += subject_ + ", ";
  }
  what_ += "codingPath: " + describeCodingPath(codingPath_) + "): " + debugDescription_;
}

DecodingError DecodingError::keyNotFound(std::string_view key, CodingPath path) {
  return DecodingError(Kind::keyNotFound, std::string(key), std::move(path),
                       "no value associated with key " + quoted(key));
}

DecodingError DecodingError::valueNotFound(std::string_view expectedType, CodingPath path) {
  return DecodingError(Kind::valueNotFound, std::string(expectedType), std::move(path),
                       "expected " + std::string(expectedType) + " value but found null instead");
}

DecodingError DecodingError::typeMismatch(std::string_view expectedType, std::string_view found,
                                          CodingPath path) {
  return DecodingError(Kind::typeMismatch, std::string(expectedType), std::move(path),
                       "expected to decode " + std::string(expectedType) + " but found " +
                           std::string(found) + " instead");
}

DecodingError DecodingError::dataCorrupted(std::string description, CodingPath path) {
  return DecodingError(Kind::dataCorrupted, std::string(), std::move(path), std::move(description));
}

}  // namespace brisvane
