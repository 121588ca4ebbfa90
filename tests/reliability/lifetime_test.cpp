// The service made and dropped over and over through the public entry point while refreshes are
// in flight: nothing may keep it alive, leak (LeakSanitizer checks at exit in the ASan build),
// race (the TSan build), or leave a thread behind.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "BrisvaneStateServiceImplementation/SpotlightInstalledAppMonitor.h"
#include "host/folder_app_checker.h"
#include "host/logging.h"
#include "messages/BrisvaneSettings.h"
#include "runtime/main_loop.h"
#include "reactive/subjects.h"
#include "reliability/host_session.h"
#include "reliability/proc_stats.h"
#include "reliability/process.h"
#include "reliability/sandbox.h"
#include "support/service_fakes.h"
#include "support/wait.h"

namespace {

using brisvane::BrisvaneSettings;
using brisvane::BrisvaneStateServiceImpl;

// Threads the process may keep once every service is gone: the default notification center's
// receiving thread, the shared pool's idle threads (at most max(4, cores)) and its watchdog.
int threadsKeptAfterServices() {
  return 2 + static_cast<int>(std::max(4u, std::thread::hardware_concurrency()));
}

int currentThreads() {
  return reliability::memoryStats(::getpid()).value().threads;
}

TEST(Lifetime, ServicesMadeAndDroppedWithRefreshesInFlightLeaveNothingBehind) {
  reliability::Sandbox sandbox;
  host::ScopedLogCapture quiet;  // the services' lines are not the subject here
  auto writer = reliability::makeWriterClient();
  writer->saveData(BrisvaneSettings(true));
  auto checker = std::make_shared<host::FolderAppOnDeviceChecker>(
      brisvane::SpotlightInstalledAppMonitor::defaultDirectoriesToCheck());
  testsupport::FakeOverride override_;
  auto& loop = platform::MainLoop::main();
  // ThreadSanitizer starts a background thread with the process's first new thread; make it
  // appear before the count, so that it is not taken for one left behind.
  std::thread([] {}).join();
  const int threadsBefore = currentThreads();
  const int cycles = reliability::scaled(1000, 10);
  std::mt19937 random(12345);

  int answered = 0;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    auto provider = std::make_shared<testsupport::FakeLastSavedStateProvider>();
    auto service = BrisvaneStateServiceImpl::make(reliability::kAccessGroup,
                                                  reliability::kHostBundleIdentifier, checker,
                                                  override_.configuration(), provider);
    testsupport::Recorder<bool> answers;
    auto subscription = service->isRealTimeProtectionEnabledPublisher().sink(answers.callback());
    // Announced changes start refreshes on the pool; the service is dropped while they read,
    // while they publish, or after they finished, at random.
    const int saves = static_cast<int>(random() % 3);
    for (int i = 0; i < saves; ++i) writer->saveData(BrisvaneSettings((cycle + i) % 2 == 0));
    loop.runPending();
    if (random() % 4 == 0) {
      // The refreshes at construction have read the store (it always holds a message), so the
      // service is dropped with only announced refreshes, if any, in flight.
      ASSERT_TRUE(testsupport::waitFor([&] { return service->keychainRTPValue().has_value(); },
                                       std::chrono::seconds(30)))
          << "service " << cycle << " never read the store";
      ++answered;
    }
    const std::weak_ptr<BrisvaneStateServiceImpl> weak = service;
    service.reset();
    loop.runPending();
    // Work still running may hold the service for the length of a step, never longer.
    ASSERT_TRUE(testsupport::waitFor([&] { return weak.expired(); }, std::chrono::seconds(30)))
        << "something keeps service " << cycle << " alive";
    subscription.cancel();
  }
  loop.runPending();

  // Refresh tasks of dropped services end by themselves; the pool then shrinks to its idle
  // limit. A listening or periodic task left behind would keep a thread per service.
  const int limit = threadsBefore + threadsKeptAfterServices();
  const bool settled =
      testsupport::waitFor([&] { return currentThreads() <= limit; }, std::chrono::seconds(30));
  const int threadsAfter = currentThreads();
  std::printf(
      "lifetime: %d services made and dropped (%d after reading their value), threads %d before, "
      "%d after (limit %d)\n",
      cycles, answered, threadsBefore, threadsAfter, limit);
  EXPECT_TRUE(settled) << threadsAfter << " threads left after " << cycles
                       << " services, more than " << limit;
}

}  // namespace
