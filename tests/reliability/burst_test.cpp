// Saves as fast as writers can, to two hosts: each must end on the value the store holds last,
// with no failed read, no failed save, and threads that do not grow with the burst. Observers
// that stop reading (sockets that never read, a host stopped with SIGSTOP) must never hold a
// writer up, and the stopped host, once it runs again, must catch up.

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "messages/BrisvaneSettings.h"
#include "reliability/host_role.h"

namespace {

// Threads a host may add while a burst runs: refreshes queue on the shared pool, whose running
// threads are bounded, plus the few its starvation watchdog may start on a loaded machine.
constexpr int kExtraThreadsAllowed = 16;

TEST(Burst, HostsEndOnTheLastValueStoredWithoutWaitingForStoppedObservers) {
  const struct {
    const char* what;
    int writers;
    int saves;  // per writer; odd, so a lone writer ends on the value the hosts lacked
    bool stopsObservers;
  } cases[] = {
      {"one writer", 1, testsupport::scaled(2000, 100) | 1, false},
      {"two writers at once", 2, testsupport::scaled(1000, 50) | 1, false},
      {"a stopped host and sockets that never read", 1, 501, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reliability::Sandbox sandbox;
    auto client = reliability::makeWriterClient();
    client->saveData(brisvane::BrisvaneSettings(false));
    reliability::HostSession hosts[2];
    int threadLimit = 0, maxThreads = 0;
    for (auto& host : hosts) {
      ASSERT_TRUE(host.command("quiet", "quiet"));
      threadLimit = std::max<int>(
          threadLimit, testsupport::numberField(host.state(), "threads") + kExtraThreadsAllowed);
    }
    std::vector<int> sockets;
    for (int i = 0; c.stopsObservers && i < 5; ++i) {
      sockets.push_back(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
      const auto address =
          testsupport::addressOf(sandbox.notificationFolder() / ("stopped-" + std::to_string(i)));
      ASSERT_EQ(
          ::bind(sockets.back(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    }
    if (c.stopsObservers) {
      ASSERT_EQ(::kill(hosts[0].pid(), SIGSTOP), 0);
      // Its queue filled with datagrams it will drop, so that every announcement of the burst
      // finds it full and leaves a mark: the only news of the burst it gets is taking that up.
      reliability::sendToEverySocket(sandbox.notificationFolder(), "XX\1\0", 1 << 20,
                                     std::to_string(hosts[0].pid()) + "-", false);
    }
    std::vector<std::unique_ptr<reliability::Process>> writers;
    for (int w = 0; w < c.writers; ++w) {
      writers.push_back(std::make_unique<reliability::Process>(
          reliability::helperPath("writer"),
          std::vector<std::string>{std::to_string(w + 1), std::to_string(c.saves)}));
    }
    for (auto& writer : writers) {
      std::optional<std::string> done;
      // Short waits only so that the hosts' threads are sampled often; the guard is the count.
      for (int i = 0; !done && i < 60'000; ++i) {
        done = writer->readLineStartingWith("done", std::chrono::milliseconds(5));
        for (auto& host : hosts)
          maxThreads = std::max(
              maxThreads,
              reliability::memoryStats(host.pid()).value_or(reliability::MemoryStats{}).threads);
      }
      ASSERT_TRUE(done.has_value()) << "a writer did not finish (it waited for an observer?)";
      EXPECT_EQ(testsupport::numberField(*done, "errors"), 0);
      EXPECT_TRUE(writer->exitedCleanly());
      EXPECT_TRUE(c.writers > 1 || testsupport::numberField(*done, "last") == 1);
    }
    if (c.stopsObservers) {
      ASSERT_EQ(::kill(hosts[0].pid(), SIGCONT), 0);
    }
    for (const int fd : sockets) ::close(fd);
    const bool last = client->readData<brisvane::BrisvaneSettings>().value().data().isRTPEnabled();
    for (auto& host : hosts) {
      ASSERT_TRUE(host.command("await-value " + reliability::keychainText(last), "reached"))
          << "a host did not end on the last value stored";
      const std::string state = host.state();
      EXPECT_EQ(testsupport::numberField(state, "failures"), 0) << state;
      EXPECT_EQ(testsupport::numberField(state, "enabled"), last) << state;
      EXPECT_EQ(testsupport::numberField(state, "published"), last) << state;
    }
    EXPECT_LE(maxThreads, threadLimit);
  }
}

}  // namespace
