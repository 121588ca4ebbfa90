// A host holding the state service with nothing changing must not wake any of its threads: no
// polling, no timed waits short of the 6-hour refresh. Counted by the kernel, per thread.

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "messages/BrisvaneSettings.h"
#include "reliability/host_role.h"

TEST(Idle, HostHoldingTheServiceWakesNoThread) {
  reliability::Sandbox sandbox;
  reliability::makeWriterClient()->saveData(brisvane::BrisvaneSettings(true));
  reliability::HostSession host;
  ASSERT_TRUE(reliability::awaitAllThreadsSleeping(host.pid())) << "the host did not settle";
  const auto before = reliability::threadSwitches(host.pid());
  // The window is the measurement: nothing talks to the host meanwhile.
  std::this_thread::sleep_for(std::chrono::seconds(testsupport::scaled(3)));
  const auto after = reliability::threadSwitches(host.pid());
  // A sanitizer's runtime has a thread of its own that wakes periodically; it is left out.
  std::map<pid_t, long> runtime;
  std::istringstream threads(
      testsupport::field(host.ready.value_or(""), "runtime_threads").value_or(""));
  for (std::string tid; testsupport::isSanitized() && std::getline(threads, tid, ',');) {
    if (tid != "-") runtime[std::stoi(tid)] = 0;
  }
  EXPECT_EQ(reliability::voluntarySwitchesBetween(before, after, runtime), 0)
      << "threads woke while nothing changed";
  EXPECT_EQ(after.size(), before.size()) << "threads came or went while nothing changed";
  const std::string state = host.state();
  EXPECT_EQ(testsupport::numberField(state, "enabled"), 1) << state;
  EXPECT_EQ(testsupport::field(state, "keychain"), "true") << state;
}
