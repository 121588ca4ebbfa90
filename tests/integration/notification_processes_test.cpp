// Distributed notifications between real processes, each test with its own XDG_RUNTIME_DIR.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "integration/process_support.h"
#include "notifications/distributed_notification_center.h"

namespace {

using integration::ChildProcess;
using platform::DistributedNotificationCenter;

TEST(NotificationProcesses, ChildThatOnlyPostsWakesObserversInThreeOtherProcesses) {
  integration::IsolatedEnvironment environment;
  integration::Watchdog watchdog(std::chrono::seconds(90), "the fan-out test");
  std::vector<std::unique_ptr<ChildProcess>> observers;
  for (int i = 0; i < 3; ++i) {
    observers.push_back(std::make_unique<ChildProcess>(
        "notification_peer", std::vector<std::string>{"observe", "integration.wake", "1"}));
  }
  for (auto& observer : observers) ASSERT_EQ(observer->readLine(), "ready");

  ChildProcess poster("notification_peer", {"post", "integration.wake", "1"});
  EXPECT_TRUE(poster.exitedCleanly());
  for (auto& observer : observers) {
    EXPECT_EQ(observer->readLine(), "got 1");
    EXPECT_TRUE(observer->exitedCleanly());
  }
}

// A full socket queue holds about ten datagrams, so a burst outruns every observer. Posting must
// not wait for them, and each must still get a callback that starts after the last post.
TEST(NotificationProcesses, BurstEndsAfterItsLastPostInEveryObservingProcess) {
  integration::IsolatedEnvironment environment;
  integration::Watchdog watchdog(std::chrono::seconds(90), "the burst test");
  const int posts = integration::scaled(10000, 100);
  std::vector<std::unique_ptr<ChildProcess>> observers;
  for (int i = 0; i < 4; ++i) {
    observers.push_back(std::make_unique<ChildProcess>(
        "notification_peer", std::vector<std::string>{"burst-observe", "integration.burst"}));
  }
  for (auto& observer : observers) ASSERT_EQ(observer->readLine(), "ready");

  auto center =
      DistributedNotificationCenter::create(DistributedNotificationCenter::defaultFolder());
  std::int64_t lastPostStart = 0;
  for (int i = 0; i < posts; ++i) {
    lastPostStart = integration::monotonicNanos();
    center->post("integration.burst");
  }

  for (auto& observer : observers) {
    ASSERT_TRUE(observer->send("after " + std::to_string(lastPostStart)));
    const auto report = observer->readLine();
    ASSERT_TRUE(report.has_value()) << "observer " << observer->pid()
                                    << " got no callback after the last post";
    long long count = 0, last = 0;
    ASSERT_EQ(std::sscanf(report->c_str(), "count=%lld last=%lld", &count, &last), 2) << *report;
    EXPECT_GE(last, lastPostStart);
    EXPECT_GE(count, 1);
    // A post that met a full queue leaves a mark and tries once more; when that try gets
    // through, the mark adds one callback, so a post gives at most two.
    EXPECT_LE(count, 2 * posts);
    EXPECT_TRUE(observer->exitedCleanly());
  }
}

// The default center refuses a folder that other users could enter, and then still delivers a
// process's own posts to that process.
TEST(NotificationProcesses, DefaultCenterOverAnOpenFolderStaysWithinItsProcess) {
  integration::IsolatedEnvironment environment;
  integration::Watchdog watchdog(std::chrono::seconds(90), "the open folder test");
  const auto folder = DistributedNotificationCenter::defaultFolder();
  std::filesystem::create_directory(folder);
  std::filesystem::permissions(folder, std::filesystem::perms::all);

  ChildProcess child("notification_peer", {"self-post", "integration.self"});
  EXPECT_EQ(child.readLine(), "folder=");
  EXPECT_EQ(child.readLine(), "got own post");
  EXPECT_TRUE(child.exitedCleanly());
  EXPECT_TRUE(std::filesystem::is_empty(folder)) << "a socket was bound in the open folder";
}

}  // namespace
