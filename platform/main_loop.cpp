#include "platform/main_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/detail/main_loop_impl.h"
#include "platform/detail/runtime_clock.h"
#include "platform/detail/runtime_fatal.h"
#include "platform/core/runtime_mutex.h"

namespace platform {

using detail::MainLoopFdWatch;
using detail::MainLoopTimer;

namespace {

// Keeps runUntil's predicate fresh when it depends on other threads, without making an idle
// run() wake up.
constexpr auto kRunUntilRecheck = std::chrono::milliseconds(1);
constexpr std::uint64_t kWakeupId = 0;
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

// Milliseconds for epoll_wait, rounded up so that a timer never runs before its deadline.
int toEpollTimeout(Duration wait) {
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

struct BRISVANE_NO_EXPORT MainLoop::Impl {
  Impl() {
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
    wakeupFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeupFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeupId;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeupFd, &event) != 0) {
      throw std::system_error(errno, std::generic_category(), "epoll_ctl");
    }
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

  void wake() {
    bool needsWrite;
    {
      detail::MutexLock lock(mutex);
      needsWrite = needsWakeupLocked();
    }
    if (needsWrite) signalWakeup();
  }

  void drainWakeup() const {
    std::uint64_t count;
    [[maybe_unused]] auto read = ::read(wakeupFd, &count, sizeof count);
  }

  // Waits up to `timeout` for something to happen; returns the ids of ready watches.
  std::vector<std::uint64_t> poll(int timeoutMs) {
    epoll_event events[32];
    int count;
    do {
      count = ::epoll_wait(epollFd, events, 32, timeoutMs);
    } while (count < 0 && errno == EINTR);
    if (count < 0) detail::fatal("epoll_wait failed on the main loop");
    std::vector<std::uint64_t> ready;
    for (int i = 0; i < count; ++i) {
      // epoll_event is packed: copy the id out rather than bind a reference to it.
      const std::uint64_t id = events[i].data.u64;
      if (id != kWakeupId) ready.push_back(id);
    }
    return ready;
  }

  // The wait before the nearest timer on the real clock is due, or -1 if there is none.
  // Timers on virtual clocks never time a wait: VirtualClock::advance wakes the loop.
  int timeoutForTimersLocked() const RUNTIME_REQUIRES(mutex) {
    const MainLoopTimer* nearest = nullptr;
    for (const auto& timer : timers) {
      if (timer->clock == &detail::realClock()) {
        nearest = timer.get();
        break;
      }
    }
    if (nearest == nullptr) return -1;
    return toEpollTimeout(nearest->deadline - detail::realClock().now());
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

  std::size_t runPending() {
    std::size_t count = 0;
    std::set<std::uint64_t> dispatchedWatches;
    for (;;) {
      drainWakeup();
      std::size_t ranInPass = 0;
      // A callback that leaves its descriptor readable is called once per runPending, not
      // forever.
      for (std::uint64_t id : poll(0)) {
        if (!dispatchedWatches.insert(id).second) continue;
        dispatchFdWatch(id);
        ++ranInPass;
      }
      std::deque<std::function<void()>> ready;
      std::vector<std::shared_ptr<MainLoopTimer>> due;
      {
        detail::MutexLock lock(mutex);
        isWakeupSignalled = false;
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
      if (ranInPass == 0) return count;
      count += ranInPass;
    }
  }

  // Blocks until something may be ready or `limitMs` passes (-1: no limit).
  void waitForWork(int limitMs) {
    int timeoutMs;
    {
      detail::MutexLock lock(mutex);
      if (!blocks.empty()) return;
      timeoutMs = timeoutForTimersLocked();
    }
    if (limitMs >= 0 && (timeoutMs < 0 || limitMs < timeoutMs)) timeoutMs = limitMs;
    poll(timeoutMs);
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

  void stopWatching(MainLoopFdWatch& watch) {
    std::function<void()> released;
    detail::MutexLock lock(mutex);
    if (!watch.isActive) return;
    watch.isActive = false;
    watches.erase(watch.id);
    ::epoll_ctl(epollFd, EPOLL_CTL_DEL, watch.fd, nullptr);
    if (watch.isRunning && watch.runningOn == std::this_thread::get_id()) {
      return;  // from inside the callback: the dispatcher releases it afterwards
    }
    while (watch.isRunning) lock.wait(watch.stoppedRunning);
    released = std::move(watch.onReadable);
    lock.unlock();
  }

  int epollFd = -1;
  int wakeupFd = -1;
  mutable detail::Mutex mutex;
  std::deque<std::function<void()>> blocks RUNTIME_GUARDED_BY(mutex);
  std::set<std::shared_ptr<MainLoopTimer>, TimerOrder> timers RUNTIME_GUARDED_BY(mutex);
  std::map<std::uint64_t, std::shared_ptr<MainLoopFdWatch>> watches RUNTIME_GUARDED_BY(mutex);
  std::uint64_t nextTimerSequence RUNTIME_GUARDED_BY(mutex) = 0;
  std::uint64_t nextWatchId RUNTIME_GUARDED_BY(mutex) = kWakeupId + 1;
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
    // A pump blocked in a longer wait must recompute its timeout.
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

bool MainLoop::runUntil(const std::function<bool()>& pred, Duration timeout) {
  impl_->assertMainThread("runUntil");
  const auto deadline =
      std::chrono::steady_clock::now() + std::min<Duration>(timeout, kLongestDelay);
  for (;;) {
    impl_->runPending();
    if (pred()) return true;
    const auto remaining = deadline - std::chrono::steady_clock::now();
    if (remaining <= Duration::zero()) return pred();
    impl_->waitForWork(toEpollTimeout(std::min<Duration>(remaining, kRunUntilRecheck)));
  }
}

FdWatch MainLoop::watchReadable(int fd, std::function<void()> onReadable) {
  auto watch = std::make_shared<MainLoopFdWatch>();
  watch->loop = impl_.get();
  watch->fd = fd;
  watch->onReadable = std::move(onReadable);
  detail::MutexLock lock(impl_->mutex);
  watch->id = impl_->nextWatchId++;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = watch->id;
  if (::epoll_ctl(impl_->epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot watch descriptor");
  }
  impl_->watches.emplace(watch->id, watch);
  return FdWatch(std::move(watch));
}

}  // namespace platform
