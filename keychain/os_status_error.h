#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "brisvane_export.h"

namespace platform {

// The error domain of operating-system statuses, such as the keychain's.
inline constexpr char NSOSStatusErrorDomain[] = "NSOSStatusErrorDomain";

// A failed operating-system status as an error value: domain NSOSStatusErrorDomain and the
// status, widened with its sign, as code. It carries no further information.
// what() reads: The operation couldn’t be completed. (OSStatus error -25300.)
//
// Threads: an immutable value; any thread.
class BRISVANE_EXPORT OSStatusError final : public std::exception {
 public:
  explicit OSStatusError(std::int64_t code);

  const std::string& domain() const noexcept { return domain_; }
  std::int64_t code() const noexcept { return code_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string domain_;
  std::int64_t code_;
  std::string description_;
};

}  // namespace platform
