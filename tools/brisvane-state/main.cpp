// brisvane-state: the host's side. Asks the state service whether the security application's
// real-time protection is on, and why; or watches the answer change.

#include <unistd.h>

#include <atomic>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

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
#include "keychain/os_status_error.h"
#include "messages/BrisvaneSettings.h"
#include "reactive/subjects.h"
#include "runtime/main_loop.h"

namespace {

using brisvane::BrisvaneSettings;
using brisvane::BrisvaneStateServiceImpl;
using host::BrisvaneRTPOverrideState;
using nlohmann::json;

constexpr const char* kProgram = "brisvane-state";

struct Options {
  std::string accessGroup = tools::kDefaultAccessGroup;
  std::string bundleIdentifier = tools::kDefaultHostBundleIdentifier;
  std::string overrideText = "none";
  BrisvaneRTPOverrideState override_ = BrisvaneRTPOverrideState::notOverridden;
  std::string stateFileText;
  std::optional<std::filesystem::path> stateFile;
  std::string logLevel = "warning";
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

// Every level the library writes, by the name its log lines carry.
const std::vector<std::pair<std::string, host::LogLevel>> kLogLevels = {
    {"debug", host::LogLevel::debug},
    {"info", host::LogLevel::info},
    {"extended", host::LogLevel::extended},
    {"warning", host::LogLevel::warning},
    {"error", host::LogLevel::error}};

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

// "status" only reads: it neither observes nor posts announcements, so it binds no notification
// socket and creates no notification folder.
class NoNotifications final : public brisvane::DistributedNotifications {
 public:
  void post(const std::string&) override {}
  platform::ObserverToken addObserver(const std::string&,
                                      platform::DistributedNotificationCenter::Callback) override {
    return {};
  }
  void removeObserver(const platform::ObserverToken&) override {}
};

// --- status --------------------------------------------------------------------------------------

int status(const Options& options) {
  host::ScopedLogCapture capture;  // the monitor's lines say how "installed" was decided
  auto client = std::make_shared<brisvane::KeychainInteroperabilityClient>(
      BrisvaneStateServiceImpl::keychainServiceName, options.accessGroup,
      platform::KeychainServices::system(), std::make_shared<NoNotifications>());
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
  } catch (const platform::OSStatusError& error) {
    readError = tools::describeKeychainStatus(error.code());
  } catch (const std::exception& error) {
    readError = tools::printable(error.what());
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
        installedHow = "folder query, which sees the host application (" +
                       line.substr(std::string("🔍 Refresh — ").size()) + ")";
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
    tools::answers() << tools::jsonText(out, 2) << std::endl;
  } else {
    auto& text = tools::answers();
    text << "real-time protection:  " << (enabled ? "on" : "off") << "\n"
         << "published value:       " << optionalText(published) << "\n"
         << "tell the user:         " << (inform ? "yes" : "no") << "\n\n"
         << "keychain value:        " << optionalText(keychain) << "\n";
    if (!readError.empty()) {
      text << "keychain message:      unreadable: " << readError << "\n";
    } else if (message) {
      text << "keychain message:      isRTPEnabled="
           << (message->data().isRTPEnabled() ? "true" : "false") << ", saved "
           << tools::isoTime(message->timestamp()) << " ("
           << tools::humanAge(now - message->timestamp()) << " ago)\n";
    } else {
      text << "keychain message:      none\n";
    }
    text << "installed:             " << (installed ? "yes" : "no") << ", decided by the "
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
    line["time"] = tools::isoTime(now);
    tools::answers() << tools::jsonText(line) << std::endl;
  } else {
    tools::answers() << tools::isoTime(now) << " " << tools::printable(text) << std::endl;
  }
}

int watch(const Options& options) {
  // From here on an interrupt stops the loop (a stop before run() makes run() return at once);
  // the service and its observers are then destroyed and the notification socket removed.
  auto& loop = platform::MainLoop::main();
  tools::interrupts::onInterrupt([&loop] { loop.stop(); });
  HostOverride hostOverride(options.override_);
  std::shared_ptr<host::BrisvaneLastSavedRTPStateProviderType> provider;
  if (options.stateFile) {
    provider = std::make_shared<host::FileLastSavedRTPStateProvider>(*options.stateFile);
  }
  auto checker = std::make_shared<host::FolderAppOnDeviceChecker>(
      brisvane::SpotlightInstalledAppMonitor::defaultDirectoriesToCheck());
  auto service = BrisvaneStateServiceImpl::make(options.accessGroup, options.bundleIdentifier,
                                                checker, hostOverride.configuration(), provider);
  const bool asJson = options.asJson;

  auto subscription = service->isRealTimeProtectionEnabledPublisher().sink([asJson](const bool& v) {
    emit(asJson, {{"event", "rtp"}, {"value", v}}, std::string("rtp=") + (v ? "on" : "off"));
  });
  emit(asJson, {{"event", "ready"}}, "watching (interrupt to stop)");

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
  tools::interrupts::onInterrupt(nullptr);
  subscription.cancel();
  emit(asJson, {{"event", "stopped"}}, "stopped");
  return service->isRealTimeProtectionEnabled() ? tools::kExitOn : tools::kExitOff;
}

}  // namespace

int main(int argc, char** argv) {
  tools::interrupts::install();
  tools::answers();

  Options options;
  CLI::App app(
      "Asks whether the real-time protection of the security application is on, as a host would.",
      kProgram);
  tools::configure(app);
  app.add_option("--access-group", options.accessGroup, "keychain access group")
      ->capture_default_str();
  app.add_option("--bundle-id", options.bundleIdentifier,
                 "the host application's own bundle identifier")
      ->capture_default_str();
  app.add_option("--override", options.overrideText, "the host's override: on, off or none")
      ->check(CLI::IsMember({"on", "off", "none"}))
      ->capture_default_str();
  app.add_option("--state-file", options.stateFileText,
                 "where the host keeps its last saved state (\"status\" only reads it)");
  std::vector<std::string> levelNames;
  for (const auto& [name, level] : kLogLevels) levelNames.push_back(name);
  app.add_option("--log-level", options.logLevel,
                 "lowest level of the library's lines on standard error: debug, info, extended, "
                 "warning or error")
      ->check(CLI::IsMember(levelNames))
      ->capture_default_str();
  app.add_flag("--json", options.asJson, "print JSON (one object per line for \"watch\")");
  app.footer("Exit codes: 0 protection on, 1 protection off, 2 usage error, 3 failure.");
  app.add_subcommand("status", "print the three answers, every input of the decision, and why");
  auto* watchCommand =
      app.add_subcommand("watch", "print each change of the published answer until interrupted");
  watchCommand->add_flag(
      "--commands", options.commands,
      "read commands from standard input, one per line: \"override on|off|none\", "
      "\"sleep\", \"wake\"; end of input ends the watch");

  if (const auto done = tools::parse(app, argc, argv)) return *done;
  options.override_ = parseOverride(options.overrideText);
  if (!options.stateFileText.empty()) options.stateFile = options.stateFileText;
  for (const auto& [name, level] : kLogLevels) {
    if (name == options.logLevel)
      host::setLogSink(std::make_shared<host::StandardErrorLogSink>(level));
  }
  const std::string command = app.get_subcommands().front()->get_name();
  try {
    return command == "status" ? status(options) : watch(options);
  } catch (const std::exception& error) {
    if (options.asJson) tools::answers() << tools::jsonText({{"error", error.what()}}) << std::endl;
    std::cerr << kProgram << ": " << tools::printable(error.what()) << std::endl;
    return tools::kExitFailure;
  }
}
