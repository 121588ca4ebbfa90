#pragma once

// The test's side of a host process (reliability.helper.host, see host_role.h).

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "reliability/sandbox.h"
#include "support/process.h"

namespace reliability {

using testsupport::Process;

inline std::filesystem::path helperPath(const std::string& name) {
  return testsupport::helperPath("reliability", name);
}

// The host's answer to "state"; the numbers by name, the keychain value as nil, true or false.
struct HostState {
  std::string line;
  std::string keychain() const { return testsupport::field(line, "keychain").value_or(""); }
  long long operator[](const std::string& key) const { return testsupport::numberField(line, key); }
};

// Threads: one thread at a time.
class HostSession {
 public:
  HostSession() : process_(helperPath("host"), {}) {
    ready_ = process_.readLineStartingWith("ready", std::chrono::seconds(120)).value_or("");
    if (ready_.empty()) throw std::runtime_error("the host did not start");
  }

  Process& process() { return process_; }
  pid_t pid() const { return process_.pid(); }
  const std::string& readyLine() const { return ready_; }

  std::optional<HostState> state() {
    if (!process_.send("state")) return std::nullopt;
    const auto line = process_.readLineStartingWith("state ", std::chrono::seconds(30));
    return line ? std::optional<HostState>(HostState{*line}) : std::nullopt;
  }
  bool command(const std::string& command, const std::string& reply,
               std::chrono::milliseconds guard = std::chrono::seconds(120)) {
    return process_.send(command) && process_.readLineStartingWith(reply, guard).has_value();
  }
  // Counts of events and refreshes start again from zero.
  bool mark() { return command("mark", "marked"); }
  // Once `events` change events arrived since the mark and each was refreshed.
  bool await(long events) { return command("await " + std::to_string(events), "reached"); }
  // Once the keychain value is `value` and every event that arrived was refreshed.
  bool awaitValue(const std::string& value) { return command("await-value " + value, "reached"); }
  // The next published answer carrying `value`.
  bool awaitAnswer(bool value) {
    return process_.readLineStartingWith(value ? "v 1" : "v 0", std::chrono::seconds(30)).has_value();
  }

 private:
  Process process_;
  std::string ready_;
};

// Sends `datagram` `times` times to every socket in `folder` on a blocking socket: each waits for
// room in a full queue, so the receiver gets every one, after everything sent to it before.
inline bool sendToEverySocket(const std::filesystem::path& folder, const std::string& datagram,
                              int times = 1) {
  const int sender = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool isSent = sender >= 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (!entry.is_socket()) continue;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    entry.path().native().copy(address.sun_path, sizeof(address.sun_path) - 1);
    for (int i = 0; isSent && i < times; ++i) {
      isSent = ::sendto(sender, datagram.data(), datagram.size(), 0,
                        reinterpret_cast<const sockaddr*>(&address), sizeof(address)) ==
               static_cast<ssize_t>(datagram.size());
    }
  }
  ::close(sender);
  return isSent;
}

// A well-formed announcement of `name`, as the notification center sends it.
inline std::string announcement(const std::string& name) {
  return std::string("DN\x01\x00", 4) + name;
}

}  // namespace reliability
