#pragma once

// What the end-to-end benchmark's reference paths share: the store they write and read (an SQLite
// database with the keychain store's table and settings, driven directly), the program's own path
// for starting its roles, and CPU time measured per thread.
//
// Threads: a Database is used by one thread at a time; the rest are plain functions.

#include <linux/magic.h>
#include <sqlite3.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "messages/BrisvaneSettings.h"
#include "reliability/sandbox.h"
#include "runtime/clock.h"

namespace e2e {

namespace fs = std::filesystem;
using brisvane::BrisvaneSettings;
using brisvane::BrisvaneStateServiceImpl;

// A fresh folder's parent on a memory file system, as $XDG_RUNTIME_DIR is on a desktop session;
// nothing (beside the rest of the sandbox) when /dev/shm is not one.
inline std::optional<fs::path> memoryFolder() {
  struct statfs info {};
  if (::statfs("/dev/shm", &info) == 0 && info.f_type == TMPFS_MAGIC) return fs::path("/dev/shm");
  return std::nullopt;
}

inline fs::path selfPath() {
  return fs::read_symlink("/proc/self/exe");
}

// The same table as the keychain store, and an envelope of the size the client writes.
constexpr char kFloorSchema[] =
    "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
    "CREATE TABLE IF NOT EXISTS generic_passwords (service TEXT NOT NULL, access_group TEXT NOT "
    "NULL, account TEXT NOT NULL, synchronizable INTEGER NOT NULL, data BLOB NOT NULL, created "
    "REAL "
    "NOT NULL, modified REAL NOT NULL, PRIMARY KEY (service, access_group, account, "
    "synchronizable)) WITHOUT ROWID";
constexpr char kFloorUpsert[] =
    "INSERT INTO generic_passwords VALUES (?1, ?2, ?3, 0, ?4, ?5, ?5) ON CONFLICT DO UPDATE SET "
    "data = excluded.data, modified = excluded.modified";
constexpr char kFloorSelect[] =
    "SELECT data FROM generic_passwords WHERE service = ?1 AND access_group = ?2 AND account = ?3 "
    "ORDER BY synchronizable LIMIT 1";

inline std::string envelope(bool value) {
  char text[160];
  std::snprintf(text, sizeof text,
                "{\"version\":\"1.0.0\",\"timestamp\":%.6f,\"data\":{\"isRTPEnabled\":%s}}",
                platform::currentTimeIntervalSince1970(), value ? "true" : "false");
  return text;
}

class Database {
 public:
  explicit Database(const fs::path& file) {
    if (sqlite3_open_v2(file.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      throw std::runtime_error("cannot open " + file.string());
    }
    sqlite3_busy_timeout(db_, 5000);
  }
  ~Database() {
    for (auto* s : statements_) sqlite3_finalize(s);
    sqlite3_close_v2(db_);
  }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
      throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db_));
    }
  }
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK) {
      throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db_));
    }
    statements_.push_back(statement);
    return statement;
  }

 private:
  sqlite3* db_ = nullptr;
  std::vector<sqlite3_stmt*> statements_;
};

inline void bindKey(sqlite3_stmt* statement) {
  sqlite3_bind_text(statement, 1, BrisvaneStateServiceImpl::keychainServiceName, -1, SQLITE_STATIC);
  sqlite3_bind_text(statement, 2, reliability::kAccessGroup, -1, SQLITE_STATIC);
  sqlite3_bind_text(statement, 3, BrisvaneSettings::messageKey.data(),
                    static_cast<int>(BrisvaneSettings::messageKey.size()), SQLITE_STATIC);
}

// Writes `data` as the settings item, through a statement prepared from kFloorUpsert.
inline void upsertItem(sqlite3_stmt* upsert, const std::string& data) {
  bindKey(upsert);
  sqlite3_bind_blob(upsert, 4, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
  sqlite3_bind_double(upsert, 5, platform::currentTimeIntervalSince1970());
  const int status = sqlite3_step(upsert);
  sqlite3_reset(upsert);
  if (status != SQLITE_DONE) throw std::runtime_error("upsert failed");
}

// The settings item's data, through a statement prepared from kFloorSelect; empty when absent.
inline std::string readItem(sqlite3_stmt* select) {
  bindKey(select);
  std::string data;
  if (sqlite3_step(select) == SQLITE_ROW) {
    data.assign(static_cast<const char*>(sqlite3_column_blob(select, 0)),
                static_cast<std::size_t>(sqlite3_column_bytes(select, 0)));
  }
  sqlite3_reset(select);
  return data;
}

// The value an envelope read back from the store carries: 1, 0, or -1 when it is not one.
inline int envelopeValue(const std::string& data) {
  if (data.find("\"isRTPEnabled\":true") != std::string::npos) return 1;
  if (data.find("\"isRTPEnabled\":false") != std::string::npos) return 0;
  return -1;
}

// Time on a CPU of each thread of `pid` that exists now, in nanoseconds, by thread id (the
// scheduler's own count, /proc/<pid>/task/<tid>/schedstat, exact where utime and stime come in
// clock ticks).
inline std::map<pid_t, long long> threadCpuNanos(pid_t pid) {
  std::map<pid_t, long long> threads;
  std::error_code error;
  for (const auto& entry :
       fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream schedstat(entry.path() / "schedstat");
    long long nanos = 0;
    if (schedstat >> nanos) {
      threads.emplace(static_cast<pid_t>(std::atol(entry.path().filename().c_str())), nanos);
    }
  }
  return threads;
}

// CPU time used between two snapshots, in nanoseconds; a thread new in `after` counts from zero.
// Nothing when a thread of `before` has ended meanwhile, as its time is no longer counted.
inline std::optional<long long> cpuNanosBetween(const std::map<pid_t, long long>& before,
                                                const std::map<pid_t, long long>& after) {
  long long total = 0;
  for (const auto& [tid, nanos] : before) {
    if (after.count(tid) == 0) return std::nullopt;
  }
  for (const auto& [tid, nanos] : after) {
    const auto earlier = before.find(tid);
    total += nanos - (earlier == before.end() ? 0 : earlier->second);
  }
  return total;
}

}  // namespace e2e
