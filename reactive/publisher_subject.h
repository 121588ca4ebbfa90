#pragma once

// The shared state behind CurrentValueSubject and PassthroughSubject; included only from
// reactive/subjects.h.
//
// The subject's lock guards its value and its subscriber list. A send stores the value and
// admits the delivery into every subscriber's chain while holding the lock, so each chain
// receives the sends in the order they were stored; the callbacks run after the lock is
// released. A new subscriber joins the list and takes the current value under the same lock,
// so it gets that value and then every later send: none is missed, none older arrives after it.

#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "reactive/publisher.h"
#include "reactive/publisher_chain.h"
#include "reactive/publisher_sync.h"

namespace platform::detail {

// Threads: every member may be called from any thread; attach() only by the subscribing thread
// while it owns the chain. Subscribers run on the sending thread, outside the lock.
template <class T, bool HasValue>
class SubjectState final : public std::enable_shared_from_this<SubjectState<T, HasValue>> {
 public:
  template <class... Initial>
  explicit SubjectState(Initial&&... initial) : value_(std::forward<Initial>(initial)...) {}

  T value() const requires HasValue {
    SpinLockGuard guard(lock_);
    return value_;
  }

  void send(const T& value) {
    Chain* firstChain = nullptr;
    Subscriber<T>* firstDownstream = nullptr;
    Admission first = Admission::dropped;
    std::vector<Later> later;
    {
      SpinLockGuard guard(lock_);
      if (isCompleted_) return;
      if constexpr (HasValue) value_ = value;
      if (entries_.empty()) return;
      const Entry& entry = entries_.front();
      firstChain = entry.chain;
      firstDownstream = entry.downstream;
      first = firstChain->admit([&] { return valueItem(firstDownstream, value); });
      if (entries_.size() > 1) {
        admitLater(later, [&](Subscriber<T>* downstream) { return valueItem(downstream, value); });
      }
    }
    deliverValue(first, firstChain, firstDownstream, value);
    for (Later& entry : later) {
      if (entry.admission == Admission::nested) {
        entry.downstream->receive(value);
      } else {
        entry.chain->drainIfIdle();
      }
    }
  }

  void sendCompletion() {
    std::vector<Entry> entries;
    std::vector<Later> later;
    Admission first = Admission::dropped;
    {
      SpinLockGuard guard(lock_);
      if (isCompleted_) return;
      isCompleted_ = true;
      if (entries_.empty()) return;
      Subscriber<T>* firstDownstream = entries_.front().downstream;
      first = entries_.front().chain->admit([&] { return completionItem(firstDownstream); });
      if (entries_.size() > 1) {
        admitLater(later, [](Subscriber<T>* downstream) { return completionItem(downstream); });
      }
      entries.swap(entries_);
    }
    deliverCompletion(first, entries.front().chain, entries.front().downstream);
    for (Later& entry : later) {
      if (entry.admission == Admission::nested) {
        entry.downstream->receiveCompletion();
      } else {
        entry.chain->drainIfIdle();
      }
    }
  }

  // On the subscribing thread, which owns `chain`.
  void attach(Subscriber<T>* downstream, Chain& chain) {
    Admission admission = Admission::dropped;
    bool isCompleted = false;
    std::uint64_t id = 0;
    [[maybe_unused]] std::conditional_t<HasValue, std::optional<T>, NoValue> initial;
    {
      SpinLockGuard guard(lock_);
      isCompleted = isCompleted_;
      if (isCompleted) {
        admission = chain.admit([&] { return completionItem(downstream); });
      } else {
        id = nextId_++;
        entries_.push_back(Entry{&chain, downstream, id});
        if constexpr (HasValue) {
          const T* current = &value_;
          admission = chain.admit([&] { return valueItem(downstream, *current); });
          if (admission == Admission::nested || admission == Admission::direct) {
            initial.emplace(value_);
          }
        }
      }
    }
    if (isCompleted) {
      deliverCompletion(admission, &chain, downstream);
      return;
    }
    chain.addResource(std::make_unique<Resource>(this->shared_from_this(), id));
    if constexpr (HasValue) {
      if (initial) {
        deliverValue(admission, &chain, downstream, *initial);
      } else if (admission == Admission::drain) {
        chain.exit();
      }
    }
  }

  void detach(std::uint64_t id) noexcept {
    SpinLockGuard guard(lock_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->id == id) {
        entries_.erase(it);
        return;
      }
    }
  }

 private:
  struct NoValue {};
  struct Entry {
    Chain* chain;  // alive while listed: a chain leaves every list before it can be destroyed
    Subscriber<T>* downstream;
    std::uint64_t id;
  };
  // A delivery to a subscriber after the first.
  struct Later {
    std::shared_ptr<Chain> chain;  // set for queued deliveries
    Subscriber<T>* downstream;
    Admission admission;
  };

  class Resource final : public ChainResource {
   public:
    Resource(std::shared_ptr<SubjectState> state, std::uint64_t id)
        : state_(std::move(state)), id_(id) {}
    void detach() noexcept override { state_->detach(id_); }

   private:
    std::shared_ptr<SubjectState> state_;
    std::uint64_t id_;
  };

  static std::unique_ptr<ChainItem> valueItem(Subscriber<T>* downstream, const T& value) {
    return makeItem([downstream, value] { downstream->receive(value); });
  }
  static std::unique_ptr<ChainItem> completionItem(Subscriber<T>* downstream) {
    return makeItem([downstream] { downstream->receiveCompletion(); });
  }

  template <class MakeItem>
  void admitLater(std::vector<Later>& later, MakeItem makeItemFor) PUBLISHER_REQUIRES(lock_) {
    later.reserve(entries_.size() - 1);
    for (std::size_t i = 1; i < entries_.size(); ++i) {
      const Entry& entry = entries_[i];
      Subscriber<T>* downstream = entry.downstream;
      const Admission admission = entry.chain->admitBehind([&] { return makeItemFor(downstream); });
      if (admission == Admission::nested) {
        later.push_back(Later{nullptr, downstream, admission});
      } else if (admission == Admission::queued) {
        if (std::shared_ptr<Chain> chain = entry.chain->weak_from_this().lock()) {
          later.push_back(Later{std::move(chain), downstream, admission});
        }
      }
    }
  }

  static void deliverValue(Admission admission, Chain* chain, Subscriber<T>* downstream,
                           const T& value) {
    switch (admission) {
      case Admission::direct:
        downstream->receive(value);
        chain->exit();
        break;
      case Admission::nested:
        downstream->receive(value);
        break;
      case Admission::drain:
        chain->exit();
        break;
      case Admission::queued:
      case Admission::dropped:
        break;
    }
  }

  static void deliverCompletion(Admission admission, Chain* chain, Subscriber<T>* downstream) {
    switch (admission) {
      case Admission::direct:
        downstream->receiveCompletion();
        chain->exit();
        break;
      case Admission::nested:
        downstream->receiveCompletion();
        break;
      case Admission::drain:
        chain->exit();
        break;
      case Admission::queued:
      case Admission::dropped:
        break;
    }
  }

  mutable SpinLock lock_;
  [[no_unique_address]] std::conditional_t<HasValue, T, NoValue> value_ PUBLISHER_GUARDED_BY(lock_);
  std::vector<Entry> entries_ PUBLISHER_GUARDED_BY(lock_);
  std::uint64_t nextId_ PUBLISHER_GUARDED_BY(lock_) = 1;
  bool isCompleted_ PUBLISHER_GUARDED_BY(lock_) = false;
};

template <class T, bool HasValue>
class SubjectSource final : public Source<T> {
 public:
  explicit SubjectSource(std::shared_ptr<SubjectState<T, HasValue>> state)
      : state_(std::move(state)) {}
  void attach(Subscriber<T>* downstream, Chain& chain) const override {
    state_->attach(downstream, chain);
  }

 private:
  std::shared_ptr<SubjectState<T, HasValue>> state_;
};

}  // namespace platform::detail
