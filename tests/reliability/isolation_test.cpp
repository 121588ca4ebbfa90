// What another user of the machine (nobody) leaves in this user's notification and store
// folders: its sockets and folders are neither posted to nor used. Needs root, to hand files to
// that user; skipped otherwise. (That the folders, the sockets and the store are private to
// their user is the platform tests' business.)

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

#include "keychain/os_status_error.h"
#include "messages/BrisvaneSettings.h"
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

TEST(Isolation, ASocketOfAnotherUserIsNeitherPostedToNorRemoved) {
  const passwd* other = nobody();
  if (other == nullptr) GTEST_SKIP() << "needs root and a user nobody";
  reliability::Sandbox sandbox;
  auto observer =
      DistributedNotificationCenter::create(DistributedNotificationCenter::defaultFolder());
  std::atomic<int> received{0};
  const auto token =
      observer->addObserver("reliability.planted", [&](const std::string&) { ++received; });
  const fs::path planted = sandbox.notificationFolder() / "65534-planted";
  const int foreign = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = testsupport::addressOf(planted);
  ASSERT_EQ(::bind(foreign, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::chown(planted.c_str(), other->pw_uid, other->pw_gid), 0);
  DistributedNotificationCenter::create(DistributedNotificationCenter::defaultFolder())
      ->post("reliability.planted");
  EXPECT_TRUE(testsupport::waitFor([&] { return received == 1; })) << "the post reached no one";
  char byte = 0;
  EXPECT_LT(::recv(foreign, &byte, 1, MSG_DONTWAIT), 0) << "a socket of another user was sent to";
  EXPECT_TRUE(fs::exists(planted)) << "it was removed";
  ::close(foreign);
  observer->removeObserver(token);
}

TEST(Isolation, FoldersAnotherUserMadeInAdvanceAreNotUsed) {
  const passwd* other = nobody();
  if (other == nullptr) GTEST_SKIP() << "needs root and a user nobody";
  reliability::Sandbox sandbox;
  const fs::path notifications = sandbox.runtimeFolder() / "planted",
                 store = sandbox.keychainFile().parent_path();
  for (const auto& folder : {notifications, store}) {
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    ASSERT_EQ(::chown(folder.c_str(), other->pw_uid, other->pw_gid), 0);
  }
  EXPECT_THROW(DistributedNotificationCenter::create(notifications), std::system_error);
  try {
    reliability::makeWriterClient()->saveData(brisvane::BrisvaneSettings(true));
  } catch (const platform::OSStatusError&) {  // refusing loudly is as good as quietly
  }
  EXPECT_FALSE(fs::exists(sandbox.keychainFile())) << "the store was written into their folder";
  EXPECT_THROW(reliability::makeWriterClient()->readData<brisvane::BrisvaneSettings>(),
               platform::OSStatusError);
}

}  // namespace
