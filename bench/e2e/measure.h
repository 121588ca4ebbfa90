#pragma once

// What the end-to-end measurements read beyond the tests' /proc readers
// (tests/reliability/proc_stats.h): the machine-wide clock, a process's memory and CPU time, and
// whether this build has sanitizers on.

#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>

namespace e2e {

// CLOCK_MONOTONIC is one clock for the whole machine, so stamps taken in two processes subtract.
inline std::int64_t monotonicNanos() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
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

struct MemoryStats {
  long rssKb = 0;   // VmRSS: resident now
  long hwmKb = 0;   // VmHWM: the highest resident size so far
  int threads = 0;  // Threads
};

// From /proc/<pid>/status; nothing once the process has gone.
inline std::optional<MemoryStats> memoryStats(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  if (!status) return std::nullopt;
  MemoryStats stats;
  for (std::string line, key; std::getline(status, line);) {
    std::istringstream words(line);
    long value = 0;
    if (!(words >> key >> value)) continue;
    if (key == "VmRSS:") stats.rssKb = value;
    if (key == "VmHWM:") stats.hwmKb = value;
    if (key == "Threads:") stats.threads = static_cast<int>(value);
  }
  return stats;
}

// User and system time of `pid`, in microseconds (clock ticks).
inline long long cpuMicros(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = std::stoll(field);
    if (index == 15) stime = std::stoll(field);
  }
  return (utime + stime) * 1'000'000 / ::sysconf(_SC_CLK_TCK);
}

}  // namespace e2e
