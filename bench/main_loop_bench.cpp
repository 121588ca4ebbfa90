// Latencies of the runtime's hand-offs: a block posted from another thread until it has run on
// the pumping main thread, and a detached task from its start until its body runs.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "runtime/main_loop.h"
#include "runtime/task.h"

namespace {

// The main thread (Google Benchmark runs benchmarks on the thread that calls main) pumps; a
// second thread posts one block per iteration when told to. Each iteration covers the post, the
// wake-up of the blocked loop and the block's run.
void MainLoopPostRun(benchmark::State& state) {
  auto& loop = platform::MainLoop::main();
  std::atomic<long> requested{0};
  std::atomic<bool> isDone{false};
  std::thread poster([&] {
    long posted = 0;
    while (!isDone.load(std::memory_order_acquire)) {
      if (requested.load(std::memory_order_acquire) == posted) {
        std::this_thread::yield();
        continue;
      }
      ++posted;
      loop.post([&loop] { loop.stop(); });
    }
  });
  for (auto _ : state) {
    requested.fetch_add(1, std::memory_order_release);
    loop.run();  // returns once the posted block has run
  }
  isDone.store(true, std::memory_order_release);
  poster.join();
}
BENCHMARK(MainLoopPostRun)
    ->Repetitions(10)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

// From Task::detached to the first line of the body, measured per iteration.
void TaskDetachedStartToRun(benchmark::State& state) {
  for (auto _ : state) {
    std::atomic<std::int64_t> startedAt{0};
    const auto before = std::chrono::steady_clock::now();
    auto task = platform::Task::detached([&startedAt] {
      startedAt.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                      std::memory_order_release);
    });
    while (startedAt.load(std::memory_order_acquire) == 0) {
    }
    const auto latency =
        std::chrono::steady_clock::duration(startedAt.load()) - before.time_since_epoch();
    state.SetIterationTime(std::chrono::duration<double>(latency).count());
    task.wait();  // the next iteration starts with the pool idle again
  }
}
BENCHMARK(TaskDetachedStartToRun)
    ->UseManualTime()
    ->Repetitions(10)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
