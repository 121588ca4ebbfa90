// Sleep and wake: the login manager's PrepareForSleep, through the bridge and the workspace
// center, to the observer's events.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/logind_sleep_bridge.h"
#include "host/system_sleep_observer.h"
#include "runtime/main_loop.h"
#include "support/service_fakes.h"

namespace {

using host::SystemSleepEvent;
using Events = std::vector<SystemSleepEvent>;

TEST(SystemSleepObserver, TurnsWorkspaceNotificationsIntoEventsInOrder) {
  platform::NotificationCenter center;
  host::SystemSleepObserver observer(center);
  testsupport::Recorder<SystemSleepEvent> events;
  auto subscription = observer.eventPublisher().sink(events.callback());
  for (const char* name : {host::kWorkspaceWillSleepNotification, "SomethingElse",
                           host::kWorkspaceDidWakeNotification, host::kWorkspaceWillSleepNotification}) {
    center.post(name);
  }
  EXPECT_EQ(events.values(), (Events{SystemSleepEvent::sleep, SystemSleepEvent::wake, SystemSleepEvent::sleep}));
  subscription.cancel();
  center.post(host::kWorkspaceDidWakeNotification);
  EXPECT_EQ(events.size(), 3u);
}

// A private message bus for one test, so that a stand-in login manager can send signals.
struct PrivateBus {
  pid_t pid = -1;
  std::string address;
  PrivateBus() {
    int out[2];
    if (::pipe(out) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--print-address", nullptr);
      ::_exit(127);
    }
    ::close(out[1]);
    FILE* in = ::fdopen(out[0], "r");
    char line[512] = {};
    if (in && std::fgets(line, sizeof line, in)) address = std::string(line, std::strcspn(line, "\n"));
    if (in) std::fclose(in);
  }
  ~PrivateBus() {
    if (pid > 0 && ::kill(pid, SIGTERM) == 0) ::waitpid(pid, nullptr, 0);
  }
  // PrepareForSleep, as the login manager or as an impostor.
  void prepareForSleep(bool asLoginManager, bool goingToSleep) const {
    sd_bus* bus = nullptr;
    ASSERT_GE(sd_bus_new(&bus), 0);
    ASSERT_GE(sd_bus_set_address(bus, address.c_str()), 0);
    ASSERT_GE(sd_bus_set_bus_client(bus, 1), 0);
    ASSERT_GE(sd_bus_start(bus), 0);
    if (asLoginManager) {
      ASSERT_GE(sd_bus_request_name(bus, "org.freedesktop.login1", 0), 0);
    }
    ASSERT_GE(sd_bus_emit_signal(bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                 "PrepareForSleep", "b", goingToSleep ? 1 : 0), 0);
    sd_bus_flush_close_unref(bus);
  }
};

TEST(LogindSleepBridge, PrepareForSleepFromTheLoginManagerBecomesSleepAndWake) {
  PrivateBus bus;
  if (bus.address.empty()) GTEST_SKIP() << "dbus-daemon is not available";
  platform::NotificationCenter center;
  std::string whyNot;
  auto bridge = host::LogindSleepBridge::start(center, bus.address, &whyNot);
  ASSERT_NE(bridge, nullptr) << whyNot;
  host::SystemSleepObserver observer(center);
  testsupport::Recorder<SystemSleepEvent> events;
  auto subscription = observer.eventPublisher().sink(events.callback());
  bus.prepareForSleep(false, true);  // an impostor is not believed
  bus.prepareForSleep(true, true);
  bus.prepareForSleep(true, false);
  ASSERT_TRUE(platform::MainLoop::main().runUntil([&] { return events.size() >= 2; }, std::chrono::seconds(20)));
  platform::MainLoop::main().runPending();
  EXPECT_EQ(events.values(), (Events{SystemSleepEvent::sleep, SystemSleepEvent::wake}));

  auto unreachable = host::LogindSleepBridge::start(center, std::string("unix:path=/nonexistent/bus"), &whyNot);
  EXPECT_EQ(unreachable, nullptr);
  EXPECT_NE(whyNot.find("cannot connect"), std::string::npos) << whyNot;
}

}  // namespace
