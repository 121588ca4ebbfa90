// The service in this process, against races it must win: ways in which a host can end on a
// stale keychain value after a change was saved and announced (left on the old value until the
// next trigger, which may be the 6-hour refresh), each made deterministic by holding reads back;
// and services dropped while their refreshes
// run. (That an announcement follows the store write is the keychain client test's.)

#include <gtest/gtest.h>

#include <latch>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "BrisvaneStateServiceImplementation/SpotlightInstalledAppMonitor.h"
#include "BrisvaneStateServiceImplementation/detail/StateServiceProbe.h"
#include "host/folder_app_checker.h"
#include "host/logging.h"
#include "messages/BrisvaneSettings.h"
#include "reliability/proc_stats.h"
#include "reliability/sandbox.h"
#include "runtime/main_loop.h"
#include "runtime/task.h"
#include "support/process.h"
#include "support/service_fakes.h"
#include "support/wait.h"

namespace {

// Refreshes run concurrently: a read begun before a change that returns after the read that saw
// the change must not replace the newer value.
TEST(RefreshOrdering, AnOlderReadFinishingLastDoesNotReplaceANewerOne) {
  testsupport::ServiceHarness h;
  h.reader->value = false;
  h.reader->block(true);  // reads that began on "false" wait; one that began on "true" passes
  h.build();
  std::atomic<int> sends{-1};  // not counting the replay on subscription
  auto counting =
      brisvane::probe::keychainValues(*h.service).sink([&](const std::optional<bool>&) { ++sends; });
  // The two refreshes of construction read "false".
  ASSERT_TRUE(testsupport::waitFor([&] { return h.reader->entered == 2 && h.reader->listens == 1; }));
  h.reader->value = true;  // saved and announced; that refresh reads "true"
  h.reader->signal();
  ASSERT_TRUE(testsupport::waitFor([&] { return sends == 1; }));
  h.reader->release();  // the reads of construction, begun before the save, come back now
  // A service that drops stale results sends nothing more, and passes once this guard ends.
  testsupport::waitFor([&] { return sends >= 3; }, std::chrono::seconds(5));
  EXPECT_EQ(h.service->keychainRTPValue(), true) << "an older read replaced the newer value";
}

// An announcement made after construction returns, while the task that opens the change stream
// has not run yet (a busy pool delays it), must still lead to a read.
TEST(RefreshOrdering, AnAnnouncementRightAfterConstructionIsNotLost) {
  std::latch gate(1);  // holds every thread of the pool until the announcement is made
  std::vector<platform::TaskHandle> busy;
  for (unsigned i = 0; i < 4 * std::max(4u, std::thread::hardware_concurrency()); ++i) {
    busy.push_back(platform::Task::detached([&] { gate.wait(); }));
  }
  testsupport::ServiceHarness h;
  h.reader->value = false;
  h.build();
  h.reader->value = true;
  h.reader->signal();
  gate.count_down();
  for (const auto& task : busy) task.wait();
  EXPECT_TRUE(testsupport::waitFor([&] { return h.service->keychainRTPValue() == true; }))
      << "the service stays on the value read before the change";
}

// The service made and dropped over and over through the public entry point while refreshes are
// in flight: nothing may keep it alive, leak (LeakSanitizer checks at exit in the ASan build),
// race (the TSan build), or leave a thread behind.
TEST(Lifetime, ServicesMadeAndDroppedWithRefreshesInFlightLeaveNothingBehind) {
  reliability::Sandbox sandbox;
  host::ScopedLogCapture quiet;  // the services' lines are not the subject here
  auto writer = reliability::makeWriterClient();
  writer->saveData(brisvane::BrisvaneSettings(true));
  auto checker = std::make_shared<host::FolderAppOnDeviceChecker>(
      brisvane::SpotlightInstalledAppMonitor::defaultDirectoriesToCheck());
  testsupport::FakeOverride override_;
  auto& loop = platform::MainLoop::main();
  auto threads = [] { return reliability::threadCount(::getpid()); };
  std::thread([] {}).join();  // brings out a sanitizer's background thread before the count
  const int threadsBefore = threads();
  std::mt19937 random(12345);
  for (int cycle = 0, cycles = testsupport::scaled(1000, 10); cycle < cycles; ++cycle) {
    SCOPED_TRACE("service " + std::to_string(cycle));
    auto service = brisvane::BrisvaneStateServiceImpl::make(
        reliability::kAccessGroup, reliability::kHostBundleIdentifier, checker,
        override_.configuration(), std::make_shared<testsupport::FakeLastSavedStateProvider>());
    auto subscription = service->isRealTimeProtectionEnabledPublisher().sink([](const bool&) {});
    // Announced changes start refreshes; the service is dropped while they read, while they
    // publish, or after they finished, at random.
    for (int i = random() % 3; i > 0; --i) writer->saveData(brisvane::BrisvaneSettings(i % 2 == 0));
    loop.runPending();
    if (random() % 4 == 0) {
      ASSERT_TRUE(testsupport::waitFor([&] { return service->keychainRTPValue().has_value(); }));
    }
    const std::weak_ptr<brisvane::BrisvaneStateServiceImpl> weak = service;
    service.reset();
    loop.runPending();
    // Work still running may hold the service for the length of a step, never longer.
    ASSERT_TRUE(testsupport::waitFor([&] { return weak.expired(); })) << "something keeps it alive";
    subscription.cancel();
  }
  loop.runPending();
  // Once the services are gone the process keeps the default center's thread, the shared pool's
  // idle threads (at most max(4, cores)) and its watchdog; a task left behind keeps one each.
  const int limit =
      threadsBefore + 2 + static_cast<int>(std::max(4u, std::thread::hardware_concurrency()));
  EXPECT_TRUE(testsupport::waitFor([&] { return threads() <= limit; }))
      << threads() << " threads left, limit " << limit;
}

}  // namespace
