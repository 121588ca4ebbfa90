#pragma once

#include <functional>
#include <future>
#include <memory>
#include <type_traits>
#include <utility>

#include "platform/detail/task_runtime.h"

namespace platform {

// Runs submitted operations one at a time, in submission order, on threads of the shared pool
// (not a thread of its own). The role of an actor: state touched only by its operations needs
// no lock.
//
// Threads: run and post may be called from any thread except from inside one of this
// executor's own operations, where run would wait for itself (a fatal error). Operations still
// queued when the executor is destroyed still run; they must hold what they use.
class SerialExecutor {
 public:
  SerialExecutor();
  ~SerialExecutor();
  SerialExecutor(const SerialExecutor&) = delete;
  SerialExecutor& operator=(const SerialExecutor&) = delete;

  // Blocks until f has run on the executor; returns its result or rethrows its exception.
  template <class F>
  auto run(F&& f) -> std::invoke_result_t<F> {
    using Result = std::invoke_result_t<F>;
    assertNotInsideOwnOperation();
    // An idle executor runs the operation on the caller's thread: the caller blocks either way,
    // and the hop to a pool thread and back is most of the cost of a short operation. Order and
    // exclusion are the same, since the executor counts as busy until the operation returns.
    if (enterInline()) {
      InlineTurn turn(*this);
      return std::forward<F>(f)();
    }
    auto operation = std::make_shared<std::packaged_task<Result()>>(std::forward<F>(f));
    auto result = operation->get_future();
    enqueue([operation] { (*operation)(); });
    detail::BlockingScope blocked;
    return result.get();
  }

  // Fire-and-forget. An exception escaping f is written to standard error and dropped.
  void post(std::function<void()> f);

  // Whether the calling thread is running one of this executor's operations.
  bool isCurrent() const;

 private:
  struct Impl;
  // Claims an idle executor for an operation run on the calling thread.
  bool enterInline();
  // Gives it back, handing anything queued meanwhile to a pool thread.
  void leaveInline();
  struct InlineTurn {
    explicit InlineTurn(SerialExecutor& e) : executor(e) {}
    ~InlineTurn() { executor.leaveInline(); }
    SerialExecutor& executor;
  };
  void enqueue(std::function<void()> operation);  // operation must not throw
  void assertNotInsideOwnOperation() const;

  std::shared_ptr<Impl> impl_;
};

}  // namespace platform
