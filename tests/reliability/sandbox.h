#pragma once

// A private world for one host/writer experiment: a home folder whose Applications folder holds
// the host application and the security application, a keychain store folder and a notification
// folder. The current process's environment points at it while the object lives, so every child
// started meanwhile (hosts, writers) meets the others there.

#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace reliability {

// The access group and host bundle identifier every host and writer of these experiments uses.
inline constexpr char kAccessGroup[] = "reliability.shared-group";
inline constexpr char kHostBundleIdentifier[] = "com.tarvik.nyra";
inline constexpr char kSecurityAppBundleIdentifier[] = "com.tarvik.brisvane";

inline void makeBundle(const std::filesystem::path& bundle, const std::string& identifier) {
  std::filesystem::create_directories(bundle / "Contents");
  std::ofstream(bundle / "Contents" / "Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
      << "  <key>CFBundleIdentifier</key>\n  <string>" << identifier << "</string>\n"
      << "</dict>\n</plist>\n";
}

// Threads: made and dropped on the test's thread, while no other thread reads the environment.
class Sandbox {
 public:
  Sandbox()
      : home_("HOME", (temp_ / "home").string()),
        dataHome_("XDG_DATA_HOME", (temp_ / "data").string()),
        runtimeDir_("XDG_RUNTIME_DIR", (temp_ / "runtime").string()) {
    std::filesystem::create_directories(temp_ / "home" / "Applications");
    std::filesystem::create_directory(temp_ / "data");
    std::filesystem::create_directory(temp_ / "runtime");
    std::filesystem::permissions(temp_ / "runtime", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    makeBundle(temp_ / "home" / "Applications" / "Nyra.app", kHostBundleIdentifier);
    makeBundle(temp_ / "home" / "Applications" / "Brisvane.app", kSecurityAppBundleIdentifier);
  }

  const std::filesystem::path& root() const { return temp_.path(); }
  std::filesystem::path keychainFile() const {
    return temp_ / "data" / "brisvane" / "keychain.sqlite3";
  }
  std::filesystem::path notificationFolder() const {
    return temp_ / "runtime" / "distributed-notifications";
  }

 private:
  testsupport::TempDir temp_;
  testsupport::ScopedEnv home_;
  testsupport::ScopedEnv dataHome_;
  testsupport::ScopedEnv runtimeDir_;
};

}  // namespace reliability
