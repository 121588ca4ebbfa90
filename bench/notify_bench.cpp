// One-way latency of a distributed notification: post() in this process to the observer's
// callback in another process.
//
// The benchmark starts a copy of itself ("--echo-child <folder> <clock file>") that observes
// "ping" and, in its callback, writes the monotonic time of the callback into a shared mapped
// file and posts "pong". CLOCK_MONOTONIC is one clock for the whole machine, so the callback time
// minus the time just before post() is the true one-way latency; half the round trip is reported
// beside it as a check. Figures: p50_us and p99_us (one-way), rtt_half_p50_us and
// rtt_half_p99_us, over 10,000 round trips after a warm-up.
//
// FirstPostWithStoppedObservers/N is the first post of a new process (a fresh center) while N
// observers in the folder have stopped reading and hold full queues; /0 is the same post with
// none. A post never waits for a receiver, so /5 stays within a few microseconds of /0.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "notifications/distributed_notification_center.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using platform::DistributedNotificationCenter;

constexpr int kWarmUp = 200;
constexpr int kRoundTrips = 10000;

std::int64_t monotonicNanos() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// One 64-bit slot in a file, mapped shared by both processes.
class SharedSlot {
 public:
  explicit SharedSlot(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ::ftruncate(fd, sizeof(std::int64_t)) != 0) {
      throw std::system_error(errno, std::generic_category(), "cannot open " + file.string());
    }
    void* mapped = ::mmap(nullptr, sizeof(std::int64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (mapped == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "mmap");
    slot_ = static_cast<std::atomic<std::int64_t>*>(mapped);
  }
  SharedSlot(const SharedSlot&) = delete;
  SharedSlot& operator=(const SharedSlot&) = delete;
  ~SharedSlot() { ::munmap(slot_, sizeof(std::int64_t)); }

  std::atomic<std::int64_t>& operator*() const { return *slot_; }

 private:
  std::atomic<std::int64_t>* slot_ = nullptr;
};

int runEchoChild(const fs::path& folder, const fs::path& clockFile) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  SharedSlot slot(clockFile);
  auto center = DistributedNotificationCenter::create(folder);
  std::promise<void> quit;
  center->addObserver("ping", [&](const std::string&) {
    (*slot).store(monotonicNanos(), std::memory_order_release);
    center->post("pong");
  });
  center->addObserver("quit", [&](const std::string&) { quit.set_value(); });
  center->post("ready");
  quit.get_future().wait();
  return 0;
}

double percentile(std::vector<double> samples, double p) {
  std::sort(samples.begin(), samples.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1));
  return samples[index];
}

void NotifyOneWay(benchmark::State& state) {
  char pattern[] = "/tmp/notify-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    state.SkipWithError("cannot create a temporary folder");
    return;
  }
  const fs::path temp = pattern;
  const fs::path folder = temp / "notifications";
  const fs::path clockFile = temp / "clock";
  SharedSlot slot(clockFile);
  auto center = DistributedNotificationCenter::create(folder);

  std::atomic<std::uint32_t> pongs{0};  // 32 bits: waits on a futex directly
  std::promise<void> ready;
  center->addObserver("pong", [&](const std::string&) {
    pongs.fetch_add(1, std::memory_order_release);
    pongs.notify_one();
  });
  center->addObserver("ready", [&](const std::string&) { ready.set_value(); });

  std::string self = fs::read_symlink("/proc/self/exe").string();
  std::string folderArg = folder.string(), clockArg = clockFile.string(), mode = "--echo-child";
  char* argv[] = {self.data(), mode.data(), folderArg.data(), clockArg.data(), nullptr};
  pid_t child = 0;
  if (::posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, environ) != 0) {
    state.SkipWithError("cannot start the echo process");
    return;
  }
  if (ready.get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    state.SkipWithError("echo process did not start");
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return;
  }

  std::vector<double> oneWay, halfRoundTrip;
  oneWay.reserve(kRoundTrips);
  halfRoundTrip.reserve(kRoundTrips);
  std::uint32_t expected = 0;
  int round = 0;
  for (auto _ : state) {
    const std::int64_t start = monotonicNanos();
    center->post("ping");
    ++expected;
    for (std::uint32_t seen = pongs.load(std::memory_order_acquire); seen < expected;
         seen = pongs.load(std::memory_order_acquire)) {
      pongs.wait(seen, std::memory_order_acquire);
    }
    const std::int64_t end = monotonicNanos();
    const std::int64_t delivered = (*slot).load(std::memory_order_acquire);
    const double oneWayNanos = static_cast<double>(delivered - start);
    state.SetIterationTime(oneWayNanos * 1e-9);
    if (++round > kWarmUp) {
      oneWay.push_back(oneWayNanos / 1000.0);
      halfRoundTrip.push_back(static_cast<double>(end - start) / 2000.0);
    }
  }

  center->post("quit");
  int status = 0;
  ::waitpid(child, &status, 0);
  center.reset();
  fs::remove_all(temp);

  if (!oneWay.empty()) {
    state.counters["p50_us"] = percentile(oneWay, 0.50);
    state.counters["p99_us"] = percentile(oneWay, 0.99);
    state.counters["rtt_half_p50_us"] = percentile(halfRoundTrip, 0.50);
    state.counters["rtt_half_p99_us"] = percentile(halfRoundTrip, 0.99);
  }
}
BENCHMARK(NotifyOneWay)
    ->Iterations(kWarmUp + kRoundTrips)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Sockets bound in the folder that never read, their queues full.
class StoppedObservers {
 public:
  StoppedObservers(const fs::path& folder, int count) {
    const std::string datagram("DN\x01\x00fill", 8);
    for (int i = 0; i < count; ++i) {
      const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      const std::string path = (folder / ("stopped-" + std::to_string(i))).string();
      path.copy(address.sun_path, sizeof(address.sun_path) - 1);
      if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot bind " + path);
      }
      fds_.push_back(fd);
      while (::sendto(fd, datagram.data(), datagram.size(), MSG_DONTWAIT,
                      reinterpret_cast<sockaddr*>(&address), sizeof(address)) >= 0) {
      }
    }
  }
  ~StoppedObservers() {
    for (const int fd : fds_) ::close(fd);
  }

 private:
  std::vector<int> fds_;
};

void FirstPostWithStoppedObservers(benchmark::State& state) {
  const fs::path temp =
      fs::temp_directory_path() / ("brisvane-stopped-" + std::to_string(::getpid()));
  fs::create_directories(temp);
  const fs::path folder = temp / "distributed-notifications";
  DistributedNotificationCenter::create(folder);  // makes the folder
  {
    StoppedObservers stopped(folder, static_cast<int>(state.range(0)));
    for (auto _ : state) {
      DistributedNotificationCenter::create(folder)->post("com.example.Updated");
    }
  }
  fs::remove_all(temp);
}
BENCHMARK(FirstPostWithStoppedObservers)->Arg(0)->Arg(5)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--echo-child") == 0) {
    return runEchoChild(argv[2], argv[3]);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
