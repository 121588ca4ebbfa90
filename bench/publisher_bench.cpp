// Cost of the publisher library on the state service's pipeline: the keychain value and the
// installed state combined, mapped and de-duplicated, combined with the host's override, mapped
// twice and de-duplicated again, into a sink.
//
//   StatePipelineEmission  one value sent into the keychain subject, through to the sink
//   SubscribeCancel        subscribing a sink to that pipeline and cancelling it
//   SubjectSendNoSubscriber / SubjectSendOneSink  the subject alone, for comparison
//
// Report medians: --benchmark_repetitions=10 --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <optional>
#include <utility>

#include "reactive/publisher.h"
#include "reactive/subjects.h"

namespace {

enum class OverrideState { forcedOff, forcedOn, notOverridden };

struct Pipeline {
  platform::CurrentValueSubject<std::optional<bool>> keychain{std::optional<bool>(true)};
  platform::CurrentValueSubject<bool> installed{true};
  platform::CurrentValueSubject<OverrideState> overrideState{OverrideState::notOverridden};
  platform::Publisher<bool> publisher;

  Pipeline() {
    platform::Publisher<bool> real =
        platform::combineLatest(keychain.publisher(), installed.publisher())
            .map([](const std::pair<std::optional<bool>, bool>& pair) {
              return pair.first == std::optional<bool>(true) && pair.second;
            })
            .removeDuplicates()
            .eraseToAnyPublisher();
    publisher =
        platform::combineLatest(real, overrideState.publisher())
            .map([](const std::pair<bool, OverrideState>& pair) {
              const bool realValue =
                  pair.second == OverrideState::notOverridden ? pair.first : false;
              const bool overrideValue = pair.second == OverrideState::forcedOn;
              return std::pair<bool, bool>(realValue, overrideValue);
            })
            .eraseToAnyPublisher()
            .map([](const std::pair<bool, bool>& pair) { return pair.first || pair.second; })
            .removeDuplicates()
            .eraseToAnyPublisher();
  }
};

void StatePipelineEmission(benchmark::State& state) {
  Pipeline pipeline;
  std::size_t received = 0;
  platform::AnyCancellable handle = pipeline.publisher.sink([&received](const bool& value) {
    benchmark::DoNotOptimize(value);
    ++received;
  });
  bool next = false;
  for (auto _ : state) {
    pipeline.keychain.send(std::optional<bool>(next));
    next = !next;
  }
  // Every emission alternates the answer, so every one of them reaches the sink.
  if (received != static_cast<std::size_t>(state.iterations()) + 1) {
    state.SkipWithError("an emission did not reach the sink");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(StatePipelineEmission);

void SubscribeCancel(benchmark::State& state) {
  Pipeline pipeline;
  for (auto _ : state) {
    platform::AnyCancellable handle =
        pipeline.publisher.sink([](const bool& value) { benchmark::DoNotOptimize(value); });
    handle.cancel();
  }
}
BENCHMARK(SubscribeCancel);

void SubjectSendNoSubscriber(benchmark::State& state) {
  platform::CurrentValueSubject<int> subject(0);
  int i = 0;
  for (auto _ : state) subject.send(++i);
}
BENCHMARK(SubjectSendNoSubscriber);

void SubjectSendOneSink(benchmark::State& state) {
  platform::CurrentValueSubject<int> subject(0);
  platform::AnyCancellable handle =
      subject.publisher().sink([](const int& value) { benchmark::DoNotOptimize(value); });
  int i = 0;
  for (auto _ : state) subject.send(++i);
}
BENCHMARK(SubjectSendOneSink);

}  // namespace

BENCHMARK_MAIN();
