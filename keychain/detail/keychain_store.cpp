#include "keychain/detail/keychain_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "runtime/clock.h"
#include "runtime/runtime_mutex.h"

namespace platform::detail {

namespace {

namespace fs = std::filesystem;

// How long a call waits for other writers (and for another opener's lock on the folder) before
// giving up with errSecInteractionNotAllowed.
constexpr int kBusyTimeoutMilliseconds = 5000;
// Marks a database file as a keychain store ("BKCH"), so that another program's database is
// never taken for one.
constexpr int kApplicationId = 0x424B4348;
constexpr int kSchemaVersion = 1;
// Idle connections kept per store file, and store files kept open at once.
constexpr std::size_t kIdleConnectionsPerStore = 4;
constexpr std::size_t kStoresKeptOpen = 4;

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS generic_passwords ("
    " service TEXT NOT NULL,"
    " access_group TEXT NOT NULL,"
    " account TEXT NOT NULL,"
    " synchronizable INTEGER NOT NULL CHECK (synchronizable IN (0, 1)),"
    " data BLOB NOT NULL,"
    " created REAL NOT NULL,"
    " modified REAL NOT NULL,"
    " PRIMARY KEY (service, access_group, account, synchronizable)"
    ") WITHOUT ROWID";

OSStatus statusForSqlite(int rc) {
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return errSecSuccess;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return errSecInteractionNotAllowed;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
    case SQLITE_ERROR:  // a statement that does not fit the file: not our schema
    case SQLITE_MISMATCH:
      return errSecDecode;
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_READONLY:
    case SQLITE_PROTOCOL:
      return errSecIO;
    case SQLITE_NOMEM:
      return errSecAllocate;
    case SQLITE_CONSTRAINT:
      return errSecDuplicateItem;
    default:
      return errSecNotAvailable;
  }
}

// A connection that has seen one of these is not trusted with another call.
bool isFatalForConnection(int rc) {
  switch (rc & 0xff) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
    case SQLITE_FORMAT:
      return true;
    default:
      return false;
  }
}

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

std::optional<FileIdentity> identityOf(const fs::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return FileIdentity{status.st_dev, status.st_ino};
}

// Creates the missing folders of `folder` with mode 0700 and closes the last one to group and
// others. The store holds secrets: a folder that is not a directory or belongs to someone else
// is refused.
OSStatus prepareFolder(const fs::path& folder) {
  fs::path partial;
  for (const auto& component : folder) {
    partial /= component;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return errSecNotAvailable;
  }
  struct stat status {};
  if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return errSecNotAvailable;
  if (status.st_uid != ::geteuid()) return errSecNotAvailable;
  if ((status.st_mode & 0077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
    return errSecNotAvailable;
  }
  return errSecSuccess;
}

// A read never creates the store: an absent store answers as an empty one would.
enum class Access { read, write };

// The store folder of a read must already be a directory of this user; nothing is made.
OSStatus checkFolder(const fs::path& folder) {
  struct stat status {};
  if (::lstat(folder.c_str(), &status) != 0) {
    return errno == ENOENT ? errSecItemNotFound : errSecNotAvailable;
  }
  if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) return errSecNotAvailable;
  return errSecSuccess;
}

// Creates the store file with mode 0600 before the database library opens it (the library
// would create it with the process's umask); the journal files take the same mode. A read
// opens only an existing file. O_NONBLOCK: a FIFO or device in its place must not stall the
// open; it is then refused as not a regular file, and so are such files in place of the
// journal companions, which the database library would otherwise read. `isEmpty` says the file
// is new (or still being made a store by another process).
OSStatus prepareFile(const fs::path& file, Access access, bool& isEmpty) {
  const int create = access == Access::write ? O_CREAT : 0;
  const int fd = ::open(file.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | create, 0600);
  if (fd < 0) {
    return access == Access::read && errno == ENOENT ? errSecItemNotFound : errSecNotAvailable;
  }
  struct stat status {};
  OSStatus result = errSecSuccess;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    result = errSecNotAvailable;
  } else if ((status.st_mode & 0077) != 0 && status.st_uid == ::geteuid()) {
    if (::fchmod(fd, 0600) != 0) result = errSecNotAvailable;
  }
  isEmpty = status.st_size == 0;
  ::close(fd);
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    struct stat companion {};
    const auto path = file.native() + suffix;
    if (::lstat(path.c_str(), &companion) == 0 && !S_ISREG(companion.st_mode)) {
      result = errSecNotAvailable;
    }
  }
  return result;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  bool isValid() const { return fd_ >= 0; }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Waits for the folder's lock as long as the database waits for a busy store, polling as the
// database's own busy handler does: flock has no timeout.
OSStatus lockExclusively(int fd) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMilliseconds);
  auto pause = std::chrono::milliseconds(1);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return errSecNotAvailable;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return errSecInteractionNotAllowed;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  return errSecSuccess;
}

class Connection {
 public:
  Connection(sqlite3* db, FileIdentity identity) : db_(db), identity_(identity) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
    sqlite3_close_v2(db_);
  }

  // Opens the store file; a write makes it (and its folder) when missing, a read answers
  // errSecItemNotFound then.
  static OSStatus open(const fs::path& path, Access access, std::unique_ptr<Connection>& out) {
    const OSStatus folderStatus = access == Access::write ? prepareFolder(path.parent_path())
                                                          : checkFolder(path.parent_path());
    if (folderStatus != errSecSuccess) return folderStatus;
    bool isEmpty = false;
    if (const OSStatus status = prepareFile(path, access, isEmpty); status != errSecSuccess) {
      return status;
    }
    // Turning a new file into a store (journal mode, schema) is not safe while another process
    // does the same; an exclusive lock on the folder makes openers of a new file take turns. It
    // is released when the descriptor closes, also when a process dies holding it. A file that
    // has content already has its journal mode, and the schema is made in a transaction that
    // checks again, so opening it takes no lock.
    FileDescriptor folder(-1);
    if (isEmpty) {
      folder =
          FileDescriptor(::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!folder.isValid()) return errSecNotAvailable;
      if (const OSStatus status = lockExclusively(folder.get()); status != errSecSuccess) {
        return status;
      }
    }
    const auto identity = identityOf(path);
    if (!identity) return errSecNotAvailable;

    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    auto connection = std::make_unique<Connection>(db, *identity);
    if (rc != SQLITE_OK) {
      return (rc & 0xff) == SQLITE_CANTOPEN ? errSecNotAvailable : statusForSqlite(rc);
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
    sqlite3_extended_result_codes(db, 1);
    if (const OSStatus status = connection->configure(); status != errSecSuccess) return status;
    out = std::move(connection);
    return errSecSuccess;
  }

  const FileIdentity& identity() const { return identity_; }
  bool isBroken() const { return isBroken_; }

  // A prepared statement for `sql`, kept for the life of the connection.
  sqlite3_stmt* statement(const std::string& sql, int& rc) {
    if (auto found = statements_.find(sql); found != statements_.end()) {
      rc = SQLITE_OK;
      return found->second;
    }
    sqlite3_stmt* prepared = nullptr;
    rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size() + 1),
                            SQLITE_PREPARE_PERSISTENT, &prepared, nullptr);
    if (rc != SQLITE_OK) {
      noteResult(rc);
      return nullptr;
    }
    statements_.emplace(sql, prepared);
    return prepared;
  }

  // Remembers results after which the connection must be dropped; returns the status of rc.
  OSStatus noteResult(int rc) {
    if (isFatalForConnection(rc)) isBroken_ = true;
    return statusForSqlite(rc);
  }

  int changes() const { return sqlite3_changes(db_); }

 private:
  int exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

  int readIntegerPragma(const char* sql, int& value) {
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr);
    if (rc == SQLITE_OK) {
      rc = sqlite3_step(statement);
      if (rc == SQLITE_ROW) {
        value = sqlite3_column_int(statement, 0);
        rc = SQLITE_OK;
      }
    }
    sqlite3_finalize(statement);
    return rc;
  }

  // Write-ahead logging lets readers and one writer of any process work at once, and keeps the
  // file consistent when a process dies mid-write. NORMAL synchronisation keeps that
  // consistency; only the last commits may be lost to a power cut.
  OSStatus configure() {
    int rc = exec("PRAGMA journal_mode=WAL");
    if (rc == SQLITE_OK) rc = exec("PRAGMA synchronous=NORMAL");
    if (rc == SQLITE_OK) rc = exec("PRAGMA secure_delete=ON");
    if (rc != SQLITE_OK) return statusForSqlite(rc);
    int applicationId = 0;
    rc = readIntegerPragma("PRAGMA application_id", applicationId);
    if (rc != SQLITE_OK) return statusForSqlite(rc);
    if (applicationId == kApplicationId) return errSecSuccess;
    if (applicationId != 0) return errSecDecode;
    return createSchema();
  }

  // Another process may be creating the schema at the same moment: the immediate transaction
  // makes one wait for the other, and the checks are repeated inside it.
  OSStatus createSchema() {
    int rc = exec("BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) return statusForSqlite(rc);
    int applicationId = 0;
    int tableCount = 0;
    rc = readIntegerPragma("PRAGMA application_id", applicationId);
    if (rc == SQLITE_OK) {
      rc = readIntegerPragma("SELECT count(*) FROM sqlite_schema", tableCount);
    }
    OSStatus status = statusForSqlite(rc);
    if (status == errSecSuccess && applicationId != kApplicationId) {
      if (applicationId != 0 || tableCount != 0) {
        status = errSecDecode;
      } else {
        const std::string statements = std::string(kSchema) +
                                       "; PRAGMA application_id=" + std::to_string(kApplicationId) +
                                       "; PRAGMA user_version=" + std::to_string(kSchemaVersion);
        status = statusForSqlite(exec(statements.c_str()));
      }
    }
    if (status == errSecSuccess) {
      status = statusForSqlite(exec("COMMIT"));
    }
    if (status != errSecSuccess) exec("ROLLBACK");
    return status;
  }

  sqlite3* db_;
  FileIdentity identity_;
  bool isBroken_ = false;
  std::unordered_map<std::string, sqlite3_stmt*> statements_;
};

// Open connections, reused across calls because opening one costs far more than a lookup.
// A connection serves one call at a time. Connections inherited through fork() belong to the
// parent: the child abandons them without closing (closing could disturb the parent's locks)
// and opens its own.
class ConnectionPool {
 public:
  static ConnectionPool& shared() {
    // Never destroyed: calls may still run on other threads while the process exits.
    static auto* pool = new ConnectionPool;
    return *pool;
  }

  OSStatus acquire(const fs::path& path, Access access, std::unique_ptr<Connection>& out) {
    const auto identity = identityOf(path);
    std::vector<std::unique_ptr<Connection>> stale;
    {
      MutexLock lock(mutex_);
      abandonInheritedConnections();
      auto& store = stores_[path.native()];
      store.lastUse = ++useCounter_;
      while (!store.idle.empty()) {
        auto connection = std::move(store.idle.back());
        store.idle.pop_back();
        if (identity && connection->identity() == *identity) {
          out = std::move(connection);
          break;
        }
        // The file was removed or replaced since this connection opened it.
        stale.push_back(std::move(connection));
      }
      trimStores(path.native(), stale);
    }
    stale.clear();  // closed outside the lock
    if (out) return errSecSuccess;
    return Connection::open(path, access, out);
  }

  void release(const fs::path& path, std::unique_ptr<Connection> connection) {
    if (!connection || connection->isBroken()) return;
    {
      MutexLock lock(mutex_);
      if (owner_ == ::getpid()) {
        auto found = stores_.find(path.native());
        if (found != stores_.end() && found->second.idle.size() < kIdleConnectionsPerStore) {
          found->second.idle.push_back(std::move(connection));
        }
      }
    }
    // A connection that was not kept is closed here, outside the lock.
  }

 private:
  struct Store {
    std::vector<std::unique_ptr<Connection>> idle;
    std::uint64_t lastUse = 0;
  };

  void abandonInheritedConnections() RUNTIME_REQUIRES(mutex_) {
    const pid_t current = ::getpid();
    if (owner_ == current) return;
    for (auto& [path, store] : stores_) {
      for (auto& connection : store.idle) {
        [[maybe_unused]] Connection* abandoned = connection.release();
      }
    }
    stores_.clear();
    owner_ = current;
  }

  // Tests and tools move between many store files; only the most recent ones stay open.
  void trimStores(const std::string& current, std::vector<std::unique_ptr<Connection>>& stale)
      RUNTIME_REQUIRES(mutex_) {
    while (stores_.size() > kStoresKeptOpen) {
      auto oldest = stores_.end();
      for (auto it = stores_.begin(); it != stores_.end(); ++it) {
        if (it->first == current) continue;
        if (oldest == stores_.end() || it->second.lastUse < oldest->second.lastUse) oldest = it;
      }
      if (oldest == stores_.end()) return;
      for (auto& connection : oldest->second.idle) stale.push_back(std::move(connection));
      stores_.erase(oldest);
    }
  }

  Mutex mutex_;
  pid_t owner_ RUNTIME_GUARDED_BY(mutex_) = ::getpid();
  std::uint64_t useCounter_ RUNTIME_GUARDED_BY(mutex_) = 0;
  std::map<std::string, Store> stores_ RUNTIME_GUARDED_BY(mutex_);
};

// Holds a connection for one call and hands it back afterwards.
class ConnectionLease {
 public:
  ConnectionLease(const fs::path& path, Access access) : path_(path) {
    status_ = ConnectionPool::shared().acquire(path_, access, connection_);
  }
  ~ConnectionLease() { ConnectionPool::shared().release(path_, std::move(connection_)); }
  ConnectionLease(const ConnectionLease&) = delete;
  ConnectionLease& operator=(const ConnectionLease&) = delete;

  OSStatus status() const { return status_; }
  Connection& operator*() const { return *connection_; }
  Connection* operator->() const { return connection_.get(); }

 private:
  const fs::path& path_;
  std::unique_ptr<Connection> connection_;
  OSStatus status_;
};

// Resets and unbinds a statement when the call is done with it, so the next call starts clean.
class StatementUse {
 public:
  explicit StatementUse(sqlite3_stmt* statement) : statement_(statement) {}
  ~StatementUse() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;

  void bindText(const std::string& text) {
    sqlite3_bind_text(statement_, ++index_, text.data(), static_cast<int>(text.size()),
                      SQLITE_STATIC);
  }
  void bindInteger(int value) { sqlite3_bind_int(statement_, ++index_, value); }
  void bindReal(double value) { sqlite3_bind_double(statement_, ++index_, value); }
  void bindBytes(const Bytes& bytes) {
    // An empty blob must not be bound from a null pointer, which would bind SQL NULL.
    if (bytes.empty()) {
      sqlite3_bind_zeroblob(statement_, ++index_, 0);
    } else {
      sqlite3_bind_blob(statement_, ++index_, bytes.data(), static_cast<int>(bytes.size()),
                        SQLITE_STATIC);
    }
  }
  int step() { return sqlite3_step(statement_); }
  sqlite3_stmt* get() const { return statement_; }

 private:
  sqlite3_stmt* statement_;
  int index_ = 0;
};

// The WHERE clause of a query, with its parameters bound in the same order.
std::string whereClause(const KeychainItemQuery& query) {
  std::string clause;
  auto add = [&clause](const char* condition) {
    clause += clause.empty() ? " WHERE " : " AND ";
    clause += condition;
  };
  if (query.service) add("service = ?");
  if (query.accessGroup) add("access_group = ?");
  if (query.account) add("account = ?");
  if (query.synchronizable != SynchronizableMatch::any) add("synchronizable = ?");
  return clause;
}

void bindWhere(StatementUse& use, const KeychainItemQuery& query) {
  if (query.service) use.bindText(*query.service);
  if (query.accessGroup) use.bindText(*query.accessGroup);
  if (query.account) use.bindText(*query.account);
  if (query.synchronizable != SynchronizableMatch::any) {
    use.bindInteger(query.synchronizable == SynchronizableMatch::synchronizable ? 1 : 0);
  }
}

// Runs a statement that returns no rows.
OSStatus runWrite(Connection& connection, StatementUse& use) {
  const int rc = use.step();
  if (rc == SQLITE_DONE) return errSecSuccess;
  return connection.noteResult(rc);
}

}  // namespace

OSStatus storeAdd(const fs::path& database, const KeychainItem& item) {
  ConnectionLease connection(database, Access::write);
  if (connection.status() != errSecSuccess) return connection.status();
  int rc = SQLITE_OK;
  auto* statement = connection->statement(
      "INSERT INTO generic_passwords (service, access_group, account, synchronizable, data, "
      "created, modified) VALUES (?, ?, ?, ?, ?, ?, ?)",
      rc);
  if (statement == nullptr) return statusForSqlite(rc);
  StatementUse use(statement);
  const double now = currentTimeIntervalSince1970();
  use.bindText(item.service);
  use.bindText(item.accessGroup);
  use.bindText(item.account);
  use.bindInteger(item.synchronizable ? 1 : 0);
  use.bindBytes(item.data);
  use.bindReal(now);
  use.bindReal(now);
  return runWrite(*connection, use);
}

OSStatus storeFind(const fs::path& database, const KeychainItemQuery& query, Bytes* data) {
  ConnectionLease connection(database, Access::read);
  if (connection.status() != errSecSuccess) return connection.status();
  int rc = SQLITE_OK;
  const std::string sql = std::string(data != nullptr ? "SELECT data" : "SELECT 1") +
                          " FROM generic_passwords" + whereClause(query) +
                          " ORDER BY synchronizable LIMIT 1";
  auto* statement = connection->statement(sql, rc);
  if (statement == nullptr) return statusForSqlite(rc);
  StatementUse use(statement);
  bindWhere(use, query);
  rc = use.step();
  if (rc == SQLITE_DONE) return errSecItemNotFound;
  if (rc != SQLITE_ROW) return connection->noteResult(rc);
  if (data != nullptr) {
    const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(use.get(), 0));
    const int size = sqlite3_column_bytes(use.get(), 0);
    data->assign(bytes, bytes + (bytes != nullptr ? size : 0));
  }
  return errSecSuccess;
}

OSStatus storeUpdate(const fs::path& database, const KeychainItemQuery& query,
                     const KeychainItemChanges& changes) {
  ConnectionLease connection(database, Access::write);
  if (connection.status() != errSecSuccess) return connection.status();
  std::string sql = "UPDATE generic_passwords SET modified = ?";
  if (changes.service) sql += ", service = ?";
  if (changes.accessGroup) sql += ", access_group = ?";
  if (changes.account) sql += ", account = ?";
  if (changes.synchronizable) sql += ", synchronizable = ?";
  if (changes.data) sql += ", data = ?";
  sql += whereClause(query);
  int rc = SQLITE_OK;
  auto* statement = connection->statement(sql, rc);
  if (statement == nullptr) return statusForSqlite(rc);
  StatementUse use(statement);
  use.bindReal(currentTimeIntervalSince1970());
  if (changes.service) use.bindText(*changes.service);
  if (changes.accessGroup) use.bindText(*changes.accessGroup);
  if (changes.account) use.bindText(*changes.account);
  if (changes.synchronizable) use.bindInteger(*changes.synchronizable ? 1 : 0);
  if (changes.data) use.bindBytes(*changes.data);
  bindWhere(use, query);
  const OSStatus status = runWrite(*connection, use);
  if (status != errSecSuccess) return status;
  return connection->changes() > 0 ? errSecSuccess : errSecItemNotFound;
}

OSStatus storeDelete(const fs::path& database, const KeychainItemQuery& query) {
  ConnectionLease connection(database, Access::read);
  if (connection.status() != errSecSuccess) return connection.status();
  int rc = SQLITE_OK;
  auto* statement = connection->statement("DELETE FROM generic_passwords" + whereClause(query), rc);
  if (statement == nullptr) return statusForSqlite(rc);
  StatementUse use(statement);
  bindWhere(use, query);
  const OSStatus status = runWrite(*connection, use);
  if (status != errSecSuccess) return status;
  return connection->changes() > 0 ? errSecSuccess : errSecItemNotFound;
}

}  // namespace platform::detail
