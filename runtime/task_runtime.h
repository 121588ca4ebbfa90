#pragma once

#include <cstdint>
#include <functional>

#include "brisvane_export.h"

// Hooks of the task runtime for the blocking primitives built on it (AsyncStream,
// SerialExecutor). Public only because those templates are compiled into their users; not for
// use outside runtime/.

namespace platform::detail {
struct TaskState;
}  // namespace platform::detail

namespace platform::core {

// Marks the calling thread as blocked for the lifetime of the object. On a pool thread this lets
// the pool start another thread at once if work is waiting, instead of waiting for its
// starvation check. Elsewhere it does nothing. Scopes may nest.
class BRISVANE_EXPORT BlockingScope {
 public:
  BlockingScope();
  ~BlockingScope();
  BlockingScope(const BlockingScope&) = delete;
  BlockingScope& operator=(const BlockingScope&) = delete;

 private:
  bool counted_;
};

// Runs onCancel (on the cancelling thread) when the current task gets cancelled while the hook
// exists. Outside a task, and for a task already cancelled when the hook is made, onCancel never
// runs: the caller tests Task::isCancelled() under its own lock after making the hook. Once the
// destructor has returned, onCancel is not running and will not start. onCancel must not
// destroy the hook or cancel tasks.
class BRISVANE_EXPORT CancellationHook {
 public:
  explicit CancellationHook(std::function<void()> onCancel);
  ~CancellationHook();
  CancellationHook(const CancellationHook&) = delete;
  CancellationHook& operator=(const CancellationHook&) = delete;

 private:
  detail::TaskState* task_ = nullptr;
  std::uint64_t id_ = 0;
};

// Runs job on a pool thread (no task context: Task::isCancelled() is false there). Jobs must
// not throw.
BRISVANE_EXPORT void submitToPool(std::function<void()> job);

}  // namespace platform::core

namespace platform::detail {
using core::BlockingScope;
using core::CancellationHook;
using core::submitToPool;
}  // namespace platform::detail
