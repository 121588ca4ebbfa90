#include "notifications/notification_center.h"

#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "reactive/cancellable.h"
#include "support/wait.h"

namespace platform {
namespace {

struct Received {
  std::string name;
  const void* object;
  std::thread::id thread;
};

AnyCancellable record(NotificationCenter& center, std::vector<Received>& into, std::string name,
                      const void* object = nullptr) {
  return center.publisher(std::move(name), object).sink([&into](const Notification& n) {
    into.push_back(Received{n.name, n.object, std::this_thread::get_id()});
  });
}

TEST(NotificationCenterTest, DeliversByNameAndObjectFilter) {
  NotificationCenter center;
  const int first = 0;
  const int second = 0;
  std::vector<Received> anyObject;
  std::vector<Received> firstOnly;
  std::vector<Received> otherName;
  AnyCancellable a = record(center, anyObject, "changed");
  AnyCancellable b = record(center, firstOnly, "changed", &first);
  AnyCancellable c = record(center, otherName, "finished");

  center.post("changed");
  center.post("changed", &first);
  center.post("changed", &second);
  center.post(Notification{"finished", &second, {}});

  ASSERT_EQ(anyObject.size(), 3u);
  EXPECT_EQ(anyObject[0].object, nullptr);
  EXPECT_EQ(anyObject[1].object, &first);
  EXPECT_EQ(anyObject[2].object, &second);
  ASSERT_EQ(firstOnly.size(), 1u) << "an object filter skips other objects and none";
  EXPECT_EQ(firstOnly[0].object, &first);
  ASSERT_EQ(otherName.size(), 1u);
  EXPECT_EQ(otherName[0].name, "finished");
}

TEST(NotificationCenterTest, DeliversUserInfoSynchronouslyOnThePostingThread) {
  NotificationCenter center;
  std::optional<Notification> received;
  std::thread::id deliveredOn;
  AnyCancellable handle = center.publisher("update").sink([&](const Notification& n) {
    received = n;
    deliveredOn = std::this_thread::get_id();
  });

  std::thread::id postedOn;
  std::atomic<bool> finished{false};
  std::thread poster([&] {
    postedOn = std::this_thread::get_id();
    center.post("update", nullptr, UserInfo{{"count", std::any(3)}});
    // Delivered before post() returned.
    EXPECT_TRUE(received.has_value());
    finished = true;
  });
  ASSERT_TRUE(testsupport::waitFor([&] { return finished.load(); }));
  poster.join();
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(std::any_cast<int>(received->userInfo.at("count")), 3);
  EXPECT_EQ(deliveredOn, postedOn);
}

TEST(NotificationCenterTest, ObserversChangedDuringDeliveryAreSafe) {
  NotificationCenter center;
  std::vector<Received> removedLater;
  std::vector<Received> addedDuring;
  AnyCancellable victim;
  AnyCancellable added;
  int remover = 0;
  // The first observer cancels the second and subscribes a third while the post is delivered.
  AnyCancellable first = center.publisher("tick").sink([&](const Notification&) {
    ++remover;
    if (remover == 1) {
      victim.cancel();
      added = record(center, addedDuring, "tick");
    }
  });
  victim = record(center, removedLater, "tick");

  center.post("tick");
  EXPECT_EQ(remover, 1);
  EXPECT_TRUE(removedLater.empty()) << "cancelled before its turn in the same post";
  EXPECT_TRUE(addedDuring.empty());

  center.post("tick");
  EXPECT_EQ(remover, 2);
  EXPECT_TRUE(removedLater.empty());
  EXPECT_EQ(addedDuring.size(), 1u);
}

TEST(NotificationCenterTest, CancellingRemovesTheObserverAndFreesItsClosure) {
  NotificationCenter center;
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  int received = 0;
  AnyCancellable handle = center.publisher("gone").sink(
      [&received, token = std::move(token)](const Notification&) { ++received; });
  center.post("gone");
  handle.cancel();
  EXPECT_TRUE(watch.expired());
  center.post("gone");
  EXPECT_EQ(received, 1);

  // Centers are independent; the default one is a single instance.
  NotificationCenter other;
  std::vector<Received> onOther;
  AnyCancellable otherHandle = record(other, onOther, "gone");
  center.post("gone");
  EXPECT_TRUE(onOther.empty());
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}

TEST(NotificationCenterTest, SubscriptionMayOutliveTheCenter) {
  std::vector<Received> received;
  AnyCancellable handle;
  {
    NotificationCenter center;
    handle = record(center, received, "late");
    center.post("late");
  }
  handle.cancel();
  EXPECT_EQ(received.size(), 1u);
}

}  // namespace
}  // namespace platform
