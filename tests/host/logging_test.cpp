#include "host/logging.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <tuple>

namespace {

const host::LogCategory kCategory("Test Category");
using L = host::LogLevel;
using Fn = void (*)(const host::LogCategory&, const host::LogMessage&, long, bool, const char*);

// Every entry point records its level and where the line comes from; a sink's disabled levels
// never run the message producer; a throwing producer never reaches the caller.
TEST(Logging, EntryPointsRecordTheirLevelAndOnlyEnabledLinesAreProduced) {
  const std::vector<std::pair<Fn, L>> entries = {{host::logDebug, L::debug},
                                                 {host::logInfo, L::info},
                                                 {host::logWarning, L::warning},
                                                 {host::logError, L::error},
                                                 {host::logExtended, L::extended}};
  {
    host::ScopedLogCapture capture;
    for (const auto& [fn, level] : entries) fn(kCategory, [l = level] { return host::logLevelName(l); }, 0, true, "Dir/Component");
    const auto records = capture.sink().records();
    ASSERT_EQ(records.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(records[i].level, entries[i].second);
      EXPECT_EQ(records[i].message, host::logLevelName(entries[i].second));
      EXPECT_EQ(std::tie(records[i].category, records[i].file), std::make_tuple("Test Category", "Dir/Component"));
      EXPECT_TRUE(records[i].asynchronous);
      EXPECT_GT(records[i].time, 1.6e9);
    }
    EXPECT_NO_THROW(host::logError(kCategory, []() -> std::string { throw std::runtime_error("boom"); }, 0, true, "f"));
    EXPECT_NE(capture.sink().messages().back().find("boom"), std::string::npos);
  }
  struct WarningsOnly : host::LogSink {
    bool isEnabled(L level) const override { return level == L::warning || level == L::error; }
    void write(const host::LogRecord& record) override { lines.push_back(record.message); }
    std::vector<std::string> lines;
  };
  auto sink = std::make_shared<WarningsOnly>();
  auto previous = host::currentLogSink();
  host::setLogSink(sink);
  int produced = 0;
  for (const auto& [fn, level] : entries) fn(kCategory, [&, l = level] { ++produced; return host::logLevelName(l); }, 0, true, "f");
  host::setLogSink(previous);
  EXPECT_EQ(produced, 2);
  EXPECT_EQ(sink->lines, (std::vector<std::string>{"warning", "error"}));
}

// Times are UTC with the zone, never rounded up; the default sink writes warnings and errors only.
TEST(Logging, TimesAreUtcWithZoneAndTheDefaultSinkIsQuiet) {
  for (const auto& [time, text] : std::vector<std::pair<double, std::string>>{
           {0.0, "1970-01-01T00:00:00.000Z"},
           {1796549400.9999, "2026-12-06T09:30:00.999Z"},
           {-0.001, "1969-12-31T23:59:59.999Z"}}) {
    EXPECT_EQ(host::formatLogTime(time), text);
  }
  const host::StandardErrorLogSink byDefault, extended(L::extended);
  for (const auto& [level, byDefaultWrites, extendedWrites] : std::vector<std::tuple<L, bool, bool>>{
           {L::debug, false, false}, {L::info, false, false}, {L::extended, false, true},
           {L::warning, true, true}, {L::error, true, true}}) {
    EXPECT_EQ(byDefault.isEnabled(level), byDefaultWrites) << host::logLevelName(level);
    EXPECT_EQ(extended.isEnabled(level), extendedWrites) << host::logLevelName(level);
  }
}

TEST(Logging, ConcurrentWritersLoseNoLine) {
  host::ScopedLogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) host::logInfo(kCategory, [] { return "x"; }, 0, true, "f");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(capture.sink().count("x"), 4000u);
}

}  // namespace
