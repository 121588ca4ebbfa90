#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "brisvane_export.h"
#include "reactive/cancellable.h"
#include "reactive/publisher_sync.h"

// The delivery machinery behind every subscription.
//
// Each subscribe() builds a Chain: the subscriber's own operator nodes (map, remove-duplicates,
// combine-latest, ... down to the sink) together with one serialisation point for all of them.
// Every source that feeds the chain (a subject, a create emitter, a main-loop block) enters the
// chain before it calls into a node, so the nodes themselves need no locks: the chain guarantees
// that one thread at a time runs inside it. A value that arrives while another thread is inside
// waits in the chain's queue and is delivered by that thread before it leaves ("emitter loop"),
// so a sender never blocks and nothing is called while a lock is held.
//
// A source decides how its delivery enters with admit():
//   direct  the chain was idle; the caller now owns it, delivers, and calls exit().
//   nested  the calling thread is already inside this chain (a callback sent into one of its own
//           sources, or a source attaching during subscribe) and nothing is queued; the caller
//           delivers at once, re-entrantly, and does not call exit().
//   drain   the delivery was queued and the caller became the owner; it calls exit(), which
//           delivers the queue.
//   queued  the delivery was queued; the thread inside delivers it.
//   dropped the chain is cancelled or finished.
// A source that must keep its deliveries in order (a subject) makes the admit() call under its
// own lock, so the chain's queue receives them in the order the source produced them.
//
// Cancellation sets a flag that every later admission sees. Called on a thread that is not inside
// the chain, cancel() waits until the thread inside has left; from inside, it returns at once.
// Whoever holds the chain when it is cancelled then tears it down: it detaches from its sources
// (the resources), drops queued deliveries and destroys the nodes, freeing their closures.
namespace platform::core {

using detail::CancelTarget;
using detail::SpinLock;
using detail::SpinLockGuard;

// A delivery waiting in a chain's queue.
class ChainItem {
 public:
  virtual ~ChainItem() = default;
  virtual void run() = 0;
  ChainItem* next = nullptr;
};

template <class F>
class FunctionItem final : public ChainItem {
 public:
  explicit FunctionItem(F f) : f_(std::move(f)) {}
  void run() override { f_(); }

 private:
  F f_;
};

template <class F>
std::unique_ptr<ChainItem> makeItem(F&& f) {
  return std::make_unique<FunctionItem<std::decay_t<F>>>(std::forward<F>(f));
}

// Something a chain is attached to (a subject's subscriber list, a create handle, an inner
// chain); detach() runs once, when the chain is torn down, on the tearing-down thread.
class ChainResource {
 public:
  virtual ~ChainResource() = default;
  virtual void detach() noexcept = 0;
};

enum class Admission : std::uint8_t { direct, nested, drain, queued, dropped };

// Identifies the calling thread for as long as it runs; cheaper than std::this_thread::get_id().
// Out of line, so that the library and its host agree on one tag per thread.
BRISVANE_EXPORT const void* currentThreadTag() noexcept;

// One subscription's serialisation point and the owner of its nodes.
//
// Threads: admit(), admitBehind(), run(), drainIfIdle(), cancel() and isCancelled() may be called
// from any thread; own(), addResource(), exit() and finish() only by the thread inside the chain.
// Lifetime: shared. The subscription handle holds it strongly; emitters and loop blocks hold it
// weakly; a subject lists it by raw pointer until the chain detaches at tear-down.
class BRISVANE_EXPORT Chain final : public CancelTarget,
                                    public std::enable_shared_from_this<Chain> {
 public:
  // A new chain, owned by the calling thread (as if admitted directly): the caller attaches the
  // nodes and sources and then calls exit(), which delivers whatever arrived meanwhile.
  static std::shared_ptr<Chain> make();

  explicit Chain(const void* owner) noexcept;
  ~Chain() override;
  Chain(const Chain&) = delete;
  Chain& operator=(const Chain&) = delete;

  // See the comment at the top of this file. makeItem() is called only when the delivery must
  // be queued and returns a std::unique_ptr<ChainItem> that performs it.
  template <class MakeItem>
  Admission admit(MakeItem&& makeItem) {
    const void* const me = currentThreadTag();
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    if (s == 0 && state_.compare_exchange_strong(s, kBusy, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
      owner_.store(me, std::memory_order_relaxed);
      return Admission::direct;
    }
    if ((s & kCancelled) != 0) return Admission::dropped;
    if ((s & (kBusy | kPending)) == kBusy && owner_.load(std::memory_order_relaxed) == me) {
      return Admission::nested;
    }
    return enqueue(makeItem(), /*mayBecomeOwner=*/true);
  }

  // Like admit(), but never takes the chain over: a delivery that cannot run nested is queued,
  // and the caller (holding a strong reference) calls drainIfIdle() once it has released its
  // own lock. Used for all but the first subscriber of a subject, so that one send never holds
  // several chains while it runs the callbacks of the first.
  template <class MakeItem>
  Admission admitBehind(MakeItem&& makeItem) {
    const std::uint32_t s = state_.load(std::memory_order_relaxed);
    if ((s & kCancelled) != 0) return Admission::dropped;
    if ((s & (kBusy | kPending)) == kBusy &&
        owner_.load(std::memory_order_relaxed) == currentThreadTag()) {
      return Admission::nested;
    }
    return enqueue(makeItem(), /*mayBecomeOwner=*/false);
  }

  // For sources without an ordering lock of their own: admits and runs f (a callable that owns
  // what it captures), or queues a copy of it.
  template <class F>
  void run(F&& f) {
    switch (admit([&f] { return makeItem(f); })) {
      case Admission::direct:
        f();
        exit();
        break;
      case Admission::nested:
        f();
        break;
      case Admission::drain:
        exit();
        break;
      case Admission::queued:
      case Admission::dropped:
        break;
    }
  }

  // Called by the owner after a direct or drain admission: delivers the queue, tears the chain
  // down if it was cancelled meanwhile, and leaves it. The chain may be destroyed as soon as
  // this returns.
  void exit() {
    for (;;) {
      std::uint32_t s = state_.load(std::memory_order_acquire);
      if ((s & (kCancelled | kPending)) != 0) {
        if (!exitSlow(s)) continue;
        return;
      }
      owner_.store(nullptr, std::memory_order_relaxed);
      if (state_.compare_exchange_weak(s, s & ~kBusy, std::memory_order_release,
                                       std::memory_order_relaxed)) {
        return;
      }
      owner_.store(currentThreadTag(), std::memory_order_relaxed);
    }
  }

  // After admitBehind() queued a delivery: takes the chain over and delivers the queue unless
  // another thread is inside (which then delivers it).
  void drainIfIdle();

  // Any thread. Idempotent. See the comment at the top of this file.
  void cancel() noexcept override;
  // Ends the chain from inside, when its last node has received completion.
  void finish() noexcept { cancel(); }
  bool isCancelled() const noexcept override {
    return (state_.load(std::memory_order_relaxed) & kCancelled) != 0;
  }

  // Owner only (while subscribing): the chain owns its nodes and destroys them at tear-down.
  template <class Node, class... Args>
  Node* own(Args&&... args) {
    auto node = std::make_unique<Node>(std::forward<Args>(args)...);
    Node* raw = node.get();
    nodes_.emplace_back(node.release(), &destroyNode<Node>);
    return raw;
  }
  // Owner only: detaches the resource at tear-down.
  void addResource(std::unique_ptr<ChainResource> resource) {
    resources_.push_back(std::move(resource));
  }

 private:
  // A named function rather than a lambda: instantiated for a library-private node type it stays
  // private too, where a lambda's function would be exported with the class.
  template <class Node>
  static void destroyNode(void* node) noexcept {
    delete static_cast<Node*>(node);
  }

  static constexpr std::uint32_t kBusy = 1;       // a thread is inside (owner_)
  static constexpr std::uint32_t kPending = 2;    // the queue is not empty
  static constexpr std::uint32_t kCancelled = 4;  // cancelled or finished; never cleared
  static constexpr std::uint32_t kTorn = 8;       // torn down; set when the owner leaves
  static constexpr std::uint32_t kWaiting = 16;   // a canceller waits for kTorn

  Admission enqueue(std::unique_ptr<ChainItem> item, bool mayBecomeOwner);
  // Handles a queued delivery or a cancellation seen by exit(); returns true once the chain has
  // been left.
  bool exitSlow(std::uint32_t s);
  void tearDown() noexcept;
  void waitUntilTorn() noexcept;

  std::atomic<std::uint32_t> state_;
  std::atomic<const void*> owner_;  // currentThreadTag() of the thread inside, while kBusy

  SpinLock queueLock_;
  ChainItem* head_ PUBLISHER_GUARDED_BY(queueLock_) = nullptr;
  ChainItem* tail_ PUBLISHER_GUARDED_BY(queueLock_) = nullptr;

  // Touched only by the thread inside the chain.
  using OwnedNode = std::unique_ptr<void, void (*)(void*)>;
  std::vector<OwnedNode> nodes_;
  std::vector<std::unique_ptr<ChainResource>> resources_;
  std::shared_ptr<Chain> selfReference_;  // set by a cancel() from inside; dropped on leaving
  bool tornDown_ = false;
};

// Detaches an inner chain (the upstream part of a debounce or receiveOn) with its outer one.
class InnerChainResource final : public ChainResource {
 public:
  explicit InnerChainResource(std::shared_ptr<Chain> inner) : inner_(std::move(inner)) {}
  void detach() noexcept override { inner_->cancel(); }

 private:
  std::shared_ptr<Chain> inner_;
};

}  // namespace platform::core

namespace platform::detail {
using core::Admission;
using core::Chain;
using core::ChainItem;
using core::ChainResource;
using core::currentThreadTag;
using core::FunctionItem;
using core::InnerChainResource;
using core::makeItem;
}  // namespace platform::detail
