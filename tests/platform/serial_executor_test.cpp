#include "runtime/serial_executor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/detail/task_pool.h"
#include "runtime/task.h"
#include "support/wait.h"

namespace {

using platform::SerialExecutor;

TEST(SerialExecutorTest, RunReturnsTheResultOrRethrows) {
  SerialExecutor executor;
  EXPECT_EQ(executor.run([] { return std::string("value"); }), "value");
  int sideEffect = 0;
  executor.run([&] { sideEffect = 3; });
  EXPECT_EQ(sideEffect, 3);
  EXPECT_THROW(executor.run([]() -> int { throw std::invalid_argument("bad key"); }),
               std::invalid_argument);
  EXPECT_TRUE(executor.run([&] { return executor.isCurrent(); }));
  EXPECT_FALSE(executor.isCurrent());
}

// Operations submitted from many threads and tasks never overlap, and each submitter's
// operations run in the order it submitted them.
TEST(SerialExecutorTest, OperationsNeverOverlapAndKeepSubmissionOrder) {
  constexpr int kSubmitters = 6;
  constexpr int kOperationsEach = 400;
  SerialExecutor executor;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::vector<std::vector<int>> order(kSubmitters);  // touched only inside operations
  auto operation = [&](int submitter, int i) {
    if (inside.fetch_add(1) != 0) ++overlaps;
    order[submitter].push_back(i);
    std::this_thread::yield();  // widen the window in which an overlap would show
    inside.fetch_sub(1);
  };
  std::vector<platform::TaskHandle> tasks;
  std::vector<std::thread> threads;
  for (int s = 0; s < kSubmitters; ++s) {
    auto submit = [&, s] {
      for (int i = 0; i < kOperationsEach; ++i) {
        // Mixing blocking and fire-and-forget submissions keeps one queue order.
        if (i % 3 == 0) {
          executor.run([&, s, i] { operation(s, i); });
        } else {
          executor.post([&, s, i] { operation(s, i); });
        }
      }
    };
    if (s % 2 == 0) {
      tasks.push_back(platform::Task::detached(submit));
    } else {
      threads.emplace_back(submit);
    }
  }
  for (auto& task : tasks) task.wait();
  for (auto& thread : threads) thread.join();
  executor.run([] {});  // everything posted before has run
  EXPECT_EQ(overlaps, 0);
  for (int s = 0; s < kSubmitters; ++s) {
    ASSERT_EQ(order[s].size(), std::size_t(kOperationsEach));
    for (int i = 0; i < kOperationsEach; ++i) ASSERT_EQ(order[s][i], i) << "submitter " << s;
  }
}

// Callers waiting for their turn wait for a running thread, so a crowd of tasks contending for
// one executor (as refreshes do during a burst of announcements) does not grow the pool.
TEST(SerialExecutorTest, TasksWaitingForTheirTurnDoNotGrowThePool) {
  constexpr int kTasks = 500;
  auto& pool = platform::detail::TaskPool::shared();
  const std::size_t before = pool.stats().threads;
  SerialExecutor executor;
  std::size_t peak = before;  // touched only inside operations
  int ran = 0;
  std::vector<platform::TaskHandle> tasks;
  for (int i = 0; i < kTasks; ++i) {
    tasks.push_back(platform::Task::detached([&] {
      executor.run([&] {
        peak = std::max(peak, pool.stats().threads);
        ++ran;
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
        while (std::chrono::steady_clock::now() < until) {
        }
      });
    }));
  }
  for (auto& task : tasks) task.wait();
  EXPECT_EQ(executor.run([&] { return ran; }), kTasks);
  // The running threads of the pool, plus a few the starvation watchdog may add on a loaded
  // machine; a pool growing for every waiting caller would be near kTasks.
  const std::size_t allowed = platform::detail::TaskPool::defaultLimits().runningLimit + 8;
  EXPECT_LE(executor.run([&] { return peak; }) - before, allowed);
}

TEST(SerialExecutorTest, AThrowingPostedOperationDoesNotStopTheNextOnes) {
  SerialExecutor executor;
  testing::internal::CaptureStderr();
  executor.post([] { throw std::runtime_error("posted failure"); });
  EXPECT_EQ(executor.run([] { return 1; }), 1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("posted failure"), std::string::npos) << err;
}

TEST(SerialExecutorTest, QueuedOperationsStillRunAfterTheExecutorIsGone) {
  std::latch release(1);
  std::atomic<int> ran{0};
  {
    SerialExecutor executor;
    executor.post([&] { release.wait(); });
    executor.post([&] { ++ran; });
  }
  release.count_down();
  EXPECT_TRUE(testsupport::waitFor([&] { return ran == 1; }));
}

TEST(SerialExecutorDeathTest, RunFromItsOwnOperationIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        SerialExecutor executor;
        executor.run([&] { executor.run([] {}); });
      },
      "would wait for itself");
}

}  // namespace
