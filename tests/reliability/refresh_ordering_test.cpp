// Two ways in which the state service can end on a stale keychain value after a change was saved
// and announced, found by the end-to-end experiments (a host left on the old value until the next
// trigger, which may be the 6-hour refresh). Each is reproduced here deterministically with a
// reader whose reads the test releases in the order it wants.

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "runtime/async_stream.h"
#include "runtime/task.h"
#include "reliability/host_role.h"
#include "support/service_fakes.h"
#include "support/wait.h"

namespace {

using brisvane::BrisvaneStateServiceImpl;
using platform::Void;

// A reader whose every read takes the value current when it starts and then waits until the test
// releases it by number (0 for the first read), like a keychain read that returns late. Any
// thread.
class GatedReader final : public brisvane::BrisvaneKeychainReaderType {
 public:
  std::optional<bool> readRTPState() override {
    std::unique_lock lock(mutex_);
    const int number = started_++;
    const std::optional<bool> value = value_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_.count(number) != 0; });
    return value;
  }

  platform::AsyncStream<Void> listenForRTPStateUpdates() override {
    std::lock_guard lock(mutex_);
    auto [stream, continuation] = platform::AsyncStream<Void>::makeStream();
    continuations_.push_back(continuation);
    changed_.notify_all();
    return std::move(stream);
  }

  void set(std::optional<bool> value) {
    std::lock_guard lock(mutex_);
    value_ = value;
  }
  void release(int number) {
    std::lock_guard lock(mutex_);
    released_.insert(number);
    changed_.notify_all();
  }
  void releaseAll() {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < 1000; ++i) released_.insert(i);
    changed_.notify_all();
  }
  // An announcement on every stream opened so far.
  void announce() {
    std::vector<platform::AsyncStream<Void>::Continuation> targets;
    {
      std::lock_guard lock(mutex_);
      targets = continuations_;
    }
    for (const auto& c : targets) c.yield(Void{});
  }
  bool awaitStarted(int reads) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return started_ >= reads; });
  }
  bool awaitListening() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20),
                             [&] { return !continuations_.empty(); });
  }
  int started() const {
    std::lock_guard lock(mutex_);
    return started_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<bool> value_;
  int started_ = 0;
  std::set<int> released_;
  std::vector<platform::AsyncStream<Void>::Continuation> continuations_;
};

struct Service {
  std::shared_ptr<GatedReader> reader = std::make_shared<GatedReader>();
  std::shared_ptr<testsupport::FakeInstalledAppMonitor> monitor =
      std::make_shared<testsupport::FakeInstalledAppMonitor>(true);
  std::shared_ptr<testsupport::FakeSleepObserver> sleep =
      std::make_shared<testsupport::FakeSleepObserver>();
  testsupport::FakeOverride override_;
  std::shared_ptr<BrisvaneStateServiceImpl> make() {
    return BrisvaneStateServiceImpl::make(reader, monitor, sleep, override_.configuration(),
                                          nullptr);
  }
  ~Service() { reader->releaseAll(); }
};

// Refreshes run concurrently and each sends what it read when it finishes, so a read that
// started before a change but returns after the read that saw the change overwrites the newer
// value. Expected: a read never replaces the value of a read that started after it.
TEST(RefreshOrdering, AnOlderReadFinishingLastDoesNotReplaceANewerOne) {
  Service s;
  s.reader->set(false);
  auto service = s.make();
  // The two refreshes of construction have read "false" and wait.
  ASSERT_TRUE(s.reader->awaitStarted(2));
  ASSERT_TRUE(s.reader->awaitListening());
  int sends = 0;  // refreshes that sent their value, counted on their threads
  std::mutex sendsMutex;
  auto counting = brisvane::probe::keychainValues(*service).sink(
      [&](const std::optional<bool>&) {
        std::lock_guard lock(sendsMutex);
        ++sends;
      });
  auto sent = [&] {
    std::lock_guard lock(sendsMutex);
    return sends - 1;  // the first was the replay on subscription
  };

  // The security application saves "true" and announces it; that refresh reads "true".
  s.reader->set(true);
  s.reader->announce();
  ASSERT_TRUE(s.reader->awaitStarted(3));
  s.reader->release(2);
  ASSERT_TRUE(testsupport::waitFor([&] { return sent() == 1; }));
  ASSERT_EQ(service->keychainRTPValue(), true);

  // The reads of construction, begun before the save, come back afterwards.
  s.reader->release(0);
  s.reader->release(1);
  // A service that drops stale results sends nothing more, and passes once this guard ends.
  testsupport::waitFor([&] { return sent() >= 3; }, std::chrono::seconds(5));
  EXPECT_EQ(service->keychainRTPValue(), true)
      << "a read that began before the announced change replaced the value read after it";
  counting.cancel();
}

// The change stream is opened by a background task that construction only starts, so an
// announcement made after the constructor has returned, but before that task has run, is lost;
// the refreshes of construction may have read the store before the change, and nothing reads it
// again until the next trigger. Expected: every announcement made after construction returns
// leads to a read.
TEST(RefreshOrdering, AnAnnouncementRightAfterConstructionIsNotLost) {
  // A busy pool (the host's own tasks, say) delays the service's tasks by at least the pool's
  // starvation check, so the window is wide open.
  std::mutex gateMutex;
  std::condition_variable gate;
  bool isOpen = false;
  std::vector<platform::TaskHandle> busy;
  const unsigned blockers = 4 * std::max(4u, std::thread::hardware_concurrency());
  for (unsigned i = 0; i < blockers; ++i) {
    busy.push_back(platform::Task::detached([&] {
      std::unique_lock lock(gateMutex);
      gate.wait(lock, [&] { return isOpen; });
    }));
  }

  Service s;
  s.reader->set(false);
  s.reader->releaseAll();
  auto service = s.make();
  // The security application saves "true" and announces it right away.
  s.reader->set(true);
  s.reader->announce();

  {
    std::lock_guard lock(gateMutex);
    isOpen = true;
  }
  gate.notify_all();
  for (const auto& task : busy) task.wait();
  ASSERT_TRUE(s.reader->awaitListening());
  // Two reads come from construction; the announcement must add a third.
  EXPECT_TRUE(
      testsupport::waitFor([&] { return s.reader->started() >= 3; }, std::chrono::seconds(10)))
      << "the announcement made right after construction never led to a read";
  EXPECT_TRUE(testsupport::waitFor([&] { return service->keychainRTPValue() == true; },
                                   std::chrono::seconds(1)))
      << "the service stays on the value read before the change";
}

}  // namespace
