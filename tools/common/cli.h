#pragma once

// What the command-line programs share: exit codes, command lines parsed by CLI11 with one
// convention for help, version and usage errors, interrupts, an answer stream that only the
// program writes, JSON and text that are safe to print, and times.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>

namespace tools {

// Exit codes, shared by both programs.
inline constexpr int kExitOn = 0;       // success; for "status", protection is on
inline constexpr int kExitOff = 1;      // "status": protection is off; "show": no message
inline constexpr int kExitUsage = 2;    // the command line is wrong
inline constexpr int kExitFailure = 3;  // the keychain or the system failed

// A command-line mistake found after parsing: reported like a parse error, exit kExitUsage.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An application with the programs' common options: --help and -h (for every command too), and
// --version, which prints the library's version number and version string.
void configure(CLI::App& app);

// Parses the command line. Returns the exit code when the program must end now: kExitOn after
// --help or --version (printed to answers()), kExitUsage after a usage error (one line on standard
// error, with a hint to --help). Returns nullopt when the program goes on.
std::optional<int> parse(CLI::App& app, int argc, char** argv);

// Writes the one-line usage error of `program`; returns kExitUsage.
int usageError(const std::string& program, const std::string& message);

// Validates (and normalises nothing in) a duration option: see parseDuration.
CLI::Validator durationValidator();

// Parses "30", "30s", "15m", "2h", "2d" as a finite, non-negative number of seconds no larger than
// the time since 1970. Throws UsageError otherwise (nan, inf, 1e400, "2x", "-1").
double parseDuration(const std::string& text);

// Standard output carries the program's answers only. The first call sends whatever else writes
// to std::cout (the keychain storage's "Options attributes: " line) to standard error, and returns
// a stream over the real standard output. Call it first thing in main, before any thread starts.
std::ostream& answers();

// One JSON value on one line (or indented), valid UTF-8 whatever the strings hold: bytes that are
// not UTF-8 are replaced, control characters escaped.
std::string jsonText(const nlohmann::json& value, int indent = -1);

// `text` with control characters and bytes that are not UTF-8 written as \xNN, so that text from
// the store never reaches a terminal raw.
std::string printable(const std::string& text);

// SIGINT and SIGTERM end the program from any point, even while a call blocks. install() blocks
// both in every thread (call it first thing in main, before any thread starts) and takes them on a
// thread of its own. By default an interrupt ends the process as the signal's default action does.
// While a stop function is set, the first interrupt calls it instead (on the interrupt thread), so
// that the program winds down and removes what it made; a second one ends the process.
namespace interrupts {
void install();
void onInterrupt(std::function<void()> stop);
}  // namespace interrupts

// What a keychain status means, with its number: "the store's file is not a keychain store, or it
// is damaged (status -26275)".
std::string describeKeychainStatus(std::int64_t status);

double nowSince1970();

// "2026-12-06T09:30:00.123Z": the one time format of every line the programs print.
std::string isoTime(double secondsSince1970);

// "3.2 s", "4 min", "2.0 h", "2.0 days"
std::string humanAge(double seconds);

}  // namespace tools
