// The two command-line programs against each other, as separate processes in a private sandbox.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>

#include "reliability/sandbox.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kSettings = "brisvane-settings", kState = "brisvane-state";

struct Result { int exitCode = -1; std::string out, err; };

std::string readAll(const fs::path& path) {
  return {std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {}};
}

// Runs a tool to its end in the sandbox (whose environment it inherits), its standard error into
// a file; `afterFirstLine` runs once the tool has written its first line.
Result run(const reliability::Sandbox& s, const std::string& name, std::vector<std::string> args,
           std::function<void(testsupport::Process&)> afterFirstLine = {}) {
  const char* binaries = std::getenv("BRISVANE_TEST_BINARY_DIR");
  const fs::path program =
      (binaries ? fs::path(binaries) : fs::current_path()) / "tools" / name / name;
  args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" 2>'" + (s.root() / "stderr").string() + "'",
                             program.string()});
  testsupport::Process tool("/bin/sh", args);
  Result result;
  for (std::optional<std::string> line; (line = tool.readLine());) {
    result.out += *line + "\n";
    if (afterFirstLine) std::exchange(afterFirstLine, {})(tool);
  }
  const int status = tool.wait();
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.err = readAll(s.root() / "stderr");
  return result;
}

// Exit codes of the programs, in one sandbox whose state the rows build up: 0 on (or success),
// 1 off (or no message), 2 a usage error (one line on standard error with a hint, nothing on
// standard output). With --json the output is JSON alone; status explains each input of the
// decision and never writes the host's state file. Before the rows, the commands that watch
// leave no socket behind; after them, a save fails.
TEST(ToolsEndToEnd, ExitCodesAndStatusFollowTheDecisionAndCommandsLeaveNoSocketBehind) {
  reliability::Sandbox s;
  // status, and watch and listen once interrupted, leave the notification folder as they found it.
  const auto listing = [&] {
    return std::vector<fs::path>(fs::recursive_directory_iterator(s.runtimeFolder()),
                                 fs::recursive_directory_iterator());
  };
  EXPECT_EQ(run(s, kState, {"status"}).exitCode, 1);
  EXPECT_EQ(listing(), std::vector<fs::path>{});  // not even the folder
  const std::vector<fs::path> emptyFolder = {s.notificationFolder()};
  const auto interrupt = [](testsupport::Process& tool) { tool.kill(SIGTERM); };
  for (int i = 0; i < 2; ++i) {
    EXPECT_NE(run(s, kState, {"watch"}, interrupt).out.find("stopped"), std::string::npos);
    EXPECT_EQ(listing(), emptyFolder);
    EXPECT_EQ(run(s, kSettings, {"listen"}, interrupt).exitCode, 0);
    EXPECT_EQ(listing(), emptyFolder);
  }
  // listen --count 1 ends after the first of two changes: its "listening" line and one more.
  const auto listened = run(s, kSettings, {"listen", "--count", "1"}, [&](testsupport::Process&) {
    for (const char* value : {"on", "off"}) run(s, kSettings, {"set", value});
  });
  EXPECT_EQ(std::count(listened.out.begin(), listened.out.end(), '\n'), 2) << listened.out;
  ASSERT_EQ(run(s, kSettings, {"delete"}).exitCode, 0);  // the rows start with no message
  const fs::path brisvane = s.root() / "home" / "Applications" / "Brisvane.app";
  fs::rename(brisvane, s.root() / "Brisvane.app");  // installed again before the row that says so
  const std::string stateFile = (s.root() / "state").string();
  std::ofstream(stateFile) << "false\n";
  // expected: members of the JSON answer; installsFirst: Brisvane.app is installed before the row.
  struct Row { std::string program; std::vector<std::string> args; int exitCode;
               std::vector<std::pair<std::string, json>> expected = {}; bool installsFirst = false; };
  const auto st = [](std::vector<std::string> extra) { extra.insert(extra.begin(), {"status", "--json"}); return extra; };
  // clang-format off
  const std::vector<Row> rows = {
      {kState, st({}), 1, {{"message", nullptr}, {"why", "there is no settings message in the keychain"}}},
      {kState, st({"--log-level", "extended"}), 1},
      {kSettings, {"show"}, 1},
      {kSettings, {"set", "on", "--json"}, 0},  // the first save since the delete
      {kState, st({}), 1, {{"keychainValue", true}, {"installed", false}, {"installedDecidedBy", "query"}}},
      {kState, st({}), 0, {{"published", true}, {"installedDetail", "folder query, which sees the host "
                            "application (2 matches, isInstalled=true)"}}, true},
      {kState, st({"--bundle-id", "com.example.elsewhere"}), 0, {{"installedDecidedBy", "checker"}}},
      {kState, st({"--access-group", "another.group"}), 1, {{"message", nullptr}}},
      {kState, st({"--override", "off"}), 1, {{"why", "the host's override forces protection off"}}},
      {kState, st({"--override", "on", "--access-group", "another.group"}), 0},
      {kState, st({"--state-file", stateFile}), 0, {{"shouldInformUserAboutRTPStatusUpdate", true}, {"lastSavedState", false}}},
      {kSettings, {"show", "--json"}, 0}, {kSettings, {"set", "--", "off"}, 0}, {kState, {"status"}, 1},
      {kSettings, {"--json", "delete"}, 0}, {kSettings, {"set", "on", "--aged", "1500m"}, 0},
      {kState, st({}), 1, {{"keychainValue", false}, {"why", "the settings message is older than one day, which counts as off"}}},
      {kSettings, {"--help"}, 0}, {kSettings, {"listen", "-h"}, 0}, {kState, {"watch", "--help"}, 0}, {kState, {"--version"}, 0},
      {kSettings, {"set", "maybe"}, 2}, {kSettings, {"frobnicate"}, 2}, {kSettings, {}, 2},
      {kSettings, {"show", "--aged", "2d"}, 2}, {kSettings, {"set", "on", "--aged", "nan"}, 2},
      {kSettings, {"set", "on", "--aged", "1e400"}, 2}, {kSettings, {"set", "on", "--aged", "yesterday"}, 2},
      {kSettings, {"listen", "--count", "1x"}, 2}, {kState, {"status", "--override", "sideways"}, 2},
      {kState, {"status", "--commands"}, 2}, {kState, {"status", "--log-level", "loud"}, 2},
      {"brisvane-demo", {}, 0},  // exits 0 once it has seen every answer it expects
  };
  // clang-format on
  for (const auto& row : rows) {
    if (row.installsFirst) fs::rename(s.root() / "Brisvane.app", brisvane);
    const auto r = run(s, row.program, row.args);
    const std::string what = row.program + " " + ::testing::PrintToString(row.args) + ": " + r.out + r.err;
    EXPECT_EQ(r.exitCode, row.exitCode) << what;
    if (row.exitCode == 2) {
      EXPECT_EQ(r.out, "") << what;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what;
      EXPECT_NE(r.err.find("--help"), std::string::npos) << what;
    } else if (std::find(row.args.begin(), row.args.end(), "--json") != row.args.end()) {
      const auto answer = json::parse(r.out, nullptr, false);
      ASSERT_FALSE(answer.is_discarded()) << what;
      for (const auto& [key, value] : row.expected) EXPECT_EQ(answer[key], value) << what;
    } else {
      EXPECT_FALSE(r.out.empty()) << what;
    }
  }
  EXPECT_EQ(readAll(stateFile), "false\n");
  EXPECT_NE(run(s, kState, {"--version"}).out.find("1.0\n@(#)PROGRAM:"), std::string::npos);
  // A save the store did not keep: exit 3, with the store's path and what went wrong.
  const fs::path store = s.keychainFile();
  fs::remove_all(store.parent_path());
  fs::create_directories(store);  // first a folder where the store should be, then a foreign file
  for (const std::string meaning : {"cannot be located, created or opened", "damaged"}) {
    const auto r = run(s, kSettings, {"set", "on", "--json"});
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_EQ(json::parse(r.out, nullptr, false).value("saved", true), false) << r.out;
    EXPECT_NE(r.err.find(store.string() + ": "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(meaning), std::string::npos) << r.err;
    fs::remove(store);
    std::ofstream(store) << "not a keychain store";
  }
}

}  // namespace
