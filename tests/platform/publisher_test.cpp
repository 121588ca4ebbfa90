#include "reactive/publisher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "notifications/notification_center.h"
#include "reactive/cancellable.h"
#include "reactive/subjects.h"
#include "runtime/clock.h"
#include "runtime/main_loop.h"
#include "support/wait.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

// Records what a sink receives. Single-threaded tests only.
template <class T>
struct Recorder {
  explicit Recorder(const Publisher<T>& publisher)
      : handle(publisher.sink(
            [this](const T& value) {
              values.push_back(value);
              allOnMain = allOnMain && MainLoop::main().isMainThread();
            },
            [this] { ++completions; })) {}
  std::vector<T> values;
  int completions = 0;
  bool allOnMain = true;
  AnyCancellable handle;
};

TEST(SubjectTest, DeliverToCurrentSubscribersUntilCancelledOrCompleted) {
  CurrentValueSubject<int> current(1);
  Recorder<int> recorder(current.publisher());
  current.send(2);
  current.send(2);  // equal values are delivered again
  current.sendCompletion();
  current.send(3);
  Recorder<int> late(current.publisher());
  EXPECT_EQ(recorder.values, (std::vector<int>{1, 2, 2}));
  EXPECT_EQ(recorder.completions + late.completions, 2);
  EXPECT_TRUE(late.values.empty());
  EXPECT_FALSE(recorder.handle) << "a finished subscription counts as cancelled";
  EXPECT_EQ(current.value(), 2);

  PassthroughSubject<int> passthrough;
  passthrough.send(0);
  Recorder<int> first(passthrough.publisher()), second(passthrough.publisher());
  passthrough.send(1);
  first.handle.cancel();
  passthrough.send(2);
  passthrough.sendCompletion();
  EXPECT_EQ(first.values, (std::vector<int>{1}));
  EXPECT_EQ(second.values, (std::vector<int>{1, 2})) << "the last subscriber is served too";
  EXPECT_EQ(first.completions + second.completions, 1);
}

// Steps: 'a'/'b' send `value` to that subject, 'A'/'B' complete it.
TEST(OperatorTest, TransformTheSentValues) {
  const struct {
    const char* name;
    std::function<Publisher<int>(Publisher<int>, Publisher<int>)> apply;
    std::vector<std::pair<char, int>> steps;
    std::vector<int> expected;
    int completions;
  } cases[] = {
      {"map", [](auto a, auto) { return a.map([](int v) { return v * 10; }); },
       {{'a', 1}, {'a', 2}, {'A', 0}}, {10, 20}, 1},
      {"removeDuplicates", [](auto a, auto) { return a.removeDuplicates(); },
       {{'a', 1}, {'a', 1}, {'a', 2}, {'a', 2}, {'a', 1}, {'a', 3}}, {1, 2, 1, 3}, 0},
      {"prepend then removeDuplicates", [](auto a, auto) { return a.prepend(1).removeDuplicates(); },
       {{'a', 1}, {'a', 2}, {'A', 0}}, {1, 2}, 1},
      {"merge", [](auto a, auto b) { return merge(a, b); },
       {{'a', 1}, {'b', 2}, {'A', 0}, {'b', 3}, {'B', 0}}, {1, 2, 3}, 1},
      {"merge with never", [](auto a, auto) { return merge(a, Publisher<int>::never()); },
       {{'a', 4}, {'A', 0}}, {4}, 0},
      {"merge with just", [](auto a, auto) { return merge(Publisher<int>::just(9), a); },
       {{'a', 4}, {'A', 0}}, {9, 4}, 1},
      {"combineLatest waits for both and completes when both did",
       [](auto a, auto b) {
         return combineLatest(a, b).map([](const std::pair<int, int>& p) { return p.first * 10 + p.second; });
       },
       {{'a', 1}, {'a', 2}, {'b', 3}, {'a', 4}, {'A', 0}, {'b', 5}, {'B', 0}}, {23, 43, 45}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PassthroughSubject<int> a, b;
    Recorder<int> recorder(c.apply(a.publisher(), b.publisher()));
    for (const auto& [to, value] : c.steps) {
      PassthroughSubject<int>& subject = to == 'a' || to == 'A' ? a : b;
      to == 'a' || to == 'b' ? subject.send(value) : subject.sendCompletion();
    }
    EXPECT_EQ(recorder.values, c.expected);
    EXPECT_EQ(recorder.completions, c.completions);
  }
  // Each subscriber has its own operator state; the first value always passes.
  CurrentValueSubject<int> subject(5);
  Publisher<int> distinct = subject.publisher().removeDuplicates().map([n = 0](int) mutable { return ++n; });
  Recorder<int> first(distinct);
  subject.send(6);
  Recorder<int> second(distinct);
  EXPECT_EQ(first.values, (std::vector<int>{1, 2}));
  EXPECT_EQ(second.values, (std::vector<int>{1}));
}

// Also: a cancellable set going away, and assigning to a handle, cancel what they held, once.
TEST(CreateTest, SetupPerSubscriberAndEmitterDroppedAfterTheEnd) {
  int cancels = 0;
  std::vector<Emitter<int>> emitters;
  Publisher<int> created = Publisher<int>::create([&](Emitter<int> emitter) {
    emitter.send(100);  // synchronously, during subscribe
    emitters.push_back(emitter);
    return AnyCancellable([&] { ++cancels; });
  });
  Recorder<int> first(created), second(created);
  {
    CancellableSet set;
    created.sink([](const int&) {}).store(set);
  }
  EXPECT_EQ(cancels, 1) << "the set did not cancel what it held";
  emitters[0].send(1);
  emitters[1].send(2);
  emitters[0].sendCompletion();
  emitters[0].send(3);
  first.handle.cancel();
  EXPECT_EQ(first.values, (std::vector<int>{100, 1}));
  EXPECT_EQ(first.completions, 1);
  EXPECT_EQ(cancels, 2) << "completion ends the subscription, which cancels the handle once";
  second.handle.cancel();
  std::thread([&] { emitters[1].send(4); }).join();
  EXPECT_EQ(second.values, (std::vector<int>{100, 2})) << "an emitter outlived its subscription";
  AnyCancellable handle([&] { cancels += 10; });
  handle = AnyCancellable([&] { cancels += 100; });
  EXPECT_EQ(cancels, 13) << "assignment cancels the previous handle";
  handle.cancel();
  handle.cancel();
  EXPECT_EQ(cancels, 113);
}

// No lock is held while a callback runs, and values sent meanwhile follow in order. Sends from
// inside a callback are delivered after it; a cancel from inside returns at once, ends delivery,
// and frees the running closure once it returns.
TEST(PublisherRuleTest, NoLockIsHeldWhileACallbackRunsAndReentrantSendsAndCancelsAreOrdered) {
  CurrentValueSubject<int> subject(0), other(0);
  std::vector<int> seen, seenByHelper;
  AnyCancellable handle =
      combineLatest(subject.publisher(), other.publisher())
          .map([](const std::pair<int, int>& p) { return p.first + p.second; })
          .sink([&](const int& value) {
            seen.push_back(value);
            if (value != 1) return;
            std::atomic<bool> finished{false};
            std::thread helper([&] {  // would block on any lock held across this callback
              other.send(10);
              subject.send(2);
              AnyCancellable inner =
                  subject.publisher().sink([&](const int& v) { seenByHelper.push_back(v); });
              subject.send(3);
              finished = true;
            });
            const bool didFinish = testsupport::waitFor([&] { return finished.load(); });
            didFinish ? helper.join() : helper.detach();
            ASSERT_TRUE(didFinish) << "deadlock";
          });
  subject.send(1);
  EXPECT_EQ(seenByHelper, (std::vector<int>{2, 3}));
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 11, 12, 13}));

  CurrentValueSubject<int> reentered(0);
  std::vector<int> values;
  auto held = std::make_shared<int>(0);  // its lifetime shows whether the closure is still held
  const std::weak_ptr<int> watch = held;
  AnyCancellable reentrant;
  reentrant = reentered.publisher().sink([&, t = std::move(held)](const int& value) {
    values.push_back(value);
    if (value == 0) return;
    if (value < 3) return reentered.send(value + 1);
    reentrant.cancel();
    EXPECT_FALSE(watch.expired());
    reentered.send(5);
  });
  reentered.send(1);
  reentered.send(6);
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(values, (std::vector<int>{0, 1, 2, 3}));
}

// Debounced and received values arrive on the main loop, in order; cancelled pending deliveries
// neither run nor keep their subscriptions alive.
TEST(MainLoopOperatorTest, DebounceAndReceiveOnDeliverOnTheLoopInOrder) {
  VirtualClock clock;
  ScopedClockOverride clockOverride(clock);
  auto advance = [&](std::chrono::nanoseconds d) {
    clock.advance(d);
    MainLoop::main().runPending();
  };
  PassthroughSubject<int> subject;
  Recorder<int> debounced(subject.publisher().debounce(500ms, MainLoop::main()));
  Recorder<int> received(subject.publisher().receiveOn(MainLoop::main()));
  auto held = std::make_shared<int>(0);  // its lifetime shows whether the closures are still held
  const std::weak_ptr<int> watch = held;
  int lateCalls = 0;
  auto sinkHoldingIt = [&](const Publisher<int>& publisher) {
    return publisher.sink([&, t = held](int) { ++lateCalls; }, [&] { ++lateCalls; });
  };
  AnyCancellable pending[] = {sinkHoldingIt(subject.publisher().debounce(1ms, MainLoop::main())),
                              sinkHoldingIt(subject.publisher().receiveOn(MainLoop::main()))};
  held.reset();
  subject.send(0);
  for (auto& handle : pending) handle.cancel();
  EXPECT_TRUE(watch.expired());
  EXPECT_TRUE(received.values.empty()) << "delivery is asynchronous";
  for (int i = 1; i <= 5; ++i) {
    advance(100ms);
    subject.send(i);
  }
  advance(499ms);
  EXPECT_TRUE(debounced.values.empty()) << "one interval after the last send, not before";
  advance(1ms);
  EXPECT_EQ(debounced.values, (std::vector<int>{5}));
  std::thread([&] {
    for (int i = 6; i < 100; ++i) subject.send(i);
  }).join();
  advance(10s);
  subject.send(100);
  subject.sendCompletion();
  advance(1s);
  EXPECT_EQ(debounced.values, (std::vector<int>{5, 99})) << "completion drops the pending value";
  ASSERT_EQ(received.values.size(), 101u);
  for (int i = 0; i <= 100; ++i) ASSERT_EQ(received.values[i], i);
  EXPECT_TRUE(debounced.allOnMain && received.allOnMain);
  EXPECT_EQ(debounced.completions + received.completions, 2);
  EXPECT_EQ(lateCalls, 0);
}

AnyCancellable record(NotificationCenter& center, std::vector<const void*>& into,
                      std::string name, const void* object = nullptr) {
  return center.publisher(std::move(name), object).sink([&into](const Notification& n) {
    into.push_back(n.object);
  });
}

// Delivery by name and object, synchronously on the posting thread, to observers current when
// their turn comes; subscriptions may outlive the center.
TEST(NotificationCenterTest, DeliversByNameAndObjectToTheCurrentObservers) {
  const int first = 0, second = 0;
  std::vector<const void*> anyObject, firstOnly, otherName, victim, added;
  AnyCancellable victimHandle, addedHandle;
  {
    NotificationCenter center;
    AnyCancellable remover = center.publisher("changed").sink([&](const Notification&) {
      if (addedHandle) return;
      victimHandle.cancel();
      addedHandle = record(center, added, "changed");
    });
    victimHandle = record(center, victim, "changed");
    AnyCancellable a = record(center, otherName, "finished");
    AnyCancellable b = record(center, firstOnly, "changed", &first);
    AnyCancellable c = record(center, anyObject, "changed");
    std::thread([&] {
      center.post("changed");
      center.post("changed", &first);
      center.post(Notification{"changed", &second, {}});
      EXPECT_EQ(anyObject.size(), 3u) << "delivered before post() returned";
    }).join();
  }
  EXPECT_EQ(anyObject, (std::vector<const void*>{nullptr, &first, &second}));
  EXPECT_EQ(firstOnly, (std::vector<const void*>{&first})) << "skips other objects and none";
  EXPECT_TRUE(otherName.empty() && victim.empty()) << "cancelled before its turn";
  EXPECT_EQ(added, (std::vector<const void*>{&first, &second})) << "added during the first post";
  addedHandle.cancel();  // after the center is gone
}

}  // namespace
}  // namespace platform
