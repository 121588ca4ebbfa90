#include "reactive/publisher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "reactive/cancellable.h"
#include "runtime/clock.h"
#include "runtime/main_loop.h"
#include "reactive/subjects.h"
#include "support/wait.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

// Records what a sink receives. Single-threaded tests only.
template <class T>
struct Recorder {
  explicit Recorder(const Publisher<T>& publisher)
      : handle(publisher.sink([this](const T& value) { values.push_back(value); },
                              [this] { ++completions; })) {}
  std::vector<T> values;
  int completions = 0;
  AnyCancellable handle;
};

// Joins a helper thread that must finish on its own; a hang means a lock was held or a cancel
// waited for its own thread.
void joinOrFail(std::thread& thread, const std::atomic<bool>& finished) {
  const bool didFinish = testsupport::waitFor([&] { return finished.load(); });
  if (didFinish) {
    thread.join();
  } else {
    thread.detach();
  }
  ASSERT_TRUE(didFinish) << "deadlock";
}

TEST(CurrentValueSubjectTest, DeliversStoredValueThenEverySendThenCompletion) {
  CurrentValueSubject<int> subject(1);
  Recorder<int> recorder(subject.publisher());
  EXPECT_EQ(recorder.values, (std::vector<int>{1}));

  subject.send(2);
  subject.send(2);  // equal values are delivered again
  EXPECT_EQ(recorder.values, (std::vector<int>{1, 2, 2}));
  EXPECT_EQ(subject.value(), 2);
  EXPECT_TRUE(recorder.handle);

  subject.sendCompletion();
  subject.send(3);
  EXPECT_EQ(recorder.values, (std::vector<int>{1, 2, 2}));
  EXPECT_EQ(recorder.completions, 1);
  EXPECT_FALSE(recorder.handle) << "a finished subscription counts as cancelled";
  EXPECT_EQ(subject.value(), 2);

  Recorder<int> late(subject.publisher());
  EXPECT_TRUE(late.values.empty());
  EXPECT_EQ(late.completions, 1);
}

TEST(PassthroughSubjectTest, DeliversOnlyLaterSendsToCurrentSubscribers) {
  PassthroughSubject<std::string> subject;
  subject.send("before");
  Recorder<std::string> first(subject.publisher());
  subject.send("a");
  Recorder<std::string> second(subject.eraseToAnyPublisher());
  subject.send("b");
  first.handle.cancel();
  subject.send("c");
  subject.sendCompletion();

  EXPECT_EQ(first.values, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(first.completions, 0);
  EXPECT_EQ(second.values, (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(second.completions, 1);
}

TEST(OperatorTest, TransformTheSentValues) {
  struct Case {
    const char* name;
    std::function<Publisher<int>(Publisher<int>)> apply;
    std::vector<int> sends;
    std::vector<int> expected;
  };
  const std::vector<Case> cases = {
      {"map",
       [](Publisher<int> p) { return p.map([](int v) { return v * 10; }); },
       {1, 2},
       {10, 20}},
      {"removeDuplicates",
       [](Publisher<int> p) { return p.removeDuplicates(); },
       {1, 1, 2, 2, 1, 1},
       {1, 2, 1}},
      {"prepend", [](Publisher<int> p) { return p.prepend(0); }, {1, 2}, {0, 1, 2}},
      {"prepend then removeDuplicates",
       [](Publisher<int> p) { return p.prepend(1).removeDuplicates(); },
       {1, 2},
       {1, 2}},
      {"map to a duplicate",
       [](Publisher<int> p) { return p.map([](int v) { return v / 10; }).removeDuplicates(); },
       {10, 11, 19, 20},
       {1, 2}},
      {"merge with never",
       [](Publisher<int> p) { return merge(p, Publisher<int>::never()); },
       {4, 5},
       {4, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PassthroughSubject<int> subject;
    Recorder<int> recorder(c.apply(subject.publisher()));
    for (int value : c.sends) subject.send(value);
    EXPECT_EQ(recorder.values, c.expected);
    subject.sendCompletion();
    EXPECT_EQ(recorder.completions, c.name == std::string("merge with never") ? 0 : 1);
  }
}

TEST(OperatorTest, MapAndRemoveDuplicatesKeepStatePerSubscriber) {
  CurrentValueSubject<int> subject(5);
  Publisher<int> counted = subject.publisher().map([count = 0](int) mutable { return ++count; });
  Publisher<int> distinct = subject.publisher().removeDuplicates();
  Recorder<int> firstCounted(counted);
  Recorder<int> firstDistinct(distinct);
  subject.send(5);
  Recorder<int> secondCounted(counted);
  Recorder<int> secondDistinct(distinct);
  EXPECT_EQ(firstCounted.values, (std::vector<int>{1, 2}));
  EXPECT_EQ(secondCounted.values, (std::vector<int>{1}));
  EXPECT_EQ(firstDistinct.values, (std::vector<int>{5}));
  EXPECT_EQ(secondDistinct.values, (std::vector<int>{5})) << "the first value always passes";
}

TEST(OperatorTest, JustEmptyAndNever) {
  Recorder<int> just(Publisher<int>::just(5));
  EXPECT_EQ(just.values, (std::vector<int>{5}));
  EXPECT_EQ(just.completions, 1);
  EXPECT_FALSE(just.handle);

  Recorder<int> empty(Publisher<int>::empty());
  EXPECT_TRUE(empty.values.empty());
  EXPECT_EQ(empty.completions, 1);

  Recorder<int> never(Publisher<int>::never());
  Recorder<int> defaulted{Publisher<int>()};
  EXPECT_TRUE(never.values.empty());
  EXPECT_EQ(never.completions + defaulted.completions, 0);
  EXPECT_TRUE(never.handle);
}

TEST(CombineLatestTest, PairsLatestValuesOnceBothHaveEmittedAndCompletesWhenBothDid) {
  PassthroughSubject<int> numbers;
  PassthroughSubject<std::string> names;
  Recorder<std::pair<int, std::string>> recorder(
      combineLatest(numbers.publisher(), names.publisher()));

  numbers.send(1);
  numbers.send(2);
  EXPECT_TRUE(recorder.values.empty());
  names.send("a");
  numbers.send(3);
  names.send("b");
  numbers.sendCompletion();
  names.send("c");
  EXPECT_EQ(recorder.completions, 0);
  names.sendCompletion();

  using P = std::pair<int, std::string>;
  EXPECT_EQ(recorder.values, (std::vector<P>{{2, "a"}, {3, "a"}, {3, "b"}, {3, "c"}}));
  EXPECT_EQ(recorder.completions, 1);
}

TEST(MergeTest, PassesValuesInArrivalOrderAndCompletesWhenBothDid) {
  PassthroughSubject<int> a;
  CurrentValueSubject<int> b(0);
  Recorder<int> recorder(merge(a.publisher(), b.publisher()));
  a.send(1);
  b.send(2);
  a.send(3);
  a.sendCompletion();
  b.send(4);
  EXPECT_EQ(recorder.completions, 0);
  b.sendCompletion();
  EXPECT_EQ(recorder.values, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(recorder.completions, 1);
}

// The state service's pipeline: keychain value and installed state, then the host's override.
enum class OverrideState { forcedOff, forcedOn, notOverridden };

struct StatePipeline {
  CurrentValueSubject<std::optional<bool>> keychain{std::nullopt};
  CurrentValueSubject<bool> installed{true};
  PassthroughSubject<OverrideState> overrideState;
  int mappedPairs = 0;

  Publisher<bool> publisher() {
    Publisher<bool> real = combineLatest(keychain.publisher(), installed.publisher())
                               .map([this](const std::pair<std::optional<bool>, bool>& pair) {
                                 ++mappedPairs;
                                 return pair.first == std::optional<bool>(true) && pair.second;
                               })
                               .removeDuplicates()
                               .eraseToAnyPublisher();
    return combineLatest(real, overrideState.publisher())
        .map([](const std::pair<bool, OverrideState>& pair) {
          return std::pair<bool, bool>(
              pair.second == OverrideState::notOverridden ? pair.first : false,
              pair.second == OverrideState::forcedOn);
        })
        .map([](const std::pair<bool, bool>& pair) { return pair.first || pair.second; })
        .removeDuplicates()
        .eraseToAnyPublisher();
  }
};

TEST(StatePipelineTest, EmitsCombinedAnswerOncePerChange) {
  StatePipeline pipeline;
  Recorder<bool> recorder(pipeline.publisher());
  EXPECT_TRUE(recorder.values.empty()) << "nothing before the override has emitted";

  struct Step {
    const char* name;
    std::function<void()> action;
    std::vector<bool> expected;  // everything received so far
  };
  const std::vector<Step> steps = {
      {"override none",
       [&] { pipeline.overrideState.send(OverrideState::notOverridden); },
       {false}},
      {"keychain true", [&] { pipeline.keychain.send(true); }, {false, true}},
      {"keychain true again", [&] { pipeline.keychain.send(true); }, {false, true}},
      {"keychain absent", [&] { pipeline.keychain.send(std::nullopt); }, {false, true, false}},
      {"keychain true", [&] { pipeline.keychain.send(true); }, {false, true, false, true}},
      {"not installed", [&] { pipeline.installed.send(false); }, {false, true, false, true, false}},
      {"forced on",
       [&] { pipeline.overrideState.send(OverrideState::forcedOn); },
       {false, true, false, true, false, true}},
      {"changes under forced on",
       [&] {
         pipeline.installed.send(true);
         pipeline.keychain.send(false);
         pipeline.keychain.send(true);
       },
       {false, true, false, true, false, true}},
      {"forced off",
       [&] { pipeline.overrideState.send(OverrideState::forcedOff); },
       {false, true, false, true, false, true, false}},
      {"override lifted",
       [&] { pipeline.overrideState.send(OverrideState::notOverridden); },
       {false, true, false, true, false, true, false, true}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    step.action();
    EXPECT_EQ(recorder.values, step.expected);
  }
  EXPECT_EQ(pipeline.mappedPairs, 9) << "every pair is mapped, duplicates included";
}

TEST(CreateTest, RunsSetupPerSubscriberAndCancelsItsHandleOnce) {
  int setups = 0;
  int cancels = 0;
  std::vector<Emitter<int>> emitters;
  Publisher<int> created = Publisher<int>::create([&](Emitter<int> emitter) {
    ++setups;
    emitter.send(100);  // synchronously, during subscribe
    emitters.push_back(emitter);
    return AnyCancellable([&] { ++cancels; });
  });

  Recorder<int> first(created);
  Recorder<int> second(created);
  EXPECT_EQ(setups, 2);
  EXPECT_EQ(first.values, (std::vector<int>{100}));

  emitters[0].send(1);
  emitters[1].send(2);
  emitters[0].sendCompletion();
  emitters[0].send(3);  // after completion: dropped
  emitters[1].sendCompletion();
  emitters[1].sendCompletion();
  EXPECT_EQ(first.values, (std::vector<int>{100, 1}));
  EXPECT_EQ(second.values, (std::vector<int>{100, 2}));
  EXPECT_EQ(first.completions + second.completions, 2);
  EXPECT_EQ(cancels, 2) << "completion ends the subscription, which cancels the handle";
  first.handle.cancel();
  EXPECT_EQ(cancels, 2);
}

TEST(CreateTest, EmitterFromAnotherThreadIsDroppedAfterCancel) {
  std::optional<Emitter<int>> kept;
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  std::atomic<int> received{0};
  AnyCancellable handle =
      Publisher<int>::create([&](Emitter<int> emitter) {
        kept = emitter;
        return AnyCancellable();
      }).sink([&received, token = std::move(token)](const int&) { ++received; });

  std::atomic<bool> finished{false};
  std::thread sender([&] {
    kept->send(1);
    finished = true;
  });
  joinOrFail(sender, finished);
  EXPECT_EQ(received.load(), 1);

  handle.cancel();
  EXPECT_TRUE(watch.expired()) << "an emitter kept elsewhere does not keep the subscription";
  finished = false;
  std::thread late([&] {
    kept->send(2);
    kept->sendCompletion();
    finished = true;
  });
  joinOrFail(late, finished);
  EXPECT_EQ(received.load(), 1);
}

TEST(PublisherRuleTest, NoLockIsHeldWhileACallbackRuns) {
  // While a callback runs, another thread uses the same subject and the same chain. Any lock
  // held across the callback would block that thread, which the callback waits for.
  CurrentValueSubject<int> subject(0);
  CurrentValueSubject<int> other(0);
  std::vector<int> seenByCallbackChain;
  std::atomic<bool> helperFinished{false};
  std::vector<int> seenByHelper;
  AnyCancellable handle =
      combineLatest(subject.publisher(), other.publisher())
          .map([](const std::pair<int, int>& p) { return p.first + p.second; })
          .sink([&](const int& value) {
            seenByCallbackChain.push_back(value);
            if (value != 1) return;
            std::thread helper([&] {
              EXPECT_EQ(subject.value(), 1);
              other.send(10);   // into the same chain: queued behind this callback
              subject.send(2);  // same subject: queued too
              AnyCancellable inner =
                  subject.publisher().sink([&](const int& v) { seenByHelper.push_back(v); });
              subject.send(3);
              inner.cancel();
              helperFinished = true;
            });
            joinOrFail(helper, helperFinished);
          });
  subject.send(1);
  EXPECT_EQ(seenByHelper, (std::vector<int>{2, 3}));
  EXPECT_EQ(seenByCallbackChain, (std::vector<int>{0, 1, 11, 12, 13}))
      << "values queued during the callback follow it, in order";
}

TEST(PublisherRuleTest, ReentrantSendsFromACallbackAreDeliveredWithoutDeadlock) {
  CurrentValueSubject<int> subject(0);
  std::vector<int> values;
  AnyCancellable handle = subject.publisher().sink([&](const int& value) {
    values.push_back(value);
    if (value > 0 && value < 3) subject.send(value + 1);
  });
  subject.send(1);
  EXPECT_EQ(values, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(subject.value(), 3);

  // Into the other input of the same combineLatest, and subscribing and cancelling inside.
  CurrentValueSubject<int> a(0);
  CurrentValueSubject<int> b(0);
  std::vector<std::pair<int, int>> pairs;
  std::vector<int> innerValues;
  AnyCancellable combined =
      combineLatest(a.publisher(), b.publisher()).sink([&](const std::pair<int, int>& pair) {
        pairs.push_back(pair);
        if (pair == std::pair<int, int>(1, 0)) {
          b.send(1);
          AnyCancellable inner =
              a.publisher().sink([&](const int& v) { innerValues.push_back(v); });
        }
      });
  a.send(1);
  EXPECT_EQ(pairs, (std::vector<std::pair<int, int>>{{0, 0}, {1, 0}, {1, 1}}));
  EXPECT_EQ(innerValues, (std::vector<int>{1}));
}

TEST(PublisherRuleTest, CancelInsideTheCallbackReturnsAtOnceAndEndsDelivery) {
  CurrentValueSubject<int> subject(0);
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  std::vector<int> values;
  AnyCancellable handle;
  handle = subject.publisher().sink([&, token = std::move(token)](const int& value) {
    values.push_back(value);
    if (value == 1) {
      handle.cancel();
      EXPECT_FALSE(watch.expired()) << "a running closure is freed when it returns";
      subject.send(2);  // re-entrant send after the cancel: not delivered
    }
  });
  subject.send(1);
  EXPECT_TRUE(watch.expired());
  subject.send(3);
  EXPECT_EQ(values, (std::vector<int>{0, 1}));
  EXPECT_FALSE(handle);
}

TEST(PublisherRuleTest, CancelFromAnotherThreadWaitsForTheRunningCallback) {
  CurrentValueSubject<int> subject(0);
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  std::atomic<bool> cancelCalled{false};
  std::atomic<bool> cancelReturned{false};
  std::atomic<bool> callbackFinished{false};
  std::atomic<bool> returnedBeforeCallbackFinished{false};
  AnyCancellable handle = subject.publisher().sink([&](const int& value) {
    if (value == 0) return;
    entered = true;
    while (!release) std::this_thread::yield();
    if (cancelReturned) returnedBeforeCallbackFinished = true;
    callbackFinished = true;
  });

  std::atomic<bool> senderFinished{false};
  std::thread sender([&] {
    subject.send(1);
    senderFinished = true;
  });
  ASSERT_TRUE(testsupport::waitFor([&] { return entered.load(); }));
  std::atomic<bool> cancellerFinished{false};
  std::thread canceller([&] {
    cancelCalled = true;
    handle.cancel();
    cancelReturned = true;
    EXPECT_TRUE(callbackFinished.load());
    cancellerFinished = true;
  });
  ASSERT_TRUE(testsupport::waitFor([&] { return cancelCalled.load(); }));
  release = true;
  joinOrFail(canceller, cancellerFinished);
  joinOrFail(sender, senderFinished);
  EXPECT_FALSE(returnedBeforeCallbackFinished.load());
  subject.send(2);
  EXPECT_FALSE(handle);
}

TEST(CancellableTest, CancellingFreesClosuresAndSetsEndTheirSubscriptions) {
  PassthroughSubject<int> subject;
  auto makeToken = [] { return std::make_shared<int>(0); };
  int received = 0;

  auto single = makeToken();
  std::weak_ptr<int> singleWatch = single;
  AnyCancellable handle =
      subject.publisher().sink([&received, t = std::move(single)](const int&) { ++received; });
  handle.cancel();
  EXPECT_TRUE(singleWatch.expired());
  handle.cancel();  // idempotent

  std::vector<std::weak_ptr<int>> watches;
  {
    CancellableSet set;
    for (int i = 0; i < 3; ++i) {
      auto token = makeToken();
      watches.push_back(token);
      subject.publisher()
          .sink([&received, t = std::move(token)](const int&) { ++received; })
          .store(set);
    }
    AnyCancellable([] {}).store(set);
    EXPECT_EQ(set.size(), 4u);
    subject.send(1);
    EXPECT_EQ(received, 3);
  }
  for (const auto& watch : watches) EXPECT_TRUE(watch.expired());
  subject.send(2);
  EXPECT_EQ(received, 3);

  CancellableSet set;
  int cancels = 0;
  set.insert(AnyCancellable([&] { ++cancels; }));
  set.clear();
  EXPECT_EQ(cancels, 1);
  EXPECT_EQ(set.size(), 0u);
}

TEST(CancellableTest, HandlesAreMoveOnlyAndAssignmentCancelsThePrevious) {
  int firstCancels = 0;
  int secondCancels = 0;
  AnyCancellable empty;
  EXPECT_FALSE(empty);
  empty.cancel();

  AnyCancellable a([&] { ++firstCancels; });
  EXPECT_TRUE(a);
  AnyCancellable b(std::move(a));
  EXPECT_EQ(firstCancels, 0);
  b = AnyCancellable([&] { ++secondCancels; });
  EXPECT_EQ(firstCancels, 1);
  b.cancel();
  b.cancel();
  EXPECT_FALSE(b);
  EXPECT_EQ(secondCancels, 1);
}

// Fixture for operators on the main loop: a virtual clock, and a loop drained before and after.
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

TEST_F(MainLoopOperatorTest, DebounceDeliversTheLastValueOneIntervalAfterTheLastSend) {
  PassthroughSubject<int> subject;
  Recorder<int> recorder(subject.publisher().debounce(500ms, MainLoop::main()));
  for (int i = 1; i <= 10; ++i) {
    subject.send(i);
    advance(100ms);
  }
  EXPECT_TRUE(recorder.values.empty());
  advance(399ms);  // 499 ms after the last value
  EXPECT_TRUE(recorder.values.empty());
  advance(1ms);
  EXPECT_EQ(recorder.values, (std::vector<int>{10}));
  advance(10s);
  EXPECT_EQ(recorder.values, (std::vector<int>{10}));

  // Values sent from another thread are delivered on the main thread.
  bool onMainThread = false;
  AnyCancellable handle =
      subject.publisher().debounce(500ms, MainLoop::main()).sink([&](const int&) {
        onMainThread = MainLoop::main().isMainThread();
      });
  std::atomic<bool> finished{false};
  std::thread sender([&] {
    subject.send(11);
    finished = true;
  });
  joinOrFail(sender, finished);
  advance(500ms);
  EXPECT_TRUE(onMainThread);
  EXPECT_EQ(recorder.values, (std::vector<int>{10, 11}));

  subject.send(12);
  subject.sendCompletion();
  advance(1s);
  EXPECT_EQ(recorder.values, (std::vector<int>{10, 11})) << "completion drops the pending value";
  EXPECT_EQ(recorder.completions, 1);
}

TEST_F(MainLoopOperatorTest, PendingDeliveriesDoNotKeepACancelledSubscriptionAlive) {
  const std::pair<const char*, std::function<Publisher<int>(Publisher<int>)>> cases[] = {
      {"debounce", [](Publisher<int> p) { return p.debounce(500ms, MainLoop::main()); }},
      {"receiveOn", [](Publisher<int> p) { return p.receiveOn(MainLoop::main()); }},
  };
  for (const auto& [name, apply] : cases) {
    SCOPED_TRACE(name);
    PassthroughSubject<int> subject;
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    int received = 0;
    int completions = 0;
    AnyCancellable handle =
        apply(subject.publisher())
            .sink([&received, t = std::move(token)](const int&) { ++received; },
                  [&completions] { ++completions; });
    subject.send(1);
    handle.cancel();
    EXPECT_TRUE(watch.expired()) << "a pending timer or posted block must not hold the subscriber";
    subject.sendCompletion();
    advance(1s);
    EXPECT_EQ(received + completions, 0);
  }
}

TEST_F(MainLoopOperatorTest, ReceiveOnRedeliversOnTheMainThreadInOrder) {
  PassthroughSubject<int> subject;
  std::vector<int> values;
  bool allOnMainThread = true;
  AnyCancellable handle =
      subject.publisher().receiveOn(MainLoop::main()).sink([&](const int& value) {
        allOnMainThread = allOnMainThread && MainLoop::main().isMainThread();
        values.push_back(value);
      });
  subject.send(0);
  EXPECT_TRUE(values.empty()) << "delivery is asynchronous";

  std::atomic<bool> finished{false};
  std::thread sender([&] {
    for (int i = 1; i < 100; ++i) subject.send(i);
    finished = true;
  });
  joinOrFail(sender, finished);
  ASSERT_TRUE(MainLoop::main().runUntil([&] { return values.size() == 100; }, 20s));
  for (int i = 0; i < 100; ++i) ASSERT_EQ(values[i], i);
  EXPECT_TRUE(allOnMainThread);
}

TEST_F(MainLoopOperatorTest, ReceiveOnDeliversTheValuesPostedBeforeCompletion) {
  PassthroughSubject<int> subject;
  Recorder<int> recorder(subject.publisher().receiveOn(MainLoop::main()));
  subject.send(2);
  subject.sendCompletion();
  MainLoop::main().runPending();
  EXPECT_EQ(recorder.values, (std::vector<int>{2}));
  EXPECT_EQ(recorder.completions, 1);
}

}  // namespace
}  // namespace platform
