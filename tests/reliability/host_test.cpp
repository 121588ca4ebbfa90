// Hosts and writers (reliability.helper.peer host, reliability.helper.peer writer) in processes of
// their own, on one sandbox's store and notification folder: what a host must end on after bursts,
// killed writers and floods, and what it must not do (wake while idle, grow).

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <deque>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "messages/BrisvaneSettings.h"
#include "reliability/host_role.h"

namespace {

using testsupport::numberField;

// Threads a host may add while a burst runs: refreshes queue on the shared pool, whose running
// threads are bounded, plus the few its starvation watchdog may start on a loaded machine.
constexpr int kExtraThreadsAllowed = 16;

// Saves as fast as writers can, to two hosts: each must end on the value the store holds last,
// with no failed read, no failed save, and threads that do not grow with the burst. Observers
// that stop reading (sockets that never read, a host stopped with SIGSTOP) must never hold a
// writer up, and the stopped host, once it runs again, must catch up.
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
    const auto mostThreads = [&] {
      return std::max(reliability::threadCount(hosts[0].pid()),
                      reliability::threadCount(hosts[1].pid()));
    };
    int threadLimit = mostThreads(), maxThreads = 0;
    std::deque<testsupport::BoundSocket> sockets;  // never read
    if (c.stopsObservers) {
      for (int i = 0; i < 5; ++i)
        sockets.emplace_back(sandbox.notificationFolder() / ("stopped-" + std::to_string(i)));
      ASSERT_EQ(::kill(hosts[0].pid(), SIGSTOP), 0);
      // Its queue filled with datagrams it will drop, so that every announcement of the burst
      // finds it full and leaves a mark: the only news of the burst it gets is taking that up.
      reliability::sendToEverySocket(sandbox.notificationFolder(), "XX\1\0", 1 << 20,
                                     std::to_string(hosts[0].pid()) + "-", false);
    }
    std::deque<reliability::Process> writers;
    for (int w = 0; w < c.writers; ++w) {
      writers.emplace_back(reliability::helperPath("peer"),
                           std::vector<std::string>{"writer", std::to_string(w + 1),
                                                    std::to_string(c.saves)});
    }
    for (auto& writer : writers) {
      std::optional<std::string> done;
      // Short waits only so that the hosts' threads are sampled often; the guard is the count.
      for (int i = 0; !done && i < 60'000; ++i) {
        done = writer.readLineStartingWith("done", std::chrono::milliseconds(5));
        maxThreads = std::max(maxThreads, mostThreads());
      }
      ASSERT_TRUE(done.has_value()) << "a writer did not finish (it waited for an observer?)";
      EXPECT_EQ(numberField(*done, "errors"), 0);
      EXPECT_EQ(writer.wait(), 0);
      EXPECT_TRUE(c.writers > 1 || numberField(*done, "last") == 1);
    }
    if (c.stopsObservers) {
      ASSERT_EQ(::kill(hosts[0].pid(), SIGCONT), 0);
    }
    sockets.clear();
    const bool last = client->readData<brisvane::BrisvaneSettings>().value().data().isRTPEnabled();
    for (auto& host : hosts) {
      const auto state = host.await(last);
      ASSERT_TRUE(state) << "a host did not end on the last value stored";
      EXPECT_EQ(numberField(*state, "failures"), 0) << *state;
      EXPECT_EQ(numberField(*state, "enabled"), last) << *state;
      EXPECT_EQ(numberField(*state, "published"), last) << *state;
    }
    EXPECT_LE(maxThreads, threadLimit + kExtraThreadsAllowed);
  }
}

// One host holding the state service, taken through three experiments in turn, each of which
// must leave it answering for the next.
TEST(OneHost, SleepsWhileIdleKeepsItsHeapOverChangesAndStaysCurrentWhileWritersAreKilled) {
  reliability::Sandbox sandbox;
  auto client = reliability::makeWriterClient();
  client->saveData(brisvane::BrisvaneSettings(false));
  reliability::HostSession host;
  {
    // Idle: with nothing changing, the host must not wake any of its threads: no polling, no
    // timed waits short of the 6-hour refresh. Counted by the kernel, per thread.
    SCOPED_TRACE("idle");
    ASSERT_TRUE(reliability::awaitAllThreadsSleeping(host.pid())) << "the host did not settle";
    const auto before = reliability::threadSwitches(host.pid());
    // The window is the measurement: nothing talks to the host meanwhile.
    std::this_thread::sleep_for(std::chrono::seconds(testsupport::scaled(3)));
    const auto after = reliability::threadSwitches(host.pid());
    // The threads from before the service (a sanitizer's, which wakes periodically) are left out.
    std::map<pid_t, long> runtime;
    std::istringstream threads(testsupport::field(*host.ready, "runtime_threads").value());
    for (std::string tid; std::getline(threads, tid, ',');) runtime[std::stoi(tid)] = 0;
    EXPECT_EQ(reliability::voluntarySwitchesBetween(before, after, runtime), 0)
        << "threads woke while nothing changed";
    EXPECT_EQ(after.size(), before.size()) << "threads came or went while nothing changed";
  }
  // Memory, while the protection state changes over and over: each round makes changes through
  // the whole path (save here, announcement, refresh in the host, each waited for) and then a
  // flood of announcements that pile up refreshes. The heap in use (what the host holds, not what
  // the allocator keeps in reserve, which depends on how far a flood got ahead of the host) must
  // not grow from round to round: no cost per change may stay behind. Absolute sizes are the
  // end-to-end benchmark's business.
  const int changes = testsupport::scaled(300, 30), floods = testsupport::scaled(10000, 500);
  bool value = false;
  long long heap[3] = {};
  for (long long& heapAfterRound : heap) {
    SCOPED_TRACE("memory");
    for (int change = 0; change < changes; ++change) {
      client->saveData(brisvane::BrisvaneSettings(value = !value));
      ASSERT_TRUE(host.await(value)) << "the host did not see change " << change;
    }
    ASSERT_TRUE(reliability::sendToEverySocket(sandbox.notificationFolder(),
                                               reliability::settingsAnnouncement(*client), floods));
    const auto state = host.await(value, floods);
    ASSERT_TRUE(state) << "the host did not refresh after every announcement";
    EXPECT_EQ(numberField(*state, "failures"), 0) << *state;
    heapAfterRound = numberField(*state, "heap_bytes");
  }
  // Over two rounds after the first, 4 bytes kept per change would be 80 kB; what may differ
  // without one is the state of the threads that happen to exist at the time (a few kB each).
  EXPECT_LT(heap[2] - heap[0], 64 * 1024) << "heap in use after each round: " << heap[0] << ", "
                                          << heap[1] << ", " << heap[2] << " bytes";
  // Crash: the security application killed with SIGKILL at random points of its saves: the
  // store must still hold a message that decodes, and the host must keep answering, never meet
  // an undecodable message, and, told once more that the message changed (the announcement a
  // writer killed between its commit and its post never made), end on the value the store holds.
  std::mt19937 random(std::random_device{}());
  long long committed = value;  // the step whose value the store holds (odd steps save true)
  for (int round = 0, rounds = testsupport::scaled(60, 5); round < rounds; ++round) {
    SCOPED_TRACE("crash round " + std::to_string(round));
    long long acknowledged = committed;  // the last step whose save returned
    {
      reliability::Process writer(reliability::helperPath("peer"),
                                  {"writer", std::to_string(committed + 1), "1000000000"});
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

    ASSERT_TRUE(reliability::sendToEverySocket(sandbox.notificationFolder(),
                                               reliability::settingsAnnouncement(*client)));
    const auto state = host.await(stored);
    ASSERT_TRUE(state) << "the host did not end on the stored value " << stored;
    EXPECT_EQ(numberField(*state, "undecodable"), 0) << "the host read an undecodable message";
    EXPECT_EQ(numberField(*state, "enabled"), stored) << *state;
  }
}

}  // namespace
