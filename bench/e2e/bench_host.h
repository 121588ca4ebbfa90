#pragma once

// The benchmark's host role ("--role host [--stamps] [--answer-board <file> <slot>]"): the
// tests' host (tests/reliability/host_role.h) with what only the measurements need. With
// --stamps the service is the public entry point's assembly with its keychain calls stamped and
// an extra observer that stamps the notification's arrival, and each "v" line carries
// " <notification> <read start> <read end>" after the event stamp (0 when not stamped). With
// --answer-board the answers go to that slot of the board instead of "v" lines.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "BrisvaneStateServiceImplementation/KeychainBrisvaneReader.h"
#include "answer_board.h"
#include "host/logind_sleep_bridge.h"
#include "host/system_sleep_observer.h"
#include "messages/BrisvaneSettings.h"
#include "path_stamps.h"
#include "reliability/host_role.h"

namespace e2e {

// What and where /proc counts for the end-to-end measurements beyond what the tests read.
inline long long cpuMicros(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = std::stoll(field);
    if (index == 15) stime = std::stoll(field);
  }
  return (utime + stime) * 1'000'000 / ::sysconf(_SC_CLK_TCK);
}

inline long totalVoluntarySwitches(const std::map<pid_t, long>& threads) {
  return reliability::voluntarySwitchesBetween({}, threads);
}

// "tid+n" for each thread that switched, for reports.
inline std::string describeSwitches(const std::map<pid_t, long>& before,
                                    const std::map<pid_t, long>& after) {
  std::string text;
  for (const auto& [tid, switches] : after) {
    const long delta = switches - (before.count(tid) ? before.at(tid) : 0);
    if (delta != 0) text += (text.empty() ? "" : ", ") + std::to_string(tid) + "+" + std::to_string(delta);
  }
  return text.empty() ? "none" : text;
}

inline int runHostRole(int argc, char** argv) {
  bool stamped = false;
  std::optional<AnswerBoard> board;
  int slot = 0;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--stamps") stamped = true;
    if (arg == "--answer-board" && i + 2 < argc) {
      board.emplace(AnswerBoard::open(argv[i + 1]));
      slot = std::stoi(argv[i + 2]);
      i += 2;
    }
  }
  auto stamps = std::make_shared<PathStamps>();
  auto notified = std::make_shared<std::atomic<std::int64_t>>(0);
  reliability::HostHooks hooks;
  hooks.stamps = [stamps, notified] {
    return " " + std::to_string(notified->load()) + " " + std::to_string(stamps->copyStart.load()) +
           " " + std::to_string(stamps->copyEnd.load());
  };
  if (board) {
    hooks.report = [&board, slot](bool value, std::int64_t arrival) {
      board->post(slot, value, arrival);
      return true;
    };
  }
  platform::ObserverToken observer;
  auto center = platform::DistributedNotificationCenter::defaultCenter();
  if (stamped) {
    hooks.makeService = [&](host::BrisvaneStateOverrideConfiguration configuration) {
      using Impl = brisvane::BrisvaneStateServiceImpl;
      const std::string name = "com.tarvik.NyraInteroperability." +
                               std::string(brisvane::BrisvaneSettings::messageKey) + ".Updated";
      observer = center->addObserver(name, [notified](const std::string&) {
        *notified = testsupport::monotonicNanos();
      });
      auto client = std::make_shared<brisvane::KeychainInteroperabilityClient>(
          Impl::keychainServiceName, reliability::kAccessGroup,
          std::make_shared<StampingKeychainServices>(platform::KeychainServices::system(), stamps),
          center);
      auto checker = std::make_shared<host::FolderAppOnDeviceChecker>(
          brisvane::SpotlightInstalledAppMonitor::defaultDirectoriesToCheck());
      platform::MainLoop::main().post([] { host::startSystemSleepEventsOnce(); });
      return Impl::make(std::make_shared<brisvane::KeychainBrisvaneReader>(std::move(client)),
                        brisvane::SpotlightInstalledAppMonitor::make(
                            {Impl::brisvaneBundleIdentifier, Impl::brisvaneOrbiskBundleIdentifier},
                            checker, reliability::kHostBundleIdentifier, {},
                            Impl::monitorDebounceInterval),
                        std::make_shared<host::SystemSleepObserver>(host::workspaceNotificationCenter()),
                        std::move(configuration), nullptr);
    };
  }
  const int status = reliability::HostRole(std::move(hooks)).run();
  center->removeObserver(observer);
  return status;
}

}  // namespace e2e
