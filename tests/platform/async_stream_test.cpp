#include "runtime/async_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "runtime/task.h"
#include "support/wait.h"

namespace {

using platform::AsyncStream;
using platform::Task;
using Stream = AsyncStream<int>;

std::vector<int> drain(Stream& stream) {
  std::vector<int> values;
  while (auto value = stream.next()) values.push_back(*value);
  return values;
}

TEST(AsyncStreamTest, ValuesYieldedBeforeTheConsumerReadsArriveInOrderThenTheEnd) {
  std::optional<Stream::Continuation> saved;
  Stream stream([&](Stream::Continuation continuation) {
    continuation.yield(1);
    continuation.yield(2);
    saved = continuation;
  });
  saved->yield(3);
  saved->finish();
  saved->yield(4);  // after the end: dropped
  EXPECT_EQ(drain(stream), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(stream.next(), std::nullopt);
}

// Every way a stream can end runs its termination handler exactly once, and what is yielded
// afterwards never reaches the consumer.
TEST(AsyncStreamTest, TerminationHandlerRunsOnceWhateverEndsTheStream) {
  struct Case {
    const char* name;
    std::function<void(std::unique_ptr<Stream>&, std::optional<Stream::Continuation>&)> end;
    std::vector<int> delivered;  // of the values 1 and 2 yielded before the end
  };
  const std::vector<Case> cases = {
      {"producer finishes", [](auto&, auto& c) { c->finish(); }, {1, 2}},
      {"producer finishes twice",
       [](auto&, auto& c) {
         c->finish();
         c->finish();
       },
       {1, 2}},
      {"consumer cancels", [](auto& s, auto&) { s->cancel(); }, {}},
      {"consumer dropped", [](auto& s, auto&) { s.reset(); }, {}},
      {"last continuation dropped", [](auto&, auto& c) { c.reset(); }, {1, 2}},
      {"finish then cancel",
       [](auto& s, auto& c) {
         c->finish();
         s->cancel();
       },
       {}},
      {"cancel then finish",
       [](auto& s, auto& c) {
         s->cancel();
         c->finish();
       },
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto streamAndContinuation = Stream::makeStream();
    auto& stream = streamAndContinuation.first;
    auto& continuation = streamAndContinuation.second;
    auto consumer = std::make_unique<Stream>(std::move(stream));
    std::optional<Stream::Continuation> producer = continuation;
    continuation = Stream::Continuation();
    int terminations = 0;
    producer->onTermination([&] { ++terminations; });
    producer->yield(1);
    producer->yield(2);
    c.end(consumer, producer);
    EXPECT_EQ(terminations, 1);
    if (producer) producer->yield(99);
    if (consumer) {
      EXPECT_EQ(drain(*consumer), c.delivered);
      consumer.reset();
    }
    producer.reset();
    EXPECT_EQ(terminations, 1);

    int late = 0;
    Stream::Continuation().onTermination([&] { ++late; });  // feeds nothing: never runs
    EXPECT_EQ(late, 0);
  }
}

TEST(AsyncStreamTest, HandlerSetAfterTheEndRunsAtOnce) {
  auto streamAndContinuation = Stream::makeStream();
  auto& continuation = streamAndContinuation.second;
  continuation.finish();
  int runs = 0;
  continuation.onTermination([&] { ++runs; });
  EXPECT_EQ(runs, 1);
}

TEST(AsyncStreamTest, HandlerMayUseTheStreamBecauseItRunsOutsideItsLock) {
  auto streamAndContinuation = Stream::makeStream();
  auto& stream = streamAndContinuation.first;
  auto& continuation = streamAndContinuation.second;
  int runs = 0;
  continuation.onTermination([&, c = continuation] {
    c.yield(5);  // would deadlock under the stream's lock
    c.finish();
    c.onTermination([&] { ++runs; });
    ++runs;
  });
  stream.cancel();
  EXPECT_EQ(runs, 2);
}

TEST(AsyncStreamTest, CancellingTheConsumingTaskEndsItsWaitAndTheStream) {
  auto streamAndContinuation = Stream::makeStream();
  auto& stream = streamAndContinuation.first;
  auto& continuation = streamAndContinuation.second;
  std::atomic<int> terminations{0};
  continuation.onTermination([&] { ++terminations; });
  std::atomic<bool> hasFirst{false};
  std::optional<int> afterCancel = 0;
  auto consumer = Task::detached([&, s = std::make_shared<Stream>(std::move(stream))] {
    hasFirst = s->next().has_value();
    afterCancel = s->next();  // waits until cancelled
  });
  continuation.yield(1);
  ASSERT_TRUE(testsupport::waitFor([&] { return hasFirst.load(); }));
  consumer.cancel();
  ASSERT_TRUE(testsupport::waitFor([&] { return consumer.isFinished(); }));
  EXPECT_EQ(afterCancel, std::nullopt);
  EXPECT_EQ(terminations, 1);
  continuation.yield(2);
  continuation.finish();
  EXPECT_EQ(terminations, 1);
}

TEST(AsyncStreamTest, ProducersOnManyThreadsKeepTheirOwnOrder) {
  constexpr int kProducers = 4;
  constexpr int kValuesEach = 5000;
  auto streamAndContinuation = Stream::makeStream();
  auto& stream = streamAndContinuation.first;
  auto& continuation = streamAndContinuation.second;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([p, c = continuation] {
      for (int i = 0; i < kValuesEach; ++i) c.yield(p * kValuesEach + i);
    });
  }
  continuation = Stream::Continuation();  // the stream ends when the last producer lets go
  for (auto& producer : producers) producer.join();
  std::vector<int> last(kProducers, -1);
  int count = 0;
  while (auto value = stream.next()) {
    const int p = *value / kValuesEach;
    ASSERT_GT(*value, last[p]);
    last[p] = *value;
    ++count;
  }
  EXPECT_EQ(count, kProducers * kValuesEach);
}

TEST(AsyncStreamTest, MovedFromConsumerEndsNothing) {
  auto streamAndContinuation = Stream::makeStream();
  auto& stream = streamAndContinuation.first;
  auto& continuation = streamAndContinuation.second;
  int terminations = 0;
  continuation.onTermination([&] { ++terminations; });
  Stream moved = std::move(stream);
  continuation.yield(7);
  EXPECT_EQ(terminations, 0);
  EXPECT_EQ(moved.next(), 7);
  moved = Stream::makeStream().first;  // the stream it held ends
  EXPECT_EQ(terminations, 1);
}

// A callback consumer gets the buffered values at once, later ones on the yielding threads, one
// at a time and each producer's in order; the end after the last value, but not after a cancel,
// which also lets go of the callbacks (they may hold the producer: a cycle otherwise).
TEST(AsyncStreamTest, CallbackConsumerGetsEveryValueOnceInOrderAndOneEnd) {
  constexpr int kProducers = 4;
  constexpr int kValuesEach = 2000;
  for (const bool cancels : {false, true}) {
    SCOPED_TRACE(cancels ? "cancelled" : "finished");
    auto [stream, continuation] = Stream::makeStream();
    continuation.yield(-1);
    std::vector<int> last(kProducers, -1);
    std::atomic<int> count{0}, inside{0}, overlaps{0}, ends{0};
    auto held = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = held;
    stream.forEach(
        [&, held](int value) {
          if (inside.fetch_add(1) != 0) ++overlaps;
          if (value >= 0) {
            EXPECT_GT(value, last[value / kValuesEach]);
            last[value / kValuesEach] = value;
          }
          ++count;
          inside.fetch_sub(1);
        },
        [&ends] { ++ends; });
    held.reset();
    EXPECT_EQ(count.load(), 1) << "a buffered value waits for no producer";
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([p, c = continuation] {
        for (int i = 0; i < kValuesEach; ++i) c.yield(p * kValuesEach + i);
      });
    }
    for (auto& producer : producers) producer.join();
    EXPECT_EQ(count.load(), 1 + kProducers * kValuesEach);
    EXPECT_EQ(overlaps.load(), 0);
    if (cancels) {
      stream.cancel();
      continuation.yield(0);
      EXPECT_EQ(count.load(), 1 + kProducers * kValuesEach) << "delivered after the cancel";
    }
    continuation = Stream::Continuation();
    EXPECT_EQ(ends.load(), cancels ? 0 : 1);
    EXPECT_TRUE(watch.expired());
  }
}

}  // namespace
