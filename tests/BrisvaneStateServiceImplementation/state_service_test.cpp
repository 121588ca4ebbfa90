#include <gtest/gtest.h>

#include <functional>

#include "BrisvaneStateServiceImplementation/detail/StateServiceProbe.h"
#include "host/logging.h"
#include "runtime/clock.h"
#include "runtime/main_loop.h"
#include "support/service_fakes.h"

namespace {

using host::BrisvaneRTPOverrideState;
using host::SystemSleepEvent;
using std::chrono::hours;
using std::chrono::nanoseconds;
using testsupport::waitFor;
using Values = std::vector<bool>;
using Harness = testsupport::ServiceHarness;

// The decision table: the getter, should-inform and the published stream agree on every row,
// with reads held back so that the keychain value is the provider's seed; then the two reads of
// construction (of that same value) hand the provider what `saves` says: a first saved state is
// only ever written as true, and what is saved is the real value, without the override.
TEST(StateServiceDecision, GetterShouldInformStreamAndSavesFollowTheTable) {
  enum Override { forcedOff, forcedOn, none };  // in the order of BrisvaneRTPOverrideState
  // keychain: the provider's seed; saved: what the provider says after construction.
  struct Row { Override override_; bool hasProvider; std::optional<bool> keychain; bool installed;
               std::optional<bool> saved; bool enabled, inform; Values saves; };
  const bool T = true, F = false;
  const std::vector<Row> rows = {
      {none, F, std::nullopt, T, std::nullopt, F, F, {}},
      {none, T, T, T, std::nullopt, T, T, {T, T}},  // nothing saved: the real value
      {none, T, T, T, T, T, F, {T, T}},
      {none, T, T, F, T, F, T, {F, F}},
      {none, T, T, F, std::nullopt, F, F, {}},
      {none, T, F, T, F, F, F, {F, F}},
      {none, T, std::nullopt, T, std::nullopt, F, F, {}},
      {none, T, std::nullopt, T, T, F, T, {F, F}},
      {forcedOn, T, F, F, F, T, T, {F, F}},
      {forcedOn, T, std::nullopt, T, std::nullopt, T, F, {}},  // real value, not override
      {forcedOff, T, T, T, T, F, T, {T, T}},
      {forcedOff, T, T, T, std::nullopt, F, T, {T, T}},
      {forcedOff, T, T, T, F, F, F, {T, T}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "row " << (&row - rows.data()));
    Harness h;
    h.reader->block();
    h.reader->value = row.keychain;
    if (row.hasProvider)
      h.provider = std::make_shared<testsupport::FakeLastSavedStateProvider>(row.keychain);
    h.monitor->set(row.installed);
    h.override_.isOverridden = row.override_ != none;
    h.override_.overriddenValue = row.override_ != forcedOff;  // unused unless overridden
    h.build();
    if (h.provider) h.provider->saved = row.saved;
    EXPECT_EQ(h.service->isRealTimeProtectionEnabled(), row.enabled);
    EXPECT_EQ(h.service->shouldInformUserAboutRTPStatusUpdate(), row.inform);
    testsupport::Recorder<bool> published;
    testsupport::Recorder<std::optional<bool>> sent;
    auto subscription = h.service->isRealTimeProtectionEnabledPublisher().sink(published.callback());
    h.override_.states.send(static_cast<BrisvaneRTPOverrideState>(row.override_));
    EXPECT_EQ(published.values(), Values{row.enabled});
    auto sends = brisvane::probe::keychainValues(*h.service).sink(sent.callback());
    h.reader->release();
    ASSERT_TRUE(waitFor([&] { return sent.size() == 3; }));  // the current value, then each read's
    sends.cancel();
    h.service.reset();  // waits for a save in progress
    if (h.provider) { EXPECT_EQ(h.provider->saves(), row.saves); }
  }
}

// Nothing before the override; repeats dropped before and after it; two subscribers see the
// same. Reads are held back: keychain values go straight in.
TEST(StateServicePublisher, EmitsNothingBeforeTheOverrideThenDropsRepeatsAndFollowsIt) {
  Harness h;
  h.reader->block();
  h.build();
  testsupport::Recorder<bool> a, b;
  auto sa = h.service->isRealTimeProtectionEnabledPublisher().sink(a.callback());
  auto sb = h.service->isRealTimeProtectionEnabledPublisher().sink(b.callback());
  const auto keychain = [&](std::optional<bool> value) { brisvane::probe::sendKeychainValue(*h.service, value); };
  const auto override_ = [&](BrisvaneRTPOverrideState state) { h.override_.states.send(state); };
  const std::vector<std::pair<std::function<void()>, Values>> steps = {  // what each step adds
      {[] {}, {}},
      {[&] { override_(BrisvaneRTPOverrideState::notOverridden); }, {false}},
      {[&] { keychain(true), keychain(true), keychain(std::nullopt), keychain(true); }, {true, false, true}},
      {[&] { override_(BrisvaneRTPOverrideState::forcedOff); }, {false}},
      {[&] { override_(BrisvaneRTPOverrideState::forcedOn); }, {true}},
      {[&] { h.monitor->set(false), h.monitor->set(true); }, {}},  // forced on: nothing new
      {[&] { override_(BrisvaneRTPOverrideState::notOverridden); }, {}},
      {[&] { h.monitor->set(false); }, {false}},
  };
  Values expected;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    steps[i].first();
    expected.insert(expected.end(), steps[i].second.begin(), steps[i].second.end());
    EXPECT_EQ(a.values(), expected) << "step " << i;
  }
  EXPECT_EQ(b.values(), a.values());
}

// On a virtual clock, which only the periodic refresh uses. Construction refreshes twice without a
// signal; then every change announcement (a storm of them included) and every install change
// refreshes once, and the last read decides the value.
TEST(StateServiceRefresh, EachChangeSignalAndInstallChangeRefreshesOnceAndPeriodicallyWhileAwake) {
  platform::VirtualClock clock;
  platform::ScopedClockOverride useClock{clock};
  Harness h;  // after the clock, so that the service goes first
  h.reader->value = false;
  h.build();
  h.settle(2, false);
  ASSERT_TRUE(waitFor([&] { return h.reader->listens == 1 && clock.sleepingTaskCount() == 1; }));
  const int storm = 2000;
  for (int i = 0; i < storm; ++i) {
    if (i == storm - 1) h.reader->value = true;
    h.reader->signal();
  }
  ASSERT_TRUE(waitFor([&] { return h.reader->reads == storm + 2; }, std::chrono::seconds(120)));
  h.reader->signal();  // a quiet refresh repairs an older read that landed last
  h.settle(storm + 3, true);
  EXPECT_TRUE(h.service->isRealTimeProtectionEnabled());
  h.reader->value = false;
  h.monitor->set(false);
  h.settle(storm + 4, false);
  EXPECT_EQ(h.reader->reads, storm + 4);

  // Every 6 hours while awake, until dropped. After an advance, the periodic task counts as
  // sleeping again only once the refresh that the advance caused (if any) has read.
  const auto deliver = [&](SystemSleepEvent event) {
    h.sleep->send(event), platform::MainLoop::main().runPending();
  };
  // Advances and returns the reads made since those above once the task sleeps again (or, asleep,
  // once nothing sleeps).
  const auto advance = [&](nanoseconds by, std::size_t sleepers = 1) {
    clock.advance(by);
    EXPECT_TRUE(waitFor([&] { return clock.sleepingTaskCount() == sleepers; }));
    return h.reader->reads.load() - (storm + 4);
  };
  EXPECT_EQ(advance(hours(6) - nanoseconds(1)), 0) << "no refresh before 6 hours";
  EXPECT_EQ(advance(nanoseconds(1)), 1);
  advance(hours(5));
  deliver(SystemSleepEvent::sleep);
  EXPECT_EQ(advance(hours(24), 0), 1) << "no refresh while asleep";

  // Two wakes in a row leave one task, whose first refresh comes 6 hours after the wake.
  deliver(SystemSleepEvent::wake);
  deliver(SystemSleepEvent::wake);
  EXPECT_EQ(advance(nanoseconds(0)), 1);
  EXPECT_EQ(advance(hours(6) - nanoseconds(1)), 1);
  EXPECT_EQ(advance(nanoseconds(1)), 2);
  EXPECT_EQ(advance(hours(6)), 3) << "a second task would read twice";
  h.service.reset();  // ends the periodic task
  EXPECT_EQ(advance(hours(12), 0), 3);
}

// Without listening, install changes still refresh; a failed read publishes and saves nothing,
// keeping the previous value; a failing monitor makes the answers false.
TEST(StateServiceRefresh, FailuresAreLoggedAndKeepThePreviousValue) {
  host::ScopedLogCapture capture;
  Harness h;
  h.provider = std::make_shared<testsupport::FakeLastSavedStateProvider>(true);
  h.reader->failListen = true;
  h.reader->value = true;
  h.build();
  h.settle(2, true);
  EXPECT_EQ(capture.sink().count("🌗 Failed to provide event: no notification folder"), 1u);
  testsupport::Recorder<std::optional<bool>> published;
  auto subscription = brisvane::probe::keychainValues(*h.service).removeDuplicates().sink(published.callback());
  const auto saves = h.provider->saves();
  h.reader->failReads = true;
  h.monitor->set(false), h.monitor->set(true);
  ASSERT_TRUE(waitFor([&] { return capture.sink().count("🌗 Keychain read failed; keeping previous value: the store is locked") == 2; }));
  EXPECT_TRUE(h.service->isRealTimeProtectionEnabled());
  EXPECT_EQ(h.provider->saves(), saves);
  h.reader->failReads = false, h.reader->value = false;
  h.monitor->set(false);  // a refresh that starts after the failed ones have published anything
  ASSERT_TRUE(waitFor([&] { return published.size() >= 2; }));
  EXPECT_EQ(published.values(), (std::vector<std::optional<bool>>{true, false}));
  h.monitor->throwOnAsk = true;  // a failing collaborator: the answers are false, with a line
  h.reader->block();
  brisvane::probe::sendKeychainValue(*h.service, true);
  capture.sink().clear();
  EXPECT_FALSE(h.service->isRealTimeProtectionEnabled());
  EXPECT_FALSE(h.service->shouldInformUserAboutRTPStatusUpdate());
  EXPECT_EQ(capture.sink().count("🌗 Could not compute the RTP state; answering false: monitor failed"), 2u);
}

// The host drops the service while both reads of construction are blocked, from inside a
// main-loop block, or from inside its own sink: the service is destroyed there and then, with the
// monitor stopped before the drop returns and the listening ended; blocked reads finish harmlessly.
TEST(StateServiceLifetime, DroppedDuringARefreshOrFromInsideItsOwnCallbacks) {
  enum Where { duringReads, fromMainLoop, fromSink };
  for (const Where where : {duringReads, fromMainLoop, fromSink}) {
    SCOPED_TRACE(testing::Message() << "case " << where);
    Harness h;
    h.reader->value = true;
    if (where == duringReads) h.reader->block();
    h.build();
    ASSERT_TRUE(waitFor([&] { return h.reader->entered == 2 && h.reader->listens == 1; }));
    if (where != duringReads) h.settle(2, true);
    std::weak_ptr weak = h.service;
    auto held = std::move(h.service);
    std::atomic<bool> dropped{false}, expiredAtDrop{false};
    std::atomic<int> stopsAtDrop{-1};
    auto drop = [&] { held.reset(), expiredAtDrop = weak.expired(), stopsAtDrop = h.monitor->stops.load(), dropped = true; };
    auto subscription = weak.lock()->isRealTimeProtectionEnabledPublisher().sink([&](const bool& v) {
      if (where == fromSink && !v && !dropped) drop();
    });
    h.override_.states.send(BrisvaneRTPOverrideState::notOverridden);
    if (where == duringReads) drop();
    if (where == fromMainLoop) {
      platform::MainLoop::main().post(drop);
      h.sleep->send(SystemSleepEvent::sleep);
      platform::MainLoop::main().runPending();
    }
    if (where == fromSink) h.monitor->set(false);
    ASSERT_TRUE(waitFor([&] { return dropped.load(); }));
    EXPECT_TRUE(expiredAtDrop.load());
    EXPECT_EQ(stopsAtDrop.load(), 1);
    ASSERT_TRUE(waitFor([&] { return h.reader->terminations == 1; })) << "listening ended";
    subscription.cancel();
    h.reader->release();
    ASSERT_TRUE(waitFor([&] { return h.reader->reads >= 2; }));
  }
}

}  // namespace
