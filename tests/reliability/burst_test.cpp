// Saves as fast as the writer can: the host must end on the value written last, and its threads
// and memory must not grow with the size of the burst.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

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
  // Odd, so that every run ends on the value the host did not have before it.
  const int saves = std::min(10000, reliability::scaled(2000, 100)) | 1;
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

    // Announcements that found the host's queue full reach it as one more callback after it has
    // read the queue, so the host sees fewer events than saves; it must still end on the last.
    ASSERT_TRUE(host.awaitValue(reliability::keychainText(last)))
        << "the host did not end on the last value written";
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

// Observers that stop reading: five sockets that never read and the host itself, stopped with
// SIGSTOP while the writer saves. The writer must finish without waiting for any of them (a
// post that waited for room would wait here until the test gave up), and the host, once it
// runs again, must end on the last value written.
TEST(Burst, StoppedObserversNeverHoldTheWriterAndTheHostResumesOnTheLastValue) {
  reliability::Sandbox sandbox;
  reliability::makeWriterClient()->saveData(brisvane::BrisvaneSettings(false));
  HostSession host;
  ASSERT_TRUE(host.command("quiet", "quiet"));
  std::vector<int> stopped;
  for (int i = 0; i < 5; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    (sandbox.notificationFolder() / ("stopped-" + std::to_string(i)))
        .native()
        .copy(address.sun_path, sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    stopped.push_back(fd);
  }
  ASSERT_EQ(::kill(host.pid(), SIGSTOP), 0);
  // Far more saves than a queue holds, odd so that the last one is the value the host lacks.
  Process writer(reliability::helperPath("writer"), {"burst", "501", "true"});
  const auto done = writer.readLineStartingWith("done", std::chrono::seconds(60));
  ASSERT_EQ(::kill(host.pid(), SIGCONT), 0);
  for (const int fd : stopped) ::close(fd);
  ASSERT_TRUE(done.has_value()) << "the writer waited for an observer that stopped reading";
  ASSERT_TRUE(writer.exitedCleanly());
  EXPECT_EQ(reliability::numberField(*done, "errors"), 0);
  ASSERT_EQ(reliability::numberField(*done, "last"), 1);
  ASSERT_TRUE(host.awaitValue("true")) << "the host did not resume on the last value written";
  const auto state = host.state();
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(state->enabled, 1);
  EXPECT_EQ(state->published, 1);
}

}  // namespace
