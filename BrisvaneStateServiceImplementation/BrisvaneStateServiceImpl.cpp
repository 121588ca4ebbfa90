#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "BrisvaneStateServiceImplementation/KeychainBrisvaneReader.h"
#include "BrisvaneStateServiceImplementation/RTPLog.h"
#include "BrisvaneStateServiceImplementation/SpotlightInstalledAppMonitor.h"
#include "BrisvaneStateServiceImplementation/detail/StateServiceProbe.h"
#include "host/logind_sleep_bridge.h"
#include "host/system_sleep_observer.h"
#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "reactive/cancellable.h"
#include "runtime/async_stream.h"
#include "runtime/main_loop.h"
#include "runtime/task.h"

namespace brisvane {
namespace {

using host::BrisvaneRTPOverrideState;
using platform::Void;

constexpr const char* kReceivedEvent = "🌗 Received event from Brisvane.";
constexpr const char* kFailedToProvideEvent = "🌗 Failed to provide event: ";
constexpr const char* kKeychainReadFailed = "🌗 Keychain read failed; keeping previous value: ";
constexpr const char* kAnswerFailed = "🌗 Could not compute the RTP state; answering false: ";

std::string renderOptional(const std::optional<bool>& value) {
  if (!value) return "nil";
  return *value ? "Optional(true)" : "Optional(false)";
}

const char* renderBool(bool value) {
  return value ? "true" : "false";
}

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

// The state behind the host's handle. Background work (refreshes, the listening task, the
// periodic task, the sleep and trigger sinks) holds it weakly and locks it only while it uses
// it; the handle's destructor calls shutdown(), after which the core sends, calls and logs
// nothing more, wherever its memory is finally freed.
class BrisvaneStateServiceCore final
    : public std::enable_shared_from_this<BrisvaneStateServiceCore> {
 public:
  BrisvaneStateServiceCore(std::shared_ptr<BrisvaneKeychainReaderType> keychainReader,
                           host::BrisvaneStateOverrideConfiguration stateOverrideConfiguration,
                           std::shared_ptr<host::BrisvaneLastSavedRTPStateProviderType> provider,
                           std::shared_ptr<InstalledAppMonitorType> installedAppMonitor,
                           std::shared_ptr<host::SystemSleepObserverType> sleepStateObserver,
                           std::optional<bool> seed)
      : keychainReader_(std::move(keychainReader)),
        stateOverrideConfiguration_(std::move(stateOverrideConfiguration)),
        lastSavedBrisvaneRTPStatusProvider_(std::move(provider)),
        installedAppMonitor_(std::move(installedAppMonitor)),
        sleepStateObserver_(std::move(sleepStateObserver)),
        keychainRTPValue_(
            std::make_shared<platform::CurrentValueSubject<std::optional<bool>>>(seed)) {}

  static BrisvaneStateServiceCore& of(BrisvaneStateServiceImpl& service) { return *service.core_; }

  void start();
  // Runs on the thread that drops the host's handle; see the handle's lifetime contract.
  void shutdown();

  bool realRTPValue() const;
  bool isRealTimeProtectionEnabledOrThrow() const;
  bool isRealTimeProtectionEnabled() const;
  bool shouldInformUserAboutRTPStatusUpdate() const;
  platform::Publisher<bool> publisher();
  bool hasPeriodicRefreshTask() const;

  // None of these changes after construction; they are freed with the core.
  const std::shared_ptr<BrisvaneKeychainReaderType> keychainReader_;
  const host::BrisvaneStateOverrideConfiguration stateOverrideConfiguration_;
  const std::shared_ptr<host::BrisvaneLastSavedRTPStateProviderType>
      lastSavedBrisvaneRTPStatusProvider_;
  const std::shared_ptr<InstalledAppMonitorType> installedAppMonitor_;
  const std::shared_ptr<host::SystemSleepObserverType> sleepStateObserver_;
  const std::shared_ptr<platform::CurrentValueSubject<std::optional<bool>>> keychainRTPValue_;

 private:
  platform::Publisher<bool> buildPublisher() const;
  void bindRefreshTriggers();
  void bindSleepEvents();
  void startPeriodicRefresh();
  void stopPeriodicRefresh();
  // Reads the keychain state and publishes it; logs a failure and keeps the previous value.
  // Holds the core only weakly while the read blocks.
  static void refreshKeychainRTPValue(const std::weak_ptr<BrisvaneStateServiceCore>& weakSelf);
  void updateLastSavedRTPState(std::optional<bool> value);

  platform::CancellableSet cancellables_;
  // Written at construction and then on the main loop by sleep and wake; the lock orders a
  // construction on another thread against an early event.
  mutable std::mutex periodicRefreshMutex_;
  std::optional<platform::TaskHandle> periodicRefreshTask_;
  // Refreshes run concurrently. Each takes a ticket before it reads; a read that finishes after
  // a later-started read has already published sends the published value again instead of its
  // own, so a slow, older read never replaces a newer value. The lock keeps the ticket check,
  // the send and the provider call together, and orders them against shutdown: shutdown waits
  // for a delivery running on another thread, and re-enters when the host drops the service
  // from inside that delivery (hence recursive). Every publish checks isStopped_ under it.
  std::recursive_mutex publishMutex_;
  std::atomic<bool> isStopped_{false};
  std::uint64_t refreshesStarted_ = 0;
  std::uint64_t newestPublished_ = 0;
  std::once_flag publisherOnce_;
  std::optional<platform::Publisher<bool>> publisher_;
};

std::shared_ptr<BrisvaneStateServiceImpl> BrisvaneStateServiceImpl::make(
    std::string accessGroup, std::string knownInstalledBundleIdentifier,
    std::shared_ptr<const host::AppOnDeviceCheckerServiceType> appOnDeviceChecker,
    host::BrisvaneStateOverrideConfiguration stateOverrideConfiguration,
    std::shared_ptr<host::BrisvaneLastSavedRTPStateProviderType>
        lastSavedBrisvaneRTPStatusProvider) {
  auto client =
      std::make_shared<KeychainInteroperabilityClient>(keychainServiceName, std::move(accessGroup));
  auto reader = std::make_shared<KeychainBrisvaneReader>(std::move(client));
  // Sleep and wake reach the workspace center from the system bus, connected once per process
  // on the main loop.
  platform::MainLoop::main().post([] { host::startSystemSleepEventsOnce(); });
  auto sleepObserver =
      std::make_shared<host::SystemSleepObserver>(host::workspaceNotificationCenter());
  auto monitor = SpotlightInstalledAppMonitor::make(
      {brisvaneBundleIdentifier, brisvaneOrbiskBundleIdentifier}, std::move(appOnDeviceChecker),
      std::move(knownInstalledBundleIdentifier), {}, monitorDebounceInterval);
  return make(std::move(reader), std::move(monitor), std::move(sleepObserver),
              std::move(stateOverrideConfiguration), std::move(lastSavedBrisvaneRTPStatusProvider));
}

std::shared_ptr<BrisvaneStateServiceImpl> BrisvaneStateServiceImpl::make(
    std::shared_ptr<BrisvaneKeychainReaderType> keychainReader,
    std::shared_ptr<InstalledAppMonitorType> installedAppMonitor,
    std::shared_ptr<host::SystemSleepObserverType> sleepStateObserver,
    host::BrisvaneStateOverrideConfiguration stateOverrideConfiguration,
    std::shared_ptr<host::BrisvaneLastSavedRTPStateProviderType>
        lastSavedBrisvaneRTPStatusProvider) {
  // Seed from the host's last saved state, read once; absent without a provider.
  std::optional<bool> seed;
  if (lastSavedBrisvaneRTPStatusProvider) {
    try {
      seed = lastSavedBrisvaneRTPStatusProvider->lastSavedRTPState();
    } catch (...) {
      rtpLog(host::logError, [error = std::current_exception()] {
        return std::string(kKeychainReadFailed) + describe(error);
      });
    }
  }
  auto core = std::make_shared<BrisvaneStateServiceCore>(
      std::move(keychainReader), std::move(stateOverrideConfiguration),
      std::move(lastSavedBrisvaneRTPStatusProvider), std::move(installedAppMonitor),
      std::move(sleepStateObserver), seed);
  core->start();
  return std::make_shared<BrisvaneStateServiceImpl>(Passkey{}, std::move(core));
}

BrisvaneStateServiceImpl::BrisvaneStateServiceImpl(Passkey,
                                                   std::shared_ptr<BrisvaneStateServiceCore> core)
    : core_(std::move(core)) {}

BrisvaneStateServiceImpl::~BrisvaneStateServiceImpl() {
  core_->shutdown();
}

bool BrisvaneStateServiceImpl::isRealTimeProtectionEnabled() const {
  return core_->isRealTimeProtectionEnabled();
}

platform::Publisher<bool> BrisvaneStateServiceImpl::isRealTimeProtectionEnabledPublisher() {
  return core_->publisher();
}

bool BrisvaneStateServiceImpl::shouldInformUserAboutRTPStatusUpdate() const {
  return core_->shouldInformUserAboutRTPStatusUpdate();
}

std::optional<bool> BrisvaneStateServiceImpl::keychainRTPValue() const {
  return core_->keychainRTPValue_->value();
}

bool BrisvaneStateServiceImpl::hasPeriodicRefreshTask() const {
  return core_->hasPeriodicRefreshTask();
}

platform::Publisher<std::optional<bool>> probe::keychainValues(BrisvaneStateServiceImpl& service) {
  return BrisvaneStateServiceCore::of(service).keychainRTPValue_->publisher();
}

void probe::sendKeychainValue(BrisvaneStateServiceImpl& service, std::optional<bool> value) {
  BrisvaneStateServiceCore::of(service).keychainRTPValue_->send(value);
}

// --- Start and shutdown ------------------------------------------------------------------------

void BrisvaneStateServiceCore::start() {
  try {
    installedAppMonitor_->start();
  } catch (...) {
    rtpLog(host::logError, [error = std::current_exception()] {
      return std::string(kAnswerFailed) + describe(error);
    });
  }
  bindRefreshTriggers();
  bindSleepEvents();
  startPeriodicRefresh();
}

void BrisvaneStateServiceCore::shutdown() {
  {
    // Waits for a delivery on another thread; from inside a delivery on this thread it re-enters,
    // and the refresh up the stack finds the flag set when the delivery returns.
    std::lock_guard<std::recursive_mutex> lock(publishMutex_);
    isStopped_ = true;
  }
  // Ending the subscriptions waits for a trigger or sleep callback running on another thread, so
  // no wake can start a periodic task after it has been stopped below.
  cancellables_.clear();
  try {
    installedAppMonitor_->stop();
  } catch (...) {
    // The monitor's own failure to stop must not escape a destructor; nothing else to do.
  }
  stopPeriodicRefresh();
}

// --- The three answers -------------------------------------------------------------------------

bool BrisvaneStateServiceCore::realRTPValue() const {
  // Only a reported "on" asks whether the application is still installed.
  if (keychainRTPValue_->value() == true) return installedAppMonitor_->isInstalled();
  return false;
}

bool BrisvaneStateServiceCore::isRealTimeProtectionEnabledOrThrow() const {
  const auto& config = stateOverrideConfiguration_;
  if (config.isOverridden && config.isOverridden()) {
    return config.overriddenValue ? config.overriddenValue() : false;
  }
  return realRTPValue();
}

bool BrisvaneStateServiceCore::isRealTimeProtectionEnabled() const {
  try {
    return isRealTimeProtectionEnabledOrThrow();
  } catch (...) {
    rtpLog(host::logError, [error = std::current_exception()] {
      return std::string(kAnswerFailed) + describe(error);
    });
    return false;
  }
}

bool BrisvaneStateServiceCore::shouldInformUserAboutRTPStatusUpdate() const {
  if (!lastSavedBrisvaneRTPStatusProvider_) return false;
  try {
    const std::optional<bool> saved = lastSavedBrisvaneRTPStatusProvider_->lastSavedRTPState();
    // Nothing saved yet: tell the user when protection is really on, whatever the override.
    if (!saved) return realRTPValue();
    return isRealTimeProtectionEnabledOrThrow() != *saved;
  } catch (...) {
    rtpLog(host::logError, [error = std::current_exception()] {
      return std::string(kAnswerFailed) + describe(error);
    });
    return false;
  }
}

platform::Publisher<bool> BrisvaneStateServiceCore::publisher() {
  std::call_once(publisherOnce_, [this] { publisher_ = buildPublisher(); });
  return *publisher_;
}

platform::Publisher<bool> BrisvaneStateServiceCore::buildPublisher() const {
  platform::Publisher<bool> installed = platform::Publisher<bool>::never();
  try {
    installed = installedAppMonitor_->isInstalledPublisher();
  } catch (...) {
    rtpLog(host::logError, [error = std::current_exception()] {
      return std::string(kAnswerFailed) + describe(error);
    });
  }
  // The value without override: the installed state when the keychain says on, else false.
  // The line is written for every pair, before repeated values are dropped.
  auto real = platform::combineLatest(keychainRTPValue_->publisher(), installed)
                  .map([](const std::pair<std::optional<bool>, bool>& pair) {
                    const bool result = pair.first == true ? pair.second : false;
                    rtpLog(host::logDebug, [result, keychain = pair.first, onDevice = pair.second] {
                      return std::string("🌗 ManagedByBrisvane=") + renderBool(result) +
                             " (keychain=" + renderOptional(keychain) +
                             ", onDevice=" + renderBool(onDevice) + ")";
                    });
                    return result;
                  })
                  .removeDuplicates()
                  .eraseToAnyPublisher();
  // (realValue, overrideValue): the real value passes only without an override; the override
  // value is true only when the host forces protection on.
  auto withOverride =
      platform::combineLatest(real, stateOverrideConfiguration_.overrideStatePublisher)
          .map([](const std::pair<bool, BrisvaneRTPOverrideState>& pair) {
            const bool realValue =
                pair.second == BrisvaneRTPOverrideState::notOverridden ? pair.first : false;
            const bool overrideValue = pair.second == BrisvaneRTPOverrideState::forcedOn;
            return std::pair<bool, bool>(realValue, overrideValue);
          })
          .eraseToAnyPublisher();
  return withOverride
      .map([](const std::pair<bool, bool>& pair) { return pair.first || pair.second; })
      .removeDuplicates()
      .eraseToAnyPublisher();
}

bool BrisvaneStateServiceCore::hasPeriodicRefreshTask() const {
  std::lock_guard<std::mutex> lock(periodicRefreshMutex_);
  return periodicRefreshTask_.has_value();
}

// --- Refresh triggers --------------------------------------------------------------------------

void BrisvaneStateServiceCore::bindRefreshTriggers() {
  std::weak_ptr<BrisvaneStateServiceCore> weakSelf = weak_from_this();

  // One signal per change announcement of the settings message. The listening task holds the
  // reader, never the service, and ends when the subscription is cancelled.
  auto keychainUpdates = platform::Publisher<Void>::create(
      [weakSelf](platform::Emitter<Void> emitter) -> platform::AnyCancellable {
        auto self = weakSelf.lock();
        if (!self) return platform::AnyCancellable();
        std::shared_ptr<BrisvaneKeychainReaderType> reader = self->keychainReader_;
        self.reset();
        // Listening starts here, before construction returns, so that an announcement made
        // right after construction is not missed. Each signal is sent on the thread that
        // received the announcement; nothing waits on the stream. The subscription holds the
        // reader, never the service; the stream is declared after it so that it ends (and runs
        // its termination handlers) while the reader is still there.
        struct Listening {
          std::shared_ptr<BrisvaneKeychainReaderType> reader;
          platform::AsyncStream<Void> stream;
        };
        std::shared_ptr<Listening> listening;
        try {
          listening =
              std::make_shared<Listening>(Listening{reader, reader->listenForRTPStateUpdates()});
        } catch (...) {
          rtpLog(host::logError, [error = std::current_exception()] {
            return std::string(kFailedToProvideEvent) + describe(error);
          });
          emitter.sendCompletion();
          return platform::AnyCancellable();
        }
        listening->stream.forEach(
            [emitter](Void) {
              rtpLog(host::logExtended, [] { return std::string(kReceivedEvent); });
              emitter.send(Void{});
            },
            [emitter] { emitter.sendCompletion(); });
        return platform::AnyCancellable([listening] { listening->stream.cancel(); });
      });

  platform::Publisher<Void> installedChanges = platform::Publisher<Void>::never();
  try {
    installedChanges =
        installedAppMonitor_->isInstalledPublisher().map([](const bool&) { return Void{}; });
  } catch (...) {
    rtpLog(host::logError, [error = std::current_exception()] {
      return std::string(kFailedToProvideEvent) + describe(error);
    });
  }

  platform::merge(keychainUpdates, installedChanges)
      .prepend(Void{})
      .sink([weakSelf](const Void&) {
        // Refreshes run concurrently; the one that finishes last decides the value.
        platform::Task::detached([weakSelf] { refreshKeychainRTPValue(weakSelf); });
      })
      .store(cancellables_);
}

void BrisvaneStateServiceCore::refreshKeychainRTPValue(
    const std::weak_ptr<BrisvaneStateServiceCore>& weakSelf) {
  std::shared_ptr<BrisvaneKeychainReaderType> reader;
  std::uint64_t ticket = 0;
  {
    auto self = weakSelf.lock();
    if (!self) return;
    std::lock_guard<std::recursive_mutex> lock(self->publishMutex_);
    if (self->isStopped_) return;
    reader = self->keychainReader_;
    ticket = ++self->refreshesStarted_;
  }
  std::optional<bool> value;
  std::exception_ptr readError;
  try {
    value = reader->readRTPState();
  } catch (...) {
    readError = std::current_exception();
  }
  auto self = weakSelf.lock();
  if (!self) return;
  std::lock_guard<std::recursive_mutex> lock(self->publishMutex_);
  if (self->isStopped_) return;
  if (readError) {
    rtpLog(host::logError,
           [readError] { return std::string(kKeychainReadFailed) + describe(readError); });
    return;
  }
  try {
    if (ticket < self->newestPublished_) {
      // A read that started later has already published: this older one confirms that value
      // rather than putting its own, possibly stale, one back.
      value = self->keychainRTPValue_->value();
    } else {
      self->newestPublished_ = ticket;
    }
    self->keychainRTPValue_->send(value);
    // The host may have dropped the service from inside that delivery.
    if (self->isStopped_) return;
    self->updateLastSavedRTPState(value);
  } catch (...) {
    // A host subscriber or provider that throws must not end the refresh machinery.
    rtpLog(host::logError, [error = std::current_exception()] {
      return std::string(kKeychainReadFailed) + describe(error);
    });
  }
}

void BrisvaneStateServiceCore::updateLastSavedRTPState(std::optional<bool> value) {
  const bool real = value == true ? installedAppMonitor_->isInstalled() : false;
  if (!lastSavedBrisvaneRTPStatusProvider_) return;
  const std::optional<bool> saved = lastSavedBrisvaneRTPStatusProvider_->lastSavedRTPState();
  // A first saved state is only ever written as true.
  if (!saved && !real) return;
  lastSavedBrisvaneRTPStatusProvider_->saveRTPState(real);
}

// --- Periodic refresh and sleep ----------------------------------------------------------------

void BrisvaneStateServiceCore::startPeriodicRefresh() {
  std::weak_ptr<BrisvaneStateServiceCore> weakSelf = weak_from_this();
  std::lock_guard<std::mutex> lock(periodicRefreshMutex_);
  if (periodicRefreshTask_) periodicRefreshTask_->cancel();
  if (isStopped_) {
    periodicRefreshTask_.reset();
    return;
  }
  periodicRefreshTask_ = platform::Task::detached([weakSelf] {
    while (!platform::Task::isCancelled()) {
      try {
        platform::Task::sleep(BrisvaneStateServiceImpl::periodicRefreshInterval);
      } catch (const platform::TaskCancelled&) {
        return;
      }
      if (weakSelf.expired()) return;
      refreshKeychainRTPValue(weakSelf);
    }
  });
}

void BrisvaneStateServiceCore::stopPeriodicRefresh() {
  std::lock_guard<std::mutex> lock(periodicRefreshMutex_);
  if (periodicRefreshTask_) periodicRefreshTask_->cancel();
  periodicRefreshTask_.reset();
}

void BrisvaneStateServiceCore::bindSleepEvents() {
  std::weak_ptr<BrisvaneStateServiceCore> weakSelf = weak_from_this();
  platform::Publisher<host::SystemSleepEvent> events =
      platform::Publisher<host::SystemSleepEvent>::never();
  try {
    events = sleepStateObserver_->eventPublisher();
  } catch (...) {
    rtpLog(host::logError, [error = std::current_exception()] {
      return std::string(kFailedToProvideEvent) + describe(error);
    });
  }
  events.receiveOn(platform::MainLoop::main())
      .sink([weakSelf](const host::SystemSleepEvent& event) {
        auto self = weakSelf.lock();
        if (!self) return;
        if (event == host::SystemSleepEvent::wake) {
          self->startPeriodicRefresh();
        } else {
          self->stopPeriodicRefresh();
        }
      })
      .store(cancellables_);
}

}  // namespace brisvane
