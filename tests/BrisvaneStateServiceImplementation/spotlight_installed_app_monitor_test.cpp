#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BrisvaneStateServiceImplementation/SpotlightInstalledAppMonitor.h"
#include "host/logging.h"
#include "platform/clock.h"
#include "platform/detail/metadata_plist.h"
#include "platform/main_loop.h"
#include "platform/notification_center.h"
#include "support/service_fakes.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using brisvane::SpotlightInstalledAppMonitor;
using namespace std::chrono_literals;

constexpr const char* kBrisvane = "com.tarvik.brisvane";
constexpr const char* kOrbisk = "com.tarvik.brisvane-orbisk";
constexpr const char* kHost = "com.example.host";
constexpr const char* kFallback = "🔍 Spotlight index does not see the host app. Will use fallback.";
constexpr const char* kRefresh = "🔍 Refresh — ";
constexpr const char* kStarted = "🔍 Query started for ";

void makeBundle(const fs::path& bundle, const std::string& identifier, const std::string& version = "1") {
  fs::create_directories(bundle / "Contents");
  std::ofstream(bundle / "Contents" / "Info.plist", std::ios::binary | std::ios::trunc)
      << platform::detail::encodeStringDictionary(
             {{"CFBundleIdentifier", identifier}, {"CFBundleShortVersionString", version}},
             platform::detail::PlistFormat::xml);
}

// The host's checker with a set of present applications; counts its calls. Thread-safe.
class FakeChecker final : public host::AppOnDeviceCheckerServiceType {
 public:
  bool isAppOnDevice(const std::string& bundleIdentifier) const override {
    ++calls;
    const std::lock_guard<std::mutex> lock(mutex_);
    return present_.count(bundleIdentifier) != 0;
  }
  void setPresent(std::set<std::string> present) {
    const std::lock_guard<std::mutex> lock(mutex_);
    present_ = std::move(present);
  }
  mutable std::atomic<int> calls{0};

 private:
  mutable std::mutex mutex_;
  std::set<std::string> present_;
};

// Monitors over private folders, on virtual time, with the log captured.
struct SpotlightInstalledAppMonitorTest : ::testing::Test {
  std::shared_ptr<SpotlightInstalledAppMonitor> make(std::vector<std::string> ids = {kBrisvane, kOrbisk},
                                                     std::vector<fs::path> folders = {}) {
    if (folders.empty()) folders = {scope};
    return SpotlightInstalledAppMonitor::make(std::move(ids), checker, kHost, std::move(folders), 500ms);
  }
  std::size_t count(const std::string& prefix) const {
    const auto all = logs.sink().messages("SpotlightInstalledAppMonitor");
    return std::count_if(all.begin(), all.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }
  void pump() { platform::MainLoop::main().runPending(); }
  void settle() {
    clock.advance(500ms);
    pump();
  }
  // start(), then the main loop until the query has gathered and the debounced refresh ran.
  void startAndSettle(SpotlightInstalledAppMonitor& monitor) {
    const auto gathered = count("🔍 Initial gather finished");
    monitor.start();
    ASSERT_TRUE(platform::MainLoop::main().runUntil(
        [&] { return count("🔍 Initial gather finished") > gathered; }, 20s));
    settle();
  }

  platform::VirtualClock clock;
  platform::ScopedClockOverride clockOverride{clock};
  mutable host::ScopedLogCapture logs;
  testsupport::TempDir dir;
  const fs::path scope = dir / "Applications";
  std::shared_ptr<FakeChecker> checker = std::make_shared<FakeChecker>();
  testsupport::Recorder<bool> published;
  platform::AnyCancellable subscription;
};

TEST_F(SpotlightInstalledAppMonitorTest, DefaultFoldersAndAFallbackAskedOnceOnFirstUse) {
  const testsupport::ScopedEnv home("HOME", (dir / "home").string());
  EXPECT_EQ(SpotlightInstalledAppMonitor::make({kBrisvane}, checker, kHost, {}, 1s)->directoriesToCheck(),
            (std::vector<fs::path>{"/Applications", "/Applications/Orbisk", dir / "home" / "Applications"}));
  struct Case {
    std::set<std::string> present;
    bool expected;
    int calls;  // the walk stops at the first identifier present
  };
  for (const auto& c : {Case{{}, false, 2}, Case{{kBrisvane}, true, 1}, Case{{kOrbisk}, true, 2},
                        Case{{kHost}, false, 2}}) {
    checker->setPresent(c.present);
    checker->calls = 0;
    const auto monitor = make();
    EXPECT_EQ(monitor->isInstalled(), c.expected);
    EXPECT_EQ(monitor->isInstalled(), c.expected);
    auto handle = monitor->isInstalledPublisher().sink([](const bool&) {});
    EXPECT_EQ(checker->calls, c.calls);
  }
}

TEST_F(SpotlightInstalledAppMonitorTest, QueryAsksForEachDistinctIdentifierAndTheHost) {
  for (const auto& [ids, expected] : std::vector<std::pair<std::vector<std::string>, std::set<std::string>>>{
           {{kBrisvane, kBrisvane, kOrbisk}, {kBrisvane, kOrbisk, kHost}}, {{kHost}, {kHost}}}) {
    const auto monitor = make(ids);
    monitor->start();
    pump();
    const auto query = monitor->currentQuery();
    ASSERT_NE(query, nullptr);
    const auto& subpredicates = query->predicate()->subpredicates();
    std::set<std::string> values;
    for (const auto& p : subpredicates) {
      EXPECT_EQ(p.key(), platform::MetadataItemCFBundleIdentifierKey);
      values.insert(p.value());
    }
    EXPECT_EQ(subpredicates.size(), expected.size());
    EXPECT_EQ(values, expected);
    EXPECT_EQ(query->searchScopes(), std::vector<fs::path>{scope});
    monitor->stop();
  }
}

TEST_F(SpotlightInstalledAppMonitorTest, RefreshTrustsTheQueryOnlyWhileItSeesTheHost) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> bundles;  // relative path, identifier
    std::set<std::string> checkerPresent;
    bool expected;
    const char* line;
  };
  const Case cases[] = {
      {"host and one bundle in the second scope", {{"Host.app", kHost}, {"Orbisk/B.app", kBrisvane}}, {}, true,
       "🔍 Refresh — 2 matches, isInstalled=true"},
      {"host alone", {{"Host.app", kHost}}, {kBrisvane}, false, "🔍 Refresh — 1 matches, isInstalled=false"},
      {"no host, checker finds it", {{"B.app", kBrisvane}}, {kOrbisk}, true, kFallback},
      {"no host, checker does not", {{"B.app", kBrisvane}}, {}, false, kFallback},
      {"nothing at all", {}, {kBrisvane}, true, kFallback},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const testsupport::TempDir folder;
    for (const auto& [path, identifier] : c.bundles) makeBundle(folder / path, identifier);
    checker->setPresent(c.checkerPresent);
    logs.sink().clear();
    const auto monitor = make({kBrisvane, kOrbisk}, {folder.path(), folder / "Orbisk"});
    startAndSettle(*monitor);
    EXPECT_EQ(monitor->isInstalled(), c.expected);
    EXPECT_EQ(count(c.line), 1u);
    EXPECT_EQ(count(kRefresh) + count(kFallback), 1u);
    // The fallback answer is asked again at each refresh without the host.
    checker->setPresent({});
    makeBundle(folder / "Another.app", kOrbisk);
    pump();
    settle();
    EXPECT_EQ(count(kRefresh) + count(kFallback), 2u);
    if (c.line == kFallback) {
      EXPECT_FALSE(monitor->isInstalled());
    }
  }
}

// Install and uninstall change the answer once, after the debounce that follows the last update.
TEST_F(SpotlightInstalledAppMonitorTest, ChangesPublishOnceAfterTheDebounce) {
  makeBundle(scope / "Host.app", kHost);
  const auto monitor = make();
  startAndSettle(*monitor);
  subscription = monitor->isInstalledPublisher().sink(published.callback());
  ASSERT_EQ(published.values(), std::vector<bool>{false});
  const fs::path copied = scope / "Brisvane.app";
  const std::vector<std::pair<std::function<void()>, bool>> changes = {
      {[&] {
         fs::create_directories(dir / "Downloads");
         makeBundle(dir / "Downloads" / "B.app", kBrisvane);
         fs::rename(dir / "Downloads" / "B.app", copied);
       }, true},
      {[&] { fs::remove_all(copied); }, false},
      {[&] {
         fs::create_directories(copied / "Contents");
         pump();
         makeBundle(copied, kOrbisk);
       }, true},
      {[&] {  // a burst of updates: the debounce runs from the last one
         for (int i = 0; i < 4; ++i) {
           makeBundle(scope / "Host.app", kHost, std::to_string(i + 2));
           pump();
           clock.advance(400ms);
           pump();
         }
         EXPECT_EQ(count("🔍 Query update — added=0 removed=0 changed=1"), 4u);
         makeBundle(copied, "com.tarvik.other");
       }, false},
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    auto expected = published.values();
    changes[i].first();
    pump();
    clock.advance(499ms);
    pump();
    EXPECT_EQ(published.values(), expected) << "nothing before the debounce, change " << i;
    clock.advance(1ms);
    pump();
    expected.push_back(changes[i].second);
    EXPECT_EQ(published.values(), expected) << "change " << i;
  }
  EXPECT_EQ(count(kRefresh), 5u) << "one refresh per change";
  // Updates with odd or missing user info, or from another object, are tolerated or ignored.
  auto& center = platform::NotificationCenter::defaultCenter();
  const auto query = monitor->currentQuery();
  center.post(platform::MetadataQueryDidUpdateNotification, query.get(),
              {{platform::MetadataQueryUpdateAddedItemsKey, std::string("not items")},
               {platform::MetadataQueryUpdateRemovedItemsKey, std::vector<platform::MetadataItem>(2)}});
  center.post(platform::MetadataQueryDidUpdateNotification, &center);
  EXPECT_EQ(count("🔍 Query update — added=0 removed=2 changed=0"), 1u);
  settle();
  EXPECT_EQ(count(kRefresh), 6u);
}

TEST_F(SpotlightInstalledAppMonitorTest, StopOffTheMainThreadCancelsThePendingRefresh) {
  makeBundle(scope / "Host.app", kHost);
  const auto monitor = make();
  startAndSettle(*monitor);
  subscription = monitor->isInstalledPublisher().sink(published.callback());
  const auto query = monitor->currentQuery();
  makeBundle(scope / "Brisvane.app", kBrisvane);
  pump();
  ASSERT_EQ(count("🔍 Query update — added=1"), 1u);
  std::thread([&] { monitor->stop(); }).join();
  EXPECT_EQ(monitor->currentQuery(), nullptr);
  EXPECT_FALSE(query->isStopped()) << "the query itself is stopped on the main thread";
  pump();
  EXPECT_TRUE(query->isStopped());
  clock.advance(2s);
  pump();
  EXPECT_EQ(count(kRefresh), 1u);
  EXPECT_EQ(published.values(), std::vector<bool>{false});
  platform::NotificationCenter::defaultCenter().post(platform::MetadataQueryDidUpdateNotification, query.get());
  EXPECT_EQ(count("🔍 Query update — "), 1u) << "the observations ended too";
}

TEST_F(SpotlightInstalledAppMonitorTest, StartRestartsCleanlyAndLaterCallsSupersedePendingOnes) {
  makeBundle(scope / "Host.app", kHost);
  makeBundle(scope / "Brisvane.app", kBrisvane);
  const auto monitor = make();
  monitor->start();
  monitor->start();
  pump();
  EXPECT_EQ(count(kStarted), 1u) << "two starts before the main loop runs: one query";
  const auto first = monitor->currentQuery();
  ASSERT_NE(first, nullptr);
  monitor->start();
  EXPECT_TRUE(first->isStopped());
  monitor->stop();
  pump();
  EXPECT_EQ(count(kStarted), 1u) << "a stop before the start step: no query";
  EXPECT_EQ(monitor->currentQuery(), nullptr);

  startAndSettle(*monitor);
  subscription = monitor->isInstalledPublisher().sink(published.callback());
  const auto running = monitor->currentQuery();
  checker->setPresent({});
  startAndSettle(*monitor);
  EXPECT_TRUE(running->isStopped());
  EXPECT_NE(monitor->currentQuery(), running);
  EXPECT_EQ(published.values(), (std::vector<bool>{true, false, true})) << "fallback, then query";
}

TEST_F(SpotlightInstalledAppMonitorTest, ReleasingTheLastHolderStopsTheQuery) {
  makeBundle(scope / "Host.app", kHost);
  auto monitor = make();
  startAndSettle(*monitor);
  auto query = monitor->currentQuery();
  std::weak_ptr<SpotlightInstalledAppMonitor> weak = monitor;
  monitor.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(query->isStopped()) << "at once on the main thread";

  monitor = make();
  startAndSettle(*monitor);
  query = monitor->currentQuery();
  std::thread([held = std::move(monitor)]() mutable { held.reset(); }).join();
  EXPECT_FALSE(query->isStopped());
  pump();
  EXPECT_TRUE(query->isStopped()) << "from the main loop when released elsewhere";

  const auto starts = count(kStarted);
  make()->start();
  pump();
  EXPECT_EQ(count(kStarted), starts) << "released before the start step ran";
}

}  // namespace
