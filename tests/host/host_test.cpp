// The host's pieces: the last saved state file, the folder checker, logging, sleep and wake.
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <fstream>
#include <thread>
#include <tuple>

#include "host/file_last_saved_state_provider.h"
#include "host/folder_app_checker.h"
#include "host/logging.h"
#include "host/logind_sleep_bridge.h"
#include "host/system_sleep_observer.h"
#include "runtime/main_loop.h"
#include "support/bundles.h"
#include "support/process.h"
#include "support/recorder.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using host::SystemSleepEvent;
using L = host::LogLevel;
using Events = std::vector<SystemSleepEvent>;
const host::LogCategory kCategory("Test Category");

// The host's files: its last saved state round-trips and reads anything else as nothing saved;
// the folder checker finds bundles in nested folders but not inside bundles or through links.
TEST(HostFiles,
     LastSavedStateRoundTripsAndTheCheckerFindsBundlesButNotInsideBundlesOrThroughLinks) {
  testsupport::TempDir dir;
  host::FileLastSavedRTPStateProvider provider(dir / "last-state");
  EXPECT_EQ(provider.lastSavedRTPState(), std::nullopt);
  for (const bool state : {true, false, true}) {
    provider.saveRTPState(state);
    EXPECT_EQ(host::FileLastSavedRTPStateProvider(dir / "last-state").lastSavedRTPState(), state);
  }
  for (const char* junk : {"", "yes", "1", "TRUE"}) {
    std::ofstream(dir / "last-state", std::ios::trunc) << junk;
    EXPECT_EQ(provider.lastSavedRTPState(), std::nullopt) << junk;
  }
  host::FileLastSavedRTPStateProvider unwritable("/nonexistent-folder/last-state");
  EXPECT_NO_THROW(unwritable.saveRTPState(true));
  EXPECT_EQ(unwritable.lastSavedRTPState(), std::nullopt);
  // The checker, on the same folder: bundles in nested folders, not inside bundles or through
  // links.
  using testsupport::makeBundle, testsupport::PlistFormat;
  const auto apps = dir / "Applications";
  makeBundle(apps / "Host.app", "com.example.host", PlistFormat::xml);
  makeBundle(apps / "Tools" / "Binary.app", "com.example.binary", PlistFormat::binary);
  makeBundle(apps / "Host.app" / "Contents" / "Helpers" / "Inner.app", "com.example.inner", PlistFormat::xml);
  makeBundle(dir / "elsewhere" / "Linked.app", "com.example.linked", PlistFormat::xml);
  fs::create_directory_symlink(dir / "elsewhere" / "Linked.app", apps / "Linked.app");
  fs::create_directories(apps / "Broken.app" / "Contents");
  host::FolderAppOnDeviceChecker checker({apps, dir / "missing"});
  for (const auto& [id, found] : std::vector<std::pair<std::string, bool>>{
           {"com.example.host", true}, {"com.example.binary", true}, {"com.example.inner", false},
           {"com.example.linked", false}, {"", false}}) {
    EXPECT_EQ(checker.isAppOnDevice(id), found) << id;
  }
  EXPECT_EQ(checker.bundles().size(), 2u);
}

// Each entry point records its level, category and file; a throwing producer never reaches the
// caller; writers on several threads lose no line; the default sink writes warnings and errors
// only, one from "extended" up adds extended lines, and lines left out are never produced. Times
// are UTC with the zone, never rounded up.
TEST(Logging, EntryPointsRecordTheirLevelAndOnlyEnabledLinesAreProduced) {
  using Fn = void (*)(const host::LogCategory&, const host::LogMessage&, long, bool, const char*);
  const std::vector<std::pair<Fn, L>> entries = {{host::logDebug, L::debug}, {host::logInfo, L::info},
                                                 {host::logWarning, L::warning}, {host::logError, L::error},
                                                 {host::logExtended, L::extended}};
  {
    host::ScopedLogCapture capture;
    for (const auto& [fn, level] : entries) fn(kCategory, [l = level] { return host::logLevelName(l); }, 0, true, "Dir/C");
    const auto records = capture.sink().records();
    ASSERT_EQ(records.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(std::tie(records[i].level, records[i].message, records[i].category, records[i].file),
                std::make_tuple(entries[i].second, host::logLevelName(entries[i].second), "Test Category", "Dir/C"));
    }
    EXPECT_NO_THROW(host::logError(kCategory, []() -> std::string { throw std::runtime_error("boom"); }, 0, true, "f"));
    EXPECT_NE(capture.sink().messages().back().find("boom"), std::string::npos);
    // Writers on several threads at once lose no line.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([] {
        for (int i = 0; i < 1000; ++i)
          host::logInfo(
              kCategory, [] { return "x"; }, 0, true, "f");
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(capture.sink().count("x"), 4000u);
  }
  const auto previous = host::currentLogSink();
  for (const auto& [sink, lines] : std::vector<std::pair<std::shared_ptr<host::LogSink>, int>>{
           {nullptr, 2}, {std::make_shared<host::StandardErrorLogSink>(L::extended), 3}}) {
    host::setLogSink(sink);
    int produced = 0;
    for (const auto& [fn, level] : entries) fn(kCategory, [&] { return ++produced, std::string("a test line"); }, 0, true, "f");
    EXPECT_EQ(produced, lines);
  }
  host::setLogSink(previous);
  for (const auto& [time, text] : std::vector<std::pair<double, std::string>>{
           {0.0, "1970-01-01T00:00:00.000Z"}, {1796549400.9999, "2026-12-06T09:30:00.999Z"},
           {-0.001, "1969-12-31T23:59:59.999Z"}}) {
    EXPECT_EQ(host::formatLogTime(time), text);
  }
}

// PrepareForSleep on a private message bus, from the login manager (or an impostor, not believed).
void prepareForSleep(const std::string& address, bool asLoginManager, bool goingToSleep) {
  sd_bus* bus = nullptr;
  ASSERT_GE(sd_bus_new(&bus), 0);
  ASSERT_GE(sd_bus_set_address(bus, address.c_str()), 0);
  ASSERT_GE(sd_bus_set_bus_client(bus, 1), 0);
  ASSERT_GE(sd_bus_start(bus), 0);
  if (asLoginManager) {
    ASSERT_GE(sd_bus_request_name(bus, "org.freedesktop.login1", 0), 0);
  }
  ASSERT_GE(sd_bus_emit_signal(bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               "PrepareForSleep", "b", goingToSleep ? 1 : 0), 0);
  sd_bus_flush_close_unref(bus);
}

// Workspace notifications become events in order; the bridge turns the login manager's
// PrepareForSleep into them (an impostor's is not believed).
TEST(SystemSleepObserver, NotificationsAndTheLoginManagerBecomeSleepAndWakeInOrder) {
  platform::NotificationCenter center;
  host::SystemSleepObserver observer(center);
  testsupport::Recorder<SystemSleepEvent> events;
  auto subscription = observer.eventPublisher().sink(events.callback());
  for (const char* name : {host::kWorkspaceWillSleepNotification, "SomethingElse", host::kWorkspaceDidWakeNotification}) {
    center.post(name);
  }
  EXPECT_EQ(events.values(), (Events{SystemSleepEvent::sleep, SystemSleepEvent::wake}));
  std::string whyNot;
  EXPECT_EQ(host::LogindSleepBridge::start(center, std::string("unix:path=/nonexistent/bus"), &whyNot), nullptr);
  EXPECT_NE(whyNot.find("cannot connect"), std::string::npos) << whyNot;
  if (!fs::exists("/usr/bin/dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not available";
  testsupport::Process daemon("/usr/bin/dbus-daemon", {"--session", "--nofork", "--print-address"});
  const auto address = daemon.readLine();
  ASSERT_TRUE(address.has_value());
  auto bridge = host::LogindSleepBridge::start(center, *address, &whyNot);
  ASSERT_NE(bridge, nullptr) << whyNot;
  prepareForSleep(*address, false, true);
  prepareForSleep(*address, true, true);
  prepareForSleep(*address, true, false);
  ASSERT_TRUE(platform::MainLoop::main().runUntil([&] { return events.size() >= 4; }, std::chrono::seconds(20)));
  platform::MainLoop::main().runPending();
  subscription.cancel();
  center.post(host::kWorkspaceDidWakeNotification);
  EXPECT_EQ(events.values(), (Events{SystemSleepEvent::sleep, SystemSleepEvent::wake, SystemSleepEvent::sleep,
                                     SystemSleepEvent::wake}));
}

}  // namespace
