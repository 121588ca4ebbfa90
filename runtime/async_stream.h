#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "runtime/runtime_mutex.h"
#include "runtime/task.h"
#include "runtime/task_runtime.h"

namespace platform {

namespace detail {

// Shared by the consumer side and every copy of the continuation.
template <class T>
struct AsyncStreamState {
  Mutex mutex;
  std::condition_variable changed;
  std::deque<T> buffer RUNTIME_GUARDED_BY(mutex);
  // By the producer: the buffer still drains, then the end.
  bool isFinished RUNTIME_GUARDED_BY(mutex) = false;
  // Cancelled or dropped: nothing more is delivered.
  bool isConsumerGone RUNTIME_GUARDED_BY(mutex) = false;
  // The termination handlers have been taken to run.
  bool isTerminated RUNTIME_GUARDED_BY(mutex) = false;
  std::vector<std::function<void()>> terminationHandlers RUNTIME_GUARDED_BY(mutex);
  // A consumer by callback (forEach). They are not replaced while a thread is delivering, so
  // that thread may call them outside the lock; they are let go once the stream has ended.
  std::function<void(T)> onValue RUNTIME_GUARDED_BY(mutex);
  std::function<void()> onEnd RUNTIME_GUARDED_BY(mutex);
  bool isDelivering RUNTIME_GUARDED_BY(mutex) = false;

  bool hasSomethingForConsumerLocked() const RUNTIME_REQUIRES(mutex) {
    return !buffer.empty() || isFinished || isConsumerGone;
  }

  std::optional<T> popLocked() RUNTIME_REQUIRES(mutex) {
    std::optional<T> value(std::move(buffer.front()));
    buffer.pop_front();
    return value;
  }

  // Ends the stream from either side. The handlers run here, on the calling thread, outside
  // the lock, and only for the first end.
  void end(bool byConsumer) {
    std::vector<std::function<void()>> handlers;
    std::deque<T> dropped;
    std::function<void(T)> droppedOnValue;
    std::function<void()> endNow;
    {
      MutexLock lock(mutex);
      if (byConsumer) {
        isConsumerGone = true;
        dropped.swap(buffer);
      } else {
        isFinished = true;
      }
      if (!isTerminated) {
        isTerminated = true;
        handlers.swap(terminationHandlers);
      }
      // A delivering thread, or the yield about to deliver what is still buffered, sees the end
      // itself once it has handed the buffer over.
      if (onValue && !isDelivering && buffer.empty())
        releaseCallbacksLocked(droppedOnValue, endNow);
    }
    changed.notify_all();
    if (endNow) endNow();
    for (auto& handler : handlers) handler();
  }

  // Hands the buffer to the callback consumer, one value at a time and in order, on the
  // calling thread; when another thread is already doing so, that thread takes the new values
  // too. After the last value of a finished stream, onEnd runs once.
  void deliver() {
    std::function<void(T)> droppedOnValue;
    std::function<void()> endNow;
    MutexLock lock(mutex);
    if (!onValue || isDelivering) return;
    isDelivering = true;
    // Not replaced while isDelivering is set, so it may be called outside the lock.
    std::function<void(T)>* const callback = &onValue;
    while (!isConsumerGone && !buffer.empty()) {
      T value(std::move(buffer.front()));
      buffer.pop_front();
      lock.unlock();
      try {
        (*callback)(std::move(value));
      } catch (const std::exception& error) {
        std::fprintf(stderr, "stream consumer raised an exception: %s\n", error.what());
      } catch (...) {
        std::fprintf(stderr, "stream consumer raised an exception of unknown type\n");
      }
      lock.lock();
    }
    isDelivering = false;
    if (isConsumerGone || isFinished) releaseCallbacksLocked(droppedOnValue, endNow);
    lock.unlock();
    if (endNow) endNow();
  }

  // Takes the callback consumer out, to be destroyed (and onEnd run, for a producer's end)
  // outside the lock.
  void releaseCallbacksLocked(std::function<void(T)>& droppedOnValue, std::function<void()>& endNow)
      RUNTIME_REQUIRES(mutex) {
    droppedOnValue = std::move(onValue);
    onValue = nullptr;
    if (!isConsumerGone) endNow = std::move(onEnd);
    onEnd = nullptr;
  }
};

// Finishes the stream when the last copy of the continuation goes away, so that a consumer can
// never wait for a producer that no longer exists.
template <class T>
struct AsyncStreamProducer {
  explicit AsyncStreamProducer(std::shared_ptr<AsyncStreamState<T>> s) : state(std::move(s)) {}
  ~AsyncStreamProducer() { state->end(false); }
  AsyncStreamProducer(const AsyncStreamProducer&) = delete;
  AsyncStreamProducer& operator=(const AsyncStreamProducer&) = delete;
  std::shared_ptr<AsyncStreamState<T>> state;
};

}  // namespace detail

// Unbounded asynchronous stream with one consumer.
//
// Threads: the continuation may be used from any thread, by any number of producers. The
// consumer side (next, cancel, destruction) belongs to one thread at a time, normally a task.
// Termination handlers run on the thread that ends the stream (the one calling finish(),
// cancel() or the consumer's destructor, the consumer whose task was cancelled, or the one
// dropping the last continuation), never under the stream's lock.
//
// The stream ends when the producer finishes (values already yielded are still delivered), when
// the consumer cancels it or its task is cancelled while in next(), when the consumer side is
// destroyed, or when the last copy of the continuation is destroyed (as a finish).
template <class T>
class AsyncStream {
 public:
  // Producer side. Copyable; all copies feed the same stream.
  class Continuation {
   public:
    Continuation() = default;  // feeds nothing

    // Appends a value for the consumer; dropped after the stream ended.
    void yield(T value) const {
      if (!producer_) return;
      auto& state = *producer_->state;
      bool isPushed = false;
      {
        detail::MutexLock lock(state.mutex);
        if (state.isTerminated) return;  // value is destroyed after the lock is released
        state.buffer.push_back(std::move(value));
        isPushed = static_cast<bool>(state.onValue);
      }
      if (isPushed) {
        state.deliver();
      } else {
        state.changed.notify_all();
      }
    }

    void finish() const {
      if (producer_) producer_->state->end(false);
    }

    // Runs exactly once when the stream ends for any reason (finished, consumer cancelled,
    // consumer dropped); runs at once, on the calling thread, if already ended. Several
    // handlers may be set; each runs once.
    void onTermination(std::function<void()> handler) const {
      if (!producer_ || !handler) return;
      auto& state = *producer_->state;
      {
        detail::MutexLock lock(state.mutex);
        if (!state.isTerminated) {
          state.terminationHandlers.push_back(std::move(handler));
          return;
        }
      }
      handler();
    }

   private:
    friend class AsyncStream;
    explicit Continuation(std::shared_ptr<detail::AsyncStreamProducer<T>> producer)
        : producer_(std::move(producer)) {}
    std::shared_ptr<detail::AsyncStreamProducer<T>> producer_;
  };

  // Builds a stream; `build` runs at once, on the calling thread, with the continuation.
  explicit AsyncStream(std::function<void(Continuation)> build) : AsyncStream(makeState()) {
    build(Continuation(std::make_shared<detail::AsyncStreamProducer<T>>(state_)));
  }

  static std::pair<AsyncStream<T>, Continuation> makeStream() {
    AsyncStream<T> stream(makeState());
    Continuation continuation(std::make_shared<detail::AsyncStreamProducer<T>>(stream.state_));
    return {std::move(stream), std::move(continuation)};
  }

  AsyncStream(AsyncStream&& other) noexcept = default;
  AsyncStream& operator=(AsyncStream&& other) noexcept {
    if (this != &other) {
      cancel();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  AsyncStream(const AsyncStream&) = delete;
  AsyncStream& operator=(const AsyncStream&) = delete;

  // Destroying the consumer side ends the stream.
  ~AsyncStream() { cancel(); }

  // Blocks until a value, the end (nullopt), or cancellation of the calling task (returns
  // nullopt and ends the stream, dropping what was buffered).
  std::optional<T> next() {
    if (!state_) return std::nullopt;
    auto& state = *state_;
    {
      detail::MutexLock lock(state.mutex);
      if (!state.buffer.empty() && !Task::isCancelled()) return state.popLocked();
    }
    // The hook must exist before the cancellation test under the lock, so that a cancel
    // arriving in between is not missed; it is destroyed after the lock is released.
    detail::CancellationHook hook([&state] {
      detail::MutexLock lock(state.mutex);
      state.changed.notify_all();
    });
    {
      detail::MutexLock lock(state.mutex);
      if (!state.hasSomethingForConsumerLocked() && !Task::isCancelled()) {
        detail::BlockingScope blocked;
        while (!state.hasSomethingForConsumerLocked() && !Task::isCancelled()) {
          lock.wait(state.changed);
        }
      }
      if (!Task::isCancelled()) {
        if (!state.buffer.empty() && !state.isConsumerGone) return state.popLocked();
        return std::nullopt;
      }
    }
    state.end(true);
    return std::nullopt;
  }

  // Consumes the stream by callback instead of next(), so that no thread waits for it:
  // onValue runs for each value on the thread that yields it (for values already buffered, at
  // once on the calling thread), one at a time and in order; onEnd runs once after the last
  // value when the producer finishes, but not when the consumer side ends the stream (cancel,
  // destruction). A value being delivered on another thread when cancel() is called may still
  // arrive after cancel() returns. An exception escaping onValue is written to standard error and
  // dropped. Called at most once, and never together with next().
  void forEach(std::function<void(T)> onValue, std::function<void()> onEnd) {
    if (!state_) return;
    {
      detail::MutexLock lock(state_->mutex);
      if (state_->isConsumerGone || state_->onValue) return;
      state_->onValue = std::move(onValue);
      state_->onEnd = std::move(onEnd);
    }
    state_->deliver();
  }

  // Ends the stream from the consumer side. Idempotent.
  void cancel() {
    if (state_) state_->end(true);
  }

 private:
  explicit AsyncStream(std::shared_ptr<detail::AsyncStreamState<T>> state)
      : state_(std::move(state)) {}
  static std::shared_ptr<detail::AsyncStreamState<T>> makeState() {
    return std::make_shared<detail::AsyncStreamState<T>>();
  }

  std::shared_ptr<detail::AsyncStreamState<T>> state_;
};

}  // namespace platform
