#include "host/logind_sleep_bridge.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "host/system_sleep_observer.h"
#include "runtime/main_loop.h"
#include "support/service_fakes.h"

namespace {

// A private message bus for one test, so that a stand-in login manager can send signals.
class PrivateBus {
 public:
  PrivateBus() {
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--print-address", nullptr);
      ::_exit(127);
    }
    ::close(out[1]);
    FILE* in = ::fdopen(out[0], "r");
    char line[512] = {};
    if (in && std::fgets(line, sizeof line, in)) {
      address_ = line;
      while (!address_.empty() && (address_.back() == '\n')) address_.pop_back();
    }
    if (in) std::fclose(in);
  }
  ~PrivateBus() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& address() const { return address_; }

 private:
  pid_t pid_ = -1;
  std::string address_;
};

// Sends PrepareForSleep on the private bus, as the login manager or as an impostor.
void sendPrepareForSleep(const std::string& address, bool asLoginManager, bool goingToSleep) {
  sd_bus* bus = nullptr;
  ASSERT_GE(sd_bus_new(&bus), 0);
  ASSERT_GE(sd_bus_set_address(bus, address.c_str()), 0);
  ASSERT_GE(sd_bus_set_bus_client(bus, 1), 0);
  ASSERT_GE(sd_bus_start(bus), 0);
  if (asLoginManager) {
    ASSERT_GE(sd_bus_request_name(bus, "org.freedesktop.login1", 0), 0);
  }
  ASSERT_GE(sd_bus_emit_signal(bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               "PrepareForSleep", "b", goingToSleep ? 1 : 0),
            0);
  sd_bus_flush_close_unref(bus);
}

TEST(LogindSleepBridge, PrepareForSleepBecomesWorkspaceSleepAndWake) {
  PrivateBus bus;
  if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
  platform::NotificationCenter center;
  std::string whyNot;
  auto bridge = host::LogindSleepBridge::start(center, bus.address(), &whyNot);
  ASSERT_NE(bridge, nullptr) << whyNot;
  host::SystemSleepObserver observer(center);
  testsupport::Recorder<host::SystemSleepEvent> events;
  auto subscription = observer.eventPublisher().sink(events.callback());

  // An impostor's signal is not believed.
  sendPrepareForSleep(bus.address(), false, true);
  sendPrepareForSleep(bus.address(), true, true);
  sendPrepareForSleep(bus.address(), true, false);
  ASSERT_TRUE(platform::MainLoop::main().runUntil([&] { return events.size() >= 2; },
                                                  std::chrono::seconds(20)));
  platform::MainLoop::main().runPending();
  EXPECT_EQ(events.values(), std::vector<host::SystemSleepEvent>(
                                 {host::SystemSleepEvent::sleep, host::SystemSleepEvent::wake}));
}

TEST(LogindSleepBridge, UnreachableBusIsReportedNotThrown) {
  platform::NotificationCenter center;
  std::string whyNot;
  auto bridge = host::LogindSleepBridge::start(center, std::string("unix:path=/nonexistent/bus"),
                                               &whyNot);
  EXPECT_EQ(bridge, nullptr);
  EXPECT_NE(whyNot.find("cannot connect"), std::string::npos) << whyNot;
}

}  // namespace
