#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "brisvane_export.h"

namespace platform {

// Runs submitted operations one at a time, in submission order, without a thread of its own.
// The role of an actor: state touched only by its operations needs no lock.
//
// run() executes its operation on the calling thread once every operation submitted before it
// has finished; the caller waits for its turn rather than for a pool thread. Posted operations
// run on a pool thread, or on the thread of a run() caller whose turn comes after them. Since a
// thread waiting in run() always waits for a thread that is running (never for a pool thread
// still to be found), any number of callers can wait without the pool growing for them.
//
// Threads: run and post may be called from any thread except from inside one of this
// executor's own operations, where run would wait for itself (a fatal error). Operations still
// queued when the executor is destroyed still run; they must hold what they use.
class BRISVANE_EXPORT SerialExecutor {
 public:
  SerialExecutor();
  ~SerialExecutor();
  SerialExecutor(const SerialExecutor&) = delete;
  SerialExecutor& operator=(const SerialExecutor&) = delete;

  // Blocks until f has run on the executor; returns its result or rethrows its exception.
  template <class F>
  auto run(F&& f) -> std::invoke_result_t<F> {
    assertNotInsideOwnOperation();
    const Turn turn(*this);
    return std::forward<F>(f)();
  }

  // Fire-and-forget. An exception escaping f is written to standard error and dropped.
  void post(std::function<void()> f);

  // Whether the calling thread is running one of this executor's operations.
  bool isCurrent() const;

 private:
  struct Impl;

  // Holds the executor for the calling thread from construction (once everything submitted
  // before has run) to destruction (which hands it to whatever queued meanwhile).
  class Turn {
   public:
    explicit Turn(SerialExecutor& executor);
    ~Turn();
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

   private:
    Impl& impl_;
    const Impl* previous_;
  };

  void assertNotInsideOwnOperation() const;

  std::shared_ptr<Impl> impl_;
};

}  // namespace platform
