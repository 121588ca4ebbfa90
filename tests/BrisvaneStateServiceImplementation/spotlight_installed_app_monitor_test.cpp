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
#include "runtime/clock.h"
#include "metadata/detail/metadata_plist.h"
#include "runtime/main_loop.h"
#include "notifications/notification_center.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using brisvane::SpotlightInstalledAppMonitor;
using namespace std::chrono_literals;

constexpr const char* kBrisvane = "com.tarvik.brisvane";
constexpr const char* kOrbisk = "com.tarvik.brisvane-orbisk";
constexpr const char* kHost = "com.example.host";
constexpr const char* kCategory = "SpotlightInstalledAppMonitor";
constexpr const char* kFallbackWarning =
    "🔍 Spotlight index does not see the host app. Will use fallback.";
constexpr auto kGuard = std::chrono::seconds(20);

void makeBundle(const fs::path& bundle, const std::string& identifier,
                const std::string& version = "1.0") {
  fs::create_directories(bundle / "Contents");
  std::ofstream(bundle / "Contents" / "Info.plist", std::ios::binary | std::ios::trunc)
      << platform::detail::encodeStringDictionary(
             {{"CFBundleIdentifier", identifier}, {"CFBundleShortVersionString", version}},
             platform::detail::PlistFormat::xml);
}

// The host's checker with a set of present applications; counts its calls. Thread-safe.
class FakeChecker final : public host::AppOnDeviceCheckerServiceType {
 public:
  explicit FakeChecker(std::set<std::string> present = {}) : present_(std::move(present)) {}
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

// A monitor over one private scope folder, on virtual time, with its log captured and its
// published answers recorded.
class SpotlightInstalledAppMonitorTest : public ::testing::Test {
 protected:
  std::shared_ptr<SpotlightInstalledAppMonitor> makeMonitor(
      std::vector<std::string> identifiers = {kBrisvane, kOrbisk},
      std::vector<fs::path> directories = {}) {
    if (directories.empty()) directories = {scope_};
    return SpotlightInstalledAppMonitor::make(std::move(identifiers), checker_, kHost,
                                              std::move(directories), 500ms);
  }

  void record(SpotlightInstalledAppMonitor& monitor) {
    subscription_ = monitor.isInstalledPublisher().sink([this](const bool& value) {
      const std::lock_guard<std::mutex> lock(mutex_);
      published_.push_back(value);
    });
  }
  std::vector<bool> published() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return published_;
  }

  std::vector<std::string> lines() const { return logs_.sink().messages(kCategory); }
  std::size_t count(const std::string& line) const {
    const auto all = lines();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), line));
  }
  std::size_t countStartingWith(const std::string& prefix) const {
    std::size_t n = 0;
    for (const auto& line : lines()) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }

  void pump() { platform::MainLoop::main().runPending(); }

  // start(), then the main loop until the query has gathered and the debounced refresh ran.
  void startAndSettle(SpotlightInstalledAppMonitor& monitor) {
    const auto gathered = count("🔍 Initial gather finished");
    monitor.start();
    ASSERT_TRUE(platform::MainLoop::main().runUntil(
        [&] { return count("🔍 Initial gather finished") > gathered; }, kGuard));
    settle();
  }
  void settle() {
    clock_.advance(500ms);
    pump();
  }

  platform::VirtualClock clock_;
  platform::ScopedClockOverride clockOverride_{clock_};
  mutable host::ScopedLogCapture logs_;
  testsupport::TempDir dir_;
  const fs::path scope_ = dir_ / "Applications";
  const fs::path outside_ = dir_ / "Downloads";
  std::shared_ptr<FakeChecker> checker_ = std::make_shared<FakeChecker>();
  mutable std::mutex mutex_;
  std::vector<bool> published_;
  platform::AnyCancellable subscription_;
};

TEST_F(SpotlightInstalledAppMonitorTest, ConstructionUsesDefaultFoldersOnlyWhenGivenNone) {
  const testsupport::ScopedEnv home("HOME", (dir_ / "home").string());
  EXPECT_EQ(SpotlightInstalledAppMonitor::make({kBrisvane}, checker_, kHost, {}, 500ms)
                ->directoriesToCheck(),
            (std::vector<fs::path>{"/Applications", "/Applications/Orbisk",
                                   dir_ / "home" / "Applications"}));
  const std::vector<fs::path> given = {dir_ / "b", dir_ / "a"};
  const auto monitor = SpotlightInstalledAppMonitor::make({kBrisvane}, checker_, kHost, given, 1s);
  EXPECT_EQ(monitor->directoriesToCheck(), given);
  EXPECT_EQ(monitor->debounceInterval(), 1s);
  EXPECT_EQ(checker_->calls, 0) << "construction does not ask the checker";
  EXPECT_TRUE(lines().empty()) << "construction does not log";
  EXPECT_EQ(monitor->currentQuery(), nullptr);

  monitor->stop();
  monitor->stop();
  pump();
  EXPECT_EQ(monitor->currentQuery(), nullptr);
  EXPECT_TRUE(lines().empty());
}

TEST_F(SpotlightInstalledAppMonitorTest, FallbackAnswerIsAskedOnceOnFirstUse) {
  struct Case {
    std::set<std::string> present;
    bool expected;
    int calls;  // the walk stops at the first identifier present
  };
  const Case cases[] = {
      {{}, false, 2}, {{kBrisvane}, true, 1}, {{kOrbisk}, true, 2}, {{kHost}, false, 2}};
  for (const auto& c : cases) {
    checker_->setPresent(c.present);
    checker_->calls = 0;
    const auto monitor = makeMonitor();
    EXPECT_EQ(monitor->isInstalled(), c.expected);
    EXPECT_EQ(monitor->isInstalled(), c.expected);
    platform::AnyCancellable handle = monitor->isInstalledPublisher().sink([](const bool&) {});
    EXPECT_EQ(checker_->calls, c.calls);
  }
}

TEST_F(SpotlightInstalledAppMonitorTest, QueryHasOneSubpredicatePerDistinctIdentifier) {
  struct Case {
    std::vector<std::string> identifiers;
    std::size_t subpredicates;
    const char* startLine;
  };
  const Case cases[] = {
      {{kBrisvane, kOrbisk},
       3,
       "🔍 Query started for [\"com.tarvik.brisvane\", \"com.tarvik.brisvane-orbisk\"]"},
      {{kBrisvane, kBrisvane, kOrbisk},
       3,
       "🔍 Query started for [\"com.tarvik.brisvane\", \"com.tarvik.brisvane\", "
       "\"com.tarvik.brisvane-orbisk\"]"},
      {{kBrisvane, kHost},
       2,
       "🔍 Query started for [\"com.tarvik.brisvane\", \"com.example.host\"]"},
      {{}, 1, "🔍 Query started for []"},
  };
  for (const auto& c : cases) {
    const auto monitor = makeMonitor(c.identifiers);
    monitor->start();
    pump();
    const auto query = monitor->currentQuery();
    ASSERT_NE(query, nullptr);
    ASSERT_TRUE(query->predicate().has_value());
    const auto& subpredicates = query->predicate()->subpredicates();
    EXPECT_EQ(subpredicates.size(), c.subpredicates);
    std::set<std::string> values;
    for (const auto& p : subpredicates) {
      EXPECT_EQ(p.key(), platform::MetadataItemCFBundleIdentifierKey);
      values.insert(p.value());
    }
    EXPECT_EQ(values.count(kHost), 1u);
    EXPECT_EQ(query->searchScopes(), std::vector<fs::path>{scope_});
    EXPECT_EQ(count(c.startLine), 1u) << c.startLine;
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
      {"host and one bundle seen through two scopes",
       {{"Host.app", kHost}, {"Orbisk/Brisvane.app", kBrisvane}},
       {},
       true,
       "🔍 Refresh — 2 matches, isInstalled=true"},
      {"two copies of one identifier",
       {{"Host.app", kHost}, {"Brisvane.app", kBrisvane}, {"Old/Brisvane.app", kBrisvane}},
       {},
       true,
       "🔍 Refresh — 2 matches, isInstalled=true"},
      {"host alone",
       {{"Host.app", kHost}},
       {kBrisvane},
       false,
       "🔍 Refresh — 1 matches, isInstalled=false"},
      {"no host, checker finds it",
       {{"Brisvane.app", kBrisvane}},
       {kOrbisk},
       true,
       kFallbackWarning},
      {"no host, checker does not", {{"Brisvane.app", kBrisvane}}, {}, false, kFallbackWarning},
      {"nothing at all", {}, {kBrisvane}, true, kFallbackWarning},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const testsupport::TempDir folder;
    for (const auto& [path, identifier] : c.bundles) makeBundle(folder / path, identifier);
    checker_->setPresent(c.checkerPresent);
    logs_.sink().clear();
    const auto monitor = makeMonitor({kBrisvane, kOrbisk}, {folder.path(), folder / "Orbisk"});
    startAndSettle(*monitor);
    EXPECT_EQ(monitor->isInstalled(), c.expected);
    EXPECT_EQ(count(c.line), 1u) << c.line;
    EXPECT_EQ(countStartingWith("🔍 Refresh — ") + count(kFallbackWarning), 1u);

    // Another refresh in the same state gives the same answer and, without the host, the same
    // warning again.
    makeBundle(folder / "Another.app", kOrbisk);
    pump();
    settle();
    EXPECT_EQ(countStartingWith("🔍 Refresh — ") + count(kFallbackWarning), 2u);
    if (std::string(c.line) == kFallbackWarning) {
      EXPECT_EQ(count(kFallbackWarning), 2u);
      EXPECT_EQ(monitor->isInstalled(), c.expected);
    }
  }
}

TEST_F(SpotlightInstalledAppMonitorTest, InstallAndUninstallChangeTheAnswerOnceAfterTheDebounce) {
  makeBundle(scope_ / "Host.app", kHost);
  fs::create_directories(outside_);
  const auto monitor = makeMonitor();
  startAndSettle(*monitor);
  record(*monitor);
  ASSERT_EQ(published(), std::vector<bool>{false});

  const fs::path copied = scope_ / "Brisvane.app";
  struct Case {
    const char* name;
    std::function<void()> change;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"installed by moving",
       [&] {
         makeBundle(outside_ / "Brisvane.app", kBrisvane);
         fs::rename(outside_ / "Brisvane.app", scope_ / "Brisvane.app");
       },
       true},
      {"uninstalled", [&] { fs::remove_all(scope_ / "Brisvane.app"); }, false},
      {"installed by copying file by file",
       [&] {
         fs::create_directory(copied);
         pump();
         fs::create_directory(copied / "Contents");
         pump();
         std::ofstream(copied / "Contents" / "PkgInfo") << "APPL????";
         pump();
         makeBundle(copied, kOrbisk);
       },
       true},
      {"identifier rewritten", [&] { makeBundle(copied, "com.tarvik.other"); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto before = published();
    c.change();
    pump();
    clock_.advance(499ms);
    pump();
    EXPECT_EQ(published(), before) << "nothing before the debounce interval has passed";
    clock_.advance(1ms);
    pump();
    auto expected = before;
    expected.push_back(c.expected);
    EXPECT_EQ(published(), expected);
  }
}

TEST_F(SpotlightInstalledAppMonitorTest, BurstOfUpdatesGivesOneRefreshAfterTheLast) {
  makeBundle(scope_ / "Host.app", kHost);
  const auto monitor = makeMonitor();
  startAndSettle(*monitor);
  const auto refreshes = countStartingWith("🔍 Refresh — ");

  for (int i = 0; i < 10; ++i) {
    makeBundle(scope_ / "Host.app", kHost, std::to_string(i + 2));
    pump();
    EXPECT_EQ(count("🔍 Query update — added=0 removed=0 changed=1"),
              static_cast<std::size_t>(i + 1));
    clock_.advance(100ms);
    pump();
  }
  EXPECT_EQ(countStartingWith("🔍 Refresh — "), refreshes);
  clock_.advance(399ms);
  pump();
  EXPECT_EQ(countStartingWith("🔍 Refresh — "), refreshes);
  clock_.advance(1ms);
  pump();
  EXPECT_EQ(countStartingWith("🔍 Refresh — "), refreshes + 1);
}

TEST_F(SpotlightInstalledAppMonitorTest, UpdateCountsToleranceOfOddUserInfo) {
  makeBundle(scope_ / "Host.app", kHost);
  const auto monitor = makeMonitor();
  startAndSettle(*monitor);
  const auto query = monitor->currentQuery();
  const auto refreshes = countStartingWith("🔍 Refresh — ");

  auto& center = platform::NotificationCenter::defaultCenter();
  center.post(platform::MetadataQueryDidUpdateNotification, query.get());
  center.post(
      platform::MetadataQueryDidUpdateNotification, query.get(),
      {{platform::MetadataQueryUpdateAddedItemsKey, std::string("not items")},
       {platform::MetadataQueryUpdateRemovedItemsKey, std::vector<platform::MetadataItem>(2)}});
  // Another object's notifications are not this query's.
  center.post(platform::MetadataQueryDidUpdateNotification, &center);
  EXPECT_EQ(count("🔍 Query update — added=0 removed=0 changed=0"), 1u);
  EXPECT_EQ(count("🔍 Query update — added=0 removed=2 changed=0"), 1u);
  settle();
  EXPECT_EQ(countStartingWith("🔍 Refresh — "), refreshes + 1);

  for (const auto& record : logs_.sink().records()) {
    if (record.category != kCategory) continue;
    EXPECT_EQ(record.context, 0);
    EXPECT_TRUE(record.asynchronous);
    EXPECT_EQ(record.file, "BrisvaneStateServiceImplementation/SpotlightInstalledAppMonitor");
    EXPECT_EQ(record.message.rfind("🔍 ", 0), 0u) << record.message;
  }
}

TEST_F(SpotlightInstalledAppMonitorTest, StopOffTheMainThreadCancelsThePendingRefresh) {
  makeBundle(scope_ / "Host.app", kHost);
  const auto monitor = makeMonitor();
  startAndSettle(*monitor);
  record(*monitor);
  const auto query = monitor->currentQuery();
  const auto refreshes = countStartingWith("🔍 Refresh — ");

  makeBundle(scope_ / "Brisvane.app", kBrisvane);
  pump();
  ASSERT_EQ(count("🔍 Query update — added=1 removed=0 changed=0"), 1u);
  std::thread([&] { monitor->stop(); }).join();
  EXPECT_EQ(monitor->currentQuery(), nullptr) << "cleared at once";
  EXPECT_FALSE(query->isStopped()) << "the query itself is stopped on the main thread";
  pump();
  EXPECT_TRUE(query->isStopped());

  clock_.advance(2s);
  pump();
  EXPECT_EQ(countStartingWith("🔍 Refresh — "), refreshes);
  EXPECT_EQ(published(), std::vector<bool>{false});

  // The notification subscriptions ended too.
  platform::NotificationCenter::defaultCenter().post(platform::MetadataQueryDidUpdateNotification,
                                                     query.get());
  EXPECT_EQ(countStartingWith("🔍 Query update — "), 1u);
}

TEST_F(SpotlightInstalledAppMonitorTest, StartRestartsCleanlyAndLaterCallsSupersedePendingOnes) {
  makeBundle(scope_ / "Host.app", kHost);
  makeBundle(scope_ / "Brisvane.app", kBrisvane);
  const auto monitor = makeMonitor();
  const auto started = [&] { return countStartingWith("🔍 Query started for "); };

  // Two starts before the main loop runs: one query.
  monitor->start();
  monitor->start();
  pump();
  EXPECT_EQ(started(), 1u);
  const auto first = monitor->currentQuery();
  ASSERT_NE(first, nullptr);

  // A stop before the main loop runs the start step: no query at all.
  monitor->start();
  EXPECT_TRUE(first->isStopped());
  monitor->stop();
  pump();
  EXPECT_EQ(started(), 1u);
  EXPECT_EQ(monitor->currentQuery(), nullptr);

  // start() on a running monitor: the old query stops, the fallback answer is published again
  // and a fresh query takes over.
  startAndSettle(*monitor);
  record(*monitor);
  EXPECT_EQ(published(), std::vector<bool>{true});
  const auto running = monitor->currentQuery();
  const auto gathered = count("🔍 Initial gather finished");
  checker_->setPresent({});
  monitor->start();
  EXPECT_TRUE(running->isStopped());
  EXPECT_EQ(published(), (std::vector<bool>{true, false}));
  ASSERT_TRUE(platform::MainLoop::main().runUntil(
      [&] { return count("🔍 Initial gather finished") > gathered; }, kGuard));
  EXPECT_NE(monitor->currentQuery(), running);
  settle();
  EXPECT_EQ(published(), (std::vector<bool>{true, false, true}));
  EXPECT_EQ(started(), 3u);
}

TEST_F(SpotlightInstalledAppMonitorTest, ReleasingTheLastHolderStopsTheQuery) {
  makeBundle(scope_ / "Host.app", kHost);

  // On the main thread the query stops at once.
  auto monitor = makeMonitor();
  startAndSettle(*monitor);
  auto query = monitor->currentQuery();
  std::weak_ptr<SpotlightInstalledAppMonitor> weak = monitor;
  monitor.reset();
  EXPECT_TRUE(weak.expired()) << "no subscription or block keeps the monitor alive";
  EXPECT_TRUE(query->isStopped());

  // Elsewhere, from the main loop shortly after.
  monitor = makeMonitor();
  startAndSettle(*monitor);
  query = monitor->currentQuery();
  std::thread([held = std::move(monitor)]() mutable { held.reset(); }).join();
  EXPECT_FALSE(query->isStopped());
  pump();
  EXPECT_TRUE(query->isStopped());

  // Released before the start step ran: the step does nothing.
  const auto startsBefore = countStartingWith("🔍 Query started for ");
  monitor = makeMonitor();
  monitor->start();
  monitor.reset();
  pump();
  EXPECT_EQ(countStartingWith("🔍 Query started for "), startsBefore);
}

}  // namespace
