#include "host/logging.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <exception>

namespace host {
namespace {

double nowSince1970() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

int rank(LogLevel level) {
  switch (level) {
    case LogLevel::debug:
      return 0;
    case LogLevel::info:
      return 1;
    case LogLevel::extended:
      return 2;
    case LogLevel::warning:
      return 3;
    case LogLevel::error:
      return 4;
  }
  return 4;
}

// The sink is swapped rarely and read on every line, from any thread.
struct SinkSlot {
  std::mutex mutex;
  std::shared_ptr<LogSink> sink = std::make_shared<StandardErrorLogSink>();
  // One bit per level the sink writes, read without the lock so that a disabled line costs one
  // load. A sink's answer to isEnabled() is taken once, when the sink is installed.
  std::atomic<unsigned> enabled{enabledMask(*sink)};

  static unsigned enabledMask(const LogSink& s) {
    unsigned mask = 0;
    for (auto level : {LogLevel::debug, LogLevel::info, LogLevel::warning, LogLevel::error,
                       LogLevel::extended}) {
      if (s.isEnabled(level)) mask |= 1u << static_cast<unsigned>(level);
    }
    return mask;
  }
};

SinkSlot& slot() {
  static SinkSlot* instance = new SinkSlot();  // never destroyed: logging works during exit
  return *instance;
}

void write(LogLevel level, const LogCategory& category, const LogMessage& message, long context,
           bool asynchronous, const char* file) noexcept {
  if ((slot().enabled.load(std::memory_order_relaxed) & (1u << static_cast<unsigned>(level))) ==
      0) {
    return;
  }
  std::shared_ptr<LogSink> sink = currentLogSink();
  if (!sink || !sink->isEnabled(level)) return;
  LogRecord record;
  record.level = level;
  record.category = category.name();
  record.context = context;
  record.asynchronous = asynchronous;
  record.file = file ? file : "";
  record.time = nowSince1970();
  try {
    record.message = message ? message() : std::string();
  } catch (const std::exception& error) {
    record.message = std::string("<log message failed: ") + error.what() + ">";
  } catch (...) {
    record.message = "<log message failed>";
  }
  try {
    sink->write(record);
  } catch (...) {
    // A failing sink must not take the caller down; the line is lost.
  }
}

}  // namespace

const char* logLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::debug:
      return "debug";
    case LogLevel::info:
      return "info";
    case LogLevel::warning:
      return "warning";
    case LogLevel::error:
      return "error";
    case LogLevel::extended:
      return "extended";
  }
  return "unknown";
}

bool StandardErrorLogSink::isEnabled(LogLevel level) const {
  return rank(level) >= rank(minimum_);
}

std::string formatLogTime(double secondsSince1970) {
  // Whole milliseconds, rounded down, so that a time never prints as the next second.
  const auto millisSince1970 = static_cast<long long>(std::floor(secondsSince1970 * 1000.0));
  const auto seconds =
      static_cast<std::time_t>(millisSince1970 / 1000 - (millisSince1970 % 1000 < 0));
  const int millis = static_cast<int>(millisSince1970 - static_cast<long long>(seconds) * 1000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
  return stamp;
}

void StandardErrorLogSink::write(const LogRecord& record) {
  const std::string stamp = formatLogTime(record.time);
  std::lock_guard<std::mutex> lock(mutex_);
  std::fprintf(stderr, "%s %s [%s] %s: %s\n", stamp.c_str(), logLevelName(record.level),
               record.category.c_str(), record.file.c_str(), record.message.c_str());
}

void CapturingLogSink::write(const LogRecord& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.push_back(record);
}

std::vector<LogRecord> CapturingLogSink::records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

std::vector<std::string> CapturingLogSink::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  out.reserve(records_.size());
  for (const auto& record : records_) out.push_back(record.message);
  return out;
}

std::vector<std::string> CapturingLogSink::messages(const std::string& category) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& record : records_) {
    if (record.category == category) out.push_back(record.message);
  }
  return out;
}

std::size_t CapturingLogSink::count(const std::string& message) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(std::count_if(
      records_.begin(), records_.end(), [&](const LogRecord& r) { return r.message == message; }));
}

void CapturingLogSink::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

void setLogSink(std::shared_ptr<LogSink> sink) {
  if (!sink) sink = std::make_shared<StandardErrorLogSink>();
  auto& s = slot();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.enabled.store(SinkSlot::enabledMask(*sink), std::memory_order_relaxed);
  s.sink = std::move(sink);
}

std::shared_ptr<LogSink> currentLogSink() {
  auto& s = slot();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.sink;
}

void logDebug(const LogCategory& category, const LogMessage& message, long context,
              bool asynchronous, const char* file) {
  write(LogLevel::debug, category, message, context, asynchronous, file);
}
void logInfo(const LogCategory& category, const LogMessage& message, long context,
             bool asynchronous, const char* file) {
  write(LogLevel::info, category, message, context, asynchronous, file);
}
void logWarning(const LogCategory& category, const LogMessage& message, long context,
                bool asynchronous, const char* file) {
  write(LogLevel::warning, category, message, context, asynchronous, file);
}
void logError(const LogCategory& category, const LogMessage& message, long context,
              bool asynchronous, const char* file) {
  write(LogLevel::error, category, message, context, asynchronous, file);
}
void logExtended(const LogCategory& category, const LogMessage& message, long context,
                 bool asynchronous, const char* file) {
  write(LogLevel::extended, category, message, context, asynchronous, file);
}

ScopedLogCapture::ScopedLogCapture()
    : sink_(std::make_shared<CapturingLogSink>()), previous_(currentLogSink()) {
  setLogSink(sink_);
}

ScopedLogCapture::~ScopedLogCapture() {
  setLogSink(previous_);
}

}  // namespace host
