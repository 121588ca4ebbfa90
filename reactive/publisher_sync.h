#pragma once

#include <atomic>
#include <thread>

// Clang's thread-safety annotations for the publisher library's locks; empty elsewhere.
#if defined(__clang__)
#define PUBLISHER_CAPABILITY(x) __attribute__((capability(x)))
#define PUBLISHER_SCOPED_CAPABILITY __attribute__((scoped_lockable))
#define PUBLISHER_GUARDED_BY(x) __attribute__((guarded_by(x)))
#define PUBLISHER_ACQUIRE(...) __attribute__((acquire_capability(__VA_ARGS__)))
#define PUBLISHER_TRY_ACQUIRE(...) __attribute__((try_acquire_capability(__VA_ARGS__)))
#define PUBLISHER_RELEASE(...) __attribute__((release_capability(__VA_ARGS__)))
#define PUBLISHER_REQUIRES(...) __attribute__((requires_capability(__VA_ARGS__)))
#else
#define PUBLISHER_CAPABILITY(x)
#define PUBLISHER_SCOPED_CAPABILITY
#define PUBLISHER_GUARDED_BY(x)
#define PUBLISHER_ACQUIRE(...)
#define PUBLISHER_TRY_ACQUIRE(...)
#define PUBLISHER_RELEASE(...)
#define PUBLISHER_REQUIRES(...)
#endif

namespace platform::detail {

// A test-and-test-and-set lock for the few instructions a subject or a delivery queue spends
// under it. Uncontended, lock() is one atomic exchange and unlock() a plain release store, much
// cheaper than a std::mutex. A waiter spins briefly and then yields, so a holder that was
// preempted gets the processor back. Never hold one across a call into other components.
class PUBLISHER_CAPABILITY("mutex") SpinLock {
 public:
  void lock() noexcept PUBLISHER_ACQUIRE() {
    if (!locked_.exchange(true, std::memory_order_acquire)) return;
    lockSlow();
  }
  bool try_lock() noexcept PUBLISHER_TRY_ACQUIRE(true) {
    return !locked_.load(std::memory_order_relaxed) &&
           !locked_.exchange(true, std::memory_order_acquire);
  }
  void unlock() noexcept PUBLISHER_RELEASE() { locked_.store(false, std::memory_order_release); }

 private:
  void lockSlow() noexcept {
    for (unsigned spins = 0;; ++spins) {
      if (!locked_.load(std::memory_order_relaxed) &&
          !locked_.exchange(true, std::memory_order_acquire)) {
        return;
      }
      if (spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
      } else {
        std::this_thread::yield();
      }
    }
  }

  std::atomic<bool> locked_{false};
};

class PUBLISHER_SCOPED_CAPABILITY SpinLockGuard {
 public:
  explicit SpinLockGuard(SpinLock& lock) noexcept PUBLISHER_ACQUIRE(lock) : lock_(lock) {
    lock_.lock();
  }
  ~SpinLockGuard() PUBLISHER_RELEASE() { lock_.unlock(); }
  SpinLockGuard(const SpinLockGuard&) = delete;
  SpinLockGuard& operator=(const SpinLockGuard&) = delete;

 private:
  SpinLock& lock_;
};

}  // namespace platform::detail
