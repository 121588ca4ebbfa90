// Races between senders, subscribers, cancellers, producers and clock advances, repeated many
// times. BRISVANE_RELIABILITY_SCALE scales the number of runs of every test here, as it does the
// sizes of the reliability tests (a scale below 1 keeps sanitizer builds quick).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <latch>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "reactive/cancellable.h"
#include "reactive/publisher.h"
#include "reactive/subjects.h"
#include "runtime/async_stream.h"
#include "runtime/clock.h"
#include "runtime/task.h"
#include "support/process.h"
#include "support/wait.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using Stream = AsyncStream<int>;
using testsupport::scaled;

// Long-lived threads that run a body once per round. They wait by spinning, not on a futex,
// whose staggered wake-ups would serialise the race.
class Crew {
 public:
  explicit Crew(int size) : size_(size) {
    for (int i = 0; i < size; ++i) {
      threads_.emplace_back([this, i] {
        for (unsigned seen = 0, round;; seen = round) {
          while ((round = round_.load()) == seen) std::this_thread::yield();
          if (stop_) return;
          body_(i);
          ++finished_;
        }
      });
    }
  }
  ~Crew() {
    stop_ = true;
    ++round_;
    for (auto& thread : threads_) thread.join();
  }
  void start(std::function<void(int)> body) {
    body_ = std::move(body);
    finished_ = 0;
    ++round_;
  }
  void finish() {
    while (finished_ != size_) std::this_thread::yield();
  }

 private:
  const int size_;
  std::atomic<unsigned> round_{0};
  std::atomic<int> finished_{0};
  std::atomic<bool> stop_{false};
  std::function<void(int)> body_;
  std::vector<std::thread> threads_;
};

void spin(unsigned iterations) {
  for (std::atomic<unsigned> i{0}; i.fetch_add(1, std::memory_order_relaxed) < iterations;) {
  }
}

// A subscriber joining while two threads send sees exactly a tail of what a subscriber from
// the start saw, ending on the subject's value; deliveries to one subscriber never overlap.
TEST(PublisherStressTest, SubscribingToACurrentValueSubjectIsAtomic) {
  constexpr int kSends = 16;
  Crew senders(2);
  int failures = 0;
  for (int run = 0; run < scaled(20000); ++run) {
    CurrentValueSubject<int> subject(0);
    std::vector<int> all, late;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    AnyCancellable recorder = subject.publisher().sink([&](const int& v) { all.push_back(v); });
    senders.start([&](int index) {
      for (int i = 1; i <= kSends; ++i) {
        subject.send((index + 1) * 1000 + i);
        i % 4 == index ? std::this_thread::yield() : spin(40);
      }
    });
    spin(unsigned(run * 7919) % 1500);
    AnyCancellable lateHandle = subject.publisher().sink([&](const int& v) {
      if (inside++ != 0) overlapped = true;
      late.push_back(v);
      if (late.size() % 4 == 0) std::this_thread::yield();
      --inside;
    });
    senders.finish();
    const bool isTail = !late.empty() && late.size() <= all.size() &&
                        std::equal(late.begin(), late.end(), all.end() - late.size());
    failures +=
        !isTail || all.size() != 2 * kSends + 1 || all.back() != subject.value() || overlapped;
  }
  EXPECT_EQ(failures, 0);
}

// cancel() (or clearing a set, or dropping the handle) returns only after the running callback
// ended; no callback starts afterwards and the closure is gone, for subjects and emitters.
TEST(PublisherStressTest, CancelFromAnotherThreadWaitsForTheCallbackAndStopsDelivery) {
  Crew sender(1);
  std::atomic<int> violations{0};
  for (int run = 0; run < scaled(1000); ++run) {
    const bool useEmitter = run % 2 == 1;
    const int endStyle = (run / 2) % 3;
    CurrentValueSubject<int> subject(0);
    Emitter<int> emitter;
    Publisher<int> publisher = useEmitter ? Publisher<int>::create([&](Emitter<int> e) {
      emitter = e;
      return AnyCancellable();
    }) : subject.publisher();
    std::atomic<bool> inCallback{false}, cancelReturned{false}, stopSending{false};
    std::atomic<int> calls{0}, sent{0};
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    std::optional<AnyCancellable> handle;
    CancellableSet set;
    handle.emplace(publisher.sink([&, token = std::move(token)](const int&) {
      violations += cancelReturned.load();
      inCallback = true;
      spin(200);
      violations += cancelReturned.load();
      inCallback = false;
      ++calls;
    }));
    if (endStyle == 1) std::move(*handle).store(set);
    sender.start([&](int) {
      while (!stopSending) {
        useEmitter ? emitter.send(sent + 1) : subject.send(sent + 1);
        ++sent;
      }
    });
    if (!testsupport::waitFor([&] { return calls.load() > run % 4; })) ++violations;
    endStyle == 0 ? handle->cancel() : endStyle == 1 ? set.clear() : handle.reset();
    cancelReturned = true;
    violations += inCallback.load() + !watch.expired();
    const int callsAtCancel = calls, sentAtCancel = sent;
    if (!testsupport::waitFor([&] { return sent.load() >= sentAtCancel + 20; })) ++violations;
    stopSending = true;
    sender.finish();
    violations += calls != callsAtCancel;
  }
  EXPECT_EQ(violations.load(), 0);
}

TEST(RuntimeStressTest, StreamEndsOnceAndInOrderWhenProducersAndConsumersRace) {
  Crew crew(4);
  for (int run = 0; run < scaled(5000); ++run) {
    auto made = Stream::makeStream();
    auto consumer = std::make_unique<Stream>(std::move(made.first));
    Stream::Continuation& continuation = made.second;
    std::atomic<int> terminations{0};
    continuation.onTermination([&] { ++terminations; });
    Stream::Continuation producer = continuation, registrar = continuation;
    std::vector<int> received;
    crew.start([&, &stream = *consumer](int index) {
      if (index == 0) {
        for (int i = 0; i < 5; ++i) producer.yield(i);
        producer.finish();
      } else if (index == 1) {
        if (run % 2 == 0) stream.cancel();
        while (auto value = stream.next()) received.push_back(*value);
      } else if (index == 2) {
        registrar.onTermination([&] { ++terminations; });
        registrar = Stream::Continuation();
      } else {
        continuation = Stream::Continuation();
      }
    });
    crew.finish();
    consumer.reset();
    ASSERT_EQ(terminations, 2) << "run " << run;  // two handlers, each exactly once
    for (std::size_t i = 0; i < received.size(); ++i) ASSERT_EQ(received[i], int(i)) << "run " << run;
  }
}

// Cancelling a task that races its sleep or stream wait always ends it; sleeps registering while
// the clock advances never miss their wake-up.
TEST(RuntimeStressTest, CancelledWaitsAlwaysEndAndSleepsRacingAdvancesAreNeverLost) {
  VirtualClock clock;
  ScopedClockOverride useClock(clock);
  for (int run = 0; run < scaled(1000); ++run) {
    auto [stream, continuation] = Stream::makeStream();
    std::latch started(1);
    std::atomic<bool> gotPast{false};
    auto task = Task::detached([&, s = std::make_shared<Stream>(std::move(stream))] {
      started.count_down();
      if (run % 2) return (void)s->next();
      Task::sleep(21'600'000'000'000ULL);
      gotPast = true;  // never: a cancelled sleep raises
    });
    started.wait();
    task.cancel();
    ASSERT_TRUE(testsupport::waitFor([&] { return task.isFinished(); })) << "run " << run;
    ASSERT_FALSE(gotPast) << "run " << run;
  }
  std::atomic<int> done{0};
  std::vector<TaskHandle> tasks;
  for (int t = 0; t < 8; ++t) {
    tasks.push_back(Task::detached([&] {
      for (int i = 0; i < scaled(5000) / 20; ++i) Task::sleep(1'000'000);
      ++done;
    }));
  }
  EXPECT_TRUE(testsupport::waitFor([&] {
    clock.advance(1ms);
    return done == 8;
  })) << done << " of 8 finished";
}

}  // namespace
}  // namespace platform
