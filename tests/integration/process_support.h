#pragma once

// What the multi-process tests add to the shared child-process support: their helper programs,
// an isolated per-test environment, a hang guard and the size knob of the long-running tests.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace integration {

using testsupport::monotonicNanos;
using testsupport::say;

// The keychain service and access group both sides of the tests use.
inline constexpr char kService[] = "com.tarvik.brisvane.interoperability";
inline constexpr char kAccessGroup[] = "integration.shared-group";
// A message key for tests that need more than one bit per save: its payload is a counter.
inline constexpr char kProbeKey[] = "com.tarvik.integration.probe";

// BRISVANE_INTEGRATION_SCALE (a positive number, 1 by default) multiplies the durations and
// counts of the long-running tests, so that sanitizer builds can run them smaller.
inline double scale() {
  return testsupport::scaleFromEnvironment("BRISVANE_INTEGRATION_SCALE");
}

inline int scaled(int full, int minimum = 1) {
  return std::max(minimum, static_cast<int>(full * scale()));
}

// Gives the test its own XDG_DATA_HOME (the keychain store) and XDG_RUNTIME_DIR (the
// notification folder), inherited by every helper it starts.
class IsolatedEnvironment {
 public:
  IsolatedEnvironment()
      : dataHome_("XDG_DATA_HOME", (temp_ / "data").string()),
        runtimeDir_("XDG_RUNTIME_DIR", (temp_ / "runtime").string()) {
    std::filesystem::create_directory(temp_ / "data");
    std::filesystem::create_directory(temp_ / "runtime");
    std::filesystem::permissions(temp_ / "runtime", std::filesystem::perms::owner_all);
  }

  std::filesystem::path keychainFile() const {
    return temp_ / "data" / "brisvane" / "keychain.sqlite3";
  }

 private:
  testsupport::TempDir temp_;
  testsupport::ScopedEnv dataHome_;
  testsupport::ScopedEnv runtimeDir_;
};

// Aborts the test program when it is still running after `timeout`: a guard against a hang
// (a lost notification leaves a process waiting forever), never a measurement.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds timeout, std::string what)
      : thread_([this, timeout, what = std::move(what)] {
          std::unique_lock lock(mutex_);
          if (!done_.wait_for(lock, timeout, [this] { return isDone_; })) {
            std::fprintf(stderr, "watchdog: %s did not finish within %llds\n", what.c_str(),
                         static_cast<long long>(timeout.count()));
            std::abort();
          }
        }) {}
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      isDone_ = true;
    }
    done_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool isDone_ = false;
  std::thread thread_;
};

// One helper program, "integration.helper.<name>" (see testsupport::helperPath).
//
// Threads: one thread at a time.
class ChildProcess : public testsupport::Process {
 public:
  ChildProcess(const std::string& helper, const std::vector<std::string>& arguments)
      : Process(testsupport::helperPath("integration", helper), arguments) {}
};

}  // namespace integration
