#include "reactive/publisher.h"

#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "reactive/cancellable.h"
#include "runtime/clock.h"
#include "runtime/main_loop.h"
#include "notifications/notification_center.h"
#include "reactive/subjects.h"
#include "support/wait.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

// Records what a sink receives. Single-threaded tests only.
template <class T>
struct Recorder {
  explicit Recorder(const Publisher<T>& publisher)
      : handle(publisher.sink([this](const T& value) {
                                values.push_back(value);
                                allOnMain = allOnMain && MainLoop::main().isMainThread();
                              },
                              [this] { ++completions; })) {}
  std::vector<T> values;
  int completions = 0;
  bool allOnMain = true;
  AnyCancellable handle;
};

// A closure capture whose lifetime shows whether a subscription still holds its closures.
struct Token {
  std::shared_ptr<int> held = std::make_shared<int>(0);
  std::weak_ptr<int> watch = held;
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
  Recorder<int> first(passthrough.publisher());
  Recorder<int> second(passthrough.publisher());
  Recorder<int> third(passthrough.publisher());
  passthrough.send(1);
  first.handle.cancel();
  passthrough.send(2);
  passthrough.sendCompletion();
  EXPECT_EQ(first.values, (std::vector<int>{1}));
  EXPECT_EQ(second.values, (std::vector<int>{1, 2}));
  EXPECT_EQ(third.values, (std::vector<int>{1, 2})) << "the last subscriber is served too";
  EXPECT_EQ(first.completions + third.completions, 1);
}

TEST(OperatorTest, TransformTheSentValues) {
  const struct {
    const char* name;
    std::function<Publisher<int>(Publisher<int>)> apply;
    std::vector<int> sends, expected;
    int completions;
  } cases[] = {
      {"map", [](auto p) { return p.map([](int v) { return v * 10; }); }, {1, 2}, {10, 20}, 1},
      {"removeDuplicates", [](auto p) { return p.removeDuplicates(); },
       {1, 1, 2, 2, 1, 3}, {1, 2, 1, 3}, 1},
      {"prepend", [](auto p) { return p.prepend(0); }, {1, 2}, {0, 1, 2}, 1},
      {"prepend then removeDuplicates", [](auto p) { return p.prepend(1).removeDuplicates(); },
       {1, 2}, {1, 2}, 1},
      {"merge with never", [](auto p) { return merge(p, Publisher<int>::never()); },
       {4, 5}, {4, 5}, 0},
      {"merge with just", [](auto p) { return merge(Publisher<int>::just(9), p); },
       {4}, {9, 4}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PassthroughSubject<int> subject;
    Recorder<int> recorder(c.apply(subject.publisher()));
    for (int value : c.sends) subject.send(value);
    subject.sendCompletion();
    EXPECT_EQ(recorder.values, c.expected);
    EXPECT_EQ(recorder.completions, c.completions);
  }
  Recorder<int> empty(Publisher<int>::empty()), defaulted{Publisher<int>()};
  EXPECT_EQ(empty.completions + 10 * defaulted.completions, 1);
  // Each subscriber has its own operator state; the first value always passes.
  CurrentValueSubject<int> subject(5);
  Publisher<int> distinct = subject.publisher().removeDuplicates().map([n = 0](int) mutable { return ++n; });
  Recorder<int> first(distinct);
  subject.send(6);
  Recorder<int> second(distinct);
  EXPECT_EQ(first.values, (std::vector<int>{1, 2}));
  EXPECT_EQ(second.values, (std::vector<int>{1}));
}

TEST(OperatorTest, CombineLatestWaitsForBothAndCompletesWhenBothDid) {
  PassthroughSubject<int> numbers;
  PassthroughSubject<std::string> names;
  Recorder<std::pair<int, std::string>> combined(
      combineLatest(numbers.publisher(), names.publisher()));
  numbers.send(1);
  numbers.send(2);
  EXPECT_TRUE(combined.values.empty());
  names.send("a");
  numbers.send(3);
  numbers.sendCompletion();
  names.send("b");
  EXPECT_EQ(combined.completions, 0);
  names.sendCompletion();
  using P = std::pair<int, std::string>;
  EXPECT_EQ(combined.values, (std::vector<P>{{2, "a"}, {3, "a"}, {3, "b"}}));
  EXPECT_EQ(combined.completions, 1);
}

TEST(CreateTest, SetupPerSubscriberAndEmitterDroppedAfterTheEnd) {
  int cancels = 0;
  std::vector<Emitter<int>> emitters;
  Publisher<int> created = Publisher<int>::create([&](Emitter<int> emitter) {
    emitter.send(100);  // synchronously, during subscribe
    emitters.push_back(emitter);
    return AnyCancellable([&] { ++cancels; });
  });
  Recorder<int> first(created), second(created);
  emitters[0].send(1);
  emitters[1].send(2);
  emitters[0].sendCompletion();
  emitters[0].send(3);
  EXPECT_EQ(first.values, (std::vector<int>{100, 1}));
  EXPECT_EQ(second.values, (std::vector<int>{100, 2}));
  EXPECT_EQ(first.completions, 1);
  EXPECT_EQ(cancels, 1) << "completion ends the subscription, which cancels the handle";
  second.handle.cancel();
  std::thread([&] { emitters[1].send(4); }).join();
  EXPECT_EQ(second.values, (std::vector<int>{100, 2})) << "an emitter outlived its subscription";
  EXPECT_EQ(cancels, 2);
}

TEST(PublisherRuleTest, NoLockIsHeldWhileACallbackRunsAndQueuedValuesFollowInOrder) {
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
}

TEST(PublisherRuleTest, ReentrantSendsAreDeliveredAndCancelInsideACallbackEndsDelivery) {
  CurrentValueSubject<int> subject(0);
  std::vector<int> values;
  AnyCancellable chained = subject.publisher().sink([&](const int& value) {
    values.push_back(value);
    if (value > 0 && value < 3) subject.send(value + 1);
  });
  subject.send(1);
  EXPECT_EQ(values, (std::vector<int>{0, 1, 2, 3}));
  chained.cancel();

  Token token;
  values.clear();
  AnyCancellable handle;
  handle = subject.publisher().sink([&, t = std::move(token.held)](const int& value) {
    values.push_back(value);
    if (value != 4) return;
    handle.cancel();  // returns at once; the running closure is freed when it returns
    EXPECT_FALSE(token.watch.expired());
    subject.send(5);
  });
  subject.send(4);
  subject.send(6);
  EXPECT_TRUE(token.watch.expired());
  EXPECT_EQ(values, (std::vector<int>{3, 4}));
}

TEST(CancellableTest, SetsAndAssignmentCancelWhatTheyHeld) {
  PassthroughSubject<int> subject;
  int received = 0, cancels = 0;
  Token token;
  {
    CancellableSet set, cleared;
    subject.publisher().sink([&, t = std::move(token.held)](const int&) { ++received; }).store(set);
    AnyCancellable([&] { ++cancels; }).store(cleared);
    subject.send(1);
    cleared.clear();
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(set.size() + cleared.size(), 1u);
  }
  EXPECT_TRUE(token.watch.expired()) << "a set going away cancels what it holds";
  subject.send(2);
  EXPECT_EQ(received, 1);
  AnyCancellable handle([&] { ++cancels; });
  handle = AnyCancellable([&] { cancels += 10; });
  EXPECT_EQ(cancels, 2) << "assignment cancels the previous handle";
  handle.cancel();
  handle.cancel();
  EXPECT_EQ(cancels, 12);
}

class MainLoopOperatorTest : public ::testing::Test {
 protected:
  void SetUp() override { MainLoop::main().runPending(); }
  void TearDown() override { MainLoop::main().runPending(); }
  void advance(std::chrono::nanoseconds d) {
    clock_.advance(d);
    MainLoop::main().runPending();
  }
  VirtualClock clock_;
  ScopedClockOverride clockOverride_{clock_};
};

TEST_F(MainLoopOperatorTest, DebounceAndReceiveOnDeliverOnTheLoopInOrder) {
  PassthroughSubject<int> subject;
  Recorder<int> debounced(subject.publisher().debounce(500ms, MainLoop::main()));
  Recorder<int> received(subject.publisher().receiveOn(MainLoop::main()));
  Token token;  // pending deliveries must not keep cancelled subscriptions alive
  int lateCalls = 0;
  AnyCancellable pending[] = {
      subject.publisher().debounce(1ms, MainLoop::main()).sink(
          [&, t = token.held](int) { ++lateCalls; }, [&] { ++lateCalls; }),
      subject.publisher().receiveOn(MainLoop::main()).sink(
          [&, t = token.held](int) { ++lateCalls; }, [&] { ++lateCalls; })};
  token.held.reset();
  subject.send(0);
  for (auto& handle : pending) handle.cancel();
  EXPECT_TRUE(token.watch.expired());
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
      center.post(Notification{"changed", &second, {{"count", std::any(3)}}});
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
