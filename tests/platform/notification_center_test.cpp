#include "platform/notification_center.h"

#include <gtest/gtest.h>

#include <any>
#include <string>
#include <thread>
#include <vector>

#include "platform/cancellable.h"

namespace platform {
namespace {

AnyCancellable record(NotificationCenter& center, std::vector<const void*>& into,
                      std::string name, const void* object = nullptr) {
  return center.publisher(std::move(name), object).sink([&into](const Notification& n) {
    into.push_back(n.object);
  });
}

TEST(NotificationCenterTest, DeliversByNameAndObjectSynchronouslyOnThePostingThread) {
  NotificationCenter center;
  const int first = 0, second = 0;
  std::vector<const void*> anyObject, firstOnly, otherName;
  AnyCancellable a = record(center, anyObject, "changed");
  AnyCancellable c = record(center, otherName, "finished");
  AnyCancellable b = record(center, firstOnly, "changed", &first);
  center.post("changed");
  center.post("changed", &first);
  center.post(Notification{"changed", &second, {}});
  EXPECT_EQ(anyObject, (std::vector<const void*>{nullptr, &first, &second}));
  EXPECT_EQ(firstOnly, (std::vector<const void*>{&first})) << "skips other objects and none";
  EXPECT_TRUE(otherName.empty());

  std::thread::id deliveredOn;
  int count = 0;
  AnyCancellable info = center.publisher("update").sink([&](const Notification& n) {
    count = std::any_cast<int>(n.userInfo.at("count"));
    deliveredOn = std::this_thread::get_id();
  });
  std::thread::id postedOn;
  std::thread([&] {
    postedOn = std::this_thread::get_id();
    center.post("update", nullptr, UserInfo{{"count", std::any(3)}});
    EXPECT_EQ(count, 3) << "delivered before post() returned";
  }).join();
  EXPECT_EQ(deliveredOn, postedOn);
}

TEST(NotificationCenterTest, ObserversChangedDuringAPostAndCentersGoneFirstAreSafe) {
  NotificationCenter center;
  std::vector<const void*> victim, added;
  AnyCancellable victimHandle, addedHandle;
  int calls = 0;
  AnyCancellable first = center.publisher("tick").sink([&](const Notification&) {
    if (++calls > 1) return;
    victimHandle.cancel();
    addedHandle = record(center, added, "tick");
  });
  victimHandle = record(center, victim, "tick");
  center.post("tick");
  EXPECT_TRUE(victim.empty() && added.empty()) << "cancelled before its turn; added too late";
  center.post("tick");
  EXPECT_TRUE(victim.empty());
  EXPECT_EQ(added.size(), 1u);

  std::vector<const void*> received;
  AnyCancellable handle;
  {
    NotificationCenter shortLived;
    handle = record(shortLived, received, "late");
    shortLived.post("late");
  }
  handle.cancel();
  EXPECT_EQ(received.size(), 1u);
}

}  // namespace
}  // namespace platform
