#include "runtime/serial_executor.h"

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>

#include "runtime/detail/runtime_fatal.h"
#include "runtime/runtime_mutex.h"
#include "runtime/task_runtime.h"

namespace platform {

namespace {

// Posted operations run by one pool job before it hands the thread back, so that a busy
// executor does not hold on to a pool thread for ever.
constexpr int kOperationsPerTurn = 64;

}  // namespace

struct BRISVANE_NO_EXPORT SerialExecutor::Impl : std::enable_shared_from_this<Impl> {
  // A run() caller waiting for its turn; lives on that caller's stack.
  struct Waiter {
    std::condition_variable granted;
    bool isGranted = false;
  };

  // Either a posted operation or a run() caller's place in line.
  struct Entry {
    std::function<void()> posted;
    Waiter* waiter = nullptr;
  };

  enum class Owner {
    none,          // idle: the queue is empty
    thread,        // a run() caller holds it (running, or running the posted entries ahead of it)
    pendingDrain,  // a pool job was asked to run the queued posted entries (none are waiters)
    draining,      // that pool job is running them
  };

  // Blocks until the calling thread holds the executor with every earlier entry done.
  void acquire() {
    detail::MutexLock lock(mutex);
    switch (owner) {
      case Owner::none:
        owner = Owner::thread;
        return;
      case Owner::pendingDrain:
        // Everything queued is posted and nobody runs it yet: run it here rather than wait for
        // a pool thread, and let the pool job find nothing to do.
        // Callers arriving meanwhile queue behind this one.
        owner = Owner::thread;
        ++drainGeneration;
        for (std::size_t ahead = queue.size(); ahead > 0; --ahead) runFrontLocked();
        return;
      case Owner::thread:
      case Owner::draining:
        break;
    }
    Waiter self;
    queue.push_back(Entry{nullptr, &self});
    ++waitersQueued;
    while (!self.isGranted) lock.wait(self.granted);
    // Granted: only posted entries can be ahead of this one.
    while (queue.front().waiter != &self) runFrontLocked();
    queue.pop_front();
    --waitersQueued;
  }

  void release() {
    detail::MutexLock lock(mutex);
    handOffLocked();
  }

  void post(std::function<void()> operation) {
    detail::MutexLock lock(mutex);
    queue.push_back(Entry{std::move(operation), nullptr});
    if (owner == Owner::none) scheduleDrainLocked();
  }

  // Runs the posted entry at the front of the queue, with the lock released meanwhile.
  void runFrontLocked() RUNTIME_REQUIRES(mutex) {
    std::function<void()> operation = std::move(queue.front().posted);
    queue.pop_front();
    mutex.unlock();
    const Impl* previous = current;
    current = this;
    operation();  // wrapped by post(): never throws
    operation = nullptr;
    current = previous;
    mutex.lock();
  }

  // Called by the holder when it is done: the executor goes to the first waiting caller (who
  // runs any posted entries ahead of it), else to a pool job for the posted entries, else idle.
  void handOffLocked() RUNTIME_REQUIRES(mutex) {
    if (queue.empty()) {
      owner = Owner::none;
      return;
    }
    if (waitersQueued == 0) {
      scheduleDrainLocked();
      return;
    }
    owner = Owner::thread;
    for (Entry& entry : queue) {
      if (entry.waiter == nullptr) continue;
      entry.waiter->isGranted = true;
      // Under the lock: once it sees isGranted the waiter may return and destroy the variable.
      entry.waiter->granted.notify_one();
      return;
    }
  }

  void scheduleDrainLocked() RUNTIME_REQUIRES(mutex) {
    owner = Owner::pendingDrain;
    const std::uint64_t generation = ++drainGeneration;
    detail::submitToPool([self = shared_from_this(), generation] { self->drain(generation); });
  }

  void drain(std::uint64_t generation) {
    detail::MutexLock lock(mutex);
    if (owner != Owner::pendingDrain || generation != drainGeneration) return;  // taken over
    owner = Owner::draining;
    for (int turn = 0; turn < kOperationsPerTurn; ++turn) {
      if (queue.empty() || queue.front().waiter != nullptr) break;
      runFrontLocked();
    }
    handOffLocked();
  }

  static thread_local const Impl* current;

  detail::Mutex mutex;
  std::deque<Entry> queue RUNTIME_GUARDED_BY(mutex);
  Owner owner RUNTIME_GUARDED_BY(mutex) = Owner::none;
  std::size_t waitersQueued RUNTIME_GUARDED_BY(mutex) = 0;
  // Tells a scheduled pool job whether it is still the one meant to drain.
  std::uint64_t drainGeneration RUNTIME_GUARDED_BY(mutex) = 0;
};

thread_local const SerialExecutor::Impl* SerialExecutor::Impl::current = nullptr;

SerialExecutor::SerialExecutor() : impl_(std::make_shared<Impl>()) {}

SerialExecutor::~SerialExecutor() = default;

SerialExecutor::Turn::Turn(SerialExecutor& executor) : impl_(*executor.impl_) {
  impl_.acquire();
  previous_ = Impl::current;
  Impl::current = &impl_;
}

SerialExecutor::Turn::~Turn() {
  Impl::current = previous_;
  impl_.release();
}

void SerialExecutor::post(std::function<void()> f) {
  impl_->post([f = std::move(f)] {
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

void SerialExecutor::assertNotInsideOwnOperation() const {
  if (isCurrent()) {
    detail::fatal(
        "SerialExecutor::run called from one of its own operations would wait for itself");
  }
}

}  // namespace platform
