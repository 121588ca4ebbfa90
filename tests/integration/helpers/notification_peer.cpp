// A process that posts or observes distributed notifications on the default center (the folder
// under the XDG_RUNTIME_DIR it was started with), for the multi-process tests.
//
//   notification_peer observe <name> <count>
//       says "ready" once observing, then "got <count>" after <count> notifications, and exits.
//   notification_peer post <name> <times>
//       posts <name> <times> times and exits.
//   notification_peer burst-observe <name>
//       says "ready", counts notifications of <name>, reads "after <monotonic ns>" from standard
//       input, and once a callback of <name> has started at or after that time says
//       "count=<n> last=<monotonic ns of the last callback>" and exits.
//   notification_peer self-post <name>
//       says "folder=<the default center's folder>", posts <name> to itself and says "got own post"
//       once its own observer has received it.

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <future>
#include <iostream>
#include <mutex>
#include <string>

#include "integration/process_support.h"
#include "notifications/distributed_notification_center.h"

namespace {

using platform::DistributedNotificationCenter;

int observe(const std::string& name, int count) {
  auto center = DistributedNotificationCenter::defaultCenter();
  std::promise<void> done;
  int seen = 0;  // only touched on the center's thread
  const auto token = center->addObserver(name, [&](const std::string&) {
    if (++seen == count) done.set_value();
  });
  integration::say("ready");
  done.get_future().wait();
  center->removeObserver(token);
  integration::say("got " + std::to_string(count));
  return 0;
}

int post(const std::string& name, int times) {
  auto center = DistributedNotificationCenter::defaultCenter();
  for (int i = 0; i < times; ++i) center->post(name);
  return 0;
}

int burstObserve(const std::string& name) {
  auto center = DistributedNotificationCenter::defaultCenter();
  std::mutex mutex;
  std::condition_variable changed;
  std::int64_t count = 0;  // guarded by mutex, as is last
  std::int64_t last = 0;
  const auto counting = center->addObserver(name, [&](const std::string&) {
    std::lock_guard lock(mutex);
    ++count;
    last = integration::monotonicNanos();
    changed.notify_all();
  });
  integration::say("ready");
  std::string line;
  if (!std::getline(std::cin, line) || !line.starts_with("after ")) return 2;
  const std::int64_t after = std::stoll(line.substr(6));
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return last >= after; });
    integration::say("count=" + std::to_string(count) + " last=" + std::to_string(last));
  }
  center->removeObserver(counting);
  return 0;
}

int selfPost(const std::string& name) {
  auto center = DistributedNotificationCenter::defaultCenter();
  integration::say("folder=" + center->folder().string());
  std::promise<void> received;
  const auto token = center->addObserver(name, [&](const std::string&) { received.set_value(); });
  center->post(name);
  received.get_future().wait();
  center->removeObserver(token);
  integration::say("got own post");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "observe" && argc == 4) return observe(argv[2], std::stoi(argv[3]));
  if (mode == "post" && argc == 4) return post(argv[2], std::stoi(argv[3]));
  if (mode == "burst-observe" && argc == 3) return burstObserve(argv[2]);
  if (mode == "self-post" && argc == 3) return selfPost(argv[2]);
  std::fprintf(stderr, "usage: notification_peer observe|post|burst-observe|self-post ...\n");
  return 2;
}
