#include "host/logging.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <tuple>

namespace {

const host::LogCategory kCategory("Test Category");

// A sink that writes only warnings and up, to check that disabled lines are never produced.
class WarningsOnlySink : public host::LogSink {
 public:
  bool isEnabled(host::LogLevel level) const override {
    return level == host::LogLevel::warning || level == host::LogLevel::error;
  }
  void write(const host::LogRecord& record) override { lines.push_back(record.message); }
  std::vector<std::string> lines;
};

TEST(Logging, EveryEntryPointRecordsLevelCategoryFileAndContext) {
  host::ScopedLogCapture capture;
  using Fn = void (*)(const host::LogCategory&, const host::LogMessage&, long, bool, const char*);
  const std::vector<std::pair<Fn, host::LogLevel>> cases = {
      {host::logDebug, host::LogLevel::debug},
      {host::logInfo, host::LogLevel::info},
      {host::logWarning, host::LogLevel::warning},
      {host::logError, host::LogLevel::error},
      {host::logExtended, host::LogLevel::extended}};
  for (const auto& [fn, level] : cases) {
    fn(
        kCategory, [level = level] { return std::string(host::logLevelName(level)); }, 0, true,
        "Folder/Component");
  }
  const auto records = capture.sink().records();
  ASSERT_EQ(records.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(records[i].level, cases[i].second);
    EXPECT_EQ(records[i].message, host::logLevelName(cases[i].second));
    EXPECT_EQ(records[i].category, "Test Category");
    EXPECT_EQ(records[i].file, "Folder/Component");
    EXPECT_EQ(records[i].context, 0);
    EXPECT_TRUE(records[i].asynchronous);
    EXPECT_GT(records[i].time, 1.6e9);
  }
}

TEST(Logging, DisabledLinesAreNeverProduced) {
  auto sink = std::make_shared<WarningsOnlySink>();
  auto previous = host::currentLogSink();
  host::setLogSink(sink);
  int produced = 0;
  host::logDebug(
      kCategory,
      [&] {
        ++produced;
        return std::string("d");
      },
      0, true, "f");
  host::logInfo(
      kCategory,
      [&] {
        ++produced;
        return std::string("i");
      },
      0, true, "f");
  host::logWarning(
      kCategory,
      [&] {
        ++produced;
        return std::string("w");
      },
      0, true, "f");
  host::setLogSink(previous);
  EXPECT_EQ(produced, 1);
  EXPECT_EQ(sink->lines, std::vector<std::string>{"w"});
}

// Log lines carry UTC with the zone; the default sink and "extended" as a minimum keep out the
// levels below them.
TEST(Logging, TimesAreUtcWithZoneAndLevelsAreOrdered) {
  const std::vector<std::pair<double, std::string>> times = {
      {0.0, "1970-01-01T00:00:00.000Z"},
      {1796549400.9999, "2026-12-06T09:30:00.999Z"},  // never rounded up into the next second
      {-0.001, "1969-12-31T23:59:59.999Z"}};
  for (const auto& [time, text] : times) EXPECT_EQ(host::formatLogTime(time), text);
  const host::StandardErrorLogSink byDefault, extended(host::LogLevel::extended);
  using L = host::LogLevel;
  for (const auto& [level, byDefaultWrites, extendedWrites] :
       std::vector<std::tuple<L, bool, bool>>{{L::debug, false, false},
                                              {L::info, false, false},
                                              {L::extended, false, true},
                                              {L::warning, true, true},
                                              {L::error, true, true}}) {
    EXPECT_EQ(byDefault.isEnabled(level), byDefaultWrites) << host::logLevelName(level);
    EXPECT_EQ(extended.isEnabled(level), extendedWrites) << host::logLevelName(level);
  }
}

TEST(Logging, ThrowingMessageProducerNeverReachesTheCaller) {
  host::ScopedLogCapture capture;
  EXPECT_NO_THROW(host::logError(
      kCategory, []() -> std::string { throw std::runtime_error("boom"); }, 0, true, "f"));
  ASSERT_EQ(capture.sink().messages().size(), 1u);
  EXPECT_NE(capture.sink().messages()[0].find("boom"), std::string::npos);
}

TEST(Logging, ConcurrentWritersLoseNoLine) {
  host::ScopedLogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i)
        host::logInfo(
            kCategory, [] { return "x"; }, 0, true, "f");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(capture.sink().count("x"), 4000u);
}

}  // namespace
