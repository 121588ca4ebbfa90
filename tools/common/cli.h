#pragma once

// Small helpers shared by the command-line programs: option parsing, times, exit codes.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tools {

// Exit codes, shared by both programs.
inline constexpr int kExitOn = 0;        // success; for "status", protection is on
inline constexpr int kExitOff = 1;       // "status": protection is off
inline constexpr int kExitUsage = 2;     // the command line is wrong
inline constexpr int kExitFailure = 3;   // the keychain or the system failed

// A command-line mistake: printed with the usage hint, exit code kExitUsage.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "--name value", "--name=value" and bare flags; everything else is positional.
class Arguments {
 public:
  Arguments(int argc, char** argv, const std::vector<std::string>& flagsWithValues) {
    for (int i = 1; i < argc; ++i) {
      std::string arg = argv[i];
      if (arg.rfind("--", 0) != 0 || arg == "--") {
        positional_.push_back(arg);
        continue;
      }
      const auto eq = arg.find('=');
      std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      bool takesValue = false;
      for (const auto& f : flagsWithValues) takesValue |= (f == name);
      if (eq != std::string::npos) {
        if (!takesValue) throw UsageError("option --" + name + " takes no value");
        options_[name] = arg.substr(eq + 1);
      } else if (takesValue) {
        if (i + 1 >= argc) throw UsageError("option --" + name + " needs a value");
        options_[name] = argv[++i];
      } else {
        flags_.push_back(name);
      }
    }
  }

  bool flag(const std::string& name) const {
    for (const auto& f : flags_) {
      if (f == name) return true;
    }
    return false;
  }
  std::optional<std::string> option(const std::string& name) const {
    auto it = options_.find(name);
    if (it == options_.end()) return std::nullopt;
    return it->second;
  }
  std::string option(const std::string& name, const std::string& fallback) const {
    return option(name).value_or(fallback);
  }
  const std::vector<std::string>& positional() const { return positional_; }
  // Rejects flags nobody asked about, so a typo is not silently ignored.
  void allowOnly(const std::vector<std::string>& known) const {
    auto check = [&](const std::string& name) {
      for (const auto& k : known) {
        if (k == name) return;
      }
      throw UsageError("unknown option --" + name);
    };
    for (const auto& f : flags_) check(f);
    for (const auto& [name, value] : options_) check(name);
  }

 private:
  std::vector<std::string> positional_;
  std::vector<std::string> flags_;
  std::map<std::string, std::string> options_;
};

inline double nowSince1970() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

// "2026-12-06T09:30:00.123Z"
inline std::string isoTime(double secondsSince1970) {
  const auto seconds = static_cast<std::time_t>(secondsSince1970);
  const int millis = static_cast<int>((secondsSince1970 - static_cast<double>(seconds)) * 1000.0);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
  return text;
}

// "3.2 s", "4 min", "2.0 h", "2.0 days"
inline std::string humanAge(double seconds) {
  char text[40];
  if (seconds < 0) {
    std::snprintf(text, sizeof text, "%.1f s in the future", -seconds);
  } else if (seconds < 120) {
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  } else if (seconds < 7200) {
    std::snprintf(text, sizeof text, "%.0f min", seconds / 60);
  } else if (seconds < 172800) {
    std::snprintf(text, sizeof text, "%.1f h", seconds / 3600);
  } else {
    std::snprintf(text, sizeof text, "%.1f days", seconds / 86400);
  }
  return text;
}

// Parses "30", "30s", "15m", "2h", "2d" as seconds.
inline double parseDuration(const std::string& text) {
  if (text.empty()) throw UsageError("empty duration");
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  const std::string unit(end);
  if (end == text.c_str() || value < 0) throw UsageError("bad duration '" + text + "'");
  if (unit.empty() || unit == "s") return value;
  if (unit == "m") return value * 60;
  if (unit == "h") return value * 3600;
  if (unit == "d") return value * 86400;
  throw UsageError("bad duration unit in '" + text + "' (use s, m, h or d)");
}

}  // namespace tools
