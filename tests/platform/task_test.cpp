#include "runtime/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <latch>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/async_stream.h"
#include "runtime/clock.h"
#include "runtime/detail/task_pool.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;
using platform::Task;
using platform::TaskCancelled;
using platform::TaskHandle;

constexpr std::uint64_t kSixHours = 21'600'000'000'000ULL;

class TaskTest : public ::testing::Test {
 protected:
  platform::VirtualClock clock;
  platform::ScopedClockOverride useVirtualTime{clock};
};

bool waitUntilFinished(const TaskHandle& task) {
  return testsupport::waitFor([&] { return task.isFinished(); });
}

TEST_F(TaskTest, SixHourSleepEndsWhenTheVirtualClockHasAdvancedSixHoursAndNotBefore) {
  std::atomic<bool> hasWoken{false};
  auto task = Task::detached([&] {
    Task::sleep(kSixHours);
    hasWoken = true;
  });
  ASSERT_TRUE(testsupport::waitFor([&] { return clock.sleepingTaskCount() == 1; }));

  clock.advance(6h - 1ns);
  // advance() wakes every due sleep before it returns, so a sleep still counted here has not
  // been woken.
  EXPECT_EQ(clock.sleepingTaskCount(), 1u);
  EXPECT_FALSE(hasWoken);

  clock.advance(1ns);
  EXPECT_EQ(clock.sleepingTaskCount(), 0u);
  ASSERT_TRUE(waitUntilFinished(task));
  EXPECT_TRUE(hasWoken);
  EXPECT_FALSE(task.isCancelled());
}

TEST_F(TaskTest, SleepRaisesAtOnceWhenItsTaskIsCancelled) {
  struct Case {
    const char* name;
    bool cancelBeforeSleeping;
  };
  const Case cases[] = {{"cancelled while sleeping", false}, {"cancelled before sleeping", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::latch mayStart(1);
    std::atomic<bool> didRaise{false};
    std::atomic<bool> didGetPastSleep{false};
    auto task = Task::detached([&] {
      mayStart.wait();
      try {
        Task::sleep(kSixHours);
        didGetPastSleep = true;
      } catch (const TaskCancelled&) {
        didRaise = true;
        throw;
      }
    });
    if (c.cancelBeforeSleeping) task.cancel();
    mayStart.count_down();
    if (!c.cancelBeforeSleeping) {
      ASSERT_TRUE(testsupport::waitFor([&] { return clock.sleepingTaskCount() == 1; }));
      task.cancel();
    }
    ASSERT_TRUE(waitUntilFinished(task)) << "the sleep did not end on cancellation";
    EXPECT_TRUE(didRaise);
    EXPECT_FALSE(didGetPastSleep);
    EXPECT_TRUE(task.isCancelled());
    EXPECT_EQ(clock.sleepingTaskCount(), 0u);
  }
}

TEST(TaskRealClockTest, SleepOnTheRealClockIsCancellable) {
  // The cancel may land before or during the sleep; both must end it by raising.
  for (int i = 0; i < 50; ++i) {
    std::atomic<bool> isAboutToSleep{false};
    std::atomic<bool> didRaise{false};
    auto task = Task::detached([&] {
      isAboutToSleep = true;
      try {
        Task::sleep(kSixHours);
      } catch (const TaskCancelled&) {
        didRaise = true;
      }
    });
    ASSERT_TRUE(testsupport::waitFor([&] { return isAboutToSleep.load(); }));
    task.cancel();
    ASSERT_TRUE(waitUntilFinished(task));
    EXPECT_TRUE(didRaise);
  }
}

TEST_F(TaskTest, CancellationIsVisibleToTheTaskOnlyAndFinishesWithTheBody) {
  EXPECT_FALSE(Task::isCancelled());
  EXPECT_NO_THROW(Task::checkCancellation());
  std::latch cancelled(1);
  std::atomic<bool> sawCancellation{false};
  std::atomic<bool> didRaise{false};
  auto task = Task::detached([&] {
    cancelled.wait();
    sawCancellation = Task::isCancelled();
    try {
      Task::checkCancellation();
    } catch (const TaskCancelled&) {
      didRaise = true;
    }
  });
  auto other = Task::detached([] {});
  EXPECT_FALSE(task.isCancelled());
  task.cancel();
  task.cancel();
  cancelled.count_down();
  task.wait();
  other.wait();
  EXPECT_TRUE(task.isFinished());
  EXPECT_TRUE(sawCancellation);
  EXPECT_TRUE(didRaise);
  EXPECT_FALSE(other.isCancelled());
  EXPECT_FALSE(Task::isCancelled());

  const TaskHandle empty;
  EXPECT_TRUE(empty.isFinished());
  EXPECT_FALSE(empty.isCancelled());
  empty.cancel();
  empty.wait();
}

TEST_F(TaskTest, TheBodyIsReleasedWhenItReturnsEvenWhileHandlesRemain) {
  auto captured = std::make_shared<int>(1);
  std::weak_ptr<int> watch = captured;
  auto task = Task::detached([captured] {});
  captured.reset();
  task.wait();
  EXPECT_TRUE(testsupport::waitFor([&] { return watch.expired(); }));
}

TEST_F(TaskTest, AnExceptionEscapingABodyEndsOnlyThatTask) {
  testing::internal::CaptureStderr();
  auto failing = Task::detached([] { throw std::runtime_error("disk on fire"); });
  auto cancelled = Task::detached([] { throw TaskCancelled(); });
  failing.wait();
  cancelled.wait();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("disk on fire"), std::string::npos) << err;
  EXPECT_EQ(err.find("task cancelled"), std::string::npos) << "cancellation is not an error";
  std::atomic<bool> ran{false};
  Task::detached([&] { ran = true; }).wait();
  EXPECT_TRUE(ran);
}

// Tasks blocked for hours in sleeps, in stream waits and in waits the pool cannot see must not
// keep a short task from running.
TEST_F(TaskTest, BlockedTasksDoNotStarveAShortOne) {
  constexpr int kEach = 20;
  std::vector<TaskHandle> blocked;
  std::vector<platform::AsyncStream<int>::Continuation> producers;
  std::mutex mutex;
  std::condition_variable released;
  bool isReleased = false;
  for (int i = 0; i < kEach; ++i) {
    blocked.push_back(Task::detached([] { Task::sleep(kSixHours); }));
    auto made = platform::AsyncStream<int>::makeStream();
    producers.push_back(made.second);
    auto stream = std::make_shared<platform::AsyncStream<int>>(std::move(made.first));
    blocked.push_back(Task::detached([stream] { (void)stream->next(); }));
    // Invisible to the pool: a plain condition variable.
    blocked.push_back(Task::detached([&] {
      std::unique_lock lock(mutex);
      released.wait(lock, [&] { return isReleased; });
    }));
  }
  std::atomic<bool> didShortTaskRun{false};
  auto shortTask = Task::detached([&] { didShortTaskRun = true; });
  EXPECT_TRUE(waitUntilFinished(shortTask)) << "a short task was starved";
  EXPECT_TRUE(didShortTaskRun);

  for (auto& task : blocked) task.cancel();
  {
    std::lock_guard lock(mutex);
    isReleased = true;
  }
  released.notify_all();
  for (auto& task : blocked) EXPECT_TRUE(waitUntilFinished(task));
}

// Both ways the pool grows, each on its own: a thread that says it blocks is replaced at once,
// and one that blocks silently is replaced by the starvation check.
TEST(TaskPoolTest, AJobQueuedBehindABlockedThreadStillRuns) {
  struct Case {
    const char* name;
    bool isBlockingVisible;
    std::chrono::milliseconds starvationCheck;
  };
  const Case cases[] = {{"visible blocking, no starvation check in reach", true, 1h},
                        {"invisible blocking", false, 1ms}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Pools of their own with one running thread; never destroyed, like the shared one.
    auto* pool = new platform::detail::TaskPool({1, 1, c.starvationCheck});
    std::atomic<bool> isFirstDone{false};
    std::latch started(1);
    std::latch secondQueued(1);
    std::latch release(1);
    pool->submit([&] {
      started.count_down();
      // Blocks only once the second job waits in the queue, which the pool must notice.
      secondQueued.wait();
      if (c.isBlockingVisible) platform::detail::TaskPool::enterBlocking();
      release.wait();
      if (c.isBlockingVisible) platform::detail::TaskPool::leaveBlocking();
      isFirstDone = true;  // the last use of this frame's state
    });
    started.wait();
    std::atomic<bool> didRun{false};
    pool->submit([&] { didRun = true; });
    secondQueued.count_down();
    EXPECT_TRUE(testsupport::waitFor([&] { return didRun.load(); }));
    release.count_down();
    EXPECT_TRUE(testsupport::waitFor([&] { return isFirstDone.load(); }));
  }
}

TEST(TaskPoolTest, KeepsABoundedNumberOfIdleThreads) {
  // A pool of its own, so that other tests' tasks do not disturb the counts. Never destroyed,
  // like the shared one.
  auto* pool = new platform::detail::TaskPool({2, 3, std::chrono::milliseconds(5)});
  constexpr int kJobs = 12;
  std::latch allStarted(kJobs);
  std::latch release(1);
  std::atomic<int> finished{0};
  for (int i = 0; i < kJobs; ++i) {
    pool->submit([&] {
      platform::detail::TaskPool::enterBlocking();
      allStarted.count_down();
      release.wait();
      platform::detail::TaskPool::leaveBlocking();
      ++finished;
    });
  }
  allStarted.wait();  // twelve jobs blocked at once: the pool grew past its running limit
  EXPECT_GE(pool->stats().threads, std::size_t(kJobs));
  release.count_down();
  ASSERT_TRUE(testsupport::waitFor([&] {
    const auto stats = pool->stats();
    return finished == kJobs && stats.threads == 3 && stats.idle == 3;
  })) << "threads "
      << pool->stats().threads << ", idle " << pool->stats().idle;
  EXPECT_EQ(pool->stats().blocked, 0u);
}

}  // namespace
