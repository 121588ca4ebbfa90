// A host holding the state service with nothing changing must not wake any of its threads: no
// polling, no timed waits short of the 6-hour refresh. Counted by the kernel, per thread.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

#include "messages/BrisvaneSettings.h"
#include "reliability/host_session.h"
#include "reliability/proc_stats.h"
#include "reliability/process.h"
#include "reliability/sandbox.h"

namespace {

using reliability::HostSession;

TEST(Idle, HostHoldingTheServiceWakesNoThread) {
  reliability::Sandbox sandbox;
  reliability::makeWriterClient()->saveData(brisvane::BrisvaneSettings(true));
  HostSession host;
  const int seconds = reliability::scaled(3);

  ASSERT_TRUE(reliability::awaitAllThreadsSleeping(host.pid()))
      << "the host's threads did not settle after start-up";
  const auto before = reliability::threadSwitches(host.pid());
  // The window is the measurement itself: the host is left alone for it, and nothing in this
  // process talks to it meanwhile.
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const auto after = reliability::threadSwitches(host.pid());

  // A sanitizer's runtime has a thread of its own that wakes periodically (ThreadSanitizer's
  // background thread); in those builds it is left out.
  std::map<pid_t, reliability::ThreadSwitches> runtime;
  if (reliability::isSanitized()) {
    for (const pid_t tid : host.runtimeThreads()) {
      if (after.count(tid) != 0) runtime.emplace(tid, after.at(tid));
    }
  }
  const long switches = reliability::voluntarySwitchesBetween(before, after, runtime);
  std::printf(
      "idle %d s: start-up %ld voluntary switches over %zu threads; idle %ld (all "
      "threads: %s; sanitizer runtime threads left out: %zu)\n",
      seconds, reliability::totalVoluntarySwitches(before), before.size(), switches,
      reliability::describeSwitches(before, after).c_str(), runtime.size());
  EXPECT_EQ(switches, 0) << "threads woke while nothing changed: "
                         << reliability::describeSwitches(before, after);
  EXPECT_EQ(after.size(), before.size()) << "threads came or went while nothing changed";

  // Still alive and right after the quiet period.
  const auto state = host.state();
  ASSERT_TRUE(state.has_value()) << "the host stopped answering";
  EXPECT_EQ(state->enabled, 1);
  EXPECT_EQ(state->keychain, "true");
}

}  // namespace
