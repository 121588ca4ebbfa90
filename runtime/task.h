#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "brisvane_export.h"

namespace platform {

namespace detail {
struct TaskState;
}  // namespace detail

// Raised by Task::sleep and Task::checkCancellation in a cancelled task. A task body that lets
// it escape simply ends.
struct BRISVANE_EXPORT TaskCancelled : std::exception {
  const char* what() const noexcept override;
};

// Handle of a background task on the shared executor. Copyable; does not keep anything else
// alive (the body is destroyed when it returns, whether or not handles remain). Any thread.
class BRISVANE_EXPORT TaskHandle {
 public:
  TaskHandle() noexcept = default;  // refers to no task: finished, never cancelled

  // Marks the task cancelled and wakes it from Task::sleep and AsyncStream::next. Idempotent.
  void cancel() const;
  bool isCancelled() const;
  bool isFinished() const;
  // Blocks until the body returned (tests). Calling it from the task itself is a fatal error.
  void wait() const;

  explicit operator bool() const noexcept { return static_cast<bool>(state_); }

 private:
  friend class Task;
  explicit TaskHandle(std::shared_ptr<detail::TaskState> state) : state_(std::move(state)) {}
  std::shared_ptr<detail::TaskState> state_;
};

// Background tasks on the shared concurrent executor: a pool of threads that grows when every
// thread is busy or blocked, so hour-long sleeps and stream waits never starve short tasks.
// Idle threads park without timed wake-ups; a bounded number of them is kept.
//
// A body runs even when its task was cancelled before it started (it can test isCancelled()).
// An exception escaping a body ends the task: TaskCancelled silently, anything else with a line
// on standard error. It never reaches the process.
class BRISVANE_EXPORT Task {
 public:
  // Starts body on the shared concurrent executor. Any thread.
  static TaskHandle detached(std::function<void()> body);

  // Starts body(owner) if the owner still exists when the task starts running; the task holds
  // the owner weakly until then and strongly for the duration of the body. Long-running bodies
  // that must not keep their owner alive should take a std::weak_ptr and lock it per step.
  template <class Owner, class F>
  static TaskHandle detached(std::weak_ptr<Owner> owner, F&& body) {
    static_assert(std::is_invocable_v<std::decay_t<F>&, Owner&>,
                  "a weakly held task body takes its owner by reference");
    return detached([owner = std::move(owner), body = std::forward<F>(body)]() mutable {
      if (auto strong = owner.lock()) body(*strong);
    });
  }

  // Of the current task; false outside tasks.
  static bool isCancelled();
  // Throws TaskCancelled when the current task is cancelled.
  static void checkCancellation();
  // Sleeps on the current Clock; throws TaskCancelled at once when the task is (or gets)
  // cancelled. Outside a task it sleeps the calling thread and cannot be cancelled.
  static void sleep(std::uint64_t nanoseconds);
};

}  // namespace platform
