#pragma once
// The address of a Unix-domain socket at `path`, for tests that bind or send to one by hand.
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>

namespace testsupport {

inline sockaddr_un addressOf(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  return address;
}

}  // namespace testsupport
