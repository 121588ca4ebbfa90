#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "platform/clock.h"
#include "platform/main_loop.h"

namespace platform::detail {

// A pending one-shot timer. Owned by the loop's timer list until it runs or is cancelled;
// TimerHandle refers to it weakly. Fields are guarded by the loop's mutex.
struct MainLoopTimer {
  MainLoop::Impl* loop;
  const Clock* clock;  // the clock it was set on
  TimePoint deadline;
  std::uint64_t sequence;  // orders timers with equal deadlines
  std::function<void()> block;
  bool isPending = true;
};

// A watched descriptor. Fields are guarded by the loop's mutex, except that the callback is
// called without the lock while isRunning is set (nothing replaces it meanwhile).
struct MainLoopFdWatch {
  MainLoop::Impl* loop;
  int fd;
  std::uint64_t id;
  std::function<void()> onReadable;
  bool isActive = true;
  bool isRunning = false;
  std::thread::id runningOn;
  std::condition_variable stoppedRunning;
};

}  // namespace platform::detail
