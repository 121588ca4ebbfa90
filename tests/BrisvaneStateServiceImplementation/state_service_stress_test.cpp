#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "host/logging.h"
#include "support/service_fakes.h"
#include "support/wait.h"

namespace {

using testsupport::waitFor;

long statusField(const std::string& field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// A storm of change announcements: every one is logged and refreshed, threads and memory stay
// bounded, and one quiet refresh afterwards leaves the value the reader returns last.
TEST(StateServiceStorm, TenThousandSignalsAreAllHandled) {
  const char* env = std::getenv("BRISVANE_STORM_SIGNALS");
  const int signals = env ? std::atoi(env) : 10000;
  host::ScopedLogCapture capture;
  const long rssBeforeKb = statusField("VmRSS");
  long peakThreads = 0;
  for (int run = 0; run < 2; ++run) {
    testsupport::ServiceHarness h;
    h.reader->setValue(false);
    h.build();
    ASSERT_TRUE(waitFor([&] { return h.reader->reads() == 2 && h.reader->listens() == 1; }));
    for (int i = 0; i < signals; ++i) {
      if (i == signals - 1) h.reader->setValue(true);
      h.reader->signal();
      if (i % 1000 == 0) peakThreads = std::max(peakThreads, statusField("Threads"));
    }
    ASSERT_TRUE(waitFor([&] { return h.reader->reads() == signals + 2; }, std::chrono::seconds(120)));
    ASSERT_TRUE(waitFor([&] {
      return capture.sink().count("🌗 Received event from Brisvane.") == std::size_t(signals);
    }));
    h.reader->signal();
    ASSERT_TRUE(waitFor([&] { return h.reader->reads() == signals + 3; }));
    ASSERT_TRUE(waitFor([&] { return h.service->keychainRTPValue() == true; }));
    capture.sink().clear();
  }
  EXPECT_LT(peakThreads, 300);
  EXPECT_LT(statusField("VmRSS") - rssBeforeKb, 64 * 1024);
}

}  // namespace
