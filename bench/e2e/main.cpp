// bench.e2e: the whole system measured end to end, between real processes.
//
// This process plays the security application: it saves settings messages through the keychain
// client. Host processes (copies of this program started with "--role host") hold a
// BrisvaneStateServiceImpl made with the public entry point and stamp each answer their
// subscriber receives. CLOCK_MONOTONIC is one clock for the machine, so a stamp taken before a
// save here and one taken in a host subtract to the true latency.
//
// Sections (all by default, in this order):
//   latency  1,000 paced saves, save start -> host subscriber: p50, p99, max; the floor measured
//            directly in the same run (SQLite upsert, datagram one-way between two processes,
//            SQLite read in the second process, their sum) and the ratio; then the same saves
//            with stamps along the path, to show where the time goes
//   fanout   the same with 50 hosts: time until the last has the new value
//   idle     one host holding the service for 10 s with nothing changing: voluntary context
//            switches summed over its threads
//   memory   peak resident size of a host, and its growth across 100,000 changes
//   burst    100 runs of 10,000 saves as fast as the writer can: the host's final value, its
//            threads and its memory
//
// Options: --section NAME (repeatable), --rounds N, --hosts N, --fanout-rounds N,
// --idle-seconds S, --changes N, --burst-runs N, --burst-saves N, --quick (small counts for a
// smoke run). Arguments starting with --benchmark_ (given by scripts/run-benchmarks.sh to every
// benchmark program) are ignored.

#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "messages/BrisvaneSettings.h"
#include "platform/distributed_notification_center.h"
#include "platform/keychain.h"
#include "reliability/answer_board.h"
#include "reliability/host_role.h"
#include "reliability/path_stamps.h"
#include "reliability/proc_stats.h"
#include "reliability/process.h"
#include "reliability/sandbox.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using brisvane::BrisvaneSettings;
using brisvane::BrisvaneStateServiceImpl;
using brisvane::KeychainInteroperabilityClient;
using testsupport::monotonicNanos;
using testsupport::Process;

constexpr auto kAnswerTimeout = std::chrono::seconds(10);
const std::string kNotificationName =
    "com.tarvik.NyraInteroperability." + std::string(BrisvaneSettings::messageKey) + ".Updated";

struct Options {
  std::set<std::string> sections;
  int rounds = 1000;
  int warmUp = 50;
  int hosts = 50;
  int fanoutRounds = 200;
  int idleSeconds = 10;
  int changes = 100000;
  int burstRuns = 100;
  int burstSaves = 10000;

  bool wants(const std::string& section) const {
    return sections.empty() || sections.count(section) != 0;
  }
};

// --- Figures ---------------------------------------------------------------------------------

struct Summary {
  double p50 = 0, p99 = 0, max = 0;  // microseconds
  std::size_t count = 0;
};

Summary summarize(std::vector<std::int64_t> nanos) {
  Summary s;
  if (nanos.empty()) return s;
  std::sort(nanos.begin(), nanos.end());
  auto at = [&](double p) {
    const auto index = static_cast<std::size_t>(std::ceil(p * static_cast<double>(nanos.size())));
    return static_cast<double>(nanos[std::min(nanos.size() - 1, index == 0 ? 0 : index - 1)]) / 1e3;
  };
  s.p50 = at(0.50);
  s.p99 = at(0.99);
  s.max = static_cast<double>(nanos.back()) / 1e3;
  s.count = nanos.size();
  return s;
}

void printRow(const char* what, const Summary& s) {
  std::printf("  %-44s p50 %9.1f us   p99 %9.1f us   max %9.1f us   (n=%zu)\n", what, s.p50, s.p99,
              s.max, s.count);
}

std::string verdict(bool met) {
  return met ? "MET" : "MISSED";
}

std::string readFirstLine(const fs::path& file, const std::string& prefix) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(prefix)) {
      const auto colon = line.find(':');
      return colon == std::string::npos ? line : line.substr(colon + 2);
    }
  }
  return "unknown";
}

// The 1-, 5- and 15-minute load averages.
std::string loadAverage() {
  const std::string line = readFirstLine("/proc/loadavg", "");
  std::size_t end = 0;
  for (int field = 0; field < 3 && end != std::string::npos; ++field) end = line.find(' ', end + 1);
  return line.substr(0, end);
}

void section(const std::string& title) {
  std::printf("\n== %s   [load %s]\n", title.c_str(), loadAverage().c_str());
}

void printMachine() {
  utsname name{};
  ::uname(&name);
  char date[64];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&now));
  std::printf("bench.e2e  %s\n", date);
  std::printf("machine: nproc %ld, %s, kernel %s\n", ::sysconf(_SC_NPROCESSORS_ONLN),
              readFirstLine("/proc/cpuinfo", "model name").c_str(), name.release);
#ifdef NDEBUG
  const char* build = "optimised (NDEBUG)";
#else
  const char* build = "with assertions (not a Release build: figures are not representative)";
#endif
  std::printf("load average at start: %s (other work on the machine inflates every figure)\n",
              readFirstLine("/proc/loadavg", "").c_str());
  std::printf("build: %s%s\n", build,
              reliability::isSanitized() ? ", sanitizers on (figures are not representative)" : "");
}

// --- Processes -------------------------------------------------------------------------------

fs::path selfPath() {
  return fs::read_symlink("/proc/self/exe");
}

std::unique_ptr<Process> startHost(bool stamped = false) {
  std::vector<std::string> arguments{"--role", "host"};
  if (stamped) arguments.push_back("--stamps");
  auto host = std::make_unique<Process>(selfPath(), arguments);
  if (!host->readLineStartingWith("ready", std::chrono::seconds(60))) {
    throw std::runtime_error("a host did not start");
  }
  return host;
}

// One "v" line of a host.
struct Answer {
  int value = -1;
  std::int64_t arrival = 0, notification = 0, event = 0, readStart = 0, readEnd = 0;
};

std::optional<Answer> parseAnswer(const std::string& line) {
  Answer a;
  long long arrival = 0, notification = 0, event = 0, readStart = 0, readEnd = 0;
  if (std::sscanf(line.c_str(), "v %d %lld %lld %lld %lld %lld", &a.value, &arrival, &notification,
                  &event, &readStart, &readEnd) != 6) {
    return std::nullopt;
  }
  a.arrival = arrival;
  a.notification = notification;
  a.event = event;
  a.readStart = readStart;
  a.readEnd = readEnd;
  return a;
}

// The next answer of `host` that carries `value`.
std::optional<Answer> awaitAnswer(Process& host, int value) {
  for (;;) {
    const auto line = host.readLineStartingWith("v ", kAnswerTimeout);
    if (!line) return std::nullopt;
    const auto answer = parseAnswer(*line);
    if (answer && answer->value == value) return answer;
  }
}

// The security application's side, in this process: a keychain client over the environment's
// store and a notification center made for the current sandbox's folder (the process-wide
// default center keeps the folder of whichever sandbox asked first). One thread at a time.
class Writer {
 public:
  explicit Writer(bool stamped) {
    auto center = platform::DistributedNotificationCenter::create(
        platform::DistributedNotificationCenter::defaultFolder());
    std::shared_ptr<platform::KeychainServices> keychain = platform::KeychainServices::system();
    auto notifications = brisvane::DistributedNotifications::over(center);
    if (stamped) {
      keychain = std::make_shared<reliability::StampingKeychainServices>(keychain, stamps_);
      notifications = std::make_shared<reliability::StampingNotifications>(notifications, stamps_);
    }
    client_ = std::make_unique<KeychainInteroperabilityClient>(
        BrisvaneStateServiceImpl::keychainServiceName, reliability::kAccessGroup, keychain,
        notifications);
  }
  void save(bool value) { client_->saveData(BrisvaneSettings(value)); }
  const reliability::PathStamps& stamps() const { return *stamps_; }

 private:
  std::shared_ptr<reliability::PathStamps> stamps_ = std::make_shared<reliability::PathStamps>();
  std::unique_ptr<KeychainInteroperabilityClient> client_;
};

// --- The floor -------------------------------------------------------------------------------

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

std::string envelope(bool value) {
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

void bindKey(sqlite3_stmt* statement) {
  sqlite3_bind_text(statement, 1, BrisvaneStateServiceImpl::keychainServiceName, -1, SQLITE_STATIC);
  sqlite3_bind_text(statement, 2, reliability::kAccessGroup, -1, SQLITE_STATIC);
  sqlite3_bind_text(statement, 3, BrisvaneSettings::messageKey.data(),
                    static_cast<int>(BrisvaneSettings::messageKey.size()), SQLITE_STATIC);
}

std::string datagram() {
  return std::string("DN\x01\x00", 4) + kNotificationName;
}

// "--role floor-peer <socket> <database>": the second process of the floor. Blocks in recv() on
// a datagram socket; for each datagram stamps its arrival, reads the row, and reports
// "r <arrival> <read start> <read end> <bytes>".
int runFloorPeer(const fs::path& socketPath, const fs::path& databasePath) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  Database db(databasePath);
  sqlite3_stmt* select = db.prepare(kFloorSelect);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
  if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    std::perror("floor peer: bind");
    return 1;
  }
  testsupport::say("ready");
  std::vector<char> buffer(4200);
  for (;;) {
    const ssize_t size = ::recv(fd, buffer.data(), buffer.size(), 0);
    const std::int64_t arrival = monotonicNanos();
    if (size < 0 && errno == EINTR) continue;
    if (size < 4 || std::memcmp(buffer.data(), "DN\x01\x00", 4) != 0) break;
    const std::int64_t readStart = monotonicNanos();
    bindKey(select);
    std::size_t bytes = 0;
    if (sqlite3_step(select) == SQLITE_ROW) {
      std::string data(static_cast<const char*>(sqlite3_column_blob(select, 0)),
                       static_cast<std::size_t>(sqlite3_column_bytes(select, 0)));
      bytes = data.size();
    }
    sqlite3_reset(select);
    const std::int64_t readEnd = monotonicNanos();
    testsupport::say("r " + std::to_string(arrival) + " " + std::to_string(readStart) + " " +
                     std::to_string(readEnd) + " " + std::to_string(bytes));
  }
  ::close(fd);
  return 0;
}

struct Floor {
  Summary upsert, oneWay, read, chain;
  double sum() const { return upsert.p50 + oneWay.p50 + read.p50; }
};

Floor measureFloor(const Options& options) {
  reliability::Sandbox sandbox(reliability::RuntimeFolder::inMemory);
  const fs::path databasePath = sandbox.root() / "floor.sqlite3";
  const fs::path socketPath = sandbox.runtimeFolder() / "floor.sock";
  Database db(databasePath);
  db.exec(kFloorSchema);
  sqlite3_stmt* upsert = db.prepare(kFloorUpsert);
  Process peer(selfPath(), {"--role", "floor-peer", socketPath.string(), databasePath.string()});
  if (!peer.readLineStartingWith("ready")) throw std::runtime_error("the floor peer did not start");

  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
  const std::string message = datagram();

  std::vector<std::int64_t> upserts, oneWays, reads, chains;
  bool value = false;
  for (int round = 0; round < options.warmUp + options.rounds; ++round) {
    value = !value;
    const std::string data = envelope(value);
    const std::int64_t start = monotonicNanos();
    bindKey(upsert);
    sqlite3_bind_blob(upsert, 4, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
    sqlite3_bind_double(upsert, 5, platform::currentTimeIntervalSince1970());
    if (sqlite3_step(upsert) != SQLITE_DONE) throw std::runtime_error("floor upsert failed");
    sqlite3_reset(upsert);
    const std::int64_t sent = monotonicNanos();
    if (::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                 sizeof(address)) < 0) {
      throw std::runtime_error("floor sendto failed");
    }
    const auto line = peer.readLineStartingWith("r ", kAnswerTimeout);
    long long arrival = 0, readStart = 0, readEnd = 0, bytes = 0;
    if (!line ||
        std::sscanf(line->c_str(), "r %lld %lld %lld %lld", &arrival, &readStart, &readEnd,
                    &bytes) != 4 ||
        bytes != static_cast<long long>(data.size())) {
      throw std::runtime_error("the floor peer did not read the row");
    }
    if (round < options.warmUp) continue;
    upserts.push_back(sent - start);
    oneWays.push_back(arrival - sent);
    reads.push_back(readEnd - readStart);
    chains.push_back(readEnd - start);
  }
  ::sendto(fd, "quit", 4, 0, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  ::close(fd);
  peer.wait();
  return Floor{summarize(upserts), summarize(oneWays), summarize(reads), summarize(chains)};
}

// --- Sections --------------------------------------------------------------------------------

struct LatencyResult {
  Summary endToEnd;
  Floor floor;
};

LatencyResult latency(const Options& options) {
  section("latency: " + std::to_string(options.rounds) +
          " paced saves, save start -> host subscriber (one host)");
  std::vector<std::int64_t> samples;
  {
    reliability::Sandbox sandbox(reliability::RuntimeFolder::inMemory);
    auto host = startHost();
    Writer writer(false);
    bool value = false;
    for (int round = 0; round < options.warmUp + options.rounds; ++round) {
      value = !value;
      const std::int64_t start = monotonicNanos();
      writer.save(value);
      const auto answer = awaitAnswer(*host, value ? 1 : 0);
      if (!answer) throw std::runtime_error("the host did not see a change");
      if (round >= options.warmUp) samples.push_back(answer->arrival - start);
    }
  }
  LatencyResult result;
  result.endToEnd = summarize(samples);
  printRow("save start -> host subscriber", result.endToEnd);

  result.floor = measureFloor(options);
  const Floor& f = result.floor;
  std::printf("  floor, measured directly in the same run:\n");
  printRow("  SQLite upsert (WAL, synchronous=NORMAL)", f.upsert);
  printRow("  datagram one-way, process to process", f.oneWay);
  printRow("  SQLite read in the second process", f.read);
  std::printf("  %-44s p50 %9.1f us\n", "  sum of the three p50s (the floor)", f.sum());
  printRow("  the three chained, measured as one", f.chain);
  const double ratio = result.endToEnd.p50 / f.sum();
  std::printf("  ratio p50 / floor: %.2fx   goal <= 3x: %s", ratio, verdict(ratio <= 3.0).c_str());
  if (ratio > 3.0)
    std::printf(" (by %.2fx, %.1f us over)", ratio / 3.0, result.endToEnd.p50 - 3 * f.sum());
  std::printf("\n  p99 %.1f us   goal <= 1000 us: %s\n", result.endToEnd.p99,
              verdict(result.endToEnd.p99 <= 1000.0).c_str());
  return result;
}

// The same saves with stamps along the path: in this process around the client's keychain calls
// and its post; in the host at its notification callback, at the service's event line, around
// its keychain read, and at the subscriber.
void breakdown(const Options& options) {
  section("where the time goes: " + std::to_string(options.rounds) +
          " paced saves with stamps along the path");
  reliability::Sandbox sandbox(reliability::RuntimeFolder::inMemory);
  auto host = startHost(true);
  Writer writer(true);
  struct Stage {
    const char* name;
    std::vector<std::int64_t> samples;
  };
  std::vector<Stage> stages = {
      {"writer: call -> keychain probe (executor hop)", {}},
      {"writer: keychain probe (SELECT)", {}},
      {"writer: probe -> update", {}},
      {"writer: keychain update (UPDATE, commit)", {}},
      {"writer: update -> post", {}},
      {"writer: post (scan folder, sendto each)", {}},
      {"post start -> host notification callback", {}},
      {"host: callback -> service event (2 streams)", {}},
      {"host: event -> keychain read (task, executor)", {}},
      {"host: keychain read (SELECT)", {}},
      {"host: read -> subscriber (hops, publish chain)", {}},
      {"total: save start -> subscriber", {}},
      {"writer: save start -> save returned", {}},
  };
  bool value = false;
  for (int round = 0; round < options.warmUp + options.rounds; ++round) {
    value = !value;
    const std::int64_t start = monotonicNanos();
    writer.save(value);
    const std::int64_t returned = monotonicNanos();
    const auto a = awaitAnswer(*host, value ? 1 : 0);
    if (!a) throw std::runtime_error("the stamped host did not see a change");
    if (round < options.warmUp) continue;
    const auto& s = writer.stamps();
    const std::int64_t points[] = {start,       s.copyStart, s.copyEnd, s.updateStart,
                                   s.updateEnd, s.postStart, s.postEnd};
    int i = 0;
    for (; i < 6; ++i) stages[i].samples.push_back(points[i + 1] - points[i]);
    stages[i++].samples.push_back(a->notification - s.postStart);
    stages[i++].samples.push_back(a->event - a->notification);
    stages[i++].samples.push_back(a->readStart - a->event);
    stages[i++].samples.push_back(a->readEnd - a->readStart);
    stages[i++].samples.push_back(a->arrival - a->readEnd);
    stages[i++].samples.push_back(a->arrival - start);
    stages[i++].samples.push_back(returned - start);
  }
  for (auto& stage : stages) printRow(stage.name, summarize(stage.samples));
}

void fanout(const Options& options) {
  section("fan-out: " + std::to_string(options.hosts) + " hosts, " +
          std::to_string(options.fanoutRounds) +
          " paced saves, save start -> the last host has the value");
  reliability::Sandbox sandbox(reliability::RuntimeFolder::inMemory);
  // The hosts report on a shared board rather than through pipes: 50 pipe writes and as many
  // wake-ups of this process per round would take CPU from the hosts still working.
  const fs::path boardFile = sandbox.root() / "answers";
  auto board = reliability::AnswerBoard::create(boardFile, options.hosts);
  std::vector<std::unique_ptr<Process>> hosts;
  for (int i = 0; i < options.hosts; ++i) {
    hosts.push_back(std::make_unique<Process>(
        selfPath(), std::vector<std::string>{"--role", "host", "--answer-board",
                                             boardFile.string(), std::to_string(i)}));
  }
  for (auto& host : hosts) {
    if (!host->readLineStartingWith("ready", std::chrono::seconds(120))) {
      throw std::runtime_error("a host did not start");
    }
  }
  Writer writer(false);
  std::vector<std::int64_t> last, first, median;
  bool value = false;
  const int warmUp = std::min(options.warmUp, 20);
  for (int round = 0; round < warmUp + options.fanoutRounds; ++round) {
    value = !value;
    board.reset();
    const std::int64_t start = monotonicNanos();
    writer.save(value);
    if (!board.awaitAll(kAnswerTimeout)) throw std::runtime_error("a host did not see a change");
    std::vector<std::int64_t> arrivals;
    for (int i = 0; i < options.hosts; ++i) {
      if (board.value(i) != (value ? 1 : 0)) throw std::runtime_error("a host has another value");
      arrivals.push_back(board.arrival(i) - start);
    }
    if (round < warmUp) continue;
    std::sort(arrivals.begin(), arrivals.end());
    first.push_back(arrivals.front());
    median.push_back(arrivals[arrivals.size() / 2]);
    last.push_back(arrivals.back());
  }
  const Summary lastSummary = summarize(last);
  printRow("save start -> first host", summarize(first));
  printRow("save start -> median host", summarize(median));
  printRow("save start -> last host", lastSummary);
  std::printf("  goal: last host <= 2000 us: p50 %s", verdict(lastSummary.p50 <= 2000).c_str());
  if (lastSummary.p50 > 2000)
    std::printf(" (by %.1f us, %.2fx)", lastSummary.p50 - 2000, lastSummary.p50 / 2000);
  std::printf(", p99 %s\n", verdict(lastSummary.p99 <= 2000).c_str());
}

void idle(const Options& options) {
  section("idle: one host holding the service for " + std::to_string(options.idleSeconds) +
          " s with nothing changing");
  reliability::Sandbox sandbox(reliability::RuntimeFolder::inMemory);
  Writer(false).save(true);  // the security application has reported before the host starts
  const std::int64_t start = monotonicNanos();
  auto host = startHost();
  const double startUpMs = static_cast<double>(monotonicNanos() - start) / 1e6;
  reliability::awaitAllThreadsSleeping(host->pid());
  const auto before = reliability::threadSwitches(host->pid());
  // Nothing is sent to the host during the window: reading its output would not wake it, but a
  // command would.
  std::this_thread::sleep_for(std::chrono::seconds(options.idleSeconds));
  const auto after = reliability::threadSwitches(host->pid());
  const long idleSwitches = reliability::voluntarySwitchesBetween(before, after);
  std::printf(
      "  start-up (process start -> ready, %.0f ms): %ld voluntary switches over %zu "
      "threads\n",
      startUpMs, reliability::totalVoluntarySwitches(before), before.size());
  std::printf("  during %d s idle: %ld voluntary switches (%s); threads %zu -> %zu\n",
              options.idleSeconds, idleSwitches,
              reliability::describeSwitches(before, after).c_str(), before.size(), after.size());
  std::printf("  goal 0: %s\n", verdict(idleSwitches == 0).c_str());
}

void memory(const Options& options) {
  section("memory: one host across " + std::to_string(options.changes) + " paced changes");
  reliability::Sandbox sandbox(reliability::RuntimeFolder::inMemory);
  Writer writer(false);
  writer.save(false);
  auto host = startHost();
  const auto atReady = reliability::memoryStats(host->pid()).value();
  const long long cpuAtReady = reliability::cpuMicros(host->pid());
  const long switchesAtReady =
      reliability::totalVoluntarySwitches(reliability::threadSwitches(host->pid()));
  const long long ownCpuAtReady = reliability::cpuMicros(::getpid());
  std::printf("  at ready:          VmRSS %6ld kB  VmHWM %6ld kB  threads %d\n", atReady.rssKb,
              atReady.hwmKb, atReady.threads);
  bool value = false;
  reliability::MemoryStats afterWarmUp{};
  const int warmUp = std::min(1000, options.changes / 10);
  int maxThreads = atReady.threads;
  for (int change = 1; change <= options.changes; ++change) {
    value = !value;
    writer.save(value);
    if (!awaitAnswer(*host, value ? 1 : 0)) throw std::runtime_error("the host missed a change");
    if (change == warmUp || change % 10000 == 0 || change == options.changes) {
      const auto now = reliability::memoryStats(host->pid()).value();
      maxThreads = std::max(maxThreads, now.threads);
      if (change == warmUp) afterWarmUp = now;
      std::printf("  after %6d:     VmRSS %6ld kB  VmHWM %6ld kB  threads %d\n", change, now.rssKb,
                  now.hwmKb, now.threads);
    }
  }
  const auto end = reliability::memoryStats(host->pid()).value();
  const long long hostCpu = reliability::cpuMicros(host->pid()) - cpuAtReady;
  const long long writerCpu = reliability::cpuMicros(::getpid()) - ownCpuAtReady;
  const long hostSwitches =
      reliability::totalVoluntarySwitches(reliability::threadSwitches(host->pid())) -
      switchesAtReady;
  std::printf(
      "  per change: host CPU %.1f us, writer CPU %.1f us (user + system); host voluntary "
      "context switches %.2f\n",
      static_cast<double>(hostCpu) / options.changes,
      static_cast<double>(writerCpu) / options.changes,
      static_cast<double>(hostSwitches) / options.changes);
  const long growthFromReady = end.rssKb - atReady.rssKb;
  const long growthAfterWarmUp = end.rssKb - afterWarmUp.rssKb;
  std::printf("  peak (VmHWM) %ld kB = %.2f MB   goal <= 8 MB: %s\n", end.hwmKb,
              static_cast<double>(end.hwmKb) / 1024.0, verdict(end.hwmKb <= 8 * 1024).c_str());
  std::printf(
      "  growth: %+ld kB from ready, %+ld kB after the first %d changes   goal <= 1 MB: "
      "%s\n",
      growthFromReady, growthAfterWarmUp, warmUp,
      verdict(growthAfterWarmUp <= 1024 && growthFromReady <= 1024).c_str());
  std::printf("  threads: at most %d\n", maxThreads);
}

void burst(const Options& options) {
  // Odd, so that every run ends on the value the host did not have before it: the host then
  // has settled once it holds that value and has refreshed after every event it got.
  const int saves = options.burstSaves | 1;
  section("burst: " + std::to_string(options.burstRuns) + " runs of " + std::to_string(saves) +
          " saves as fast as the writer can (one host)");
  reliability::Sandbox sandbox(reliability::RuntimeFolder::inMemory);
  Writer writer(false);
  writer.save(false);
  auto host = startHost();
  host->send("quiet");
  host->readLineStartingWith("quiet");
  int correct = 0, lostEvents = 0, maxThreads = 0;
  long maxHwm = 0, firstRss = 0, lastRss = 0;
  std::vector<std::int64_t> writeTimes, settleTimes;
  std::vector<int> threadPeaks;
  const int threadsAtReady = reliability::memoryStats(host->pid()).value().threads;
  bool value = false;
  for (int run = 0; run < options.burstRuns; ++run) {
    host->send("mark");
    if (!host->readLineStartingWith("marked")) throw std::runtime_error("the host stopped");
    // The host's thread count, sampled every millisecond until it has settled.
    std::atomic<bool> isSampling{true};
    std::atomic<int> sampledThreads{0};
    std::thread sampler([&, pid = host->pid()] {
      while (isSampling) {
        if (const auto m = reliability::memoryStats(pid)) {
          sampledThreads = std::max(sampledThreads.load(), m->threads);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    const std::int64_t start = monotonicNanos();
    for (int i = 0; i < saves; ++i) {
      value = !value;
      writer.save(value);
    }
    const std::int64_t written = monotonicNanos();
    host->send(std::string("await-value ") + (value ? "true" : "false"));
    const auto reached = host->readLineStartingWith("reached", std::chrono::seconds(120));
    const std::int64_t settled = monotonicNanos();
    isSampling = false;
    sampler.join();
    maxThreads = std::max(maxThreads, sampledThreads.load());
    threadPeaks.push_back(sampledThreads.load());
    if (!reached) {
      ++lostEvents;
      std::printf("  run %d: the host did not end on the last of %d changes\n", run, saves);
      host->send("mark");
      continue;
    }
    host->send("state");
    const auto state = host->readLineStartingWith("state");
    if (!state) throw std::runtime_error("the host stopped answering");
    const int expected = value ? 1 : 0;
    const bool isCorrect = reliability::numberField(*state, "enabled") == expected &&
                           reliability::numberField(*state, "published") == expected &&
                           reliability::field(*state, "keychain") == (value ? "true" : "false");
    if (isCorrect) {
      ++correct;
    } else {
      std::printf("  run %d: final state wrong, wrote %d last: %s\n", run, expected,
                  state->c_str());
    }
    writeTimes.push_back(written - start);
    settleTimes.push_back(settled - written);
    maxThreads =
        std::max(maxThreads, static_cast<int>(reliability::numberField(*state, "threads")));
    maxHwm = reliability::numberField(*state, "hwm_kb");
    lastRss = reliability::numberField(*state, "rss_kb");
    if (run == 0) firstRss = lastRss;
  }
  const Summary write = summarize(writeTimes), settle = summarize(settleTimes);
  std::printf("  final value equals the last written: %d of %d runs   goal all: %s\n", correct,
              options.burstRuns, verdict(correct == options.burstRuns).c_str());
  std::printf("  runs in which the host did not reach the last value: %d\n", lostEvents);
  std::printf(
      "  writing %d saves: p50 %.1f ms (%.0f saves/s); last save -> host settled: p50 "
      "%.1f ms, max %.1f ms\n",
      saves, write.p50 / 1e3, saves / (write.p50 / 1e6), settle.p50 / 1e3,
      settle.max / 1e3);
  std::sort(threadPeaks.begin(), threadPeaks.end());
  const int medianPeak = threadPeaks.empty() ? 0 : threadPeaks[threadPeaks.size() / 2];
  std::printf(
      "  host threads: %d at ready; peak per run median %d, max %d   goal bounded (<= %d): "
      "%s\n",
      threadsAtReady, medianPeak, maxThreads, threadsAtReady + 8,
      verdict(maxThreads <= threadsAtReady + 8).c_str());
  std::printf("  host memory: VmHWM %ld kB; VmRSS after run 1 %ld kB, after run %d %ld kB\n",
              maxHwm, firstRss, options.burstRuns, lastRss);
}

Options parse(int argc, char** argv) {
  Options o;
  auto number = [&](int& i) {
    if (i + 1 >= argc) throw std::invalid_argument(std::string(argv[i]) + " needs a value");
    return std::stoi(argv[++i]);
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.starts_with("--benchmark_")) continue;
    if (arg == "--section" && i + 1 < argc) {
      o.sections.insert(argv[++i]);
    } else if (arg == "--rounds") {
      o.rounds = number(i);
    } else if (arg == "--hosts") {
      o.hosts = number(i);
    } else if (arg == "--fanout-rounds") {
      o.fanoutRounds = number(i);
    } else if (arg == "--idle-seconds") {
      o.idleSeconds = number(i);
    } else if (arg == "--changes") {
      o.changes = number(i);
    } else if (arg == "--burst-runs") {
      o.burstRuns = number(i);
    } else if (arg == "--burst-saves") {
      o.burstSaves = number(i);
    } else if (arg == "--quick") {
      o.rounds = 200;
      o.warmUp = 20;
      o.hosts = 10;
      o.fanoutRounds = 50;
      o.idleSeconds = 2;
      o.changes = 5000;
      o.burstRuns = 3;
      o.burstSaves = 2000;
    } else {
      throw std::invalid_argument("unknown argument " + arg);
    }
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--role") {
    const std::string role = argv[2];
    if (role == "host") return reliability::runHostRole(argc - 3, argv + 3);
    if (role == "floor-peer" && argc == 5) return runFloorPeer(argv[3], argv[4]);
    std::fprintf(stderr, "bench.e2e: unknown role %s\n", role.c_str());
    return 2;
  }
  try {
    const Options options = parse(argc, argv);
    // Hosts write to a pipe that this process reads; a host that ends first must not kill it.
    ::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    printMachine();
    if (options.wants("latency")) {
      latency(options);
      breakdown(options);
    }
    if (options.wants("fanout")) fanout(options);
    if (options.wants("idle")) idle(options);
    if (options.wants("memory")) memory(options);
    if (options.wants("burst")) burst(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench.e2e: %s\n", error.what());
    return 1;
  }
  return 0;
}
