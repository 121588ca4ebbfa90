#include "runtime/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "runtime/task.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;
using platform::Duration;
using platform::Task;
using platform::TaskHandle;
using platform::VirtualClock;

std::uint64_t nanos(Duration d) {
  return static_cast<std::uint64_t>(d.count());
}

TEST(ClockTest, RealClocksFollowTheSystem) {
  const auto before = std::chrono::steady_clock::now();
  const auto now = platform::currentClock().now();
  const auto after = std::chrono::steady_clock::now();
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);

  const double wallBefore =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const double wall = platform::currentTimeIntervalSince1970();
  const double wallAfter =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_LE(wallBefore, wall);
  EXPECT_LE(wall, wallAfter);
}

TEST(ClockTest, OverridesNestAndRestoreTheClockBeforeThem) {
  VirtualClock outer;
  VirtualClock inner;
  platform::Clock* const real = &platform::currentClock();
  {
    platform::ScopedClockOverride useOuter(outer);
    EXPECT_EQ(&platform::currentClock(), &outer);
    {
      platform::ScopedClockOverride useInner(inner);
      EXPECT_EQ(&platform::currentClock(), &inner);
    }
    EXPECT_EQ(&platform::currentClock(), &outer);
  }
  EXPECT_EQ(&platform::currentClock(), real);
}

TEST(ClockTest, VirtualTimeMovesOnlyByAdvance) {
  VirtualClock clock;
  const auto start = clock.now();
  EXPECT_EQ(clock.now(), start);
  clock.advance(6h);
  clock.advance(1ns);
  clock.advance(0ns);
  EXPECT_EQ(clock.now() - start, 6h + 1ns);
  EXPECT_EQ(VirtualClock().now(), start) << "every virtual clock starts at the same point";
}

// Each advance wakes exactly the sleeps whose deadline it passed, and only those on the clock
// being advanced.
TEST(ClockTest, AdvanceWakesTheSleepsItsNewTimeHasReached) {
  VirtualClock clock;
  VirtualClock unrelated;
  std::vector<TaskHandle> tasks;
  {
    platform::ScopedClockOverride useClock(clock);
    for (Duration d : {3s, 1s, 2s, 2s}) {
      tasks.push_back(Task::detached([d] { Task::sleep(nanos(d)); }));
    }
    ASSERT_TRUE(testsupport::waitFor([&] { return clock.sleepingTaskCount() == 4; }));
  }
  TaskHandle onUnrelated;
  {
    platform::ScopedClockOverride useUnrelated(unrelated);
    onUnrelated = Task::detached([] { Task::sleep(nanos(1s)); });
    ASSERT_TRUE(testsupport::waitFor([&] { return unrelated.sleepingTaskCount() == 1; }));
  }
  struct Step {
    Duration advance;
    std::size_t stillSleeping;
  };
  const Step steps[] = {{999ms, 4}, {1ms, 3}, {500ms, 3}, {500ms, 1}, {10s, 0}};
  for (const auto& step : steps) {
    clock.advance(step.advance);
    EXPECT_EQ(clock.sleepingTaskCount(), step.stillSleeping);
  }
  for (auto& task : tasks) EXPECT_TRUE(testsupport::waitFor([&] { return task.isFinished(); }));
  EXPECT_EQ(unrelated.sleepingTaskCount(), 1u);
  EXPECT_FALSE(onUnrelated.isFinished());
  unrelated.advance(1s);
  EXPECT_TRUE(testsupport::waitFor([&] { return onUnrelated.isFinished(); }));
}

TEST(ClockTest, ASleepOutlivingItsVirtualClockEndsOnlyByCancellation) {
  std::atomic<bool> didRaise{false};
  TaskHandle task;
  {
    auto clock = std::make_unique<VirtualClock>();
    platform::ScopedClockOverride useClock(*clock);
    task = Task::detached([&] {
      try {
        Task::sleep(nanos(1s));
      } catch (const platform::TaskCancelled&) {
        didRaise = true;
      }
    });
    ASSERT_TRUE(testsupport::waitFor([&] { return clock->sleepingTaskCount() == 1; }));
  }
  // The clock is gone: another one, likely at the same address, must not wake the sleep.
  auto other = std::make_unique<VirtualClock>();
  other->advance(1h);
  EXPECT_EQ(other->sleepingTaskCount(), 0u);
  EXPECT_FALSE(task.isFinished());
  task.cancel();
  EXPECT_TRUE(testsupport::waitFor([&] { return task.isFinished(); }));
  EXPECT_TRUE(didRaise);
}

}  // namespace
