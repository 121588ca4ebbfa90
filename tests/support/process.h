#pragma once

// Child processes for the multi-process tests and the end-to-end benchmark: started with pipes on
// their standard input and output, talked to one line at a time, killed and reaped when dropped.
// Also where the helper programs are, the size knob of the long-running tests and the
// machine-wide clock both sides stamp with.

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
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace testsupport {

// CLOCK_MONOTONIC is one clock for the whole machine, so stamps taken in two processes subtract.
inline std::int64_t monotonicNanos() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The positive number in the environment variable `name`; 1 when it is unset, empty or not
// positive. Multiplies the counts and durations of long-running tests.
inline double scaleFromEnvironment(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return 1.0;
  const double value = std::strtod(text, nullptr);
  return value > 0 ? value : 1.0;
}

// "<area>.helper.<name>" (the build's name for tests/<area>/helpers/<name>.cpp) in
// BRISVANE_TEST_BINARY_DIR, which ctest sets; when that is not set (a test program started by
// hand), next to the running program or in its parent folder.
inline std::filesystem::path helperPath(const std::string& area, const std::string& name) {
  const std::string file = area + ".helper." + name;
  if (const char* binaryDir = std::getenv("BRISVANE_TEST_BINARY_DIR")) {
    return std::filesystem::path(binaryDir) / file;
  }
  const auto self = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  for (const auto& folder : {self, self.parent_path()}) {
    if (std::filesystem::exists(folder / file)) return folder / file;
  }
  throw std::runtime_error("cannot find " + file + ": BRISVANE_TEST_BINARY_DIR is not set");
}

// Writes `line` and a newline to `fd`, in one write unless the pipe takes less at once; false
// when writing fails (the reader has gone).
inline bool writeLine(int fd, const std::string& line) {
  const std::string text = line + "\n";
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

// One child program. Its standard output is a pipe read line by line; its standard input is a
// pipe for commands; its standard error is the parent's. A child still running when the object
// goes away is killed with SIGKILL and reaped.
//
// Threads: one thread at a time.
class Process {
 public:
  Process(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
    int out[2];
    int in[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
      throw std::system_error(errno, std::generic_category(), "pipe2");
    if (::pipe2(in, O_CLOEXEC) != 0) {
      const int error = errno;
      ::close(out[0]);
      ::close(out[1]);
      throw std::system_error(error, std::generic_category(), "pipe2");
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    std::vector<std::string> argvStorage{program.string()};
    argvStorage.insert(argvStorage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argvStorage) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int error =
        ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(in[0]);
    if (error != 0) {
      ::close(out[0]);
      ::close(in[1]);
      throw std::system_error(error, std::generic_category(), "cannot start " + program.string());
    }
    out_ = out[0];
    in_ = in[1];
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() {
    if (!status_) {
      ::kill(pid_, SIGKILL);
      wait();
    }
    ::close(out_);
    if (in_ >= 0) ::close(in_);
  }

  pid_t pid() const { return pid_; }
  // The read end of the child's standard output, for callers that poll many children at once.
  int outputFd() const { return out_; }

  // Sends one command line; false when the child no longer reads its input.
  bool send(const std::string& line) { return writeLine(in_, line); }

  // Closes the child's standard input (its end-of-commands).
  void closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }

  // A line that is already complete in the buffer, without reading.
  std::optional<std::string> bufferedLine() {
    const auto newline = buffered_.find('\n');
    if (newline == std::string::npos) return std::nullopt;
    std::string line = buffered_.substr(0, newline);
    buffered_.erase(0, newline + 1);
    return line;
  }

  // Reads what the pipe holds now into the buffer; false at the end of the output.
  bool fill() {
    char chunk[8192];
    for (;;) {
      const ssize_t size = ::read(out_, chunk, sizeof(chunk));
      if (size < 0 && errno == EINTR) continue;
      if (size <= 0) {
        isAtEnd_ = true;
        return false;
      }
      buffered_.append(chunk, static_cast<std::size_t>(size));
      return true;
    }
  }

  // The next line without its newline; nullopt at the end of the output or when nothing came
  // within `timeout` (a hang guard, never a measurement).
  std::optional<std::string> readLine(
      std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (auto line = bufferedLine()) return line;
      if (isAtEnd_) return std::nullopt;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd pfd{out_, POLLIN, 0};
      const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno != EINTR) return std::nullopt;
      if (ready > 0) fill();
    }
  }

  // The next line that starts with `prefix`; other lines are skipped.
  std::optional<std::string> readLineStartingWith(
      const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      auto line = readLine(std::max(left, std::chrono::milliseconds(0)));
      if (!line || line->starts_with(prefix)) return line;
    }
  }

  // Every remaining line up to the end of the output; each line waits at most `timeout`.
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
  int in_ = -1;
  std::string buffered_;
  bool isAtEnd_ = false;
  std::optional<int> status_;
};

// Writes one line to standard output at once, in one write (a reader on the other end of the
// pipe sees whole lines even when several threads say things).
inline void say(const std::string& line) {
  writeLine(STDOUT_FILENO, line);
}

}  // namespace testsupport
