#pragma once

// Support for the multi-process tests: starting helper programs, reading their line-based
// replies, an isolated per-test environment, and the size knob of the long-running tests.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

extern char** environ;

namespace integration {

// The keychain service and access group both sides of the tests use.
inline constexpr char kService[] = "com.tarvik.brisvane.interoperability";
inline constexpr char kAccessGroup[] = "integration.shared-group";
// A message key for tests that need more than one bit per save: its payload is a counter.
inline constexpr char kProbeKey[] = "com.tarvik.integration.probe";

// BRISVANE_INTEGRATION_SCALE (a positive number, 1 by default) multiplies the durations and
// counts of the long-running tests, so that sanitizer builds can run them smaller.
inline double scale() {
  const char* text = std::getenv("BRISVANE_INTEGRATION_SCALE");
  if (text == nullptr || *text == '\0') return 1.0;
  const double value = std::strtod(text, nullptr);
  return value > 0 ? value : 1.0;
}

inline int scaled(int full, int minimum = 1) {
  return std::max(minimum, static_cast<int>(full * scale()));
}

inline std::int64_t monotonicNanos() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
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

// One helper program ("integration.helper.<name>" next to the tests), its standard output
// connected to a pipe that the test reads line by line. Its standard error is the test's. A
// child still running when the object goes away is killed and reaped.
class ChildProcess {
 public:
  ChildProcess(const std::string& helper, const std::vector<std::string>& arguments) {
    const std::string program = helperPath(helper).string();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<std::string> argvStorage{program};
    argvStorage.insert(argvStorage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argvStorage) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int error =
        ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (error != 0) {
      ::close(fds[0]);
      throw std::system_error(error, std::generic_category(), "cannot start " + program);
    }
    out_ = fds[0];
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (!status_) {
      ::kill(pid_, SIGKILL);
      wait();
    }
    ::close(out_);
  }

  pid_t pid() const { return pid_; }

  // "integration.helper.<name>" in BRISVANE_TEST_BINARY_DIR, which ctest sets; when it is not set
  // (a test program started by hand), in the folder of the running program or its parent.
  static std::filesystem::path helperPath(const std::string& helper) {
    const std::string file = "integration.helper." + helper;
    if (const char* binaryDir = std::getenv("BRISVANE_TEST_BINARY_DIR")) {
      return std::filesystem::path(binaryDir) / file;
    }
    const auto self = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    for (const auto& folder : {self, self.parent_path()}) {
      if (std::filesystem::exists(folder / file)) return folder / file;
    }
    throw std::runtime_error("cannot find " + file + ": BRISVANE_TEST_BINARY_DIR is not set");
  }

  // The next line of output without its newline; nullopt at the end of the output or when
  // nothing came within `timeout` (a hang guard).
  std::optional<std::string> readLine(
      std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto newline = buffered_.find('\n');
      if (newline != std::string::npos) {
        std::string line = buffered_.substr(0, newline);
        buffered_.erase(0, newline + 1);
        return line;
      }
      if (isAtEnd_) return std::nullopt;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd pfd{out_, POLLIN, 0};
      const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno != EINTR) return std::nullopt;
      if (ready <= 0) continue;
      char chunk[4096];
      const ssize_t size = ::read(out_, chunk, sizeof(chunk));
      if (size < 0 && errno == EINTR) continue;
      if (size <= 0) {
        isAtEnd_ = true;
      } else {
        buffered_.append(chunk, static_cast<std::size_t>(size));
      }
    }
  }

  // Every remaining line up to the end of the output.
  std::vector<std::string> readRemainingLines(
      std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    std::vector<std::string> lines;
    while (auto line = readLine(timeout)) lines.push_back(std::move(*line));
    return lines;
  }

  void kill(int signal) const { ::kill(pid_, signal); }

  // Waits for the child to end and returns its wait status.
  int wait() {
    if (!status_) {
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      status_ = status;
    }
    return *status_;
  }

  // True when the child ended by exiting with status 0.
  bool exitedCleanly() {
    const int status = wait();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffered_;
  bool isAtEnd_ = false;
  std::optional<int> status_;
};

// Writes one line to standard output at once (helpers: the test reads it while they run on).
inline void say(const std::string& line) {
  const std::string text = line + "\n";
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    written += static_cast<std::size_t>(n);
  }
}

}  // namespace integration
