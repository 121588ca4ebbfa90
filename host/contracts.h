#pragma once

#include <functional>
#include <optional>
#include <string>

#include "brisvane_export.h"
#include "reactive/publisher.h"

namespace host {

// Power events of the machine. The service tells only the first case, wake, from the others.
enum class SystemSleepEvent { wake, sleep };

// Source of the machine's sleep and wake events.
class BRISVANE_EXPORT SystemSleepObserverType {
 public:
  virtual ~SystemSleepObserverType() = default;
  // Events in the order they happened, on the thread that observed them.
  virtual platform::Publisher<SystemSleepEvent> eventPublisher() const = 0;
};

// Answers whether an application with a bundle identifier is present on this machine. Called
// synchronously, from any thread.
class BRISVANE_EXPORT AppOnDeviceCheckerServiceType {
 public:
  virtual ~AppOnDeviceCheckerServiceType() = default;
  virtual bool isAppOnDevice(const std::string& bundleIdentifier) const = 0;
};

// The host's override of the protection state. Only the declaration order carries meaning: the
// first case forces it off, the second forces it on, the third lets the real state through.
enum class BrisvaneRTPOverrideState { forcedOff, forcedOn, notOverridden };

// Supplied by the host. The functions are called on whichever thread reads the service's
// answers, every time they are read; the service never calls resetOverride.
struct BRISVANE_EXPORT BrisvaneStateOverrideConfiguration {
  std::function<bool()> isOverridden;
  std::function<bool()> overriddenValue;
  std::function<void()> resetOverride;
  platform::Publisher<BrisvaneRTPOverrideState> overrideStatePublisher;
};

// The host's record of the protection state it last saved. Both members may be called from
// background tasks.
class BRISVANE_EXPORT BrisvaneLastSavedRTPStateProviderType {
 public:
  virtual ~BrisvaneLastSavedRTPStateProviderType() = default;
  virtual std::optional<bool> lastSavedRTPState() const = 0;
  virtual void saveRTPState(bool state) = 0;
};

// What the host asks of the state service. Readable from any thread; none of them fails.
class BRISVANE_EXPORT BrisvaneStateServiceType {
 public:
  virtual ~BrisvaneStateServiceType() = default;
  virtual bool isRealTimeProtectionEnabled() const = 0;
  virtual platform::Publisher<bool> isRealTimeProtectionEnabledPublisher() = 0;
  virtual bool shouldInformUserAboutRTPStatusUpdate() const = 0;
};

}  // namespace host
