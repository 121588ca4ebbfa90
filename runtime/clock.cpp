#include "runtime/clock.h"

#include <cstdio>
#include <cstdlib>

#include "runtime/detail/runtime_clock.h"
#include "runtime/detail/runtime_fatal.h"

namespace platform {

namespace {

class SteadyClock final : public Clock {
 public:
  TimePoint now() const override {
    return std::chrono::time_point_cast<Duration>(std::chrono::steady_clock::now());
  }
};

// Never destroyed: pool threads may still read the clock while the process exits.
SteadyClock& steadyClock() {
  static auto* clock = new SteadyClock;
  return *clock;
}

std::atomic<Clock*> installedClock{nullptr};

// Far from the real clock's values, so that a virtual deadline is never mistaken for a real one
// while reading logs or a debugger.
constexpr std::int64_t kVirtualEpochNanoseconds = std::int64_t{1} << 60;

}  // namespace

namespace detail {

Clock& realClock() {
  return steadyClock();
}

Mutex& virtualTimeMutex() {
  static auto* mutex = new Mutex;
  return *mutex;
}

void fatal(const char* message) {
  std::fprintf(stderr, "fatal: %s\n", message);
  std::fflush(stderr);
  std::abort();
}

}  // namespace detail

Clock& currentClock() {
  if (Clock* clock = installedClock.load(std::memory_order_acquire)) return *clock;
  return steadyClock();
}

VirtualClock::VirtualClock() : nanosecondsSinceEpoch_(kVirtualEpochNanoseconds) {}

VirtualClock::~VirtualClock() {
  if (installedClock.load(std::memory_order_acquire) == this) {
    detail::fatal("a virtual clock was destroyed while installed as the current clock");
  }
  {
    detail::MutexLock lock(detail::virtualTimeMutex());
    detail::detachVirtualSleeps(*this);
  }
  detail::abandonMainLoopTimers(*this);
}

TimePoint VirtualClock::now() const {
  return TimePoint(Duration(nanosecondsSinceEpoch_.load(std::memory_order_acquire)));
}

void VirtualClock::advance(Duration d) {
  if (d < Duration::zero()) detail::fatal("a virtual clock cannot move backwards");
  {
    detail::MutexLock lock(detail::virtualTimeMutex());
    const auto now =
        nanosecondsSinceEpoch_.fetch_add(d.count(), std::memory_order_acq_rel) + d.count();
    detail::wakeVirtualSleeps(*this, TimePoint(Duration(now)));
  }
  detail::wakeMainLoopForTimers();
}

std::size_t VirtualClock::sleepingTaskCount() const {
  detail::MutexLock lock(detail::virtualTimeMutex());
  return detail::countVirtualSleeps(*this);
}

std::size_t VirtualClock::pendingTimerCount() const {
  return detail::countMainLoopTimers(*this);
}

ScopedClockOverride::ScopedClockOverride(Clock& clock)
    : previous_(installedClock.exchange(&clock, std::memory_order_acq_rel)) {}

ScopedClockOverride::~ScopedClockOverride() {
  installedClock.store(previous_, std::memory_order_release);
}

double currentTimeIntervalSince1970() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(sinceEpoch).count();
}

}  // namespace platform
