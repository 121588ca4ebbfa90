#include "notifications/distributed_notification_center.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <thread>
#include <tuple>
#include <vector>

#include "notifications/detail/dnc_datagram.h"
#include "notifications/detail/dnc_folder.h"
#include "reliability/proc_stats.h"
#include "support/recorder.h"
#include "support/temp_dir.h"
#include "support/unix_socket.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;
using platform::DistributedNotificationCenter;
using platform::dnc::missedMarkerSuffix;

const std::string kHeader("DN\x01\x00", 4);

using Received = testsupport::Recorder<std::string>;  // the names delivered to a callback
using testsupport::BoundSocket;

std::vector<fs::path> socketsIn(const fs::path& folder) {
  std::vector<fs::path> sockets;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_socket()) sockets.push_back(entry.path());
  }
  return sockets;
}

struct DistributedNotificationCenterTest : ::testing::Test {
  testsupport::TempDir temp;
  fs::path folder = temp / "notifications";
};

char threadState(pid_t tid) {  // 'R', 'S', ... or 0 once it has gone
  return char(reliability::perThread(::getpid(), "State:")[tid]);
}

// Also: each center's observing socket goes with its center.
TEST_F(DistributedNotificationCenterTest,
       PostReachesEveryObserverOfTheNameInOrderUntilItIsRemoved) {
  auto poster = DistributedNotificationCenter::create(folder);
  auto other = DistributedNotificationCenter::create(folder);
  auto third = DistributedNotificationCenter::create(folder);
  EXPECT_TRUE(socketsIn(folder).empty()) << "a center binds nothing before its first observer";
  Received posterGot, otherGot, otherAgain, otherOfB, prefix, thirdGot, got;
  const std::string longest(DistributedNotificationCenter::kMaxNameLength, 'x');
  const std::tuple<DistributedNotificationCenter*, std::string, Received*> observers[] = {
      {poster.get(), "a", &posterGot}, {other.get(), "a", &otherGot},
      {other.get(), "a.", &prefix},    {other.get(), longest, &otherGot},
      {other.get(), "", &otherGot},    {other.get(), "b", &otherOfB},
      {other.get(), "a", &otherAgain}, {third.get(), "b", &thirdGot}};
  for (const auto& [center, name, into] : observers) center->addObserver(name, into->callback());
  for (const char* name : {"a", "c", longest.c_str(), "", "b"}) poster->post(name);
  ASSERT_TRUE(otherOfB.waitFor("b") && thirdGot.waitFor("b") && posterGot.waitFor("a"));
  EXPECT_EQ(otherGot.values(), (std::vector<std::string>{"a", longest, ""}));
  EXPECT_EQ(otherAgain.values(), std::vector<std::string>{"a"}) << "the last observer was skipped";
  EXPECT_TRUE(prefix.values().empty());
  EXPECT_EQ(posterGot.values(), std::vector<std::string>{"a"});
  EXPECT_THROW(poster->post(longest + "x"), std::invalid_argument);

  // Removed observers get nothing more, whoever removes them.
  platform::ObserverToken self, later;
  self = other->addObserver("n", [&](const std::string& name) {
    got.callback()(name);
    other->removeObserver(self);   // returns at once on the receiving thread
    other->removeObserver(later);  // not yet called for this post
  });
  later = other->addObserver("n", got.callback());
  other->addObserver("marker", got.callback());
  poster->removeObserver(later);  // a token of another center removes nothing
  for (const char* name : {"n", "n", "marker"}) poster->post(name);
  ASSERT_TRUE(got.waitFor("marker"));
  EXPECT_EQ(got.values(), (std::vector<std::string>{"n", "marker"}));

  // From another thread, removal waits for the running callback.
  std::atomic<bool> entered{false}, release{false}, finished{false};
  const auto token = other->addObserver("slow", [&](const std::string&) {
    entered = true;
    while (!release) std::this_thread::yield();
    finished = true;
  });
  poster->post("slow");
  ASSERT_TRUE(testsupport::waitFor([&] { return entered.load(); }));
  std::atomic<pid_t> removerTid{0};
  std::thread remover([&] {
    removerTid = pid_t(::gettid());
    other->removeObserver(token);
    EXPECT_TRUE(finished) << "removeObserver returned while the callback was running";
  });
  // Released once the remover waits (or, wrongly, has returned and gone).
  testsupport::waitFor([&] { return removerTid != 0 && threadState(removerTid) != 'R'; });
  release = true;
  remover.join();

  EXPECT_EQ(socketsIn(folder).size(), 3u);
  other.reset();
  third.reset();
  EXPECT_EQ(socketsIn(folder).size(), 1u);
}

// The observing socket is private to the user. The wire format: what a receiver accepts and what
// a poster sends. Then a mark left by a poster that met a full queue is taken up (and delivered)
// before the next datagram, so a name posted after the miss is not delivered ahead of the missed
// one.
TEST_F(DistributedNotificationCenterTest,
       WireFormatMissedNamesFirstPrivateFolderOnlyForeignEntriesSkippedDeadSocketsCleared) {
  EXPECT_EQ(platform::dnc::encodeDatagram(std::string("a\0\xff", 3)),
            kHeader + std::string("a\0\xff", 3));
  EXPECT_EQ(missedMarkerSuffix("com.example.Updated"), ".108781edbea21e7f.missed");
  auto center = DistributedNotificationCenter::create(folder);
  auto poster = DistributedNotificationCenter::create(folder);
  Received got;
  std::promise<void> release, holding;
  std::shared_future<void> released = release.get_future().share();
  center->addObserver("a", [&, released, isFirst = true](const std::string& name) mutable {
    if (std::exchange(isFirst, false)) {
      holding.set_value();
      released.wait();
    }
    got.callback()(name);
  });
  for (const char* name : {"b", "x", "", "end"}) center->addObserver(name, got.callback());
  const auto sockets = socketsIn(folder);
  ASSERT_EQ(sockets.size(), 1u);
  EXPECT_EQ(fs::status(sockets[0]).permissions(), fs::perms::owner_read | fs::perms::owner_write)
      << "others could write to the observing socket";
  BoundSocket sender(temp / "sender");
  for (const std::string& datagram :
       {std::string(), std::string("DN"), std::string("ND\x01\x00x", 5),
        std::string("DN\x02\x00x", 5), std::string("DN\x01\x01x", 5),
        kHeader + std::string(platform::dnc::kMaxDatagramName + 1, 'x'), kHeader + "x",
        kHeader + "end"}) {
    sender.sendTo(sockets[0], datagram);
  }
  ASSERT_TRUE(got.waitFor("end"));
  EXPECT_EQ(got.values(), (std::vector<std::string>{"x", "end"}))
      << "a malformed datagram was delivered";

  sender.sendTo(sockets[0], kHeader + "a");
  holding.get_future().wait();  // the receiver is inside the first callback
  std::size_t queued = 0;
  while (sender.sendTo(sockets[0], kHeader + "a", MSG_DONTWAIT)) ++queued;
  poster->post("a");  // finds the queue full and leaves a mark
  const fs::path mark = sockets[0].string() + missedMarkerSuffix("a");
  ASSERT_TRUE(fs::exists(mark));
  std::atomic<pid_t> bTid{0};
  std::thread b([&] {  // waits in a blocking send, so "b" is queued behind the "a"s
    bTid = pid_t(::gettid());
    sender.sendTo(sockets[0], kHeader + "b");
  });
  ASSERT_TRUE(testsupport::waitFor([&] { return bTid != 0 && threadState(bTid) == 'S'; }));
  release.set_value();
  b.join();
  ASSERT_TRUE(got.waitFor("b"));
  std::vector<std::string> expected{"x", "end"};
  expected.insert(expected.end(), queued + 2, "a");  // the held one, the queued ones, the mark
  expected.push_back("b");
  center.reset();
  EXPECT_EQ(got.values(), expected);
  EXPECT_FALSE(fs::exists(mark));

  // The folder is the only thing keeping other users from posting to us. Then what sits in it
  // besides live sockets, and what a post (by `poster`, which has no socket) does with it.
  EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << "made private";
  fs::create_directory_symlink(folder, temp / "link");
  for (const auto& [name, mode] : {std::pair{"group", 0750}, {"others", 0702}}) {
    fs::create_directory(temp / name);
    fs::permissions(temp / name, fs::perms(mode), fs::perm_options::replace);
    EXPECT_THROW(DistributedNotificationCenter::create(temp / name), std::system_error) << name;
  }
  EXPECT_THROW(DistributedNotificationCenter::create(temp / "link"), std::system_error) << "link";

  BoundSocket live(folder / "live");
  { BoundSocket dead(folder / "dead"); }  // the file stays, nobody listens
  fs::create_symlink(temp / "sender", folder / "symlink");  // a live socket outside the folder
  std::ofstream(folder / "plain") << "not a socket";
  poster->post("hello");
  EXPECT_EQ(live.drain(), std::vector<std::string>{kHeader + "hello"});
  EXPECT_FALSE(fs::exists(fs::symlink_status(folder / "dead"))) << "dead socket not removed";
  EXPECT_TRUE(sender.drain().empty()) << "a symlink was followed";
  EXPECT_TRUE(fs::is_symlink(folder / "symlink") && fs::exists(folder / "plain"));

  auto stuck = std::make_unique<BoundSocket>(folder / "stuck");
  for (int i = 0; i < 40; ++i) poster->post("n");  // more than the queue holds
  const fs::path stuckMark = folder / ("stuck" + missedMarkerSuffix("n"));
  ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(stuckMark)));
  EXPECT_EQ(fs::status(stuckMark).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_LT(stuck->drain().size(), 40u);

  stuck.reset();  // its process is gone: the next post removes it, the one after its marks
  for (const char* name : {"y", "y"}) poster->post(name);
  EXPECT_FALSE(fs::exists(fs::symlink_status(stuckMark)));

  live.drain();
  ::chmod(folder.c_str(), 0777);  // a folder opened up later is not posted into
  poster->post("n");
  EXPECT_TRUE(live.drain().empty()) << "posted into a folder others can enter";
}

}  // namespace
