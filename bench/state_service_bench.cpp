// Cost of the host-facing answers of the state service, measured against fakes of its
// collaborators so that only the service itself is timed.
#include <benchmark/benchmark.h>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "BrisvaneStateServiceImplementation/detail/StateServiceProbe.h"
#include "host/logging.h"
#include "support/service_fakes.h"

namespace {

// Debug lines are not written by a host in production; keep the sink at info so the timing is
// that of the service, not of formatting log text.
struct Quiet {
  Quiet() {
    host::setLogSink(std::make_shared<host::StandardErrorLogSink>(host::LogLevel::warning));
  }
};

// Quiet is the first base so that the log sink is in place before anything is built.
struct Fixture : Quiet, testsupport::ServiceHarness {
  Fixture() {
    reader->value = true;
    build();
    while (reader->reads < 2 || service->keychainRTPValue() != true) {
    }
  }
};

void GetterNoOverride(benchmark::State& state) {
  Fixture f;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.service->isRealTimeProtectionEnabled());
  }
}
BENCHMARK(GetterNoOverride);

// One keychain value change through the service's published pipeline to a host sink.
void ServiceEmission(benchmark::State& state) {
  Fixture f;
  long delivered = 0;
  auto subscription =
      f.service->isRealTimeProtectionEnabledPublisher().sink([&](const bool&) { ++delivered; });
  f.override_.states.send(host::BrisvaneRTPOverrideState::notOverridden);
  bool value = false;
  for (auto _ : state) {
    brisvane::probe::sendKeychainValue(*f.service, value);
    value = !value;
  }
  if (delivered < static_cast<long>(state.iterations())) {
    state.SkipWithError("a change did not reach the host sink");
  }
  state.counters["delivered"] = static_cast<double>(delivered);
}
BENCHMARK(ServiceEmission);

}  // namespace

BENCHMARK_MAIN();
