// A host's memory while the protection state changes over and over: each round makes changes
// through the whole path (save here, announcement, refresh in the host, published answer, each
// waited for) and then a flood of announcements that pile up refreshes. The heap in use (what
// the host holds, not what the allocator keeps in reserve, which depends on how far a flood got
// ahead of the host) must not grow from round to round: no cost per change may stay behind.
// Absolute sizes are the end-to-end benchmark's business.

#include <gtest/gtest.h>

#include <string>

#include "messages/BrisvaneSettings.h"
#include "reliability/host_role.h"

TEST(Memory, HostHeapDoesNotGrowWithTheNumberOfChanges) {
  reliability::Sandbox sandbox;
  auto writer = reliability::makeWriterClient();
  writer->saveData(brisvane::BrisvaneSettings(false));
  const std::string flood = reliability::announcement(
      writer->notificationName(std::string(brisvane::BrisvaneSettings::messageKey)));
  reliability::HostSession host;
  const int changes = testsupport::scaled(300, 30), floods = testsupport::scaled(10000, 500);
  bool value = false;
  long long heap[3] = {};
  for (long long& heapAfterRound : heap) {
    for (int change = 0; change < changes; ++change) {
      writer->saveData(brisvane::BrisvaneSettings(value = !value));
      ASSERT_TRUE(host.awaitAnswer(value)) << "the host did not see change " << change;
    }
    ASSERT_TRUE(host.command("mark", "marked"));
    ASSERT_TRUE(reliability::sendToEverySocket(sandbox.notificationFolder(), flood, floods));
    ASSERT_TRUE(host.command("await " + std::to_string(floods), "reached"))
        << "the host did not refresh after every announcement";
    const std::string state = host.state();
    EXPECT_EQ(testsupport::field(state, "keychain"), reliability::keychainText(value)) << state;
    EXPECT_EQ(testsupport::numberField(state, "failures"), 0) << state;
    heapAfterRound = testsupport::numberField(state, "heap_bytes");
  }
  // Over two rounds after the first, 4 bytes kept per change would be 80 kB; what may differ
  // without one is the state of the threads that happen to exist at the time (a few kB each).
  EXPECT_LT(heap[2] - heap[0], 64 * 1024) << "heap in use after each round: " << heap[0] << ", "
                                          << heap[1] << ", " << heap[2] << " bytes";
}
