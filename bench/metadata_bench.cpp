// Metadata query and installed-app monitor figures:
//   MetadataGather       initial gather over 1,000 bundles in nested folders (goal <= 100 ms)
//   MetadataIdleWakeups  wake-ups of the whole process in 10 s of a live query with nothing
//                        changing (goal 0), from the threads' voluntary context switches
//   InstallToPublished   a bundle moved into a scope until the monitor publishes the new answer,
//                        500 ms debounce, real clock (goal <= 520 ms)
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "BrisvaneStateServiceImplementation/SpotlightInstalledAppMonitor.h"
#include "host/logging.h"
#include "metadata/detail/metadata_plist.h"
#include "metadata/metadata_query.h"
#include "notifications/notification_center.h"
#include "reactive/cancellable.h"
#include "runtime/main_loop.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kBundleCount = 1000;

void makeBundle(const fs::path& bundle, const std::string& identifier,
                platform::detail::PlistFormat format) {
  fs::create_directories(bundle / "Contents");
  std::ofstream(bundle / "Contents" / "Info.plist", std::ios::binary)
      << platform::detail::encodeStringDictionary({{"CFBundleIdentifier", identifier},
                                                   {"CFBundleName", identifier},
                                                   {"CFBundleShortVersionString", "1.0"}},
                                                  format);
}

// 1,000 bundles, XML and binary plists alternating, in 20 groups of 5 subfolders each.
const testsupport::TempDir& bundleTree() {
  static const auto tree = [] {
    auto dir = std::make_unique<testsupport::TempDir>();
    for (int i = 0; i < kBundleCount; ++i) {
      makeBundle(
          *dir / ("group" + std::to_string(i / 50)) / ("shelf" + std::to_string(i % 5)) /
              ("App" + std::to_string(i) + ".app"),
          "com.bench.app" + std::to_string(i),
          i % 2 == 0 ? platform::detail::PlistFormat::xml : platform::detail::PlistFormat::binary);
    }
    return dir;
  }();
  return *tree;
}

platform::Predicate benchPredicate() {
  std::vector<platform::Predicate> subpredicates;
  for (const char* identifier : {"com.bench.app0", "com.bench.app500", "com.bench.app999"}) {
    subpredicates.push_back(platform::Predicate::withFormat(
        "%K == %@", platform::MetadataItemCFBundleIdentifierKey, identifier));
  }
  return platform::Predicate::orPredicateWithSubpredicates(std::move(subpredicates));
}

// Starts the query and pumps the main loop until it has gathered.
void gather(platform::MetadataQuery& query) {
  bool hasGathered = false;
  auto handle = platform::NotificationCenter::defaultCenter()
                    .publisher(platform::MetadataQueryDidFinishGatheringNotification, &query)
                    .sink([&](const platform::Notification&) { hasGathered = true; });
  if (!query.startQuery() ||
      !platform::MainLoop::main().runUntil([&] { return hasGathered; }, 60s)) {
    std::fprintf(stderr, "metadata query did not gather\n");
    std::abort();
  }
}

void MetadataGather(benchmark::State& state) {
  const auto& tree = bundleTree();
  std::size_t results = 0;
  for (auto _ : state) {
    platform::MetadataQuery query;
    query.setPredicate(benchPredicate());
    query.setSearchScopes({tree.path()});
    gather(query);
    results = query.resultCount();
  }
  state.counters["bundles"] = kBundleCount;
  state.counters["results"] = static_cast<double>(results);
}
BENCHMARK(MetadataGather)->Unit(benchmark::kMillisecond)->UseRealTime();

// Voluntary context switches of every thread of the process but the caller, by thread id.
std::map<long, long> voluntarySwitches() {
  std::map<long, long> switches;
  const long self = ::gettid();
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    const long tid = std::stol(task.path().filename().string());
    if (tid == self) continue;
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        switches[tid] = std::stol(line.substr(line.find(':') + 1));
      }
    }
  }
  return switches;
}

void MetadataIdleWakeups(benchmark::State& state) {
  platform::MetadataQuery query;
  query.setPredicate(benchPredicate());
  query.setSearchScopes({bundleTree().path()});
  gather(query);

  long wakeups = 0;
  for (auto _ : state) {
    // The meter thread is left out of the count; it ends the main loop after the window, so the
    // main thread's own wake-up for that falls outside it.
    std::thread meter([&] {
      std::this_thread::sleep_for(1s);
      const auto before = voluntarySwitches();
      std::this_thread::sleep_for(10s);
      const auto after = voluntarySwitches();
      wakeups = 0;
      for (const auto& [tid, count] : after) {
        const auto earlier = before.find(tid);
        wakeups += count - (earlier == before.end() ? 0 : earlier->second);
        std::printf("thread %ld: %ld voluntary context switches in 10 s\n", tid,
                    count - (earlier == before.end() ? 0 : earlier->second));
      }
      platform::MainLoop::main().stop();
    });
    platform::MainLoop::main().run();
    meter.join();
  }
  std::printf("process wake-ups in 10 s of an idle live query: %ld\n", wakeups);
  state.counters["wakeups"] = static_cast<double>(wakeups);
}
BENCHMARK(MetadataIdleWakeups)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

class AbsentChecker final : public host::AppOnDeviceCheckerServiceType {
 public:
  bool isAppOnDevice(const std::string&) const override { return false; }
};

void InstallToPublished(benchmark::State& state) {
  host::ScopedLogCapture logs;
  const testsupport::TempDir dir;
  const auto scope = dir / "Applications";
  const auto staging = dir / "Downloads";
  makeBundle(scope / "Host.app", "com.example.host", platform::detail::PlistFormat::xml);
  makeBundle(staging / "Brisvane.app", "com.tarvik.brisvane", platform::detail::PlistFormat::xml);

  const auto monitor = brisvane::SpotlightInstalledAppMonitor::make(
      {"com.tarvik.brisvane", "com.tarvik.brisvane-orbisk"}, std::make_shared<AbsentChecker>(),
      "com.example.host", {scope}, 500ms);
  bool latest = true;
  auto subscription = monitor->isInstalledPublisher().sink([&](const bool& v) { latest = v; });
  monitor->start();
  auto& loop = platform::MainLoop::main();
  const std::string settled = "🔍 Refresh — 1 matches, isInstalled=false";
  if (!loop.runUntil([&] { return logs.sink().count(settled) > 0; }, 60s)) {
    std::fprintf(stderr, "monitor did not settle\n");
    std::abort();
  }
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    fs::rename(staging / "Brisvane.app", scope / "Brisvane.app");
    const bool isPublished = loop.runUntil([&] { return latest; }, 10s);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (!isPublished) state.SkipWithError("install was not published");
    state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
    fs::rename(scope / "Brisvane.app", staging / "Brisvane.app");
    if (!loop.runUntil([&] { return !latest; }, 10s))
      state.SkipWithError("uninstall not published");
  }
}
BENCHMARK(InstallToPublished)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
