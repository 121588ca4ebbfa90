#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "BrisvaneStateServiceImplementation/BrisvaneKeychainReaderType.h"
#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "BrisvaneStateServiceImplementation/InstalledAppMonitorType.h"
#include "host/contracts.h"
#include "reactive/subjects.h"
#include "runtime/async_stream.h"
#include "support/recorder.h"
#include "support/wait.h"

namespace testsupport {

// An optional the test sets while the service reads it on other threads. (A std::atomic of an
// optional needs libatomic with clang.)
class LockedOptional {
 public:
  LockedOptional& operator=(std::optional<bool> value) { const std::lock_guard l(mutex_); value_ = value; return *this; }
  std::optional<bool> load() const {
    const std::lock_guard l(mutex_);
    return value_;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<bool> value_;
};

// A keychain reader whose answer, failures and blocking the test controls; counts its reads
// (begun and finished), listens and ended listening streams. A read answers the value current
// when it began, like a keychain read that returns late. Thread-safe.
struct FakeKeychainReader final : brisvane::BrisvaneKeychainReaderType {
  std::optional<bool> readRTPState() override {
    const std::optional<bool> seen = value.load();
    ++entered;
    std::unique_lock lock(mutex);
    released.wait(lock, [&] { return !blocked || (seen && seen == passesBlock.load()); });
    ++reads;
    if (failReads) throw std::runtime_error("the store is locked");
    return seen;
  }
  platform::AsyncStream<platform::Void> listenForRTPStateUpdates() override {
    if (failListen) throw (++listens, std::runtime_error("no notification folder"));
    auto [stream, continuation] = platform::AsyncStream<platform::Void>::makeStream();
    continuation.onTermination([this] { ++terminations; });
    const std::lock_guard lock(mutex);
    continuations.push_back(continuation);
    ++listens;  // counted once signal() reaches the stream
    return std::move(stream);
  }
  // While blocked, reads wait inside readRTPState(), except those that began on `passes`.
  void block(std::optional<bool> passes = std::nullopt) {
    passesBlock = passes;
    const std::lock_guard lock(mutex);
    blocked = true;
  }
  void release() { { const std::lock_guard lock(mutex); blocked = false; } released.notify_all(); }
  // One change announcement on every open listening stream.
  void signal() {
    std::unique_lock lock(mutex);
    const auto targets = continuations;
    lock.unlock();
    for (auto& c : targets) c.yield(platform::Void{});
  }

  LockedOptional value, passesBlock;
  std::atomic<bool> failReads{false}, failListen{false};
  std::atomic<int> entered{0}, reads{0}, listens{0}, terminations{0};
  std::mutex mutex;
  std::condition_variable released;
  bool blocked = false;
  std::vector<platform::AsyncStream<platform::Void>::Continuation> continuations;
};

// An installed-app monitor whose answer (at first, installed) the test sets; counts its stops.
struct FakeInstalledAppMonitor final : brisvane::InstalledAppMonitorType {
  platform::Publisher<bool> isInstalledPublisher() override { return subject.publisher().removeDuplicates(); }
  bool isInstalled() override { return throwOnAsk ? throw std::runtime_error("monitor failed") : subject.value(); }
  void start() override {}
  void stop() override { ++stops; }
  void set(bool installed) { subject.send(installed); }
  platform::CurrentValueSubject<bool> subject{true};
  std::atomic<int> stops{0};
  std::atomic<bool> throwOnAsk{false};
};

struct FakeSleepObserver final : host::SystemSleepObserverType {
  platform::Publisher<host::SystemSleepEvent> eventPublisher() const override { return subject.publisher(); }
  void send(host::SystemSleepEvent event) { subject.send(event); }
  platform::PassthroughSubject<host::SystemSleepEvent> subject;
};

// The saved state, which the test may set at any time, and every state the service saved.
struct FakeLastSavedStateProvider final : host::BrisvaneLastSavedRTPStateProviderType {
  explicit FakeLastSavedStateProvider(std::optional<bool> state = std::nullopt) { saved = state; }
  std::optional<bool> lastSavedRTPState() const override { return saved.load(); }
  void saveRTPState(bool s) override {
    saved = s;
    saveLog.callback()(s);
  }
  std::vector<bool> saves() const { return saveLog.values(); }
  LockedOptional saved;
  Recorder<bool> saveLog;
};

// The host's override: the getter's answers and a publisher the test drives.
struct FakeOverride {
  std::atomic<bool> isOverridden{false};
  std::atomic<bool> overriddenValue{false};
  platform::PassthroughSubject<host::BrisvaneRTPOverrideState> states;

  // No resetOverride: the service never resets the override.
  host::BrisvaneStateOverrideConfiguration configuration() {
    return {[this] { return isOverridden.load(); }, [this] { return overriddenValue.load(); },
            nullptr, states.publisher()};
  }
};

// Everything a state service is built from, with the service itself once build() has made it.
// There is no last-saved state provider unless the test sets one before build(). Going away
// releases a blocked reader and drops the service before its collaborators.
//
// Threads: made, built and dropped on one thread; the fakes may be used from any.
struct ServiceHarness {
  std::shared_ptr<FakeKeychainReader> reader = std::make_shared<FakeKeychainReader>();
  std::shared_ptr<FakeInstalledAppMonitor> monitor = std::make_shared<FakeInstalledAppMonitor>();
  std::shared_ptr<FakeSleepObserver> sleep = std::make_shared<FakeSleepObserver>();
  std::shared_ptr<FakeLastSavedStateProvider> provider;
  FakeOverride override_;
  std::shared_ptr<brisvane::BrisvaneStateServiceImpl> service;

  ~ServiceHarness() { reader->release(), service.reset(); }
  void build() {
    service = brisvane::BrisvaneStateServiceImpl::make(reader, monitor, sleep, override_.configuration(), provider);
  }
  // Waits until `reads` reads have finished and the value they publish is `expected`.
  void settle(int reads, std::optional<bool> expected) {
    ASSERT_TRUE(waitFor([&] { return reader->reads >= reads && service->keychainRTPValue() == expected; }));
  }
};

}  // namespace testsupport
