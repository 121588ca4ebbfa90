#pragma once

// A private world for one host/writer experiment: a home folder whose Applications folder holds
// the host application and the security application, a keychain store folder and a notification
// folder. The process's environment points at it while the object lives, so every child started
// meanwhile (hosts, writers) meets the others there.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "BrisvaneStateServiceImplementation/BrisvaneStateServiceImpl.h"
#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "keychain/keychain.h"
#include "notifications/distributed_notification_center.h"
#include "support/bundles.h"
#include "support/temp_dir.h"

namespace reliability {

inline constexpr char kAccessGroup[] = "reliability.shared-group";
inline constexpr char kHostBundleIdentifier[] = "com.tarvik.nyra";

inline std::string keychainText(const std::optional<bool>& value) {
  return !value ? "nil" : *value ? "true" : "false";
}

// Threads: made and dropped on one thread, while no other thread reads the environment.
class Sandbox {
 public:
  Sandbox()
      : home_("HOME", (temp_ / "home").string()),
        dataHome_("XDG_DATA_HOME", (temp_ / "data").string()),
        runtimeDir_("XDG_RUNTIME_DIR", runtime_.string()) {
    std::filesystem::create_directory(temp_ / "data");
    std::filesystem::create_directory(runtime_);
    std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
    for (const auto& [bundle, identifier] : {std::pair{"Nyra.app", kHostBundleIdentifier},
                                             std::pair{"Brisvane.app", "com.tarvik.brisvane"}}) {
      testsupport::makeBundle(temp_ / "home" / "Applications" / bundle, identifier);
    }
  }

  const std::filesystem::path& root() const { return temp_.path(); }
  std::filesystem::path keychainFile() const {
    return temp_ / "data" / "brisvane" / "keychain.sqlite3";
  }
  const std::filesystem::path& runtimeFolder() const { return runtime_; }
  std::filesystem::path notificationFolder() const {
    return runtime_ / "distributed-notifications";
  }

 private:
  testsupport::TempDir temp_;
  const std::filesystem::path runtime_ = temp_ / "runtime";
  testsupport::ScopedEnv home_, dataHome_, runtimeDir_;
};

// The security application's client in this process, on a center made for the current sandbox
// (the process-wide default center keeps the folder of whichever sandbox asked first).
inline std::unique_ptr<brisvane::KeychainInteroperabilityClient> makeWriterClient() {
  return std::make_unique<brisvane::KeychainInteroperabilityClient>(
      brisvane::BrisvaneStateServiceImpl::keychainServiceName, kAccessGroup,
      platform::KeychainServices::system(),
      platform::DistributedNotificationCenter::create(
          platform::DistributedNotificationCenter::defaultFolder()));
}

}  // namespace reliability
