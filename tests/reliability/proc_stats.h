#pragma once

// What the kernel counts for a process, read from /proc: how often each of its threads went to
// sleep (its wake-ups), and its memory.

#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace reliability {

// The values of the given keys in /proc/<pid>/status, or /proc/<pid>/task/<tid>/status.
inline std::optional<std::map<std::string, long>> statusFields(const std::filesystem::path& file) {
  std::ifstream status(file);
  if (!status) return std::nullopt;
  std::map<std::string, long> fields;
  for (std::string line; std::getline(status, line);) {
    std::istringstream words(line);
    std::string key;
    long value = 0;
    if (words >> key >> value) fields[key] = value;
  }
  return fields;
}

// Voluntary context switches of every thread of `pid` that exists now, by thread id.
inline std::map<pid_t, long> threadSwitches(pid_t pid) {
  std::map<pid_t, long> threads;
  std::error_code error;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
    // A thread that ended between the listing and the read has no status left.
    if (const auto fields = statusFields(entry.path() / "status")) {
      threads[static_cast<pid_t>(std::atol(entry.path().filename().c_str()))] =
          fields->count("voluntary_ctxt_switches:") ? fields->at("voluntary_ctxt_switches:") : 0;
    }
  }
  return threads;
}

// Switches between two snapshots over the threads in `after` (a new thread counts from zero),
// leaving out the threads in `ignored`.
inline long voluntarySwitchesBetween(const std::map<pid_t, long>& before,
                                     const std::map<pid_t, long>& after,
                                     const std::map<pid_t, long>& ignored = {}) {
  long total = 0;
  for (const auto& [tid, switches] : after) {
    if (ignored.count(tid) == 0) total += switches - (before.count(tid) ? before.at(tid) : 0);
  }
  return total;
}

// Waits until every thread of `pid` is asleep ("S"), so that a snapshot is not taken while one is
// on its way back to sleep; false when that did not happen within `guard`.
inline bool awaitAllThreadsSleeping(pid_t pid,
                                    std::chrono::milliseconds guard = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + guard;
  for (;;) {
    bool allSleeping = true;
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
      std::ifstream stat(entry.path() / "stat");
      const std::string text((std::istreambuf_iterator<char>(stat)), {});
      // The state follows the parenthesised command name, which may itself hold spaces.
      const auto close = text.rfind(')');
      allSleeping &= close == std::string::npos || close + 2 >= text.size() || text[close + 2] == 'S';
    }
    if (allSleeping) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

struct MemoryStats {
  long rssKb = 0;   // VmRSS: resident now
  long hwmKb = 0;   // VmHWM: the highest resident size so far
  int threads = 0;  // Threads
};

inline std::optional<MemoryStats> memoryStats(pid_t pid) {
  const auto fields = statusFields("/proc/" + std::to_string(pid) + "/status");
  if (!fields) return std::nullopt;
  auto value = [&](const char* key) { return fields->count(key) ? fields->at(key) : 0; };
  return MemoryStats{value("VmRSS:"), value("VmHWM:"), static_cast<int>(value("Threads:"))};
}

}  // namespace reliability
