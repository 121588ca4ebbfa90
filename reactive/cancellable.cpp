#include "reactive/cancellable.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "reactive/publisher_chain.h"

namespace platform {

namespace {

// Runs a closure once and frees it right after.
class FunctionTarget final : public detail::CancelTarget {
 public:
  explicit FunctionTarget(std::function<void()> onCancel) : onCancel_(std::move(onCancel)) {}

  void cancel() noexcept override {
    if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
    // Only the first caller gets here, so nothing else touches onCancel_ any more.
    std::function<void()> onCancel = std::exchange(onCancel_, nullptr);
    if (onCancel) onCancel();
  }
  bool isCancelled() const noexcept override { return cancelled_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> cancelled_{false};
  std::function<void()> onCancel_;
};

}  // namespace

AnyCancellable::AnyCancellable(std::function<void()> onCancel)
    : target_(std::make_shared<FunctionTarget>(std::move(onCancel))) {}

AnyCancellable& AnyCancellable::operator=(AnyCancellable&& other) noexcept {
  if (this != &other) {
    std::shared_ptr<detail::CancelTarget> previous =
        std::exchange(target_, std::move(other.target_));
    if (previous) previous->cancel();
  }
  return *this;
}

AnyCancellable::~AnyCancellable() {
  cancel();
}

void AnyCancellable::cancel() noexcept {
  if (target_) target_->cancel();
}

void AnyCancellable::store(CancellableSet& set) && {
  set.insert(std::move(*this));
}

CancellableSet::~CancellableSet() {
  clear();
}

void CancellableSet::insert(AnyCancellable c) {
  std::lock_guard<std::mutex> lock(mutex_);
  handles_.push_back(std::move(c));
}

void CancellableSet::clear() {
  std::vector<AnyCancellable> handles;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handles.swap(handles_);
  }
  // Cancelled here, outside the lock, when `handles` goes away.
}

std::size_t CancellableSet::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return handles_.size();
}

namespace core {

const void* currentThreadTag() noexcept {
  static thread_local const char tag = 0;
  return &tag;
}

namespace {

// Cancellers that must wait for another thread to leave a chain sleep here. Shared by all
// chains: the leaving thread must not touch the chain after it has left, since the waiter may
// destroy it at once.
std::mutex& chainWaitMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}
std::condition_variable& chainWaitCondition() {
  static std::condition_variable* condition = new std::condition_variable;
  return *condition;
}

}  // namespace

std::shared_ptr<Chain> Chain::make() {
  return std::make_shared<Chain>(currentThreadTag());
}

Chain::Chain(const void* owner) noexcept : state_(kBusy), owner_(owner) {}

Chain::~Chain() {
  // Every chain is normally torn down before its last reference goes; this covers a
  // subscription that failed half-way.
  tearDown();
}

Admission Chain::enqueue(std::unique_ptr<ChainItem> item, bool mayBecomeOwner) {
  std::unique_ptr<ChainItem> rejected;
  Admission result = Admission::dropped;
  {
    SpinLockGuard guard(queueLock_);
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((s & kCancelled) != 0) {
        rejected = std::move(item);
        break;
      }
      const bool take = mayBecomeOwner && (s & kBusy) == 0;
      const std::uint32_t next = s | kPending | (take ? kBusy : 0);
      if (state_.compare_exchange_weak(s, next, std::memory_order_acq_rel,
                                       std::memory_order_relaxed)) {
        if (take) owner_.store(currentThreadTag(), std::memory_order_relaxed);
        ChainItem* raw = item.release();
        if (tail_ != nullptr) {
          tail_->next = raw;
        } else {
          head_ = raw;
        }
        tail_ = raw;
        result = take ? Admission::drain : Admission::queued;
        break;
      }
    }
  }
  // A rejected delivery's value is destroyed here, outside the lock.
  return result;
}

bool Chain::exitSlow(std::uint32_t s) {
  if ((s & kCancelled) != 0) {
    tearDown();
    // A cancel() from inside may have dropped the last outside reference; this one keeps the
    // chain alive until it has been left.
    std::shared_ptr<Chain> keepAlive = std::move(selfReference_);
    owner_.store(nullptr, std::memory_order_relaxed);
    std::uint32_t current = state_.load(std::memory_order_relaxed);
    while (!state_.compare_exchange_weak(current,
                                         (current | kTorn) & ~(kBusy | kPending | kWaiting),
                                         std::memory_order_acq_rel, std::memory_order_relaxed)) {
    }
    if ((current & kWaiting) != 0) {
      { std::lock_guard<std::mutex> lock(chainWaitMutex()); }
      chainWaitCondition().notify_all();
    }
    return true;
  }
  std::unique_ptr<ChainItem> item;
  {
    SpinLockGuard guard(queueLock_);
    item.reset(head_);
    if (head_ != nullptr) head_ = head_->next;
    if (head_ == nullptr) {
      tail_ = nullptr;
      state_.fetch_and(~kPending, std::memory_order_relaxed);
    }
  }
  if (item) item->run();
  return false;
}

void Chain::drainIfIdle() {
  std::uint32_t s = state_.load(std::memory_order_relaxed);
  while ((s & (kBusy | kCancelled)) == 0 && (s & kPending) != 0) {
    if (state_.compare_exchange_weak(s, s | kBusy, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
      owner_.store(currentThreadTag(), std::memory_order_relaxed);
      exit();
      return;
    }
  }
}

void Chain::cancel() noexcept {
  const void* const me = currentThreadTag();
  std::uint32_t s = state_.fetch_or(kCancelled, std::memory_order_acq_rel) | kCancelled;
  for (;;) {
    if ((s & kTorn) != 0) return;
    if ((s & kBusy) != 0) {
      if (owner_.load(std::memory_order_relaxed) == me) {
        // Inside a callback: the owner tears the chain down when it leaves.
        if (!selfReference_) selfReference_ = weak_from_this().lock();
        return;
      }
      waitUntilTorn();
      return;
    }
    if (state_.compare_exchange_weak(s, s | kBusy, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
      owner_.store(me, std::memory_order_relaxed);
      exit();
      return;
    }
  }
}

void Chain::waitUntilTorn() noexcept {
  std::unique_lock<std::mutex> lock(chainWaitMutex());
  state_.fetch_or(kWaiting, std::memory_order_relaxed);
  chainWaitCondition().wait(
      lock, [this] { return (state_.load(std::memory_order_acquire) & kTorn) != 0; });
}

void Chain::tearDown() noexcept {
  if (tornDown_) return;
  tornDown_ = true;
  std::vector<std::unique_ptr<ChainResource>> resources = std::move(resources_);
  for (auto& resource : resources) resource->detach();
  resources.clear();
  ChainItem* items = nullptr;
  {
    SpinLockGuard guard(queueLock_);
    items = std::exchange(head_, nullptr);
    tail_ = nullptr;
  }
  while (items != nullptr) {
    std::unique_ptr<ChainItem> item(items);
    items = items->next;
  }
  // Upstream nodes first, the subscriber's own node last.
  std::vector<OwnedNode> nodes = std::move(nodes_);
  while (!nodes.empty()) nodes.pop_back();
}

}  // namespace core

}  // namespace platform
