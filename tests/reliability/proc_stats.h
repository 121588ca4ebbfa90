#pragma once

// What the kernel counts for the threads of a process, read from /proc: which threads there are,
// how often each went to sleep (its wake-ups), and what each is doing now.

#include <sys/types.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "support/wait.h"

namespace reliability {

// A field of /proc/<pid>/task/<tid>/status ("State:" as the code of its letter) of each thread
// of `pid` that exists now, by thread id (a thread that ended meanwhile is left out).
inline std::map<pid_t, long> perThread(pid_t pid, const std::string& key) {
  std::map<pid_t, long> threads;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream status(entry.path() / "status");
    for (std::string line, word, value; std::getline(status, line);) {
      if (std::istringstream(line) >> word >> value && word == key) {
        threads[std::atoi(entry.path().filename().c_str())] =
            key == "State:" ? value[0] : std::atol(value.c_str());
      }
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
  for (const auto& [tid, switches] : after)
    if (ignored.count(tid) == 0) total += switches - (before.count(tid) ? before.at(tid) : 0);
  return total;
}

// Waits until every thread of `pid` is asleep ("S"), so that a snapshot is not taken while one is
// on its way back to sleep; false when that did not happen within the hang guard.
inline bool awaitAllThreadsSleeping(pid_t pid) {
  return testsupport::waitFor([pid] {
    const auto states = perThread(pid, "State:");
    return std::all_of(states.begin(), states.end(), [](const auto& t) { return t.second == 'S'; });
  });
}

}  // namespace reliability
