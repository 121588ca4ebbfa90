#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "brisvane_export.h"

namespace platform {

using Duration = std::chrono::nanoseconds;
using TimePoint = std::chrono::time_point<std::chrono::steady_clock, Duration>;

// Monotonic time source behind main-loop timers and task sleeps. The process uses the real
// steady clock unless a test installs a VirtualClock.
//
// A timer or a sleep belongs to the clock that was current when it started: one started on the
// real clock keeps running in real time even if a test installs a virtual clock later, and one
// started on a virtual clock only ends when that clock is advanced (or its task is cancelled).
//
// Threads: now() may be called from any thread.
class BRISVANE_EXPORT Clock {
 public:
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
};

// The clock installed by the innermost ScopedClockOverride, or the real steady clock.
// Any thread.
BRISVANE_EXPORT Clock& currentClock();

// A clock that only moves when told to (tests only).
//
// Threads: now() and advance() may be called from any thread; advances are serialised.
// Destroying the clock abandons the timers still pending on it (their blocks are destroyed
// without running) and leaves task sleeps on it waiting until their task is cancelled.
class BRISVANE_EXPORT VirtualClock final : public Clock {
 public:
  VirtualClock();  // starts at an arbitrary fixed point
  ~VirtualClock() override;
  VirtualClock(const VirtualClock&) = delete;
  VirtualClock& operator=(const VirtualClock&) = delete;

  TimePoint now() const override;

  // Moves time forward. Before it returns, every task sleep whose deadline has passed has been
  // woken, and the main loop has been woken so that due timers run at its next pump.
  void advance(Duration d);

  // For tests that must know a background task has reached its sleep, or that a timer is set,
  // before they advance: the task sleeps on this clock whose deadline has not passed yet, and
  // the main-loop timers on this clock that have not run nor been cancelled.
  std::size_t sleepingTaskCount() const;
  std::size_t pendingTimerCount() const;

 private:
  std::atomic<std::int64_t> nanosecondsSinceEpoch_;
};

// Installs a clock for the lifetime of the guard (tests). Guards nest on one thread (the
// destructor restores the clock that was current at construction); they are not meant to be
// interleaved across threads. The clock must outlive the guard.
class BRISVANE_EXPORT ScopedClockOverride {
 public:
  explicit ScopedClockOverride(Clock& clock);
  ~ScopedClockOverride();
  ScopedClockOverride(const ScopedClockOverride&) = delete;
  ScopedClockOverride& operator=(const ScopedClockOverride&) = delete;

 private:
  Clock* previous_;
};

// Wall clock: seconds since 1970 as a double (the "Date" of the system). Any thread.
BRISVANE_EXPORT double currentTimeIntervalSince1970();

}  // namespace platform
