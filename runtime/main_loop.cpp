#include "runtime/main_loop.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/detail/runtime_clock.h"
#include "runtime/detail/runtime_fatal.h"
#include "runtime/runtime_mutex.h"

namespace platform {

namespace detail {

// A pending one-shot timer. Owned by the loop's timer queue until it runs or is cancelled;
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
// called without the lock while isRunning is set (nothing replaces it meanwhile), and `source`,
// which is guarded by the loop's eventMutex.
struct MainLoopFdWatch {
  MainLoop::Impl* loop;
  int fd;
  std::uint64_t id;
  std::function<void()> onReadable;
  sd_event_source* source = nullptr;
  bool isActive = true;
  bool isRunning = false;
  std::thread::id runningOn;
  std::condition_variable stoppedRunning;
};

}  // namespace detail

using detail::MainLoopFdWatch;
using detail::MainLoopTimer;

namespace {

// Keeps runUntil's predicate fresh when it depends on other threads, without making an idle
// run() wake up.
constexpr auto kRunUntilRecheck = std::chrono::milliseconds(1);
// Long enough for any real use, short enough to add to any clock reading without overflow.
constexpr Duration kLongestDelay = std::chrono::hours(24 * 365 * 100);

void runGuarded(std::function<void()>& block, const char* what) {
  try {
    block();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "main loop: %s ended by an uncaught exception: %s\n", what, error.what());
  } catch (...) {
    std::fprintf(stderr, "main loop: %s ended by an uncaught exception of unknown type\n", what);
  }
}

void checkEvent(int result, const char* operation) {
  if (result >= 0) return;
  const std::string message =
      std::string("main loop: ") + operation + " failed: " + std::strerror(-result);
  detail::fatal(message.c_str());
}

// Milliseconds for poll, rounded up: the wait only bounds how long runUntil goes without
// re-checking its predicate.
int toPollTimeout(Duration wait) {
  if (wait <= Duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
  return static_cast<int>(std::min<decltype(ms)>(ms, 24 * 60 * 60 * 1000));
}

struct TimerOrder {
  bool operator()(const std::shared_ptr<MainLoopTimer>& a,
                  const std::shared_ptr<MainLoopTimer>& b) const {
    if (a->deadline != b->deadline) return a->deadline < b->deadline;
    return a->sequence < b->sequence;
  }
};

}  // namespace

// sd-event is the loop: it owns the pollable descriptor, waits on the watched descriptors, on
// an eventfd that other threads write to when they post, stop or set a timer, and on one
// CLOCK_MONOTONIC time source armed at the earliest real-clock timer of our queue. sd-event is
// not thread-safe: it is driven by the main thread, and other threads only add and remove
// descriptor sources, under eventMutex. User code never runs inside sd-event's dispatch: its
// handlers only note what is ready, and the pass runs it afterwards without eventMutex.
struct BRISVANE_NO_EXPORT MainLoop::Impl {
  Impl() {
    wakeupFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeupFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    checkEvent(sd_event_new(&event), "sd_event_new");
    checkEvent(sd_event_add_io(event, nullptr, wakeupFd, EPOLLIN, &Impl::onWakeup, nullptr),
               "sd_event_add_io");
    checkEvent(
        sd_event_add_time(event, &timerSource, CLOCK_MONOTONIC, 0, 1, &Impl::onTimer, nullptr),
        "sd_event_add_time");
    checkEvent(sd_event_source_set_enabled(timerSource, SD_EVENT_OFF),
               "sd_event_source_set_enabled");
  }

  static int onWakeup(sd_event_source*, int fd, std::uint32_t, void*) {
    std::uint64_t count;
    [[maybe_unused]] auto read = ::read(fd, &count, sizeof count);
    return 0;
  }
  // Due timers are taken from the queue after every pass through sd-event.
  static int onTimer(sd_event_source*, std::uint64_t, void*) { return 0; }
  // Watch sources are one-shot: the pump enables them again after it has run their callback.
  static int onReadable(sd_event_source*, int, std::uint32_t, void* userdata) {
    auto* watch = static_cast<MainLoopFdWatch*>(userdata);
    watch->loop->readyWatches.push_back(watch->id);
    return 0;
  }

  void assertMainThread(const char* operation) const {
    if (::gettid() != ::getpid()) {
      std::string message = std::string("MainLoop::") + operation +
                            " must be called on the main thread (the process's initial thread)";
      detail::fatal(message.c_str());
    }
  }

  // Called with the mutex held; the write happens after it is released.
  bool needsWakeupLocked() RUNTIME_REQUIRES(mutex) {
    if (isWakeupSignalled) return false;
    isWakeupSignalled = true;
    return true;
  }

  void signalWakeup() const {
    const std::uint64_t one = 1;
    // EAGAIN means the counter is already non-zero: the loop is awake anyway.
    [[maybe_unused]] auto written = ::write(wakeupFd, &one, sizeof one);
  }

  // The earliest deadline on the real clock, if any. Timers on virtual clocks never time a
  // wait: VirtualClock::advance wakes the loop.
  const MainLoopTimer* nearestRealTimerLocked() const RUNTIME_REQUIRES(mutex) {
    for (const auto& timer : timers) {
      if (timer->clock == &detail::realClock()) return timer.get();
    }
    return nullptr;
  }

  std::vector<std::shared_ptr<MainLoopTimer>> dueTimersLocked() const RUNTIME_REQUIRES(mutex) {
    std::vector<std::shared_ptr<MainLoopTimer>> due;
    std::map<const Clock*, TimePoint> nowByClock;
    for (const auto& timer : timers) {
      auto [it, isNew] = nowByClock.try_emplace(timer->clock);
      if (isNew) it->second = timer->clock->now();
      if (timer->deadline <= it->second) due.push_back(timer);
    }
    return due;
  }

  // Arms the time source at `deadline` (none: off), then lets sd-event dispatch what is ready
  // without blocking. Returns whether it dispatched anything. The last sd_event_run arms
  // sd-event's timer descriptor, so that the loop's descriptor becomes readable when the
  // deadline passes.
  bool collect(const TimePoint* deadline) RUNTIME_EXCLUDES(eventMutex) {
    detail::MutexLock lock(eventMutex);
    if (deadline == nullptr) {
      checkEvent(sd_event_source_set_enabled(timerSource, SD_EVENT_OFF), "disabling the timer");
    } else {
      // Rounded up, so that the timer never fires before its deadline.
      const auto usec =
          std::chrono::ceil<std::chrono::microseconds>(deadline->time_since_epoch()).count();
      checkEvent(sd_event_source_set_time(timerSource, static_cast<std::uint64_t>(usec)),
                 "sd_event_source_set_time");
      checkEvent(sd_event_source_set_enabled(timerSource, SD_EVENT_ONESHOT), "arming the timer");
    }
    bool hasDispatched = false;
    int result;
    while ((result = sd_event_run(event, 0)) > 0) hasDispatched = true;
    checkEvent(result, "sd_event_run");
    return hasDispatched;
  }

  void dispatchFdWatch(std::uint64_t id) {
    std::shared_ptr<MainLoopFdWatch> watch;
    {
      detail::MutexLock lock(mutex);
      auto it = watches.find(id);
      if (it == watches.end() || !it->second->isActive) return;
      watch = it->second;
      watch->isRunning = true;
      watch->runningOn = std::this_thread::get_id();
    }
    runGuarded(watch->onReadable, "a descriptor callback");
    std::function<void()> released;
    {
      detail::MutexLock lock(mutex);
      watch->isRunning = false;
      if (!watch->isActive) released = std::move(watch->onReadable);
    }
    watch->stoppedRunning.notify_all();
  }

  // Watches whose callback ran listen again (they were one-shot for the pump that ran them).
  void reenableWatches(const std::vector<std::uint64_t>& ids) {
    std::vector<std::shared_ptr<MainLoopFdWatch>> stillWatched;
    {
      detail::MutexLock lock(mutex);
      for (std::uint64_t id : ids) {
        if (auto it = watches.find(id); it != watches.end()) stillWatched.push_back(it->second);
      }
    }
    detail::MutexLock lock(eventMutex);
    for (const auto& watch : stillWatched) {
      if (watch->source == nullptr) continue;  // cancelled meanwhile
      checkEvent(sd_event_source_set_enabled(watch->source, SD_EVENT_ONESHOT),
                 "enabling a descriptor watch");
    }
  }

  std::size_t runPending() {
    std::size_t count = 0;
    // A callback that leaves its descriptor readable is called once per runPending, not
    // forever: its source stays off until the end.
    std::vector<std::uint64_t> dispatchedWatches;
    for (;;) {
      std::optional<TimePoint> nearest;
      {
        detail::MutexLock lock(mutex);
        isWakeupSignalled = false;
        if (const auto* timer = nearestRealTimerLocked()) nearest = timer->deadline;
      }
      const bool hasDispatched = collect(nearest ? &*nearest : nullptr);
      std::size_t ranInPass = 0;
      for (std::uint64_t id : std::exchange(readyWatches, {})) {
        dispatchedWatches.push_back(id);
        dispatchFdWatch(id);
        ++ranInPass;
      }
      std::deque<std::function<void()>> ready;
      std::vector<std::shared_ptr<MainLoopTimer>> due;
      {
        detail::MutexLock lock(mutex);
        ready.swap(blocks);
        due = dueTimersLocked();
      }
      for (auto& block : ready) {
        runGuarded(block, "a block");
        block = nullptr;
        ++ranInPass;
      }
      for (const auto& timer : due) {
        std::function<void()> block;
        {
          detail::MutexLock lock(mutex);
          // An earlier block of this pass may have cancelled it.
          if (!timer->isPending) continue;
          timer->isPending = false;
          block = std::move(timer->block);
          timers.erase(timer);
        }
        runGuarded(block, "a timer");
        ++ranInPass;
      }
      count += ranInPass;
      if (ranInPass == 0 && !hasDispatched) break;
    }
    reenableWatches(dispatchedWatches);
    return count;
  }

  // Blocks until the loop's descriptor is readable or `limitMs` passes (-1: no limit).
  void waitForWork(int limitMs) {
    {
      detail::MutexLock lock(mutex);
      if (!blocks.empty()) return;
    }
    pollfd ready{sd_event_get_fd(event), POLLIN, 0};
    int result;
    do {
      result = ::poll(&ready, 1, limitMs);
    } while (result < 0 && errno == EINTR);
    if (result < 0) detail::fatal("poll failed on the main loop");
  }

  void cancelTimer(const std::shared_ptr<MainLoopTimer>& timer) {
    std::function<void()> released;
    detail::MutexLock lock(mutex);
    if (!timer->isPending) return;
    timer->isPending = false;
    released = std::move(timer->block);
    timers.erase(timer);
  }

  void abandonTimers(const Clock& clock) {
    std::vector<std::function<void()>> released;
    detail::MutexLock lock(mutex);
    for (auto it = timers.begin(); it != timers.end();) {
      if ((*it)->clock != &clock) {
        ++it;
        continue;
      }
      (*it)->isPending = false;
      released.push_back(std::move((*it)->block));
      it = timers.erase(it);
    }
  }

  void startWatching(const std::shared_ptr<MainLoopFdWatch>& watch) {
    {
      // In the map before sd-event can report it, so that the pump finds it.
      detail::MutexLock lock(mutex);
      watch->id = nextWatchId++;
      watches.emplace(watch->id, watch);
    }
    int result;
    {
      detail::MutexLock lock(eventMutex);
      result = sd_event_add_io(event, &watch->source, watch->fd, EPOLLIN, &Impl::onReadable,
                               watch.get());
      if (result >= 0) result = sd_event_source_set_enabled(watch->source, SD_EVENT_ONESHOT);
    }
    if (result < 0) {
      stopWatching(*watch);
      throw std::system_error(-result, std::generic_category(), "cannot watch descriptor");
    }
  }

  void stopWatching(MainLoopFdWatch& watch) {
    {
      detail::MutexLock lock(eventMutex);
      watch.source = sd_event_source_disable_unref(watch.source);
    }
    std::function<void()> released;
    detail::MutexLock lock(mutex);
    if (!watch.isActive) return;
    watch.isActive = false;
    watches.erase(watch.id);
    if (watch.isRunning && watch.runningOn == std::this_thread::get_id()) {
      return;  // from inside the callback: the dispatcher releases it afterwards
    }
    while (watch.isRunning) lock.wait(watch.stoppedRunning);
    released = std::move(watch.onReadable);
    lock.unlock();
  }

  int wakeupFd = -1;
  // Taken for every call into sd-event; never held while user code runs. Taken before mutex.
  detail::Mutex eventMutex;
  sd_event* event = nullptr;
  sd_event_source* timerSource = nullptr;
  // Filled by onReadable during collect; read by the pump right after. Main thread only.
  std::vector<std::uint64_t> readyWatches;

  mutable detail::Mutex mutex;
  std::deque<std::function<void()>> blocks RUNTIME_GUARDED_BY(mutex);
  std::set<std::shared_ptr<MainLoopTimer>, TimerOrder> timers RUNTIME_GUARDED_BY(mutex);
  std::map<std::uint64_t, std::shared_ptr<MainLoopFdWatch>> watches RUNTIME_GUARDED_BY(mutex);
  std::uint64_t nextTimerSequence RUNTIME_GUARDED_BY(mutex) = 0;
  std::uint64_t nextWatchId RUNTIME_GUARDED_BY(mutex) = 0;
  bool isWakeupSignalled RUNTIME_GUARDED_BY(mutex) = false;
  bool isStopRequested RUNTIME_GUARDED_BY(mutex) = false;
};

namespace {

// Set once main() has built the loop; lets clocks wake it without creating it.
std::atomic<MainLoop::Impl*> mainLoopImpl{nullptr};

}  // namespace

namespace detail {

void wakeMainLoopForTimers() {
  if (auto* impl = mainLoopImpl.load(std::memory_order_acquire)) {
    {
      detail::MutexLock lock(impl->mutex);
      impl->isWakeupSignalled = true;
    }
    impl->signalWakeup();
  }
}

void abandonMainLoopTimers(const Clock& clock) {
  if (auto* impl = mainLoopImpl.load(std::memory_order_acquire)) impl->abandonTimers(clock);
}

std::size_t countMainLoopTimers(const Clock& clock) {
  auto* impl = mainLoopImpl.load(std::memory_order_acquire);
  if (impl == nullptr) return 0;
  detail::MutexLock lock(impl->mutex);
  return static_cast<std::size_t>(
      std::count_if(impl->timers.begin(), impl->timers.end(),
                    [&clock](const auto& timer) { return timer->clock == &clock; }));
}

}  // namespace detail

void TimerHandle::cancel() const {
  if (auto timer = timer_.lock()) timer->loop->cancelTimer(timer);
}

FdWatch& FdWatch::operator=(FdWatch&& other) noexcept {
  if (this != &other) {
    cancel();
    watch_ = std::move(other.watch_);
  }
  return *this;
}

FdWatch::~FdWatch() {
  cancel();
}

void FdWatch::cancel() {
  if (!watch_) return;
  auto watch = std::move(watch_);
  watch->loop->stopWatching(*watch);
}

MainLoop::MainLoop(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

MainLoop::~MainLoop() = default;

MainLoop& MainLoop::main() {
  // Never destroyed: pool threads may post to it while the process exits.
  static MainLoop* loop = [] {
    auto* created = new MainLoop(std::make_unique<Impl>());
    mainLoopImpl.store(created->impl_.get(), std::memory_order_release);
    return created;
  }();
  return *loop;
}

void MainLoop::post(std::function<void()> block) {
  bool needsWrite;
  {
    detail::MutexLock lock(impl_->mutex);
    impl_->blocks.push_back(std::move(block));
    needsWrite = impl_->needsWakeupLocked();
  }
  if (needsWrite) impl_->signalWakeup();
}

TimerHandle MainLoop::postAfter(Duration delay, std::function<void()> block) {
  const Clock& clock = currentClock();
  auto timer = std::make_shared<MainLoopTimer>();
  timer->loop = impl_.get();
  timer->clock = &clock;
  timer->deadline = clock.now() + std::clamp(delay, Duration::zero(), kLongestDelay);
  timer->block = std::move(block);
  bool needsWrite;
  {
    detail::MutexLock lock(impl_->mutex);
    timer->sequence = impl_->nextTimerSequence++;
    impl_->timers.insert(timer);
    // The pump re-arms the time source when it wakes.
    needsWrite = impl_->needsWakeupLocked();
  }
  if (needsWrite) impl_->signalWakeup();
  return TimerHandle(timer);
}

bool MainLoop::isMainThread() const {
  return ::gettid() == ::getpid();
}

void MainLoop::run() {
  impl_->assertMainThread("run");
  for (;;) {
    impl_->runPending();
    {
      detail::MutexLock lock(impl_->mutex);
      if (impl_->isStopRequested) {
        impl_->isStopRequested = false;
        return;
      }
    }
    impl_->waitForWork(-1);
  }
}

void MainLoop::stop() {
  bool needsWrite;
  {
    detail::MutexLock lock(impl_->mutex);
    impl_->isStopRequested = true;
    needsWrite = impl_->needsWakeupLocked();
  }
  if (needsWrite) impl_->signalWakeup();
}

std::size_t MainLoop::runPending() {
  impl_->assertMainThread("runPending");
  return impl_->runPending();
}

int MainLoop::fd() const {
  return sd_event_get_fd(impl_->event);
}

void MainLoop::dispatch() {
  impl_->assertMainThread("dispatch");
  impl_->runPending();
}

bool MainLoop::runUntil(const std::function<bool()>& pred, Duration timeout) {
  impl_->assertMainThread("runUntil");
  const auto deadline =
      std::chrono::steady_clock::now() + std::min<Duration>(timeout, kLongestDelay);
  for (;;) {
    impl_->runPending();
    if (pred()) return true;
    const auto remaining = deadline - std::chrono::steady_clock::now();
    if (remaining <= Duration::zero()) return pred();
    impl_->waitForWork(toPollTimeout(std::min<Duration>(remaining, kRunUntilRecheck)));
  }
}

FdWatch MainLoop::watchReadable(int fd, std::function<void()> onReadable) {
  auto watch = std::make_shared<MainLoopFdWatch>();
  watch->loop = impl_.get();
  watch->fd = fd;
  watch->onReadable = std::move(onReadable);
  impl_->startWatching(watch);
  return FdWatch(std::move(watch));
}

}  // namespace platform
