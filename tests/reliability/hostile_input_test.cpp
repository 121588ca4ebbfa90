// What other processes can put in the host's way: a folder others can enter, files in an
// application folder, files where the host reads, a lock held on the store's folder, sockets and
// folders of another user. None of it may crash the host, make it wait without a bound or be
// used. (Malformed datagrams are the notification center's test and the datagram fuzzer's.)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>

#include "host/file_last_saved_state_provider.h"
#include "keychain/keychain.h"
#include "keychain/os_status_error.h"
#include "messages/BrisvaneSettings.h"
#include "metadata/detail/metadata_plist.h"
#include "reliability/host_role.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;
using platform::DistributedNotificationCenter;

// Runs first in its process (ctest runs one test per process, and no other test of this file
// makes the default center): the default center refuses a folder other users could enter, and
// then still delivers the process's own posts to the process.
TEST(HostileInput, ADefaultCenterOverAFolderOthersCanEnterStaysWithinItsProcess) {
  reliability::Sandbox sandbox;
  const auto folder = platform::DistributedNotificationCenter::defaultFolder();
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::all);
  auto center = platform::DistributedNotificationCenter::defaultCenter();
  std::atomic<int> received{0};
  const auto token =
      center->addObserver("reliability.self", [&](const std::string&) { ++received; });
  center->post("reliability.self");
  EXPECT_TRUE(testsupport::waitFor([&] { return received == 1; })) << "its own post was lost";
  EXPECT_TRUE(fs::is_empty(folder)) << "a socket was bound in the open folder";
  center->removeObserver(token);
}

// A binary property list: a dictionary with a bundle identifier and, under "deep", `depth`
// arrays nested one in the next; with `isShared` each array holds the next one twice, so the
// list is small but expands to 2^depth objects.
std::string nestedBinaryPlist(std::uint32_t depth, bool isShared) {
  auto ref = [](std::size_t i) {
    return std::string{char(i >> 24), char(i >> 16), char(i >> 8), char(i)};
  };
  std::vector<std::string> objects{"\xD2" + ref(1) + ref(3) + ref(2) + ref(4),
                                   std::string("\x5F\x10\x12", 3) + "CFBundleIdentifier",
                                   "\125com.x", "\124deep"};
  for (std::uint32_t i = 0; i < depth; ++i)
    objects.push_back((isShared ? "\xA2" + ref(5 + i) : "\xA1") + ref(5 + i));
  objects.push_back("\xA0");
  std::string out = "bplist00", table;
  for (const auto& object : objects) {
    table += ref(out.size());
    out += object;
  }
  // The trailer: sizes of offsets and references, then the object count, the top object and
  // where the offset table starts, 8 bytes each.
  return out + table + std::string(6, '\0') + "\x04\x04" + ref(0) + ref(objects.size()) + ref(0) +
         ref(0) + ref(0) + ref(out.size());
}

std::string nestedXmlPlist(int depth) {
  std::string open, close;
  for (int i = 0; i < depth; ++i) open += "<array>", close += "</array>";
  return "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>com.x</string>" +
         std::string("<key>deep</key>") + open + close + "</dict></plist>";
}

// A malformed bundle is "not that application": it never crashes the scan, and the scan's work
// stays linear in the file (the parser recurses per level and copies shared objects).
TEST(HostileInput, DeepOrExpandingInfoPlistsAreNotApplications) {
  const std::pair<std::string, bool> cases[] = {
      // the file, whether it is an application
      {nestedBinaryPlist(60, false), true}, {nestedBinaryPlist(100000, false), false},  // 900 kB
      {nestedBinaryPlist(40, true), false},  // 2^40 objects in 600 bytes
      {nestedXmlPlist(60), true},           {nestedXmlPlist(65000), false},
  };
  testsupport::TempDir bundle;
  const int folder = ::open(bundle.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const auto& [bytes, isApplication] : cases) {
    std::ofstream(bundle / "Info.plist", std::ios::binary | std::ios::trunc) << bytes;
    const auto info = platform::detail::readBundleInfo(folder, "Info.plist");
    EXPECT_EQ(info ? info->identifier : "", isApplication ? "com.x" : "")
        << bytes.size() << " bytes";
  }
  ::close(folder);
}

// Every file the library and the host read: a FIFO, a device or a folder in its place, or an
// oversized file, is refused at once (the open does not wait for a writer, nothing is read
// without a bound).
TEST(HostileInput, FilesThatAreNotSmallRegularFilesAreRefusedWithoutWaiting) {
  const std::function<void(const fs::path&)> places[] = {
      [](const fs::path& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); },
      [](const fs::path& at) { fs::create_symlink("/dev/zero", at); },
      [](const fs::path& at) { fs::create_directory(at); },
      [](const fs::path& at) {
        std::ofstream(at) << std::string(host::FileLastSavedRTPStateProvider::kMaximumSize, ' ')
                          << "true";
      },
  };
  const platform::KeychainDictionary item{{platform::kSecClass, platform::kSecClassGenericPassword},
                                          {platform::kSecAttrAccount, std::string("a")}};
  for (const auto& place : places) {
    reliability::Sandbox sandbox;
    place(sandbox.root() / "state");
    EXPECT_EQ(host::FileLastSavedRTPStateProvider(sandbox.root() / "state").lastSavedRTPState(),
              std::nullopt);
    fs::create_directory(sandbox.root() / "bundle");
    place(sandbox.root() / "bundle" / "Info.plist");
    const int folder =
        ::open((sandbox.root() / "bundle").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_EQ(platform::detail::readBundleInfo(folder, "Info.plist"), std::nullopt);
    ::close(folder);
    for (const char* name : {"keychain.sqlite3", "keychain.sqlite3-wal"}) {
      if (&place == &places[3]) break;  // a large file there is a store that does not decode
      fs::create_directories(sandbox.keychainFile().parent_path());
      place(sandbox.keychainFile().parent_path() / name);
      EXPECT_EQ(platform::SecItemAdd(item), platform::errSecNotAvailable) << name;
      EXPECT_EQ(platform::SecItemCopyMatching(item, nullptr), platform::errSecNotAvailable) << name;
      fs::remove_all(sandbox.keychainFile().parent_path());
    }
  }
}

// A read of a store that does not exist creates nothing and finds nothing; a store that exists
// is used while another process holds the folder's lock (only making a new store takes it).
TEST(HostileInput, StoreReadsCreateNothingAndNeverWaitForTheFolderLock) {
  const platform::KeychainDictionary query{
      {platform::kSecClass, platform::kSecClassGenericPassword},
      {platform::kSecAttrAccessGroup, std::string(reliability::kAccessGroup)}};
  reliability::Sandbox sandbox;
  EXPECT_EQ(platform::SecItemCopyMatching(query, nullptr), platform::errSecItemNotFound);
  EXPECT_EQ(platform::SecItemDelete(query), platform::errSecItemNotFound);
  EXPECT_TRUE(fs::is_empty(sandbox.root() / "data")) << "a read created something";
  fs::create_directory(sandbox.keychainFile().parent_path(),
                       sandbox.root());  // private, as the store's
  EXPECT_EQ(platform::SecItemCopyMatching(query, nullptr), platform::errSecItemNotFound);
  EXPECT_TRUE(fs::is_empty(sandbox.keychainFile().parent_path()));
  // Made by another process, so that this one has no connection to it yet.
  reliability::Process writer(reliability::helperPath("writer"), {"1", "1"});
  ASSERT_TRUE(writer.readLineStartingWith("done").has_value());
  const int folder =
      ::open(sandbox.keychainFile().parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(::flock(folder, LOCK_EX), 0);
  EXPECT_EQ(platform::SecItemCopyMatching(query, nullptr), platform::errSecSuccess);
  EXPECT_EQ(platform::SecItemDelete(query), platform::errSecSuccess);
  ::close(folder);
}

// What another user of the machine (nobody) leaves in this user's notification and store
// folders: its sockets and folders are neither posted to nor used. Needs root, to hand files to
// that user; skipped otherwise.
TEST(Isolation, SocketsAndFoldersOfAnotherUserAreNeitherPostedToNorUsed) {
  const passwd* other = ::getpwnam("nobody");
  if (::geteuid() != 0 || other == nullptr || other->pw_uid == 0) {
    GTEST_SKIP() << "needs root and a user nobody";
  }
  reliability::Sandbox sandbox;
  auto observer =
      DistributedNotificationCenter::create(DistributedNotificationCenter::defaultFolder());
  std::atomic<int> received{0};
  const auto token =
      observer->addObserver("reliability.planted", [&](const std::string&) { ++received; });
  const fs::path planted = sandbox.notificationFolder() / "65534-planted";
  const testsupport::BoundSocket foreign(planted);
  ASSERT_EQ(::chown(planted.c_str(), other->pw_uid, other->pw_gid), 0);
  DistributedNotificationCenter::create(DistributedNotificationCenter::defaultFolder())
      ->post("reliability.planted");
  EXPECT_TRUE(testsupport::waitFor([&] { return received == 1; })) << "the post reached no one";
  EXPECT_TRUE(foreign.drain().empty()) << "a socket of another user was sent to";
  EXPECT_TRUE(fs::exists(planted)) << "it was removed";
  observer->removeObserver(token);
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
