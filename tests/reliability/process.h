#pragma once

// What the reliability tests and the end-to-end benchmark add to the shared child-process support:
// their helper programs, their size knob and the key=value lines their helpers answer with.

#include <algorithm>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/process.h"

namespace reliability {

using testsupport::monotonicNanos;
using testsupport::Process;
using testsupport::say;

// BRISVANE_RELIABILITY_SCALE (a positive number, 1 by default) multiplies the counts and
// durations of the reliability tests. The defaults keep the whole suite within a few minutes on
// a 2-core machine under the sanitizers; docs/reliability.md gives the full-size values.
inline double scale() {
  return testsupport::scaleFromEnvironment("BRISVANE_RELIABILITY_SCALE");
}

inline int scaled(int base, int minimum = 1) {
  return std::max(minimum, static_cast<int>(base * scale()));
}

// True in builds made with BRISVANE_SANITIZE: memory and thread figures then describe the
// sanitizer's runtime as much as the program.
inline constexpr bool isSanitized() {
#ifdef BRISVANE_SANITIZED
  return true;
#else
  return false;
#endif
}

// "reliability.helper.<name>", found as testsupport::helperPath finds it.
inline std::filesystem::path helperPath(const std::string& name) {
  return testsupport::helperPath("reliability", name);
}

// The value of "key=" in a line of space-separated key=value words; nullopt when absent.
inline std::optional<std::string> field(const std::string& line, const std::string& key) {
  const std::string needle = key + "=";
  std::size_t at = 0;
  while ((at = line.find(needle, at)) != std::string::npos) {
    if (at == 0 || line[at - 1] == ' ') {
      const auto begin = at + needle.size();
      const auto end = line.find(' ', begin);
      return line.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    }
    at += needle.size();
  }
  return std::nullopt;
}

inline long long numberField(const std::string& line, const std::string& key) {
  const auto text = field(line, key);
  if (!text) throw std::runtime_error("no " + key + "= in \"" + line + "\"");
  return std::stoll(*text);
}

}  // namespace reliability
