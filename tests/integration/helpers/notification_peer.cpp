// A process that posts or observes distributed notifications on the default center (the folder
// under the XDG_RUNTIME_DIR it was started with), for the multi-process tests.
//
//   notification_peer observe <name> <count>
//       says "ready" once observing, then "got <count>" after <count> notifications, and exits.
//   notification_peer post <name> <times>
//       posts <name> <times> times and exits.
//   notification_peer burst-observe <name> <end name>
//       says "ready", counts notifications of <name>, and on <end name> says
//       "count=<n> last=<monotonic ns of the last callback of <name>>" and exits.
//   notification_peer self-post <name>
//       says "folder=<the default center's folder>", posts <name> to itself and says "got own post"
//       once its own observer has received it.

#include <cstdint>
#include <cstdio>
#include <future>
#include <string>

#include "integration/process_support.h"
#include "platform/distributed_notification_center.h"

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

int burstObserve(const std::string& name, const std::string& endName) {
  auto center = DistributedNotificationCenter::defaultCenter();
  // Both callbacks run on the center's one thread, so these need no lock.
  std::int64_t count = 0;
  std::int64_t last = 0;
  std::promise<void> done;
  const auto counting = center->addObserver(name, [&](const std::string&) {
    ++count;
    last = integration::monotonicNanos();
  });
  const auto ending = center->addObserver(endName, [&](const std::string&) {
    integration::say("count=" + std::to_string(count) + " last=" + std::to_string(last));
    done.set_value();
  });
  integration::say("ready");
  done.get_future().wait();
  center->removeObserver(counting);
  center->removeObserver(ending);
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
  if (mode == "burst-observe" && argc == 4) return burstObserve(argv[2], argv[3]);
  if (mode == "self-post" && argc == 3) return selfPost(argv[2]);
  std::fprintf(stderr, "usage: notification_peer observe|post|burst-observe|self-post ...\n");
  return 2;
}
