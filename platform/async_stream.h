#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/core/runtime_mutex.h"
#include "platform/core/task_runtime.h"
#include "platform/task.h"

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
    }
    changed.notify_all();
    for (auto& handler : handlers) handler();
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
      {
        detail::MutexLock lock(state.mutex);
        if (state.isTerminated) return;  // value is destroyed after the lock is released
        state.buffer.push_back(std::move(value));
      }
      state.changed.notify_all();
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
