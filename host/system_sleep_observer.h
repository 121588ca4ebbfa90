#pragma once

#include <memory>
#include <string>

#include "brisvane_export.h"
#include "host/contracts.h"
#include "notifications/notification_center.h"

namespace host {

// Names of the workspace notifications posted before the machine sleeps and after it wakes.
inline constexpr const char* kWorkspaceWillSleepNotification = "WorkspaceWillSleepNotification";
inline constexpr const char* kWorkspaceDidWakeNotification = "WorkspaceDidWakeNotification";

// The process's workspace notification center: machine-wide events such as sleep and wake.
// Fed by LogindSleepBridge where a system bus is present; tools and tests may post to it.
BRISVANE_EXPORT platform::NotificationCenter& workspaceNotificationCenter();

// Turns the workspace center's will-sleep and did-wake notifications into SystemSleepEvent
// values. Events arrive on the thread that posted the notification.
class BRISVANE_EXPORT SystemSleepObserver final : public SystemSleepObserverType {
 public:
  explicit SystemSleepObserver(platform::NotificationCenter& notificationCenter);
  platform::Publisher<SystemSleepEvent> eventPublisher() const override;

 private:
  platform::Publisher<SystemSleepEvent> events_;
};

}  // namespace host
