#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <mutex>
#include <optional>

#include "BrisvaneStateServiceImplementation/BrisvaneKeychainReaderType.h"
#include "BrisvaneStateServiceImplementation/InstalledAppMonitorType.h"
#include "host/contracts.h"
#include "platform/cancellable.h"
#include "platform/publisher.h"
#include "platform/subjects.h"
#include "platform/task.h"

namespace brisvane {

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
// Lifetime: always owned through std::shared_ptr (background work holds it weakly, so pending
// refreshes, the listening task, the periodic task and the sleep subscription never keep it
// alive). Dropping the last owner stops the monitor, cancels the periodic task and ends the
// subscriptions, which stops the keychain listening.
class BrisvaneStateServiceImpl final : public host::BrisvaneStateServiceType,
                                       public std::enable_shared_from_this<BrisvaneStateServiceImpl> {
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
      std::shared_ptr<host::BrisvaneLastSavedRTPStateProviderType> lastSavedBrisvaneRTPStatusProvider);

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
      std::shared_ptr<host::BrisvaneLastSavedRTPStateProviderType> lastSavedBrisvaneRTPStatusProvider);

  BrisvaneStateServiceImpl(const BrisvaneStateServiceImpl&) = delete;
  BrisvaneStateServiceImpl& operator=(const BrisvaneStateServiceImpl&) = delete;
  ~BrisvaneStateServiceImpl() override;

  bool isRealTimeProtectionEnabled() const override;
  // Built on first read; every later read returns the same publisher.
  platform::Publisher<bool> isRealTimeProtectionEnabledPublisher() override;
  bool shouldInformUserAboutRTPStatusUpdate() const override;

  // For tests and tools: the keychain value the answers are computed from, and whether a
  // periodic refresh task is running.
  std::optional<bool> keychainRTPValue() const { return keychainRTPValue_->value(); }
  bool hasPeriodicRefreshTask() const;

 private:
  struct Passkey {};
  // Lets benchmarks and tests drive the keychain value directly.
  friend struct BrisvaneStateServiceTestAccess;

 public:
  BrisvaneStateServiceImpl(Passkey, std::shared_ptr<BrisvaneKeychainReaderType> keychainReader,
                           host::BrisvaneStateOverrideConfiguration stateOverrideConfiguration,
                           std::shared_ptr<host::BrisvaneLastSavedRTPStateProviderType> provider,
                           std::shared_ptr<InstalledAppMonitorType> installedAppMonitor,
                           std::shared_ptr<host::SystemSleepObserverType> sleepStateObserver,
                           std::optional<bool> seed);

 private:
  bool realRTPValue() const;
  bool isRealTimeProtectionEnabledOrThrow() const;
  platform::Publisher<bool> buildPublisher() const;

  void bindRefreshTriggers();
  void bindSleepEvents();
  void startPeriodicRefresh();
  void stopPeriodicRefresh();
  // Reads the keychain state and publishes it; logs a failure and keeps the previous value.
  // Holds the service only weakly while the read blocks.
  static void refreshKeychainRTPValue(const std::weak_ptr<BrisvaneStateServiceImpl>& weakSelf);
  void updateLastSavedRTPState(std::optional<bool> value);

  // The destructor releases these in declaration order. None changes after construction.
  std::shared_ptr<BrisvaneKeychainReaderType> keychainReader_;
  host::BrisvaneStateOverrideConfiguration stateOverrideConfiguration_;
  std::shared_ptr<host::BrisvaneLastSavedRTPStateProviderType> lastSavedBrisvaneRTPStatusProvider_;
  std::shared_ptr<InstalledAppMonitorType> installedAppMonitor_;
  std::shared_ptr<host::SystemSleepObserverType> sleepStateObserver_;
  std::shared_ptr<platform::CurrentValueSubject<std::optional<bool>>> keychainRTPValue_;
  platform::CancellableSet cancellables_;
  // Written at construction and then on the main loop by sleep and wake; the lock orders a
  // construction on another thread against an early event.
  mutable std::mutex periodicRefreshMutex_;
  std::optional<platform::TaskHandle> periodicRefreshTask_;
  // Refreshes run concurrently. Each takes a ticket before it reads; a read that finishes after
  // a later-started read has already published sends the published value again instead of its
  // own, so a slow, older read never replaces a newer value. The lock keeps the ticket check
  // and the send together.
  std::atomic<std::uint64_t> refreshesStarted_{0};
  std::mutex publishMutex_;
  std::uint64_t newestPublished_ = 0;
  std::once_flag publisherOnce_;
  std::optional<platform::Publisher<bool>> publisher_;
};

}  // namespace brisvane
