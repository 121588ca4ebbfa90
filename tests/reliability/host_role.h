#pragma once

// The host process of the end-to-end experiments: it holds a BrisvaneStateServiceImpl made with
// the public entry point (the host application's view of the system), subscribes to its
// published answer, and reports on standard output. Used by reliability.helper.host and by
// bench.e2e (its "--role host").
//
// Lines it writes:
//   ready enabled=<0|1> keychain=<nil|true|false> runtime_threads=<tid,...>
//       once the service has published its first answer and the installed-app monitor has
//       decided (its refreshes at construction may still be running). runtime_threads lists the
//       threads that existed before the host began (a sanitizer's own), "-" when none.
//   v <0|1> <arrival> <notification> <event> <read start> <read end>
//       each published answer with the monotonic time (ns) at which the subscriber got it; with
//       --stamps also the times at which this process's notification callback ran, at which the
//       service logged the event, and around its keychain read (0 when not stamped).
//   state enabled=.. keychain=.. published=.. events=.. refreshes=.. failures=.. undecodable=..
//       in answer to "state" (counts since the start).
//   marked / reached events=.. refreshes=.. failures=..
//       in answer to "mark" (counts restart from zero), "await <n>": once n change events have
//       arrived since the mark and as many refreshes have finished (or failed), and
//       "await-value <nil|true|false>": once the keychain value is that and every change event
//       that has arrived has been refreshed.
//   sentinel notifications=<n>
//       with --count-notifications, when the notification "reliability.sentinel" arrives: how
//       many change notifications this process received since the mark. A sentinel queued after
//       a writer died (sendQueued) comes after every announcement that writer made: those that
//       met a full queue were marked, and a receiver takes marks up before the next datagram.
// With --answer-board <file> <slot> the answers go to that slot of the board instead of "v" lines.
// Commands, one per line on standard input: state, mark, await <n>, await-value <v>, quiet (stop writing "v"
// lines), loud, quit. The end of input ends the process too.

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "BrisvaneStateServiceImplementation/KeychainBrisvaneReader.h"
#include "BrisvaneStateServiceImplementation/SpotlightInstalledAppMonitor.h"
#include "BrisvaneStateServiceImplementation/detail/StateServiceProbe.h"
#include "host/folder_app_checker.h"
#include "host/logging.h"
#include "host/logind_sleep_bridge.h"
#include "host/system_sleep_observer.h"
#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "messages/BrisvaneSettings.h"
#include "notifications/distributed_notification_center.h"
#include "runtime/main_loop.h"
#include "reactive/subjects.h"
#include "reliability/answer_board.h"
#include "reliability/path_stamps.h"
#include "reliability/proc_stats.h"
#include "reliability/process.h"
#include "reliability/sandbox.h"

namespace reliability {

inline constexpr char kReceivedEventLine[] = "🌗 Received event from Brisvane.";
inline constexpr char kReadFailedLine[] = "🌗 Keychain read failed; keeping previous value: ";

// The text a keychain status error starts with; any other read failure is a message that did
// not decode.
inline constexpr char kStatusErrorText[] = "The operation couldn";

inline std::string renderKeychainValue(const std::optional<bool>& value) {
  if (!value) return "nil";
  return *value ? "true" : "false";
}

// Counts of what happened in the host. Any thread.
struct HostCounters {
  std::atomic<long> events{0};
  std::atomic<long> refreshes{0};
  std::atomic<long> failures{0};
  std::atomic<long> undecodable{0};
  std::atomic<bool> monitorDecided{false};
  std::atomic<std::int64_t> lastEventNanos{0};
  std::atomic<std::int64_t> lastNotificationNanos{0};
  std::atomic<long> notifications{0};
};

inline constexpr char kSentinelNotification[] = "reliability.sentinel";

inline std::string settingsNotificationName() {
  return "com.tarvik.NyraInteroperability." + std::string(brisvane::BrisvaneSettings::messageKey) +
         ".Updated";
}

// Counts the service's event and failure lines and the monitor's decision; passes warnings and
// errors on to standard error. Any thread.
class CountingLogSink final : public host::LogSink {
 public:
  explicit CountingLogSink(std::shared_ptr<HostCounters> counters,
                           std::function<void()> onCountChanged)
      : counters_(std::move(counters)), onCountChanged_(std::move(onCountChanged)) {}

  void write(const host::LogRecord& record) override {
    if (record.message == kReceivedEventLine) {
      counters_->lastEventNanos = monotonicNanos();
      ++counters_->events;
      onCountChanged_();
      return;
    }
    if (record.message.starts_with(kReadFailedLine)) {
      const std::string error = record.message.substr(sizeof(kReadFailedLine) - 1);
      if (!error.starts_with(kStatusErrorText)) ++counters_->undecodable;
      ++counters_->failures;
      onCountChanged_();
    }
    if (record.message.starts_with("🔍 Refresh") ||
        record.message.starts_with("🔍 Spotlight index")) {
      counters_->monitorDecided = true;
      onCountChanged_();
    }
    // Every host of a machine without a system bus says so once; that is not news here.
    if (record.category == "SystemSleepObserver") return;
    if (record.level == host::LogLevel::warning || record.level == host::LogLevel::error) {
      std::fprintf(stderr, "host %d: %s\n", static_cast<int>(::getpid()), record.message.c_str());
    }
  }

 private:
  const std::shared_ptr<HostCounters> counters_;
  const std::function<void()> onCountChanged_;
};

// Threads: run() on the process's main thread, which it pumps as the main loop; commands are
// handled there. The answer, refresh and log callbacks run on the service's threads and only touch
// atomics, the await state (under its lock) and standard output (one write per line).
class HostRole {
 public:
  HostRole(bool stamped, bool countsNotifications)
      : isStamped_(stamped), countsNotifications_(countsNotifications) {}

  void reportTo(AnswerBoard board, int slot) {
    board_.emplace(std::move(board));
    boardSlot_ = slot;
  }

  int run() {
    // ThreadSanitizer starts its background thread with the process's first new thread; one that
    // does nothing brings it out before the list below is taken.
    std::thread([] {}).join();
    std::string runtimeThreads;
    for (const auto& [tid, thread] : threadSwitches(::getpid())) {
      if (tid == ::getpid()) continue;
      if (!runtimeThreads.empty()) runtimeThreads += ',';
      runtimeThreads += std::to_string(tid);
    }
    host::setLogSink(std::make_shared<CountingLogSink>(counters_, [this] {
      checkReady();
      checkAwait();
    }));
    auto service = makeService();
    if (countsNotifications_) observeNotifications();
    // The host's subscriber first, so the counting below never delays it.
    auto answers = service->isRealTimeProtectionEnabledPublisher().sink(
        [this](const bool& value) { onAnswer(value); });
    bool isFirst = true;
    auto refreshes = brisvane::probe::keychainValues(*service).sink(
        [this, &isFirst](const std::optional<bool>& value) {
          {
            std::lock_guard lock(awaitMutex_);
            keychainValue_ = value;
          }
          // The first value is the subject's replay on subscription, not a refresh. The flag is
          // only read here, and this first call runs on the subscribing thread.
          if (isFirst) {
            isFirst = false;
            return;
          }
          ++counters_->refreshes;
          checkAwait();
        });
    // Pumped with run() rather than runUntil(), which would poll: the start-up's own context
    // switches are part of what the experiments report. The two conditions stop the loop from
    // whichever thread completes them.
    auto& loop = platform::MainLoop::main();
    checkReady();
    loop.run();
    service_ = service.get();
    say("ready enabled=" + std::to_string(service->isRealTimeProtectionEnabled() ? 1 : 0) +
        " keychain=" + renderKeychainValue(service->keychainRTPValue()) +
        " runtime_threads=" + (runtimeThreads.empty() ? "-" : runtimeThreads));
    auto commands = loop.watchReadable(STDIN_FILENO, [this] { readCommands(); });
    loop.run();
    commands.cancel();
    service_ = nullptr;
    auto center = platform::DistributedNotificationCenter::defaultCenter();
    for (const auto& token : {notificationObserver_, countingObserver_, sentinelObserver_}) {
      center->removeObserver(token);
    }
    return 0;
  }

 private:
  std::shared_ptr<brisvane::BrisvaneStateServiceImpl> makeService() {
    host::BrisvaneStateOverrideConfiguration configuration;
    configuration.isOverridden = [] { return false; };
    configuration.overriddenValue = [] { return false; };
    configuration.resetOverride = [] {};
    configuration.overrideStatePublisher = overrideState_.publisher();
    auto checker = std::make_shared<host::FolderAppOnDeviceChecker>(
        brisvane::SpotlightInstalledAppMonitor::defaultDirectoriesToCheck());
    if (!isStamped_) {
      return brisvane::BrisvaneStateServiceImpl::make(kAccessGroup, kHostBundleIdentifier, checker,
                                                      std::move(configuration), nullptr);
    }
    // The same assembly as the public entry point, with the keychain calls stamped and an
    // extra observer that stamps the notification's arrival in this process.
    using Impl = brisvane::BrisvaneStateServiceImpl;
    auto center = platform::DistributedNotificationCenter::defaultCenter();
    notificationObserver_ =
        center->addObserver(settingsNotificationName(), [counters = counters_](const std::string&) {
          counters->lastNotificationNanos = monotonicNanos();
        });
    auto client = std::make_shared<brisvane::KeychainInteroperabilityClient>(
        Impl::keychainServiceName, kAccessGroup,
        std::make_shared<StampingKeychainServices>(platform::KeychainServices::system(), stamps_),
        center);
    auto reader = std::make_shared<brisvane::KeychainBrisvaneReader>(std::move(client));
    platform::MainLoop::main().post([] { host::startSystemSleepEventsOnce(); });
    auto sleepObserver =
        std::make_shared<host::SystemSleepObserver>(host::workspaceNotificationCenter());
    auto monitor = brisvane::SpotlightInstalledAppMonitor::make(
        {Impl::brisvaneBundleIdentifier, Impl::brisvaneOrbiskBundleIdentifier}, checker,
        kHostBundleIdentifier, {}, Impl::monitorDebounceInterval);
    return Impl::make(std::move(reader), std::move(monitor), std::move(sleepObserver),
                      std::move(configuration), nullptr);
  }

  // Observers on the process's default center, next to the service's own: both run on the
  // center's one thread, in arrival order.
  void observeNotifications() {
    auto center = platform::DistributedNotificationCenter::defaultCenter();
    countingObserver_ = center->addObserver(
        settingsNotificationName(),
        [counters = counters_](const std::string&) { ++counters->notifications; });
    sentinelObserver_ = center->addObserver(kSentinelNotification, [this](const std::string&) {
      std::lock_guard lock(awaitMutex_);
      say("sentinel notifications=" +
          std::to_string(counters_->notifications.load() - markNotifications_));
    });
  }

  // Any thread: stops the start-up's run() once there is an answer and the monitor decided.
  void checkReady() {
    if (published_.load() < 0 || !counters_->monitorDecided.load()) return;
    if (!isReady_.exchange(true)) platform::MainLoop::main().stop();
  }

  void onAnswer(bool value) {
    const std::int64_t arrival = monotonicNanos();
    published_ = value ? 1 : 0;
    checkReady();
    if (board_) {
      board_->post(boardSlot_, value, arrival);
      return;
    }
    if (!isLoud_) return;
    say("v " + std::to_string(value ? 1 : 0) + " " + std::to_string(arrival) + " " +
        std::to_string(counters_->lastNotificationNanos.load()) + " " +
        std::to_string(counters_->lastEventNanos.load()) + " " +
        std::to_string(stamps_->copyStart.load()) + " " + std::to_string(stamps_->copyEnd.load()));
  }

  // Main thread (the stdin watch).
  void readCommands() {
    char chunk[1024];
    const ssize_t size = ::read(STDIN_FILENO, chunk, sizeof(chunk));
    if (size <= 0) {
      if (size < 0 && errno == EINTR) return;
      platform::MainLoop::main().stop();
      return;
    }
    input_.append(chunk, static_cast<std::size_t>(size));
    std::size_t newline;
    while ((newline = input_.find('\n')) != std::string::npos) {
      const std::string command = input_.substr(0, newline);
      input_.erase(0, newline + 1);
      handle(command);
    }
  }

  void handle(const std::string& command) {
    if (command == "state") {
      const auto memory = memoryStats(::getpid()).value_or(MemoryStats{});
      say("state enabled=" + std::to_string(service_->isRealTimeProtectionEnabled() ? 1 : 0) +
          " keychain=" + renderKeychainValue(service_->keychainRTPValue()) +
          " published=" + std::to_string(published_.load()) +
          " events=" + std::to_string(counters_->events.load()) +
          " refreshes=" + std::to_string(counters_->refreshes.load()) +
          " failures=" + std::to_string(counters_->failures.load()) +
          " undecodable=" + std::to_string(counters_->undecodable.load()) +
          " threads=" + std::to_string(memory.threads) + " rss_kb=" + std::to_string(memory.rssKb) +
          " hwm_kb=" + std::to_string(memory.hwmKb));
    } else if (command == "mark") {
      std::lock_guard lock(awaitMutex_);
      markEvents_ = counters_->events.load();
      markDone_ = counters_->refreshes.load() + counters_->failures.load();
      markNotifications_ = counters_->notifications.load();
      say("marked");
    } else if (command.starts_with("await ")) {
      {
        std::lock_guard lock(awaitMutex_);
        awaited_ = std::stol(command.substr(6));
      }
      checkAwait();
    } else if (command.starts_with("await-value ")) {
      {
        std::lock_guard lock(awaitMutex_);
        awaitedValue_ = command.substr(12);
      }
      checkAwait();
    } else if (command == "quiet") {
      isLoud_ = false;
      say("quiet");
    } else if (command == "loud") {
      isLoud_ = true;
      say("loud");
    } else if (command == "quit") {
      platform::MainLoop::main().stop();
    } else {
      std::fprintf(stderr, "host: unknown command \"%s\"\n", command.c_str());
    }
  }

  // Any thread: answers a pending "await" once its events have arrived and been refreshed.
  void checkAwait() {
    std::lock_guard lock(awaitMutex_);
    if (!awaited_ && !awaitedValue_) return;
    const long events = counters_->events.load() - markEvents_;
    const long done = counters_->refreshes.load() + counters_->failures.load() - markDone_;
    if (done < events) return;
    if (awaited_ && events < *awaited_) return;
    if (awaitedValue_ && renderKeychainValue(keychainValue_) != *awaitedValue_) return;
    awaited_.reset();
    awaitedValue_.reset();
    say("reached events=" + std::to_string(events) +
        " refreshes=" + std::to_string(counters_->refreshes.load()) +
        " failures=" + std::to_string(counters_->failures.load()));
  }

  const bool isStamped_;
  const bool countsNotifications_;
  const std::shared_ptr<HostCounters> counters_ = std::make_shared<HostCounters>();
  const std::shared_ptr<PathStamps> stamps_ = std::make_shared<PathStamps>();
  platform::CurrentValueSubject<host::BrisvaneRTPOverrideState> overrideState_{
      host::BrisvaneRTPOverrideState::notOverridden};
  platform::ObserverToken notificationObserver_;
  platform::ObserverToken countingObserver_;
  platform::ObserverToken sentinelObserver_;
  std::optional<AnswerBoard> board_;  // set before run()
  int boardSlot_ = 0;
  std::atomic<int> published_{-1};
  std::atomic<bool> isLoud_{true};
  std::atomic<bool> isReady_{false};
  brisvane::BrisvaneStateServiceImpl* service_ = nullptr;  // main thread only, while running
  std::string input_;                                      // main thread only

  std::mutex awaitMutex_;
  std::optional<long> awaited_;  // guarded by awaitMutex_
  std::optional<std::string> awaitedValue_;  // guarded by awaitMutex_
  std::optional<bool> keychainValue_;        // guarded by awaitMutex_; the last one sent
  long markEvents_ = 0;          // guarded by awaitMutex_
  long markDone_ = 0;            // guarded by awaitMutex_
  long markNotifications_ = 0;   // guarded by awaitMutex_
};

// Entry point of the host role:
// "[--stamps] [--count-notifications] [--answer-board <file> <slot>]".
inline int runHostRole(int argc, char** argv) {
  bool stamped = false;
  bool countsNotifications = false;
  std::optional<std::pair<std::string, int>> board;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--stamps") stamped = true;
    if (arg == "--count-notifications") countsNotifications = true;
    if (arg == "--answer-board" && i + 2 < argc) {
      board.emplace(argv[i + 1], std::stoi(argv[i + 2]));
      i += 2;
    }
  }
  HostRole role(stamped, countsNotifications);
  if (board) role.reportTo(AnswerBoard::open(board->first), board->second);
  return role.run();
}

}  // namespace reliability
