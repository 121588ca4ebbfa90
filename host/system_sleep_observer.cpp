#include "host/system_sleep_observer.h"

namespace host {

platform::NotificationCenter& workspaceNotificationCenter() {
  static platform::NotificationCenter* center = new platform::NotificationCenter();
  return *center;
}

SystemSleepObserver::SystemSleepObserver(platform::NotificationCenter& notificationCenter)
    : events_(platform::merge(
          notificationCenter.publisher(kWorkspaceDidWakeNotification)
              .map([](const platform::Notification&) { return SystemSleepEvent::wake; }),
          notificationCenter.publisher(kWorkspaceWillSleepNotification)
              .map([](const platform::Notification&) { return SystemSleepEvent::sleep; }))) {}

platform::Publisher<SystemSleepEvent> SystemSleepObserver::eventPublisher() const {
  return events_;
}

}  // namespace host
