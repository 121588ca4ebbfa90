#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BrisvaneStateServiceImplementation/InstalledAppMonitorType.h"
#include "host/contracts.h"
#include "metadata/metadata_query.h"
#include "notifications/notification_center.h"
#include "reactive/cancellable.h"
#include "reactive/publisher.h"
#include "reactive/subjects.h"
#include "runtime/clock.h"

namespace brisvane {

// Knows whether the security application is installed by keeping a live metadata query for its
// bundle identifiers over the application folders. The query also looks for the host
// application's own bundle, which is certainly installed: while the results do not contain it,
// the index is taken to be unusable and the host's app-on-device checker answers instead. The
// checker also answers before the query has produced anything.
//
// Shared ownership: made by make() so that posted blocks and subscriptions can refer to it
// weakly; pending work never keeps it alive, and releasing the last holder stops its query.
//
// Threads: every public member, construction and destruction included, may be called on any
// thread. The query is created, started, read and stopped only on the main thread (the thread
// that pumps platform::MainLoop::main()): start() posts the query's start there, and stop()
// called elsewhere posts the query's stop there. Notification handlers and the debounced refresh
// run on the main thread. Values reach isInstalledPublisher() subscribers on the thread that
// sent them: the caller of start() for the fallback answer, the main thread for query answers.
// start(), stop() and the main-thread steps share the query, its subscriptions and the
// generation below under one lock, which is never held while calling out (cancelling, sending,
// logging, talking to the query).
//
// A start() that has not reached the main thread yet is superseded by any later start() or
// stop(): every start() and stop() advances a generation counter, and the posted start step
// does nothing when the counter moved on. So stop() right after start() leaves no query behind,
// and two quick start() calls leave exactly one.
class SpotlightInstalledAppMonitor final
    : public InstalledAppMonitorType,
      public std::enable_shared_from_this<SpotlightInstalledAppMonitor> {
  struct Token {};

 public:
  // Starts nothing, creates no query, does not ask the checker and does not log. An empty
  // `directories` list means defaultDirectoriesToCheck().
  static std::shared_ptr<SpotlightInstalledAppMonitor> make(
      std::vector<std::string> bundleIdentifiers,
      std::shared_ptr<const host::AppOnDeviceCheckerServiceType> appOnDeviceChecker,
      std::string knownInstalledBundleIdentifier, std::vector<std::filesystem::path> directories,
      platform::Duration debounceInterval);

  SpotlightInstalledAppMonitor(
      Token, std::vector<std::string> bundleIdentifiers,
      std::shared_ptr<const host::AppOnDeviceCheckerServiceType> appOnDeviceChecker,
      std::string knownInstalledBundleIdentifier, std::vector<std::filesystem::path> directories,
      platform::Duration debounceInterval);
  SpotlightInstalledAppMonitor(const SpotlightInstalledAppMonitor&) = delete;
  SpotlightInstalledAppMonitor& operator=(const SpotlightInstalledAppMonitor&) = delete;
  // Performs stop().
  ~SpotlightInstalledAppMonitor() override;

  // "/Applications", "/Applications/Orbisk" and the user's home folder's "Applications", in
  // this order; computed afresh at each call.
  static std::vector<std::filesystem::path> defaultDirectoriesToCheck();

  // The current answer, consecutive duplicates removed per subscriber.
  platform::Publisher<bool> isInstalledPublisher() override;
  bool isInstalled() override;
  // Tears down whatever runs, publishes the checker's answer and starts a fresh query on the
  // main thread. Returns at once.
  void start() override;
  // Ends the subscriptions (a pending refresh never runs) and stops the query, at once on the
  // main thread, shortly afterwards from the main loop elsewhere. Returns at once.
  void stop() override;

  const std::vector<std::string>& bundleIdentifiers() const { return bundleIdentifiers_; }
  const std::string& knownInstalledBundleIdentifier() const {
    return knownInstalledBundleIdentifier_;
  }
  const std::vector<std::filesystem::path>& directoriesToCheck() const {
    return directoriesToCheck_;
  }
  platform::Duration debounceInterval() const { return debounceInterval_; }
  // The running query, absent before the main thread started one and after stop(). For
  // diagnostics and tests.
  std::shared_ptr<const platform::MetadataQuery> currentQuery() const;

 private:
  bool fallbackIsInstalled() const;
  // The subject, created on first use holding the checker's answer.
  platform::CurrentValueSubject<bool>& subject();
  void startSpotlightQuery(std::uint64_t generation);
  void refresh();

  const std::string knownInstalledBundleIdentifier_;
  const std::vector<std::string> bundleIdentifiers_;
  const std::shared_ptr<const host::AppOnDeviceCheckerServiceType> appOnDeviceChecker_;
  const std::vector<std::filesystem::path> directoriesToCheck_;
  const platform::Duration debounceInterval_;
  platform::NotificationCenter& notificationCenter_;
  std::once_flag subjectOnce_;
  std::shared_ptr<platform::CurrentValueSubject<bool>> subject_;
  platform::PassthroughSubject<platform::Void> queryDidChange_;

  // The fields below are shared between the callers of start() and stop() and the main thread.
  mutable std::mutex mutex_;
  std::shared_ptr<platform::MetadataQuery> query_;
  std::unique_ptr<platform::CancellableSet> queryObservations_;
  std::uint64_t generation_ = 0;
};

}  // namespace brisvane
