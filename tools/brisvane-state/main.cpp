// brisvane-state: the host's side. Asks the state service whether the security application's
// real-time protection is on, and why; or watches the answer change.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "BrisvaneStateServiceImplementation/KeychainBrisvaneReader.h"
#include "BrisvaneStateServiceImplementation/SpotlightInstalledAppMonitor.h"
#include "common/cli.h"
#include "common/defaults.h"
#include "host/file_last_saved_state_provider.h"
#include "host/folder_app_checker.h"
#include "host/logging.h"
#include "host/system_sleep_observer.h"
#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "messages/BrisvaneSettings.h"
#include "platform/main_loop.h"
#include "platform/subjects.h"

namespace {

using brisvane::BrisvaneSettings;
using brisvane::BrisvaneStateServiceImpl;
using host::BrisvaneRTPOverrideState;
using nlohmann::json;

constexpr const char* kUsage = R"(usage: brisvane-state [options] <command>

Asks whether the real-time protection of the security application is on, as a host would.

commands:
  status    print the three answers, every input of the decision, and why
  watch     print each change of the published answer until interrupted

options:
  --access-group G     keychain access group (default: com.tarvik.interoperability.shared)
  --bundle-id ID       the host application's own bundle identifier (default: com.tarvik.nyra)
  --override MODE      the host's override: on, off or none (default: none)
  --state-file PATH    where the host keeps its last saved state ("status" only reads it)
  --log-level LEVEL    debug, info, warning or error (default: warning for status, info for watch)
  --commands           with "watch": read commands from standard input, one per line:
                       "override on|off|none", "sleep", "wake"; end of input ends the watch
  --json               print JSON (one object per line for "watch")
  --help               this text

exit codes: 0 protection on, 1 protection off, 2 usage error, 3 failure
)";

struct Options {
  std::string accessGroup;
  std::string bundleIdentifier;
  BrisvaneRTPOverrideState override_ = BrisvaneRTPOverrideState::notOverridden;
  std::optional<std::filesystem::path> stateFile;
  bool asJson = false;
  bool commands = false;
};

BrisvaneRTPOverrideState parseOverride(const std::string& text) {
  if (text == "on") return BrisvaneRTPOverrideState::forcedOn;
  if (text == "off") return BrisvaneRTPOverrideState::forcedOff;
  if (text == "none") return BrisvaneRTPOverrideState::notOverridden;
  throw tools::UsageError("--override takes on, off or none");
}

const char* overrideName(BrisvaneRTPOverrideState state) {
  switch (state) {
    case BrisvaneRTPOverrideState::forcedOn:
      return "on";
    case BrisvaneRTPOverrideState::forcedOff:
      return "off";
    case BrisvaneRTPOverrideState::notOverridden:
      return "none";
  }
  return "none";
}

host::LogLevel parseLevel(const std::string& text) {
  if (text == "debug") return host::LogLevel::debug;
  if (text == "info") return host::LogLevel::info;
  if (text == "warning") return host::LogLevel::warning;
  if (text == "error") return host::LogLevel::error;
  throw tools::UsageError("--log-level takes debug, info, warning or error");
}

// The host's override, changeable while the service runs (watch --commands).
class HostOverride {
 public:
  explicit HostOverride(BrisvaneRTPOverrideState initial) : state_(initial), subject_(initial) {}
  host::BrisvaneStateOverrideConfiguration configuration() {
    host::BrisvaneStateOverrideConfiguration c;
    c.isOverridden = [this] { return state_.load() != BrisvaneRTPOverrideState::notOverridden; };
    c.overriddenValue = [this] { return state_.load() == BrisvaneRTPOverrideState::forcedOn; };
    c.resetOverride = [this] { set(BrisvaneRTPOverrideState::notOverridden); };
    c.overrideStatePublisher = subject_.publisher();
    return c;
  }
  void set(BrisvaneRTPOverrideState state) {
    state_ = state;
    subject_.send(state);
  }
  BrisvaneRTPOverrideState state() const { return state_.load(); }

 private:
  std::atomic<BrisvaneRTPOverrideState> state_;
  platform::CurrentValueSubject<BrisvaneRTPOverrideState> subject_;
};

// "status" reads the host's last saved state but never writes it.
class ReadOnlyProvider final : public host::BrisvaneLastSavedRTPStateProviderType {
 public:
  explicit ReadOnlyProvider(std::filesystem::path path) : file_(std::move(path)) {}
  std::optional<bool> lastSavedRTPState() const override { return file_.lastSavedRTPState(); }
  void saveRTPState(bool) override {}

 private:
  host::FileLastSavedRTPStateProvider file_;
};

// --- status --------------------------------------------------------------------------------------

int status(const Options& options) {
  host::ScopedLogCapture capture;  // the monitor's lines say how "installed" was decided
  auto client = std::make_shared<brisvane::KeychainInteroperabilityClient>(
      BrisvaneStateServiceImpl::keychainServiceName, options.accessGroup);
  auto reader = std::make_shared<brisvane::KeychainBrisvaneReader>(client);
  auto checker = std::make_shared<host::FolderAppOnDeviceChecker>(
      brisvane::SpotlightInstalledAppMonitor::defaultDirectoriesToCheck());
  auto monitor = brisvane::SpotlightInstalledAppMonitor::make(
      {BrisvaneStateServiceImpl::brisvaneBundleIdentifier,
       BrisvaneStateServiceImpl::brisvaneOrbiskBundleIdentifier},
      checker, options.bundleIdentifier, {}, BrisvaneStateServiceImpl::monitorDebounceInterval);
  auto sleepObserver =
      std::make_shared<host::SystemSleepObserver>(host::workspaceNotificationCenter());
  HostOverride hostOverride(options.override_);
  std::shared_ptr<ReadOnlyProvider> provider;
  if (options.stateFile) provider = std::make_shared<ReadOnlyProvider>(*options.stateFile);

  // The message itself, read directly, for its age and for read errors.
  std::optional<brisvane::Message<BrisvaneSettings>> message;
  std::string readError;
  try {
    message = client->readData<BrisvaneSettings>();
  } catch (const std::exception& error) {
    readError = error.what();
  }

  auto service = BrisvaneStateServiceImpl::make(reader, monitor, sleepObserver,
                                                hostOverride.configuration(), provider);
  auto& loop = platform::MainLoop::main();
  auto decided = [&] {
    for (const auto& line : capture.sink().messages("SpotlightInstalledAppMonitor")) {
      if (line.rfind("🔍 Refresh", 0) == 0 || line.rfind("🔍 Spotlight index", 0) == 0) return true;
    }
    return false;
  };
  const bool monitorDecided = loop.runUntil(decided, std::chrono::seconds(5));
  std::optional<bool> readValue;
  try {
    readValue = reader->readRTPState();
  } catch (const std::exception& error) {
    if (readError.empty()) readError = error.what();
  }
  loop.runUntil([&] { return service->keychainRTPValue() == readValue; }, std::chrono::seconds(2));

  std::optional<bool> published;
  auto subscription = service->isRealTimeProtectionEnabledPublisher().sink(
      [&](const bool& value) { published = value; });
  const bool enabled = service->isRealTimeProtectionEnabled();
  const bool inform = service->shouldInformUserAboutRTPStatusUpdate();
  const bool installed = monitor->isInstalled();
  const std::optional<bool> keychain = service->keychainRTPValue();
  const std::optional<bool> lastSaved = provider ? provider->lastSavedRTPState() : std::nullopt;

  std::string installedHow = "not decided by the folder query in time; the app checker answered";
  bool queryTrusted = false;
  if (monitorDecided) {
    for (const auto& line : capture.sink().messages("SpotlightInstalledAppMonitor")) {
      if (line.rfind("🔍 Refresh", 0) == 0) {
        installedHow = "folder query, which sees the host application (" + line.substr(std::string("🔍 Refresh — ").size()) + ")";
        queryTrusted = true;
      } else if (line.rfind("🔍 Spotlight index", 0) == 0) {
        installedHow = "app checker, because the folder query does not see the host application " +
                       options.bundleIdentifier;
        queryTrusted = false;
      }
    }
  }

  const double now = tools::nowSince1970();
  std::string why;
  if (options.override_ == BrisvaneRTPOverrideState::forcedOn) {
    why = "the host's override forces protection on";
  } else if (options.override_ == BrisvaneRTPOverrideState::forcedOff) {
    why = "the host's override forces protection off";
  } else if (!readError.empty()) {
    why = "the keychain item cannot be read, so the previous value stands";
  } else if (!message) {
    why = "there is no settings message in the keychain";
  } else if (now - message->timestamp() > brisvane::KeychainBrisvaneReader::messageTimeToLive) {
    why = "the settings message is older than one day, which counts as off";
  } else if (!message->data().isRTPEnabled()) {
    why = "the security application reports protection off";
  } else if (!installed) {
    why = "the security application reports protection on, but it is not installed";
  } else {
    why = "the security application reports protection on and is installed";
  }

  auto optionalText = [](const std::optional<bool>& v) -> std::string {
    return v ? (*v ? "true" : "false") : "none";
  };
  if (options.asJson) {
    json out;
    out["isRealTimeProtectionEnabled"] = enabled;
    out["shouldInformUserAboutRTPStatusUpdate"] = inform;
    out["published"] = published ? json(*published) : json(nullptr);
    out["keychainValue"] = keychain ? json(*keychain) : json(nullptr);
    json msg = nullptr;
    if (message) {
      msg = {{"isRTPEnabled", message->data().isRTPEnabled()},
             {"version", message->version()},
             {"timestamp", message->timestamp()},
             {"ageSeconds", now - message->timestamp()}};
    }
    out["message"] = msg;
    out["readError"] = readError.empty() ? json(nullptr) : json(readError);
    out["installed"] = installed;
    out["installedDecidedBy"] = queryTrusted ? "query" : "checker";
    out["installedDetail"] = installedHow;
    out["override"] = overrideName(options.override_);
    out["lastSavedState"] = lastSaved ? json(*lastSaved) : json(nullptr);
    out["why"] = why;
    std::cout << out.dump(2) << std::endl;
  } else {
    std::cout << "real-time protection:  " << (enabled ? "on" : "off") << "\n"
              << "published value:       " << optionalText(published) << "\n"
              << "tell the user:         " << (inform ? "yes" : "no") << "\n\n"
              << "keychain value:        " << optionalText(keychain) << "\n";
    if (!readError.empty()) {
      std::cout << "keychain message:      unreadable: " << readError << "\n";
    } else if (message) {
      std::cout << "keychain message:      isRTPEnabled=" << (message->data().isRTPEnabled() ? "true" : "false")
                << ", saved " << tools::isoTime(message->timestamp()) << " ("
                << tools::humanAge(now - message->timestamp()) << " ago)\n";
    } else {
      std::cout << "keychain message:      none\n";
    }
    std::cout << "installed:             " << (installed ? "yes" : "no") << ", decided by the "
              << installedHow << "\n"
              << "override:              " << overrideName(options.override_) << "\n"
              << "last saved state:      " << optionalText(lastSaved)
              << (options.stateFile ? " (" + options.stateFile->string() + ")" : " (no state file)")
              << "\n\n"
              << "why: " << why << "\n";
  }
  return enabled ? tools::kExitOn : tools::kExitOff;
}

// --- watch ---------------------------------------------------------------------------------------

void emit(bool asJson, const json& event, const std::string& text) {
  const double now = tools::nowSince1970();
  if (asJson) {
    json line = event;
    line["time"] = now;
    std::cout << line.dump() << std::endl;
  } else {
    std::cout << tools::isoTime(now) << " " << text << std::endl;
  }
}

int watch(const Options& options, int signalFd) {
  HostOverride hostOverride(options.override_);
  std::shared_ptr<host::BrisvaneLastSavedRTPStateProviderType> provider;
  if (options.stateFile) {
    provider = std::make_shared<host::FileLastSavedRTPStateProvider>(*options.stateFile);
  }
  auto checker = std::make_shared<host::FolderAppOnDeviceChecker>(
      brisvane::SpotlightInstalledAppMonitor::defaultDirectoriesToCheck());
  auto service = BrisvaneStateServiceImpl::make(options.accessGroup, options.bundleIdentifier,
                                                checker, hostOverride.configuration(), provider);
  auto& loop = platform::MainLoop::main();
  const bool asJson = options.asJson;

  auto subscription = service->isRealTimeProtectionEnabledPublisher().sink([asJson](const bool& v) {
    emit(asJson, {{"event", "rtp"}, {"value", v}}, std::string("rtp=") + (v ? "on" : "off"));
  });
  emit(asJson, {{"event", "ready"}}, "watching (interrupt to stop)");

  platform::FdWatch signals = loop.watchReadable(signalFd, [&loop, signalFd] {
    signalfd_siginfo info;
    while (::read(signalFd, &info, sizeof info) == sizeof info) {
    }
    loop.stop();
  });

  std::string pending;
  platform::FdWatch commands;
  if (options.commands) {
    commands = loop.watchReadable(STDIN_FILENO, [&] {
      char buffer[512];
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n <= 0) {
        loop.stop();  // end of the command stream ends the watch
        return;
      }
      pending.append(buffer, static_cast<std::size_t>(n));
      std::size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        const std::string command = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (command.rfind("override ", 0) == 0) {
          try {
            hostOverride.set(parseOverride(command.substr(9)));
            emit(asJson, {{"event", "override"}, {"state", command.substr(9)}},
                 "override " + command.substr(9));
          } catch (const tools::UsageError& error) {
            emit(asJson, {{"event", "error"}, {"message", error.what()}}, error.what());
          }
        } else if (command == "sleep" || command == "wake") {
          host::workspaceNotificationCenter().post(command == "sleep"
                                                       ? host::kWorkspaceWillSleepNotification
                                                       : host::kWorkspaceDidWakeNotification);
          // The service hears the event on the main loop; let it run before reporting.
          loop.post([&, command] {
            const bool periodic = service->hasPeriodicRefreshTask();
            emit(asJson, {{"event", command}, {"periodicRefresh", periodic}},
                 command + std::string(": periodic refresh ") + (periodic ? "running" : "stopped"));
          });
        } else if (!command.empty()) {
          emit(asJson, {{"event", "error"}, {"message", "unknown command: " + command}},
               "unknown command: " + command);
        }
      }
    });
  }
  loop.run();
  subscription.cancel();
  emit(asJson, {{"event", "stopped"}}, "stopped");
  return service->isRealTimeProtectionEnabled() ? tools::kExitOn : tools::kExitOff;
}

int run(int argc, char** argv, int signalFd) {
  tools::Arguments args(argc, argv, {"access-group", "bundle-id", "override", "state-file", "log-level"});
  if (args.flag("help")) {
    std::cout << kUsage;
    return tools::kExitOn;
  }
  args.allowOnly({"access-group", "bundle-id", "override", "state-file", "log-level", "commands",
                  "json", "help"});
  if (args.positional().size() != 1) throw tools::UsageError("give one command: status or watch");
  const std::string command = args.positional()[0];
  if (command != "status" && command != "watch") {
    throw tools::UsageError("unknown command '" + command + "'");
  }
  Options options;
  options.accessGroup = args.option("access-group", tools::kDefaultAccessGroup);
  options.bundleIdentifier = args.option("bundle-id", tools::kDefaultHostBundleIdentifier);
  options.override_ = parseOverride(args.option("override", "none"));
  if (auto file = args.option("state-file")) options.stateFile = *file;
  options.asJson = args.flag("json");
  options.commands = args.flag("commands");
  const auto level = parseLevel(args.option("log-level", command == "watch" ? "info" : "warning"));
  host::setLogSink(std::make_shared<host::StandardErrorLogSink>(level));
  return command == "status" ? status(options) : watch(options, signalFd);
}

}  // namespace

int main(int argc, char** argv) {
  // Interrupts are read from a descriptor on the main loop; block them before any thread starts
  // so that no other thread takes them.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  const int signalFd = ::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
  try {
    return run(argc, argv, signalFd);
  } catch (const tools::UsageError& error) {
    std::cerr << "brisvane-state: " << error.what() << "\n(see brisvane-state --help)\n";
    return tools::kExitUsage;
  } catch (const std::exception& error) {
    std::cerr << "brisvane-state: " << error.what() << "\n";
    return tools::kExitFailure;
  }
}
