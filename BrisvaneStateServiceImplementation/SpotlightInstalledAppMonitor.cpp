#include "BrisvaneStateServiceImplementation/SpotlightInstalledAppMonitor.h"

#include <pwd.h>
#include <unistd.h>

#include <any>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <utility>

#include "host/logging.h"
#include "runtime/main_loop.h"

namespace brisvane {
namespace {

constexpr const char* kLogFile = "BrisvaneStateServiceImplementation/SpotlightInstalledAppMonitor";
constexpr const char* kQueryStarted = "🔍 Query started for ";
constexpr const char* kQueryFailedToStart = "🔍 Failed to start Spotlight query for ";
constexpr const char* kGatherFinished = "🔍 Initial gather finished";
constexpr const char* kQueryUpdateAdded = "🔍 Query update — added=";
constexpr const char* kQueryUpdateRemoved = " removed=";
constexpr const char* kQueryUpdateChanged = " changed=";
constexpr const char* kRefreshMatches = "🔍 Refresh — ";
constexpr const char* kRefreshIsInstalled = " matches, isInstalled=";
constexpr const char* kHostNotVisible =
    "🔍 Spotlight index does not see the host app. Will use fallback.";

const host::LogCategory& logCategory() {
  static const host::LogCategory category("SpotlightInstalledAppMonitor");
  return category;
}

void logDebug(host::LogMessage message) {
  host::logDebug(logCategory(), message, 0, true, kLogFile);
}
void logInfo(host::LogMessage message) {
  host::logInfo(logCategory(), message, 0, true, kLogFile);
}
void logWarning(host::LogMessage message) {
  host::logWarning(logCategory(), message, 0, true, kLogFile);
}

// ["a", "b"], the way the identifiers appear in the start lines.
std::string render(const std::vector<std::string>& identifiers) {
  std::string text = "[";
  for (const auto& identifier : identifiers) {
    if (text.size() > 1) text += ", ";
    text += '"' + identifier + '"';
  }
  return text + "]";
}

std::size_t itemCount(const platform::Notification& notification, const char* key) {
  const auto entry = notification.userInfo.find(key);
  if (entry == notification.userInfo.end()) return 0;
  const auto* items = std::any_cast<std::vector<platform::MetadataItem>>(&entry->second);
  return items == nullptr ? 0 : items->size();
}

std::filesystem::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return "/";
}

}  // namespace

std::shared_ptr<SpotlightInstalledAppMonitor> SpotlightInstalledAppMonitor::make(
    std::vector<std::string> bundleIdentifiers,
    std::shared_ptr<const host::AppOnDeviceCheckerServiceType> appOnDeviceChecker,
    std::string knownInstalledBundleIdentifier, std::vector<std::filesystem::path> directories,
    platform::Duration debounceInterval) {
  return std::make_shared<SpotlightInstalledAppMonitor>(
      Token{}, std::move(bundleIdentifiers), std::move(appOnDeviceChecker),
      std::move(knownInstalledBundleIdentifier), std::move(directories), debounceInterval);
}

SpotlightInstalledAppMonitor::SpotlightInstalledAppMonitor(
    Token, std::vector<std::string> bundleIdentifiers,
    std::shared_ptr<const host::AppOnDeviceCheckerServiceType> appOnDeviceChecker,
    std::string knownInstalledBundleIdentifier, std::vector<std::filesystem::path> directories,
    platform::Duration debounceInterval)
    : knownInstalledBundleIdentifier_(std::move(knownInstalledBundleIdentifier)),
      bundleIdentifiers_(std::move(bundleIdentifiers)),
      appOnDeviceChecker_(std::move(appOnDeviceChecker)),
      directoriesToCheck_(directories.empty() ? defaultDirectoriesToCheck()
                                              : std::move(directories)),
      debounceInterval_(debounceInterval),
      notificationCenter_(platform::NotificationCenter::defaultCenter()),
      queryObservations_(std::make_unique<platform::CancellableSet>()) {}

SpotlightInstalledAppMonitor::~SpotlightInstalledAppMonitor() {
  stop();
}

std::vector<std::filesystem::path> SpotlightInstalledAppMonitor::defaultDirectoriesToCheck() {
  return {"/Applications", "/Applications/Orbisk", homeDirectory() / "Applications"};
}

bool SpotlightInstalledAppMonitor::fallbackIsInstalled() const {
  for (const auto& identifier : bundleIdentifiers_) {
    if (appOnDeviceChecker_->isAppOnDevice(identifier)) return true;
  }
  return false;
}

platform::CurrentValueSubject<bool>& SpotlightInstalledAppMonitor::subject() {
  std::call_once(subjectOnce_, [this] {
    subject_ = std::make_shared<platform::CurrentValueSubject<bool>>(fallbackIsInstalled());
  });
  return *subject_;
}

platform::Publisher<bool> SpotlightInstalledAppMonitor::isInstalledPublisher() {
  return subject().publisher().removeDuplicates().eraseToAnyPublisher();
}

bool SpotlightInstalledAppMonitor::isInstalled() {
  return subject().value();
}

std::shared_ptr<const platform::MetadataQuery> SpotlightInstalledAppMonitor::currentQuery() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return query_;
}

void SpotlightInstalledAppMonitor::start() {
  stop();

  const bool answer = fallbackIsInstalled();
  bool isCreated = false;
  std::call_once(subjectOnce_, [&] {
    subject_ = std::make_shared<platform::CurrentValueSubject<bool>>(answer);
    isCreated = true;
  });
  if (!isCreated) subject_->send(answer);

  std::uint64_t generation = 0;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    generation = ++generation_;
  }
  platform::MainLoop::main().post(weak_from_this(),
                                  [generation](SpotlightInstalledAppMonitor& monitor) {
                                    monitor.startSpotlightQuery(generation);
                                  });
}

void SpotlightInstalledAppMonitor::stop() {
  std::unique_ptr<platform::CancellableSet> observations;
  std::shared_ptr<platform::MetadataQuery> query;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
    observations = std::exchange(queryObservations_, std::make_unique<platform::CancellableSet>());
    query = std::move(query_);
  }
  // Cancelling outside the lock: a refresh running on the main thread is waited for, and it
  // takes the lock itself.
  observations.reset();
  if (!query) return;
  auto& mainLoop = platform::MainLoop::main();
  if (mainLoop.isMainThread()) {
    query->stopQuery();
  } else {
    // The block owns the query so that it outlives the monitor until it has been stopped.
    mainLoop.post([query = std::move(query)] { query->stopQuery(); });
  }
}

void SpotlightInstalledAppMonitor::startSpotlightQuery(std::uint64_t generation) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (generation != generation_) return;
  }
  auto query = std::make_shared<platform::MetadataQuery>();

  std::vector<std::string> identifiers;
  std::unordered_set<std::string> seen;
  for (const auto& identifier : bundleIdentifiers_) {
    if (seen.insert(identifier).second) identifiers.push_back(identifier);
  }
  if (seen.insert(knownInstalledBundleIdentifier_).second) {
    identifiers.push_back(knownInstalledBundleIdentifier_);
  }
  std::vector<platform::Predicate> subpredicates;
  subpredicates.reserve(identifiers.size());
  for (auto& identifier : identifiers) {
    subpredicates.push_back(platform::Predicate::withFormat(
        "%K == %@", platform::MetadataItemCFBundleIdentifierKey, std::move(identifier)));
  }
  query->setPredicate(platform::Predicate::orPredicateWithSubpredicates(std::move(subpredicates)));
  query->setSearchScopes(directoriesToCheck_);

  auto observations = std::make_unique<platform::CancellableSet>();
  const std::weak_ptr<SpotlightInstalledAppMonitor> weakSelf = weak_from_this();
  queryDidChange_.publisher()
      .debounce(debounceInterval_, platform::MainLoop::main())
      .sink([weakSelf](const platform::Void&) {
        if (auto self = weakSelf.lock()) self->refresh();
      })
      .store(*observations);
  notificationCenter_.publisher(platform::MetadataQueryDidFinishGatheringNotification, query.get())
      .sink([weakSelf](const platform::Notification&) {
        logDebug([] { return std::string(kGatherFinished); });
        if (auto self = weakSelf.lock()) self->queryDidChange_.send(platform::Void{});
      })
      .store(*observations);
  notificationCenter_.publisher(platform::MetadataQueryDidUpdateNotification, query.get())
      .sink([weakSelf](const platform::Notification& notification) {
        const std::size_t added =
            itemCount(notification, platform::MetadataQueryUpdateAddedItemsKey);
        const std::size_t removed =
            itemCount(notification, platform::MetadataQueryUpdateRemovedItemsKey);
        const std::size_t changed =
            itemCount(notification, platform::MetadataQueryUpdateChangedItemsKey);
        logDebug([=] {
          return kQueryUpdateAdded + std::to_string(added) + kQueryUpdateRemoved +
                 std::to_string(removed) + kQueryUpdateChanged + std::to_string(changed);
        });
        if (auto self = weakSelf.lock()) self->queryDidChange_.send(platform::Void{});
      })
      .store(*observations);

  std::unique_ptr<platform::CancellableSet> replacedObservations;
  std::shared_ptr<platform::MetadataQuery> replacedQuery;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    // A stop() or start() on another thread while this step was being prepared wins.
    if (generation != generation_) return;
    replacedObservations = std::exchange(queryObservations_, std::move(observations));
    replacedQuery = std::exchange(query_, query);
  }
  replacedObservations.reset();
  if (replacedQuery) replacedQuery->stopQuery();

  if (query->startQuery()) {
    logInfo([identifiers = bundleIdentifiers_] { return kQueryStarted + render(identifiers); });
  } else {
    logWarning(
        [identifiers = bundleIdentifiers_] { return kQueryFailedToStart + render(identifiers); });
  }
}

void SpotlightInstalledAppMonitor::refresh() {
  std::shared_ptr<platform::MetadataQuery> query;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    query = query_;
  }
  if (!query) return;

  query->disableUpdates();
  std::unordered_set<std::string> found;
  for (const auto& item : query->results()) {
    if (auto identifier = item.valueForAttribute(platform::MetadataItemCFBundleIdentifierKey)) {
      found.insert(std::move(*identifier));
    }
  }
  query->enableUpdates();

  if (found.count(knownInstalledBundleIdentifier_) == 0) {
    logWarning([] { return std::string(kHostNotVisible); });
    subject().send(fallbackIsInstalled());
    return;
  }
  bool answer = false;
  for (const auto& identifier : bundleIdentifiers_) {
    answer = answer || found.count(identifier) != 0;
  }
  logDebug([matches = found.size(), answer] {
    return kRefreshMatches + std::to_string(matches) + kRefreshIsInstalled +
           (answer ? "true" : "false");
  });
  subject().send(answer);
}

}  // namespace brisvane
