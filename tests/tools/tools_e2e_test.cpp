// The two command-line programs against each other, as separate processes in a private sandbox.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

fs::path binaryDir() {
  const char* dir = std::getenv("BRISVANE_TEST_BINARY_DIR");
  return dir ? fs::path(dir) : fs::current_path();
}

fs::path tool(const std::string& name) {
  return binaryDir() / "tools" / name / name;
}

struct Result {
  int exitCode = -1;
  std::string out, err;
};

// Everything in a folder, to see that a command left it as it found it.
std::vector<std::string> listing(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) names.push_back(entry.path());
  std::sort(names.begin(), names.end());
  return names;
}

// A private HOME, data folder and runtime folder, and the programs run inside them.
class Sandbox {
 public:
  Sandbox() {
    fs::create_directories(home() / "Applications");
    fs::create_directories(dir_ / "data");
    fs::create_directories(dir_ / "run");
    fs::permissions(dir_ / "run", fs::perms::owner_all, fs::perm_options::replace);
  }
  fs::path home() const { return dir_ / "home"; }
  fs::path path(const std::string& name) const { return dir_ / name; }

  void install(const std::string& bundle, const std::string& identifier) {
    const auto contents = home() / "Applications" / bundle / "Contents";
    fs::create_directories(contents);
    std::ofstream(contents / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
        << "<key>CFBundleIdentifier</key><string>" << identifier << "</string></dict></plist>";
  }

  // Runs `program` to its end; `onOutput`, when given, is called once with the process id as soon
  // as the program has written to standard output (to interrupt a watch, say).
  Result run(const fs::path& program, std::vector<std::string> args,
             const std::function<void(pid_t)>& onOutput = {}) const {
    args.insert(args.begin(), program.string());
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      if (entry.rfind("HOME=", 0) && entry.rfind("XDG_DATA_HOME=", 0) &&
          entry.rfind("XDG_RUNTIME_DIR=", 0)) {
        env.push_back(entry);
      }
    }
    env.push_back("HOME=" + home().string());
    env.push_back("XDG_DATA_HOME=" + (dir_ / "data").string());
    env.push_back("XDG_RUNTIME_DIR=" + (dir_ / "run").string());
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    int out[2];
    EXPECT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, path("stderr").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    Result result;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
      ADD_FAILURE() << "cannot start " << program;
      return result;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    char buffer[4096];
    ssize_t n;
    auto notify = onOutput;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) {
      result.out.append(buffer, n);
      if (notify) std::exchange(notify, {})(pid);
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::stringstream err;
    err << std::ifstream(path("stderr")).rdbuf();
    result.err = err.str();
    return result;
  }

  Result settings(std::vector<std::string> args) const {
    return run(tool("brisvane-settings"), args);
  }
  Result state(std::vector<std::string> args) const { return run(tool("brisvane-state"), args); }
  json status(std::vector<std::string> extra, int expectedExit) const {
    extra.insert(extra.begin(), {"status", "--json"});
    const auto r = run(tool("brisvane-state"), extra);
    EXPECT_EQ(r.exitCode, expectedExit) << r.out;
    return json::parse(r.out, nullptr, false);
  }

 private:
  testsupport::TempDir dir_;
};

TEST(ToolsEndToEnd, DemoSeesEveryExpectedAnswer) {
  Sandbox sandbox;  // only for the environment; the demo makes its own sandbox
  const auto r = sandbox.run(tool("brisvane-demo"), {});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("demo passed"), std::string::npos) << r.out;
}

TEST(ToolsEndToEnd, StatusExplainsEachInputOfTheDecision) {
  Sandbox s;
  s.install("Nyra.app", "com.tarvik.nyra");
  std::ofstream(s.path("state")) << "false\n";
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::pair<std::string, json>> expected;
    std::vector<std::string> settingsFirst = {};  // brisvane-settings runs with these first
    bool installsFirst = false;                   // Brisvane.app is installed first
  };
  // clang-format off
  const std::vector<Case> cases = {
      {{}, 1, {{"message", nullptr}, {"why", "there is no settings message in the keychain"}}},
      {{}, 1, {{"keychainValue", true}, {"installed", false}, {"installedDecidedBy", "query"}},
       {"set", "on"}},
      {{}, 0, {{"published", true}, {"installedDetail", "folder query, which sees the host "
                                     "application (2 matches, isInstalled=true)"}}, {}, true},
      // A host the query cannot see: the app checker decides. Another access group sees nothing.
      {{"--bundle-id", "com.example.elsewhere"}, 0, {{"installedDecidedBy", "checker"}}},
      {{"--access-group", "another.group"}, 1, {{"message", nullptr}}},
      {{"--override", "off"}, 1, {{"why", "the host's override forces protection off"}}},
      // A saved state that differs from the answer: the user should be told.
      {{"--state-file", s.path("state").string()}, 0,
       {{"shouldInformUserAboutRTPStatusUpdate", true}, {"lastSavedState", false}}},
      {{}, 1, {{"keychainValue", false}, {"why", "the settings message is older than one day, "
                                          "which counts as off"}}, {"set", "on", "--aged", "2d"}},
  };
  // clang-format on
  for (const auto& c : cases) {
    ASSERT_EQ(c.settingsFirst.empty() ? 0 : s.settings(c.settingsFirst).exitCode, 0);
    if (c.installsFirst) s.install("Brisvane.app", "com.tarvik.brisvane");
    const auto answer = s.status(c.args, c.exitCode);
    for (const auto& [key, value] : c.expected) EXPECT_EQ(answer[key], value) << answer;
  }
  std::stringstream saved;  // status never writes the host's state
  saved << std::ifstream(s.path("state")).rdbuf();
  EXPECT_EQ(saved.str(), "false\n");
}

// The conventions of both programs: usage errors are one line with a hint and exit 2; help and
// version exit 0; --json output is JSON alone, even on the first save and on failure.
TEST(ToolsEndToEnd, CommandLinesFollowOneConvention) {
  Sandbox s;
  const std::string settings = "brisvane-settings", state = "brisvane-state";
  struct Case {
    std::string program;
    std::vector<std::string> args;
    int exitCode;  // 2: a usage error; otherwise the output is JSON alone when --json is given
  };
  // clang-format off
  const std::vector<Case> cases = {
      {settings, {"set", "on", "--json"}, 0},  // the first save
      {settings, {"show", "--json"}, 0}, {settings, {"set", "--", "off"}, 0},
      {settings, {"--json", "delete"}, 0}, {settings, {"show"}, 1},
      {state, {"status", "--json", "--log-level", "extended"}, 1},
      {settings, {"--help"}, 0}, {settings, {"listen", "-h"}, 0},
      {state, {"watch", "--help"}, 0}, {state, {"--version"}, 0},
      {settings, {"set", "maybe"}, 2}, {settings, {"frobnicate"}, 2}, {settings, {}, 2},
      {settings, {"show", "--aged", "2d"}, 2}, {settings, {"set", "on", "--aged", "nan"}, 2},
      {settings, {"set", "on", "--aged", "1e400"}, 2},
      {settings, {"set", "on", "--aged", "yesterday"}, 2},
      {settings, {"listen", "--count", "1x"}, 2}, {settings, {"listen", "--count", "abc"}, 2},
      {state, {"status", "--override", "sideways"}, 2}, {state, {"status", "--commands"}, 2},
      {state, {"status", "--log-level", "loud"}, 2},
  };
  // clang-format on
  for (const auto& c : cases) {
    const auto r = s.run(tool(c.program), c.args);
    const std::string what =
        c.program + " " + ::testing::PrintToString(c.args) + ": " + r.out + r.err;
    EXPECT_EQ(r.exitCode, c.exitCode) << what;
    if (c.exitCode == 2) {
      EXPECT_EQ(r.out, "") << what;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what;
      EXPECT_NE(r.err.find("--help"), std::string::npos) << what;
    } else if (std::find(c.args.begin(), c.args.end(), "--json") != c.args.end()) {
      EXPECT_FALSE(json::parse(r.out, nullptr, false).is_discarded()) << what;
    } else {
      EXPECT_FALSE(r.out.empty()) << what;
    }
  }
  EXPECT_NE(s.state({"--version"}).out.find("1.0\n@(#)PROGRAM:"), std::string::npos);
}

// A save the store did not keep is reported: exit 3, the store's path and what went wrong.
TEST(ToolsEndToEnd, FailedSaveExitsThreeAndSaysWhy) {
  Sandbox s;
  const fs::path store = s.path("data") / "brisvane" / "keychain.sqlite3";
  fs::create_directories(store);  // first a folder where the store should be, then a foreign file
  for (const std::string meaning : {"cannot be located, created or opened", "damaged"}) {
    const auto r = s.settings({"set", "on", "--json"});
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_EQ(json::parse(r.out, nullptr, false).value("saved", true), false) << r.out;
    EXPECT_NE(r.err.find(store.string() + ": "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(meaning), std::string::npos) << r.err;
    fs::remove(store);
    std::ofstream(store) << "not a keychain store";
  }
}

// status, and watch and listen once interrupted, leave the notification folder as they found it.
TEST(ToolsEndToEnd, CommandsLeaveNoSocketBehind) {
  Sandbox s;
  EXPECT_EQ(s.state({"status"}).exitCode, 1);
  EXPECT_EQ(listing(s.path("run")), std::vector<std::string>{});  // not even the folder
  const std::vector<std::string> emptyFolder = {(s.path("run") / "distributed-notifications")};
  auto terminate = [](pid_t pid) { ::kill(pid, SIGTERM); };
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(s.run(tool("brisvane-state"), {"watch"}, terminate).out.find("stopped"),
              std::string::npos);
    EXPECT_EQ(listing(s.path("run")), emptyFolder);
    EXPECT_EQ(s.run(tool("brisvane-settings"), {"listen"}, terminate).exitCode, 0);
    EXPECT_EQ(listing(s.path("run")), emptyFolder);
  }
}

}  // namespace
