#include <gtest/gtest.h>

#include <functional>

#include "BrisvaneStateServiceImplementation/detail/StateServiceProbe.h"
#include "host/logging.h"
#include "runtime/clock.h"
#include "runtime/main_loop.h"
#include "support/service_fakes.h"
#include "support/wait.h"

namespace {

using brisvane::BrisvaneStateServiceImpl;
using host::BrisvaneRTPOverrideState;
using host::SystemSleepEvent;
using std::chrono::hours;
using std::chrono::nanoseconds;
using testsupport::waitFor;
using Values = std::vector<bool>;
using FakeProvider = testsupport::FakeLastSavedStateProvider;
using Harness = testsupport::ServiceHarness;

// The decision table: the getter, should-inform and the published stream agree on every row.
// Reads are held back, so the keychain value is the provider's seed throughout.
TEST(StateServiceDecision, GetterShouldInformAndStreamFollowTheTable) {
  enum Override { forcedOff, forcedOn, none };  // in the order of BrisvaneRTPOverrideState
  // keychain: the provider's seed; saved: what the provider says after construction.
  struct Row { Override override_; bool hasProvider; std::optional<bool> keychain; bool installed;
               std::optional<bool> saved; bool enabled, inform; };
  const std::vector<Row> rows = {
      {none, false, std::nullopt, true, std::nullopt, false, false},
      {none, true, true, true, std::nullopt, true, true},  // nothing saved: the real value
      {none, true, true, true, true, true, false},
      {none, true, true, false, true, false, true},
      {none, true, false, true, false, false, false},
      {none, true, std::nullopt, true, std::nullopt, false, false},
      {forcedOn, true, false, false, false, true, true},
      {forcedOn, true, std::nullopt, true, std::nullopt, true, false},  // real value, not override
      {forcedOff, true, true, true, true, false, true},
      {forcedOff, true, true, true, std::nullopt, false, true},
      {forcedOff, true, true, true, false, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "row " << (&row - rows.data()));
    Harness h;
    h.reader->block();
    if (row.hasProvider) h.provider = std::make_shared<FakeProvider>(row.keychain);
    h.monitor->set(row.installed);
    h.override_.isOverridden = row.override_ != none;
    h.override_.overriddenValue = row.override_ != forcedOff;  // unused unless overridden
    h.build();
    if (h.provider) h.provider->set(row.saved);
    EXPECT_EQ(h.service->isRealTimeProtectionEnabled(), row.enabled);
    EXPECT_EQ(h.service->shouldInformUserAboutRTPStatusUpdate(), row.inform);
    testsupport::Recorder<bool> published;
    auto subscription = h.service->isRealTimeProtectionEnabledPublisher().sink(published.callback());
    h.override_.states.send(static_cast<BrisvaneRTPOverrideState>(row.override_));
    EXPECT_EQ(published.values(), Values{row.enabled});
  }
}

// Nothing before the override; repeats dropped before and after it, the line written for every
// pair; two subscribers see the same. Reads are held back: keychain values go straight in.
TEST(StateServicePublisher, EmitsNothingBeforeTheOverrideThenDropsRepeatsAndFollowsIt) {
  Harness h;
  h.reader->block();
  h.build();
  testsupport::Recorder<bool> a, b;
  auto sa = h.service->isRealTimeProtectionEnabledPublisher().sink(a.callback());
  auto sb = h.service->isRealTimeProtectionEnabledPublisher().sink(b.callback());
  EXPECT_TRUE(a.values().empty());
  h.override_.states.send(BrisvaneRTPOverrideState::notOverridden);
  {
    host::ScopedLogCapture capture;
    for (const std::optional<bool> value : {std::optional<bool>(true), std::optional<bool>(true), std::optional<bool>()}) {
      brisvane::probe::sendKeychainValue(*h.service, value);
    }
    EXPECT_EQ(a.values(), (Values{false, true, false}));
    EXPECT_EQ(capture.sink().count("🌗 ManagedByBrisvane=true (keychain=Optional(true), onDevice=true)"), 4u);
    EXPECT_EQ(capture.sink().count("🌗 ManagedByBrisvane=false (keychain=nil, onDevice=true)"), 2u);
  }
  brisvane::probe::sendKeychainValue(*h.service, true);
  auto expected = a.values();
  const std::vector<std::pair<std::function<void()>, Values>> steps = {  // what each step adds
      {[&] { h.override_.states.send(BrisvaneRTPOverrideState::forcedOff); }, {false}},
      {[&] { h.override_.states.send(BrisvaneRTPOverrideState::forcedOn); }, {true}},
      {[&] { h.monitor->set(false); h.monitor->set(true); }, {}},  // forced on: nothing new
      {[&] { h.override_.states.send(BrisvaneRTPOverrideState::notOverridden); }, {}},
      {[&] { h.monitor->set(false); }, {false}},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    steps[i].first();
    expected.insert(expected.end(), steps[i].second.begin(), steps[i].second.end());
    EXPECT_EQ(a.values(), expected) << "step " << i;
  }
  EXPECT_EQ(b.values(), a.values());
}

// What each refresh hands to the provider: a first saved state is only ever written as true.
TEST(StateServiceRefresh, SaveActionFollowsItsTable) {
  struct Row { bool hasProvider; std::optional<bool> saved, read; bool installed; Values saves; };  // two refreshes
  const std::vector<Row> rows = {
      {false, std::nullopt, true, true, {}},
      {true, std::nullopt, false, true, {}},
      {true, std::nullopt, std::nullopt, true, {}},
      {true, std::nullopt, true, false, {}},
      {true, std::nullopt, true, true, {true, true}},
      {true, true, false, true, {false, false}},
      {true, true, std::nullopt, true, {false, false}},
      {true, false, true, false, {false, false}},
      {true, false, true, true, {true, true}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "row " << (&row - rows.data()));
    Harness h;
    if (row.hasProvider) h.provider = std::make_shared<FakeProvider>(row.saved);
    h.monitor->set(row.installed);
    h.reader->setValue(row.read);
    h.build();
    h.settle(2, row.read);
    if (h.provider) {
      ASSERT_TRUE(waitFor([&] { return h.provider->saves().size() >= row.saves.size(); }));
      EXPECT_EQ(h.provider->saves(), row.saves);
    }
  }
}

// Construction refreshes twice without a signal; then every change announcement (a storm of
// them included) and every install change refreshes once, and the last read decides the value.
TEST(StateServiceRefresh, EachChangeSignalAndInstallChangeRefreshesOnce) {
  host::ScopedLogCapture capture;
  Harness h;
  h.reader->setValue(false);
  h.build();
  h.settle(2, false);
  ASSERT_TRUE(waitFor([&] { return h.reader->listens.load() == 1; }));
  const char* kReceived = "🌗 Received event from Brisvane.";
  EXPECT_EQ(capture.sink().count(kReceived), 0u);
  const int storm = 2000;
  for (int i = 0; i < storm; ++i) {
    if (i == storm - 1) h.reader->setValue(true);
    h.reader->signal();
  }
  ASSERT_TRUE(waitFor([&] { return h.reader->reads.load() == storm + 2; }, std::chrono::seconds(120)));
  ASSERT_TRUE(waitFor([&] { return capture.sink().count(kReceived) == std::size_t(storm); }));
  h.reader->signal();  // a quiet refresh repairs an older read that landed last
  h.settle(storm + 3, true);
  EXPECT_TRUE(h.service->isRealTimeProtectionEnabled());
  EXPECT_EQ(capture.sink().records().back().level, host::LogLevel::extended);
  h.reader->setValue(false);
  h.monitor->set(false);
  h.settle(storm + 4, false);
  EXPECT_EQ(h.reader->reads.load(), storm + 4);
}

// Without listening, install changes still refresh; a failed read keeps the previous value; a
// failing monitor makes the answers false.
TEST(StateServiceRefresh, FailuresAreLoggedAndKeepThePreviousValue) {
  host::ScopedLogCapture capture;
  Harness h;
  h.provider = std::make_shared<FakeProvider>(true);
  h.reader->setListenError("no notification folder");
  h.reader->setValue(true);
  h.build();
  h.settle(2, true);
  EXPECT_EQ(capture.sink().count("🌗 Failed to provide event: no notification folder"), 1u);
  const auto saves = h.provider->saves();
  h.reader->setReadError("the store is locked");
  h.monitor->set(false);
  h.monitor->set(true);
  ASSERT_TRUE(waitFor([&] {
    return capture.sink().count("🌗 Keychain read failed; keeping previous value: the store is locked") == 2;
  }));
  EXPECT_EQ(h.service->keychainRTPValue(), true);
  EXPECT_TRUE(h.service->isRealTimeProtectionEnabled());
  EXPECT_EQ(h.provider->saves(), saves);
  h.reader->setValue(false);
  h.monitor->set(false);
  h.settle(5, false);
  h.monitor->throwOnAsk = true;  // a failing collaborator: the answers are false, with a line
  h.reader->block();
  brisvane::probe::sendKeychainValue(*h.service, true);
  capture.sink().clear();
  EXPECT_FALSE(h.service->isRealTimeProtectionEnabled());
  EXPECT_FALSE(h.service->shouldInformUserAboutRTPStatusUpdate());
  EXPECT_EQ(capture.sink().count("🌗 Could not compute the RTP state; answering false: monitor failed"), 2u);
}

// On a virtual clock. After an advance, the periodic task counts as sleeping again only once the
// refresh that the advance caused (if any) has read.
TEST(StateServicePeriodicRefresh, EverySixHoursWhileAwakeUntilDropped) {
  platform::VirtualClock clock;
  platform::ScopedClockOverride useClock{clock};
  Harness h;  // after the clock, so that the service goes first
  h.reader->setValue(true);
  h.build();
  ASSERT_TRUE(waitFor([&] { return h.reader->reads == 2 && clock.sleepingTaskCount() == 1; }));
  const auto deliver = [&](SystemSleepEvent event) { h.sleep->send(event), platform::MainLoop::main().runPending(); };
  // Advances and returns the reads once the task sleeps again (or, asleep, once nothing sleeps).
  const auto advance = [&](nanoseconds by, std::size_t sleepers = 1) {
    clock.advance(by);
    EXPECT_TRUE(waitFor([&] { return clock.sleepingTaskCount() == sleepers; }));
    return h.reader->reads.load();
  };
  EXPECT_EQ(advance(hours(6) - nanoseconds(1)), 2) << "no refresh before 6 hours";
  EXPECT_EQ(advance(nanoseconds(1)), 3);
  EXPECT_EQ(advance(hours(6) - nanoseconds(1)), 3);
  EXPECT_EQ(advance(nanoseconds(1)), 4);

  advance(hours(5));
  deliver(SystemSleepEvent::sleep);
  EXPECT_FALSE(h.service->hasPeriodicRefreshTask());
  EXPECT_EQ(advance(hours(24), 0), 4) << "no refresh while asleep";

  // Two wakes in a row leave one task, whose first refresh comes 6 hours after the wake.
  deliver(SystemSleepEvent::wake);
  deliver(SystemSleepEvent::wake);
  EXPECT_TRUE(h.service->hasPeriodicRefreshTask());
  EXPECT_EQ(advance(nanoseconds(0)), 4);
  EXPECT_EQ(advance(hours(6) - nanoseconds(1)), 4);
  EXPECT_EQ(advance(nanoseconds(1)), 5);
  EXPECT_EQ(advance(hours(6)), 6) << "a second task would read twice";
  h.service.reset();  // ends the periodic task
  EXPECT_EQ(advance(hours(12), 0), 6);
}

// --- Lifetime.

TEST(StateServiceLifetime, DroppingTheServiceDuringABlockedRefreshIsSafe) {
  Harness h;
  h.reader->block();
  h.reader->setValue(true);
  h.build();
  ASSERT_TRUE(waitFor([&] { return h.reader->entered.load() == 2 && h.reader->listens.load() == 1; }));
  std::weak_ptr<BrisvaneStateServiceImpl> weak = h.service;
  h.service.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(h.monitor->stops.load(), 1);
  ASSERT_TRUE(waitFor([&] { return h.reader->terminations.load() == 1; })) << "listening ended";
  h.reader->release();
  ASSERT_TRUE(waitFor([&] { return h.reader->reads.load() == 2; }));
}

// The host lets go of the service from inside a main-loop block or its own sink: the service is
// destroyed there and then, with the monitor stopped before the drop returns.
TEST(StateServiceLifetime, ServiceReleasedFromInsideItsOwnCallbacks) {
  for (const bool fromMainLoop : {true, false}) {
    SCOPED_TRACE(fromMainLoop ? "from a main-loop block" : "from the host's sink");
    Harness h;
    h.reader->setValue(true);
    h.build();
    h.settle(2, true);
    std::weak_ptr<BrisvaneStateServiceImpl> weak = h.service;
    std::shared_ptr<BrisvaneStateServiceImpl> held = std::move(h.service);
    std::atomic<bool> dropped{false}, expiredAtDrop{false};
    std::atomic<int> stopsAtDrop{-1};
    auto drop = [&] { held.reset(), expiredAtDrop = weak.expired(), stopsAtDrop = h.monitor->stops.load(), dropped = true; };
    auto subscription = weak.lock()->isRealTimeProtectionEnabledPublisher().sink([&](const bool& v) {
      if (!fromMainLoop && !v && !dropped) drop();
    });
    h.override_.states.send(BrisvaneRTPOverrideState::notOverridden);
    if (fromMainLoop) {
      platform::MainLoop::main().post(drop);
      h.sleep->send(SystemSleepEvent::sleep);
      platform::MainLoop::main().runPending();
    } else {
      h.monitor->set(false);
    }
    ASSERT_TRUE(waitFor([&] { return dropped.load(); }));
    EXPECT_TRUE(expiredAtDrop.load());
    EXPECT_EQ(stopsAtDrop.load(), 1);
    subscription.cancel();
  }
}

}  // namespace
