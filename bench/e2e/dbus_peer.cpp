#include "dbus_peer.h"

#include <signal.h>
#include <sys/prctl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "answer_board.h"
#include "e2e_support.h"
#include "measure.h"

namespace e2e {

namespace {

constexpr char kDaemon[] = "/usr/bin/dbus-daemon";
constexpr char kObjectPath[] = "/com/tarvik/NyraInteroperability";
constexpr char kInterface[] = "com.tarvik.NyraInteroperability";
constexpr char kMember[] = "Updated";

void check(int result, const char* what) {
  if (result < 0) throw std::runtime_error(std::string(what) + ": " + std::strerror(-result));
}

// A client connection to the bus at `address`, registered (its Hello answered).
sd_bus* connect(const std::string& address) {
  sd_bus* bus = nullptr;
  check(sd_bus_new(&bus), "sd_bus_new");
  try {
    check(sd_bus_set_address(bus, address.c_str()), "sd_bus_set_address");
    check(sd_bus_set_bus_client(bus, 1), "sd_bus_set_bus_client");
    check(sd_bus_start(bus), "sd_bus_start");
    const char* name = nullptr;
    check(sd_bus_get_unique_name(bus, &name), "sd_bus_get_unique_name");  // waits for Hello
  } catch (...) {
    sd_bus_unref(bus);
    throw;
  }
  return bus;
}

struct HostContext {
  sqlite3_stmt* select = nullptr;
  e2e::AnswerBoard* board = nullptr;
  int slot = 0;
};

int onSignal(sd_bus_message*, void* userdata, sd_bus_error*) {
  auto& context = *static_cast<HostContext*>(userdata);
  const int value = envelopeValue(readItem(context.select));
  const std::int64_t arrival = monotonicNanos();
  if (context.board != nullptr) {
    context.board->post(context.slot, value == 1, arrival);
  } else {
    testsupport::say("v " + std::to_string(value) + " " + std::to_string(arrival));
  }
  return 0;
}

}  // namespace

PrivateBus::PrivateBus(const std::filesystem::path& folder) {
  const auto config = folder / "bus.conf";
  std::ofstream(config)
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n"
         "  <type>session</type>\n"
         "  <listen>unix:path="
      << (folder / "bus").string()
      << "</listen>\n"
         "  <auth>EXTERNAL</auth>\n"
         "  <policy context=\"default\">\n"
         "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
         "    <allow eavesdrop=\"true\"/>\n"
         "    <allow own=\"*\"/>\n"
         "  </policy>\n"
         "</busconfig>\n";
  daemon_ = std::make_unique<testsupport::Process>(
      selfPath(), std::vector<std::string>{"--role", "dbus-daemon", config.string()});
  const auto line = daemon_->readLine(std::chrono::seconds(10));
  if (!line || !line->starts_with("unix:")) {
    throw std::runtime_error("the private dbus-daemon did not start");
  }
  address_ = *line;
}

DBusWriter::DBusWriter(const std::string& address, const std::filesystem::path& database)
    : db_(std::make_unique<Database>(database)) {
  db_->exec(kFloorSchema);
  upsert_ = db_->prepare(kFloorUpsert);
  bus_ = connect(address);
}

DBusWriter::~DBusWriter() {
  sd_bus_flush_close_unref(bus_);
}

void DBusWriter::save(bool value) {
  upsertItem(upsert_, envelope(value));
  check(sd_bus_emit_signal(bus_, kObjectPath, kInterface, kMember, "s",
                           std::string(BrisvaneSettings::messageKey).c_str()),
        "sd_bus_emit_signal");
}

std::unique_ptr<testsupport::Process> startDBusHost(
    const std::string& address, const std::filesystem::path& database,
    const std::optional<std::pair<std::filesystem::path, int>>& board) {
  std::vector<std::string> arguments{"--role", "dbus-host", address, database.string()};
  if (board) {
    arguments.push_back(board->first.string());
    arguments.push_back(std::to_string(board->second));
  }
  auto host = std::make_unique<testsupport::Process>(selfPath(), arguments);
  if (!host->readLineStartingWith("ready", std::chrono::seconds(60))) {
    throw std::runtime_error("a D-Bus host did not start");
  }
  return host;
}

int runDBusDaemonRole(int argc, char** argv) {
  if (argc != 1) {
    std::fprintf(stderr, "bench.e2e: usage: --role dbus-daemon <config>\n");
    return 2;
  }
  // The daemon keeps this process's id and its parent-death signal across exec, so it dies with
  // the benchmark even when the benchmark is killed.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  const std::string config = std::string("--config-file=") + argv[0];
  ::execl(kDaemon, kDaemon, "--nofork", "--nopidfile", "--nosyslog", config.c_str(),
          "--print-address=1", static_cast<char*>(nullptr));
  std::perror("bench.e2e: cannot start /usr/bin/dbus-daemon");
  return 1;
}

int runDBusHostRole(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::fprintf(stderr,
                 "bench.e2e: usage: --role dbus-host <address> <database> [<board> <slot>]\n");
    return 2;
  }
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  try {
    Database db(argv[1]);
    HostContext context;
    context.select = db.prepare(kFloorSelect);
    std::optional<e2e::AnswerBoard> board;
    if (argc == 4) {
      board.emplace(e2e::AnswerBoard::open(argv[2]));
      context.board = &*board;
      context.slot = std::atoi(argv[3]);
    }
    sd_bus* bus = connect(argv[0]);
    // Synchronous: once it returns, the daemon routes the signal here.
    check(sd_bus_match_signal(bus, nullptr, nullptr, kObjectPath, kInterface, kMember, onSignal,
                              &context),
          "sd_bus_match_signal");
    testsupport::say("ready");
    for (;;) {
      const int processed = sd_bus_process(bus, nullptr);
      if (processed < 0) break;  // the bus has gone
      if (processed > 0) continue;
      const int waited = sd_bus_wait(bus, UINT64_MAX);
      if (waited < 0 && waited != -EINTR) break;
    }
    sd_bus_flush_close_unref(bus);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench.e2e: D-Bus host: %s\n", error.what());
    return 1;
  }
  return 0;
}

}  // namespace e2e
