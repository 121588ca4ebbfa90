// Saves as fast as the writer can: every change must reach the host, the host must end on the
// value written last, and its threads and memory must not grow with the size of the burst.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "messages/BrisvaneSettings.h"
#include "reliability/host_session.h"
#include "reliability/proc_stats.h"
#include "reliability/process.h"
#include "reliability/sandbox.h"

namespace {

using reliability::HostSession;
using reliability::Process;

// Threads a host may add while a burst runs: refresh tasks queue up on the shared pool, whose
// running threads are bounded (refreshes waiting for the keychain client do not add threads),
// plus the few its starvation watchdog may start on a loaded machine.
constexpr int kExtraThreadsAllowed = 16;

TEST(Burst, HostEndsOnTheLastValueWrittenWithBoundedThreadsAndMemory) {
  reliability::Sandbox sandbox;
  reliability::makeWriterClient()->saveData(brisvane::BrisvaneSettings(false));
  HostSession host;
  ASSERT_TRUE(host.command("quiet", "quiet"));
  const int runs = reliability::scaled(5);
  const int saves = std::min(10000, reliability::scaled(2000, 100));
  const auto atReady = reliability::memoryStats(host.pid()).value();

  int correct = 0;
  int maxThreads = atReady.threads;
  long rssAfterFirst = 0, rssAfterLast = 0;
  bool next = true;
  for (int run = 0; run < runs; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    ASSERT_TRUE(host.mark());
    Process writer(reliability::helperPath("writer"),
                   {"burst", std::to_string(saves), next ? "true" : "false"});
    std::optional<std::string> done;
    // Samples the host's threads while the writer runs; each wait for the writer's line is short
    // only so that the samples come often.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (!done && std::chrono::steady_clock::now() < deadline) {
      done = writer.readLineStartingWith("done", std::chrono::milliseconds(5));
      if (const auto m = reliability::memoryStats(host.pid())) {
        maxThreads = std::max(maxThreads, m->threads);
      }
    }
    ASSERT_TRUE(done.has_value()) << "the writer did not finish";
    ASSERT_TRUE(writer.exitedCleanly());
    EXPECT_EQ(reliability::numberField(*done, "errors"), 0);
    const bool last = reliability::numberField(*done, "last") == 1;

    ASSERT_TRUE(host.await(saves)) << "not every change reached the host and was refreshed";
    const auto state = host.state();
    ASSERT_TRUE(state.has_value()) << "the host stopped answering";
    maxThreads = std::max(maxThreads, state->threads);
    EXPECT_EQ(state->failures, 0);
    const bool isCorrect = state->keychain == reliability::keychainText(last) &&
                           state->enabled == (last ? 1 : 0) && state->published == (last ? 1 : 0);
    EXPECT_TRUE(isCorrect) << "wrote " << last << " last; the host has keychain=" << state->keychain
                           << " enabled=" << state->enabled << " published=" << state->published;
    correct += isCorrect ? 1 : 0;
    if (run == 0) rssAfterFirst = state->rssKb;
    rssAfterLast = state->rssKb;
    next = !last;
  }
  std::printf(
      "burst: %d of %d runs of %d saves ended on the last value; host threads %d at "
      "ready, at most %d; VmRSS %ld kB at ready, %ld kB after run 1, %ld kB after run %d\n",
      correct, runs, saves, atReady.threads, maxThreads, atReady.rssKb, rssAfterFirst, rssAfterLast,
      runs);
  EXPECT_EQ(correct, runs);
  EXPECT_LE(maxThreads, atReady.threads + kExtraThreadsAllowed);
  if (!reliability::isSanitized() && runs > 1) {
    EXPECT_LE(rssAfterLast - rssAfterFirst, 1024) << "the host's memory grew from run to run";
  }
}

}  // namespace
