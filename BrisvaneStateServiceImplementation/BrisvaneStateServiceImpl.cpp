#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"

#include <exception>
#include <string>
#include <utility>

#include "BrisvaneStateServiceImplementation/KeychainBrisvaneReader.h"
#include "BrisvaneStateServiceImplementation/RTPLog.h"
#include "BrisvaneStateServiceImplementation/SpotlightInstalledAppMonitor.h"
#include "host/logind_sleep_bridge.h"
#include "host/system_sleep_observer.h"
#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "platform/async_stream.h"
#include "platform/main_loop.h"

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

const char* renderBool(bool value) { return value ? "true" : "false"; }

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

std::shared_ptr<BrisvaneStateServiceImpl> BrisvaneStateServiceImpl::make(
    std::string accessGroup, std::string knownInstalledBundleIdentifier,
    std::shared_ptr<const host::AppOnDeviceCheckerServiceType> appOnDeviceChecker,
    host::BrisvaneStateOverrideConfiguration stateOverrideConfiguration,
    std::shared_ptr<host::BrisvaneLastSavedRTPStateProviderType> lastSavedBrisvaneRTPStatusProvider) {
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
    std::shared_ptr<host::BrisvaneLastSavedRTPStateProviderType> lastSavedBrisvaneRTPStatusProvider) {
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
  auto service = std::make_shared<BrisvaneStateServiceImpl>(
      Passkey{}, std::move(keychainReader), std::move(stateOverrideConfiguration),
      std::move(lastSavedBrisvaneRTPStatusProvider), std::move(installedAppMonitor),
      std::move(sleepStateObserver), seed);
  try {
    service->installedAppMonitor_->start();
  } catch (...) {
    rtpLog(host::logError, [error = std::current_exception()] {
      return std::string(kAnswerFailed) + describe(error);
    });
  }
  service->bindRefreshTriggers();
  service->bindSleepEvents();
  service->startPeriodicRefresh();
  return service;
}

BrisvaneStateServiceImpl::BrisvaneStateServiceImpl(
    Passkey, std::shared_ptr<BrisvaneKeychainReaderType> keychainReader,
    host::BrisvaneStateOverrideConfiguration stateOverrideConfiguration,
    std::shared_ptr<host::BrisvaneLastSavedRTPStateProviderType> provider,
    std::shared_ptr<InstalledAppMonitorType> installedAppMonitor,
    std::shared_ptr<host::SystemSleepObserverType> sleepStateObserver, std::optional<bool> seed)
    : keychainReader_(std::move(keychainReader)),
      stateOverrideConfiguration_(std::move(stateOverrideConfiguration)),
      lastSavedBrisvaneRTPStatusProvider_(std::move(provider)),
      installedAppMonitor_(std::move(installedAppMonitor)),
      sleepStateObserver_(std::move(sleepStateObserver)),
      keychainRTPValue_(std::make_shared<platform::CurrentValueSubject<std::optional<bool>>>(seed)) {}

BrisvaneStateServiceImpl::~BrisvaneStateServiceImpl() {
  try {
    installedAppMonitor_->stop();
  } catch (...) {
    // The monitor's own failure to stop must not escape a destructor; nothing else to do.
  }
  stopPeriodicRefresh();
  keychainReader_.reset();
  stateOverrideConfiguration_ = {};
  lastSavedBrisvaneRTPStatusProvider_.reset();
  installedAppMonitor_.reset();
  sleepStateObserver_.reset();
  keychainRTPValue_.reset();
  cancellables_.clear();
  publisher_.reset();
}

// --- The three answers -------------------------------------------------------------------------

bool BrisvaneStateServiceImpl::realRTPValue() const {
  // Only a reported "on" asks whether the application is still installed.
  if (keychainRTPValue_->value() == true) return installedAppMonitor_->isInstalled();
  return false;
}

bool BrisvaneStateServiceImpl::isRealTimeProtectionEnabledOrThrow() const {
  const auto& config = stateOverrideConfiguration_;
  if (config.isOverridden && config.isOverridden()) {
    return config.overriddenValue ? config.overriddenValue() : false;
  }
  return realRTPValue();
}

bool BrisvaneStateServiceImpl::isRealTimeProtectionEnabled() const {
  try {
    return isRealTimeProtectionEnabledOrThrow();
  } catch (...) {
    rtpLog(host::logError, [error = std::current_exception()] {
      return std::string(kAnswerFailed) + describe(error);
    });
    return false;
  }
}

bool BrisvaneStateServiceImpl::shouldInformUserAboutRTPStatusUpdate() const {
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

platform::Publisher<bool> BrisvaneStateServiceImpl::isRealTimeProtectionEnabledPublisher() {
  std::call_once(publisherOnce_, [this] { publisher_ = buildPublisher(); });
  return *publisher_;
}

platform::Publisher<bool> BrisvaneStateServiceImpl::buildPublisher() const {
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
  return withOverride.map([](const std::pair<bool, bool>& pair) { return pair.first || pair.second; })
      .removeDuplicates()
      .eraseToAnyPublisher();
}

bool BrisvaneStateServiceImpl::hasPeriodicRefreshTask() const {
  std::lock_guard<std::mutex> lock(periodicRefreshMutex_);
  return periodicRefreshTask_.has_value();
}

// --- Refresh triggers --------------------------------------------------------------------------

void BrisvaneStateServiceImpl::bindRefreshTriggers() {
  std::weak_ptr<BrisvaneStateServiceImpl> weakSelf = weak_from_this();

  // One signal per change announcement of the settings message. The listening task holds the
  // reader, never the service, and ends when the subscription is cancelled.
  auto keychainUpdates = platform::Publisher<Void>::create(
      [weakSelf](platform::Emitter<Void> emitter) -> platform::AnyCancellable {
        auto self = weakSelf.lock();
        if (!self) return platform::AnyCancellable();
        std::shared_ptr<BrisvaneKeychainReaderType> reader = self->keychainReader_;
        self.reset();
        // Listening starts here, before construction returns, so that an announcement made
        // right after construction is not missed; the task only waits on the stream.
        // The task holds the reader, never the service; the stream is declared after it so that
        // it ends (and runs its termination handlers) while the reader is still there.
        struct Listening {
          std::shared_ptr<BrisvaneKeychainReaderType> reader;
          platform::AsyncStream<Void> stream;
        };
        std::shared_ptr<Listening> listening;
        try {
          listening = std::make_shared<Listening>(
              Listening{reader, reader->listenForRTPStateUpdates()});
        } catch (...) {
          rtpLog(host::logError, [error = std::current_exception()] {
            return std::string(kFailedToProvideEvent) + describe(error);
          });
          emitter.sendCompletion();
          return platform::AnyCancellable();
        }
        platform::TaskHandle task = platform::Task::detached([listening, emitter] {
          while (listening->stream.next()) {
            rtpLog(host::logExtended, [] { return std::string(kReceivedEvent); });
            emitter.send(Void{});
          }
          emitter.sendCompletion();
        });
        return platform::AnyCancellable([task] { task.cancel(); });
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

void BrisvaneStateServiceImpl::refreshKeychainRTPValue(
    const std::weak_ptr<BrisvaneStateServiceImpl>& weakSelf) {
  std::shared_ptr<BrisvaneKeychainReaderType> reader;
  std::uint64_t ticket = 0;
  if (auto self = weakSelf.lock()) {
    reader = self->keychainReader_;
    ticket = ++self->refreshesStarted_;
  } else {
    return;
  }
  std::optional<bool> value;
  try {
    value = reader->readRTPState();
  } catch (...) {
    rtpLog(host::logError, [error = std::current_exception()] {
      return std::string(kKeychainReadFailed) + describe(error);
    });
    return;
  }
  auto self = weakSelf.lock();
  if (!self) return;
  try {
    std::lock_guard<std::mutex> lock(self->publishMutex_);
    if (ticket < self->newestPublished_) {
      // A read that started later has already published: this older one confirms that value
      // rather than putting its own, possibly stale, one back.
      value = self->keychainRTPValue_->value();
    } else {
      self->newestPublished_ = ticket;
    }
    self->keychainRTPValue_->send(value);
    self->updateLastSavedRTPState(value);
  } catch (...) {
    // A host subscriber or provider that throws must not end the refresh machinery.
    rtpLog(host::logError, [error = std::current_exception()] {
      return std::string(kKeychainReadFailed) + describe(error);
    });
  }
}

void BrisvaneStateServiceImpl::updateLastSavedRTPState(std::optional<bool> value) {
  const bool real = value == true ? installedAppMonitor_->isInstalled() : false;
  if (!lastSavedBrisvaneRTPStatusProvider_) return;
  const std::optional<bool> saved = lastSavedBrisvaneRTPStatusProvider_->lastSavedRTPState();
  // A first saved state is only ever written as true.
  if (!saved && !real) return;
  lastSavedBrisvaneRTPStatusProvider_->saveRTPState(real);
}

// --- Periodic refresh and sleep ----------------------------------------------------------------

void BrisvaneStateServiceImpl::startPeriodicRefresh() {
  std::weak_ptr<BrisvaneStateServiceImpl> weakSelf = weak_from_this();
  std::lock_guard<std::mutex> lock(periodicRefreshMutex_);
  if (periodicRefreshTask_) periodicRefreshTask_->cancel();
  periodicRefreshTask_ = platform::Task::detached([weakSelf] {
    while (!platform::Task::isCancelled()) {
      try {
        platform::Task::sleep(periodicRefreshInterval);
      } catch (const platform::TaskCancelled&) {
        return;
      }
      if (weakSelf.expired()) return;
      refreshKeychainRTPValue(weakSelf);
    }
  });
}

void BrisvaneStateServiceImpl::stopPeriodicRefresh() {
  std::lock_guard<std::mutex> lock(periodicRefreshMutex_);
  if (periodicRefreshTask_) periodicRefreshTask_->cancel();
  periodicRefreshTask_.reset();
}

void BrisvaneStateServiceImpl::bindSleepEvents() {
  std::weak_ptr<BrisvaneStateServiceImpl> weakSelf = weak_from_this();
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
