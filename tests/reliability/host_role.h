#pragma once

// The host process of the multi-process tests ("reliability.helper.peer host"; the end-to-end
// benchmark derives its own from it): it holds a BrisvaneStateServiceImpl, subscribes to its
// published answer and reports on standard output; and HostSession, the test's side of it.
//
// Lines it writes:
//   ready runtime_threads=<tid,...>   once the service has published its first answer and the
//       installed-app monitor has decided; the threads that existed before (a sanitizer's own).
//   state enabled=.. keychain=<nil|true|false> published=.. failures=.. undecodable=..
//       heap_bytes=..   in answer to "state".
//   reached events=..   for "await <nil|true|false> <n>": once the keychain value is that, at
//       least n change events arrived since the last "reached" (or the start), and each event
//       was refreshed (or failed).
// Commands, one per line on standard input: state, await <v> <n>. The end of the input ends the
// process.

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "BrisvaneStateServiceImplementation/SpotlightInstalledAppMonitor.h"
#include "BrisvaneStateServiceImplementation/detail/StateServiceProbe.h"
#include "host/folder_app_checker.h"
#include "host/logging.h"
#include "messages/BrisvaneSettings.h"
#include "reactive/subjects.h"
#include "reliability/proc_stats.h"
#include "reliability/sandbox.h"
#include "runtime/main_loop.h"
#include "support/process.h"
#include "support/unix_socket.h"

namespace reliability {

using testsupport::Process;
using testsupport::say;

// Threads: run() on the main thread, which it pumps as the main loop and which handles commands.
// The answer, refresh and log callbacks run on the service's threads and touch only atomics, the
// await state (under its lock) and standard output.
class HostRole : public host::LogSink {
 public:
  using Service = std::shared_ptr<brisvane::BrisvaneStateServiceImpl>;

  int run() {
    // ThreadSanitizer starts its background thread with the first new thread; bring it out now.
    std::thread([] {}).join();
    std::string runtime;
    for (const auto& [tid, switches] : threadSwitches(::getpid()))
      if (tid != ::getpid()) runtime += (runtime.empty() ? "" : ",") + std::to_string(tid);
    host::setLogSink(std::shared_ptr<host::LogSink>(this, [](host::LogSink*) {}));
    auto service = makeService({.isOverridden = [] { return false; },
                                .overriddenValue = [] { return false; },
                                .resetOverride = [] {},
                                .overrideStatePublisher = overrideState_.publisher()});
    auto answers = service->isRealTimeProtectionEnabledPublisher().sink([this](const bool& value) {
      published_ = value ? 1 : 0;
      checkReady();
      report(value);
    });
    // The first value is the replay on subscription (on this thread), not a refresh: refreshes_
    // starts at -1.
    auto refreshes =
        brisvane::probe::keychainValues(*service).sink([this](const std::optional<bool>& value) {
          {
            std::lock_guard lock(mutex_);
            keychain_ = value;
          }
          ++refreshes_;
          checkAwait();
        });
    auto& loop = platform::MainLoop::main();
    checkReady();
    loop.run();  // until ready
    service_ = service.get();
    say("ready runtime_threads=" + runtime);
    auto commands = loop.watchReadable(STDIN_FILENO, [this] { readCommands(); });
    loop.run();  // until the end of the input
    commands.cancel();
    host::setLogSink(nullptr);
    return 0;
  }

  // Counts the service's event and failure lines and the monitor's decision. Any thread.
  void write(const host::LogRecord& record) override {
    static constexpr std::string_view kReadFailed =
        "🌗 Keychain read failed; keeping previous value: ";
    const std::string& text = record.message;
    if (text == "🌗 Received event from Brisvane.") {
      ++events_;
    } else if (text.starts_with(kReadFailed)) {
      // A keychain status error starts so; any other failure is a message that did not decode.
      undecodable_ += !text.substr(kReadFailed.size()).starts_with("The operation couldn");
      ++failures_;
    } else if (text.starts_with("🔍 Refresh") || text.starts_with("🔍 Spotlight index")) {
      monitorDecided_ = true;
    }
    checkReady();
    checkAwait();
  }

 protected:
  // The public entry point's service.
  virtual Service makeService(host::BrisvaneStateOverrideConfiguration configuration) {
    return brisvane::BrisvaneStateServiceImpl::make(
        kAccessGroup, kHostBundleIdentifier,
        std::make_shared<host::FolderAppOnDeviceChecker>(
            brisvane::SpotlightInstalledAppMonitor::defaultDirectoriesToCheck()),
        std::move(configuration), nullptr);
  }
  // Each published answer, on the thread that published it.
  virtual void report(bool) {}

 private:
  // Any thread: ends the start-up's run() once there is an answer and the monitor decided.
  void checkReady() {
    if (published_ >= 0 && monitorDecided_ && !isReady_.exchange(true))
      platform::MainLoop::main().stop();
  }

  void readCommands() {
    char chunk[1024];
    const ssize_t size = ::read(STDIN_FILENO, chunk, sizeof(chunk));
    if (size < 0 && errno == EINTR) return;
    if (size <= 0) return platform::MainLoop::main().stop();
    input_.append(chunk, static_cast<std::size_t>(size));
    for (std::size_t newline; (newline = input_.find('\n')) != std::string::npos;) {
      const std::string command = input_.substr(0, newline);
      input_.erase(0, newline + 1);
      if (command == "state") {
        const auto heap = ::mallinfo2();
        say("state enabled=" + std::to_string(service_->isRealTimeProtectionEnabled()) +
            " keychain=" + keychainText(service_->keychainRTPValue()) +
            " published=" + std::to_string(published_) + " failures=" + std::to_string(failures_) +
            " undecodable=" + std::to_string(undecodable_) +
            " heap_bytes=" + std::to_string(heap.uordblks + heap.hblkhd));
      } else if (command.starts_with("await ")) {
        {
          std::lock_guard lock(mutex_);
          const auto space = command.rfind(' ');
          awaited_ = command.substr(6, space - 6);
          awaitedEvents_ = std::stol(command.substr(space + 1));
        }
        checkAwait();
      }
    }
  }

  // Any thread: answers a pending await once its events have arrived and been refreshed.
  void checkAwait() {
    std::lock_guard lock(mutex_);
    const long events = events_ - markEvents_;
    if (!awaited_ || refreshes_ + failures_ - markDone_ < events || events < awaitedEvents_ ||
        keychainText(keychain_) != *awaited_)
      return;
    awaited_.reset();
    markEvents_ = events_;
    markDone_ = refreshes_ + failures_;
    say("reached events=" + std::to_string(events));
  }

  platform::CurrentValueSubject<host::BrisvaneRTPOverrideState> overrideState_{
      host::BrisvaneRTPOverrideState::notOverridden};
  std::atomic<int> published_{-1};
  std::atomic<bool> monitorDecided_{false}, isReady_{false};
  brisvane::BrisvaneStateServiceImpl* service_ = nullptr;  // main thread, while commands run
  std::string input_;                                      // main thread
  std::atomic<long> events_{0}, refreshes_{-1}, failures_{0}, undecodable_{0};
  std::mutex mutex_;  // guards what follows
  long markEvents_ = 0, markDone_ = 0, awaitedEvents_ = 0;
  std::optional<std::string> awaited_;
  std::optional<bool> keychain_;
};

// "reliability.helper.<name>" (tests/reliability/helpers/<name>.cpp) in BRISVANE_TEST_BINARY_DIR,
// which ctest sets, else in the build folder above the running test program (build/tests/).
inline std::filesystem::path helperPath(const std::string& name) {
  const char* binaryDir = std::getenv("BRISVANE_TEST_BINARY_DIR");
  return (binaryDir != nullptr
              ? std::filesystem::path(binaryDir)
              : std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path()) /
         ("reliability.helper." + name);
}

// The test's side of a host process, once it is ready. Threads: one thread at a time.
struct HostSession : Process {
  HostSession() : Process(helperPath("peer"), {"host"}) {
    if (!(ready = readLineStartingWith("ready", std::chrono::seconds(120))))
      throw std::runtime_error("the host did not start");
  }
  // Once the keychain value is `value` and `events` events since the last await were refreshed:
  // the answer to "state" then.
  std::optional<std::string> await(const std::optional<bool>& value, long events = 0) {
    if (!send("await " + keychainText(value) + " " + std::to_string(events)) ||
        !readLineStartingWith("reached", std::chrono::seconds(120)) || !send("state"))
      return std::nullopt;
    return readLineStartingWith("state ", std::chrono::seconds(30));
  }
  std::optional<std::string> ready;
};

// Sends `datagram` `times` times to every socket in `folder` (those whose name starts with
// `prefix`) on a blocking socket, so the receiver gets each one, after everything sent before;
// with `isBlocking` false, until the first that does not fit.
inline bool sendToEverySocket(const std::filesystem::path& folder, const std::string& datagram,
                              int times = 1, const std::string& prefix = "",
                              bool isBlocking = true) {
  const testsupport::BoundSocket sender;
  bool isSent = true;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (!entry.is_socket() || !entry.path().filename().string().starts_with(prefix)) continue;
    for (int i = 0; isSent && i < times; ++i)
      isSent = sender.sendTo(entry.path(), datagram, isBlocking ? 0 : MSG_DONTWAIT);
  }
  return isSent;
}

// A well-formed announcement that `client`'s settings message changed, as the notification
// center sends it.
inline std::string settingsAnnouncement(brisvane::KeychainInteroperabilityClient& client) {
  return std::string("DN\x01\x00", 4) +
         client.notificationName(std::string(brisvane::BrisvaneSettings::messageKey));
}

}  // namespace reliability
