#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "runtime/runtime_mutex.h"

namespace platform::detail {

// The shared concurrent executor behind Task::detached and SerialExecutor.
//
// Jobs may block their thread for hours (task sleeps, stream waits), so the pool never lets a
// queued job wait for a blocked thread:
// - a job is handed to an idle thread when there is one;
// - otherwise a new thread starts at once, as long as fewer than runningLimit threads are
//   running (busy and not inside a BlockingScope);
// - beyond that, a watchdog starts more threads whenever no job has finished for
//   starvationCheck and none of the pool's threads is running or ready to run (one, then twice
//   as many at each check that still sees none), which covers jobs that block in ways the pool
//   cannot see. A thread that is only waiting for a processor on a loaded machine is not
//   blocked, so load alone never grows the pool.
// Idle threads wait without a timeout; at most idleLimit of them are kept and the rest exit.
// The watchdog waits without a timeout while nothing is queued, so an idle pool never wakes up.
//
// Threads: submit and stats from any thread; enterBlocking/leaveBlocking from pool threads.
// The shared instance lives until the process exits.
class TaskPool {
 public:
  struct Limits {
    std::size_t runningLimit;
    std::size_t idleLimit;
    std::chrono::milliseconds starvationCheck;
  };
  struct Stats {
    std::size_t threads;
    std::size_t idle;
    std::size_t blocked;
    std::size_t queued;
  };

  explicit TaskPool(Limits limits);
  TaskPool(const TaskPool&) = delete;
  TaskPool& operator=(const TaskPool&) = delete;
  // A pool is never destroyed while it has threads: the shared one never is.

  static TaskPool& shared();
  static Limits defaultLimits();

  // Jobs must not throw.
  void submit(std::function<void()> job);
  Stats stats() const;

  // Whether the calling thread belongs to some pool (then the calls below apply to it).
  static bool isPoolThread();
  static void enterBlocking();
  static void leaveBlocking();

 private:
  std::size_t runningLocked() const RUNTIME_REQUIRES(mutex_) { return threads_ - idle_ - blocked_; }
  bool isStarvingLocked() const RUNTIME_REQUIRES(mutex_) { return queue_.size() > idle_; }
  void startThreadLocked() RUNTIME_REQUIRES(mutex_);
  void workerMain();
  void watchdogMain();
  void blockingChanged(bool entering);

  const Limits limits_;
  mutable Mutex mutex_;
  std::condition_variable workAvailable_;
  std::condition_variable watchdogWakeup_;
  std::deque<std::function<void()>> queue_ RUNTIME_GUARDED_BY(mutex_);
  std::size_t threads_ RUNTIME_GUARDED_BY(mutex_) = 0;
  std::size_t idle_ RUNTIME_GUARDED_BY(mutex_) = 0;
  std::size_t blocked_ RUNTIME_GUARDED_BY(mutex_) = 0;
  std::uint64_t completed_ RUNTIME_GUARDED_BY(mutex_) = 0;
  bool isWatchdogStarted_ RUNTIME_GUARDED_BY(mutex_) = false;
  // Kernel thread ids of the worker threads, for the watchdog's look at their scheduling state.
  std::vector<pid_t> workerIds_ RUNTIME_GUARDED_BY(mutex_);
  // Jobs submitted since the allocator last gave memory back; after a burst's worth, the thread
  // that finds the queue empty with no other thread running does that (see workerMain).
  std::size_t submittedSinceTrim_ RUNTIME_GUARDED_BY(mutex_) = 0;
};

}  // namespace platform::detail
