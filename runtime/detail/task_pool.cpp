#include "runtime/detail/task_pool.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

namespace platform::detail {

namespace {

// This many jobs without a pause is a burst (a flood of announcements starts one job each, and
// they queue up faster than they run). Their frames are freed once they have run, but the
// allocator keeps the pages; they are handed back whenever the queue runs dry after a burst.
constexpr std::size_t kBurstJobs = 1024;

// Whether any of these threads of this process is running or waiting for a processor (state R
// in /proc). Threads that have exited since the ids were taken are skipped. When /proc cannot be
// read, no thread is taken as runnable, so the watchdog still covers blocked jobs.
bool isAnyThreadRunnable(const std::vector<pid_t>& threadIds) {
  for (const pid_t id : threadIds) {
    std::ifstream stat("/proc/self/task/" + std::to_string(id) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    // The state follows the parenthesised command name, which may itself hold parentheses.
    const auto close = text.rfind(')');
    if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'R') {
      return true;
    }
  }
  return false;
}

thread_local TaskPool* currentPool = nullptr;
thread_local int blockingDepth = 0;

}  // namespace

TaskPool::TaskPool(Limits limits) : limits_(limits) {}

TaskPool& TaskPool::shared() {
  // Never destroyed: its threads may still be blocked in tasks when the process exits.
  static TaskPool* pool = new TaskPool(defaultLimits());
  return *pool;
}

TaskPool::Limits TaskPool::defaultLimits() {
  const std::size_t cores = std::max(2u, std::thread::hardware_concurrency());
  return Limits{std::max<std::size_t>(4, cores), std::max<std::size_t>(4, cores),
                std::chrono::milliseconds(5)};
}

void TaskPool::submit(std::function<void()> job) {
  bool wakeIdleThread = false;
  {
    MutexLock lock(mutex_);
    queue_.push_back(std::move(job));
    ++submittedSinceTrim_;
    if (idle_ >= queue_.size()) {
      wakeIdleThread = true;
    } else if (runningLocked() < limits_.runningLimit) {
      startThreadLocked();
    } else {
      if (!isWatchdogStarted_) {
        isWatchdogStarted_ = true;
        std::thread([this] { watchdogMain(); }).detach();
      }
      watchdogWakeup_.notify_one();
    }
  }
  // Woken after the lock is released, the idle thread does not block on it straight away.
  if (wakeIdleThread) workAvailable_.notify_one();
}

TaskPool::Stats TaskPool::stats() const {
  MutexLock lock(mutex_);
  return Stats{threads_, idle_, blocked_, queue_.size()};
}

bool TaskPool::isPoolThread() {
  return currentPool != nullptr;
}

void TaskPool::enterBlocking() {
  if (currentPool != nullptr && blockingDepth++ == 0) currentPool->blockingChanged(true);
}

void TaskPool::leaveBlocking() {
  if (currentPool != nullptr && --blockingDepth == 0) currentPool->blockingChanged(false);
}

void TaskPool::blockingChanged(bool entering) {
  MutexLock lock(mutex_);
  if (!entering) {
    --blocked_;
    return;
  }
  ++blocked_;
  if (isStarvingLocked() && runningLocked() < limits_.runningLimit) startThreadLocked();
}

void TaskPool::startThreadLocked() {
  ++threads_;
  try {
    std::thread([this] { workerMain(); }).detach();
  } catch (const std::system_error& error) {
    // The job stays queued; the next submit, blocking thread or the watchdog tries again.
    --threads_;
    std::fprintf(stderr, "task pool cannot start a thread: %s\n", error.what());
  }
}

void TaskPool::workerMain() {
  currentPool = this;
  const pid_t threadId = ::gettid();
  MutexLock lock(mutex_);
  workerIds_.push_back(threadId);
  for (;;) {
    if (queue_.empty() && submittedSinceTrim_ >= kBurstJobs && runningLocked() == 1) {
      submittedSinceTrim_ = 0;
      lock.unlock();
      ::malloc_trim(0);
      lock.lock();
      continue;
    }
    if (queue_.empty()) {
      if (idle_ >= limits_.idleLimit) break;
      ++idle_;
      while (queue_.empty()) lock.wait(workAvailable_);
      --idle_;
    }
    auto job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    job();
    job = nullptr;  // the job's captures go before the lock is taken again
    lock.lock();
    ++completed_;
  }
  --threads_;
  std::erase(workerIds_, threadId);
}

void TaskPool::watchdogMain() {
  MutexLock lock(mutex_);
  // Progress means a job finished: threads the watchdog started take jobs at once, and may
  // block in them just like the others. Each check that finds no progress starts twice as many
  // threads as the one before (up to what is queued), so a queue behind many invisibly blocked jobs
  // drains in a few checks.
  std::size_t burst = 1;
  for (;;) {
    while (!isStarvingLocked()) lock.wait(watchdogWakeup_);
    const auto seen = completed_;
    const auto deadline = std::chrono::steady_clock::now() + limits_.starvationCheck;
    while (isStarvingLocked() &&
           lock.waitUntil(watchdogWakeup_, deadline) == std::cv_status::no_timeout) {
    }
    if (!isStarvingLocked() || completed_ != seen) {
      burst = 1;
      continue;
    }
    // No job finished; a worker that is still running (or only waiting for a processor) will
    // finish one, so the queue is slow, not starved.
    const std::vector<pid_t> workers = workerIds_;
    lock.unlock();
    const bool isAnyWorkerRunnable = isAnyThreadRunnable(workers);
    lock.lock();
    if (isAnyWorkerRunnable || !isStarvingLocked() || completed_ != seen) {
      burst = 1;
      continue;
    }
    const std::size_t count = std::min(burst, queue_.size() - idle_);
    for (std::size_t i = 0; i < count; ++i) startThreadLocked();
    burst *= 2;
  }
}

}  // namespace platform::detail
