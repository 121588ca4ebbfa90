#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// A std::mutex that clang's thread-safety analysis can follow, for the task runtime and the
// main loop. Condition-variable waits go through the scoped lock, so the analysis sees the lock
// held across them (which it is, on return).

#if defined(__clang__)
#define RUNTIME_CAPABILITY(x) __attribute__((capability(x)))
#define RUNTIME_SCOPED_CAPABILITY __attribute__((scoped_lockable))
#define RUNTIME_GUARDED_BY(x) __attribute__((guarded_by(x)))
#define RUNTIME_ACQUIRE(...) __attribute__((acquire_capability(__VA_ARGS__)))
#define RUNTIME_RELEASE(...) __attribute__((release_capability(__VA_ARGS__)))
#define RUNTIME_REQUIRES(...) __attribute__((requires_capability(__VA_ARGS__)))
#define RUNTIME_EXCLUDES(...) __attribute__((locks_excluded(__VA_ARGS__)))
#else
#define RUNTIME_CAPABILITY(x)
#define RUNTIME_SCOPED_CAPABILITY
#define RUNTIME_GUARDED_BY(x)
#define RUNTIME_ACQUIRE(...)
#define RUNTIME_RELEASE(...)
#define RUNTIME_REQUIRES(...)
#define RUNTIME_EXCLUDES(...)
#endif

namespace platform::detail {

class RUNTIME_CAPABILITY("mutex") Mutex {
 public:
  void lock() RUNTIME_ACQUIRE() { mutex_.lock(); }
  void unlock() RUNTIME_RELEASE() { mutex_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds a Mutex for its scope; unlock() and lock() let a scope drop it for a while.
class RUNTIME_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) RUNTIME_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RUNTIME_RELEASE() {
    if (isHeld_) mutex_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() RUNTIME_RELEASE() {
    isHeld_ = false;
    mutex_.unlock();
  }
  void lock() RUNTIME_ACQUIRE() {
    mutex_.lock();
    isHeld_ = true;
  }

  // One wait (spurious wake-ups included): callers loop on their condition, which the analysis
  // can then check against the lock.
  void wait(std::condition_variable& condition) {
    std::unique_lock native(mutex_.mutex_, std::adopt_lock);
    condition.wait(native);
    native.release();
  }
  template <class Clock, class Duration>
  std::cv_status waitUntil(std::condition_variable& condition,
                           std::chrono::time_point<Clock, Duration> deadline) {
    std::unique_lock native(mutex_.mutex_, std::adopt_lock);
    const auto status = condition.wait_until(native, deadline);
    native.release();
    return status;
  }

 private:
  Mutex& mutex_;
  bool isHeld_ = true;
};

}  // namespace platform::detail
