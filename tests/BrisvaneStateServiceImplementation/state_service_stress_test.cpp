#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "host/logging.h"
#include "support/service_fakes.h"
#include "support/wait.h"

namespace {

using brisvane::BrisvaneStateServiceImpl;
using testsupport::waitFor;

int envInt(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text ? std::atoi(text) : fallback;
}

long statusField(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
  }
  return -1;
}

// A storm of change announcements: every one is handled, threads and memory stay bounded, and
// the value ends on what the reader returns last. Refreshes run concurrently and the one that
// finishes last decides the value, so an older read can land last; the test counts how often
// that happens and checks that the next quiet refresh always repairs it.
TEST(StateServiceStorm, TenThousandSignalsAreAllHandled) {
  const int signals = envInt("BRISVANE_STORM_SIGNALS", 10000);
  const int runs = envInt("BRISVANE_STORM_RUNS", 3);
  host::ScopedLogCapture capture;  // the storm's lines stay in memory, off the terminal
  int staleEndings = 0;
  long peakThreads = 0;
  long rssBeforeKb = statusField("VmRSS");
  for (int run = 0; run < runs; ++run) {
    auto reader = std::make_shared<testsupport::FakeKeychainReader>();
    auto monitor = std::make_shared<testsupport::FakeInstalledAppMonitor>(true);
    auto sleep = std::make_shared<testsupport::FakeSleepObserver>();
    testsupport::FakeOverride override_;
    reader->setValue(false);
    auto service = BrisvaneStateServiceImpl::make(reader, monitor, sleep,
                                                  override_.configuration(), nullptr);
    ASSERT_TRUE(waitFor([&] { return reader->reads() == 2 && reader->listens() == 1; }));
    for (int i = 0; i < signals; ++i) {
      if (i == signals - 1) reader->setValue(true);
      reader->signal();
      if (i % 1000 == 0) peakThreads = std::max(peakThreads, statusField("Threads"));
    }
    ASSERT_TRUE(waitFor([&] { return reader->reads() == signals + 2; },
                        std::chrono::seconds(120)));
    ASSERT_TRUE(waitFor([&] { return capture.sink().count("🌗 Received event from Brisvane.") ==
                                     static_cast<std::size_t>(signals); }));
    // Let the last sends land, then see which value was left.
    waitFor([&] { return service->keychainRTPValue() == true; }, std::chrono::milliseconds(500));
    if (service->keychainRTPValue() != true) ++staleEndings;
    reader->signal();
    ASSERT_TRUE(waitFor([&] { return reader->reads() == signals + 3; }));
    ASSERT_TRUE(waitFor([&] { return service->keychainRTPValue() == true; }));
    peakThreads = std::max(peakThreads, statusField("Threads"));
    capture.sink().clear();
  }
  const long rssAfterKb = statusField("VmRSS");
  std::printf("storm: %d runs of %d signals, stale endings %d, peak threads %ld, RSS %ld -> %ld kB\n",
              runs, signals, staleEndings, peakThreads, rssBeforeKb, rssAfterKb);
  EXPECT_LT(peakThreads, 300);
  EXPECT_LT(rssAfterKb - rssBeforeKb, 64 * 1024);
}

}  // namespace
