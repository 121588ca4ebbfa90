#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "brisvane_export.h"

namespace platform {

class CancellableSet;

namespace detail {

// What a subscription handle cancels. cancel() is idempotent and may be called from any thread;
// implementations free what they captured as soon as they are cancelled.
class CancelTarget {
 public:
  virtual ~CancelTarget() = default;
  virtual void cancel() noexcept = 0;
  virtual bool isCancelled() const noexcept = 0;
};

}  // namespace detail

// Move-only RAII subscription handle. Destroying it cancels; cancel() is idempotent.
//
// Threads: cancel() and operator bool may be called from any thread, also concurrently with each
// other; moving, assigning and destroying a handle need the usual exclusive access to it.
// Cancelling frees the captured closures at once (a closure that is running at that moment is
// freed when it returns). For a subscription to a publisher, cancel() called on another thread
// returns only after a callback that is running has finished; called from inside the callback it
// returns at once. After cancel() returns, no callback of the subscription starts.
// Results of this type must not be dropped: the attribute sits on a declaration of its own,
// since it cannot follow the export mark.
class [[nodiscard]] AnyCancellable;
class BRISVANE_EXPORT AnyCancellable {
 public:
  AnyCancellable() noexcept = default;  // holds nothing; cancel() does nothing
  // Runs onCancel once, on the thread of the first cancel(), and then frees it.
  explicit AnyCancellable(std::function<void()> onCancel);
  // Takes a cancellation target (used by the publisher library).
  explicit AnyCancellable(std::shared_ptr<detail::CancelTarget> target) noexcept
      : target_(std::move(target)) {}
  AnyCancellable(AnyCancellable&& other) noexcept = default;
  AnyCancellable& operator=(AnyCancellable&& other) noexcept;  // cancels what it held
  ~AnyCancellable();
  AnyCancellable(const AnyCancellable&) = delete;
  AnyCancellable& operator=(const AnyCancellable&) = delete;

  void cancel() noexcept;
  // Moves the handle into the set; the set now decides when it is cancelled.
  void store(CancellableSet& set) &&;
  // Holds something that is not yet cancelled. A subscription whose publisher has completed
  // counts as cancelled.
  explicit operator bool() const noexcept { return target_ && !target_->isCancelled(); }

 private:
  std::shared_ptr<detail::CancelTarget> target_;
};

// Thread-safe bag of subscription handles. clear() and the destructor cancel every handle they
// hold, outside the set's own lock, so a handle whose cancellation touches the set again (or
// waits for a callback that does) cannot deadlock on it.
//
// Threads: every member may be called from any thread.
class BRISVANE_EXPORT CancellableSet {
 public:
  CancellableSet() = default;
  CancellableSet(const CancellableSet&) = delete;
  CancellableSet& operator=(const CancellableSet&) = delete;
  ~CancellableSet();

  void insert(AnyCancellable c);
  void clear();
  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::vector<AnyCancellable> handles_;
};

}  // namespace platform
