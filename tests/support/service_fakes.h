#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BrisvaneStateServiceImplementation/BrisvaneKeychainReaderType.h"
#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "BrisvaneStateServiceImplementation/InstalledAppMonitorType.h"
#include "host/contracts.h"
#include "runtime/async_stream.h"
#include "reactive/subjects.h"
#include "support/wait.h"

namespace testsupport {

// A keychain reader whose answer, failure and blocking the test controls; counts its reads
// (begun and finished), listens and ended listening streams. Thread-safe.
class FakeKeychainReader final : public brisvane::BrisvaneKeychainReaderType {
 public:
  std::optional<bool> readRTPState() override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++entered;
    changed_.wait(lock, [&] { return !blocked_; });
    ++reads;
    if (readError_) throw std::runtime_error(*readError_);
    return value_;
  }
  platform::AsyncStream<platform::Void> listenForRTPStateUpdates() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++listens;
    if (listenError_) throw std::runtime_error(*listenError_);
    auto [stream, continuation] = platform::AsyncStream<platform::Void>::makeStream();
    continuation.onTermination([this] { ++terminations; });
    continuations_.push_back(continuation);
    return std::move(stream);
  }

  void setValue(std::optional<bool> value) { const std::lock_guard l(mutex_); value_ = value; readError_.reset(); }
  void setReadError(std::string what) { const std::lock_guard l(mutex_); readError_ = std::move(what); }
  void setListenError(std::string what) { const std::lock_guard l(mutex_); listenError_ = std::move(what); }
  // While blocked, reads wait inside readRTPState().
  void block() { const std::lock_guard l(mutex_); blocked_ = true; }
  void release() {
    { const std::lock_guard l(mutex_); blocked_ = false; }
    changed_.notify_all();
  }
  // One change announcement on every open listening stream.
  void signal() {
    std::unique_lock lock(mutex_);
    const auto targets = continuations_;
    lock.unlock();
    for (auto& c : targets) c.yield(platform::Void{});
  }

  std::atomic<int> entered{0}, reads{0}, listens{0}, terminations{0};

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<bool> value_;
  std::optional<std::string> readError_, listenError_;
  bool blocked_ = false;
  std::vector<platform::AsyncStream<platform::Void>::Continuation> continuations_;
};

// An installed-app monitor whose answer the test sets; counts its stops.
class FakeInstalledAppMonitor final : public brisvane::InstalledAppMonitorType {
 public:
  explicit FakeInstalledAppMonitor(bool installed = true) : subject_(installed) {}
  platform::Publisher<bool> isInstalledPublisher() override { return subject_.publisher().removeDuplicates(); }
  bool isInstalled() override {
    if (throwOnAsk) throw std::runtime_error("monitor failed");
    return subject_.value();
  }
  void start() override {}
  void stop() override { ++stops; }
  void set(bool installed) { subject_.send(installed); }

  std::atomic<int> stops{0};
  std::atomic<bool> throwOnAsk{false};

 private:
  platform::CurrentValueSubject<bool> subject_;
};

struct FakeSleepObserver final : host::SystemSleepObserverType {
  platform::Publisher<host::SystemSleepEvent> eventPublisher() const override { return subject.publisher(); }
  void send(host::SystemSleepEvent event) { subject.send(event); }
  platform::PassthroughSubject<host::SystemSleepEvent> subject;
};

class FakeLastSavedStateProvider final : public host::BrisvaneLastSavedRTPStateProviderType {
 public:
  explicit FakeLastSavedStateProvider(std::optional<bool> saved = std::nullopt) : saved_(saved) {}
  std::optional<bool> lastSavedRTPState() const override { const std::lock_guard l(mutex_); return saved_; }
  void saveRTPState(bool s) override { const std::lock_guard l(mutex_); saved_ = s; saves_.push_back(s); }
  void set(std::optional<bool> saved) { const std::lock_guard l(mutex_); saved_ = saved; }
  std::vector<bool> saves() const { const std::lock_guard l(mutex_); return saves_; }

 private:
  mutable std::mutex mutex_;
  std::optional<bool> saved_;
  std::vector<bool> saves_;
};

// The host's override: the getter's answers and a publisher the test drives.
struct FakeOverride {
  std::atomic<bool> isOverridden{false};
  std::atomic<bool> overriddenValue{false};
  platform::PassthroughSubject<host::BrisvaneRTPOverrideState> states;

  host::BrisvaneStateOverrideConfiguration configuration() {
    host::BrisvaneStateOverrideConfiguration c;
    c.isOverridden = [this] { return isOverridden.load(); };
    c.overriddenValue = [this] { return overriddenValue.load(); };
    c.resetOverride = [] { throw std::logic_error("the service never resets the override"); };
    c.overrideStatePublisher = states.publisher();
    return c;
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

  ~ServiceHarness() {
    reader->release();
    service.reset();
  }
  void build() {
    service = brisvane::BrisvaneStateServiceImpl::make(reader, monitor, sleep, override_.configuration(), provider);
  }
  // Waits until `reads` reads have finished and the value they publish is `expected`.
  void settle(int reads, std::optional<bool> expected) {
    ASSERT_TRUE(waitFor([&] { return reader->reads >= reads; }));
    ASSERT_TRUE(waitFor([&] { return service->keychainRTPValue() == expected; }));
  }
};

// Collects what a sink receives, from any thread.
template <class T>
class Recorder {
 public:
  std::function<void(const T&)> callback() {
    return [this](const T& v) {
      std::lock_guard<std::mutex> lock(mutex_);
      values_.push_back(v);
    };
  }
  std::vector<T> values() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
  }
  std::size_t size() const { return values().size(); }

 private:
  mutable std::mutex mutex_;
  std::vector<T> values_;
};

}  // namespace testsupport
