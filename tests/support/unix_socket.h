#pragma once
// Unix-domain datagram sockets made by hand: an address, and a socket bound at a path, standing
// in for an observer of another program (or one that never reads).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace testsupport {

inline sockaddr_un addressOf(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  return address;
}

// Without a path, a socket that is not bound: a sender only.
class BoundSocket {
 public:
  explicit BoundSocket(const std::filesystem::path& path = {})
      : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_un address = addressOf(path);
    if (!path.empty() &&
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      ::close(fd_);
      throw std::system_error(errno, std::generic_category(), "cannot bind " + path.string());
    }
  }
  BoundSocket(const BoundSocket&) = delete;
  BoundSocket& operator=(const BoundSocket&) = delete;
  ~BoundSocket() { ::close(fd_); }
  // What has arrived, without waiting.
  std::vector<std::string> drain() const {
    std::vector<std::string> datagrams;
    char buffer[1 << 16];
    for (ssize_t n; (n = ::recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT)) >= 0;) datagrams.emplace_back(buffer, n);
    return datagrams;
  }
  bool sendTo(const std::filesystem::path& path, const std::string& datagram, int flags = 0) const {
    const sockaddr_un address = addressOf(path);
    return ::sendto(fd_, datagram.data(), datagram.size(), flags,
                    reinterpret_cast<const sockaddr*>(&address), sizeof(address)) >= 0;
  }

 private:
  int fd_;
};

}  // namespace testsupport
