// The service made and dropped over and over through the public entry point while refreshes are
// in flight: nothing may keep it alive, leak (LeakSanitizer checks at exit in the ASan build),
// race (the TSan build), or leave a thread behind.

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <thread>

#include "BrisvaneStateServiceImplementation/SpotlightInstalledAppMonitor.h"
#include "host/folder_app_checker.h"
#include "host/logging.h"
#include "messages/BrisvaneSettings.h"
#include "reliability/proc_stats.h"
#include "reliability/sandbox.h"
#include "runtime/main_loop.h"
#include "support/process.h"
#include "support/service_fakes.h"
#include "support/wait.h"

TEST(Lifetime, ServicesMadeAndDroppedWithRefreshesInFlightLeaveNothingBehind) {
  reliability::Sandbox sandbox;
  host::ScopedLogCapture quiet;  // the services' lines are not the subject here
  auto writer = reliability::makeWriterClient();
  writer->saveData(brisvane::BrisvaneSettings(true));
  auto checker = std::make_shared<host::FolderAppOnDeviceChecker>(
      brisvane::SpotlightInstalledAppMonitor::defaultDirectoriesToCheck());
  testsupport::FakeOverride override_;
  auto& loop = platform::MainLoop::main();
  auto threads = [] { return reliability::memoryStats(::getpid()).value().threads; };
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
