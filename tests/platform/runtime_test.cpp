// The contracts of tasks, the virtual clock, the main loop, serial executors and async streams
// that their callers rely on: ordering, cancellation, lifetimes and virtual time.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <latch>
#include <memory>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "runtime/async_stream.h"
#include "runtime/clock.h"
#include "runtime/main_loop.h"
#include "runtime/serial_executor.h"
#include "runtime/task.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;
using namespace platform;
using Stream = AsyncStream<int>;
using testsupport::waitFor;

struct RuntimeTest : ::testing::Test {
  void TearDown() override { loop.runPending(); }  // nothing left runs in the next test
  MainLoop& loop = MainLoop::main();
  VirtualClock clock;
  ScopedClockOverride useVirtualTime{clock};
};

// Each advance wakes exactly the sleeps whose deadline it reached, on the advanced clock only, and
// lets the loop run the timers it made due, never early. Equal deadlines run in posting order;
// timers 2 and 5 are cancelled before they are due, timer 6 by timer 0 in the same pump.
TEST_F(RuntimeTest, AdvanceWakesTheSleepsAndTimersItsNewTimeHasReachedAndNoOthers) {
  VirtualClock unrelated;
  std::vector<TaskHandle> tasks;
  for (Duration d : {3s, 1s, 2s, 2s})
    tasks.push_back(Task::detached([d] { Task::sleep(d.count()); }));
  ASSERT_TRUE(waitFor([&] { return clock.sleepingTaskCount() == 4; }));
  TaskHandle onUnrelated;
  {
    ScopedClockOverride useUnrelated(unrelated);
    onUnrelated = Task::detached([] { Task::sleep(Duration(1s).count()); });
    ASSERT_TRUE(waitFor([&] { return unrelated.sleepingTaskCount() == 1; }));
  }
  const Duration timers[] = {3s, 1s, 2s, 1s, 0s, 2500ms, 3s};
  std::vector<int> ran;
  std::vector<TimerHandle> handles;
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  for (int i = 0; i < 7; ++i) {
    handles.push_back(loop.postAfter(timers[i], [&, i, t = i == 2 ? token : nullptr] {
      ran.push_back(i);
      if (i == 0) handles[6].cancel();
    }));
  }
  token.reset();
  for (const int i : {2, 5}) handles[i].cancel();
  EXPECT_TRUE(watch.expired()) << "cancelling a timer frees its block at once";
  EXPECT_EQ(clock.pendingTimerCount(), 5u);
  const std::tuple<Duration, std::size_t, std::vector<int>> steps[] = {
      {0ns, 4, {4}},       {1s - 1ns, 4, {4}},       {1ns, 3, {4, 1, 3}},  {1s - 1ns, 3, {4, 1, 3}},
      {1ns, 1, {4, 1, 3}}, {1s - 1ns, 1, {4, 1, 3}}, {1h, 0, {4, 1, 3, 0}}};
  for (const auto& [advance, stillSleeping, expected] : steps) {
    clock.advance(advance);
    EXPECT_EQ(clock.sleepingTaskCount(), stillSleeping);
    loop.runPending();
    EXPECT_EQ(ran, expected);
  }
  EXPECT_EQ(clock.pendingTimerCount(), 0u);
  for (auto& task : tasks) EXPECT_TRUE(waitFor([&] { return task.isFinished(); }));
  EXPECT_FALSE(onUnrelated.isFinished());
  unrelated.advance(1s);
  EXPECT_TRUE(waitFor([&] { return onUnrelated.isFinished(); }));
}

// Operations submitted from many threads run one at a time, in each submitter's order: main
// loop posts on the main thread, serial executor operations (run or posted) on any thread, and
// still after the executor is gone.
TEST_F(RuntimeTest, SubmissionsFromManyThreadsRunOneAtATimeInEachSubmittersOrder) {
  constexpr int kSubmitters = 4, kEach = 1000;
  for (const bool onLoop : {true, false}) {
    SCOPED_TRACE(onLoop ? "main loop" : "serial executor");
    auto executor = std::make_unique<platform::SerialExecutor>();
    std::atomic<int> inside{0}, overlaps{0}, finished{0};
    std::atomic<bool> allOnMain{true};
    std::vector<std::vector<int>> order(kSubmitters);
    std::latch release(1), ran(1);
    std::vector<std::thread> submitters;
    for (int s = 0; s < kSubmitters; ++s) {
      submitters.emplace_back([&, s] {
        for (int i = 0; i < kEach; ++i) {
          auto operation = [&, s, i] {
            overlaps += inside++ != 0;
            std::this_thread::yield();  // widens the window in which another operation could start
            allOnMain = allOnMain && loop.isMainThread();
            order[s].push_back(i);
            --inside;
          };
          onLoop ? loop.post(operation) : i % 3 == 0 ? executor->run(operation) : executor->post(operation);
        }
        if (++finished < kSubmitters) return;
        if (onLoop) return loop.post([&] { loop.stop(); });
        executor->post([&] { release.wait(); });  // still queued when the executor goes
        executor->post([&] { ran.count_down(); });
        executor.reset();
        release.count_down();
      });
    }
    if (onLoop) loop.run();
    for (auto& submitter : submitters) submitter.join();
    if (!onLoop) ran.wait();  // the last operation has run; everything before it too, in turn
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(allOnMain, onLoop);
    for (int s = 0; s < kSubmitters; ++s) {
      ASSERT_EQ(order[s].size(), std::size_t(kEach));
      for (int i = 0; i < kEach; ++i) ASSERT_EQ(order[s][i], i) << "submitter " << s;
    }
  }
  std::thread([&] { loop.stop(); }).join();
  loop.run();  // a stop that came before run() is kept
}

// Every way a stream can end runs its termination handler exactly once; what is yielded
// afterwards never reaches the consumer.
TEST(AsyncStreamTest, TerminationHandlerRunsOnceWhateverEndsTheStream) {
  const struct {
    const char* name;
    std::function<void(std::unique_ptr<Stream>&, std::optional<Stream::Continuation>&)> end;
    std::vector<int> delivered;
  } cases[] = {
      {"producer finishes twice", [](auto&, auto& c) { c->finish(); c->finish(); }, {1, 2}},
      {"consumer cancels", [](auto& s, auto&) { s->cancel(); }, {}},
      {"consumer dropped", [](auto& s, auto&) { s.reset(); }, {}},
      {"last continuation dropped", [](auto&, auto& c) { c.reset(); }, {1, 2}},
      {"consumer replaced", [](auto& s, auto&) { *s = Stream::makeStream().first; }, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto [stream, continuation] = Stream::makeStream();
    auto consumer = std::make_unique<Stream>(std::move(stream));
    std::optional<Stream::Continuation> producer = std::move(continuation);
    int terminations = 0;
    producer->onTermination([&] { ++terminations; });
    producer->yield(1);
    producer->yield(2);
    c.end(consumer, producer);
    EXPECT_EQ(terminations, 1);
    if (producer) producer->yield(99);
    std::vector<int> delivered;  // nothing once the consumer is gone
    while (auto value = consumer ? consumer->next() : std::nullopt) delivered.push_back(*value);
    EXPECT_EQ(delivered, c.delivered);
    consumer.reset();
    producer.reset();
    EXPECT_EQ(terminations, 1);
  }
  // A handler set after the end runs at once, outside the stream's lock.
  auto [stream, continuation] = Stream::makeStream();
  stream.cancel();
  int runs = 0;
  continuation.onTermination([&, c = continuation] {
    c.yield(5);
    c.onTermination([&] { ++runs; });
    ++runs;
  });
  EXPECT_EQ(runs, 2);
}

// Pulling and callback consumers get every value once, each producer's in order, one at a time;
// a callback consumer gets one end after the last value but none after a cancel, which also
// lets go of its callbacks.
TEST(AsyncStreamTest, ConsumersGetEveryValueOnceInEachProducersOrder) {
  constexpr int kProducers = 4, kEach = 2000;
  for (const int mode : {0, 1, 2}) {  // pulling, callback finished, callback cancelled
    SCOPED_TRACE(mode);
    auto [stream, continuation] = Stream::makeStream();
    std::vector<int> last(kProducers, -1);
    std::atomic<int> count{0}, inside{0}, overlaps{0}, ends{0};
    auto onValue = [&](int value) {
      overlaps += inside++ != 0;
      if (value % 64 == 0) std::this_thread::yield();  // lets another producer try to deliver
      EXPECT_GT(value, last[value / kEach]);
      last[value / kEach] = value;
      ++count;
      --inside;
    };
    auto held = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = held;
    if (mode > 0) stream.forEach([onValue, held](int v) { onValue(v); }, [&ends] { ++ends; });
    held.reset();
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([p, c = continuation] {
        for (int i = 0; i < kEach; ++i) c.yield(p * kEach + i);
      });
    }
    for (auto& producer : producers) producer.join();
    if (mode == 2) stream.cancel();
    continuation = Stream::Continuation();
    while (auto value = mode == 0 ? stream.next() : std::nullopt) onValue(*value);
    EXPECT_EQ(count.load(), kProducers * kEach);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(ends.load(), mode == 1 ? 1 : 0);
    EXPECT_TRUE(watch.expired());
  }
}

}  // namespace
