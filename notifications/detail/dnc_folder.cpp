#include "notifications/detail/dnc_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
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

bool isPrivateFolder(int folderFd, timespec& changeTime) {
  struct stat st {};
  if (::fstat(folderFd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & 077) != 0) {
    return false;
  }
  changeTime = st.st_ctim;
  return true;
}

std::size_t datagramQueueLength() {
  std::FILE* file = std::fopen("/proc/sys/net/unix/max_dgram_qlen", "re");
  if (file == nullptr) return 0;
  unsigned long length = 0;
  const bool isRead = std::fscanf(file, "%lu", &length) == 1;
  std::fclose(file);
  return isRead ? length : 0;
}

std::string makeSocketName() {
  std::random_device device;
  const std::uint64_t random = (std::uint64_t{device()} << 32) | device();
  char name[kMaxSocketNameLength + 1];
  std::snprintf(name, sizeof(name), "%d-%016llx", static_cast<int>(::getpid()),
                static_cast<unsigned long long>(random));
  return name;
}

namespace {

bool operator==(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

long long nanosecondsBetween(const timespec& earlier, const timespec& later) {
  return (static_cast<long long>(later.tv_sec) - earlier.tv_sec) * 1000000000LL +
         (later.tv_nsec - earlier.tv_nsec);
}

// A memory file system (where $XDG_RUNTIME_DIR normally is) keeps the clock's times as they
// are; others may round them, at worst to whole seconds.
long long timestampRoundingOf(int folderFd) {
  struct statfs fs {};
  if (::fstatfs(folderFd, &fs) == 0 && fs.f_type == TMPFS_MAGIC) return 0;
  return 1000000000LL;
}

constexpr char kMissedMarkerEnding[] = ".missed";
constexpr std::size_t kMissedSuffixLength = 1 + 16 + sizeof(kMissedMarkerEnding) - 1;

bool isMarkerName(std::string_view name) {
  return name.size() > kMissedSuffixLength && name.ends_with(kMissedMarkerEnding);
}

// Removes a marker of ours whose socket no longer exists. The socket is looked up again here
// rather than taken from the listing, which may have missed a socket bound while it ran.
void removeIfOrphaned(int folderFd, const std::string& marker, uid_t self) {
  const std::string socket = marker.substr(0, marker.size() - kMissedSuffixLength);
  struct stat st {};
  if (::fstatat(folderFd, socket.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return;
  if (::fstatat(folderFd, marker.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISREG(st.st_mode) && st.st_uid == self) ::unlinkat(folderFd, marker.c_str(), 0);
}

}  // namespace

std::string missedMarkerSuffix(std::string_view notificationName) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : notificationName) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  }
  char suffix[1 + 16 + sizeof(kMissedMarkerEnding)];
  std::snprintf(suffix, sizeof(suffix), ".%016llx%s", static_cast<unsigned long long>(hash),
                kMissedMarkerEnding);
  return suffix;
}

Broadcaster::Broadcaster(std::filesystem::path folder, int folderFd)
    : folder_(std::move(folder)),
      folderFd_(folderFd),
      timestampRoundingNs_(timestampRoundingOf(folderFd)) {}

void Broadcaster::openSendSocket() {
  sendFd_ = UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  socklen_t size = sizeof(sendBufferSize_);
  if (!sendFd_.isValid() ||
      ::getsockopt(sendFd_.get(), SOL_SOCKET, SO_SNDBUF, &sendBufferSize_, &size) != 0) {
    sendBufferSize_ = 0;
  }
}

void Broadcaster::broadcast(std::string_view datagram, std::string_view missedSuffix,
                            std::string_view skipName) {
  // Someone with the same user id could have opened the folder up since it was checked.
  timespec change{};
  if (!isPrivateFolder(folderFd_, change)) return;
  if (!sendFd_.isValid()) openSendSocket();
  if (!sendFd_.isValid()) return;
  if (!isListingReusable_ || !(change == listedChange_)) list(change);
  for (const Receiver& receiver : receivers_) {
    if (receiver.name != skipName) sendTo(receiver, datagram, missedSuffix);
  }
}

void Broadcaster::list(const timespec& change) {
  timespec listedAt{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &listedAt);
  receivers_.clear();
  isListingReusable_ = false;
  // A fresh descriptor per listing: readdir needs its own position.
  const int listFd = ::openat(folderFd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return;
  DIR* dir = ::fdopendir(listFd);
  if (dir == nullptr) {
    ::close(listFd);
    return;
  }
  const uid_t self = ::geteuid();
  std::vector<std::string> markers;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (isMarkerName(name) && (entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN)) {
      markers.emplace_back(name);
      continue;
    }
    if (entry->d_type != DT_SOCK && entry->d_type != DT_UNKNOWN) continue;
    struct stat st {};
    if (::fstatat(folderFd_, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISSOCK(st.st_mode) || st.st_uid != self) continue;
    Receiver receiver{std::string(name), {}};
    if (!fillAddress(receiver.address, (folder_ / receiver.name).string())) continue;
    receivers_.push_back(std::move(receiver));
  }
  ::closedir(dir);
  for (const std::string& marker : markers) removeIfOrphaned(folderFd_, marker, self);
  // An entry made or removed later is stamped no earlier than listedAt (less any rounding), so
  // when the folder's time is before that, an unchanged time means unchanged entries.
  listedChange_ = change;
  isListingReusable_ = nanosecondsBetween(change, listedAt) > timestampRoundingNs_;
}

int Broadcaster::trySend(const Receiver& receiver, std::string_view datagram) const {
  for (;;) {
    const ssize_t sent =
        ::sendto(sendFd_.get(), datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&receiver.address), sizeof(receiver.address));
    if (sent >= 0) return 0;
    if (errno != EINTR) return errno;
  }
}

void Broadcaster::sendTo(const Receiver& receiver, std::string_view datagram,
                         std::string_view missedSuffix) {
  int error = trySend(receiver, datagram);
  if (error == EAGAIN) {
    // Either the receiver's queue is full, or this socket's own buffer is taken up by datagrams
    // still queued at receivers that stopped reading. Mark the name as missed, then try once
    // more on a socket with room: when that fails too, the queue was full after the mark was
    // made, so the receiver has datagrams to read and finds the mark once it has read them.
    const std::string marker = receiver.name + std::string(missedSuffix);
    const int fd =
        ::openat(folderFd_, marker.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);  // EEXIST: already marked and not yet seen
    int queued = 0;
    if (::ioctl(sendFd_.get(), SIOCOUTQ, &queued) != 0 || queued >= sendBufferSize_ / 2) {
      openSendSocket();
      if (!sendFd_.isValid()) return;
    }
    error = trySend(receiver, datagram);
  }
  if (error == ECONNREFUSED) {
    // The file outlived its process. Socket names are unique, so this is not a new observer
    // that reused the name. Removing it changes the folder's time, so the next broadcast lists
    // the folder again and removes the markers left for it.
    ::unlinkat(folderFd_, receiver.name.c_str(), 0);
  }
}

}  // namespace platform::dnc
