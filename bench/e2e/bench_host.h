#pragma once

// The benchmark's host role ("--role host [--stamps] [--quiet] [--answer-board <file> <slot>]"):
// the tests' host (tests/reliability/host_role.h) with what only the measurements need. Each
// published answer is a line "v <0|1> <arrival> <event> <notification> <read start> <read end>"
// (CLOCK_MONOTONIC nanoseconds; the last three 0 unless stamped), none with --quiet. With
// --stamps the service is the public entry point's assembly with its keychain calls stamped and
// an extra observer that stamps the notification's arrival. With --answer-board the answers go
// to that slot of the board instead of "v" lines.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "BrisvaneStateServiceImplementation/KeychainBrisvaneReader.h"
#include "answer_board.h"
#include "host/logind_sleep_bridge.h"
#include "host/system_sleep_observer.h"
#include "measure.h"
#include "messages/BrisvaneSettings.h"
#include "path_stamps.h"
#include "reliability/host_role.h"

namespace e2e {

inline long totalVoluntarySwitches(const std::map<pid_t, long>& threads) {
  return reliability::voluntarySwitchesBetween({}, threads);
}

// "tid+n" for each thread that switched, for reports.
inline std::string describeSwitches(const std::map<pid_t, long>& before,
                                    const std::map<pid_t, long>& after) {
  std::string text;
  for (const auto& [tid, switches] : after) {
    const long delta = switches - (before.count(tid) ? before.at(tid) : 0);
    if (delta != 0)
      text += (text.empty() ? "" : ", ") + std::to_string(tid) + "+" + std::to_string(delta);
  }
  return text.empty() ? "none" : text;
}

// The tests' host with the benchmark's answers: "v" lines with stamps (unless quiet), or posts
// to a slot of the answer board; and, with stamps, the stamped assembly of the service.
class BenchHost final : public reliability::HostRole {
 public:
  bool isStamped = false, isQuiet = false;
  std::optional<AnswerBoard> board;
  int slot = 0;

  ~BenchHost() override { center_->removeObserver(observer_); }

  void write(const host::LogRecord& record) override {
    if (record.message == "🌗 Received event from Brisvane.") lastEventNanos_ = monotonicNanos();
    HostRole::write(record);
  }

 protected:
  Service makeService(host::BrisvaneStateOverrideConfiguration configuration) override {
    if (!isStamped) return HostRole::makeService(std::move(configuration));
    using Impl = brisvane::BrisvaneStateServiceImpl;
    const std::string name = "com.tarvik.NyraInteroperability." +
                             std::string(brisvane::BrisvaneSettings::messageKey) + ".Updated";
    observer_ =
        center_->addObserver(name, [this](const std::string&) { notified_ = monotonicNanos(); });
    auto client = std::make_shared<brisvane::KeychainInteroperabilityClient>(
        Impl::keychainServiceName, reliability::kAccessGroup,
        std::make_shared<StampingKeychainServices>(platform::KeychainServices::system(), stamps_),
        center_);
    auto checker = std::make_shared<host::FolderAppOnDeviceChecker>(
        brisvane::SpotlightInstalledAppMonitor::defaultDirectoriesToCheck());
    platform::MainLoop::main().post([] { host::startSystemSleepEventsOnce(); });
    return Impl::make(
        std::make_shared<brisvane::KeychainBrisvaneReader>(std::move(client)),
        brisvane::SpotlightInstalledAppMonitor::make(
            {Impl::brisvaneBundleIdentifier, Impl::brisvaneOrbiskBundleIdentifier}, checker,
            reliability::kHostBundleIdentifier, {}, Impl::monitorDebounceInterval),
        std::make_shared<host::SystemSleepObserver>(host::workspaceNotificationCenter()),
        std::move(configuration), nullptr);
  }

  // Stamps: "v <0|1> <arrival> <event> <notification> <read start> <read end>".
  void report(bool value) override {
    const std::int64_t arrival = monotonicNanos();
    if (board) return board->post(slot, value, arrival);
    if (isQuiet) return;
    testsupport::say(
        "v " + std::to_string(value ? 1 : 0) + " " + std::to_string(arrival) + " " +
        std::to_string(lastEventNanos_.load()) + " " + std::to_string(notified_.load()) + " " +
        std::to_string(stamps_->copyStart.load()) + " " + std::to_string(stamps_->copyEnd.load()));
  }

 private:
  const std::shared_ptr<PathStamps> stamps_ = std::make_shared<PathStamps>();
  const std::shared_ptr<platform::DistributedNotificationCenter> center_ =
      platform::DistributedNotificationCenter::defaultCenter();
  platform::ObserverToken observer_;
  std::atomic<std::int64_t> lastEventNanos_{0}, notified_{0};
};

// "--role host [--stamps] [--quiet] [--answer-board <file> <slot>]".
inline int runHostRole(int argc, char** argv) {
  BenchHost host;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--stamps") host.isStamped = true;
    if (arg == "--quiet") host.isQuiet = true;
    if (arg == "--answer-board" && i + 2 < argc) {
      host.board.emplace(AnswerBoard::open(argv[i + 1]));
      host.slot = std::stoi(argv[i + 2]);
      i += 2;
    }
  }
  return host.run();
}

}  // namespace e2e
