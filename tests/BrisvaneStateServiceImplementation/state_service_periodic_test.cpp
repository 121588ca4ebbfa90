#include <gtest/gtest.h>

#include <chrono>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "runtime/clock.h"
#include "runtime/main_loop.h"
#include "support/service_fakes.h"
#include "support/wait.h"

namespace {

using brisvane::BrisvaneStateServiceImpl;
using host::SystemSleepEvent;
using std::chrono::hours;
using std::chrono::nanoseconds;
using testsupport::waitFor;

// The virtual clock is in place before the service is built, and outlives it.
struct VirtualTime {
  platform::VirtualClock clock;
  platform::ScopedClockOverride useClock{clock};
};

// A service on a virtual clock whose periodic task can be counted through the clock's sleepers.
struct PeriodicHarness : VirtualTime, testsupport::ServiceHarness {
  PeriodicHarness() {
    reader->setValue(true);
    build();
    EXPECT_TRUE(waitFor([&] { return reader->reads() == 2; }));
    EXPECT_TRUE(waitFor([&] { return clock.sleepingTaskCount() == 1; }));
  }

  // Delivers a sleep or wake event through the main loop, as the service receives them.
  void deliver(SystemSleepEvent event) {
    sleep->send(event);
    platform::MainLoop::main().runPending();
  }
  // Advances virtual time and waits for the refreshes that it should cause.
  void advanceExpectingReads(nanoseconds by, int expectedReads) {
    clock.advance(by);
    EXPECT_TRUE(waitFor([&] { return reader->reads() == expectedReads; }));
  }
};

TEST(StateServicePeriodicRefresh, RefreshesEverySixHoursWhileAwake) {
  PeriodicHarness h;
  EXPECT_TRUE(h.service->hasPeriodicRefreshTask());
  h.clock.advance(hours(6) - nanoseconds(1));
  EXPECT_EQ(h.reader->reads(), 2);
  h.advanceExpectingReads(nanoseconds(1), 3);
  // The task sleeps again for the next period.
  ASSERT_TRUE(waitFor([&] { return h.clock.sleepingTaskCount() == 1; }));
  h.advanceExpectingReads(hours(6), 4);
}

TEST(StateServicePeriodicRefresh, SleepStopsTheTaskAndWakeRestartsTheWait) {
  PeriodicHarness h;
  h.clock.advance(hours(5));
  h.deliver(SystemSleepEvent::sleep);
  EXPECT_FALSE(h.service->hasPeriodicRefreshTask());
  ASSERT_TRUE(waitFor([&] { return h.clock.sleepingTaskCount() == 0; }));
  h.clock.advance(hours(24));
  EXPECT_EQ(h.reader->reads(), 2);

  h.deliver(SystemSleepEvent::wake);
  EXPECT_TRUE(h.service->hasPeriodicRefreshTask());
  ASSERT_TRUE(waitFor([&] { return h.clock.sleepingTaskCount() == 1; }));
  // No refresh at wake; the first comes 6 hours after it.
  h.clock.advance(hours(6) - nanoseconds(1));
  EXPECT_EQ(h.reader->reads(), 2);
  h.advanceExpectingReads(nanoseconds(1), 3);
}

TEST(StateServicePeriodicRefresh, TwoWakesInARowLeaveOneTask) {
  PeriodicHarness h;
  h.deliver(SystemSleepEvent::wake);
  h.deliver(SystemSleepEvent::wake);
  ASSERT_TRUE(waitFor([&] { return h.clock.sleepingTaskCount() == 1; }));
  h.advanceExpectingReads(hours(6), 3);
  // Had a second task survived, a fourth read would follow.
  ASSERT_TRUE(waitFor([&] { return h.clock.sleepingTaskCount() == 1; }));
  EXPECT_EQ(h.reader->reads(), 3);
}

TEST(StateServicePeriodicRefresh, DroppingTheServiceEndsThePeriodicTask) {
  PeriodicHarness h;
  std::weak_ptr<BrisvaneStateServiceImpl> weak = h.service;
  h.service.reset();
  EXPECT_TRUE(weak.expired());
  ASSERT_TRUE(waitFor([&] { return h.clock.sleepingTaskCount() == 0; }));
  h.clock.advance(hours(12));
  EXPECT_EQ(h.reader->reads(), 2);
}

}  // namespace
