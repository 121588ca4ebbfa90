#include "metadata/metadata_query.h"

#include <atomic>
#include <cassert>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "metadata/detail/metadata_scanner.h"
#include "notifications/notification_center.h"
#include "runtime/main_loop.h"
#include "runtime/task.h"

namespace platform {

// ---- MetadataItem ---------------------------------------------------------------------------

MetadataItem::MetadataItem() : attributes_(std::make_shared<const Attributes>()) {}

MetadataItem::MetadataItem(Attributes attributes)
    : attributes_(std::make_shared<const Attributes>(std::move(attributes))) {}

std::optional<std::string> MetadataItem::valueForAttribute(std::string_view key) const {
  const auto it = attributes_->find(key);
  if (it == attributes_->end()) return std::nullopt;
  return it->second;
}

bool operator==(const MetadataItem& a, const MetadataItem& b) {
  return a.attributes_ == b.attributes_ || *a.attributes_ == *b.attributes_;
}

// ---- Predicate ------------------------------------------------------------------------------

Predicate::Predicate(Type type, std::string key, std::string value,
                     std::vector<Predicate> subpredicates)
    : type_(type),
      key_(std::move(key)),
      value_(std::move(value)),
      subpredicates_(std::move(subpredicates)) {}

Predicate Predicate::withFormat(std::string_view format, std::string key, std::string value) {
  if (format != "%K == %@") {
    throw std::invalid_argument("unsupported predicate format: " + std::string(format));
  }
  return Predicate(Type::comparison, std::move(key), std::move(value), {});
}

Predicate Predicate::orPredicateWithSubpredicates(std::vector<Predicate> subpredicates) {
  return Predicate(Type::orCompound, {}, {}, std::move(subpredicates));
}

bool Predicate::evaluate(const MetadataItem& item) const {
  if (type_ == Type::comparison) {
    const auto& attributes = item.attributes();
    const auto it = attributes.find(key_);
    return it != attributes.end() && it->second == value_;
  }
  for (const auto& subpredicate : subpredicates_) {
    if (subpredicate.evaluate(item)) return true;
  }
  return false;
}

std::string Predicate::predicateFormat() const {
  if (type_ == Type::comparison) {
    std::string quoted;
    for (const char c : value_) {
      if (c == '"' || c == '\\') quoted += '\\';
      quoted += c;
    }
    std::string format = key_;
    format += " == \"";
    format += quoted;
    format += '"';
    return format;
  }
  if (subpredicates_.empty()) return "FALSEPREDICATE";
  std::string format;
  for (const auto& subpredicate : subpredicates_) {
    if (!format.empty()) format += " OR ";
    const bool isNested = subpredicate.type() == Type::orCompound;
    if (isNested) format += '(';
    format += subpredicate.predicateFormat();
    if (isNested) format += ')';
  }
  return format;
}

// ---- MetadataQuery --------------------------------------------------------------------------

// Everything the query's background task and main-loop blocks may outlive the query with. Only
// the main thread touches it; the gathering task works on its own scanner and hands it over.
struct BRISVANE_NO_EXPORT MetadataQuery::State : std::enable_shared_from_this<State> {
  enum class Phase { idle, gathering, live, stopped };
  using Results = std::map<std::string, MetadataItem>;

  explicit State(const void* owner) : owner(owner) {}

  void start() {
    ++generation;
    phase = Phase::gathering;
    published.clear();
    hasHeldChanges = false;
    auto scanner = std::make_shared<detail::BundleScanner>(scopes);
    // Without a change feed the query still answers once; it just stays blind afterwards.
    scanner->openChangeFeed();
    cancelGather = std::make_shared<std::atomic<bool>>(false);
    Task::detached(
        [weak = weak_from_this(), scanner, cancel = cancelGather, startedGeneration = generation] {
          scanner->gather(*cancel);
          MainLoop::main().post(weak, [scanner, startedGeneration](State& state) {
            state.finishGathering(scanner, startedGeneration);
          });
        });
  }

  void stop() {
    if (cancelGather) cancelGather->store(true, std::memory_order_relaxed);
    cancelGather.reset();
    changeWatch.cancel();
    scanner.reset();
    ++generation;
    if (phase != Phase::idle) phase = Phase::stopped;
  }

  void finishGathering(std::shared_ptr<detail::BundleScanner> gathered,
                       std::uint64_t startedGeneration) {
    if (startedGeneration != generation || phase != Phase::gathering) return;
    scanner = std::move(gathered);
    cancelGather.reset();
    phase = Phase::live;
    if (scanner->changeFeedFd() >= 0) {
      try {
        changeWatch =
            MainLoop::main().watchReadable(scanner->changeFeedFd(), [weak = weak_from_this()] {
              if (auto state = weak.lock()) state->onChanges();
            });
      } catch (const std::system_error&) {
        // Left without live updates; the gathered results still stand.
      }
    }
    published = matching();
    NotificationCenter::defaultCenter().post(MetadataQueryDidFinishGatheringNotification, owner);
  }

  void onChanges() {
    if (phase != Phase::live || !scanner->processChanges()) return;
    if (updatesEnabled) {
      publishDifferences();
    } else {
      hasHeldChanges = true;
    }
  }

  void enableUpdates() {
    updatesEnabled = true;
    if (!hasHeldChanges || phase != Phase::live) return;
    hasHeldChanges = false;
    // Reported from the loop rather than from inside enableUpdates(), whose caller is usually
    // in the middle of reading the results.
    MainLoop::main().post(weak_from_this(), [startedGeneration = generation](State& state) {
      if (state.generation == startedGeneration && state.phase == Phase::live &&
          state.updatesEnabled) {
        state.publishDifferences();
      } else if (state.generation == startedGeneration && state.phase == Phase::live) {
        state.hasHeldChanges = true;
      }
    });
  }

  Results matching() const {
    Results results;
    for (const auto& [path, item] : scanner->bundles()) {
      if (predicate->evaluate(item)) results.emplace_hint(results.end(), path, item);
    }
    return results;
  }

  void publishDifferences() {
    Results current = matching();
    std::vector<MetadataItem> added;
    std::vector<MetadataItem> removed;
    std::vector<MetadataItem> changed;
    auto before = published.begin();
    auto after = current.begin();
    while (before != published.end() || after != current.end()) {
      if (after == current.end() || (before != published.end() && before->first < after->first)) {
        removed.push_back((before++)->second);
      } else if (before == published.end() || after->first < before->first) {
        added.push_back((after++)->second);
      } else {
        if (!(before->second == after->second)) changed.push_back(after->second);
        ++before;
        ++after;
      }
    }
    published = std::move(current);
    if (added.empty() && removed.empty() && changed.empty()) return;
    UserInfo userInfo;
    userInfo.emplace(MetadataQueryUpdateAddedItemsKey, std::move(added));
    userInfo.emplace(MetadataQueryUpdateRemovedItemsKey, std::move(removed));
    userInfo.emplace(MetadataQueryUpdateChangedItemsKey, std::move(changed));
    // Last: a handler may stop or destroy the query.
    NotificationCenter::defaultCenter().post(MetadataQueryDidUpdateNotification, owner,
                                             std::move(userInfo));
  }

  const void* const owner;
  std::optional<Predicate> predicate;
  std::vector<std::filesystem::path> scopes;
  Phase phase = Phase::idle;
  bool updatesEnabled = true;
  bool hasHeldChanges = false;
  // Tells the blocks of an earlier start (and of the gathering before a stop) to do nothing.
  std::uint64_t generation = 0;
  std::shared_ptr<std::atomic<bool>> cancelGather;
  std::shared_ptr<detail::BundleScanner> scanner;
  FdWatch changeWatch;
  Results published;
};

namespace {
void assertMainThread() {
  assert(MainLoop::main().isMainThread() && "a metadata query is used on the main thread only");
}
}  // namespace

MetadataQuery::MetadataQuery() : state_(std::make_shared<State>(this)) {}

MetadataQuery::~MetadataQuery() {
  state_->stop();
}

void MetadataQuery::setPredicate(Predicate predicate) {
  state_->predicate = std::move(predicate);
}

const std::optional<Predicate>& MetadataQuery::predicate() const {
  return state_->predicate;
}

void MetadataQuery::setSearchScopes(std::vector<std::filesystem::path> scopes) {
  state_->scopes = std::move(scopes);
}

const std::vector<std::filesystem::path>& MetadataQuery::searchScopes() const {
  return state_->scopes;
}

bool MetadataQuery::startQuery() {
  assertMainThread();
  if (isStarted() || !state_->predicate) return false;
  state_->start();
  return true;
}

void MetadataQuery::stopQuery() {
  assertMainThread();
  state_->stop();
}

bool MetadataQuery::isStarted() const {
  return state_->phase == State::Phase::gathering || state_->phase == State::Phase::live;
}

bool MetadataQuery::isGathering() const {
  return state_->phase == State::Phase::gathering;
}

bool MetadataQuery::isStopped() const {
  return state_->phase == State::Phase::stopped;
}

void MetadataQuery::disableUpdates() {
  state_->updatesEnabled = false;
}

void MetadataQuery::enableUpdates() {
  state_->enableUpdates();
}

std::vector<MetadataItem> MetadataQuery::results() const {
  std::vector<MetadataItem> results;
  results.reserve(state_->published.size());
  for (const auto& entry : state_->published) results.push_back(entry.second);
  return results;
}

std::size_t MetadataQuery::resultCount() const {
  return state_->published.size();
}

}  // namespace platform
