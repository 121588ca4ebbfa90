// brisvane-demo: the whole system, end to end, in a private sandbox. One process is the host
// ("brisvane-state watch"); this program plays the security application and the user, and
// checks that every change reaches the host.

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/cli.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr auto kStepTimeout = std::chrono::seconds(15);

struct Sandbox {
  fs::path root, home, applications, data, runtime, outside, log;

  static Sandbox create() {
    std::string pattern = (fs::temp_directory_path() / "brisvane-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a sandbox");
    Sandbox s;
    s.root = pattern;
    s.home = s.root / "home";
    s.applications = s.home / "Applications";
    s.data = s.root / "data";
    s.runtime = s.root / "runtime";
    s.outside = s.root / "outside";
    s.log = s.root / "host.log";
    for (const auto& dir : {s.applications, s.data, s.runtime, s.outside})
      fs::create_directories(dir);
    fs::permissions(s.runtime, fs::perms::owner_all, fs::perm_options::replace);
    return s;
  }

  std::vector<std::string> environment() const {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      if (entry.rfind("HOME=", 0) == 0 || entry.rfind("XDG_DATA_HOME=", 0) == 0 ||
          entry.rfind("XDG_RUNTIME_DIR=", 0) == 0) {
        continue;
      }
      env.push_back(entry);
    }
    env.push_back("HOME=" + home.string());
    env.push_back("XDG_DATA_HOME=" + data.string());
    env.push_back("XDG_RUNTIME_DIR=" + runtime.string());
    return env;
  }
};

// An application bundle: a folder whose Contents/Info.plist names its bundle identifier.
void makeBundle(const fs::path& bundle, const std::string& identifier) {
  fs::create_directories(bundle / "Contents");
  std::ofstream(bundle / "Contents" / "Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
      << "  <key>CFBundleIdentifier</key>\n  <string>" << identifier << "</string>\n"
      << "</dict>\n</plist>\n";
}

fs::path findTool(const std::string& name) {
  const fs::path self = fs::read_symlink("/proc/self/exe").parent_path();
  for (const auto& candidate : {self / name, self.parent_path() / name / name}) {
    if (fs::exists(candidate)) return candidate;
  }
  throw std::runtime_error("cannot find " + name + " next to " + self.string());
}

std::vector<char*> cStrings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Runs a program to its end with the sandbox's environment; returns its exit code. Its standard
// output goes to `output` when given, else nowhere.
int runTool(const fs::path& program, std::vector<std::string> args, const Sandbox& sandbox,
            std::string* output = nullptr) {
  args.insert(args.begin(), program.string());
  auto env = sandbox.environment();
  auto argv = cStrings(args);
  auto envp = cStrings(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int out[2] = {-1, -1};
  if (output != nullptr && ::pipe2(out, O_CLOEXEC) != 0)
    throw std::runtime_error("cannot create a pipe");
  // The tools' own notices (the storage's "Options attributes: " line among them) go to a log in
  // the sandbox rather than between the lines of the timeline.
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (sandbox.root / "tools.log").c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (output != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = 0;
  const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (output != nullptr) {
    ::close(out[1]);
    char chunk[4096];
    ssize_t n;
    while (error == 0 && (n = ::read(out[0], chunk, sizeof chunk)) > 0)
      output->append(chunk, static_cast<std::size_t>(n));
    ::close(out[0]);
  }
  if (error != 0) throw std::runtime_error("cannot start " + program.string());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// The host process: "brisvane-state watch --json --commands", its events read line by line and its
// log kept in the sandbox.
class Host {
 public:
  Host(const fs::path& program, const Sandbox& sandbox) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      throw std::runtime_error("cannot create pipes");
    }
    // At "extended" the host's log has one line per announcement it received, and no info chatter.
    std::vector<std::string> args = {program.string(), "--log-level", "extended",
                                     "watch",          "--json",      "--commands"};
    auto env = sandbox.environment();
    auto argv = cStrings(args);
    auto envp = cStrings(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, sandbox.log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int error =
        posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (error != 0) throw std::runtime_error("cannot start " + program.string());
    commands_ = in[1];
    events_ = out[0];
  }
  ~Host() {
    if (commands_ >= 0) ::close(commands_);
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (events_ >= 0) ::close(events_);
  }

  void command(const std::string& line) {
    const std::string text = line + "\n";
    if (::write(commands_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      throw std::runtime_error("the host stopped reading commands");
    }
  }

  // The next event for which `matches` holds, or nothing when the deadline passes.
  std::optional<json> waitFor(const std::function<bool(const json&)>& matches,
                              Clock::time_point deadline) {
    for (;;) {
      std::size_t end;
      while ((end = buffer_.find('\n')) != std::string::npos) {
        const std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        json event = json::parse(line, nullptr, false);
        if (event.is_discarded()) continue;
        if (event.value("event", "") == "rtp") lastRtp_ = event.value("value", false);
        if (matches(event)) return event;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{events_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(events_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Ends the host by closing its command input; returns its exit code.
  int finish() {
    ::close(commands_);
    commands_ = -1;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  }

 private:
  pid_t pid_ = -1;
  int commands_ = -1;
  int events_ = -1;
  std::string buffer_;

 public:
  // The last answer the host published, among the events read so far.
  std::optional<bool> lastRtp_;
};

std::function<bool(const json&)> rtpIs(bool value) {
  return [value](const json& e) {
    return e.value("event", "") == "rtp" && e.value("value", !value) == value;
  };
}

std::function<bool(const json&)> eventIs(const std::string& name, bool periodicRefresh) {
  return [name, periodicRefresh](const json& e) {
    return e.value("event", "") == name &&
           e.value("periodicRefresh", !periodicRefresh) == periodicRefresh;
  };
}

int demo() {
  const Sandbox sandbox = Sandbox::create();
  const fs::path state = findTool("brisvane-state");
  const fs::path settings = findTool("brisvane-settings");
  std::cout << "Sandbox " << sandbox.root.string() << "\n"
            << "  HOME=" << sandbox.home.string() << " (with an Applications folder)\n"
            << "  XDG_DATA_HOME=" << sandbox.data.string() << " (the keychain database)\n"
            << "  XDG_RUNTIME_DIR=" << sandbox.runtime.string()
            << " (the notification sockets)\n\n";

  makeBundle(sandbox.applications / "Nyra.app", "com.tarvik.nyra");
  makeBundle(sandbox.applications / "Brisvane.app", "com.tarvik.brisvane");

  Host host(state, sandbox);
  const auto start = Clock::now();
  if (!host.waitFor([](const json& e) { return e.value("event", "") == "ready"; },
                    start + kStepTimeout)) {
    std::cout << "the host did not start; its log is " << sandbox.log.string() << "\n";
    return 1;
  }
  // Before any message the host answers "off".
  if (host.lastRtp_ != false) {
    std::cout << "the host did not start with protection off\n";
    return 1;
  }
  std::printf(
      "latency: from the start of a step until the host publishes the answer; for a\n"
      "\"security app saves\" step it includes starting a brisvane-settings process.\n\n");
  std::printf("%-9s %-36s %-26s %s\n", "time", "step", "host saw", "latency");
  std::printf("%-9s %-36s %-26s\n", "+  0.000s", "host starts (no message yet)", "off");

  struct Step {
    std::string what;
    std::function<void()> action;
    std::function<bool(const json&)> expected;
    std::string expectedText;
  };
  auto settingsTool = [&](std::vector<std::string> args) {
    return [&, args] {
      if (runTool(settings, args, sandbox) != 0)
        throw std::runtime_error("brisvane-settings failed");
    };
  };
  const std::vector<Step> steps = {
      {"security app saves RTP on", settingsTool({"set", "on"}), rtpIs(true), "on"},
      {"Brisvane uninstalled (moved out)",
       [&] { fs::rename(sandbox.applications / "Brisvane.app", sandbox.outside / "Brisvane.app"); },
       rtpIs(false), "off"},
      {"Brisvane reinstalled (moved back)",
       [&] { fs::rename(sandbox.outside / "Brisvane.app", sandbox.applications / "Brisvane.app"); },
       rtpIs(true), "on"},
      {"security app saves RTP off", settingsTool({"set", "off"}), rtpIs(false), "off"},
      {"security app saves RTP on", settingsTool({"set", "on"}), rtpIs(true), "on"},
      {"a message saved two days ago", settingsTool({"set", "on", "--aged", "2d"}), rtpIs(false),
       "off (expired)"},
      {"host override: on", [&] { host.command("override on"); }, rtpIs(true), "on"},
      {"host override: none", [&] { host.command("override none"); }, rtpIs(false), "off"},
      {"machine goes to sleep", [&] { host.command("sleep"); }, eventIs("sleep", false),
       "periodic refresh stopped"},
      {"machine wakes", [&] { host.command("wake"); }, eventIs("wake", true),
       "periodic refresh running"},
      {"security app saves RTP on", settingsTool({"set", "on"}), rtpIs(true), "on"},
  };

  int failures = 0;
  for (const auto& step : steps) {
    const auto begin = Clock::now();
    step.action();
    const auto seen = host.waitFor(step.expected, begin + kStepTimeout);
    const double at = std::chrono::duration<double>(Clock::now() - start).count();
    if (!seen) {
      ++failures;
      std::printf("+%7.3fs %-36s %-26s %s\n", at, step.what.c_str(),
                  ("NOT SEEN (wanted " + step.expectedText + ")").c_str(), "-");
      continue;
    }
    const double latencyMs =
        std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    std::printf("+%7.3fs %-36s %-26s %8.1f ms\n", at, step.what.c_str(), step.expectedText.c_str(),
                latencyMs);
  }
  const int hostExit = host.finish();

  std::ifstream logFile(sandbox.log);
  std::stringstream log;
  log << logFile.rdbuf();
  std::size_t received = 0;
  for (std::size_t at = 0;
       (at = log.str().find("🌗 Received event from Brisvane.", at)) != std::string::npos; ++at) {
    ++received;
  }
  std::printf("\nhost log: %zu \"🌗 Received event from Brisvane.\" lines\n", received);
  std::printf("(latencies of installs and uninstalls include the monitor's 500 ms debounce)\n");
  if (received < 5) ++failures;

  // What a host sees now, and why, in the words of "brisvane-state status".
  std::string explanation;
  runTool(state, {"status"}, sandbox, &explanation);
  std::printf("\n$ brisvane-state status\n%s\n", explanation.c_str());
  if (explanation.find("why: ") == std::string::npos) ++failures;

  if (failures == 0) {
    std::error_code ignored;
    fs::remove_all(sandbox.root, ignored);
    std::printf("demo passed: every expected answer was seen (host exited with %d)\n", hostExit);
    return 0;
  }
  std::printf("demo FAILED: %d expectation(s) not met; sandbox kept at %s (logs: %s, %s)\n",
              failures, sandbox.root.c_str(), sandbox.log.c_str(),
              (sandbox.root / "tools.log").c_str());
  return 1;
}

}  // namespace

int main() {
  // A host that dies must show up as a failed step, not kill the demo through its command pipe.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return demo();
  } catch (const std::exception& error) {
    std::cerr << "brisvane-demo: " << error.what() << "\n";
    return 1;
  }
}
