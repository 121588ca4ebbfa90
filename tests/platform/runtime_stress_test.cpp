#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "runtime/async_stream.h"
#include "runtime/clock.h"
#include "runtime/main_loop.h"
#include "runtime/serial_executor.h"
#include "runtime/task.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;
using platform::Task;
using platform::TaskHandle;
using Stream = platform::AsyncStream<int>;

#if defined(BRISVANE_SANITIZED)
constexpr int kRuns = 1000;
#else
constexpr int kRuns = 5000;
#endif

// Starts `count` threads that wait at one barrier and then each run their own function, so the
// functions race as closely as threads can.
void race(std::vector<std::function<void()>> contenders) {
  std::latch start(static_cast<std::ptrdiff_t>(contenders.size()));
  std::vector<std::thread> threads;
  for (auto& contender : contenders) {
    threads.emplace_back([&start, &contender] {
      start.arrive_and_wait();
      contender();
    });
  }
  for (auto& thread : threads) thread.join();
}

TEST(RuntimeStressTest, StreamTerminationRunsOnceWhenFinishCancelAndDropRace) {
  for (int run = 0; run < kRuns; ++run) {
    auto streamAndContinuation = Stream::makeStream();
    auto& stream = streamAndContinuation.first;
    auto& continuation = streamAndContinuation.second;
    auto consumer = std::make_unique<Stream>(std::move(stream));
    std::atomic<int> terminations{0};
    continuation.onTermination([&] { ++terminations; });
    // Each contender owns its copy of the continuation.
    Stream::Continuation producer = continuation;
    Stream::Continuation registrar = continuation;
    Stream::Continuation dropped = std::move(continuation);
    race({[&] {
            producer.yield(1);
            producer.finish();
          },
          [&] { consumer->cancel(); },
          [&] {
            registrar.onTermination([&] { ++terminations; });
            registrar = Stream::Continuation();
          },
          [&] { dropped = Stream::Continuation(); }});
    consumer.reset();
    ASSERT_EQ(terminations, 2) << "run " << run;  // two handlers, each exactly once
  }
}

TEST(RuntimeStressTest, StreamTerminationRunsOnceWhenFinishRacesTheConsumersCancellation) {
  for (int run = 0; run < kRuns / 5; ++run) {
    auto streamAndContinuation = Stream::makeStream();
    auto& stream = streamAndContinuation.first;
    auto& continuation = streamAndContinuation.second;
    std::atomic<int> terminations{0};
    continuation.onTermination([&] { ++terminations; });
    std::atomic<bool> isWaiting{false};
    std::vector<int> received;
    auto consumer = Task::detached([&, s = std::make_shared<Stream>(std::move(stream))] {
      isWaiting = true;
      while (auto value = s->next()) received.push_back(*value);
    });
    ASSERT_TRUE(testsupport::waitFor([&] { return isWaiting.load(); }));
    race({[&] {
            for (int i = 0; i < 3; ++i) continuation.yield(i);
            continuation.finish();
          },
          [&] { consumer.cancel(); }});
    ASSERT_TRUE(testsupport::waitFor([&] { return consumer.isFinished(); }));
    ASSERT_EQ(terminations, 1) << "run " << run;
    ASSERT_LE(received.size(), 3u);
    for (std::size_t i = 0; i < received.size(); ++i) ASSERT_EQ(received[i], int(i));
  }
}

TEST(RuntimeStressTest, ConsumerGetsAnInOrderPrefixWhenYieldsRaceFinish) {
  for (int run = 0; run < kRuns / 5; ++run) {
    auto streamAndContinuation = Stream::makeStream();
    auto& stream = streamAndContinuation.first;
    auto& continuation = streamAndContinuation.second;
    std::vector<int> received;
    race({[&, c = continuation] {
            for (int i = 0; i < 50; ++i) c.yield(i);
          },
          [&] { continuation.finish(); },
          [&] {
            while (auto value = stream.next()) received.push_back(*value);
          }});
    for (std::size_t i = 0; i < received.size(); ++i) ASSERT_EQ(received[i], int(i));
  }
}

// Sleeps registering while the clock advances must never miss their wake-up.
TEST(RuntimeStressTest, VirtualSleepsRacingAdvancesAreNeverLost) {
  platform::VirtualClock clock;
  platform::ScopedClockOverride useClock(clock);
  constexpr int kTasks = 8;
  constexpr int kSleepsEach = kRuns / 20;
  std::atomic<int> done{0};
  std::vector<TaskHandle> tasks;
  for (int t = 0; t < kTasks; ++t) {
    tasks.push_back(Task::detached([&] {
      for (int i = 0; i < kSleepsEach; ++i) Task::sleep(1'000'000);
      ++done;
    }));
  }
  EXPECT_TRUE(testsupport::waitFor([&] {
    clock.advance(1ms);
    return done == kTasks;
  })) << done
      << " of " << kTasks << " finished";
}

TEST(RuntimeStressTest, CancellationRacingTheStartOfASleepAlwaysEndsIt) {
  platform::VirtualClock clock;
  platform::ScopedClockOverride useClock(clock);
  for (int run = 0; run < kRuns / 5; ++run) {
    std::latch started(1);
    auto task = Task::detached([&] {
      started.count_down();
      Task::sleep(21'600'000'000'000ULL);
    });
    started.wait();
    task.cancel();
    ASSERT_TRUE(testsupport::waitFor([&] { return task.isFinished(); })) << "run " << run;
  }
}

TEST(RuntimeStressTest, TimerCancelledFromAnotherThreadRunsAtMostOnce) {
  platform::VirtualClock clock;
  platform::ScopedClockOverride useClock(clock);
  auto& loop = platform::MainLoop::main();
  constexpr int kTimers = 2000;
  std::vector<int> runs(kTimers, 0);
  std::vector<platform::TimerHandle> handles;
  for (int i = 0; i < kTimers; ++i) {
    handles.push_back(loop.postAfter(1ms, [&runs, i] { ++runs[i]; }));
  }
  clock.advance(1ms);
  std::thread canceller([&] {
    for (auto& handle : handles) handle.cancel();
  });
  while (clock.pendingTimerCount() > 0) loop.runPending();
  canceller.join();
  loop.runPending();
  for (int i = 0; i < kTimers; ++i) ASSERT_LE(runs[i], 1) << "timer " << i;
}

TEST(RuntimeStressTest, RunningLoopTakesPostsFromManyThreadsUntilStopped) {
  auto& loop = platform::MainLoop::main();
  constexpr int kThreads = 4;
  const int kPostsEach = kRuns;
  std::vector<int> next(kThreads, 0);
  int outOfOrder = 0;
  std::atomic<int> finishedThreads{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPostsEach; ++i) {
        loop.post([&, t, i] {
          if (next[t]++ != i) ++outOfOrder;
        });
      }
      if (++finishedThreads == kThreads) loop.post([&] { loop.stop(); });
    });
  }
  loop.run();
  for (auto& poster : posters) poster.join();
  EXPECT_EQ(outOfOrder, 0);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kPostsEach);
}

TEST(RuntimeStressTest, SerialExecutorsUsedFromManyTasksStayConsistent) {
  platform::SerialExecutor executor;
  int counter = 0;  // only touched by the executor's operations
  constexpr int kTasks = 16;
  std::vector<TaskHandle> tasks;
  for (int t = 0; t < kTasks; ++t) {
    tasks.push_back(Task::detached([&] {
      for (int i = 0; i < kRuns / 10; ++i) executor.run([&] { ++counter; });
    }));
  }
  for (auto& task : tasks) task.wait();
  EXPECT_EQ(executor.run([&] { return counter; }), kTasks * (kRuns / 10));
}

}  // namespace
