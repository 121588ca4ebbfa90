#pragma once

#include <cstddef>

#include "runtime/clock.h"
#include "runtime/runtime_mutex.h"

// Links between the clocks and what waits on them (task sleeps, main-loop timers).

namespace platform::detail {

// The real steady clock, current unless a test installs another one.
Clock& realClock();
inline bool isRealClock(const Clock& clock) {
  return &clock == &realClock();
}

// Serialises virtual-time advances with the registration of sleeps on virtual clocks, so that
// no sleep reads the time, misses an advance and then waits for a deadline already passed.
// Taken before any task's own mutex.
Mutex& virtualTimeMutex();

// Called by VirtualClock::advance with virtualTimeMutex() held: wakes the sleeps on `clock`
// whose deadline is at or before `now`.
void wakeVirtualSleeps(const Clock& clock, TimePoint now);
// Called by ~VirtualClock with virtualTimeMutex() held: the sleeps still on `clock` are no
// longer tied to it (they wait until their task is cancelled).
void detachVirtualSleeps(const Clock& clock);
// With virtualTimeMutex() held: the sleeps on `clock` not yet woken by an advance.
std::size_t countVirtualSleeps(const Clock& clock);

// Wakes the main loop, if it exists, so that its next pump looks at the timers again.
void wakeMainLoopForTimers();
// Destroys, without running them, the main-loop timers still pending on `clock`.
void abandonMainLoopTimers(const Clock& clock);
// The main-loop timers still pending on `clock`.
std::size_t countMainLoopTimers(const Clock& clock);

}  // namespace platform::detail
