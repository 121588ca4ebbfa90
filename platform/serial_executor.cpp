#include "platform/serial_executor.h"

#include <cstdio>
#include <deque>

#include "platform/detail/runtime_fatal.h"
#include "platform/detail/runtime_mutex.h"

namespace platform {

namespace {

// Operations run by one pool job before it hands the thread back, so that a busy executor does
// not hold on to a pool thread for ever.
constexpr int kOperationsPerTurn = 64;

}  // namespace

struct SerialExecutor::Impl : std::enable_shared_from_this<Impl> {
  void enqueue(std::function<void()> operation) {
    {
      detail::MutexLock lock(mutex);
      queue.push_back(std::move(operation));
      if (isScheduled) return;
      isScheduled = true;
    }
    schedule();
  }

  void schedule() {
    detail::submitToPool([self = shared_from_this()] { self->drain(); });
  }

  void drain() {
    const Impl* previous = current;
    current = this;
    for (int turn = 0;; ++turn) {
      std::function<void()> operation;
      {
        detail::MutexLock lock(mutex);
        if (queue.empty()) {
          isScheduled = false;
          break;
        }
        if (turn == kOperationsPerTurn) {
          current = previous;
          schedule();  // still scheduled: no other drain can start meanwhile
          return;
        }
        operation = std::move(queue.front());
        queue.pop_front();
      }
      operation();
    }
    current = previous;
  }

  bool enterInline() {
    detail::MutexLock lock(mutex);
    if (isScheduled || !queue.empty()) return false;
    isScheduled = true;  // busy: later operations queue behind this one
    inlinePrevious = current;
    current = this;
    return true;
  }

  void leaveInline() {
    current = inlinePrevious;
    {
      detail::MutexLock lock(mutex);
      if (queue.empty()) {
        isScheduled = false;
        return;
      }
    }
    schedule();  // operations queued while this one ran; still counted as scheduled
  }

  static thread_local const Impl* current;
  // The thread's previous current executor, for the operation running inline (one at a time).
  const Impl* inlinePrevious = nullptr;

  detail::Mutex mutex;
  std::deque<std::function<void()>> queue RUNTIME_GUARDED_BY(mutex);
  // A drain job is queued or running.
  bool isScheduled RUNTIME_GUARDED_BY(mutex) = false;
};

thread_local const SerialExecutor::Impl* SerialExecutor::Impl::current = nullptr;

SerialExecutor::SerialExecutor() : impl_(std::make_shared<Impl>()) {}

SerialExecutor::~SerialExecutor() = default;

void SerialExecutor::post(std::function<void()> f) {
  enqueue([f = std::move(f)] {
    try {
      f();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "serial executor: operation ended by an uncaught exception: %s\n",
                   error.what());
    } catch (...) {
      std::fprintf(stderr,
                   "serial executor: operation ended by an uncaught exception of unknown type\n");
    }
  });
}

bool SerialExecutor::isCurrent() const {
  return Impl::current == impl_.get();
}

bool SerialExecutor::enterInline() { return impl_->enterInline(); }

void SerialExecutor::leaveInline() { impl_->leaveInline(); }

void SerialExecutor::enqueue(std::function<void()> operation) {
  impl_->enqueue(std::move(operation));
}

void SerialExecutor::assertNotInsideOwnOperation() const {
  if (isCurrent()) {
    detail::fatal(
        "SerialExecutor::run called from one of its own operations would wait for itself");
  }
}

}  // namespace platform
