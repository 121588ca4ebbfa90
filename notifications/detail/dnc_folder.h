#pragma once

#include <sys/un.h>
#include <time.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The per-user rendezvous folder of the distributed notification center: checking it, and
// sending a datagram to every observing socket in it.
namespace platform::dnc {

// Owns one file descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  bool isValid() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Longest socket file name the center itself creates ("<pid>-<16 hex digits>").
inline constexpr std::size_t kMaxSocketNameLength = 10 + 1 + 16;

// Opens `folder`, creating it with mode 0700 when missing (its parent must exist). Throws
// std::system_error when it cannot be created or opened, is a symlink or not a directory, is not
// owned by the effective user, grants any permission to group or others, or is too long a path
// to hold the center's socket names.
UniqueFd openPrivateFolder(const std::filesystem::path& folder);

// True when the open folder is still owned by the effective user and closed to group and others;
// then also gives the folder's change time.
bool isPrivateFolder(int folderFd, timespec& changeTime);

// The queue limit a new socket gets (net.unix.max_dgram_qlen): a send to it fails with EAGAIN
// while more datagrams than this wait in its queue. 0 when the setting cannot be read.
std::size_t datagramQueueLength();

// A name for a new observing socket, unique across processes: "<pid>-<random hex>".
std::string makeSocketName();

// The suffix of the file that marks `notificationName` as missed by a receiver:
// ".<16 lowercase hex digits of the name's 64-bit FNV-1a hash>.missed". The marker itself is
// "<receiver's socket name><suffix>", an empty regular file in the folder.
std::string missedMarkerSuffix(std::string_view notificationName);

// Sends datagrams to every observing socket in one folder, never waiting for a receiver. Socket
// files owned by another user, symlinks and anything that is not a socket are skipped and left
// alone; a socket file whose process is gone (the send is refused) is removed, with the markers
// left for it. When a receiver's queue is full the datagram is not sent; the name is marked as
// missed for that receiver instead, which finds the mark once it has read its queue. Not
// thread-safe: the owner serialises calls.
class Broadcaster {
 public:
  Broadcaster(std::filesystem::path folder, int folderFd);

  // Sends `datagram` to every socket in the folder except the file named `skipName`; a receiver
  // it cannot reach gets the marker "<socket name><missedSuffix>".
  void broadcast(std::string_view datagram, std::string_view missedSuffix,
                 std::string_view skipName);

 private:
  struct Receiver {
    std::string name;
    sockaddr_un address;
  };

  // Lists the observing sockets and removes markers whose socket is gone; `change` is the
  // folder's change time read just before.
  void list(const timespec& change);
  void sendTo(const Receiver& receiver, std::string_view datagram, std::string_view missedSuffix);
  int trySend(const Receiver& receiver, std::string_view datagram) const;
  void openSendSocket();

  std::filesystem::path folder_;
  int folderFd_;  // owned by the caller, outlives this object
  UniqueFd sendFd_;
  int sendBufferSize_ = 0;
  // The last listing, reused while the folder's change time stays what it was then. Any entry
  // created or removed changes that time, as long as it happens on a later tick of the clock
  // that stamps files; a listing is therefore reused only once the folder's time is well
  // older than the listing itself.
  std::vector<Receiver> receivers_;
  timespec listedChange_{};
  bool isListingReusable_ = false;
  // How coarsely the folder's file system may round the times it stamps.
  long long timestampRoundingNs_;
};

}  // namespace platform::dnc
