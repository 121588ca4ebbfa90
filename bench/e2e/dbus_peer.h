#pragma once

// The message-bus peer of bench.e2e: the same change carried the way a desktop service commonly
// carries one. The writer upserts the settings item into the store (the floor's SQLite path) and
// then emits a signal on a private message bus; each host is a single-threaded process that
// subscribes to that signal with sd-bus and reads the store on every signal. The bus is a
// dbus-daemon this program starts for the experiment, listening on a socket in a folder the
// caller owns.
//
// Threads: every object here is used by one thread at a time. The daemon and the hosts are child
// processes that die with this one (SIGKILL on the parent's death) and are killed and reaped
// when their objects are dropped, on error paths too.

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "support/process.h"

struct sd_bus;
struct sqlite3_stmt;

namespace e2e {

class Database;

// A dbus-daemon with a session-like configuration whose socket is in `folder`, which must
// outlive it.
class PrivateBus {
 public:
  explicit PrivateBus(const std::filesystem::path& folder);
  const std::string& address() const { return address_; }
  pid_t pid() const { return daemon_->pid(); }

 private:
  std::unique_ptr<testsupport::Process> daemon_;
  std::string address_;
};

// The security application's side of the peer: the store's writer and a bus connection.
class DBusWriter {
 public:
  DBusWriter(const std::string& address, const std::filesystem::path& database);
  ~DBusWriter();
  DBusWriter(const DBusWriter&) = delete;
  DBusWriter& operator=(const DBusWriter&) = delete;

  // Upserts the item with `value`, then emits the change signal.
  void save(bool value);

 private:
  std::unique_ptr<Database> db_;
  sqlite3_stmt* upsert_ = nullptr;
  sd_bus* bus_ = nullptr;
};

// Starts a host on the bus at `address` that reads `database`, and waits until its subscription
// is in place. It writes "v <0|1> <arrival>" for each signal (arrival: CLOCK_MONOTONIC once the
// value has been read), or with `board` posts to that slot of an AnswerBoard instead.
std::unique_ptr<testsupport::Process> startDBusHost(
    const std::string& address, const std::filesystem::path& database,
    const std::optional<std::pair<std::filesystem::path, int>>& board = std::nullopt);

// The roles, as "--role <name> <arguments...>" gives them: "dbus-daemon <config>" (replaces
// itself with the daemon) and "dbus-host <address> <database> [<board> <slot>]".
int runDBusDaemonRole(int argc, char** argv);
int runDBusHostRole(int argc, char** argv);

}  // namespace e2e
