// Another user of the machine (nobody) against this user's keychain store and notification
// folder. Needs root: the intruder is started through setpriv, and foreign-owned files are made
// with chown. Skipped otherwise.

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "messages/BrisvaneSettings.h"
#include "notifications/distributed_notification_center.h"
#include "keychain/os_status_error.h"
#include "reliability/host_session.h"
#include "reliability/process.h"
#include "reliability/sandbox.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using brisvane::BrisvaneSettings;
using platform::DistributedNotificationCenter;

struct OtherUser {
  uid_t uid;
  gid_t gid;
};

std::optional<OtherUser> nobody() {
  const passwd* entry = ::getpwnam("nobody");
  if (entry == nullptr || entry->pw_uid == 0) return std::nullopt;
  return OtherUser{entry->pw_uid, entry->pw_gid};
}

std::optional<fs::path> findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t begin = 0;
  while (begin <= folders.size()) {
    const auto end = std::min(folders.find(':', begin), folders.size());
    const fs::path candidate = fs::path(folders.substr(begin, end - begin)) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    begin = end + 1;
  }
  return std::nullopt;
}

// Why the test cannot run here, or nothing when it can.
std::optional<std::string> whyNotRunnable() {
  if (::geteuid() != 0) {
    return "needs root to act as another user (running as uid " + std::to_string(::geteuid()) + ")";
  }
  if (!nobody()) return "there is no user nobody";
  if (!findProgram("setpriv")) return "setpriv is not installed";
  return std::nullopt;
}

// The intruder helper, copied where user nobody can run it, run through setpriv as nobody.
class Intruder {
 public:
  Intruder() {
    fs::permissions(folder_.path(), fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
    fs::copy_file(reliability::helperPath("intruder"), program());
    fs::permissions(program(), fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
  }

  // The one line it says, or a description of how it failed.
  std::string attempt(const std::string& mode, const fs::path& target) {
    const OtherUser user = *nobody();
    reliability::Process process(
        *findProgram("setpriv"),
        {"--reuid=" + std::to_string(user.uid), "--regid=" + std::to_string(user.gid),
         "--clear-groups", "--", program().string(), mode, target.string()});
    const auto line = process.readLine(std::chrono::seconds(30));
    if (!process.exitedCleanly()) return "intruder failed to run";
    return line.value_or("intruder said nothing");
  }

 private:
  fs::path program() const { return folder_ / "intruder"; }
  testsupport::TempDir folder_;
};

// Opens the sandbox's own folders to everyone, as a home folder often is, so that only the
// modes the store and the notification center set themselves stand between the two users.
void openSandboxFolders(const reliability::Sandbox& sandbox) {
  const auto open = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                    fs::perms::others_read | fs::perms::others_exec;
  for (const auto& folder : {sandbox.root(), sandbox.root() / "data", sandbox.root() / "runtime"}) {
    fs::permissions(folder, open);
  }
}

// A datagram socket bound at `path`; closed and removed with the object.
class BoundSocket {
 public:
  explicit BoundSocket(const fs::path& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      throw std::system_error(errno, std::generic_category(), "bind " + path.string());
    }
  }
  ~BoundSocket() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  BoundSocket(const BoundSocket&) = delete;
  BoundSocket& operator=(const BoundSocket&) = delete;

  // Whether a datagram is waiting (never blocks).
  bool hasDatagram() const {
    char buffer[4200];
    return ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) >= 0;
  }

 private:
  fs::path path_;
  int fd_ = -1;
};

std::optional<fs::path> firstSocketIn(const fs::path& folder) {
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_socket()) return entry.path();
  }
  return std::nullopt;
}

TEST(Isolation, AnotherUserCannotReadTheStoreOrReachTheNotificationFolder) {
  if (const auto why = whyNotRunnable()) GTEST_SKIP() << *why;
  reliability::Sandbox sandbox;
  openSandboxFolders(sandbox);
  reliability::makeWriterClient()->saveData(BrisvaneSettings(true));
  auto center =
      DistributedNotificationCenter::create(DistributedNotificationCenter::defaultFolder());
  const auto token = center->addObserver("reliability.isolation", [](const std::string&) {});
  const auto ownSocket = firstSocketIn(sandbox.notificationFolder());
  ASSERT_TRUE(ownSocket.has_value()) << "the center bound no socket";
  ASSERT_TRUE(fs::exists(sandbox.keychainFile()));
  // A file anyone may read, to show that the intruder really runs and can read what it may.
  const fs::path readable = sandbox.root() / "readable";
  std::ofstream(readable) << "public";
  fs::permissions(readable, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                fs::perms::others_read);

  Intruder intruder;
  ASSERT_EQ(intruder.attempt("read", readable), "ok read 6 bytes") << "the intruder cannot run";
  struct Attempt {
    const char* what;
    const char* mode;
    fs::path target;
  };
  std::vector<Attempt> attempts = {
      {"read the keychain database", "read", sandbox.keychainFile()},
      {"list the keychain folder", "list", sandbox.keychainFile().parent_path()},
      {"list the notification folder", "list", sandbox.notificationFolder()},
      {"place a socket in the notification folder", "bind", sandbox.notificationFolder()},
      {"send to an observer's socket", "send", *ownSocket},
  };
  const fs::path journal = sandbox.keychainFile().string() + "-wal";
  if (fs::exists(journal)) attempts.push_back({"read the keychain journal", "read", journal});
  for (const auto& a : attempts) {
    const std::string answer = intruder.attempt(a.mode, a.target);
    EXPECT_TRUE(answer.starts_with("denied")) << "user nobody could " << a.what << ": " << answer;
  }
  center->removeObserver(token);
}

TEST(Isolation, AForeignSocketInTheNotificationFolderGetsNothing) {
  if (const auto why = whyNotRunnable()) GTEST_SKIP() << *why;
  const OtherUser other = *nobody();
  reliability::Sandbox sandbox;
  auto observer =
      DistributedNotificationCenter::create(DistributedNotificationCenter::defaultFolder());
  std::promise<void> received;
  const auto token = observer->addObserver("reliability.planted",
                                           [&](const std::string&) { received.set_value(); });
  // Sockets planted in the folder: one handed to another user, one left to this user.
  BoundSocket foreign(sandbox.notificationFolder() / "65534-planted");
  ASSERT_EQ(::chown((sandbox.notificationFolder() / "65534-planted").c_str(), other.uid, other.gid),
            0);
  BoundSocket own(sandbox.notificationFolder() / "0-planted");

  auto poster =
      DistributedNotificationCenter::create(DistributedNotificationCenter::defaultFolder());
  // post() returns once every socket it trusts holds the datagram.
  poster->post("reliability.planted");
  EXPECT_EQ(received.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(own.hasDatagram()) << "a socket of this user was skipped";
  EXPECT_FALSE(foreign.hasDatagram()) << "a socket of another user was sent to";
  EXPECT_TRUE(fs::exists(sandbox.notificationFolder() / "65534-planted"))
      << "another user's socket was removed rather than left alone";
  observer->removeObserver(token);
}

TEST(Isolation, FoldersPlantedByAnotherUserAreRefused) {
  if (const auto why = whyNotRunnable()) GTEST_SKIP() << *why;
  const OtherUser other = *nobody();
  reliability::Sandbox sandbox;

  // A notification folder made in advance by another user, closed to everyone else.
  const fs::path notifications = sandbox.notificationFolder();
  fs::create_directory(notifications);
  fs::permissions(notifications, fs::perms::owner_all, fs::perm_options::replace);
  ASSERT_EQ(::chown(notifications.c_str(), other.uid, other.gid), 0);
  EXPECT_THROW(DistributedNotificationCenter::create(notifications), std::system_error);

  // A keychain folder made in advance by another user: nothing is written into it.
  const fs::path store = sandbox.keychainFile().parent_path();
  fs::create_directory(store);
  fs::permissions(store, fs::perms::owner_all, fs::perm_options::replace);
  ASSERT_EQ(::chown(store.c_str(), other.uid, other.gid), 0);
  brisvane::KeychainInteroperabilityClient client(
      brisvane::BrisvaneStateServiceImpl::keychainServiceName, reliability::kAccessGroup,
      platform::KeychainServices::system(),
      DistributedNotificationCenter::create(sandbox.root() / "runtime" / "own"));
  // A save whose first look into the store fails ends without an error and writes nothing; a
  // read reports the failure.
  try {
    client.saveData(BrisvaneSettings(true));
  } catch (const platform::OSStatusError&) {
    // Refusing loudly is as good as refusing quietly; what matters is the file below.
  }
  EXPECT_FALSE(fs::exists(sandbox.keychainFile()));
  EXPECT_THROW(client.readData<BrisvaneSettings>(), platform::OSStatusError);
}

}  // namespace
