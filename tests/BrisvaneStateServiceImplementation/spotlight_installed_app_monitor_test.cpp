#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "BrisvaneStateServiceImplementation/SpotlightInstalledAppMonitor.h"
#include "host/logging.h"
#include "runtime/clock.h"
#include "runtime/main_loop.h"
#include "notifications/notification_center.h"
#include "support/bundles.h"
#include "support/service_fakes.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using brisvane::SpotlightInstalledAppMonitor;
using namespace std::chrono_literals;
using testsupport::makeBundle;

constexpr const char* kBrisvane = "com.tarvik.brisvane";
constexpr const char* kOrbisk = "com.tarvik.brisvane-orbisk";
constexpr const char* kHost = "com.example.host";
constexpr const char* kFallback = "🔍 Spotlight index does not see the host app. Will use fallback.";
constexpr const char* kRefresh = "🔍 Refresh — ";
constexpr const char* kStarted = "🔍 Query started for ";

// The host's checker with a set of present applications. The monitor asks it on the test thread
// only (start(), its first answer, and refreshes run by the main loop).
struct FakeChecker final : host::AppOnDeviceCheckerServiceType {
  bool isAppOnDevice(const std::string& id) const override { return present.count(id) != 0; }
  std::set<std::string> present;
};

// Monitors over private folders, on virtual time, with the log captured.
struct SpotlightInstalledAppMonitorTest : ::testing::Test {
  std::shared_ptr<SpotlightInstalledAppMonitor> make(std::vector<fs::path> folders) {
    return SpotlightInstalledAppMonitor::make({kBrisvane, kOrbisk}, checker, kHost, std::move(folders), 500ms);
  }
  std::size_t count(const std::string& prefix) const {
    const auto all = logs.sink().messages("SpotlightInstalledAppMonitor");
    return std::count_if(all.begin(), all.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }
  void pump() { platform::MainLoop::main().runPending(); }
  void settle(std::chrono::milliseconds by = 500ms) { clock.advance(by), pump(); }
  // start(), then the main loop until the query has gathered and the debounced refresh ran.
  void startAndSettle(SpotlightInstalledAppMonitor& monitor) {
    const auto gathered = count("🔍 Initial gather finished");
    monitor.start();
    ASSERT_TRUE(platform::MainLoop::main().runUntil([&] { return count("🔍 Initial gather finished") > gathered; }, 20s));
    settle();
  }

  platform::VirtualClock clock;
  platform::ScopedClockOverride clockOverride{clock};
  mutable host::ScopedLogCapture logs;
  testsupport::TempDir dir;
  const fs::path scope = dir / "Applications";
  std::shared_ptr<FakeChecker> checker = std::make_shared<FakeChecker>();
};

// A refresh believes the query only while it finds the host; otherwise it asks the checker for the
// security application's identifiers (not the host's), again at each refresh.
TEST_F(SpotlightInstalledAppMonitorTest, RefreshTrustsTheQueryOnlyWhileItSeesTheHost) {
  struct Case { const char* name; std::vector<std::pair<const char*, const char*>> bundles; std::set<std::string> checkerPresent;
                bool expected; const char* line; };
  const Case cases[] = {
      {"host and one bundle in the second scope", {{"Host.app", kHost}, {"Orbisk/B.app", kBrisvane}}, {}, true,
       "🔍 Refresh — 2 matches, isInstalled=true"},
      {"host alone", {{"Host.app", kHost}}, {kBrisvane}, false, "🔍 Refresh — 1 matches, isInstalled=false"},
      {"no host, checker finds it", {{"B.app", kBrisvane}}, {kOrbisk}, true, kFallback},
      {"no host, checker sees the host only", {{"B.app", kBrisvane}}, {kHost}, false, kFallback},
      {"nothing at all", {}, {kBrisvane}, true, kFallback},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const testsupport::TempDir folder;
    for (const auto& [path, identifier] : c.bundles) makeBundle(folder / path, identifier);
    checker->present = c.checkerPresent;
    logs.sink().clear();
    const auto monitor = make({folder.path(), folder / "Orbisk"});
    startAndSettle(*monitor);
    EXPECT_EQ(monitor->isInstalled(), c.expected);
    EXPECT_EQ(count(c.line), 1u);
    EXPECT_EQ(count(kRefresh) + count(kFallback), 1u);
    checker->present = {};
    makeBundle(folder / "Another.app", kOrbisk);
    pump();
    settle();
    EXPECT_EQ(count(kRefresh) + count(kFallback), 2u);
    EXPECT_EQ(monitor->isInstalled(), c.line != kFallback) << "the query, or the fallback again";
  }
}

// Install and uninstall change the answer once, after the debounce that follows the last update
// (the second identifier is the refresh table's). Then stop and release off the main thread clear
// the query at once, stop it on the main loop and cancel a pending refresh; later start and stop
// calls supersede pending start steps.
TEST_F(SpotlightInstalledAppMonitorTest,
       ChangesPublishOnceAfterTheDebounceAndStopStartAndReleaseCleanUp) {
  makeBundle(scope / "Host.app", kHost);
  auto monitor = make({scope});
  startAndSettle(*monitor);
  testsupport::Recorder<bool> published;
  auto subscription = monitor->isInstalledPublisher().sink(published.callback());
  ASSERT_EQ(published.values(), std::vector<bool>{false});
  const fs::path copied = scope / "Brisvane.app";
  const std::vector<std::pair<std::function<void()>, bool>> changes = {
      {[&] { makeBundle(dir / "B.app", kBrisvane); fs::rename(dir / "B.app", copied); }, true},
      {[&] {  // a burst of updates: the debounce runs from the last one
         for (int i = 0; i < 4; ++i) {
           makeBundle(scope / "Host.app", kHost, testsupport::PlistFormat::xml, std::to_string(i + 2)), settle(0ms), settle(400ms);
         }
         EXPECT_EQ(count("🔍 Query update — added=0 removed=0 changed=1"), 4u);
         fs::remove_all(copied);
       }, false},
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    auto expected = published.values();
    changes[i].first();
    settle(0ms);
    settle(499ms);
    EXPECT_EQ(published.values(), expected) << "nothing before the debounce, change " << i;
    settle(1ms);
    expected.push_back(changes[i].second);
    EXPECT_EQ(published.values(), expected) << "change " << i;
  }
  EXPECT_EQ(count(kRefresh), 3u) << "one refresh per change";
  // Updates with odd or missing user info, or from another object, are tolerated or ignored.
  auto& center = platform::NotificationCenter::defaultCenter();
  auto query = monitor->currentQuery();
  center.post(platform::MetadataQueryDidUpdateNotification, query.get(),
              {{platform::MetadataQueryUpdateAddedItemsKey, std::string("not items")},
               {platform::MetadataQueryUpdateRemovedItemsKey, std::vector<platform::MetadataItem>(2)}});
  center.post(platform::MetadataQueryDidUpdateNotification, &center);
  EXPECT_EQ(count("🔍 Query update — added=0 removed=2 changed=0"), 1u);
  settle();
  EXPECT_EQ(count(kRefresh), 4u);

  logs.sink().clear();  // from here on, counts start from zero
  makeBundle(copied, kBrisvane);
  pump();
  ASSERT_EQ(count("🔍 Query update — added=1"), 1u);
  std::thread([&] { monitor->stop(); }).join();
  EXPECT_EQ(monitor->currentQuery(), nullptr);
  EXPECT_FALSE(query->isStopped());
  pump();
  EXPECT_TRUE(query->isStopped());
  settle(2s);
  EXPECT_EQ(published.values(), (std::vector<bool>{false, true, false}))
      << "the pending refresh was cancelled";
  platform::NotificationCenter::defaultCenter().post(platform::MetadataQueryDidUpdateNotification, query.get());
  EXPECT_EQ(count("🔍 Query update — "), 1u) << "the observations ended too";

  monitor->start(), monitor->start(), monitor->stop(), pump();
  EXPECT_EQ(count(kStarted), 0u) << "a stop before the start steps: no query";
  startAndSettle(*monitor);
  query = monitor->currentQuery();
  startAndSettle(*monitor);
  EXPECT_TRUE(query->isStopped());
  EXPECT_EQ(count(kStarted), 2u) << "two starts in a row, each its own query";
  EXPECT_EQ(published.values(), (std::vector<bool>{false, true, false, true, false, true}))
      << "fallback, query";

  query = monitor->currentQuery();
  std::thread([held = std::move(monitor)]() mutable { held.reset(); }).join();
  EXPECT_FALSE(query->isStopped());
  pump();
  EXPECT_TRUE(query->isStopped()) << "from the main loop when released elsewhere";
  make({scope})->start();
  pump();
  EXPECT_EQ(count(kStarted), 2u) << "released before the start step ran";
}

}  // namespace
