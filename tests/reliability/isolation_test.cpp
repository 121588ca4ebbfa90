// Another user of the machine (nobody) against this user's keychain store and notification
// folder. Needs root, to act as that user in a forked child and to hand files to it; skipped
// otherwise.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>

#include "messages/BrisvaneSettings.h"
#include "keychain/os_status_error.h"
#include "reliability/sandbox.h"
#include "support/unix_socket.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;
using platform::DistributedNotificationCenter;

const passwd* nobody() {
  const passwd* entry = ::getpwnam("nobody");
  return ::geteuid() == 0 && entry != nullptr && entry->pw_uid != 0 ? entry : nullptr;
}

// What `attempt` returns (0 for success, else an errno) when user nobody makes it, in a forked
// child that makes system calls only.
int asNobody(const std::function<int()>& attempt) {
  const passwd* user = nobody();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(user->pw_gid, user->pw_gid, user->pw_gid) != 0 ||
        ::setresuid(user->pw_uid, user->pw_uid, user->pw_uid) != 0) {
      ::_exit(255);
    }
    ::_exit(attempt());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 254;
}

int opens(const fs::path& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  return fd < 0 ? errno : (::close(fd), 0);
}

using testsupport::addressOf;

// A datagram socket bound at `path`, closed with the object.
struct BoundSocket {
  explicit BoundSocket(const fs::path& path) {
    const sockaddr_un address = addressOf(path);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      throw std::system_error(errno, std::generic_category(), "bind " + path.string());
    }
  }
  ~BoundSocket() { ::close(fd); }
  bool hasDatagram() const {
    char buffer[4200];
    return ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0;
  }
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

TEST(Isolation, AnotherUserCannotReadTheStoreOrReachTheNotificationFolder) {
  if (!nobody()) GTEST_SKIP() << "needs root and a user nobody";
  reliability::Sandbox sandbox;
  // Open to everyone, as a home folder often is: only the modes the store and the center set
  // themselves stand between the two users.
  for (const auto& folder : {sandbox.root(), sandbox.root() / "data", sandbox.runtimeFolder()}) {
    fs::permissions(folder, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  }
  reliability::makeWriterClient()->saveData(brisvane::BrisvaneSettings(true));
  auto center = DistributedNotificationCenter::create(DistributedNotificationCenter::defaultFolder());
  const auto token = center->addObserver("reliability.isolation", [](const std::string&) {});
  fs::path ownSocket;
  for (const auto& entry : fs::directory_iterator(sandbox.notificationFolder())) ownSocket = entry.path();
  std::ofstream(sandbox.root() / "readable") << "public";
  fs::permissions(sandbox.root() / "readable", fs::perms::owner_all | fs::perms::others_read);
  ASSERT_EQ(asNobody([&] { return opens(sandbox.root() / "readable", O_RDONLY); }), 0)
      << "the other user cannot even read what it may";
  const auto store = sandbox.keychainFile();
  const std::pair<const char*, std::function<int()>> attempts[] = {
      {"read the keychain database", [&] { return opens(store, O_RDONLY); }},
      {"list the keychain folder", [&] { return opens(store.parent_path(), O_RDONLY | O_DIRECTORY); }},
      {"list the notification folder",
       [&] { return opens(sandbox.notificationFolder(), O_RDONLY | O_DIRECTORY); }},
      {"place a socket in the notification folder",
       [&] {
         const sockaddr_un address = addressOf(sandbox.notificationFolder() / "planted");
         const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
         return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) ? errno : 0;
       }},
      {"send to an observer's socket",
       [&] {
         const sockaddr_un address = addressOf(ownSocket);
         const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
         return ::sendto(fd, "DN\1\0x", 5, 0, reinterpret_cast<const sockaddr*>(&address),
                         sizeof address) < 0 ? errno : 0;
       }},
  };
  for (const auto& [what, attempt] : attempts) {
    EXPECT_NE(asNobody(attempt), 0) << "user nobody could " << what;
  }
  center->removeObserver(token);
}

TEST(Isolation, ForeignSocketsAndFoldersAreLeftAloneAndRefused) {
  const passwd* other = nobody();
  if (!other) GTEST_SKIP() << "needs root and a user nobody";
  reliability::Sandbox sandbox;
  auto observer = DistributedNotificationCenter::create(DistributedNotificationCenter::defaultFolder());
  std::atomic<int> received{0};
  const auto token = observer->addObserver("reliability.planted", [&](const std::string&) { ++received; });
  BoundSocket foreign(sandbox.notificationFolder() / "65534-planted");
  ASSERT_EQ(::chown((sandbox.notificationFolder() / "65534-planted").c_str(), other->pw_uid, other->pw_gid), 0);
  BoundSocket own(sandbox.notificationFolder() / "0-planted");
  // post() returns once every socket it trusts holds the datagram.
  DistributedNotificationCenter::create(DistributedNotificationCenter::defaultFolder())
      ->post("reliability.planted");
  EXPECT_TRUE(testsupport::waitFor([&] { return received == 1; }));
  EXPECT_TRUE(own.hasDatagram()) << "a socket of this user was skipped";
  EXPECT_FALSE(foreign.hasDatagram()) << "a socket of another user was sent to";
  EXPECT_TRUE(fs::exists(sandbox.notificationFolder() / "65534-planted")) << "it was removed";
  observer->removeObserver(token);

  // Folders made in advance by the other user, closed to everyone else.
  const fs::path notifications = sandbox.runtimeFolder() / "planted", store = sandbox.keychainFile().parent_path();
  for (const auto& folder : {notifications, store}) {
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    ASSERT_EQ(::chown(folder.c_str(), other->pw_uid, other->pw_gid), 0);
  }
  EXPECT_THROW(DistributedNotificationCenter::create(notifications), std::system_error);
  brisvane::KeychainInteroperabilityClient client(
      brisvane::BrisvaneStateServiceImpl::keychainServiceName, reliability::kAccessGroup,
      platform::KeychainServices::system(), DistributedNotificationCenter::create(sandbox.runtimeFolder() / "own"));
  try {
    client.saveData(brisvane::BrisvaneSettings(true));
  } catch (const platform::OSStatusError&) {  // refusing loudly is as good as quietly
  }
  EXPECT_FALSE(fs::exists(sandbox.keychainFile())) << "the store was written into their folder";
  EXPECT_THROW(client.readData<brisvane::BrisvaneSettings>(), platform::OSStatusError);
}

}  // namespace
