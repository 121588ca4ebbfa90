#pragma once

#include <memory>
#include <optional>
#include <string>

#include "brisvane_export.h"
#include "notifications/notification_center.h"

namespace host {

// Feeds a workspace notification center from the login manager's PrepareForSleep signal on the
// system bus: PrepareForSleep(true) posts the will-sleep notification, PrepareForSleep(false)
// the did-wake notification. Only signals sent by the owner of the login manager's bus name are
// believed.
//
// Threads: start() and destruction on the main thread; the bus is read on the main loop, so the
// notifications are posted there.
class BRISVANE_EXPORT LogindSleepBridge {
 public:
  // Connects to the system bus, or to the bus at `busAddress` (tests use a private bus). Returns
  // nullptr, and says why in `whyNot`, when no bus can be reached.
  static std::unique_ptr<LogindSleepBridge> start(platform::NotificationCenter& center,
                                                  const std::optional<std::string>& busAddress,
                                                  std::string* whyNot = nullptr);
  ~LogindSleepBridge();
  LogindSleepBridge(const LogindSleepBridge&) = delete;
  LogindSleepBridge& operator=(const LogindSleepBridge&) = delete;

  struct Impl;
  explicit LogindSleepBridge(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

// Starts the process's bridge to the system bus once, feeding workspaceNotificationCenter().
// Without a bus the process runs without sleep events and writes one line saying so. Call on
// the main thread.
BRISVANE_EXPORT void startSystemSleepEventsOnce();

}  // namespace host
