// brisvane-settings: the security application's side of the settings message. Writes, shows,
// deletes and listens for the protection state in the shared keychain item, with the storage and
// the client the security application uses.

#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "common/cli.h"
#include "common/defaults.h"
#include "interoperability/JSONCoding.h"
#include "interoperability/Message.h"
#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "interoperability_keychain/KeychainStorage.h"
#include "keychain/os_status_error.h"
#include "messages/BrisvaneSettings.h"
#include "notifications/distributed_notification_center.h"
#include "runtime/task.h"

namespace {

using brisvane::BrisvaneSettings;
using brisvane::BrisvaneStateServiceImpl;
using brisvane::KeychainInteroperabilityClient;
using nlohmann::json;

constexpr const char* kProgram = "brisvane-settings";

struct Options {
  std::string command;
  std::string accessGroup = tools::kDefaultAccessGroup;
  bool asJson = false;
  std::string state;        // set
  std::string aged;         // set
  unsigned long count = 0;  // listen; 0: until interrupted
};

// A failure of the store, reported with the store's path and what its status means.
struct StoreFailure : std::runtime_error {
  StoreFailure(const std::string& what, std::optional<std::int64_t> status)
      : std::runtime_error(what), status(status) {}
  std::optional<std::int64_t> status;
};

std::string messageKey() {
  return std::string(BrisvaneSettings::key());
}

std::string storePath() {
  const auto path = platform::defaultKeychainPath();
  return path ? path->string()
              : std::string("(no keychain folder: neither XDG_DATA_HOME nor HOME)");
}

// Keychain services that pass every call on and keep the first status that is neither success
// nor not-found: the storage does not report a failed update, nor a probe that wrote nothing.
// Used by one thread at a time (the caller's).
class StatusRecorder final : public platform::KeychainServices {
 public:
  platform::OSStatus itemAdd(const platform::KeychainDictionary& attributes) override {
    return note(inner_->itemAdd(attributes));
  }
  platform::OSStatus itemCopyMatching(const platform::KeychainDictionary& query,
                                      std::optional<platform::KeychainValue>* result) override {
    return note(inner_->itemCopyMatching(query, result));
  }
  platform::OSStatus itemUpdate(const platform::KeychainDictionary& query,
                                const platform::KeychainDictionary& changes) override {
    return note(inner_->itemUpdate(query, changes));
  }
  platform::OSStatus itemDelete(const platform::KeychainDictionary& query) override {
    return note(inner_->itemDelete(query));
  }
  std::optional<platform::OSStatus> failure() const { return failure_; }

 private:
  platform::OSStatus note(platform::OSStatus status) {
    if (!failure_ && status != platform::errSecSuccess && status != platform::errSecItemNotFound) {
      failure_ = status;
    }
    return status;
  }
  const std::shared_ptr<platform::KeychainServices> inner_ = platform::KeychainServices::system();
  std::optional<platform::OSStatus> failure_;
};

// Saves the message (as if saved `agedSeconds` ago), reads it back, and announces the change only
// when the store holds exactly what was written. Throws StoreFailure otherwise.
void save(const Options& options, bool enabled, double agedSeconds) {
  json envelope =
      brisvane::Message<BrisvaneSettings>(
          BrisvaneSettings(enabled), std::string(KeychainInteroperabilityClient::messageVersion))
          .encodeJSON();
  envelope["timestamp"] = envelope["timestamp"].get<double>() - agedSeconds;
  const std::string text = brisvane::JSONEncoder::serialize(envelope);
  const platform::Bytes bytes(text.begin(), text.end());

  auto recorder = std::make_shared<StatusRecorder>();
  brisvane::KeychainStorage storage(BrisvaneStateServiceImpl::keychainServiceName,
                                    options.accessGroup, nullptr, recorder);
  std::optional<platform::Bytes> stored;
  try {
    storage.save(bytes, messageKey());
    stored = storage.read(messageKey());
  } catch (const platform::OSStatusError&) {
    // The recorder has the status.
  }
  if (const auto status = recorder->failure()) {
    throw StoreFailure(
        "not saved in " + storePath() + ": " + tools::describeKeychainStatus(*status), *status);
  }
  if (stored != bytes) {
    throw StoreFailure("not saved in " + storePath() + ": reading it back gave " +
                           (stored ? "other bytes" : "no message"),
                       std::nullopt);
  }
  KeychainInteroperabilityClient client(BrisvaneStateServiceImpl::keychainServiceName,
                                        options.accessGroup);
  platform::DistributedNotificationCenter::defaultCenter()->post(
      client.notificationName(messageKey()));
}

void printMessage(const std::optional<brisvane::Message<BrisvaneSettings>>& message, bool asJson) {
  auto& out = tools::answers();
  const double now = tools::nowSince1970();
  if (asJson) {
    json object = {{"key", messageKey()}, {"found", message.has_value()}};
    if (message) {
      object["isRTPEnabled"] = message->data().isRTPEnabled();
      object["version"] = message->version();
      object["timestamp"] = message->timestamp();
      object["ageSeconds"] = now - message->timestamp();
      object["expired"] = now - message->timestamp() > 86400.0;
    }
    out << tools::jsonText(object) << std::endl;
    return;
  }
  if (!message) {
    out << "no message stored under " << messageKey() << std::endl;
    return;
  }
  const double age = now - message->timestamp();
  out << "isRTPEnabled: " << (message->data().isRTPEnabled() ? "true" : "false") << "\n"
      << "version:      " << tools::printable(message->version()) << "\n"
      << "saved:        " << tools::isoTime(message->timestamp()) << " (" << tools::humanAge(age)
      << " ago" << (age > 86400.0 ? ", expired: reads as off" : "") << ")" << std::endl;
}

int listen(KeychainInteroperabilityClient& client, const Options& options) {
  // An interrupt, from here on, cancels the wait; the stream then ends and removes its observer
  // (and, at exit, the notification socket).
  struct Stop {
    std::mutex mutex;
    bool isRequested = false;
    platform::TaskHandle task;
  };
  auto stop = std::make_shared<Stop>();
  tools::interrupts::onInterrupt([stop] {
    std::lock_guard lock(stop->mutex);
    stop->isRequested = true;
    stop->task.cancel();
  });
  auto& out = tools::answers();
  auto stream = client.listenForUpdates(messageKey());
  if (!options.asJson)
    out << "listening for " << client.notificationName(messageKey()) << std::endl;
  unsigned long seen = 0;
  auto task = platform::Task::detached([&] {
    while (auto update = stream.next()) {
      ++seen;
      const double now = tools::nowSince1970();
      if (options.asJson) {
        out << tools::jsonText(
                   {{"time", tools::isoTime(now)}, {"messageKey", update->messageKey()}})
            << std::endl;
      } else {
        out << tools::isoTime(now) << " updated " << tools::printable(update->messageKey())
            << std::endl;
      }
      if (options.count > 0 && seen >= options.count) return;
    }
  });
  {
    std::lock_guard lock(stop->mutex);
    stop->task = task;
    if (stop->isRequested) task.cancel();
  }
  task.wait();
  tools::interrupts::onInterrupt(nullptr);
  return tools::kExitOn;
}

int run(const Options& options) {
  auto& out = tools::answers();
  if (options.command == "set") {
    const bool enabled = options.state == "on";
    save(options, enabled, options.aged.empty() ? 0.0 : tools::parseDuration(options.aged));
    if (options.asJson) {
      out << tools::jsonText({{"saved", true}, {"isRTPEnabled", enabled}, {"key", messageKey()}})
          << std::endl;
    } else {
      out << "saved isRTPEnabled=" << (enabled ? "true" : "false") << std::endl;
    }
    return tools::kExitOn;
  }
  KeychainInteroperabilityClient client(BrisvaneStateServiceImpl::keychainServiceName,
                                        options.accessGroup);
  if (options.command == "show") {
    auto message = client.readData<BrisvaneSettings>();
    printMessage(message, options.asJson);
    return message ? tools::kExitOn : tools::kExitOff;
  }
  if (options.command == "delete") {
    auto message = client.deleteData<BrisvaneSettings>(messageKey());
    if (options.asJson) {
      out << tools::jsonText({{"deleted", message.has_value()}}) << std::endl;
    } else {
      out << (message ? "deleted" : "nothing to delete") << std::endl;
    }
    return tools::kExitOn;
  }
  return listen(client, options);
}

}  // namespace

int main(int argc, char** argv) {
  tools::interrupts::install();
  tools::answers();

  Options options;
  CLI::App app(
      "Writes the security application's settings message into the shared keychain item and "
      "announces the change, as the security application does.",
      kProgram);
  tools::configure(app);
  app.add_option("--access-group", options.accessGroup, "keychain access group")
      ->capture_default_str();
  app.add_flag("--json", options.asJson, "print JSON instead of text");
  app.footer(
      "Exit codes: 0 done, 1 \"show\" found no message, 2 usage error, 3 keychain failure (the "
      "message names the store and what its status means).");

  auto* set = app.add_subcommand("set", "save the protection state and announce the change");
  set->add_option("state", options.state, "on or off")
      ->required()
      ->check(CLI::IsMember({"on", "off"}));
  set->add_option("--aged", options.aged,
                  "write the message as if saved DURATION ago (s, m, h or d, e.g. 90m, 2d), for "
                  "trying out the one-day age limit")
      ->check(tools::durationValidator());
  app.add_subcommand("show", "print the stored message (exit 1 when there is none)");
  app.add_subcommand("delete", "delete the stored message and announce the change");
  auto* listenCommand =
      app.add_subcommand("listen", "print one line per change announcement until interrupted");
  listenCommand->add_option("--count", options.count, "stop after N announcements")
      ->check(CLI::Range(1ul, 1000000000ul));

  if (const auto done = tools::parse(app, argc, argv)) return *done;
  options.command = app.get_subcommands().front()->get_name();
  try {
    return run(options);
  } catch (const tools::UsageError& error) {
    return tools::usageError(kProgram, error.what());
  } catch (const std::exception& error) {
    std::string message = tools::printable(error.what());
    std::optional<std::int64_t> status;
    if (const auto* failure = dynamic_cast<const StoreFailure*>(&error)) {
      message = "the settings message was " + message;
      status = failure->status;
    } else if (const auto* osStatus = dynamic_cast<const platform::OSStatusError*>(&error)) {
      message = "the keychain store " + storePath() +
                " failed: " + tools::describeKeychainStatus(osStatus->code());
      status = osStatus->code();
    }
    if (options.asJson) {
      json object = {{"error", message}, {"store", storePath()}};
      if (options.command == "set") object["saved"] = false;
      if (status) object["status"] = *status;
      tools::answers() << tools::jsonText(object) << std::endl;
    }
    std::cerr << kProgram << ": " << message << std::endl;
    return tools::kExitFailure;
  }
}
