// A host whose main thread runs its own poll() loop: the library's main loop is nested in it
// through MainLoop::fd() and MainLoop::dispatch(), next to the host's own descriptor (stdin).
// The host prints the protection state when it changes, "state" on stdin prints the current
// answer, and "quit" or the end of stdin ends the program once the first answer was printed.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "host/folder_app_checker.h"
#include "reactive/subjects.h"
#include "runtime/main_loop.h"

int main() {
  platform::CurrentValueSubject<host::BrisvaneRTPOverrideState> overrideState(
      host::BrisvaneRTPOverrideState::notOverridden);
  host::BrisvaneStateOverrideConfiguration configuration{[] { return false; }, [] { return false; },
                                                         [] {}, overrideState.publisher()};
  const char* home = std::getenv("HOME");
  auto checker =
      std::make_shared<host::FolderAppOnDeviceChecker>(std::vector<std::filesystem::path>{
          std::filesystem::path(home ? home : "/") / "Applications"});
  auto service = brisvane::BrisvaneStateServiceImpl::make(
      "com.tarvik.interoperability.shared", "com.tarvik.nyra", checker, configuration, nullptr);

  auto& loop = platform::MainLoop::main();
  bool hasAnswered = false;
  // receiveOn delivers on the main loop, that is inside dispatch() below, on this thread.
  auto subscription = service->isRealTimeProtectionEnabledPublisher().receiveOn(loop).sink(
      [&hasAnswered](const bool& on) {
        hasAnswered = true;
        std::cout << "real-time protection is " << (on ? "on" : "off") << std::endl;
      });

  bool isInputOpen = true;
  std::string pending;
  while (isInputOpen || !hasAnswered) {
    pollfd fds[2] = {{loop.fd(), POLLIN, 0}, {isInputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::perror("poll");
      return 1;
    }
    if (fds[0].revents & POLLIN) loop.dispatch();
    if (fds[1].revents & (POLLIN | POLLHUP)) {
      char buffer[256];
      const auto n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n <= 0) {
        isInputOpen = false;
        continue;
      }
      pending.append(buffer, static_cast<std::size_t>(n));
      for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (line == "quit") isInputOpen = false;
        if (line == "state") {
          std::cout << "answer now: " << (service->isRealTimeProtectionEnabled() ? "on" : "off")
                    << std::endl;
        }
      }
    }
  }
  return 0;
}
