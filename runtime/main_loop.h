#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "brisvane_export.h"
#include "runtime/clock.h"

namespace platform {

namespace detail {
struct MainLoopTimer;
struct MainLoopFdWatch;
}  // namespace detail

// Cancels a one-shot main-loop timer. Copyable; every copy refers to the same timer, and
// cancel() is idempotent. Called on the main thread, cancel() guarantees the block will not run
// and frees it at once; called on another thread, a block that has already started runs to its
// end. Destroying a handle does not cancel the timer. Any thread.
class BRISVANE_EXPORT TimerHandle {
 public:
  TimerHandle() noexcept = default;  // refers to no timer; cancel() does nothing
  void cancel() const;

 private:
  friend class MainLoop;
  explicit TimerHandle(std::weak_ptr<detail::MainLoopTimer> timer) : timer_(std::move(timer)) {}
  std::weak_ptr<detail::MainLoopTimer> timer_;
};

// Watches a file descriptor for readability on the main loop. Move-only: destroying the handle
// (or cancel()) stops watching. After cancel() returns no callback starts; a callback running on
// the main thread at that moment is waited for, unless cancel() is called from inside it. The
// descriptor itself is not closed. Any thread.
// Results of this type must not be dropped: the attribute sits on a declaration of its own,
// since it cannot follow the export mark.
class [[nodiscard]] FdWatch;
class BRISVANE_EXPORT FdWatch {
 public:
  FdWatch() noexcept = default;
  FdWatch(FdWatch&& other) noexcept = default;
  FdWatch& operator=(FdWatch&& other) noexcept;
  ~FdWatch();
  FdWatch(const FdWatch&) = delete;
  FdWatch& operator=(const FdWatch&) = delete;

  void cancel();
  explicit operator bool() const noexcept { return static_cast<bool>(watch_); }

 private:
  friend class MainLoop;
  explicit FdWatch(std::shared_ptr<detail::MainLoopFdWatch> watch) : watch_(std::move(watch)) {}
  std::shared_ptr<detail::MainLoopFdWatch> watch_;
};

// The process's main loop ("main queue"/"main run loop"): a serial queue of blocks, timers and
// file-descriptor callbacks that runs on the thread that pumps it. The main thread is the
// process's initial thread; only it may pump (run, runPending, runUntil, dispatch). The loop is
// an sd-event loop; a host with a loop of its own nests it there through fd() and dispatch().
//
// Threads: post, postAfter, stop, isMainThread, fd and watchReadable may be called from any
// thread.
// Every block, timer and fd callback runs on the main thread, one at a time. Blocks posted from
// one thread run in the order they were posted. Timers run in deadline order (posting order for
// equal deadlines), on the clock that was current when they were set.
//
// An idle loop (nothing queued, no timer pending on the real clock, no ready descriptor) blocks
// without any timed wake-up.
//
// Owners: posted blocks and timers should not keep their owner alive. The overloads taking a
// std::weak_ptr do the check where the block runs: when the owner is gone, the block's body is
// skipped and the block is destroyed.
class BRISVANE_EXPORT MainLoop {
 public:
  static MainLoop& main();

  void post(std::function<void()> block);

  // One-shot timer on the current Clock; the handle cancels it (destroying the handle does NOT
  // cancel: timers are fire-and-forget unless cancelled explicitly).
  TimerHandle postAfter(Duration delay, std::function<void()> block);

  // Runs block(owner) on the main thread if the owner still exists then.
  template <class Owner, class F>
  void post(std::weak_ptr<Owner> owner, F&& block) {
    post(weakly(std::move(owner), std::forward<F>(block)));
  }
  template <class Owner, class F>
  TimerHandle postAfter(Duration delay, std::weak_ptr<Owner> owner, F&& block) {
    return postAfter(delay, weakly(std::move(owner), std::forward<F>(block)));
  }

  bool isMainThread() const;

  // Pumping (main thread only; calling these on another thread is a fatal error):
  // Runs until stop(). A stop() that arrives while the loop is not running makes the next run()
  // return once it has run what is ready.
  void run();
  void stop();  // any thread
  // Runs ready blocks, due timers and ready fd callbacks until none is left (work they post
  // runs too), without blocking; returns how many ran.
  std::size_t runPending();
  // Pumps until pred() is true or the (real-time) timeout passes; returns pred(). pred runs on
  // the main thread between blocks; it is also re-checked every millisecond so that it may
  // depend on state changed by other threads.
  bool runUntil(const std::function<bool()>& pred, Duration timeout);

  // Nesting in a host's own loop (GLib, Qt, libuv, poll()): fd() is a descriptor that becomes
  // readable (POLLIN) when the loop has work: a posted block, a real-clock timer come due, a
  // watched descriptor ready, a virtual clock advanced. The host watches it and, when it is
  // readable, calls dispatch() on the main thread, which runs what is ready without blocking
  // (as runPending() does). Nothing else is needed: between dispatches the descriptor stays
  // correct, and a timer set from any thread makes it readable when due. fd() is valid for the
  // life of the process; the host must not read it, close it or wait on it in another thread.
  // Any thread may call fd(). Hosts call dispatch(); runPending() is the same pump that also
  // says how many callbacks ran.
  int fd() const;
  void dispatch();

  // File-descriptor readiness on the main loop (level-triggered; used by inotify watchers). The
  // callback runs on the main thread while the descriptor stays readable; destroying the
  // returned handle stops watching. Throws std::system_error when the descriptor cannot be
  // watched (for example when it is already watched).
  [[nodiscard]] FdWatch watchReadable(int fd, std::function<void()> onReadable);

  // Implementation; only main() constructs one.
  struct Impl;
  explicit MainLoop(std::unique_ptr<Impl> impl);
  ~MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

 private:
  template <class Owner, class F>
  static std::function<void()> weakly(std::weak_ptr<Owner> owner, F&& block) {
    static_assert(std::is_invocable_v<std::decay_t<F>&, Owner&>,
                  "a weakly held block takes its owner by reference");
    return [owner = std::move(owner), block = std::forward<F>(block)]() mutable {
      if (auto strong = owner.lock()) block(*strong);
    };
  }

  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
