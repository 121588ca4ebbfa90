// A host's memory: its peak resident size with the service running, and whether it grows while
// the protection state changes over and over. Each change goes through the whole path (save in
// the test process, announcement, refresh in the host, published answer) and is waited for.

#include <gtest/gtest.h>

#include <cstdio>

#include "messages/BrisvaneSettings.h"
#include "reliability/host_session.h"
#include "reliability/proc_stats.h"
#include "reliability/process.h"
#include "reliability/sandbox.h"

namespace {

using brisvane::BrisvaneSettings;
using reliability::HostSession;

constexpr long kPeakLimitKb = 8 * 1024;
constexpr long kGrowthLimitKb = 1024;

TEST(Memory, HostStaysSmallAndDoesNotGrowAcrossChanges) {
  reliability::Sandbox sandbox;
  auto writer = reliability::makeWriterClient();
  writer->saveData(BrisvaneSettings(false));
  HostSession host;
  const int changes = reliability::scaled(2000, 100);
  const int warmUp = changes / 10;

  const auto atReady = reliability::memoryStats(host.pid()).value();
  reliability::MemoryStats afterWarmUp{};
  int maxThreads = atReady.threads;
  bool value = false;
  for (int change = 1; change <= changes; ++change) {
    value = !value;
    writer->saveData(BrisvaneSettings(value));
    ASSERT_TRUE(host.awaitAnswer(value)) << "the host did not see change " << change;
    const auto now = reliability::memoryStats(host.pid()).value();
    maxThreads = std::max(maxThreads, now.threads);
    if (change == warmUp) afterWarmUp = now;
  }
  const auto end = reliability::memoryStats(host.pid()).value();
  const long growth = end.rssKb - afterWarmUp.rssKb;
  std::printf(
      "memory: at ready %ld kB, after %d changes %ld kB, after %d changes %ld kB; peak "
      "%ld kB; growth after warm-up %+ld kB; threads at most %d%s\n",
      atReady.rssKb, warmUp, afterWarmUp.rssKb, changes, end.rssKb, end.hwmKb, growth, maxThreads,
      reliability::isSanitized() ? " (sanitizer build: not checked)" : "");
  RecordProperty("peak_kb", std::to_string(end.hwmKb));
  RecordProperty("growth_kb", std::to_string(growth));

  const auto state = host.state();
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(state->keychain, reliability::keychainText(value));
  EXPECT_EQ(state->failures, 0);
  // The sanitizers' shadow memory and quarantine dwarf the program's own; their builds run the
  // same changes for the checks above but leave the sizes alone.
  if (!reliability::isSanitized()) {
    EXPECT_LE(end.hwmKb, kPeakLimitKb) << "peak resident size";
    EXPECT_LE(growth, kGrowthLimitKb)
        << "resident size grew across " << changes - warmUp << " changes";
  }
}

}  // namespace
