// A host's memory: its peak resident size with the service running, whether it grows while
// the protection state changes over and over, and whether it comes back down after a flood of
// announcements. Each change goes through the whole path (save in the test process,
// announcement, refresh in the host, published answer) and is waited for.

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

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
// What a flood may leave behind once it has been handled (kept pages, fragments); without
// handing the pages back, a flood of 20,000 leaves over 6 MB.
constexpr long kFloodResidueLimitKb = 2048;

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

  // A flood: announcements sent as fast as the host's queue takes them (a blocking socket, so
  // none is lost), each starting a refresh. The jobs pile up while they arrive; once they have
  // run, the host must give the memory back.
  const std::string name = writer->notificationName(std::string(BrisvaneSettings::messageKey));
  const int flood = reliability::isSanitized() ? 2000 : reliability::scaled(20000);
  ASSERT_TRUE(host.mark());
  ASSERT_TRUE(reliability::sendQueued(sandbox.notificationFolder(), name, flood));
  ASSERT_TRUE(host.await(flood)) << "the host did not refresh after every announcement";
  const auto peakAfterFlood = reliability::memoryStats(host.pid()).value().hwmKb;
  // The last refresh is counted just before its job ends; the memory goes back after that.
  reliability::MemoryStats settled = reliability::memoryStats(host.pid()).value();
  const auto settleBy = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!reliability::isSanitized() && settled.rssKb - end.rssKb > kFloodResidueLimitKb &&
         std::chrono::steady_clock::now() < settleBy) {
    ASSERT_TRUE(host.state().has_value());  // a round trip to the host between looks
    settled = reliability::memoryStats(host.pid()).value();
  }
  std::printf("memory: flood of %d announcements: peak %ld kB, then %ld kB (before it %ld kB)\n",
              flood, peakAfterFlood, settled.rssKb, end.rssKb);

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
    EXPECT_LE(settled.rssKb - end.rssKb, kFloodResidueLimitKb)
        << "resident size stayed up after a flood of " << flood << " announcements";
  }
}

}  // namespace
