#pragma once

// The one harness for tests (and the end-to-end benchmark) that run several processes: a child
// with pipes on its standard input and output, talked to one line at a time and killed and reaped
// when dropped; the size knob of the long-running tests; and the key=value lines the helpers
// answer with.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace testsupport {

// `base` times BRISVANE_RELIABILITY_SCALE (a positive number, 1 when unset), at least `minimum`.
inline int scaled(int base, int minimum = 1) {
  const char* text = std::getenv("BRISVANE_RELIABILITY_SCALE");
  const double scale = text != nullptr ? std::strtod(text, nullptr) : 1.0;
  return std::max(minimum, static_cast<int>(base * (scale > 0 ? scale : 1.0)));
}

// Writes `line` and a newline in one write (a pipe takes a short line whole, so lines from
// several threads do not mix); false once the reader has gone.
inline bool writeLine(int fd, const std::string& line) {
  const std::string text = line + "\n";
  return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}
inline void say(const std::string& line) {
  writeLine(STDOUT_FILENO, line);
}

// The value of "key=" in a line of space-separated key=value words.
inline std::optional<std::string> field(const std::string& line, const std::string& key) {
  const std::string words = " " + line + " ", needle = " " + key + "=";
  const auto at = words.find(needle);
  if (at == std::string::npos) return std::nullopt;
  const auto begin = at + needle.size();
  return words.substr(begin, words.find(' ', begin) - begin);
}
inline long long numberField(const std::string& line, const std::string& key) {
  const auto text = field(line, key);
  if (!text) throw std::runtime_error("no " + key + "= in \"" + line + "\"");
  return std::stoll(*text);
}

// One child program: its standard output is read line by line, its standard input takes
// commands, its standard error is the parent's. Killed with SIGKILL and reaped when dropped while
// still running. Threads: one thread at a time.
struct Process {
  Process(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
    int out[2] = {-1, -1}, in[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) {
      for (const int fd : {out[0], out[1]}) ::close(fd);
      throw std::system_error(errno, std::generic_category());
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    std::vector<std::string> words{program.string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv(words.size() + 1);  // the words, then nullptr
    std::ranges::transform(words, argv.begin(), [](std::string& word) { return word.data(); });
    const int error =
        ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(in[0]);
    out_ = out[0];
    in_ = in[1];
    if (error != 0) {
      status_ = 0;
      throw std::system_error(error, std::generic_category(), "cannot start " + program.string());
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() {
    if (!status_) kill(SIGKILL);
    wait();
    ::close(out_);
    ::close(in_);
  }

  pid_t pid() const { return pid_; }
  bool send(const std::string& line) { return writeLine(in_, line); }
  void kill(int signal) const { ::kill(pid_, signal); }

  // The next line that starts with `prefix`, without its newline (other lines are skipped);
  // nullopt at the end of the output or when none came within `timeout` (a hang guard, never a
  // measurement).
  std::optional<std::string> readLineStartingWith(
      const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      for (std::size_t newline; (newline = buffered_.find('\n')) != std::string::npos;) {
        std::string line = buffered_.substr(0, newline);
        buffered_.erase(0, newline + 1);
        if (line.starts_with(prefix)) return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (isAtEnd_ || left.count() <= 0) return std::nullopt;
      pollfd pfd{out_, POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[8192];
      const ssize_t size = ::read(out_, chunk, sizeof(chunk));
      if (size > 0) buffered_.append(chunk, static_cast<std::size_t>(size));
      isAtEnd_ = size == 0 || (size < 0 && errno != EINTR);
    }
  }
  std::optional<std::string> readLine(
      std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    return readLineStartingWith("", timeout);
  }

  // Waits for the child to end and returns its wait status.
  int wait() {
    int status = 0;
    while (!status_ && ::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    if (!status_) status_ = status;
    return *status_;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  std::string buffered_;
  bool isAtEnd_ = false;
  std::optional<int> status_;
};

}  // namespace testsupport
