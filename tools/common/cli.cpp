#include "common/cli.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

#include "BrisvaneStateServiceImplementation/Version.h"
#include "host/logging.h"
#include "keychain/keychain.h"

namespace tools {

namespace {

// The library's version number and version string (without its line feed).
std::string versionText(const std::string& program) {
  std::string text(reinterpret_cast<const char*>(BrisvaneStateServiceImplementationVersionString));
  while (!text.empty() && text.back() == '\n') text.pop_back();
  char number[32];
  std::snprintf(number, sizeof number, "%.1f", BrisvaneStateServiceImplementationVersionNumber);
  return program + " " + number + "\n" + text;
}

std::string oneLine(std::string text) {
  for (auto& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

void configure(CLI::App& app) {
  const std::string program = app.get_name();
  app.set_help_flag("-h,--help", "print this help and exit");
  app.set_version_flag(
      "--version", [program] { return versionText(program); },
      "print the library's version number and version string and exit");
  app.require_subcommand(1);
  app.fallthrough();  // the program's options may follow the command
}

std::optional<int> parse(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) {
      app.exit(error, answers(), std::cerr);
      answers().flush();
      return kExitOn;
    }
    std::string message = error.what();
    if (app.get_subcommands().empty()) {
      // CLI11 says only that a command is required; name them, and the word it did not know.
      std::string names;
      for (const auto* command : app.get_subcommands({})) {
        names += (names.empty() ? "" : ", ") + command->get_name();
      }
      const auto extra = app.remaining();
      message = (extra.empty() || extra.front().rfind('-', 0) == 0
                     ? std::string("no command given")
                     : "unknown command '" + extra.front() + "'") +
                "; the commands are " + names;
    }
    return usageError(app.get_name(), message);
  }
  return std::nullopt;
}

int usageError(const std::string& program, const std::string& message) {
  std::cerr << program << ": " << oneLine(message) << " (see " << program << " --help)"
            << std::endl;
  return kExitUsage;
}

CLI::Validator durationValidator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        try {
          parseDuration(text);
        } catch (const UsageError& error) {
          return error.what();
        }
        return {};
      },
      "DURATION");
}

double parseDuration(const std::string& text) {
  const std::string bad = "bad duration '" + text + "' (a number of s, m, h or d, e.g. 90m or 2d)";
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) {
    throw UsageError(bad);
  }
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  const std::string unit(end);
  double scale = 0;
  if (unit.empty() || unit == "s") scale = 1;
  if (unit == "m") scale = 60;
  if (unit == "h") scale = 3600;
  if (unit == "d") scale = 86400;
  const double seconds = value * scale;
  if (errno == ERANGE || scale == 0 || !std::isfinite(seconds) || seconds > nowSince1970()) {
    throw UsageError(bad);
  }
  return seconds;
}

std::ostream& answers() {
  static std::ostream* const stream = [] {
    auto* out = new std::ostream(std::cout.rdbuf());  // lives until exit, like std::cout
    std::cout.rdbuf(std::cerr.rdbuf());
    return out;
  }();
  return *stream;
}

std::string jsonText(const nlohmann::json& value, int indent) {
  return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string printable(const std::string& text) {
  std::string out;
  auto escape = [&out](unsigned char c) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    out += hex;
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7f) {
        escape(c);
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // A UTF-8 sequence is kept whole when it is well formed and not a C1 control character.
    const std::size_t length = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
    bool valid = length != 0 && length <= 4 && i + length <= text.size() && c < 0xf5;
    for (std::size_t k = 1; valid && k < length; ++k) {
      valid = (static_cast<unsigned char>(text[i + k]) & 0xc0) == 0x80;
    }
    if (valid && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) valid = false;
    if (!valid) {
      escape(c);
      ++i;
      continue;
    }
    out.append(text, i, length);
    i += length;
  }
  return out;
}

namespace interrupts {

namespace {

std::mutex stopMutex;
std::function<void()> stopFunction;  // guarded by stopMutex
bool wasInterrupted = false;         // guarded by stopMutex

sigset_t interruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

// Ends the process as the signal's default action would, so that the parent sees the signal.
[[noreturn]] void endBy(int signal) {
  std::cout.flush();
  answers().flush();
  ::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal);
  std::_Exit(128 + signal);
}

}  // namespace

void install() {
  const sigset_t set = interruptSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    for (;;) {
      int signal = 0;
      if (::sigwait(&set, &signal) != 0) continue;
      std::function<void()> stop;
      {
        std::lock_guard lock(stopMutex);
        if (!wasInterrupted && stopFunction) stop = stopFunction;
        wasInterrupted = true;
      }
      if (!stop) endBy(signal);
      stop();
    }
  }).detach();
}

void onInterrupt(std::function<void()> stop) {
  std::lock_guard lock(stopMutex);
  stopFunction = std::move(stop);
}

}  // namespace interrupts

std::string describeKeychainStatus(std::int64_t status) {
  std::string meaning;
  switch (status) {
    case platform::errSecIO:
      meaning =
          "the store's file could not be read or written (I/O error, full disk or read-only file)";
      break;
    case platform::errSecParam:
      meaning = "the keychain refused the request as malformed";
      break;
    case platform::errSecAllocate:
      meaning = "memory ran out";
      break;
    case platform::errSecNotAvailable:
      meaning = "the store cannot be located, created or opened";
      break;
    case platform::errSecDuplicateItem:
      meaning = "an item with the same identity already exists";
      break;
    case platform::errSecItemNotFound:
      meaning = "no such item";
      break;
    case platform::errSecInteractionNotAllowed:
      meaning = "the store stayed locked by another writer for longer than the busy timeout";
      break;
    case platform::errSecDecode:
      meaning = "the store's file is not a keychain store, or it is damaged";
      break;
    default:
      meaning = "unknown keychain status";
  }
  return meaning + " (status " + std::to_string(status) + ")";
}

double nowSince1970() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string isoTime(double secondsSince1970) {
  return host::formatLogTime(secondsSince1970);
}

std::string humanAge(double seconds) {
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

}  // namespace tools
