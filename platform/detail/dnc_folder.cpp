#include "platform/detail/dnc_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>

namespace platform::dnc {
namespace {

[[noreturn]] void throwErrno(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

bool fillAddress(sockaddr_un& address, const std::string& path) {
  if (path.size() >= sizeof(address.sun_path)) return false;
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

UniqueFd openPrivateFolder(const std::filesystem::path& folder) {
  const std::string path = folder.string();
  if (path.size() + 1 + kMaxSocketNameLength >= sizeof(sockaddr_un{}.sun_path)) {
    throwErrno(ENAMETOOLONG, "notification folder path too long for a socket address: " + path);
  }
  const bool created = ::mkdir(path.c_str(), 0700) == 0;
  if (!created && errno != EEXIST) throwErrno(errno, "cannot create notification folder " + path);

  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.isValid()) throwErrno(errno, "cannot open notification folder " + path);
  // mkdir applies the umask, which may have removed owner bits; set the mode we mean.
  if (created && ::fchmod(fd.get(), 0700) != 0) {
    throwErrno(errno, "cannot set the mode of notification folder " + path);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throwErrno(errno, "cannot inspect notification folder " + path);
  if (st.st_uid != ::geteuid()) {
    throwErrno(EPERM, "notification folder " + path + " is owned by another user");
  }
  if ((st.st_mode & 077) != 0) {
    throwErrno(EPERM, "notification folder " + path + " is open to group or others");
  }
  return fd;
}

bool isPrivateFolder(int folderFd) {
  struct stat st {};
  return ::fstat(folderFd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 077) == 0;
}

std::string makeSocketName() {
  std::random_device device;
  const std::uint64_t random = (std::uint64_t{device()} << 32) | device();
  char name[kMaxSocketNameLength + 1];
  std::snprintf(name, sizeof(name), "%d-%016llx", static_cast<int>(::getpid()),
                static_cast<unsigned long long>(random));
  return name;
}

Broadcaster::Broadcaster(std::filesystem::path folder, int folderFd,
                         std::chrono::milliseconds sendTimeout)
    : folder_(std::move(folder)), folderFd_(folderFd), sendTimeout_(sendTimeout) {}

void Broadcaster::broadcast(std::string_view datagram, std::string_view skipName) {
  // Someone with the same user id could have opened the folder up since it was checked.
  if (!isPrivateFolder(folderFd_)) return;
  if (!sendFd_.isValid()) {
    sendFd_ = UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sendFd_.isValid()) return;
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(sendTimeout_).count();
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(micros / 1000000);
    timeout.tv_usec = static_cast<suseconds_t>(micros % 1000000);
    ::setsockopt(sendFd_.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  }

  // A fresh descriptor per listing: readdir needs its own position.
  const int listFd = ::openat(folderFd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return;
  DIR* dir = ::fdopendir(listFd);
  if (dir == nullptr) {
    ::close(listFd);
    return;
  }
  const uid_t self = ::geteuid();
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == ".." || name == skipName) continue;
    if (entry->d_type != DT_SOCK && entry->d_type != DT_UNKNOWN) continue;
    struct stat st {};
    if (::fstatat(folderFd_, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISSOCK(st.st_mode) || st.st_uid != self) continue;
    sendTo(entry->d_name, datagram);
  }
  ::closedir(dir);
}

void Broadcaster::sendTo(const std::string& entry, std::string_view datagram) {
  sockaddr_un address{};
  if (!fillAddress(address, (folder_ / entry).string())) return;
  const auto stalled = stalled_.find(entry);
  const int flags = MSG_NOSIGNAL | (stalled != stalled_.end() ? MSG_DONTWAIT : 0);
  for (;;) {
    const ssize_t sent = ::sendto(sendFd_.get(), datagram.data(), datagram.size(), flags,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    if (sent >= 0) {
      if (stalled != stalled_.end()) stalled_.erase(stalled);
      return;
    }
    switch (errno) {
      case EINTR:
        continue;
      case EAGAIN:
        // The blocking send already waited sendTimeout_ for room (or the receiver is marked
        // stalled): a process that stopped reading must not hold every poster up.
        stalled_.insert(entry);
        return;
      case ECONNREFUSED:
        // The file outlived its process. Socket names are unique, so this is not a new
        // observer that reused the name.
        ::unlinkat(folderFd_, entry.c_str(), 0);
        [[fallthrough]];
      default:
        if (stalled != stalled_.end()) stalled_.erase(stalled);
        return;
    }
  }
}

}  // namespace platform::dnc
