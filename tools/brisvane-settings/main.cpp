// brisvane-settings: the security application's side of the settings message. Writes, shows,
// deletes and listens for the protection state in the shared keychain item, through the same
// keychain client the security application uses.

#include <csignal>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "common/cli.h"
#include "common/defaults.h"
#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "interoperability_keychain/KeychainStorage.h"
#include "messages/BrisvaneSettings.h"
#include "platform/distributed_notification_center.h"
#include "platform/task.h"

namespace {

using brisvane::BrisvaneSettings;
using brisvane::BrisvaneStateServiceImpl;
using brisvane::KeychainInteroperabilityClient;
using nlohmann::json;

constexpr const char* kUsage = R"(usage: brisvane-settings [options] <command>

Writes the security application's settings message into the shared keychain item and announces
the change, as the security application does.

commands:
  set on|off       save the protection state (announces the change)
  show             print the stored message
  delete           delete the stored message (announces the change)
  listen           print one line per change announcement until interrupted

options:
  --access-group G   keychain access group (default: com.tarvik.interoperability.shared)
  --aged DURATION    with "set": write the message as if saved DURATION ago (e.g. 2d, 90m);
                     for trying out the one-day age limit
  --count N          with "listen": stop after N announcements
  --json             print JSON instead of text
  --help             this text

exit codes: 0 done, 1 "show" found no message, 2 usage error, 3 keychain failure
)";

volatile std::sig_atomic_t interrupted = 0;

std::string messageKey() { return std::string(BrisvaneSettings::key()); }

void printMessage(const std::optional<brisvane::Message<BrisvaneSettings>>& message, bool asJson) {
  const double now = tools::nowSince1970();
  if (asJson) {
    json out = {{"key", messageKey()}, {"found", message.has_value()}};
    if (message) {
      out["isRTPEnabled"] = message->data().isRTPEnabled();
      out["version"] = message->version();
      out["timestamp"] = message->timestamp();
      out["ageSeconds"] = now - message->timestamp();
      out["expired"] = now - message->timestamp() > 86400.0;
    }
    std::cout << out.dump() << std::endl;
    return;
  }
  if (!message) {
    std::cout << "no message stored under " << messageKey() << std::endl;
    return;
  }
  const double age = now - message->timestamp();
  std::cout << "isRTPEnabled: " << (message->data().isRTPEnabled() ? "true" : "false") << "\n"
            << "version:      " << message->version() << "\n"
            << "saved:        " << tools::isoTime(message->timestamp()) << " ("
            << tools::humanAge(age) << " ago" << (age > 86400.0 ? ", expired: reads as off" : "")
            << ")" << std::endl;
}

// Writes an envelope with a timestamp in the past straight into the item, then announces it:
// exactly what the client does, but with a chosen timestamp.
void saveAged(const std::string& accessGroup, bool enabled, double agedSeconds) {
  const json envelope = {{"version", std::string(KeychainInteroperabilityClient::messageVersion)},
                         {"timestamp", tools::nowSince1970() - agedSeconds},
                         {"data", {{"isRTPEnabled", enabled}}}};
  const std::string text = envelope.dump();
  brisvane::KeychainStorage storage(BrisvaneStateServiceImpl::keychainServiceName, accessGroup,
                                    nullptr);
  storage.save(platform::Bytes(text.begin(), text.end()), messageKey());
  KeychainInteroperabilityClient client(BrisvaneStateServiceImpl::keychainServiceName, accessGroup);
  platform::DistributedNotificationCenter::defaultCenter()->post(client.notificationName(messageKey()));
}

int run(int argc, char** argv) {
  tools::Arguments args(argc, argv, {"access-group", "aged", "count"});
  if (args.flag("help")) {
    std::cout << kUsage;
    return tools::kExitOn;
  }
  args.allowOnly({"access-group", "aged", "count", "json", "help"});
  const auto& words = args.positional();
  if (words.empty()) throw tools::UsageError("no command given");
  const std::string accessGroup = args.option("access-group", tools::kDefaultAccessGroup);
  const bool asJson = args.flag("json");
  auto client = std::make_shared<KeychainInteroperabilityClient>(
      BrisvaneStateServiceImpl::keychainServiceName, accessGroup);

  const std::string& command = words[0];
  if (command == "set") {
    if (words.size() != 2 || (words[1] != "on" && words[1] != "off")) {
      throw tools::UsageError("set takes on or off");
    }
    const bool enabled = words[1] == "on";
    if (auto aged = args.option("aged")) {
      saveAged(accessGroup, enabled, tools::parseDuration(*aged));
    } else {
      client->saveData(BrisvaneSettings(enabled));
    }
    if (asJson) {
      std::cout << json{{"saved", enabled}, {"key", messageKey()}}.dump() << std::endl;
    } else {
      std::cout << "saved isRTPEnabled=" << (enabled ? "true" : "false") << std::endl;
    }
    return tools::kExitOn;
  }
  if (words.size() != 1) throw tools::UsageError(command + " takes no arguments");
  if (command == "show") {
    auto message = client->readData<BrisvaneSettings>();
    printMessage(message, asJson);
    return message ? tools::kExitOn : tools::kExitOff;
  }
  if (command == "delete") {
    auto message = client->deleteData<BrisvaneSettings>(messageKey());
    if (asJson) {
      std::cout << json{{"deleted", message.has_value()}}.dump() << std::endl;
    } else {
      std::cout << (message ? "deleted" : "nothing to delete") << std::endl;
    }
    return tools::kExitOn;
  }
  if (command == "listen") {
    const long limit = std::stol(args.option("count", "0"));
    std::signal(SIGINT, [](int) { interrupted = 1; });
    std::signal(SIGTERM, [](int) { interrupted = 1; });
    auto stream = client->listenForUpdates(messageKey());
    if (!asJson) std::cout << "listening for " << client->notificationName(messageKey()) << std::endl;
    long seen = 0;
    // The stream is read on a task so that an interrupt can cancel the wait.
    auto task = platform::Task::detached([&] {
      while (auto update = stream.next()) {
        ++seen;
        if (asJson) {
          std::cout << json{{"time", tools::nowSince1970()}, {"messageKey", update->messageKey()}}.dump()
                    << std::endl;
        } else {
          std::cout << tools::isoTime(tools::nowSince1970()) << " updated " << update->messageKey()
                    << std::endl;
        }
        if (limit > 0 && seen >= limit) return;
      }
    });
    while (!interrupted && !task.isFinished()) ::usleep(20000);
    task.cancel();
    task.wait();
    return tools::kExitOn;
  }
  throw tools::UsageError("unknown command '" + command + "'");
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const tools::UsageError& error) {
    std::cerr << "brisvane-settings: " << error.what() << "\n(see brisvane-settings --help)\n";
    return tools::kExitUsage;
  } catch (const std::exception& error) {
    std::cerr << "brisvane-settings: " << error.what() << "\n";
    return tools::kExitFailure;
  }
}
