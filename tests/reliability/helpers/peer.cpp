// The other processes of the multi-process tests, on the store and notification folder of the
// environment they were started with:
//
//   peer host   a host application holding the state service; see reliability/host_role.h.
//   peer writer <first> <count>   the security application's side: saves the values of steps
//       <first> ... <first>+<count>-1 (odd: true, even: false) through the keychain client as fast
//       as it can, saying "saved <step>" once each save has returned, then "done errors=<failed
//       saves> last=<0|1, the value of the last save that returned>".

#include <cstdio>
#include <exception>
#include <string>

#include "messages/BrisvaneSettings.h"
#include "reliability/host_role.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "host") return reliability::HostRole().run();
  if (argc != 4 || std::string(argv[1]) != "writer") return 2;
  brisvane::KeychainInteroperabilityClient client(
      brisvane::BrisvaneStateServiceImpl::keychainServiceName, reliability::kAccessGroup);
  const long long first = std::stoll(argv[2]);
  long long errors = 0, last = first;
  for (long long step = first; step < first + std::stoll(argv[3]); ++step) {
    try {
      client.saveData(brisvane::BrisvaneSettings(step % 2 != 0));
      last = step;
      testsupport::say("saved " + std::to_string(step));
    } catch (const std::exception& error) {
      if (errors++ == 0) std::fprintf(stderr, "writer: save failed: %s\n", error.what());
    }
  }
  testsupport::say("done errors=" + std::to_string(errors) + " last=" + std::to_string(last % 2));
  return 0;
}
