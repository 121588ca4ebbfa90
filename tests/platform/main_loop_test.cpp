#include "runtime/main_loop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/clock.h"
#include "runtime/detail/runtime_clock.h"
#include "runtime/task.h"
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
    handles.push_back(
        loop.postAfter(timers[i].delay, [&ran, &handles, i, t = i == 2 ? token : nullptr] {
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
// are visible in /proc, so the timeout it waits with can be checked without letting time pass:
// -1 for none, 1 for some.
long idleWaitTimeoutOfMainThread() {
  const std::string path = "/proc/self/task/" + std::to_string(::getpid()) + "/syscall";
  std::ifstream file(path);
  long number = -1;
  std::string fds, count, timeout;
  if (!(file >> number)) return -2;
  file >> fds >> count >> timeout;
  const auto value = std::stoull(timeout, nullptr, 16);
#if defined(SYS_poll)
  // The timeout is an int: only the low 32 bits of the register are meaningful.
  if (number == SYS_poll) return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
#endif
  if (number == SYS_ppoll) return value == 0 ? -1 : 1;  // no timespec: no timeout
  return -3;
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
    bool hasRealTimerInAnHour;  // sd-event's timer descriptor wakes the loop, not a timeout
  };
  const Case cases[] = {{"nothing pending", false, false},
                        {"a timer on a virtual clock", true, false},
                        {"a real timer in an hour", false, true}};
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
    EXPECT_EQ(seen, -1);
    for (auto& timer : timers) timer.cancel();
  }
}

// A host that nests the loop in its own poll() loop: fd() becomes readable for each kind of
// work, dispatch() runs it, and afterwards the descriptor is quiet (the host does not spin).
TEST_F(MainLoopTest, AHostPollingFdAndCallingDispatchRunsEveryKindOfWork) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  bool hasRun = false;
  platform::FdWatch watch;
  struct Case {
    const char* name;
    std::function<void()> setUp;
  };
  const Case cases[] = {{"a block posted from another thread",
                         [&] { std::thread([&] { loop.post([&] { hasRun = true; }); }).join(); }},
                        {"a real timer come due (sd-event's timer descriptor)",
                         [&] {
                           platform::ScopedClockOverride useRealTime(platform::detail::realClock());
                           loop.postAfter(1ms, [&] { hasRun = true; });
                         }},
                        {"a virtual clock advanced past a timer",
                         [&] {
                           loop.postAfter(1s, [&] { hasRun = true; });
                           loop.dispatch();
                           clock.advance(1s);
                         }},
                        {"a watched descriptor ready", [&] {
                           watch = loop.watchReadable(pipeFds[0], [&] {
                             char byte;
                             hasRun = ::read(pipeFds[0], &byte, 1) == 1;
                           });
                           ASSERT_EQ(::write(pipeFds[1], "x", 1), 1);
                         }}};
  pollfd host{loop.fd(), POLLIN, 0};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    hasRun = false;
    c.setUp();
    int rounds = 0;
    // At most two rounds: setting a real timer wakes the host once before it is due.
    while (!hasRun && rounds < 2) {
      ASSERT_EQ(::poll(&host, 1,
                       int(std::chrono::duration_cast<std::chrono::milliseconds>(kGuard).count())),
                1);
      loop.dispatch();
      ++rounds;
    }
    EXPECT_TRUE(hasRun);
    EXPECT_EQ(::poll(&host, 1, 0), 0) << "the descriptor stays readable with nothing to do";
  }
  watch.cancel();
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
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
