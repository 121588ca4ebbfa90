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
#include "reliability/host_session.h"
#include "reliability/proc_stats.h"

namespace {

using reliability::HostSession;
using reliability::Process;

// Threads a host may add while a burst runs: refreshes queue on the shared pool, whose running
// threads are bounded, plus the few its starvation watchdog may start on a loaded machine.
constexpr int kExtraThreadsAllowed = 16;

TEST(Burst, HostsEndOnTheLastValueStoredWithoutWaitingForStoppedObservers) {
  struct Case {
    const char* what;
    int writers;
    int saves;  // per writer; odd, so a lone writer ends on the value the hosts lacked
    bool stopsObservers;
  };
  const Case cases[] = {
      {"one writer", 1, testsupport::scaled(2000, 100) | 1, false},
      {"two writers at once", 2, testsupport::scaled(1000, 50) | 1, false},
      {"a stopped host and sockets that never read", 1, 501, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reliability::Sandbox sandbox;
    auto client = reliability::makeWriterClient();
    client->saveData(brisvane::BrisvaneSettings(false));
    HostSession hosts[2];
    int threadLimit = 0;
    for (auto& host : hosts) {
      ASSERT_TRUE(host.command("quiet", "quiet"));
      threadLimit = std::max(threadLimit, reliability::memoryStats(host.pid())->threads);
    }
    threadLimit += kExtraThreadsAllowed;
    std::vector<int> sockets;
    if (c.stopsObservers) {
      for (int i = 0; i < 5; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        (sandbox.notificationFolder() / ("stopped-" + std::to_string(i)))
            .native()
            .copy(address.sun_path, sizeof(address.sun_path) - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
        sockets.push_back(fd);
      }
      ASSERT_EQ(::kill(hosts[0].pid(), SIGSTOP), 0);
      // Its queue filled with datagrams it will drop, so that every announcement of the burst
      // finds it full and leaves a mark: the only news of the burst it gets is taking that up.
      const int filler = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      for (const auto& entry : std::filesystem::directory_iterator(sandbox.notificationFolder())) {
        if (!entry.path().filename().string().starts_with(std::to_string(hosts[0].pid()) + "-")) continue;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        entry.path().native().copy(address.sun_path, sizeof(address.sun_path) - 1);
        while (::sendto(filler, "XX\1\0", 4, 0, reinterpret_cast<const sockaddr*>(&address),
                        sizeof(address)) == 4) {
        }
      }
      ::close(filler);
    }
    std::vector<std::unique_ptr<Process>> writers;
    for (int w = 0; w < c.writers; ++w) {
      writers.push_back(std::make_unique<Process>(
          reliability::helperPath("writer"),
          std::vector<std::string>{"burst", std::to_string(c.saves), w == 0 ? "true" : "false"}));
    }
    int maxThreads = 0;
    for (auto& writer : writers) {
      std::optional<std::string> done;
      // Short waits only so that the hosts' threads are sampled often; the guard is the count.
      for (int i = 0; !done && i < 60'000; ++i) {
        done = writer->readLineStartingWith("done", std::chrono::milliseconds(5));
        for (auto& host : hosts) {
          if (const auto m = reliability::memoryStats(host.pid())) {
            maxThreads = std::max(maxThreads, m->threads);
          }
        }
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
    const auto stored = client->readData<brisvane::BrisvaneSettings>();
    ASSERT_TRUE(stored.has_value());
    const bool last = stored->data().isRTPEnabled();
    for (auto& host : hosts) {
      ASSERT_TRUE(host.awaitValue(reliability::keychainText(last)))
          << "a host did not end on the last value stored";
      const auto state = host.state();
      ASSERT_TRUE(state.has_value()) << "a host stopped answering";
      EXPECT_EQ((*state)["failures"], 0);
      EXPECT_EQ((*state)["enabled"], last ? 1 : 0);
      EXPECT_EQ((*state)["published"], last ? 1 : 0);
    }
    EXPECT_LE(maxThreads, threadLimit);
  }
}

}  // namespace
