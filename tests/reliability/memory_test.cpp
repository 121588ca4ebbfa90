// A host's memory while the protection state changes over and over: each round makes changes
// through the whole path (save here, announcement, refresh in the host, published answer, each
// waited for) and then a flood of announcements that pile up refreshes. The heap in use (what
// the host holds, not what the allocator keeps in reserve, which depends on how far a flood got
// ahead of the host) must not grow from round to round: no cost per change may stay behind.
// Absolute sizes are the end-to-end benchmark's business.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "messages/BrisvaneSettings.h"
#include "reliability/host_session.h"

namespace {

using brisvane::BrisvaneSettings;

TEST(Memory, HostHeapDoesNotGrowWithTheNumberOfChanges) {
  reliability::Sandbox sandbox;
  auto writer = reliability::makeWriterClient();
  writer->saveData(BrisvaneSettings(false));
  const std::string flood = reliability::announcement(
      writer->notificationName(std::string(BrisvaneSettings::messageKey)));
  reliability::HostSession host;
  const int changes = testsupport::scaled(300, 30), floods = testsupport::scaled(10000, 500);
  bool value = false;
  long long heap[3] = {};
  for (long long& heapAfterRound : heap) {
    for (int change = 0; change < changes; ++change) {
      value = !value;
      writer->saveData(BrisvaneSettings(value));
      ASSERT_TRUE(host.awaitAnswer(value)) << "the host did not see change " << change;
    }
    ASSERT_TRUE(host.mark());
    ASSERT_TRUE(reliability::sendToEverySocket(sandbox.notificationFolder(), flood, floods));
    ASSERT_TRUE(host.await(floods)) << "the host did not refresh after every announcement";
    const auto state = host.state();
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->keychain(), reliability::keychainText(value));
    EXPECT_EQ((*state)["failures"], 0);
    heapAfterRound = (*state)["heap_bytes"];
  }
  // Over two rounds after the first, 4 bytes kept per change would be 80 kB; what may differ
  // without one is the state of the threads that happen to exist at the time (a few kB each).
  const long long perRound = changes + floods, growth = heap[2] - heap[0];
  std::printf("memory: heap in use %lld, %lld, %lld bytes after rounds of %lld changes\n", heap[0],
              heap[1], heap[2], perRound);
  EXPECT_LT(growth, 64 * 1024) << "the host's heap grew by " << growth << " bytes";
}

}  // namespace
