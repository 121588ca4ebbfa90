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

// The numbers in /proc/<pid>/status, or /proc/<pid>/task/<tid>/status, by key ("VmRSS:"); the
// state letter of "State:" as its character code.
inline std::optional<std::map<std::string, long>> statusFields(const std::filesystem::path& file) {
  std::ifstream status(file);
  if (!status) return std::nullopt;
  std::map<std::string, long> fields;
  for (std::string line, key, value; std::getline(status, line);) {
    if (std::istringstream(line) >> key >> value) {
      fields[key] = key == "State:" ? value[0] : std::atol(value.c_str());
    }
  }
  return fields;
}

// A field of each thread of `pid` that exists now, by thread id (a thread that ended between the
// listing and the read is left out).
inline std::map<pid_t, long> perThread(pid_t pid, const std::string& key) {
  std::map<pid_t, long> threads;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    if (const auto fields = statusFields(entry.path() / "status")) {
      threads[std::atoi(entry.path().filename().c_str())] =
          fields->count(key) ? fields->at(key) : 0;
    }
  }
  return threads;
}

// Voluntary context switches of every thread of `pid` that exists now, by thread id.
inline std::map<pid_t, long> threadSwitches(pid_t pid) {
  return perThread(pid, "voluntary_ctxt_switches:");
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
  for (const auto deadline = std::chrono::steady_clock::now() + guard;;
       std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
    bool allSleeping = true;
    for (const auto& [tid, state] : perThread(pid, "State:")) allSleeping &= state == 'S';
    if (allSleeping) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
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
