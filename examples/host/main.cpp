// A host application in a few lines: build the service, ask it, and follow its answer for a
// moment while pumping the main loop.
#include <chrono>
#include <iostream>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "BrisvaneStateServiceImplementation/Version.h"
#include "host/folder_app_checker.h"
#include "reactive/subjects.h"
#include "runtime/main_loop.h"

int main() {
  // The host decides about overrides; this one never overrides.
  platform::CurrentValueSubject<host::BrisvaneRTPOverrideState> overrideState(
      host::BrisvaneRTPOverrideState::notOverridden);
  host::BrisvaneStateOverrideConfiguration configuration{[] { return false; }, [] { return false; },
                                                         [] {}, overrideState.publisher()};

  auto checker =
      std::make_shared<host::FolderAppOnDeviceChecker>(std::vector<std::filesystem::path>{
          std::filesystem::path(getenv("HOME") ? getenv("HOME") : "/") / "Applications"});
  auto service = brisvane::BrisvaneStateServiceImpl::make(
      "com.tarvik.interoperability.shared", "com.tarvik.nyra", checker, configuration, nullptr);

  auto subscription = service->isRealTimeProtectionEnabledPublisher().sink([](const bool& on) {
    std::cout << "real-time protection is " << (on ? "on" : "off") << std::endl;
  });
  platform::MainLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(800));
  std::cout << "library version " << BrisvaneStateServiceImplementationVersionNumber
            << ", answer now: " << (service->isRealTimeProtectionEnabled() ? "on" : "off")
            << std::endl;
  return 0;
}
