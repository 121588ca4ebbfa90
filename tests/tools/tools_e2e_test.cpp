// The two command-line programs against each other, as separate processes in a private sandbox.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
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

fs::path tool(const std::string& name) { return binaryDir() / "tools" / name / name; }

struct Result {
  int exitCode = -1;
  std::string out;
};

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

  Result run(const fs::path& program, std::vector<std::string> args) const {
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
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, n);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
  }

  Result settings(std::vector<std::string> args) const { return run(tool("brisvane-settings"), args); }
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

  auto none = s.status({}, 1);
  EXPECT_EQ(none["message"], nullptr);
  EXPECT_EQ(none["keychainValue"], nullptr);
  EXPECT_EQ(none["why"], "there is no settings message in the keychain");

  ASSERT_EQ(s.settings({"set", "on"}).exitCode, 0);
  auto notInstalled = s.status({}, 1);
  EXPECT_EQ(notInstalled["keychainValue"], true);
  EXPECT_EQ(notInstalled["installed"], false);
  EXPECT_EQ(notInstalled["installedDecidedBy"], "query");

  s.install("Brisvane.app", "com.tarvik.brisvane");
  auto on = s.status({}, 0);
  EXPECT_EQ(on["isRealTimeProtectionEnabled"], true);
  EXPECT_EQ(on["published"], true);
  EXPECT_EQ(on["message"]["version"], "1.0.0");
  EXPECT_EQ(on["installedDetail"],
            "folder query, which sees the host application (2 matches, isInstalled=true)");

  // A host the query cannot see: the app checker decides.
  auto otherHost = s.status({"--bundle-id", "com.example.elsewhere"}, 0);
  EXPECT_EQ(otherHost["installedDecidedBy"], "checker");

  // Another access group sees nothing.
  auto otherGroup = s.status({"--access-group", "another.group"}, 1);
  EXPECT_EQ(otherGroup["message"], nullptr);

  auto forcedOff = s.status({"--override", "off"}, 1);
  EXPECT_EQ(forcedOff["why"], "the host's override forces protection off");

  // A saved state that differs from the answer: the user should be told.
  std::ofstream(s.path("state")) << "false\n";
  auto inform = s.status({"--state-file", s.path("state").string()}, 0);
  EXPECT_EQ(inform["shouldInformUserAboutRTPStatusUpdate"], true);
  EXPECT_EQ(inform["lastSavedState"], false);
  // status never writes the host's state.
  std::ifstream stateFile(s.path("state"));
  std::string saved;
  stateFile >> saved;
  EXPECT_EQ(saved, "false");

  ASSERT_EQ(s.settings({"set", "on", "--aged", "2d"}).exitCode, 0);
  auto aged = s.status({}, 1);
  EXPECT_EQ(aged["keychainValue"], false);
  EXPECT_EQ(aged["why"], "the settings message is older than one day, which counts as off");
}

TEST(ToolsEndToEnd, SettingsShowsDeletesAndRejectsBadCommandLines) {
  Sandbox s;
  EXPECT_EQ(s.settings({"show"}).exitCode, 1);
  ASSERT_EQ(s.settings({"set", "off"}).exitCode, 0);
  auto shown = s.settings({"show", "--json"});
  ASSERT_EQ(shown.exitCode, 0);
  auto message = json::parse(shown.out);
  EXPECT_EQ(message["isRTPEnabled"], false);
  EXPECT_EQ(message["expired"], false);
  EXPECT_EQ(json::parse(s.settings({"delete", "--json"}).out)["deleted"], true);
  EXPECT_EQ(json::parse(s.settings({"delete", "--json"}).out)["deleted"], false);
  EXPECT_EQ(s.settings({"show"}).exitCode, 1);

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"set", "maybe"}, {"frobnicate"}, {}, {"show", "--colour"},
        {"set", "on", "--aged", "yesterday"}}) {
    EXPECT_EQ(s.settings(bad).exitCode, 2);
  }
  EXPECT_EQ(s.run(tool("brisvane-state"), {"status", "--override", "sideways"}).exitCode, 2);
  EXPECT_EQ(s.run(tool("brisvane-state"), {"--help"}).exitCode, 0);
}

}  // namespace
