// The keychain client between real processes: changes announced across processes, concurrent
// writers and readers, and writers killed in the middle of a save. Each test has its own
// XDG_DATA_HOME (the store) and XDG_RUNTIME_DIR (the notification folder).

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "BrisvaneStateServiceImplementation/KeychainBrisvaneReader.h"
#include "integration/process_support.h"
#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "messages/BrisvaneSettings.h"
#include "notifications/distributed_notification_center.h"
#include "keychain/keychain.h"

namespace {

using brisvane::BrisvaneSettings;
using brisvane::KeychainInteroperabilityClient;
using integration::ChildProcess;
using platform::DistributedNotificationCenter;

// The test's own client. Its center is made for this test's folder rather than taken from the
// process-wide default, which keeps the folder of whichever test asked first.
std::shared_ptr<KeychainInteroperabilityClient> makeClient() {
  return std::make_shared<KeychainInteroperabilityClient>(
      integration::kService, integration::kAccessGroup, platform::KeychainServices::system(),
      DistributedNotificationCenter::create(DistributedNotificationCenter::defaultFolder()));
}

TEST(KeychainProcesses, SaveInAChildReachesTheParentsStreamAndReader) {
  integration::IsolatedEnvironment environment;
  integration::Watchdog watchdog(std::chrono::seconds(90), "the change-notification test");
  auto client = makeClient();
  brisvane::KeychainBrisvaneReader reader(client);
  auto updates = client->listenForUpdates(std::string(BrisvaneSettings::messageKey));
  auto signals = reader.listenForRTPStateUpdates();
  EXPECT_EQ(reader.readRTPState(), std::nullopt);

  for (const bool value : {true, false, true}) {
    SCOPED_TRACE(value);
    ChildProcess writer("settings_peer", {"save", value ? "true" : "false"});
    ASSERT_TRUE(writer.exitedCleanly());
    const auto update = updates.next();
    ASSERT_TRUE(update.has_value());
    EXPECT_EQ(update->messageKey(), BrisvaneSettings::messageKey);
    ASSERT_TRUE(signals.next().has_value());
    EXPECT_EQ(reader.readRTPState(), std::optional<bool>(value));
  }
}

struct LoopReport {
  long ops = -1, errors = -1, undecodable = 0, missing = 0;
};

LoopReport parseReport(const std::optional<std::string>& line) {
  LoopReport report;
  if (line) {
    std::sscanf(line->c_str(), "done ops=%ld errors=%ld undecodable=%ld missing=%ld", &report.ops,
                &report.errors, &report.undecodable, &report.missing);
  }
  return report;
}

TEST(KeychainProcesses, ConcurrentWritersAndReadersSeeNoErrors) {
  integration::IsolatedEnvironment environment;
  integration::Watchdog watchdog(std::chrono::seconds(120), "the concurrent writers test");
  makeClient()->saveData(BrisvaneSettings(true));  // readers never find nothing
  const std::string duration = std::to_string(integration::scaled(5000, 200));

  std::vector<std::unique_ptr<ChildProcess>> writers, readers;
  for (int i = 0; i < 4; ++i) {
    writers.push_back(std::make_unique<ChildProcess>(
        "settings_peer",
        std::vector<std::string>{"write-loop", duration, i % 2 == 0 ? "true" : "false"}));
    readers.push_back(std::make_unique<ChildProcess>(
        "settings_peer", std::vector<std::string>{"read-loop", duration}));
  }
  long saves = 0, reads = 0;
  for (auto& writer : writers) {
    const LoopReport report = parseReport(writer->readLine());
    EXPECT_GT(report.ops, 0) << "writer " << writer->pid();
    EXPECT_EQ(report.errors, 0) << "writer " << writer->pid();
    EXPECT_TRUE(writer->exitedCleanly());
    saves += report.ops;
  }
  for (auto& reader : readers) {
    const LoopReport report = parseReport(reader->readLine());
    EXPECT_GT(report.ops, 0) << "reader " << reader->pid();
    EXPECT_EQ(report.errors, 0) << "reader " << reader->pid();
    EXPECT_EQ(report.undecodable, 0) << "reader " << reader->pid();
    EXPECT_EQ(report.missing, 0) << "reader " << reader->pid();
    EXPECT_TRUE(reader->exitedCleanly());
    reads += report.ops;
  }
  RecordProperty("saves", std::to_string(saves));
  RecordProperty("reads", std::to_string(reads));
  std::printf("saves=%ld reads=%ld\n", saves, reads);
}

// The integrity check of SQLite itself, on the store file, with nothing else open on it.
std::string integrityCheck(const std::filesystem::path& file) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    const std::string message = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return "cannot open: " + message;
  }
  std::string result;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) != SQLITE_OK) {
    result = std::string("cannot check: ") + sqlite3_errmsg(db);
  } else {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      if (!result.empty()) result += "; ";
      result += reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return result;
}

// A writer killed at any point leaves the store intact and holding either the last counter
// whose save had returned or the one being saved: never a torn or an older value.
TEST(KeychainProcesses, WriterKilledAtRandomPointsLeavesAnIntactStore) {
  integration::IsolatedEnvironment environment;
  integration::Watchdog watchdog(std::chrono::seconds(300), "the killed writer test");
  auto client = makeClient();
  std::mt19937 random(std::random_device{}());
  const int rounds = integration::scaled(200, 5);
  std::optional<std::int64_t> stored;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::int64_t first = stored.value_or(0) + 1;
    ChildProcess writer("settings_peer", {"count-up", std::to_string(first)});
    // Let it get a random number of saves done (none: killed while starting up or in its first
    // save), then kill it wherever it is.
    std::optional<std::int64_t> lastSaved;
    auto noteSaved = [&](const std::string& line) {
      // The storage writes this line of its own each time it adds an item.
      if (line.starts_with("Options attributes: ")) return;
      long long value = 0;
      ASSERT_EQ(std::sscanf(line.c_str(), "saved %lld", &value), 1) << line;
      lastSaved = value;
    };
    const int savesBeforeKill = static_cast<int>(random() % 6);
    for (int i = 0; i < savesBeforeKill;) {
      const auto line = writer.readLine();
      ASSERT_TRUE(line.has_value());
      noteSaved(*line);
      if (line->starts_with("saved ")) ++i;
    }
    writer.kill(SIGKILL);
    for (const auto& line : writer.readRemainingLines()) noteSaved(line);
    const int status = writer.wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself";

    if (std::filesystem::exists(environment.keychainFile())) {
      ASSERT_EQ(integrityCheck(environment.keychainFile()), "ok");
    }
    const auto message = client->requestData<std::int64_t>(integration::kProbeKey);
    const std::optional<std::int64_t> now =
        message ? std::optional<std::int64_t>(message->data()) : std::nullopt;
    const std::int64_t committed = lastSaved.value_or(first - 1);
    if (committed == 0) {
      EXPECT_TRUE(now == std::nullopt || now == 1) << "found " << now.value_or(-1);
    } else {
      ASSERT_TRUE(now.has_value());
      EXPECT_TRUE(*now == committed || *now == committed + 1)
          << "found " << *now << ", last save returned " << committed;
    }
    stored = now;
  }
}

}  // namespace
