// The library and the state service in this process. What other processes can put in the host's
// way: a folder others can enter, files in an application folder, files where the host reads, a
// lock held on the store's folder, sockets and folders of another user; none of it may crash the
// host, make it wait without a bound or be used. (Malformed datagrams are the notification
// center's test and the datagram fuzzer's.) And races the service must win: ways in which a host
// can end on a stale keychain value after a change was saved and announced (left on the old value
// until the next trigger, which may be the 6-hour refresh), each made deterministic by holding
// reads back; and services dropped while their refreshes run. (That an announcement follows the
// store write is the keychain client test's.)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <random>
#include <string>
#include <system_error>

#include "host/file_last_saved_state_provider.h"
#include "keychain/keychain.h"
#include "keychain/os_status_error.h"
#include "messages/BrisvaneSettings.h"
#include "metadata/detail/metadata_plist.h"
#include "reliability/host_role.h"
#include "runtime/task.h"
#include "support/recorder.h"
#include "support/service_fakes.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;
using platform::DistributedNotificationCenter;

// The generic passwords of the access group the writer saves into.
const platform::KeychainDictionary kGroupItems{
    {platform::kSecClass, platform::kSecClassGenericPassword},
    {platform::kSecAttrAccessGroup, std::string(reliability::kAccessGroup)}};

// Runs first in its process (ctest runs one test per process, and this is the file's first
// test): the default center refuses a folder other users could enter, and then still delivers
// the process's own posts to the process.
TEST(HostileInput, ADefaultCenterOverAFolderOthersCanEnterStaysWithinItsProcess) {
  reliability::Sandbox sandbox;
  const auto folder = platform::DistributedNotificationCenter::defaultFolder();
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::all);
  auto center = platform::DistributedNotificationCenter::defaultCenter();
  testsupport::Recorder<std::string> received;
  const auto token = center->addObserver("reliability.self", received.callback());
  center->post("reliability.self");
  EXPECT_TRUE(received.waitFor("reliability.self")) << "its own post was lost";
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

// A malformed Info.plist is "not that application": it never crashes the parser, and the parser's
// work stays linear in the file (the parser recurses per level and copies shared objects).
TEST(HostileInput, DeepOrExpandingInfoPlistsAreNotApplications) {
  const std::pair<std::string, bool> cases[] = {
      // the file, whether it is an application
      {nestedBinaryPlist(60, false), true}, {nestedBinaryPlist(100000, false), false},  // 900 kB
      {nestedBinaryPlist(40, true), false},  // 2^40 objects in 600 bytes
      {nestedXmlPlist(60), true},           {nestedXmlPlist(65000), false},
  };
  for (const auto& [bytes, isApplication] : cases) {
    const auto info = platform::detail::parseBundleInfo(bytes);
    EXPECT_EQ(info ? info->identifier : "", isApplication ? "com.x" : "")
        << bytes.size() << " bytes";
  }
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
      EXPECT_EQ(platform::SecItemAdd(kGroupItems), platform::errSecNotAvailable) << name;
      EXPECT_EQ(platform::SecItemCopyMatching(kGroupItems, nullptr), platform::errSecNotAvailable)
          << name;
      fs::remove_all(sandbox.keychainFile().parent_path());
    }
  }
}

// A read of a store that does not exist creates nothing and finds nothing; a store that exists
// is used while another process holds the folder's lock (only making a new store takes it).
TEST(HostileInput, StoreReadsCreateNothingAndNeverWaitForTheFolderLock) {
  reliability::Sandbox sandbox;
  EXPECT_EQ(platform::SecItemCopyMatching(kGroupItems, nullptr), platform::errSecItemNotFound);
  EXPECT_EQ(platform::SecItemDelete(kGroupItems), platform::errSecItemNotFound);
  EXPECT_TRUE(fs::is_empty(sandbox.root() / "data")) << "a read created something";
  fs::create_directory(sandbox.keychainFile().parent_path(),
                       sandbox.root());  // private, as the store's
  EXPECT_EQ(platform::SecItemCopyMatching(kGroupItems, nullptr), platform::errSecItemNotFound);
  EXPECT_TRUE(fs::is_empty(sandbox.keychainFile().parent_path()));
  // Made by another process, so that this one has no connection to it yet.
  reliability::Process writer(reliability::helperPath("peer"), {"writer", "1", "1"});
  ASSERT_TRUE(writer.readLineStartingWith("done").has_value());
  const int folder =
      ::open(sandbox.keychainFile().parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(::flock(folder, LOCK_EX), 0);
  EXPECT_EQ(platform::SecItemCopyMatching(kGroupItems, nullptr), platform::errSecSuccess);
  EXPECT_EQ(platform::SecItemDelete(kGroupItems), platform::errSecSuccess);
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
  testsupport::Recorder<std::string> received;
  const auto token = observer->addObserver("reliability.planted", received.callback());
  const fs::path planted = sandbox.notificationFolder() / "65534-planted";
  const testsupport::BoundSocket foreign(planted);
  ASSERT_EQ(::chown(planted.c_str(), other->pw_uid, other->pw_gid), 0);
  DistributedNotificationCenter::create(DistributedNotificationCenter::defaultFolder())
      ->post("reliability.planted");
  EXPECT_TRUE(received.waitFor("reliability.planted")) << "the post reached no one";
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

// Refreshes run concurrently: a read begun before a change that returns after the read that saw
// the change must not replace the newer value.
TEST(RefreshOrdering, AnOlderReadFinishingLastDoesNotReplaceANewerOne) {
  testsupport::ServiceHarness h;
  h.reader->value = false;
  h.reader->block(true);  // reads that began on "false" wait; one that began on "true" passes
  h.build();
  std::atomic<int> sends{-1};  // not counting the replay on subscription
  auto counting =
      brisvane::probe::keychainValues(*h.service).sink([&](const std::optional<bool>&) { ++sends; });
  // The two refreshes of construction read "false".
  ASSERT_TRUE(testsupport::waitFor([&] { return h.reader->entered == 2 && h.reader->listens == 1; }));
  h.reader->value = true;  // saved and announced; that refresh reads "true"
  h.reader->signal();
  ASSERT_TRUE(testsupport::waitFor([&] { return sends == 1; }));
  h.reader->release();  // the reads of construction, begun before the save, come back now
  // A service that drops stale results sends nothing more, and passes once this guard ends.
  testsupport::waitFor([&] { return sends >= 3; }, std::chrono::seconds(5));
  EXPECT_EQ(h.service->keychainRTPValue(), true) << "an older read replaced the newer value";
}

// An announcement made after construction returns, while the task that opens the change stream
// has not run yet (a busy pool delays it), must still lead to a read.
TEST(RefreshOrdering, AnAnnouncementRightAfterConstructionIsNotLost) {
  std::latch gate(1);  // holds every thread of the pool until the announcement is made
  std::vector<platform::TaskHandle> busy;
  for (unsigned i = 0; i < 4 * std::max(4u, std::thread::hardware_concurrency()); ++i) {
    busy.push_back(platform::Task::detached([&] { gate.wait(); }));
  }
  testsupport::ServiceHarness h;
  h.reader->value = false;
  h.build();
  h.reader->value = true;
  h.reader->signal();
  gate.count_down();
  for (const auto& task : busy) task.wait();
  EXPECT_TRUE(testsupport::waitFor([&] { return h.service->keychainRTPValue() == true; }))
      << "the service stays on the value read before the change";
}

// The service made and dropped over and over through the public entry point while refreshes are
// in flight: nothing may keep it alive, leak (LeakSanitizer checks at exit in the ASan build),
// race (the TSan build), or leave a thread behind.
TEST(Lifetime, ServicesMadeAndDroppedWithRefreshesInFlightLeaveNothingBehind) {
  reliability::Sandbox sandbox;
  host::ScopedLogCapture quiet;  // the services' lines are not the subject here
  auto writer = reliability::makeWriterClient();
  writer->saveData(brisvane::BrisvaneSettings(true));
  auto checker = std::make_shared<host::FolderAppOnDeviceChecker>(
      brisvane::SpotlightInstalledAppMonitor::defaultDirectoriesToCheck());
  testsupport::FakeOverride override_;
  auto& loop = platform::MainLoop::main();
  auto threads = [] { return reliability::threadCount(::getpid()); };
  std::thread([] {}).join();  // brings out a sanitizer's background thread before the count
  const int threadsBefore = threads();
  std::mt19937 random(12345);
  for (int cycle = 0, cycles = testsupport::scaled(1000, 10); cycle < cycles; ++cycle) {
    SCOPED_TRACE("service " + std::to_string(cycle));
    auto service = brisvane::BrisvaneStateServiceImpl::make(
        reliability::kAccessGroup, reliability::kHostBundleIdentifier, checker,
        override_.configuration(), std::make_shared<testsupport::FakeLastSavedStateProvider>());
    auto subscription = service->isRealTimeProtectionEnabledPublisher().sink([](const bool&) {});
    // Announced changes start refreshes; the service is dropped while they read, while they
    // publish, or after they finished, at random.
    for (int i = random() % 3; i > 0; --i) writer->saveData(brisvane::BrisvaneSettings(i % 2 == 0));
    loop.runPending();
    if (random() % 4 == 0) {
      ASSERT_TRUE(testsupport::waitFor([&] { return service->keychainRTPValue().has_value(); }));
    }
    const std::weak_ptr<brisvane::BrisvaneStateServiceImpl> weak = service;
    service.reset();
    loop.runPending();
    // Work still running may hold the service for the length of a step, never longer.
    ASSERT_TRUE(testsupport::waitFor([&] { return weak.expired(); })) << "something keeps it alive";
    subscription.cancel();
  }
  loop.runPending();
  // Once the services are gone the process keeps the default center's thread, the shared pool's
  // idle threads (at most max(4, cores)) and its watchdog; a task left behind keeps one each.
  const int limit =
      threadsBefore + 2 + static_cast<int>(std::max(4u, std::thread::hardware_concurrency()));
  EXPECT_TRUE(testsupport::waitFor([&] { return threads() <= limit; }))
      << threads() << " threads left, limit " << limit;
}

}  // namespace
