#include "platform/main_loop.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/detail/runtime_clock.h"
#include "platform/task.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;
using platform::Duration;
using platform::MainLoop;

constexpr Duration kGuard = 20s;  // deadlock guard only

class MainLoopTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Nothing a test left behind may run in the next one.
    loop.runPending();
  }

  MainLoop& loop = MainLoop::main();
  platform::VirtualClock clock;
  platform::ScopedClockOverride useVirtualTime{clock};
};

TEST_F(MainLoopTest, TimersRunInDeadlineOrderAndCancelledOnesNever) {
  struct Timer {
    Duration delay;
    bool isCancelled;
  };
  // Equal deadlines run in the order they were set. The last one is cancelled by timer 0 when
  // both are due in the same pump.
  const std::vector<Timer> timers = {{30ms, false}, {10ms, false}, {20ms, true}, {10ms, false},
                                     {0ms, false},  {25ms, true},  {40ms, false}};
  std::vector<int> ran;
  std::vector<platform::TimerHandle> handles;
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  for (std::size_t i = 0; i < timers.size(); ++i) {
    handles.push_back(loop.postAfter(
        timers[i].delay, [&ran, &handles, i, t = i == 2 ? token : nullptr] {
          ran.push_back(int(i));
          if (i == 0) handles[6].cancel();
        }));
  }
  token.reset();
  EXPECT_FALSE(watch.expired());
  for (std::size_t i = 0; i < timers.size(); ++i) {
    if (timers[i].isCancelled) handles[i].cancel();
  }
  EXPECT_TRUE(watch.expired()) << "cancelling a timer frees its block at once";
  handles[2].cancel();  // cancelling twice is harmless
  EXPECT_EQ(clock.pendingTimerCount(), 5u);

  loop.runPending();
  EXPECT_EQ(ran, (std::vector<int>{4}));
  clock.advance(10ms - 1ns);
  loop.runPending();
  EXPECT_EQ(ran, (std::vector<int>{4}));
  clock.advance(1ns);
  loop.runPending();
  EXPECT_EQ(ran, (std::vector<int>{4, 1, 3}));
  clock.advance(1h);
  loop.runPending();
  EXPECT_EQ(ran, (std::vector<int>{4, 1, 3, 0}));
  EXPECT_EQ(clock.pendingTimerCount(), 0u);
}

TEST_F(MainLoopTest, AdvanceWakesARunningLoopForDueTimers) {
  bool hasFired = false;
  loop.postAfter(6h, [&] {
    hasFired = true;
    loop.stop();
  });
  std::thread advancer([&] {
    if (!testsupport::waitFor([&] { return clock.pendingTimerCount() == 1; })) {
      loop.stop();  // the check below fails instead of the test hanging
      return;
    }
    clock.advance(6h);
  });
  loop.run();  // blocks with no timeout until the advance wakes it
  advancer.join();
  EXPECT_TRUE(hasFired);
}

TEST_F(MainLoopTest, PostsFromManyThreadsKeepEachThreadsOrder) {
  constexpr int kThreads = 6;
  constexpr int kPostsPerThread = 2000;
  std::vector<std::vector<int>> seen(kThreads);
  int total = 0;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPostsPerThread; ++i) {
        loop.post([&, t, i] {
          EXPECT_TRUE(loop.isMainThread());
          seen[t].push_back(i);
          ++total;
        });
      }
    });
  }
  EXPECT_TRUE(loop.runUntil([&] { return total == kThreads * kPostsPerThread; }, kGuard));
  for (auto& poster : posters) poster.join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), std::size_t(kPostsPerThread));
    for (int i = 0; i < kPostsPerThread; ++i) ASSERT_EQ(seen[t][i], i) << "thread " << t;
  }
}

TEST_F(MainLoopTest, RunUntilSeesStateChangedByAnotherThread) {
  std::atomic<bool> isDone{false};
  auto task = platform::Task::detached([&] { isDone = true; });
  EXPECT_TRUE(loop.runUntil([&] { return isDone.load(); }, kGuard));
  task.wait();
}

TEST_F(MainLoopTest, StopFromAnotherThreadEndsRunAndIsNotLostBeforeRun) {
  std::thread stopper([&] { loop.stop(); });
  stopper.join();
  loop.run();  // the stop that came first is kept
  std::atomic<int> ran{0};
  std::thread poster([&] {
    loop.post([&] { ++ran; });
    loop.post([&] { loop.stop(); });
  });
  loop.run();
  poster.join();
  EXPECT_EQ(ran, 1);
}

TEST_F(MainLoopTest, ABlockThatThrowsDoesNotStopTheLoop) {
  bool hasRun = false;
  loop.post([] { throw std::runtime_error("broken block"); });
  loop.post([&] { hasRun = true; });
  testing::internal::CaptureStderr();
  EXPECT_EQ(loop.runPending(), 2u);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(hasRun);
  EXPECT_NE(err.find("broken block"), std::string::npos) << err;
}

TEST_F(MainLoopTest, WatchReadableCallsBackOnTheMainThreadUntilTheHandleGoes) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  int calls = 0;
  std::string received;
  auto watch = loop.watchReadable(fds[0], [&] {
    EXPECT_TRUE(loop.isMainThread());
    char buffer[16];
    const auto n = ::read(fds[0], buffer, sizeof buffer);
    received.append(buffer, std::size_t(n));
    ++calls;
  });
  EXPECT_EQ(loop.runPending(), 0u);
  std::thread writer([&] { ASSERT_EQ(::write(fds[1], "abc", 3), 3); });
  EXPECT_TRUE(loop.runUntil([&] { return calls == 1; }, kGuard));
  writer.join();
  EXPECT_EQ(received, "abc");

  EXPECT_THROW((void)loop.watchReadable(fds[0], [] {}), std::system_error);

  watch = platform::FdWatch();
  ASSERT_EQ(::write(fds[1], "d", 1), 1);
  EXPECT_EQ(loop.runPending(), 0u);
  EXPECT_EQ(calls, 1);

  // Watching may start again once the old watch is gone; cancelling from inside the callback
  // returns at once.
  platform::FdWatch again;
  again = loop.watchReadable(fds[0], [&] {
    ++calls;
    again.cancel();
  });
  EXPECT_EQ(loop.runPending(), 1u);
  EXPECT_EQ(loop.runPending(), 0u);
  EXPECT_EQ(calls, 2);
  ::close(fds[0]);
  ::close(fds[1]);
}

// Posted blocks, timers and tasks hold their owner weakly: an owner destroyed while they are
// pending is neither kept alive nor called.
TEST_F(MainLoopTest, PendingWorkDoesNotKeepItsOwnerAliveNorRunForAGoneOwner) {
  struct Owner {
    int calls = 0;
  };
  auto owner = std::make_shared<Owner>();
  std::weak_ptr<Owner> weakOwner = owner;
  std::atomic<bool> hasTaskSlept{false};
  std::atomic<bool> didTaskReachOwner{false};

  loop.post(weakOwner, [](Owner& self) { ++self.calls; });
  loop.postAfter(1h, weakOwner, [](Owner& self) { ++self.calls; });
  auto task = platform::Task::detached([weakOwner, &hasTaskSlept, &didTaskReachOwner] {
    platform::Task::sleep(std::chrono::nanoseconds(1h).count());
    hasTaskSlept = true;
    if (auto self = weakOwner.lock()) didTaskReachOwner = true;
  });
  ASSERT_TRUE(testsupport::waitFor([&] { return clock.sleepingTaskCount() == 1; }));

  owner.reset();
  EXPECT_TRUE(weakOwner.expired()) << "pending work kept its owner alive";
  clock.advance(1h);
  task.wait();
  EXPECT_EQ(loop.runPending(), 2u);  // both ran, as no-ops
  EXPECT_TRUE(hasTaskSlept);
  EXPECT_FALSE(didTaskReachOwner);
  EXPECT_EQ(clock.pendingTimerCount(), 0u);
}

TEST_F(MainLoopTest, TimersOfADestroyedVirtualClockAreDroppedWithoutRunning) {
  bool hasRun = false;
  auto captured = std::make_shared<int>(0);
  std::weak_ptr<int> watch = captured;
  {
    platform::VirtualClock other;
    platform::ScopedClockOverride useOther(other);
    loop.postAfter(1s, [&hasRun, captured] { hasRun = true; });
  }
  captured.reset();
  EXPECT_TRUE(watch.expired());
  clock.advance(1h);
  loop.runPending();
  EXPECT_FALSE(hasRun);
}

// The loop must not wake up while idle. The arguments of the system call a blocked thread is in
// are visible in /proc, so the timeout it waits with can be checked without letting time pass.
long idleWaitTimeoutOfMainThread() {
  const std::string path = "/proc/self/task/" + std::to_string(::getpid()) + "/syscall";
  std::ifstream file(path);
  long number = -1;
  std::string fd, events, maxEvents, timeout;
  if (!(file >> number)) return -2;
#if defined(__x86_64__)
  if (number != SYS_epoll_wait && number != SYS_epoll_pwait) return -3;
#else
  if (number != SYS_epoll_pwait) return -3;
#endif
  file >> fd >> events >> maxEvents >> timeout;
  // The timeout is an int: only the low 32 bits of the register are meaningful.
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::stoull(timeout, nullptr, 16)));
}

TEST_F(MainLoopTest, AnIdleLoopWaitsWithoutATimeout) {
  {
    std::ifstream probe("/proc/self/task/" + std::to_string(::getpid()) + "/syscall");
    long number;
    if (!(probe >> number)) GTEST_SKIP() << "/proc/<tid>/syscall is not readable here";
  }
  struct Case {
    const char* name;
    bool hasVirtualTimer;
    bool hasRealTimerInAnHour;
    bool isTimeoutInfinite;
  };
  const Case cases[] = {{"nothing pending", false, false, true},
                        {"a timer on a virtual clock", true, false, true},
                        {"a real timer in an hour", false, true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<platform::TimerHandle> timers;
    if (c.hasVirtualTimer) timers.push_back(loop.postAfter(1s, [] {}));
    if (c.hasRealTimerInAnHour) {
      platform::ScopedClockOverride useRealTime(platform::detail::realClock());
      timers.push_back(loop.postAfter(1h, [] {}));
    }
    long seen = -4;
    std::thread observer([&] {
      testsupport::waitFor([&] {
        seen = idleWaitTimeoutOfMainThread();
        return seen == -1 || seen > 0;
      });
      loop.stop();
    });
    loop.run();
    observer.join();
    if (c.isTimeoutInfinite) {
      EXPECT_EQ(seen, -1);
    } else {
      EXPECT_GT(seen, 0);
    }
    for (auto& timer : timers) timer.cancel();
  }
}

using MainLoopDeathTest = MainLoopTest;

TEST_F(MainLoopDeathTest, PumpingOffTheMainThreadIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        std::thread other([&] { loop.runPending(); });
        other.join();
      },
      "must be called on the main thread");
}

}  // namespace
