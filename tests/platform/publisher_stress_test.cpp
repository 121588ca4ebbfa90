// Races between senders, subscribers and cancellers, repeated many times. BRISVANE_STRESS_RUNS
// caps the number of runs of every test here (the defaults are the full counts), for example to
// keep sanitizer builds quick.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "reactive/cancellable.h"
#include "reactive/publisher.h"
#include "reactive/subjects.h"
#include "support/wait.h"

namespace platform {
namespace {

int stressRuns(int fullCount) {
  if (const char* text = std::getenv("BRISVANE_STRESS_RUNS")) {
    const int cap = std::atoi(text);
    if (cap > 0) return std::min(cap, fullCount);
  }
  return fullCount;
}

// Runs a body on each of `size` long-lived threads once per round; the round starts on all of
// them and on the calling thread within a few instructions (the threads wait by spinning, not on
// a futex, whose staggered wake-ups would serialise the race), and the caller waits for the crew
// at finish().
class Crew {
 public:
  explicit Crew(int size) : size_(size) {
    for (int i = 0; i < size; ++i) threads_.emplace_back([this, i] { loop(i); });
  }
  ~Crew() {
    stop_ = true;
    round_.fetch_add(1, std::memory_order_release);
    for (std::thread& thread : threads_) thread.join();
  }
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;

  void start(std::function<void(int)> body) {
    body_ = std::move(body);
    finished_.store(0, std::memory_order_relaxed);
    round_.fetch_add(1, std::memory_order_release);
  }
  void finish() {
    while (finished_.load(std::memory_order_acquire) != size_) std::this_thread::yield();
  }

 private:
  void loop(int index) {
    unsigned seen = 0;
    for (;;) {
      unsigned round;
      while ((round = round_.load(std::memory_order_acquire)) == seen) std::this_thread::yield();
      seen = round;
      if (stop_) return;
      body_(index);
      finished_.fetch_add(1, std::memory_order_release);
    }
  }

  const int size_;
  std::atomic<unsigned> round_{0};
  std::atomic<int> finished_{0};
  std::atomic<bool> stop_{false};
  std::function<void(int)> body_;
  std::vector<std::thread> threads_;
};

// Busy-waits a little so that the calling thread joins a race at varying points.
void spin(unsigned iterations) {
  std::atomic<unsigned> counter{0};
  while (counter.fetch_add(1, std::memory_order_relaxed) < iterations) {
  }
}

// Fails when two deliveries to one subscriber overlap.
class OverlapDetector {
 public:
  void enter() {
    if (inside_.fetch_add(1, std::memory_order_acq_rel) != 0) overlapped_ = true;
  }
  void leave() { inside_.fetch_sub(1, std::memory_order_acq_rel); }
  bool overlapped() const { return overlapped_; }

 private:
  std::atomic<int> inside_{0};
  std::atomic<bool> overlapped_{false};
};

TEST(PublisherStressTest, SubscribingToACurrentValueSubjectIsAtomic) {
  // A recorder subscribed from the start sees every send in the subject's order. A subscriber
  // that joins while two threads send must see exactly a tail of that sequence: its initial
  // value, then every later send, with no gap, nothing stale, ending on the subject's value.
  const int runs = stressRuns(30000);
  constexpr int kSendsPerThread = 16;
  Crew senders(2);
  std::minstd_rand random(20240501);
  int failures = 0;
  std::string firstFailure;
  for (int run = 0; run < runs; ++run) {
    CurrentValueSubject<int> subject(0);
    std::vector<int> all;
    std::vector<int> late;
    all.reserve(2 * kSendsPerThread + 1);
    late.reserve(2 * kSendsPerThread + 1);
    OverlapDetector overlap;
    OverlapDetector recorderOverlap;
    AnyCancellable recorder = subject.publisher().sink([&](const int& v) {
      recorderOverlap.enter();
      all.push_back(v);
      recorderOverlap.leave();
    });
    const unsigned delay = random() % 1500;
    senders.start([&](int index) {
      for (int i = 1; i <= kSendsPerThread; ++i) {
        subject.send((index + 1) * 1000 + i);
        // Yielding now and then interleaves the senders even when they share a processor.
        if (i % 4 == index) {
          std::this_thread::yield();
        } else {
          spin(40);
        }
      }
    });
    spin(delay);
    AnyCancellable lateHandle = subject.publisher().sink([&](const int& v) {
      overlap.enter();
      late.push_back(v);
      if (late.size() % 4 == 0) std::this_thread::yield();
      overlap.leave();
    });
    senders.finish();

    const bool isTail = !late.empty() && late.size() <= all.size() &&
                        std::equal(late.begin(), late.end(), all.end() - late.size());
    const bool ok = isTail && all.size() == 2 * kSendsPerThread + 1 &&
                    all.back() == subject.value() && !overlap.overlapped() &&
                    !recorderOverlap.overlapped();
    if (!ok && failures++ == 0) {
      firstFailure = "run " + std::to_string(run) + ": late subscriber got";
      for (int v : late) firstFailure += " " + std::to_string(v);
      firstFailure += "; all:";
      for (int v : all) firstFailure += " " + std::to_string(v);
    }
  }
  EXPECT_EQ(failures, 0) << firstFailure;
}

TEST(PublisherStressTest, CancelFromAnotherThreadWaitsForTheCallbackAndStopsDelivery) {
  // A sender delivers continuously while the test thread cancels: cancel() must return only
  // after the running callback ended, no callback may start afterwards, and the closure must be
  // gone when cancel() returns. Sources alternate between a subject and a create emitter (whose
  // sends after cancellation are dropped); the handle is ended by cancel(), by clearing a
  // CancellableSet and by destruction.
  const int runs = stressRuns(1000);
  Crew sender(1);
  int violations = 0;
  for (int run = 0; run < runs; ++run) {
    const bool useEmitter = run % 2 == 1;
    const int endStyle = (run / 2) % 3;
    CurrentValueSubject<int> subject(0);
    Emitter<int> emitter;
    Publisher<int> publisher = useEmitter ? Publisher<int>::create([&](Emitter<int> e) {
      emitter = e;
      return AnyCancellable();
    })
                                          : subject.publisher();

    std::atomic<bool> inCallback{false};
    std::atomic<bool> cancelReturned{false};
    std::atomic<int> calls{0};
    std::atomic<int> runViolations{0};
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    std::optional<AnyCancellable> handle;
    CancellableSet set;
    handle.emplace(publisher.sink([&, token = std::move(token)](const int&) {
      if (cancelReturned) ++runViolations;
      inCallback = true;
      spin(200);
      if (cancelReturned) ++runViolations;
      inCallback = false;
      ++calls;
    }));
    if (endStyle == 1) std::move(*handle).store(set);

    std::atomic<bool> stopSending{false};
    std::atomic<int> sent{0};
    sender.start([&](int) {
      while (!stopSending) {
        const int value = sent.load() + 1;
        if (useEmitter) {
          emitter.send(value);
        } else {
          subject.send(value);
        }
        sent = value;
      }
    });
    const int callsBeforeCancel = 1 + run % 4;
    if (!testsupport::waitFor([&] { return calls.load() >= callsBeforeCancel; })) ++violations;
    switch (endStyle) {
      case 0:
        handle->cancel();
        break;
      case 1:
        set.clear();
        break;
      default:
        handle.reset();
        break;
    }
    cancelReturned = true;
    if (inCallback) ++violations;
    if (!watch.expired()) ++violations;
    const int callsAtCancel = calls;
    const int sentAtCancel = sent;
    if (!testsupport::waitFor([&] { return sent.load() >= sentAtCancel + 20; })) ++violations;
    stopSending = true;
    sender.finish();
    if (calls != callsAtCancel) ++violations;
    violations += runViolations;
  }
  EXPECT_EQ(violations, 0);
}

TEST(PublisherStressTest, CombinedChainDeliversOneValueAtATimeAndEndsOnTheLatest) {
  // Two threads send into the two inputs of combineLatest -> map -> removeDuplicates. The
  // subscriber never sees two deliveries at once, and the last value it sees is the one computed
  // from the two last sends.
  const int runs = stressRuns(3000);
  constexpr int kSendsPerThread = 40;
  Crew senders(2);
  std::minstd_rand random(7);
  int failures = 0;
  for (int run = 0; run < runs; ++run) {
    CurrentValueSubject<int> a(0);
    CurrentValueSubject<int> b(0);
    std::vector<int> valuesA(kSendsPerThread);
    std::vector<int> valuesB(kSendsPerThread);
    for (int& v : valuesA) v = static_cast<int>(random() % 7);
    for (int& v : valuesB) v = static_cast<int>(random() % 7);
    OverlapDetector overlap;
    std::optional<int> last;
    int deliveries = 0;
    AnyCancellable handle =
        combineLatest(a.publisher(), b.publisher())
            .map([](const std::pair<int, int>& p) { return (p.first + p.second) % 4; })
            .removeDuplicates()
            .sink([&](const int& v) {
              overlap.enter();
              if (last && *last == v) ++failures;  // a duplicate got through
              last = v;
              ++deliveries;
              // Lets the other sender run while this delivery is
              // inside, where an overlap would show.
              if (deliveries % 4 == 0) std::this_thread::yield();
              overlap.leave();
            });
    senders.start([&](int index) {
      CurrentValueSubject<int>& target = index == 0 ? a : b;
      const std::vector<int>& values = index == 0 ? valuesA : valuesB;
      for (std::size_t i = 0; i < values.size(); ++i) {
        target.send(values[i]);
        if (i % 8 == static_cast<std::size_t>(index) * 4) std::this_thread::yield();
      }
    });
    senders.finish();
    const int expected = (valuesA.back() + valuesB.back()) % 4;
    if (overlap.overlapped() || !last || *last != expected || deliveries == 0) ++failures;
  }
  EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace platform
