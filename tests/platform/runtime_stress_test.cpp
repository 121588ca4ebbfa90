#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include "platform/async_stream.h"
#include "platform/clock.h"
#include "platform/main_loop.h"
#include "platform/task.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;
using platform::Task;
using Stream = platform::AsyncStream<int>;

#if defined(BRISVANE_SANITIZED)
constexpr int kRuns = 1000;
#else
constexpr int kRuns = 5000;
#endif

// Runs the functions on threads of their own, released together from one barrier.
void race(std::vector<std::function<void()>> contenders) {
  std::latch start(std::ptrdiff_t(contenders.size()));
  std::vector<std::thread> threads;
  for (auto& contender : contenders) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      contender();
    });
  }
  for (auto& thread : threads) thread.join();
}

TEST(RuntimeStressTest, StreamEndsOnceAndInOrderWhenProducersAndConsumersRace) {
  for (int run = 0; run < kRuns; ++run) {
    auto [stream, continuation] = Stream::makeStream();
    auto consumer = std::make_unique<Stream>(std::move(stream));
    std::atomic<int> terminations{0};
    continuation.onTermination([&] { ++terminations; });
    Stream::Continuation producer = continuation, registrar = continuation;
    std::vector<int> received;
    race({[&] {
            for (int i = 0; i < 5; ++i) producer.yield(i);
            producer.finish();
          },
          [&, &stream = *consumer] {
            if (run % 2 == 0) stream.cancel();
            while (auto value = stream.next()) received.push_back(*value);
          },
          [&] {
            registrar.onTermination([&] { ++terminations; });
            registrar = Stream::Continuation();
          },
          [&] { continuation = Stream::Continuation(); }});
    consumer.reset();
    ASSERT_EQ(terminations, 2) << "run " << run;  // two handlers, each exactly once
    for (std::size_t i = 0; i < received.size(); ++i) ASSERT_EQ(received[i], int(i)) << "run " << run;
  }
}

TEST(RuntimeStressTest, CancellingATaskRacingItsSleepOrStreamWaitAlwaysEndsIt) {
  platform::VirtualClock clock;
  platform::ScopedClockOverride useClock(clock);
  for (int run = 0; run < kRuns / 5; ++run) {
    auto [stream, continuation] = Stream::makeStream();
    std::latch started(1);
    auto task = Task::detached([&, s = std::make_shared<Stream>(std::move(stream))] {
      started.count_down();
      run % 2 ? (void)s->next() : Task::sleep(21'600'000'000'000ULL);
    });
    started.wait();
    task.cancel();
    ASSERT_TRUE(testsupport::waitFor([&] { return task.isFinished(); })) << "run " << run;
  }
}

// Sleeps registering while the clock advances must never miss their wake-up.
TEST(RuntimeStressTest, VirtualSleepsRacingAdvancesAreNeverLost) {
  platform::VirtualClock clock;
  platform::ScopedClockOverride useClock(clock);
  std::atomic<int> done{0};
  std::vector<platform::TaskHandle> tasks;
  for (int t = 0; t < 8; ++t) {
    tasks.push_back(Task::detached([&] {
      for (int i = 0; i < kRuns / 20; ++i) Task::sleep(1'000'000);
      ++done;
    }));
  }
  EXPECT_TRUE(testsupport::waitFor([&] {
    clock.advance(1ms);
    return done == 8;
  })) << done << " of 8 finished";
}

TEST(RuntimeStressTest, TimerCancelledFromAnotherThreadRunsAtMostOnce) {
  platform::VirtualClock clock;
  platform::ScopedClockOverride useClock(clock);
  auto& loop = platform::MainLoop::main();
  std::vector<int> runs(2000, 0);
  std::vector<platform::TimerHandle> handles;
  for (int i = 0; i < 2000; ++i) handles.push_back(loop.postAfter(1ms, [&runs, i] { ++runs[i]; }));
  clock.advance(1ms);
  std::thread canceller([&] {
    for (auto& handle : handles) handle.cancel();
  });
  while (clock.pendingTimerCount() > 0) loop.runPending();
  canceller.join();
  loop.runPending();
  for (int i = 0; i < 2000; ++i) ASSERT_LE(runs[i], 1) << "timer " << i;
}

}  // namespace
