#pragma once

// The test's side of a host process (reliability.helper.host, see host_role.h) and of the
// security application's client in the test process itself.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "notifications/distributed_notification_center.h"
#include "keychain/keychain.h"
#include "reliability/process.h"
#include "reliability/sandbox.h"

namespace reliability {

struct HostState {
  int enabled = -1;
  std::string keychain;  // nil, true or false
  int published = -1;
  long events = 0, refreshes = 0, failures = 0, undecodable = 0;
  int threads = 0;
  long rssKb = 0, hwmKb = 0;
};

inline std::string keychainText(bool value) {
  return value ? "true" : "false";
}

// Threads: one thread at a time.
class HostSession {
 public:
  explicit HostSession(const std::vector<std::string>& options = {})
      : process_(helperPath("host"), options) {
    auto ready = process_.readLineStartingWith("ready", std::chrono::seconds(120));
    if (!ready) throw std::runtime_error("the host did not start");
    const std::string threads = field(*ready, "runtime_threads").value_or("-");
    for (std::size_t begin = 0; threads != "-" && begin < threads.size();) {
      const auto end = std::min(threads.find(',', begin), threads.size());
      runtimeThreads_.push_back(static_cast<pid_t>(std::stol(threads.substr(begin, end - begin))));
      begin = end + 1;
    }
  }

  // Threads that existed before the host's own code began: a sanitizer's runtime.
  const std::vector<pid_t>& runtimeThreads() const { return runtimeThreads_; }

  Process& process() { return process_; }
  pid_t pid() const { return process_.pid(); }

  // The host's answer to "state"; nullopt when it does not answer within the guard.
  std::optional<HostState> state(std::chrono::milliseconds guard = std::chrono::seconds(30)) {
    if (!process_.send("state")) return std::nullopt;
    const auto line = process_.readLineStartingWith("state ", guard);
    if (!line) return std::nullopt;
    HostState s;
    s.enabled = static_cast<int>(numberField(*line, "enabled"));
    s.keychain = field(*line, "keychain").value_or("");
    s.published = static_cast<int>(numberField(*line, "published"));
    s.events = numberField(*line, "events");
    s.refreshes = numberField(*line, "refreshes");
    s.failures = numberField(*line, "failures");
    s.undecodable = numberField(*line, "undecodable");
    s.threads = static_cast<int>(numberField(*line, "threads"));
    s.rssKb = numberField(*line, "rss_kb");
    s.hwmKb = numberField(*line, "hwm_kb");
    return s;
  }

  bool command(const std::string& command, const std::string& reply,
               std::chrono::milliseconds guard = std::chrono::seconds(30)) {
    return process_.send(command) && process_.readLineStartingWith(reply, guard).has_value();
  }

  // Counts of events and refreshes start again from zero.
  bool mark() { return command("mark", "marked"); }
  // Returns once `events` change events arrived since the mark and all were refreshed.
  bool await(long events, std::chrono::milliseconds guard = std::chrono::seconds(120)) {
    return command("await " + std::to_string(events), "reached", guard);
  }

  // Returns once the host's keychain value is `value` ("nil", "true" or "false") and every change
  // event that has arrived was refreshed.
  bool awaitValue(const std::string& value,
                  std::chrono::milliseconds guard = std::chrono::seconds(120)) {
    return command("await-value " + value, "reached", guard);
  }

  // The next published answer carrying `value`, skipping others.
  bool awaitAnswer(bool value, std::chrono::milliseconds guard = std::chrono::seconds(30)) {
    const std::string prefix = std::string("v ") + (value ? "1" : "0");
    return process_.readLineStartingWith(prefix, guard).has_value();
  }

 private:
  Process process_;
  std::vector<pid_t> runtimeThreads_;
};

// Sends `name` `times` times to every socket in `folder` on a blocking socket, so that each
// datagram waits for room in a full queue and is queued rather than marked as missed: the
// receiver gets every one, in order after everything sent to it before. Returns false when a
// send fails.
inline bool sendQueued(const std::filesystem::path& folder, const std::string& name,
                       int times = 1) {
  const std::string datagram = std::string("DN\x01\x00", 4) + name;
  const int sender = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool isSent = sender >= 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (!entry.is_socket()) continue;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    entry.path().native().copy(address.sun_path, sizeof(address.sun_path) - 1);
    for (int i = 0; isSent && i < times; ++i) {
      isSent = ::sendto(sender, datagram.data(), datagram.size(), 0,
                        reinterpret_cast<const sockaddr*>(&address),
                        sizeof(address)) == static_cast<ssize_t>(datagram.size());
    }
  }
  if (sender >= 0) ::close(sender);
  return isSent;
}

// The security application's client in the test process. Its center is made for the current
// sandbox's folder rather than taken from the process-wide default.
inline std::unique_ptr<brisvane::KeychainInteroperabilityClient> makeWriterClient() {
  return std::make_unique<brisvane::KeychainInteroperabilityClient>(
      brisvane::BrisvaneStateServiceImpl::keychainServiceName, kAccessGroup,
      platform::KeychainServices::system(),
      platform::DistributedNotificationCenter::create(
          platform::DistributedNotificationCenter::defaultFolder()));
}

}  // namespace reliability
