#include "host/system_sleep_observer.h"

#include <gtest/gtest.h>

#include "support/service_fakes.h"

namespace {

TEST(SystemSleepObserver, TurnsWorkspaceNotificationsIntoEventsInOrder) {
  platform::NotificationCenter center;
  host::SystemSleepObserver observer(center);
  testsupport::Recorder<host::SystemSleepEvent> events;
  auto subscription = observer.eventPublisher().sink(events.callback());
  center.post(host::kWorkspaceWillSleepNotification);
  center.post("SomethingElse");
  center.post(host::kWorkspaceDidWakeNotification);
  center.post(host::kWorkspaceWillSleepNotification);
  EXPECT_EQ(events.values(),
            std::vector<host::SystemSleepEvent>({host::SystemSleepEvent::sleep,
                                                 host::SystemSleepEvent::wake,
                                                 host::SystemSleepEvent::sleep}));
  subscription.cancel();
  center.post(host::kWorkspaceDidWakeNotification);
  EXPECT_EQ(events.size(), 3u);
}

}  // namespace
