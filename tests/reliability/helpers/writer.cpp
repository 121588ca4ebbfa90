// The security application's side: saves settings messages through the keychain client, on the
// store and notification folder of the environment it was started with.
//
//   writer count <first>   saves the values of steps <first>, <first>+1, ... (odd: true, even:
//       false), saying "saved <step>" once each save has returned, until it is killed.
//   writer burst <saves> <true|false>   saves as fast as it can, alternating from the value
//       given; then says "done errors=<failed saves> last=<0|1>".

#include <cstdio>
#include <exception>
#include <string>

#include "messages/BrisvaneSettings.h"
#include "reliability/sandbox.h"
#include "support/process.h"

int main(int argc, char** argv) {
  using testsupport::say;
  const std::string mode = argc > 2 ? argv[1] : "";
  brisvane::KeychainInteroperabilityClient client(
      brisvane::BrisvaneStateServiceImpl::keychainServiceName, reliability::kAccessGroup);
  if (mode == "count") {
    for (long long step = std::stoll(argv[2]);; ++step) {
      client.saveData(brisvane::BrisvaneSettings(step % 2 != 0));
      say("saved " + std::to_string(step));
    }
  }
  if (mode != "burst" || argc != 4) return 2;
  bool value = std::string(argv[3]) == "true", last = value;
  long errors = 0;
  for (long i = std::stol(argv[2]); i > 0; --i, value = !value) {
    try {
      client.saveData(brisvane::BrisvaneSettings(value));
      last = value;
    } catch (const std::exception& error) {
      if (errors++ == 0) std::fprintf(stderr, "writer: save failed: %s\n", error.what());
    }
  }
  say("done errors=" + std::to_string(errors) + " last=" + std::to_string(last ? 1 : 0));
  return 0;
}
