#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "brisvane_export.h"

namespace platform {

// Identifies one registration made with DistributedNotificationCenter::addObserver. Copyable and
// comparable; a default-constructed token identifies nothing, and removing it does nothing.
// Tokens are unique within the process, so a token never removes another center's observer.
class BRISVANE_EXPORT ObserverToken {
 public:
  ObserverToken() = default;

  explicit operator bool() const noexcept { return id_ != 0; }
  friend bool operator==(const ObserverToken&, const ObserverToken&) = default;
  friend std::strong_ordering operator<=>(const ObserverToken&, const ObserverToken&) = default;

 private:
  friend class DistributedNotificationCenter;
  explicit ObserverToken(std::uint64_t id) : id_(id) {}

  std::uint64_t id_ = 0;
};

// Posts notification names to every observing process of the same user (the poster's own
// included) and calls the observers' callbacks on the center's own thread.
//
// There is no daemon. Every center that has observers binds one Unix-domain datagram socket in a
// per-user folder; posting sends the name to every socket in that folder. The folder must be
// owned by the current user and closed to group and others; sockets of another user, symlinks and
// other files in it are ignored, and sockets whose process is gone are removed.
//
// A post never waits for an observer. When an observer's queue is full (the kernel keeps about
// ten datagrams), the poster leaves a mark for that name and observer instead; the observer
// finds the mark once it has read its queue and calls that name's callbacks once more. So a
// burst may reach a slow or stopped observer as fewer callbacks than posts (and a post whose
// second try got through as two), but its last
// callback for a name always runs after the last post of that name. A missed name is delivered
// before any datagram sent to that observer after the miss; several names missed together come
// in no particular order. The
// datagram, marker and folder formats are described in docs/wire-formats.md.
//
// Threads: every method may be called from any thread, including from inside a callback.
// Callbacks run one at a time on the center's receiving thread, which is started with the first
// observer and stopped (joined) when the center is destroyed; while idle it sleeps in the kernel
// without timeouts. When a callback drops the last reference to its own center, the thread ends
// by itself once that callback returns.
class BRISVANE_EXPORT DistributedNotificationCenter {
 public:
  // Longest name that post() accepts, in bytes.
  static constexpr std::size_t kMaxNameLength = 4096;

  using Callback = std::function<void(const std::string& name)>;

  // The process's shared center over defaultFolder(). Never throws: when that folder cannot be
  // used safely (see create()), a line is written to standard error once and the returned center
  // only delivers the process's own posts to the process's own observers.
  static std::shared_ptr<DistributedNotificationCenter> defaultCenter();

  // A center over an explicit folder (tests, tools). The folder is created with mode 0700 when
  // missing (its parent must exist). Throws std::system_error when the folder cannot be created or
  // opened, is a symlink or not a directory, is owned by another user or grants any permission to
  // group or others, or when its path is too long for a socket address.
  static std::shared_ptr<DistributedNotificationCenter> create(std::filesystem::path folder);

  // $XDG_RUNTIME_DIR/distributed-notifications when XDG_RUNTIME_DIR is set to an absolute path,
  // otherwise /tmp/distributed-notifications-<uid>.
  static std::filesystem::path defaultFolder();

  DistributedNotificationCenter(const DistributedNotificationCenter&) = delete;
  DistributedNotificationCenter& operator=(const DistributedNotificationCenter&) = delete;
  // Stops the receiving thread (after a running callback returns) and removes this center's socket.
  ~DistributedNotificationCenter();

  // Delivers `name` to every observer of it in every observing process of the user, this one
  // included. Never waits for an observing process: one whose queue is full gets a missed mark
  // for the name instead (see above). Reports no failure, except that a name longer than
  // kMaxNameLength throws std::invalid_argument.
  void post(const std::string& name);

  // Registers `callback` for notifications named exactly `name`. The callback runs on the
  // center's receiving thread for notifications posted after this call returns: once for each,
  // or once for several when they met a full queue (see above). The
  // first registration starts that thread; it throws std::system_error only when the process is
  // out of file descriptors or threads.
  ObserverToken addObserver(const std::string& name, Callback callback);

  // After it returns the callback never runs again; called from another thread while the callback
  // runs, it waits for the callback to return. Called from a callback (on the receiving thread) it
  // returns at once. Removing an unknown or already removed token does nothing.
  void removeObserver(const ObserverToken& token);

  // The folder this center posts into; empty for a default center that could not use its folder.
  const std::filesystem::path& folder() const;

 private:
  struct State;
  explicit DistributedNotificationCenter(std::shared_ptr<State> state);

  std::shared_ptr<State> state_;
};

}  // namespace platform
