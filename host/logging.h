#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "brisvane_export.h"

namespace host {

// Names a log category. Components make one per process, once, and reuse it for every line.
class BRISVANE_EXPORT LogCategory {
 public:
  explicit LogCategory(std::string name) : name_(std::move(name)) {}
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

// Produces the text of a line; called only when the line is actually written.
using LogMessage = std::function<std::string()>;

enum class LogLevel { debug, info, warning, error, extended };

// Lower-case name of a level as the default sink writes it ("debug", "info", ...).
BRISVANE_EXPORT const char* logLevelName(LogLevel level);

// ISO-8601 in UTC with milliseconds and the zone: "2026-12-06T09:30:00.123Z".
BRISVANE_EXPORT std::string formatLogTime(double secondsSince1970);

struct BRISVANE_EXPORT LogRecord {
  LogLevel level = LogLevel::debug;
  std::string category;
  std::string message;
  long context = 0;
  bool asynchronous = false;
  std::string file;
  double time = 0;  // seconds since 1970
};

// Where log lines go. write() may be called from any thread at the same time and must return
// promptly.
class BRISVANE_EXPORT LogSink {
 public:
  virtual ~LogSink() = default;
  // Lines of a disabled level are dropped before their message is produced.
  virtual bool isEnabled(LogLevel level) const { return true; }
  virtual void write(const LogRecord& record) = 0;
};

// Writes "time level [category] file: message" lines to standard error, for levels at or above
// the minimum, in the order debug, info, extended, warning, error (so extended lines are written
// whenever info is, and "extended" as the minimum leaves out info and debug). The time is
// formatLogTime's.
class BRISVANE_EXPORT StandardErrorLogSink final : public LogSink {
 public:
  explicit StandardErrorLogSink(LogLevel minimum = LogLevel::warning) : minimum_(minimum) {}
  bool isEnabled(LogLevel level) const override;
  void write(const LogRecord& record) override;

 private:
  LogLevel minimum_;
  std::mutex mutex_;
};

// Keeps every line in memory, for tests and for tools that show the log. Thread-safe.
class BRISVANE_EXPORT CapturingLogSink final : public LogSink {
 public:
  void write(const LogRecord& record) override;
  std::vector<LogRecord> records() const;
  // Messages only, in the order written; optionally only those of one category.
  std::vector<std::string> messages() const;
  std::vector<std::string> messages(const std::string& category) const;
  std::size_t count(const std::string& message) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
};

// Replaces the process's sink; nullptr restores the default: a StandardErrorLogSink of warnings
// and errors, which is also what a host that installs no sink gets.
BRISVANE_EXPORT void setLogSink(std::shared_ptr<LogSink> sink);
BRISVANE_EXPORT std::shared_ptr<LogSink> currentLogSink();

// The five entry points. They never throw: a message producer that throws is written as a line
// saying so.
BRISVANE_EXPORT void logDebug(const LogCategory& category, const LogMessage& message, long context,
                              bool asynchronous, const char* file);
BRISVANE_EXPORT void logInfo(const LogCategory& category, const LogMessage& message, long context,
                             bool asynchronous, const char* file);
BRISVANE_EXPORT void logWarning(const LogCategory& category, const LogMessage& message,
                                long context, bool asynchronous, const char* file);
BRISVANE_EXPORT void logError(const LogCategory& category, const LogMessage& message, long context,
                              bool asynchronous, const char* file);
BRISVANE_EXPORT void logExtended(const LogCategory& category, const LogMessage& message,
                                 long context, bool asynchronous, const char* file);

// Installs a CapturingLogSink for its lifetime and puts the previous sink back afterwards.
class BRISVANE_EXPORT ScopedLogCapture {
 public:
  ScopedLogCapture();
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;
  ~ScopedLogCapture();
  CapturingLogSink& sink() { return *sink_; }

 private:
  std::shared_ptr<CapturingLogSink> sink_;
  std::shared_ptr<LogSink> previous_;
};

}  // namespace host
