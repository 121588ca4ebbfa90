// A process that writes or reads messages through the keychain interoperability client, on the
// user's store and default notification center (from the XDG_DATA_HOME and XDG_RUNTIME_DIR it
// was started with), for the multi-process tests.
//
//   settings_peer save <true|false>
//       saves one settings message and exits.
//   settings_peer write-loop <milliseconds> <first value: true|false>
//       saves settings messages, alternating the value, for that long; then says
//       "done ops=<saves> errors=<failed saves>".
//   settings_peer read-loop <milliseconds>
//       reads the settings message for that long; then says
//       "done ops=<reads> errors=<failed reads> undecodable=<reads that failed to decode>
//        missing=<reads that found nothing>".
//   settings_peer count-up <first>
//       saves the counter <first>, <first>+1, ... under the probe key, saying "saved <n>" after
//       each save has returned, until it is killed.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "integration/process_support.h"
#include "interoperability/DecodingError.h"
#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "messages/BrisvaneSettings.h"

namespace {

using brisvane::BrisvaneSettings;
using brisvane::KeychainInteroperabilityClient;
using Clock = std::chrono::steady_clock;

std::unique_ptr<KeychainInteroperabilityClient> makeClient() {
  return std::make_unique<KeychainInteroperabilityClient>(integration::kService,
                                                          integration::kAccessGroup);
}

int save(bool value) {
  makeClient()->saveData(BrisvaneSettings(value));
  return 0;
}

int writeLoop(std::chrono::milliseconds duration, bool value) {
  auto client = makeClient();
  long ops = 0, errors = 0;
  const auto end = Clock::now() + duration;
  while (Clock::now() < end) {
    try {
      client->saveData(BrisvaneSettings(value));
    } catch (const std::exception& error) {
      if (errors++ == 0) std::fprintf(stderr, "settings_peer: save failed: %s\n", error.what());
    }
    value = !value;
    ++ops;
  }
  integration::say("done ops=" + std::to_string(ops) + " errors=" + std::to_string(errors));
  return 0;
}

int readLoop(std::chrono::milliseconds duration) {
  auto client = makeClient();
  long ops = 0, errors = 0, undecodable = 0, missing = 0;
  const auto end = Clock::now() + duration;
  while (Clock::now() < end) {
    try {
      if (!client->readData<BrisvaneSettings>()) ++missing;
    } catch (const brisvane::DecodingError& error) {
      if (undecodable++ == 0)
        std::fprintf(stderr, "settings_peer: undecodable: %s\n", error.what());
    } catch (const std::exception& error) {
      if (errors++ == 0) std::fprintf(stderr, "settings_peer: read failed: %s\n", error.what());
    }
    ++ops;
  }
  integration::say("done ops=" + std::to_string(ops) + " errors=" + std::to_string(errors) +
                   " undecodable=" + std::to_string(undecodable) +
                   " missing=" + std::to_string(missing));
  return 0;
}

int countUp(std::int64_t next) {
  auto client = makeClient();
  for (;; ++next) {
    client->saveData(next, integration::kProbeKey);
    integration::say("saved " + std::to_string(next));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "save" && argc == 3) return save(std::string(argv[2]) == "true");
    if (mode == "write-loop" && argc == 4) {
      return writeLoop(std::chrono::milliseconds(std::stol(argv[2])),
                       std::string(argv[3]) == "true");
    }
    if (mode == "read-loop" && argc == 3) {
      return readLoop(std::chrono::milliseconds(std::stol(argv[2])));
    }
    if (mode == "count-up" && argc == 3) return countUp(std::stoll(argv[2]));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "settings_peer %s: %s\n", mode.c_str(), error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: settings_peer save|write-loop|read-loop|count-up ...\n");
  return 2;
}
