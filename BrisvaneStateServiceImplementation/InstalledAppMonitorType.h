#pragma once

#include "brisvane_export.h"
#include "reactive/publisher.h"

namespace brisvane {

// Knows whether the security application is installed, and keeps knowing it.
//
// Only reference types implement it; holders keep a shared reference. The properties are read
// from the host's threads and from background tasks at the same time, and implementations accept
// that.
class BRISVANE_EXPORT InstalledAppMonitorType {
 public:
  virtual ~InstalledAppMonitorType() = default;

  // A new subscriber receives the current answer at once, on the subscribing thread, and then
  // each answer that differs from the last one it received.
  virtual platform::Publisher<bool> isInstalledPublisher() = 0;

  // The current answer: true when the security application is installed.
  virtual bool isInstalled() = 0;

  // (Re)starts monitoring. Never fails.
  virtual void start() = 0;

  // Stops monitoring. Harmless when repeated or before start().
  virtual void stop() = 0;
};

}  // namespace brisvane
