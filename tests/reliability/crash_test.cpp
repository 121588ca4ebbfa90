// The security application killed with SIGKILL at random points of its saves while a host
// watches: the store must still hold a message that decodes, and the host must keep answering,
// never meet an undecodable message, and, told once more that the message changed (the
// announcement a writer killed between its commit and its post never made), end on the value
// the store holds.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <optional>
#include <random>
#include <string>

#include "messages/BrisvaneSettings.h"
#include "reliability/host_session.h"

namespace {

using brisvane::BrisvaneSettings;

// The writer saves true at odd steps and false at even ones.
bool valueOfStep(long long step) {
  return step % 2 != 0;
}

TEST(Crash, WriterKilledAtRandomPointsLeavesADecodableStoreAndACurrentHost) {
  reliability::Sandbox sandbox;
  auto client = reliability::makeWriterClient();
  client->saveData(BrisvaneSettings(valueOfStep(0)));
  const std::string nudge = reliability::announcement(
      client->notificationName(std::string(BrisvaneSettings::messageKey)));
  reliability::HostSession host;
  ASSERT_TRUE(host.command("quiet", "quiet"));
  std::mt19937 random(std::random_device{}());
  long long committed = 0;  // the step whose value the store holds
  for (int round = 0, rounds = testsupport::scaled(60, 5); round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    long long acknowledged = committed;  // the last step whose save returned
    {
      reliability::Process writer(reliability::helperPath("writer"),
                                  {"count", std::to_string(committed + 1)});
      auto noteSaved = [&](const std::optional<std::string>& line) {
        if (line) acknowledged = std::stoll(line->substr(6));
        return line.has_value();
      };
      for (int i = random() % 6; i > 0; --i) {
        ASSERT_TRUE(noteSaved(writer.readLineStartingWith("saved "))) << "the writer stopped";
      }
      // Spins, so that the kill lands anywhere inside a save rather than right after a line.
      const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 300);
      while (std::chrono::steady_clock::now() < until) {
      }
      writer.kill(SIGKILL);
      while (noteSaved(writer.readLineStartingWith("saved "))) {
      }
      ASSERT_TRUE(WIFSIGNALED(writer.wait())) << "the writer stopped by itself";
    }
    decltype(client->readData<BrisvaneSettings>()) message;
    ASSERT_NO_THROW(message = client->readData<BrisvaneSettings>());
    ASSERT_TRUE(message.has_value()) << "the store lost its message";
    const bool stored = message->data().isRTPEnabled();
    committed = stored == valueOfStep(acknowledged + 1) ? acknowledged + 1 : acknowledged;

    ASSERT_TRUE(reliability::sendToEverySocket(sandbox.notificationFolder(), nudge));
    ASSERT_TRUE(host.awaitValue(reliability::keychainText(stored)))
        << "the host did not end on the stored value " << stored;
    const auto state = host.state();
    ASSERT_TRUE(state.has_value()) << "the host stopped answering";
    EXPECT_EQ((*state)["undecodable"], 0) << "the host read an undecodable message";
    EXPECT_EQ((*state)["enabled"], stored ? 1 : 0);
  }
}

}  // namespace
