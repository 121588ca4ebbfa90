#pragma once

// A private world for one host/writer experiment: a home folder whose Applications folder holds
// the host application and the security application, a keychain store folder and a notification
// folder. The current process's environment points at it while the object lives, so every child
// started meanwhile (hosts, writers) meets the others there.

#include <linux/magic.h>
#include <sys/statfs.h>

#include <filesystem>
#include <fstream>
#include <optional>
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

// Where the notification folder lives: beside the rest, or on a memory file system as
// $XDG_RUNTIME_DIR is on a desktop session (falling back to beside the rest without one).
enum class RuntimeFolder { besideTheRest, inMemory };

// Threads: made and dropped on the test's thread, while no other thread reads the environment.
class Sandbox {
 public:
  explicit Sandbox(RuntimeFolder where = RuntimeFolder::besideTheRest)
      : memoryTemp_(where == RuntimeFolder::inMemory && isMemoryFileSystem(kMemoryFolder)
                        ? std::make_optional<testsupport::TempDir>(kMemoryFolder)
                        : std::nullopt),
        runtime_((memoryTemp_ ? memoryTemp_->path() : temp_.path()) / "runtime"),
        home_("HOME", (temp_ / "home").string()),
        dataHome_("XDG_DATA_HOME", (temp_ / "data").string()),
        runtimeDir_("XDG_RUNTIME_DIR", runtime_.string()) {
    std::filesystem::create_directories(temp_ / "home" / "Applications");
    std::filesystem::create_directory(temp_ / "data");
    std::filesystem::create_directory(runtime_);
    std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    makeBundle(temp_ / "home" / "Applications" / "Nyra.app", kHostBundleIdentifier);
    makeBundle(temp_ / "home" / "Applications" / "Brisvane.app", kSecurityAppBundleIdentifier);
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
  static constexpr char kMemoryFolder[] = "/dev/shm";

  static bool isMemoryFileSystem(const char* path) {
    struct statfs fs {};
    return ::statfs(path, &fs) == 0 && fs.f_type == TMPFS_MAGIC;
  }

  testsupport::TempDir temp_;
  std::optional<testsupport::TempDir> memoryTemp_;
  std::filesystem::path runtime_;
  testsupport::ScopedEnv home_;
  testsupport::ScopedEnv dataHome_;
  testsupport::ScopedEnv runtimeDir_;
};

}  // namespace reliability
