#include "runtime/task.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <utility>
#include <vector>

#include "runtime/clock.h"
#include "runtime/detail/runtime_clock.h"
#include "runtime/detail/runtime_fatal.h"
#include "runtime/detail/task_pool.h"
#include "runtime/runtime_mutex.h"
#include "runtime/task_runtime.h"

namespace platform {

namespace detail {

struct TaskState {
  std::atomic<bool> isCancelled{false};
  Mutex mutex;
  // Wakes Task::sleep; notified on cancellation and by virtual-time advances.
  std::condition_variable wakeup;
  std::condition_variable finished;
  bool isFinished RUNTIME_GUARDED_BY(mutex) = false;
  // Cancellation hooks run under mutex, so that removing one waits for it to finish.
  std::vector<std::pair<std::uint64_t, std::function<void()>>> hooks RUNTIME_GUARDED_BY(mutex);
  std::uint64_t nextHookId RUNTIME_GUARDED_BY(mutex) = 1;
};

}  // namespace detail

namespace {

using detail::TaskState;

thread_local TaskState* currentTask = nullptr;

// Sleeps outside any task wait on a state of their own that nobody cancels.
TaskState& threadSleepState() {
  thread_local TaskState state;
  return state;
}

// Sleeps on virtual clocks, woken by VirtualClock::advance. Guarded by virtualTimeMutex().
struct VirtualSleep {
  const Clock* clock;  // nullptr once the clock is gone
  TimePoint deadline;
  TaskState* task;
  bool isDue = false;  // written with both virtualTimeMutex() and task->mutex held
};

std::vector<VirtualSleep*>& virtualSleeps() {
  static auto* sleeps = new std::vector<VirtualSleep*>;  // outlives pool threads at exit
  return *sleeps;
}

// Long enough for any real use, short enough to add to any clock reading without overflow.
constexpr Duration kLongestSleep = std::chrono::hours(24 * 365 * 100);

void cancelTask(TaskState& task) {
  if (task.isCancelled.exchange(true, std::memory_order_acq_rel)) return;
  detail::MutexLock lock(task.mutex);
  for (auto& hook : task.hooks) hook.second();
  task.wakeup.notify_all();
}

void runTask(TaskState& task, std::function<void()>& body) {
  currentTask = &task;
  try {
    body();
  } catch (const TaskCancelled&) {
    // Ending by cancellation is the normal way out of a cancelled task.
  } catch (const std::exception& error) {
    std::fprintf(stderr, "task ended by an uncaught exception: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "task ended by an uncaught exception of unknown type\n");
  }
  body = nullptr;
  currentTask = nullptr;
  {
    detail::MutexLock lock(task.mutex);
    task.isFinished = true;
  }
  task.finished.notify_all();
}

}  // namespace

namespace detail {

void wakeVirtualSleeps(const Clock& clock, TimePoint now) {
  for (VirtualSleep* sleep : virtualSleeps()) {
    if (sleep->clock != &clock || sleep->isDue || sleep->deadline > now) continue;
    MutexLock lock(sleep->task->mutex);
    sleep->isDue = true;
    sleep->task->wakeup.notify_all();
  }
}

void detachVirtualSleeps(const Clock& clock) {
  for (VirtualSleep* sleep : virtualSleeps()) {
    if (sleep->clock == &clock) sleep->clock = nullptr;
  }
}

std::size_t countVirtualSleeps(const Clock& clock) {
  return static_cast<std::size_t>(std::count_if(
      virtualSleeps().begin(), virtualSleeps().end(), [&clock](const VirtualSleep* sleep) {
        // A cancelled sleep is on its way out and no longer waits for time.
        return sleep->clock == &clock && !sleep->isDue &&
               !sleep->task->isCancelled.load(std::memory_order_acquire);
      }));
}

}  // namespace detail

namespace core {

using detail::MutexLock;
using detail::TaskPool;

BlockingScope::BlockingScope() : counted_(TaskPool::isPoolThread()) {
  if (counted_) TaskPool::enterBlocking();
}

BlockingScope::~BlockingScope() {
  if (counted_) TaskPool::leaveBlocking();
}

CancellationHook::CancellationHook(std::function<void()> onCancel) {
  detail::TaskState* task = currentTask;
  if (task == nullptr) return;
  MutexLock lock(task->mutex);
  if (task->isCancelled.load(std::memory_order_acquire)) return;
  task_ = task;
  id_ = task->nextHookId++;
  task->hooks.emplace_back(id_, std::move(onCancel));
}

CancellationHook::~CancellationHook() {
  if (task_ == nullptr) return;
  std::function<void()> removed;
  MutexLock lock(task_->mutex);
  auto it = std::find_if(task_->hooks.begin(), task_->hooks.end(),
                         [this](const auto& hook) { return hook.first == id_; });
  if (it != task_->hooks.end()) {
    removed = std::move(it->second);
    task_->hooks.erase(it);
  }
}

void submitToPool(std::function<void()> job) {
  TaskPool::shared().submit(std::move(job));
}

}  // namespace core

const char* TaskCancelled::what() const noexcept {
  return "task cancelled";
}

void TaskHandle::cancel() const {
  if (state_) cancelTask(*state_);
}

bool TaskHandle::isCancelled() const {
  return state_ && state_->isCancelled.load(std::memory_order_acquire);
}

bool TaskHandle::isFinished() const {
  if (!state_) return true;
  detail::MutexLock lock(state_->mutex);
  return state_->isFinished;
}

void TaskHandle::wait() const {
  if (!state_) return;
  if (currentTask == state_.get()) detail::fatal("a task cannot wait for itself to finish");
  detail::BlockingScope blocked;
  detail::MutexLock lock(state_->mutex);
  while (!state_->isFinished) lock.wait(state_->finished);
}

TaskHandle Task::detached(std::function<void()> body) {
  if (!body) detail::fatal("Task::detached needs a body");
  auto state = std::make_shared<TaskState>();
  detail::TaskPool::shared().submit(
      [state, body = std::move(body)]() mutable { runTask(*state, body); });
  return TaskHandle(std::move(state));
}

bool Task::isCancelled() {
  return currentTask != nullptr && currentTask->isCancelled.load(std::memory_order_acquire);
}

void Task::checkCancellation() {
  if (isCancelled()) throw TaskCancelled();
}

void Task::sleep(std::uint64_t nanoseconds) {
  checkCancellation();
  if (nanoseconds == 0) return;
  TaskState& task = currentTask != nullptr ? *currentTask : threadSleepState();
  const Duration duration = nanoseconds >= static_cast<std::uint64_t>(kLongestSleep.count())
                                ? kLongestSleep
                                : Duration(static_cast<Duration::rep>(nanoseconds));
  const Clock& clock = currentClock();
  detail::BlockingScope blocked;
  if (detail::isRealClock(clock)) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    detail::MutexLock lock(task.mutex);
    while (!task.isCancelled.load() &&
           lock.waitUntil(task.wakeup, deadline) == std::cv_status::no_timeout) {
    }
  } else {
    VirtualSleep sleep{&clock, TimePoint(), &task};
    {
      detail::MutexLock lock(detail::virtualTimeMutex());
      sleep.deadline = clock.now() + duration;
      virtualSleeps().push_back(&sleep);
    }
    {
      detail::MutexLock lock(task.mutex);
      while (!sleep.isDue && !task.isCancelled.load()) lock.wait(task.wakeup);
    }
    detail::MutexLock lock(detail::virtualTimeMutex());
    auto& sleeps = virtualSleeps();
    sleeps.erase(std::find(sleeps.begin(), sleeps.end(), &sleep));
  }
  checkCancellation();
}

}  // namespace platform
