#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "host/logging.h"
#include "runtime/clock.h"
#include "runtime/main_loop.h"
#include "support/service_fakes.h"
#include "support/wait.h"

namespace {

using brisvane::BrisvaneStateServiceImpl;
using host::BrisvaneRTPOverrideState;
using testsupport::waitFor;

constexpr const char* kReceived = "🌗 Received event from Brisvane.";

std::string show(std::optional<bool> v) {
  return v ? (*v ? "true" : "false") : "absent";
}

// The shared harness, and a way to wait for what its reads publish.
struct Harness : testsupport::ServiceHarness {
  // Waits until n reads have finished and their values have been published.
  void settle(int reads, std::optional<bool> expected) {
    ASSERT_TRUE(waitFor([&] { return reader->reads() >= reads; }));
    ASSERT_TRUE(waitFor([&] { return service->keychainRTPValue() == expected; }));
  }
};

// --- The getter and should-inform tables, with the keychain value seeded from the provider and
// --- every read held back, so that nothing else moves.

TEST(StateServiceAnswers, IsRealTimeProtectionEnabledFollowsItsTable) {
  struct Row {
    bool isOverridden;
    bool overriddenValue;
    std::optional<bool> keychain;
    bool installed;
    bool expected;
    bool asksOverriddenValue;
    bool asksMonitor;
  };
  const std::vector<Row> rows = {
      {true, true, false, false, true, true, false},
      {true, false, true, true, false, true, false},
      {true, true, std::nullopt, true, true, true, false},
      {false, true, true, true, true, false, true},
      {false, true, true, false, false, false, true},
      {false, true, false, true, false, false, false},
      {false, true, std::nullopt, true, false, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("overridden=" + std::to_string(row.isOverridden) +
                 " keychain=" + show(row.keychain) + " installed=" + std::to_string(row.installed));
    Harness h;
    h.reader->block();
    h.provider = std::make_shared<testsupport::FakeLastSavedStateProvider>(row.keychain);
    h.monitor->set(row.installed);
    h.override_.isOverridden = row.isOverridden;
    h.override_.overriddenValue = row.overriddenValue;
    h.build();
    h.monitor->asked = 0;
    EXPECT_EQ(h.service->isRealTimeProtectionEnabled(), row.expected);
    EXPECT_EQ(h.override_.isOverriddenCalls.load(), 1);
    EXPECT_EQ(h.override_.overriddenValueCalls.load(), row.asksOverriddenValue ? 1 : 0);
    EXPECT_EQ(h.monitor->asked.load() > 0, row.asksMonitor);
  }
}

TEST(StateServiceAnswers, ShouldInformFollowsItsTable) {
  struct Row {
    bool hasProvider;
    std::optional<bool> keychain;  // the seed
    std::optional<bool> saved;     // what the provider says afterwards
    bool forcedOff;                // override forcing protection off
    bool expected;
  };
  const std::vector<Row> rows = {
      {false, std::nullopt, std::nullopt, false, false},
      // Nothing saved: the real value, whatever the override says.
      {true, true, std::nullopt, false, true},
      {true, true, std::nullopt, true, true},
      {true, false, std::nullopt, false, false},
      // Something saved: the answer with the override, compared with it.
      {true, true, true, false, false},
      {true, true, false, false, true},
      {true, true, true, true, true},
      {true, std::nullopt, false, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("provider=" + std::to_string(row.hasProvider) + " keychain=" + show(row.keychain) +
                 " saved=" + show(row.saved) + " forcedOff=" + std::to_string(row.forcedOff));
    Harness h;
    h.reader->block();
    if (row.hasProvider) {
      h.provider = std::make_shared<testsupport::FakeLastSavedStateProvider>(row.keychain);
    }
    h.override_.isOverridden = row.forcedOff;
    h.override_.overriddenValue = false;
    h.build();
    if (h.provider) h.provider->set(row.saved);
    EXPECT_EQ(h.service->shouldInformUserAboutRTPStatusUpdate(), row.expected);
  }
}

TEST(StateServiceAnswers, NoProviderMeansNoValueUntilTheFirstRead) {
  Harness h;
  h.reader->block();
  h.build();
  EXPECT_EQ(h.service->keychainRTPValue(), std::nullopt);
  EXPECT_FALSE(h.service->isRealTimeProtectionEnabled());
  EXPECT_FALSE(h.service->shouldInformUserAboutRTPStatusUpdate());
}

TEST(StateServiceAnswers, FailingCollaboratorsNeverReachTheHost) {
  Harness h;
  h.reader->block();
  h.provider = std::make_shared<testsupport::FakeLastSavedStateProvider>(true);
  h.build();
  h.monitor->throwOnAsk = true;
  host::ScopedLogCapture capture;
  EXPECT_FALSE(h.service->isRealTimeProtectionEnabled());
  EXPECT_FALSE(h.service->shouldInformUserAboutRTPStatusUpdate());
  EXPECT_FALSE(capture.sink().messages().empty());
}

// --- The published stream.

TEST(StateServicePublisher, EmitsNothingBeforeTheOverrideThenFollowsItsTable) {
  Harness h;
  h.reader->setValue(true);
  h.build();
  h.settle(2, true);
  auto publisher = h.service->isRealTimeProtectionEnabledPublisher();
  testsupport::Recorder<bool> recorder;
  auto subscription = publisher.sink(recorder.callback());
  auto values = [&] { return recorder.values(); };
  EXPECT_TRUE(values().empty());

  h.override_.states.send(BrisvaneRTPOverrideState::notOverridden);
  EXPECT_EQ(values(), std::vector<bool>({true}));
  h.override_.states.send(BrisvaneRTPOverrideState::forcedOff);
  EXPECT_EQ(values(), std::vector<bool>({true, false}));
  h.override_.states.send(BrisvaneRTPOverrideState::forcedOn);
  EXPECT_EQ(values(), std::vector<bool>({true, false, true}));
  // Forced on: changes of the real value emit nothing new.
  h.monitor->set(false);
  h.monitor->set(true);
  EXPECT_EQ(values(), std::vector<bool>({true, false, true}));
  h.override_.states.send(BrisvaneRTPOverrideState::notOverridden);
  EXPECT_EQ(values(), std::vector<bool>({true, false, true}));
  h.monitor->set(false);
  EXPECT_EQ(values(), std::vector<bool>({true, false, true, false}));
}

TEST(StateServicePublisher, IsBuiltOnceAndDropsRepeatsButLogsEveryPair) {
  Harness h;
  h.reader->setValue(true);
  h.build();
  h.settle(2, true);
  auto first = h.service->isRealTimeProtectionEnabledPublisher();
  auto second = h.service->isRealTimeProtectionEnabledPublisher();
  // The same stored pipeline: a value sent once reaches subscribers of both through one chain
  // description; compare by subscribing and checking they behave identically.
  testsupport::Recorder<bool> a, b;
  auto sa = first.sink(a.callback());
  auto sb = second.sink(b.callback());
  h.override_.states.send(BrisvaneRTPOverrideState::notOverridden);
  EXPECT_EQ(a.values(), std::vector<bool>({true}));
  EXPECT_EQ(b.values(), std::vector<bool>({true}));

  host::ScopedLogCapture capture;
  h.reader->setValue(true);
  h.reader->signal();  // same value again: a debug line per subscriber, no new value
  ASSERT_TRUE(waitFor([&] { return h.reader->reads() >= 3; }));
  ASSERT_TRUE(waitFor([&] {
    return capture.sink().count(
               "🌗 ManagedByBrisvane=true (keychain=Optional(true), onDevice=true)") >= 2;
  }));
  EXPECT_EQ(a.values(), std::vector<bool>({true}));

  h.reader->setValue(std::nullopt);
  h.reader->signal();
  ASSERT_TRUE(waitFor([&] {
    return capture.sink().count("🌗 ManagedByBrisvane=false (keychain=nil, onDevice=true)") >= 2;
  }));
  ASSERT_TRUE(waitFor([&] { return a.size() == 2; }));
  EXPECT_EQ(a.values(), std::vector<bool>({true, false}));
}

// --- Refreshes and what they hand to the provider.

TEST(StateServiceRefresh, SaveActionFollowsItsTable) {
  struct Row {
    bool hasProvider;
    std::optional<bool> saved;
    std::optional<bool> read;
    bool installed;
    std::vector<bool> expectedSaves;  // per refresh: construction gives two
  };
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
    SCOPED_TRACE("saved=" + show(row.saved) + " read=" + show(row.read) +
                 " installed=" + std::to_string(row.installed));
    Harness h;
    if (row.hasProvider) {
      h.provider = std::make_shared<testsupport::FakeLastSavedStateProvider>(row.saved);
    }
    h.monitor->set(row.installed);
    h.reader->setValue(row.read);
    h.build();
    h.settle(2, row.read);
    if (h.provider) {
      ASSERT_TRUE(waitFor([&] { return h.provider->saves().size() >= row.expectedSaves.size(); }));
      EXPECT_EQ(h.provider->saves(), row.expectedSaves);
    }
  }
}

TEST(StateServiceRefresh, ConstructionRefreshesTwiceWithoutAnyNotification) {
  host::ScopedLogCapture capture;
  Harness h;
  h.reader->setValue(true);
  h.build();
  h.settle(2, true);
  EXPECT_EQ(h.reader->listens(), 1);
  EXPECT_EQ(capture.sink().count(kReceived), 0u);
  EXPECT_TRUE(h.service->isRealTimeProtectionEnabled());
}

TEST(StateServiceRefresh, ChangeSignalLogsOnceAndRefreshesOnce) {
  host::ScopedLogCapture capture;
  Harness h;
  h.reader->setValue(false);
  h.build();
  h.settle(2, false);
  ASSERT_TRUE(waitFor([&] { return h.reader->listens() == 1; }));
  h.reader->setValue(true);
  h.reader->signal();
  h.settle(3, true);
  EXPECT_EQ(capture.sink().count(kReceived), 1u);
  const auto records = capture.sink().records();
  for (const auto& r : records) {
    if (r.message != kReceived) continue;
    EXPECT_EQ(r.level, host::LogLevel::extended);
    EXPECT_EQ(r.category, "Brisvane RTP");
    EXPECT_EQ(r.file, "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl");
    EXPECT_EQ(r.context, 0);
    EXPECT_TRUE(r.asynchronous);
  }
  EXPECT_EQ(h.reader->reads(), 3);
}

TEST(StateServiceRefresh, ReadFailureKeepsThePreviousValueAndSaysWhy) {
  host::ScopedLogCapture capture;
  Harness h;
  h.provider = std::make_shared<testsupport::FakeLastSavedStateProvider>(true);
  h.reader->setValue(true);
  h.build();
  h.settle(2, true);
  const auto savesBefore = h.provider->saves().size();
  h.reader->setReadError("the store is locked");
  h.reader->signal();
  ASSERT_TRUE(waitFor([&] {
    return capture.sink().count(
               "🌗 Keychain read failed; keeping previous value: the store is locked") == 1;
  }));
  EXPECT_EQ(h.service->keychainRTPValue(), true);
  EXPECT_EQ(h.provider->saves().size(), savesBefore);
}

TEST(StateServiceRefresh, FailureToListenIsLoggedAndInstallChangesStillRefresh) {
  host::ScopedLogCapture capture;
  Harness h;
  h.reader->setListenError("no notification folder");
  h.reader->setValue(false);
  h.build();
  ASSERT_TRUE(waitFor([&] {
    return capture.sink().count("🌗 Failed to provide event: no notification folder") == 1;
  }));
  h.settle(2, false);
  h.reader->setValue(true);
  h.monitor->set(false);
  h.settle(3, true);
  EXPECT_FALSE(h.service->isRealTimeProtectionEnabled());
}

// --- Lifetime.

TEST(StateServiceLifetime, DroppingTheServiceDuringABlockedRefreshIsSafe) {
  Harness h;
  h.reader->block();
  h.reader->setValue(true);
  h.build();
  ASSERT_TRUE(waitFor([&] { return h.reader->entered() == 2 && h.reader->listens() == 1; }));
  std::weak_ptr<BrisvaneStateServiceImpl> weak = h.service;
  h.service.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(h.monitor->stops.load(), 1);
  // The listening stream behind the reader has been ended.
  ASSERT_TRUE(waitFor([&] { return h.reader->terminations() == 1; }));
  h.reader->release();
  ASSERT_TRUE(waitFor([&] { return h.reader->reads() == 2; }));
  EXPECT_EQ(h.monitor->stops.load(), 1);
}

// A host that lets go of the service from inside its own callbacks: the sleep handler and the
// host's sink then run the service's destructor on their own stack.
// Dropping the last reference destroys the service there and then, on the dropping thread:
// before the drop returns the monitor is stopped, whichever thread delivers the value inside
// whose callback the host lets go (a refresh may deliver the value the monitor produced).
TEST(StateServiceLifetime, ServiceReleasedFromInsideItsOwnCallbacks) {
  for (const bool fromSleepEvent : {true, false}) {
    SCOPED_TRACE(fromSleepEvent ? "from a main-loop block" : "from the host's sink");
    Harness h;
    h.reader->setValue(true);
    h.build();
    h.settle(2, true);
    std::weak_ptr<BrisvaneStateServiceImpl> weak = h.service;
    std::shared_ptr<BrisvaneStateServiceImpl> held = std::move(h.service);
    std::atomic<bool> dropped{false}, expiredAtDrop{false};
    std::atomic<int> stopsAtDrop{-1};
    auto drop = [&] {
      held.reset();
      expiredAtDrop = weak.expired();
      stopsAtDrop = h.monitor->stops.load();
      dropped = true;
    };
    // One value at a time reaches the sink, so only one delivery ever sees `held` set.
    auto subscription = weak.lock()->isRealTimeProtectionEnabledPublisher().sink([&](const bool& v) {
      if (!fromSleepEvent && !v && !dropped) drop();
    });
    h.override_.states.send(BrisvaneRTPOverrideState::notOverridden);
    if (fromSleepEvent) {
      platform::MainLoop::main().post(drop);
      h.sleep->send(host::SystemSleepEvent::sleep);
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
