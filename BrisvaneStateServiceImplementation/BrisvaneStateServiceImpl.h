#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "brisvane_export.h"
#include "host/contracts.h"
#include "reactive/publisher.h"

namespace brisvane {

class BrisvaneKeychainReaderType;
class InstalledAppMonitorType;
class BrisvaneStateServiceCore;

// Tells the host whether the security application's real-time protection is on, as a value,
// as a stream, and as "has it changed since the host last saved it".
//
// The answer combines the protection state last read from the shared keychain item, whether the
// security application is installed, the host's override, and the host's last saved state. The
// service keeps the keychain value fresh by itself: it reads it at construction, after every
// change announcement, after every change of the installed state, and every 6 hours while the
// machine is awake (the 6-hour wait restarts on wake and stops on sleep).
//
// Threads: the three answers may be read from any thread and never throw. Values of the
// published stream arrive on the thread that produced them (a background refresh, the main loop
// for installed-state changes, or the host's override thread); the stream applies no scheduler.
// Sleep and wake events are handled on the main loop.
//
// Lifetime: owned by the host through std::shared_ptr; nothing of the library ever holds this
// object, so it is destroyed on the thread that drops the last reference, at that moment. The
// host may drop it from any thread and from inside any of its own callbacks (a sink of the
// published stream, a provider call, a main-loop block). Destruction, on that thread:
//   - waits for a refresh that is publishing on another thread to finish delivering its value
//     (as cancelling a subscription waits for a running callback; from inside that delivery it
//     does not wait), so a host must not hold, while dropping the service, a lock that its own
//     sink takes;
//   - stops the monitor, cancels the periodic task and the keychain listening, and ends the
//     service's subscriptions.
// After the destructor has returned, the service sends no value, calls no provider and writes no
// log line. A keychain read already running on a background thread finishes there and its result
// is dropped; the service's internal state is freed by whichever of those threads lets it go
// last, and freeing it touches nothing of the host.
class BRISVANE_EXPORT BrisvaneStateServiceImpl final : public host::BrisvaneStateServiceType {
 public:
  // 6 hours, the period of the background refresh.
  static constexpr std::uint64_t periodicRefreshInterval = 21'600'000'000'000ULL;

  // The host's entry point. Builds the keychain client for the service
  // "com.tarvik.brisvane.interoperability" and `accessGroup`, the reader over it, the sleep
  // observer over the workspace center, and a monitor for "com.tarvik.brisvane" and
  // "com.tarvik.brisvane-orbisk" (plus the host's own `knownInstalledBundleIdentifier`) in the
  // default application folders with a 500 ms debounce; then starts everything. Never fails and
  // logs nothing; the provider may be null.
  static std::shared_ptr<BrisvaneStateServiceImpl> make(
      std::string accessGroup, std::string knownInstalledBundleIdentifier,
      std::shared_ptr<const host::AppOnDeviceCheckerServiceType> appOnDeviceChecker,
      host::BrisvaneStateOverrideConfiguration stateOverrideConfiguration,
      std::shared_ptr<host::BrisvaneLastSavedRTPStateProviderType>
          lastSavedBrisvaneRTPStatusProvider);

  // The fixed identifiers the entry point uses.
  static constexpr const char* keychainServiceName = "com.tarvik.brisvane.interoperability";
  static constexpr const char* brisvaneBundleIdentifier = "com.tarvik.brisvane";
  static constexpr const char* brisvaneOrbiskBundleIdentifier = "com.tarvik.brisvane-orbisk";
  static constexpr std::chrono::milliseconds monitorDebounceInterval{500};

  // Builds the service from its collaborators and starts it: seeds the keychain value from the
  // provider, starts the monitor, binds the refresh triggers and the sleep events and starts the
  // periodic refresh. Never fails. The provider may be null.
  static std::shared_ptr<BrisvaneStateServiceImpl> make(
      std::shared_ptr<BrisvaneKeychainReaderType> keychainReader,
      std::shared_ptr<InstalledAppMonitorType> installedAppMonitor,
      std::shared_ptr<host::SystemSleepObserverType> sleepStateObserver,
      host::BrisvaneStateOverrideConfiguration stateOverrideConfiguration,
      std::shared_ptr<host::BrisvaneLastSavedRTPStateProviderType>
          lastSavedBrisvaneRTPStatusProvider);

  BrisvaneStateServiceImpl(const BrisvaneStateServiceImpl&) = delete;
  BrisvaneStateServiceImpl& operator=(const BrisvaneStateServiceImpl&) = delete;
  ~BrisvaneStateServiceImpl() override;

  bool isRealTimeProtectionEnabled() const override;
  // Built on first read; every later read returns the same publisher.
  platform::Publisher<bool> isRealTimeProtectionEnabledPublisher() override;
  bool shouldInformUserAboutRTPStatusUpdate() const override;

  // For tests and tools: the keychain value the answers are computed from, and whether a
  // periodic refresh task is running.
  std::optional<bool> keychainRTPValue() const;
  bool hasPeriodicRefreshTask() const;

 private:
  struct Passkey {};
  friend class BrisvaneStateServiceCore;

 public:
  BrisvaneStateServiceImpl(Passkey, std::shared_ptr<BrisvaneStateServiceCore> core);

 private:
  // Everything the background work needs lives in the core, which that work holds weakly.
  std::shared_ptr<BrisvaneStateServiceCore> core_;
};

}  // namespace brisvane
