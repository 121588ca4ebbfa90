// The security application's side: saves settings messages through the keychain client, on the
// store and notification folder of the environment it was started with.
//
//   writer count <first>
//       saves the values of steps <first>, <first>+1, ... (an odd step saves true, an even one
//       false), saying "saved <step>" once each save has returned, until it is killed.
//   writer burst <saves> <true|false>
//       saves <saves> messages as fast as it can, alternating the value from the one given; then
//       says "done saves=<n> errors=<failed saves> last=<0|1>".

#include <cstdio>
#include <exception>
#include <string>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "messages/BrisvaneSettings.h"
#include "reliability/process.h"
#include "reliability/sandbox.h"

namespace {

using brisvane::BrisvaneSettings;
using brisvane::BrisvaneStateServiceImpl;
using brisvane::KeychainInteroperabilityClient;

int count(long long step) {
  KeychainInteroperabilityClient client(BrisvaneStateServiceImpl::keychainServiceName,
                                        reliability::kAccessGroup);
  for (;; ++step) {
    client.saveData(BrisvaneSettings(step % 2 != 0));
    reliability::say("saved " + std::to_string(step));
  }
}

int burst(long saves, bool value) {
  KeychainInteroperabilityClient client(BrisvaneStateServiceImpl::keychainServiceName,
                                        reliability::kAccessGroup);
  long errors = 0;
  bool last = value;
  for (long i = 0; i < saves; ++i) {
    try {
      client.saveData(BrisvaneSettings(value));
      last = value;
    } catch (const std::exception& error) {
      if (errors++ == 0) std::fprintf(stderr, "writer: save failed: %s\n", error.what());
    }
    value = !value;
  }
  reliability::say("done saves=" + std::to_string(saves) + " errors=" + std::to_string(errors) +
                   " last=" + std::to_string(last ? 1 : 0));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "count" && argc == 3) return count(std::stoll(argv[2]));
    if (mode == "burst" && argc == 4)
      return burst(std::stol(argv[2]), std::string(argv[3]) == "true");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "writer %s: %s\n", mode.c_str(), error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: writer count <first> | burst <saves> <true|false>\n");
  return 2;
}
