// A process of another user poking at this user's keychain store and notification folder. The
// isolation test starts it through setpriv as user nobody. Each mode says one line: "ok ..." when
// the attempt worked, "denied <errno name>" when the system refused it.
//
//   intruder read <file>       opens the file for reading and reads it
//   intruder list <folder>     lists the folder
//   intruder bind <folder>     binds a datagram socket in the folder
//   intruder send <socket>     sends a well-formed notification datagram to the socket

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "reliability/process.h"

namespace {

std::string errnoName(int error) {
  switch (error) {
    case EACCES:
      return "EACCES";
    case EPERM:
      return "EPERM";
    case ENOENT:
      return "ENOENT";
    case ECONNREFUSED:
      return "ECONNREFUSED";
    default:
      return "errno" + std::to_string(error);
  }
}

int denied() {
  reliability::say("denied " + errnoName(errno));
  return 0;
}

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  return address;
}

int readFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return denied();
  char buffer[4096];
  const ssize_t size = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (size < 0) return denied();
  reliability::say("ok read " + std::to_string(size) + " bytes");
  return 0;
}

int listFolder(const std::string& path) {
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) return denied();
  int entries = 0;
  while (::readdir(folder) != nullptr) ++entries;
  ::closedir(folder);
  reliability::say("ok listed " + std::to_string(entries) + " entries");
  return 0;
}

int bindSocket(const std::string& folder) {
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const std::string path = folder + "/" + std::to_string(::getpid()) + "-0000000000000000";
  const sockaddr_un address = addressOf(path);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return denied();
  }
  ::unlink(path.c_str());
  ::close(fd);
  reliability::say("ok bound " + path);
  return 0;
}

int sendDatagram(const std::string& socketPath) {
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const std::string datagram =
      std::string("DN\x01\x00", 4) +
      "com.tarvik.NyraInteroperability.com.tarvik.brisvane.interoperability.state.Updated";
  const sockaddr_un address = addressOf(socketPath);
  const ssize_t sent = ::sendto(fd, datagram.data(), datagram.size(), 0,
                                reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int error = errno;
  ::close(fd);
  if (sent < 0) {
    errno = error;
    return denied();
  }
  reliability::say("ok sent");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "";
  if (mode == "read") return readFile(argv[2]);
  if (mode == "list") return listFolder(argv[2]);
  if (mode == "bind") return bindSocket(argv[2]);
  if (mode == "send") return sendDatagram(argv[2]);
  std::fprintf(stderr, "usage: intruder read|list|bind|send <path>\n");
  return 2;
}
