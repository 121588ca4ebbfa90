#include "notifications/distributed_notification_center.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "notifications/detail/dnc_datagram.h"
#include "notifications/detail/dnc_folder.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;
using platform::DistributedNotificationCenter;
using testsupport::TempDir;
using testsupport::waitFor;

// Collects the names delivered to callbacks, from the receiving thread.
class Received {
 public:
  DistributedNotificationCenter::Callback callback() {
    return [this](const std::string& name) {
      std::lock_guard lock(mutex_);
      names_.push_back(name);
    };
  }
  std::vector<std::string> names() const {
    std::lock_guard lock(mutex_);
    return names_;
  }
  std::size_t count(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(names_.begin(), names_.end(), name));
  }
  bool waitForCount(const std::string& name, std::size_t n) const {
    return waitFor([&] { return count(name) >= n; });
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> names_;
};

// A raw datagram socket bound at `path`, standing in for an observer of another program.
class RawSocket {
 public:
  explicit RawSocket(const fs::path& path) : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address = addressOf(path);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      throw std::system_error(errno, std::generic_category(), "cannot bind " + path.string());
    }
  }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;
  ~RawSocket() { ::close(fd_); }

  // The datagrams waiting in the queue, without blocking.
  std::vector<std::string> drain() const {
    std::vector<std::string> datagrams;
    char buffer[platform::dnc::kMaxDatagramSize + 16];
    for (;;) {
      const ssize_t size = ::recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
      if (size < 0) return datagrams;
      datagrams.emplace_back(buffer, static_cast<std::size_t>(size));
    }
  }

  static sockaddr_un addressOf(const fs::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    return address;
  }

  static void sendTo(const fs::path& path, const std::string& datagram) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = addressOf(path);
    const ssize_t sent = ::sendto(fd, datagram.data(), datagram.size(), 0,
                                  reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::close(fd);
    if (sent < 0) throw std::system_error(errno, std::generic_category(), "sendto");
  }

 private:
  int fd_;
};

std::vector<fs::path> socketsIn(const fs::path& folder) {
  std::vector<fs::path> sockets;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_socket()) sockets.push_back(entry.path());
  }
  return sockets;
}

struct DistributedNotificationCenterTest : ::testing::Test {
  TempDir temp;
  fs::path folder = temp / "notifications";
};

TEST_F(DistributedNotificationCenterTest,
       PostReachesObserversOfThatNameInEveryCenterIncludingThePoster) {
  auto poster = DistributedNotificationCenter::create(folder);
  auto other = DistributedNotificationCenter::create(folder);
  Received posterGot, otherGot, otherOfB, otherOfPrefix;
  poster->addObserver("a", posterGot.callback());
  other->addObserver("a", otherGot.callback());
  other->addObserver("b", otherOfB.callback());
  other->addObserver("a.", otherOfPrefix.callback());
  const std::string longest(DistributedNotificationCenter::kMaxNameLength, 'x');
  other->addObserver(longest, otherGot.callback());
  other->addObserver("", otherGot.callback());

  poster->post("a");
  poster->post("c");
  poster->post(longest);
  poster->post("");
  poster->post("b");  // delivered after the others: one sender, one queue, in order

  ASSERT_TRUE(otherOfB.waitForCount("b", 1));
  ASSERT_TRUE(posterGot.waitForCount("a", 1));
  EXPECT_EQ(otherGot.names(), (std::vector<std::string>{"a", longest, ""}));
  EXPECT_EQ(otherOfB.names(), std::vector<std::string>{"b"});
  EXPECT_TRUE(otherOfPrefix.names().empty());
  EXPECT_EQ(posterGot.names(), std::vector<std::string>{"a"});
  EXPECT_THROW(poster->post(longest + "x"), std::invalid_argument);
}

TEST_F(DistributedNotificationCenterTest, RemovedObserverGetsNothingMore) {
  auto poster = DistributedNotificationCenter::create(folder);
  auto other = DistributedNotificationCenter::create(folder);
  Received removed, kept;
  const auto token = other->addObserver("n", removed.callback());
  const auto keptToken = other->addObserver("n", kept.callback());
  const auto posterToken = poster->addObserver("unused", [](const std::string&) {});
  EXPECT_NE(keptToken, posterToken);
  poster->removeObserver(keptToken);  // a token of another center removes nothing
  poster->post("n");
  ASSERT_TRUE(removed.waitForCount("n", 1));

  other->removeObserver(token);
  other->removeObserver(token);                      // twice is harmless
  other->removeObserver(platform::ObserverToken());  // so is an empty token
  poster->post("n");
  ASSERT_TRUE(kept.waitForCount("n", 2));
  EXPECT_EQ(removed.count("n"), 1u);
}

TEST_F(DistributedNotificationCenterTest, ObserverCanRemoveItselfAndOthersFromItsCallback) {
  auto center = DistributedNotificationCenter::create(folder);
  std::atomic<int> selfCalls{0}, laterCalls{0};
  platform::ObserverToken self, later;
  std::promise<void> removed;
  self = center->addObserver("n", [&](const std::string&) {
    ++selfCalls;
    center->removeObserver(self);   // returns at once on the receiving thread
    center->removeObserver(later);  // registered after `self`, so not yet called for this post
    removed.set_value();
  });
  later = center->addObserver("n", [&](const std::string&) { ++laterCalls; });
  Received marker;
  center->addObserver("marker", marker.callback());

  center->post("n");
  ASSERT_EQ(removed.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  center->post("n");
  center->post("marker");
  ASSERT_TRUE(marker.waitForCount("marker", 1));
  EXPECT_EQ(selfCalls, 1);
  EXPECT_EQ(laterCalls, 0);
}

TEST_F(DistributedNotificationCenterTest, RemoveFromAnotherThreadWaitsForTheRunningCallback) {
  auto center = DistributedNotificationCenter::create(folder);
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false, removing = false;
  std::atomic<bool> finished{false};
  const auto token = center->addObserver("n", [&](const std::string&) {
    std::unique_lock lock(mutex);
    entered = true;
    changed.notify_all();
    changed.wait(lock, [&] { return removing; });
    lock.unlock();
    finished = true;
  });
  center->post("n");
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return entered; }));
  }
  std::thread remover([&] {
    {
      std::lock_guard lock(mutex);
      removing = true;
    }
    changed.notify_all();
    center->removeObserver(token);
    EXPECT_TRUE(finished) << "removeObserver returned while the callback was still running";
  });
  remover.join();
}

TEST_F(DistributedNotificationCenterTest, DestroyingACenterStopsItsThreadAndRemovesItsSocket) {
  auto center = DistributedNotificationCenter::create(folder);
  EXPECT_TRUE(socketsIn(folder).empty()) << "a center binds nothing before its first observer";
  center->addObserver("n", [](const std::string&) {});
  EXPECT_EQ(socketsIn(folder).size(), 1u);
  center.reset();
  EXPECT_TRUE(socketsIn(folder).empty());
}

TEST_F(DistributedNotificationCenterTest, CenterReleasedFromItsOwnCallbackShutsDownAfterIt) {
  auto holder = std::make_shared<std::shared_ptr<DistributedNotificationCenter>>(
      DistributedNotificationCenter::create(folder));
  std::promise<void> released;
  (*holder)->addObserver("n", [holder, &released](const std::string&) {
    holder->reset();  // the last reference: the destructor runs on the receiving thread
    released.set_value();
  });
  DistributedNotificationCenter::create(folder)->post("n");
  ASSERT_EQ(released.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(waitFor([&] { return socketsIn(folder).empty(); })) << "the socket outlived it";
}

// Monotonic nanoseconds, comparable across the threads of a test.
std::int64_t now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// An observer whose callback is held until released stands for a process that stopped reading:
// its queue (about ten datagrams) fills. Every post must return while it is held, and once it
// reads again its last callback must start after the last post.
TEST_F(DistributedNotificationCenterTest, HeldObserverNeverHoldsThePosterAndEndsAfterTheLastPost) {
  auto poster = DistributedNotificationCenter::create(folder);
  auto other = DistributedNotificationCenter::create(folder);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> got{0};
  std::atomic<std::int64_t> lastCallback{0};
  other->addObserver("burst", [&, released](const std::string&) {
    released.wait();
    lastCallback = now();
    ++got;
  });
  constexpr int kPosts = 2000;
  std::int64_t lastPost = 0;
  for (int i = 0; i < kPosts; ++i) {
    lastPost = now();
    poster->post("burst");
  }
  release.set_value();
  EXPECT_TRUE(waitFor([&] { return lastCallback.load() >= lastPost; }))
      << "no callback started after the last post";
  other.reset();  // joins the receiver: a mark may still be delivering into this frame
  EXPECT_GE(got, 1);
  EXPECT_LE(got, kPosts);
}

// The scheduler state of thread `tid` of this process ('R', 'S', ...), or 0.
char threadState(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() ? 0 : line[close + 2];
}

// A mark left by a poster that met a full queue is taken up before the next datagram, so a
// name posted after the miss is not delivered ahead of the missed one.
TEST_F(DistributedNotificationCenterTest, MissedNameIsDeliveredBeforeTheDatagramsSentAfterIt) {
  auto center = DistributedNotificationCenter::create(folder);
  auto poster = DistributedNotificationCenter::create(folder);
  Received got;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> holding;
  center->addObserver("a", [&, released, isFirst = true](const std::string& name) mutable {
    if (isFirst) {
      isFirst = false;
      holding.set_value();
      released.wait();
    }
    got.callback()(name);
  });
  center->addObserver("b", got.callback());
  const auto sockets = socketsIn(folder);
  ASSERT_EQ(sockets.size(), 1u);
  const std::string header("DN\x01\x00", 4);
  RawSocket::sendTo(sockets[0], header + "a");
  holding.get_future().wait();  // the receiver is inside the first callback
  // Fill the queue, then post: the poster finds it full and leaves a mark.
  const int sender = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = RawSocket::addressOf(sockets[0]);
  const std::string a = header + "a";
  std::size_t queued = 0;
  while (::sendto(sender, a.data(), a.size(), MSG_DONTWAIT,
                  reinterpret_cast<const sockaddr*>(&address), sizeof(address)) >= 0) {
    ++queued;
  }
  poster->post("a");
  const fs::path mark = sockets[0].string() + platform::dnc::missedMarkerSuffix("a");
  ASSERT_TRUE(fs::exists(mark));
  // "b" waits in a blocking send for room, so it is queued behind the "a"s.
  std::atomic<pid_t> bTid{0};
  std::thread b([&] {
    bTid = static_cast<pid_t>(::gettid());
    const std::string datagram = header + "b";
    ::sendto(sender, datagram.data(), datagram.size(), 0,
             reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  });
  ASSERT_TRUE(waitFor([&] { return bTid != 0 && threadState(bTid) == 'S'; }));
  release.set_value();
  b.join();
  ::close(sender);
  ASSERT_TRUE(got.waitForCount("b", 1));
  std::vector<std::string> expected(queued + 2, "a");  // the held one, the queued ones, the mark
  expected.push_back("b");
  center.reset();  // joins the receiver before the test's locals go
  EXPECT_EQ(got.names(), expected);
  EXPECT_FALSE(fs::exists(mark));
}

// Registrations come and go while posts from this process and another arrive.
TEST_F(DistributedNotificationCenterTest, ConcurrentPostsAndRegistrationsEndAfterTheLastPost) {
  auto poster = DistributedNotificationCenter::create(folder);
  auto other = DistributedNotificationCenter::create(folder);
  std::atomic<std::int64_t> lastCallback{0};
  other->addObserver("n", [&](const std::string&) { lastCallback = now(); });
  std::atomic<bool> done{false};
  std::thread churn([&] {
    while (!done) {
      const auto token = other->addObserver("n", [](const std::string&) {});
      other->removeObserver(token);
    }
  });
  constexpr int kThreads = 4, kPostsEach = 250;
  std::vector<std::int64_t> lastPosts(kThreads);
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      auto& center = t % 2 == 0 ? poster : other;  // the observer's own center posts too
      for (int i = 0; i < kPostsEach; ++i) {
        lastPosts[t] = now();
        center->post("n");
      }
    });
  }
  for (auto& thread : posters) thread.join();
  const std::int64_t lastPost = *std::max_element(lastPosts.begin(), lastPosts.end());
  EXPECT_TRUE(waitFor([&] { return lastCallback.load() >= lastPost; }));
  done = true;
  churn.join();
  other.reset();  // joins the receiver: a mark may still be delivering into this frame
}

TEST_F(DistributedNotificationCenterTest, MalformedDatagramsAreIgnored) {
  auto center = DistributedNotificationCenter::create(folder);
  Received got;
  center->addObserver("x", got.callback());
  center->addObserver("end", got.callback());
  const auto sockets = socketsIn(folder);
  ASSERT_EQ(sockets.size(), 1u);

  const std::string header("DN\x01\x00", 4);
  const std::vector<std::string> malformed = {
      "",
      "DN",
      std::string("DN\x01", 3),
      std::string("ND\x01\x00x", 5),                                   // wrong magic
      std::string("DN\x02\x00x", 5),                                   // unknown version
      std::string("DN\x01\x01x", 5),                                   // unknown flags
      header + std::string(platform::dnc::kMaxDatagramName + 1, 'x'),  // too long
  };
  for (const auto& datagram : malformed) RawSocket::sendTo(sockets[0], datagram);
  RawSocket::sendTo(sockets[0], header + "x");
  RawSocket::sendTo(sockets[0], header + "end");

  ASSERT_TRUE(got.waitForCount("end", 1));
  EXPECT_EQ(got.names(), (std::vector<std::string>{"x", "end"}));
}

TEST(DistributedNotificationDatagramTest, RoundTripsEveryNameLength) {
  for (const std::size_t length :
       {std::size_t{0}, std::size_t{1}, std::size_t{200}, platform::dnc::kMaxDatagramName}) {
    std::string name(length, '\0');
    for (std::size_t i = 0; i < length; ++i) name[i] = static_cast<char>(i * 7);
    const std::string datagram = platform::dnc::encodeDatagram(name);
    ASSERT_EQ(datagram.size(), platform::dnc::kDatagramHeaderSize + length);
    EXPECT_EQ(datagram.substr(0, 4), std::string("DN\x01\x00", 4));
    EXPECT_EQ(platform::dnc::decodeDatagram(datagram.data(), datagram.size()), name);
  }
}

// What sits in the folder besides the center's own sockets, and what a post must do with it.
TEST_F(DistributedNotificationCenterTest, PostLeavesForeignEntriesAloneAndRemovesDeadSockets) {
  auto center = DistributedNotificationCenter::create(folder);
  TempDir outside;

  RawSocket live(folder / "live");
  { RawSocket dead(folder / "dead"); }  // closed: the file stays, nobody listens
  RawSocket target(outside / "target");
  fs::create_symlink(outside / "target", folder / "symlink");
  std::ofstream(folder / "plain") << "not a socket";
  const bool canChown = ::geteuid() == 0;
  std::unique_ptr<RawSocket> foreign;
  if (canChown) {
    foreign = std::make_unique<RawSocket>(folder / "foreign");
    ASSERT_EQ(::chown((folder / "foreign").c_str(), 12345, 12345), 0);
  }

  center->post("hello");

  EXPECT_EQ(live.drain(), std::vector<std::string>{std::string("DN\x01\x00hello", 9)});
  EXPECT_FALSE(fs::exists(fs::symlink_status(folder / "dead"))) << "dead socket not removed";
  EXPECT_TRUE(target.drain().empty()) << "a symlink was followed";
  EXPECT_TRUE(fs::is_symlink(folder / "symlink"));
  EXPECT_TRUE(fs::exists(folder / "plain"));
  if (canChown) {
    EXPECT_TRUE(foreign->drain().empty()) << "sent to a socket of another user";
    EXPECT_TRUE(fs::exists(fs::symlink_status(folder / "foreign")));
  }
}

// What a poster leaves for receivers it cannot reach, and when it goes again.
TEST_F(DistributedNotificationCenterTest, FullReceiversAreMarkedAndTheirMarksGoWithThem) {
  using platform::dnc::encodeDatagram;
  using platform::dnc::missedMarkerSuffix;
  const auto fd = platform::dnc::openPrivateFolder(folder);
  platform::dnc::Broadcaster broadcaster(folder, fd.get());
  auto post = [&](const std::string& name) {
    broadcaster.broadcast(encodeDatagram(name), missedMarkerSuffix(name), "");
  };
  auto stuck = std::make_unique<RawSocket>(folder / "stuck");
  for (int i = 0; i < 40; ++i) post("n");  // more than the queue holds
  post("last");
  EXPECT_EQ(missedMarkerSuffix("com.example.Updated"), ".108781edbea21e7f.missed");  // as documented
  const fs::path markN = folder / ("stuck" + missedMarkerSuffix("n"));
  const fs::path markLast = folder / ("stuck" + missedMarkerSuffix("last"));
  ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(markN)));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(markLast)));
  EXPECT_EQ(fs::status(markN).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::file_size(markN), 0u);
  const auto queued = stuck->drain();
  EXPECT_GE(queued.size(), 1u);
  EXPECT_LT(queued.size(), 40u);

  // Receivers that stopped reading take up the sender's own buffer; a receiver with room must
  // still get the datagram, not only a mark it would find at its next read.
  std::vector<std::unique_ptr<RawSocket>> others;
  for (int i = 0; i < 40; ++i) others.push_back(std::make_unique<RawSocket>(folder / std::to_string(i)));
  for (int i = 0; i < 12; ++i) post("fill");
  RawSocket fresh(folder / "fresh");
  post("x");
  EXPECT_EQ(fresh.drain(), std::vector<std::string>{encodeDatagram("x")});

  // The socket's process is gone: the next post removes its file, and the post after that, which
  // lists the changed folder, the marks left for it.
  stuck.reset();
  others.clear();
  post("y");
  post("y");
  EXPECT_FALSE(fs::exists(fs::symlink_status(folder / "stuck")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(markN)));
  EXPECT_FALSE(fs::exists(fs::symlink_status(markLast)));
  EXPECT_EQ(fresh.drain(), (std::vector<std::string>{encodeDatagram("y"), encodeDatagram("y")}));
}

// Posts reuse the folder listing while the folder is unchanged; a socket bound later must still
// get the next post, however long the listing had been reused.
TEST_F(DistributedNotificationCenterTest, ReusedListingStillReachesASocketBoundLater) {
  const auto fd = platform::dnc::openPrivateFolder(folder);
  platform::dnc::Broadcaster broadcaster(folder, fd.get());
  RawSocket first(folder / "first");
  // Only a listing made well after the folder's last change is reused.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const std::string one = platform::dnc::encodeDatagram("one");
  const std::string two = platform::dnc::encodeDatagram("two");
  const std::string three = platform::dnc::encodeDatagram("three");
  broadcaster.broadcast(one, ".m", "");
  broadcaster.broadcast(two, ".m", "");
  RawSocket second(folder / "second");
  broadcaster.broadcast(three, ".m", "second");  // skipped by name, listed or not
  broadcaster.broadcast(three, ".m", "");
  EXPECT_EQ(first.drain(), (std::vector<std::string>{one, two, three, three}));
  EXPECT_EQ(second.drain(), std::vector<std::string>{three});
}

// Folder checks: the folder is the only thing keeping other users from posting to us.
TEST(DistributedNotificationFolderTest, CreateAcceptsOnlyAPrivateFolderOfTheUser) {
  struct Case {
    const char* what;
    std::function<fs::path(const TempDir&)> prepare;
    bool isAccepted;
  };
  auto withMode = [](mode_t mode) {
    return [mode](const TempDir& temp) {
      fs::create_directory(temp / "f");
      ::chmod((temp / "f").c_str(), mode);
      return temp / "f";
    };
  };
  std::vector<Case> cases = {
      {"missing folder is created", [](const TempDir& t) { return t / "f"; }, true},
      {"existing 0700", withMode(0700), true},
      {"group readable", withMode(0750), false},
      {"group searchable", withMode(0710), false},
      {"other writable", withMode(0702), false},
      {"symlink to a private folder",
       [](const TempDir& t) {
         fs::create_directory(t / "real");
         ::chmod((t / "real").c_str(), 0700);
         fs::create_directory_symlink(t / "real", t / "f");
         return t / "f";
       },
       false},
      {"regular file",
       [](const TempDir& t) {
         std::ofstream(t / "f") << "x";
         return t / "f";
       },
       false},
      {"missing parent", [](const TempDir& t) { return t / "missing" / "f"; }, false},
      {"path too long for a socket address",
       [](const TempDir& t) { return t / std::string(100, 'l'); }, false},
  };
  if (::geteuid() == 0) {
    cases.push_back({"owned by another user",
                     [](const TempDir& t) {
                       fs::create_directory(t / "f");
                       ::chmod((t / "f").c_str(), 0700);
                       EXPECT_EQ(::chown((t / "f").c_str(), 12345, 12345), 0);
                       return t / "f";
                     },
                     false});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir temp;
    const fs::path folder = c.prepare(temp);
    if (c.isAccepted) {
      EXPECT_NO_THROW(DistributedNotificationCenter::create(folder));
      struct stat st {};
      ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0700u);
    } else {
      EXPECT_THROW(DistributedNotificationCenter::create(folder), std::system_error);
    }
  }
}

TEST(DistributedNotificationFolderTest, FolderWhoseModeChangedAfterCreationIsNotPostedInto) {
  TempDir temp;
  const fs::path folder = temp / "f";
  auto center = DistributedNotificationCenter::create(folder);
  RawSocket live(folder / "live");
  ::chmod(folder.c_str(), 0777);
  center->post("n");
  EXPECT_TRUE(live.drain().empty());
  ::chmod(folder.c_str(), 0700);
  center->post("n");
  EXPECT_EQ(live.drain().size(), 1u);
}

TEST(DistributedNotificationFolderTest, DefaultFolderFollowsTheRuntimeDirectory) {
  const std::string fallback = "/tmp/distributed-notifications-" + std::to_string(::geteuid());
  const struct {
    const char* runtimeDir;  // nullptr: unset
    std::string expected;
  } cases[] = {
      {"/run/user/42", "/run/user/42/distributed-notifications"},
      {nullptr, fallback},
      {"", fallback},
      {"relative/dir", fallback},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.runtimeDir ? c.runtimeDir : "(unset)");
    std::optional<testsupport::ScopedEnv> env;
    if (c.runtimeDir != nullptr) {
      env.emplace("XDG_RUNTIME_DIR", c.runtimeDir);
    } else {
      env.emplace("XDG_RUNTIME_DIR", "");
      ::unsetenv("XDG_RUNTIME_DIR");
    }
    EXPECT_EQ(DistributedNotificationCenter::defaultFolder(), fs::path(c.expected));
  }
}

}  // namespace
