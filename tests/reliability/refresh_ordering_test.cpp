// Ways in which a host can end on a stale keychain value after a change was saved and announced
// (left on the old value until the next trigger, which may be the 6-hour refresh), each made
// deterministic: a reader whose reads the test releases in the order it wants, and a center that
// reads the store the moment an announcement is posted.

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "BrisvaneStateServiceImplementation/detail/StateServiceProbe.h"
#include "messages/BrisvaneSettings.h"
#include "reliability/sandbox.h"
#include "runtime/async_stream.h"
#include "runtime/task.h"
#include "support/service_fakes.h"
#include "support/wait.h"

namespace {

using platform::Void;

// Every read takes the value current when it starts; one that took "false" then waits until the
// test opens the gate, like a keychain read that returns late. Any thread.
class GatedReader final : public brisvane::BrisvaneKeychainReaderType {
 public:
  std::optional<bool> readRTPState() override {
    std::unique_lock lock(mutex_);
    const std::optional<bool> value = value_;
    ++started_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return isOpen_ || value == true; });
    return value;
  }
  platform::AsyncStream<Void> listenForRTPStateUpdates() override {
    auto [stream, continuation] = platform::AsyncStream<Void>::makeStream();
    std::lock_guard lock(mutex_);
    continuations_.push_back(continuation);
    changed_.notify_all();
    return std::move(stream);
  }
  void set(std::optional<bool> value, bool isOpen) {
    std::lock_guard lock(mutex_);
    value_ = value;
    isOpen_ = isOpen;
    changed_.notify_all();
  }
  bool awaitReads(int reads) {  // and the change stream open
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20),
                             [&] { return started_ >= reads && !continuations_.empty(); });
  }
  // An announcement on every stream opened so far.
  void announce() {
    std::unique_lock lock(mutex_);
    const auto targets = continuations_;
    lock.unlock();
    for (const auto& c : targets) c.yield(Void{});
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<bool> value_;
  bool isOpen_ = false;
  int started_ = 0;
  std::vector<platform::AsyncStream<Void>::Continuation> continuations_;
};

struct Service {
  std::shared_ptr<GatedReader> reader = std::make_shared<GatedReader>();
  testsupport::FakeOverride override_;
  std::shared_ptr<brisvane::BrisvaneStateServiceImpl> make() {
    return brisvane::BrisvaneStateServiceImpl::make(
        reader, std::make_shared<testsupport::FakeInstalledAppMonitor>(true),
        std::make_shared<testsupport::FakeSleepObserver>(), override_.configuration(), nullptr);
  }
  ~Service() { reader->set(std::nullopt, true); }
};

// Refreshes run concurrently: a read begun before a change that returns after the read that saw
// the change must not replace the newer value.
TEST(RefreshOrdering, AnOlderReadFinishingLastDoesNotReplaceANewerOne) {
  Service s;
  s.reader->set(false, false);
  auto service = s.make();
  std::atomic<int> sends{-1};  // not counting the replay on subscription
  auto counting =
      brisvane::probe::keychainValues(*service).sink([&](const std::optional<bool>&) { ++sends; });
  ASSERT_TRUE(s.reader->awaitReads(2));  // the two refreshes of construction read "false"
  s.reader->set(true, false);            // saved and announced; that refresh reads "true"
  s.reader->announce();
  ASSERT_TRUE(testsupport::waitFor([&] { return sends == 1; }));
  s.reader->set(true, true);  // the reads of construction, begun before the save, come back now
  // A service that drops stale results sends nothing more, and passes once this guard ends.
  testsupport::waitFor([&] { return sends >= 3; }, std::chrono::seconds(5));
  EXPECT_EQ(service->keychainRTPValue(), true) << "an older read replaced the newer value";
}

// An announcement made after construction returns, while the task that opens the change stream
// has not run yet (a busy pool delays it), must still lead to a read.
TEST(RefreshOrdering, AnAnnouncementRightAfterConstructionIsNotLost) {
  std::mutex gateMutex;
  std::condition_variable gate;
  bool isOpen = false;
  std::vector<platform::TaskHandle> busy;
  for (unsigned i = 0; i < 4 * std::max(4u, std::thread::hardware_concurrency()); ++i) {
    busy.push_back(platform::Task::detached([&] {
      std::unique_lock lock(gateMutex);
      gate.wait(lock, [&] { return isOpen; });
    }));
  }
  Service s;
  s.reader->set(false, true);
  auto service = s.make();
  s.reader->set(true, true);
  s.reader->announce();
  {
    std::lock_guard lock(gateMutex);
    isOpen = true;
  }
  gate.notify_all();
  for (const auto& task : busy) task.wait();
  EXPECT_TRUE(testsupport::waitFor([&] { return service->keychainRTPValue() == true; }))
      << "the service stays on the value read before the change";
}

// A center that, the moment an announcement is posted, reads the message as any observer woken
// by it would. Any thread.
class ReadingOnPost final : public brisvane::DistributedNotifications {
 public:
  std::vector<std::string> seen;
  void post(const std::string&) override {
    const auto message = reader_->readData<brisvane::BrisvaneSettings>();
    seen.push_back(!message ? "nothing"
                            : reliability::keychainText(message->data().isRTPEnabled()));
  }
  platform::ObserverToken addObserver(const std::string&,
                                      platform::DistributedNotificationCenter::Callback) override {
    return {};
  }
  void removeObserver(const platform::ObserverToken&) override {}

 private:
  std::unique_ptr<brisvane::KeychainInteroperabilityClient> reader_ =
      reliability::makeWriterClient();
};

TEST(RefreshOrdering, AnObserverWokenByAnAnnouncementReadsTheChangeItAnnounces) {
  reliability::Sandbox sandbox;
  auto center = std::make_shared<ReadingOnPost>();
  brisvane::KeychainInteroperabilityClient writer(
      brisvane::BrisvaneStateServiceImpl::keychainServiceName, reliability::kAccessGroup,
      platform::KeychainServices::system(), center);
  writer.saveData(brisvane::BrisvaneSettings(true));   // adds the item
  writer.saveData(brisvane::BrisvaneSettings(false));  // updates it
  writer.deleteData<brisvane::BrisvaneSettings>(
      std::string(brisvane::BrisvaneSettings::messageKey));
  EXPECT_EQ(center->seen, (std::vector<std::string>{"true", "false", "nothing"}));
}

}  // namespace
