// The security application killed with SIGKILL at random points of its saves while a host
// watches: the store must still hold a message that decodes, and the host must keep answering,
// never meet an undecodable message, and, told once more that the message changed (the
// announcement a writer killed between its commit and its post never made), end on the value
// the store holds.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <random>
#include <string>

#include "messages/BrisvaneSettings.h"
#include "reliability/host_role.h"

namespace {

TEST(Crash, WriterKilledAtRandomPointsLeavesADecodableStoreAndACurrentHost) {
  reliability::Sandbox sandbox;
  auto client = reliability::makeWriterClient();
  client->saveData(
      brisvane::BrisvaneSettings(false));  // step 0; the writer saves true at odd steps
  const std::string nudge = reliability::announcement(
      client->notificationName(std::string(brisvane::BrisvaneSettings::messageKey)));
  reliability::HostSession host;
  ASSERT_TRUE(host.command("quiet", "quiet"));
  std::mt19937 random(std::random_device{}());
  long long committed = 0;  // the step whose value the store holds
  for (int round = 0, rounds = testsupport::scaled(60, 5); round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    long long acknowledged = committed;  // the last step whose save returned
    {
      reliability::Process writer(reliability::helperPath("writer"),
                                  {std::to_string(committed + 1), "1000000000"});
      for (int i = random() % 6; i > 0; --i) {
        const auto line = writer.readLineStartingWith("saved ");
        ASSERT_TRUE(line.has_value()) << "the writer stopped";
        acknowledged = std::stoll(line->substr(6));
      }
      // Spins, so that the kill lands anywhere inside a save rather than right after a line.
      const auto until =
          std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 300);
      while (std::chrono::steady_clock::now() < until) {
      }
      writer.kill(SIGKILL);
      while (const auto line = writer.readLineStartingWith("saved "))
        acknowledged = std::stoll(line->substr(6));
      ASSERT_TRUE(WIFSIGNALED(writer.wait())) << "the writer stopped by itself";
    }
    decltype(client->readData<brisvane::BrisvaneSettings>()) message;
    ASSERT_NO_THROW(message = client->readData<brisvane::BrisvaneSettings>());
    ASSERT_TRUE(message.has_value()) << "the store lost its message";
    const bool stored = message->data().isRTPEnabled();
    committed = stored == ((acknowledged + 1) % 2 != 0) ? acknowledged + 1 : acknowledged;

    ASSERT_TRUE(reliability::sendToEverySocket(sandbox.notificationFolder(), nudge));
    ASSERT_TRUE(host.command("await-value " + reliability::keychainText(stored), "reached"))
        << "the host did not end on the stored value " << stored;
    const std::string state = host.state();
    EXPECT_EQ(testsupport::numberField(state, "undecodable"), 0)
        << "the host read an undecodable message";
    EXPECT_EQ(testsupport::numberField(state, "enabled"), stored) << state;
  }
}

}  // namespace
