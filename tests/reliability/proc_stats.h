#pragma once

// What the kernel counts for a process, read from /proc: its threads with their context switches,
// and its memory. Used to prove that an idle host does nothing and that memory stays bounded.

#include <sys/types.h>
#include <unistd.h>

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

struct ThreadSwitches {
  std::string name;
  long voluntary = 0;
  long nonvoluntary = 0;
};

// Every thread of `pid` that exists now, by thread id. Threads that ended are not counted.
inline std::map<pid_t, ThreadSwitches> threadSwitches(pid_t pid) {
  std::map<pid_t, ThreadSwitches> threads;
  std::error_code error;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
    const pid_t tid = static_cast<pid_t>(std::atol(entry.path().filename().c_str()));
    ThreadSwitches thread;
    std::ifstream status(entry.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      std::istringstream words(line);
      std::string key;
      words >> key;
      if (key == "Name:") {
        words >> thread.name;
      } else if (key == "voluntary_ctxt_switches:") {
        words >> thread.voluntary;
      } else if (key == "nonvoluntary_ctxt_switches:") {
        words >> thread.nonvoluntary;
      }
    }
    // A thread that ended between the listing and the read has no status left.
    if (status.eof()) threads.emplace(tid, thread);
  }
  return threads;
}

inline long totalVoluntarySwitches(const std::map<pid_t, ThreadSwitches>& threads) {
  long total = 0;
  for (const auto& [tid, thread] : threads) total += thread.voluntary;
  return total;
}

// Voluntary switches between two snapshots, summed over the threads in `after`; a thread that
// is new in `after` counts from zero. Optionally leaves out the threads in `ignored`.
inline long voluntarySwitchesBetween(const std::map<pid_t, ThreadSwitches>& before,
                                     const std::map<pid_t, ThreadSwitches>& after,
                                     const std::map<pid_t, ThreadSwitches>& ignored = {}) {
  long total = 0;
  for (const auto& [tid, thread] : after) {
    if (ignored.count(tid) != 0) continue;
    const auto earlier = before.find(tid);
    total += thread.voluntary - (earlier == before.end() ? 0 : earlier->second.voluntary);
  }
  return total;
}

// "tid(name)+n" for each thread that switched, for failure messages and reports.
inline std::string describeSwitches(const std::map<pid_t, ThreadSwitches>& before,
                                    const std::map<pid_t, ThreadSwitches>& after) {
  std::string text;
  for (const auto& [tid, thread] : after) {
    const auto earlier = before.find(tid);
    const long delta = thread.voluntary - (earlier == before.end() ? 0 : earlier->second.voluntary);
    if (delta == 0) continue;
    if (!text.empty()) text += ", ";
    text += std::to_string(tid) + "(" + thread.name + ")+" + std::to_string(delta);
  }
  return text.empty() ? "none" : text;
}

// Waits until every thread of `pid` is asleep ("S"), so that a snapshot is not taken while a thread
// is still on its way back to sleep after the last thing it did. False when that did not happen
// within `guard`.
inline bool awaitAllThreadsSleeping(pid_t pid,
                                    std::chrono::milliseconds guard = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + guard;
  for (;;) {
    bool allSleeping = true;
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
      std::ifstream stat(entry.path() / "stat");
      const std::string text((std::istreambuf_iterator<char>(stat)),
                             std::istreambuf_iterator<char>());
      // The state follows the parenthesised command name, which may itself hold spaces.
      const auto close = text.rfind(')');
      if (close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'S') {
        allSleeping = false;
      }
    }
    if (allSleeping) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// CPU time (user + system) a process has used so far, in microseconds.
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

struct MemoryStats {
  long rssKb = 0;   // VmRSS: resident now
  long hwmKb = 0;   // VmHWM: the highest resident size so far
  int threads = 0;  // Threads
};

inline std::optional<MemoryStats> memoryStats(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  if (!status) return std::nullopt;
  MemoryStats stats;
  std::string line;
  while (std::getline(status, line)) {
    std::istringstream words(line);
    std::string key;
    words >> key;
    if (key == "VmRSS:") {
      words >> stats.rssKb;
    } else if (key == "VmHWM:") {
      words >> stats.hwmKb;
    } else if (key == "Threads:") {
      words >> stats.threads;
    }
  }
  return stats;
}

}  // namespace reliability
