#pragma once

#include <sys/un.h>
#include <time.h>

#include <chrono>
#include <filesystem>
#include <set>
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

// A name for a new observing socket, unique across processes: "<pid>-<random hex>".
std::string makeSocketName();

// Sends datagrams to every observing socket in one folder. Socket files owned by another user,
// symlinks and anything that is not a socket are skipped and left alone; a socket file whose
// process is gone (the send is refused) is removed. When a receiver's queue is full the send
// blocks until there is room, at most `sendTimeout`; a receiver that stays full that long is
// marked stalled, and later sends to it do not wait until one succeeds again. Not thread-safe:
// the owner serialises calls.
class Broadcaster {
 public:
  Broadcaster(std::filesystem::path folder, int folderFd, std::chrono::milliseconds sendTimeout);

  // Sends `datagram` to every socket in the folder except the file named `skipName`.
  void broadcast(std::string_view datagram, std::string_view skipName);

 private:
  struct Receiver {
    std::string name;
    sockaddr_un address;
  };

  // Lists the observing sockets; `change` is the folder's change time read just before.
  void list(const timespec& change);
  void sendTo(const Receiver& receiver, std::string_view datagram);

  std::filesystem::path folder_;
  int folderFd_;  // owned by the caller, outlives this object
  std::chrono::milliseconds sendTimeout_;
  UniqueFd sendFd_;
  std::set<std::string, std::less<>> stalled_;
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
