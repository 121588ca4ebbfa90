#include "host/logind_sleep_bridge.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "host/logging.h"
#include "host/system_sleep_observer.h"
#include "runtime/main_loop.h"

namespace host {
namespace {

constexpr const char* kLoginName = "org.freedesktop.login1";
constexpr const char* kLoginPath = "/org/freedesktop/login1";
constexpr const char* kLoginInterface = "org.freedesktop.login1.Manager";

std::string errnoText(int negativeErrno) {
  return std::strerror(-negativeErrno);
}

}  // namespace

struct BRISVANE_NO_EXPORT LogindSleepBridge::Impl {
  platform::NotificationCenter* center = nullptr;
  sd_bus* bus = nullptr;
  sd_bus_slot* slot = nullptr;
  platform::FdWatch watch;

  ~Impl() {
    watch.cancel();
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
  }

  static int onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<Impl*>(userdata);
    int goingToSleep = 0;
    if (sd_bus_message_read(message, "b", &goingToSleep) < 0) return 0;
    self->center->post(goingToSleep ? kWorkspaceWillSleepNotification
                                    : kWorkspaceDidWakeNotification);
    return 0;
  }

  void drain() {
    while (sd_bus_process(bus, nullptr) > 0) {
    }
  }
};

LogindSleepBridge::LogindSleepBridge(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LogindSleepBridge::~LogindSleepBridge() = default;

std::unique_ptr<LogindSleepBridge> LogindSleepBridge::start(
    platform::NotificationCenter& center, const std::optional<std::string>& busAddress,
    std::string* whyNot) {
  auto fail = [&](const std::string& why) -> std::unique_ptr<LogindSleepBridge> {
    if (whyNot) *whyNot = why;
    return nullptr;
  };
  auto impl = std::make_unique<Impl>();
  impl->center = &center;
  int r = 0;
  if (busAddress) {
    r = sd_bus_new(&impl->bus);
    if (r >= 0) r = sd_bus_set_address(impl->bus, busAddress->c_str());
    if (r >= 0) r = sd_bus_set_bus_client(impl->bus, 1);
    if (r >= 0) r = sd_bus_start(impl->bus);
  } else {
    r = sd_bus_open_system(&impl->bus);
  }
  if (r < 0) return fail("cannot connect to the system bus: " + errnoText(r));
  // The sender condition makes the bus deliver only signals from the login manager's owner.
  r = sd_bus_match_signal(impl->bus, &impl->slot, kLoginName, kLoginPath, kLoginInterface,
                          "PrepareForSleep", &Impl::onSignal, impl.get());
  if (r < 0) return fail("cannot subscribe to sleep signals: " + errnoText(r));
  const int fd = sd_bus_get_fd(impl->bus);
  if (fd < 0) return fail("the bus has no descriptor: " + errnoText(fd));
  Impl* raw = impl.get();
  impl->watch = platform::MainLoop::main().watchReadable(fd, [raw] { raw->drain(); });
  raw->drain();
  return std::make_unique<LogindSleepBridge>(std::move(impl));
}

void startSystemSleepEventsOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    static const LogCategory category("SystemSleepObserver");
    std::string whyNot;
    // Kept for the life of the process, like the workspace center it feeds.
    static std::unique_ptr<LogindSleepBridge> bridge =
        LogindSleepBridge::start(workspaceNotificationCenter(), std::nullopt, &whyNot);
    if (!bridge) {
      logWarning(
          category, [whyNot] { return "running without sleep and wake events (" + whyNot + ")"; },
          0, true, "host/SystemSleepObserver");
    }
  });
}

}  // namespace host
