#include "notifications/distributed_notification_center.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "notifications/detail/dnc_datagram.h"
#include "notifications/detail/dnc_folder.h"

namespace platform {
namespace {

constexpr const char* kFolderName = "distributed-notifications";
std::atomic<std::uint64_t> nextObserverId{1};

struct Observer {
  Observer(std::uint64_t id, std::string name, DistributedNotificationCenter::Callback callback)
      : id(id), name(std::move(name)), callback(std::move(callback)) {}
  const std::uint64_t id;
  const std::string name;
  // Guarded by State::mutex, except while the receiving thread runs it (State::running == id).
  DistributedNotificationCenter::Callback callback;
  bool isRemoved = false;
};

}  // namespace

// Shared by the center and its receiving thread, so that a center destroyed from its own
// callback can leave the thread to finish on its own.
struct BRISVANE_NO_EXPORT DistributedNotificationCenter::State {
  State(std::filesystem::path folder, dnc::UniqueFd folderFd)
      : folder(std::move(folder)),
        folderFd(std::move(folderFd)),
        broadcaster(this->folder, this->folderFd.get()) {}

  ~State() {
    if (!socketName.empty()) ::unlinkat(folderFd.get(), socketName.c_str(), 0);
  }

  bool hasFolder() const { return folderFd.isValid(); }

  // Binds the observing socket and starts the receiving thread. Called with `mutex` held.
  void startReceiving(const std::shared_ptr<State>& self);
  void runReceiver();
  void drainSocket();
  void deliverMissed();
  void dispatch(const std::string& name);
  void wake() const;

  const std::filesystem::path folder;  // empty when there is no usable folder
  const dnc::UniqueFd folderFd;

  std::mutex postMutex;          // serialises posts: one send socket, ordered delivery
  dnc::Broadcaster broadcaster;  // guarded by postMutex

  std::mutex mutex;
  std::condition_variable callbackFinished;
  std::map<std::uint64_t, std::shared_ptr<Observer>> observers;  // guarded by mutex
  std::deque<std::string> localPosts;  // guarded by mutex; this process's own posts
  std::uint64_t running = 0;           // guarded by mutex; id of the running callback
  bool isReceiving = false;            // guarded by mutex; set once, with the thread
  std::atomic<bool> isStopping{false};
  std::thread receiver;
  std::thread::id receiverId;  // guarded by mutex; written with isReceiving

  // Written once by startReceiving under `mutex` before `isReceiving` is set; read-only after,
  // except that the default center's socketName is cleared (under `mutex`) at exit.
  dnc::UniqueFd wakeFd;
  dnc::UniqueFd socketFd;
  std::string socketName;
  std::size_t queueLength = 0;  // the socket's queue limit; 0 when unknown (always check marks)
};

void DistributedNotificationCenter::State::startReceiving(const std::shared_ptr<State>& self) {
  wakeFd = dnc::UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wakeFd.isValid()) {
    throw std::system_error(errno, std::generic_category(), "cannot create an eventfd");
  }
  if (hasFolder()) {
    // A socket takes its queue limit from this setting when it is made.
    queueLength = dnc::datagramQueueLength();
    dnc::UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const std::string name = dnc::makeSocketName();
    const std::string path = (folder / name).string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());  // length checked with the folder
    if (fd.isValid() &&
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
      ::fchmodat(folderFd.get(), name.c_str(), 0600, 0);
      socketFd = std::move(fd);
      socketName = name;
    }
    // Without a socket the center still delivers the process's own posts; posting and
    // observing report no failure.
  }
  isReceiving = true;
  receiver = std::thread([self] { self->runReceiver(); });
  receiverId = receiver.get_id();
}

void DistributedNotificationCenter::State::wake() const {
  const std::uint64_t one = 1;
  // The counter only saturates after 2^64 - 2 unread wakes, and one wake is enough.
  [[maybe_unused]] const ssize_t written = ::write(wakeFd.get(), &one, sizeof(one));
}

void DistributedNotificationCenter::State::runReceiver() {
  std::array<pollfd, 2> fds{};
  fds[0] = {wakeFd.get(), POLLIN, 0};
  fds[1] = {socketFd.get(), POLLIN, 0};
  const nfds_t count = socketFd.isValid() ? 2 : 1;
  while (!isStopping) {
    if (::poll(fds.data(), count, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "notification receiver poll failed");
    }
    if (fds[0].revents != 0) {
      std::uint64_t value = 0;
      [[maybe_unused]] const ssize_t read = ::read(wakeFd.get(), &value, sizeof(value));
      std::deque<std::string> posts;
      {
        std::lock_guard lock(mutex);
        posts.swap(localPosts);
      }
      for (const std::string& name : posts) {
        if (isStopping) return;
        dispatch(name);
      }
    }
    if (count > 1 && fds[1].revents != 0) drainSocket();
  }
}

// A poster leaves a mark only when this socket's queue is full, that is when it holds more than
// queueLength datagrams that all arrived after the queue was last empty. So while fewer than that
// have been read since, no mark can be waiting, and the checks (a system call per observed name)
// are skipped: the usual notification costs none.
void DistributedNotificationCenter::State::drainSocket() {
  std::array<char, dnc::kMaxDatagramSize + 1> buffer{};
  std::size_t readSinceEmpty = 0;
  while (!isStopping) {
    iovec io{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    const ssize_t size = ::recvmsg(socketFd.get(), &message, MSG_DONTWAIT);
    if (size < 0) {
      if (errno == EINTR) continue;
      if (readSinceEmpty >= queueLength) deliverMissed();  // EAGAIN: drained
      return;
    }
    ++readSinceEmpty;
    if ((message.msg_flags & MSG_TRUNC) != 0) continue;
    if (auto name = dnc::decodeDatagram(buffer.data(), static_cast<std::size_t>(size))) {
      // Names missed before this datagram was sent go first, so that a name posted after a
      // miss is not delivered ahead of the missed one.
      if (readSinceEmpty > queueLength) deliverMissed();
      dispatch(*name);
    }
  }
}

// A poster that found the queue full marked the name instead of sending it. Marks are made
// before the poster's last try, so one made while the queue was being read is found here at
// the latest once the queue has been read again.
void DistributedNotificationCenter::State::deliverMissed() {
  std::vector<std::string> names;
  std::string markerPrefix;
  {
    std::lock_guard lock(mutex);
    markerPrefix = socketName;
    for (const auto& [id, observer] : observers) {
      if (std::find(names.begin(), names.end(), observer->name) == names.end()) {
        names.push_back(observer->name);
      }
    }
  }
  if (markerPrefix.empty()) return;
  for (const std::string& name : names) {
    if (isStopping) return;
    const std::string marker = markerPrefix + dnc::missedMarkerSuffix(name);
    if (::unlinkat(folderFd.get(), marker.c_str(), 0) == 0) dispatch(name);
  }
}

void DistributedNotificationCenter::State::dispatch(const std::string& name) {
  std::vector<std::shared_ptr<Observer>> targets;
  {
    std::lock_guard lock(mutex);
    for (const auto& [id, observer] : observers) {
      if (observer->name == name) targets.push_back(observer);
    }
  }
  for (const auto& observer : targets) {
    {
      std::lock_guard lock(mutex);
      if (observer->isRemoved || isStopping) continue;
      running = observer->id;
    }
    observer->callback(name);
    Callback released;
    {
      std::lock_guard lock(mutex);
      running = 0;
      // Removed from inside its own callback: free what it captured now that it has returned.
      if (observer->isRemoved) released = std::move(observer->callback);
    }
    callbackFinished.notify_all();
  }
}

DistributedNotificationCenter::DistributedNotificationCenter(std::shared_ptr<State> state)
    : state_(std::move(state)) {}

DistributedNotificationCenter::~DistributedNotificationCenter() {
  bool isOnReceiver = false;
  {
    std::lock_guard lock(state_->mutex);
    state_->isStopping = true;
    if (state_->isReceiving) {
      state_->wake();
      isOnReceiver = std::this_thread::get_id() == state_->receiverId;
    }
  }
  if (state_->receiver.joinable()) {
    if (isOnReceiver) {
      // Destroyed from its own callback: the thread sees isStopping once the callback returns
      // and then drops its reference to the state.
      state_->receiver.detach();
    } else {
      state_->receiver.join();
    }
  }
  std::map<std::uint64_t, std::shared_ptr<Observer>> observers;
  {
    std::lock_guard lock(state_->mutex);
    observers.swap(state_->observers);
  }
}

std::shared_ptr<DistributedNotificationCenter> DistributedNotificationCenter::create(
    std::filesystem::path folder) {
  dnc::UniqueFd fd = dnc::openPrivateFolder(folder);
  auto state = std::make_shared<State>(std::move(folder), std::move(fd));
  return std::shared_ptr<DistributedNotificationCenter>(
      new DistributedNotificationCenter(std::move(state)));
}

std::filesystem::path DistributedNotificationCenter::defaultFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::filesystem::path(runtime) / kFolderName;
  // Fixed rather than $TMPDIR: every process of the user must meet in the same folder.
  return std::filesystem::path("/tmp") /
         (std::string(kFolderName) + "-" + std::to_string(::geteuid()));
}

std::shared_ptr<DistributedNotificationCenter> DistributedNotificationCenter::defaultCenter() {
  // The shared center lives until exit. Cancelled background tasks may still hold it then (a
  // stream whose task has not yet ended), so its socket goes when this static does, not when
  // its last reference does: an ended process never leaves its socket behind.
  struct ExitCleanup {
    std::shared_ptr<DistributedNotificationCenter> center;
    ~ExitCleanup() {
      std::lock_guard lock(center->state_->mutex);
      State& state = *center->state_;
      if (!state.socketName.empty()) ::unlinkat(state.folderFd.get(), state.socketName.c_str(), 0);
      state.socketName.clear();
    }
  };
  static const ExitCleanup holder{[] {
    try {
      return create(defaultFolder());
    } catch (const std::system_error& error) {
      std::cerr << "distributed notifications stay within this process: " << error.what()
                << std::endl;
      auto state = std::make_shared<State>(std::filesystem::path(), dnc::UniqueFd());
      return std::shared_ptr<DistributedNotificationCenter>(
          new DistributedNotificationCenter(std::move(state)));
    }
  }()};
  return holder.center;
}

void DistributedNotificationCenter::post(const std::string& name) {
  if (name.size() > kMaxNameLength) {
    throw std::invalid_argument("notification name longer than " + std::to_string(kMaxNameLength) +
                                " bytes");
  }
  {
    std::lock_guard lock(state_->mutex);
    if (state_->isReceiving && !state_->isStopping) {
      state_->localPosts.push_back(name);
      state_->wake();
    }
  }
  if (!state_->hasFolder()) return;
  const std::string datagram = dnc::encodeDatagram(name);
  std::lock_guard lock(state_->postMutex);
  // socketName is written once before isReceiving; reading it unlocked could race with that
  // write, so take it under the observer lock.
  std::string ownSocket;
  {
    std::lock_guard observersLock(state_->mutex);
    ownSocket = state_->socketName;
  }
  state_->broadcaster.broadcast(datagram, dnc::missedMarkerSuffix(name), ownSocket);
}

ObserverToken DistributedNotificationCenter::addObserver(const std::string& name,
                                                         Callback callback) {
  const std::uint64_t id = nextObserverId.fetch_add(1);
  auto observer = std::make_shared<Observer>(id, name, std::move(callback));
  std::lock_guard lock(state_->mutex);
  if (!state_->isReceiving) state_->startReceiving(state_);
  state_->observers.emplace(id, std::move(observer));
  return ObserverToken(id);
}

void DistributedNotificationCenter::removeObserver(const ObserverToken& token) {
  Callback released;
  {
    std::unique_lock lock(state_->mutex);
    const auto found = state_->observers.find(token.id_);
    if (found == state_->observers.end()) return;
    const std::shared_ptr<Observer> observer = found->second;
    state_->observers.erase(found);
    observer->isRemoved = true;
    if (state_->isReceiving && std::this_thread::get_id() == state_->receiverId) {
      // On the receiving thread the only callback that can be running is the caller's own;
      // dispatch frees it once it returns.
      if (state_->running != observer->id) released = std::move(observer->callback);
      return;
    }
    state_->callbackFinished.wait(lock, [&] { return state_->running != observer->id; });
    released = std::move(observer->callback);
  }
}

const std::filesystem::path& DistributedNotificationCenter::folder() const {
  return state_->folder;
}

}  // namespace platform
