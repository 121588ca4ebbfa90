// Costs of the keychain path: a hot read and a save through the keychain client, and a state
// read through the reader, end to end (client, storage, keychain store, JSON).
//
// The keychain store lives in a temporary data folder made for this run. Notifications go through
// the process's default distributed center.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "BrisvaneStateServiceImplementation/KeychainBrisvaneReader.h"
#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "messages/BrisvaneSettings.h"
#include "runtime/task.h"

namespace {

using brisvane::BrisvaneSettings;
using brisvane::KeychainInteroperabilityClient;

constexpr char kService[] = "com.tarvik.brisvane.interoperability";
constexpr char kAccessGroup[] = "group.bench";

// A private data folder for the run's keychain store, removed at exit.
class BenchEnvironment {
 public:
  static BenchEnvironment& shared() {
    static BenchEnvironment environment;
    return environment;
  }
  ~BenchEnvironment() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  std::shared_ptr<KeychainInteroperabilityClient> makeClient() const {
    return std::make_shared<KeychainInteroperabilityClient>(kService, kAccessGroup);
  }

 private:
  BenchEnvironment() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "brisvane-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::cerr << "cannot create a temporary folder\n";
      std::abort();
    }
    folder_ = pattern;
    ::setenv("XDG_DATA_HOME", folder_.c_str(), 1);
  }

  std::filesystem::path folder_;
};

void seedSettings(KeychainInteroperabilityClient& client) {
  // The first save adds the item and prints one line; the measured ones then update it.
  client.saveData(BrisvaneSettings(true));
}

void KeychainRead(benchmark::State& state) {
  auto client = BenchEnvironment::shared().makeClient();
  seedSettings(*client);
  for (auto _ : state) {
    auto message = client->readData<BrisvaneSettings>();
    benchmark::DoNotOptimize(message);
    if (!message) state.SkipWithError("the settings item is missing");
  }
}
BENCHMARK(KeychainRead);

void saveRepeatedly(benchmark::State& state, KeychainInteroperabilityClient& client) {
  bool isEnabled = false;
  for (auto _ : state) {
    client.saveData(BrisvaneSettings(isEnabled));
    isEnabled = !isEnabled;
  }
}

// The writer's case: the listeners are in other processes.
void KeychainSave(benchmark::State& state) {
  auto client = BenchEnvironment::shared().makeClient();
  seedSettings(*client);
  saveRepeatedly(state, *client);
}
BENCHMARK(KeychainSave);

// With a listening stream in this process, drained by a task, as in the host: each post is also
// delivered here, on the center's thread.
void KeychainSaveWithListener(benchmark::State& state) {
  auto client = BenchEnvironment::shared().makeClient();
  seedSettings(*client);
  auto updates = std::make_shared<platform::AsyncStream<brisvane::UpdateNotification>>(
      client->listenForUpdates(std::string(BrisvaneSettings::key())));
  const auto listener = platform::Task::detached([updates] {
    while (updates->next()) {
    }
  });
  saveRepeatedly(state, *client);
  listener.cancel();
  listener.wait();
}
BENCHMARK(KeychainSaveWithListener);

void ReaderRead(benchmark::State& state) {
  auto client = BenchEnvironment::shared().makeClient();
  seedSettings(*client);
  brisvane::KeychainBrisvaneReader reader(client);
  for (auto _ : state) {
    auto value = reader.readRTPState();
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(ReaderRead);

}  // namespace

BENCHMARK_MAIN();
