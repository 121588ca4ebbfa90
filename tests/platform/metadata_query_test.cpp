#include "metadata/metadata_query.h"

#include <gtest/gtest.h>

#include <any>
#include <chrono>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "notifications/notification_center.h"
#include "reactive/cancellable.h"
#include "runtime/main_loop.h"
#include "support/bundles.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace platform;
using namespace testsupport;
using Ids = std::multiset<std::string>;

Ids identifiersOf(const std::vector<MetadataItem>& items) {
  Ids identifiers;
  for (const auto& item : items) {
    identifiers.insert(item.valueForAttribute(MetadataItemCFBundleIdentifierKey).value());
  }
  return identifiers;
}

struct Update {
  Ids added, removed, changed;
  friend bool operator==(const Update&, const Update&) = default;
};

// A query for three identifiers over folders of a private temporary directory, with what it
// posted (on the main thread only).
struct MetadataQueryTest : ::testing::Test {
  void SetUp() override {
    auto& center = NotificationCenter::defaultCenter();
    for (const char* name :
         {MetadataQueryDidFinishGatheringNotification, MetadataQueryDidUpdateNotification}) {
      center.publisher(name, &query_)
          .sink([this](const Notification& n) {
            offMain_ += !MainLoop::main().isMainThread();
            if (n.name == MetadataQueryDidFinishGatheringNotification) return (void)++gathers_;
            auto items = [&](const char* key) {
              return identifiersOf(std::any_cast<std::vector<MetadataItem>>(n.userInfo.at(key)));
            };
            updates_.push_back({items(MetadataQueryUpdateAddedItemsKey),
                                items(MetadataQueryUpdateRemovedItemsKey),
                                items(MetadataQueryUpdateChangedItemsKey)});
          })
          .store(observations_);
    }
    std::vector<Predicate> identifiers;
    for (const char* id : {"com.example.a", "com.example.b", "com.example.c"}) {
      identifiers.push_back(
          Predicate::withFormat("%K == %@", MetadataItemCFBundleIdentifierKey, id));
    }
    query_.setPredicate(Predicate::orPredicateWithSubpredicates(std::move(identifiers)));
  }
  void TearDown() override {
    query_.stopQuery();
    EXPECT_EQ(offMain_, 0) << "notifications are posted on the main thread only";
  }

  // Starts the query and pumps the main loop until it has gathered.
  void start(std::vector<fs::path> scopes) {
    query_.setSearchScopes(std::move(scopes));
    ASSERT_TRUE(query_.startQuery());
    const int before = gathers_;
    ASSERT_TRUE(
        MainLoop::main().runUntil([&] { return gathers_ > before; }, std::chrono::seconds(20)));
  }
  // Every change made before this call has been queued by the kernel; one pump lets the query
  // read it and post what follows from it.
  std::vector<Update> pump() {
    updates_.clear();
    MainLoop::main().runPending();
    return updates_;
  }

  TempDir dir_;
  fs::path scope_ = dir_ / "Applications";
  MetadataQuery query_;
  CancellableSet observations_;
  int gathers_ = 0, offMain_ = 0;
  std::vector<Update> updates_;
};

TEST_F(MetadataQueryTest, GatherSkipsLinksAndBundlesInsideBundlesThenEachChangeIsReportedOnce) {
  makeBundle(scope_ / "A.app" / "Contents" / "Helpers" / "Inner.app", "com.example.c");
  // An empty display name falls back to the bundle name, not to the file name.
  writeFile(scope_ / "A.app" / "Contents" / "Info.plist",
            detail::encodeStringDictionary({{"CFBundleIdentifier", "com.example.a"},
                                            {"CFBundleDisplayName", ""},
                                            {"CFBundleName", "Bee"}},
                                           PlistFormat::xml));
  makeBundle(scope_ / "Utilities" / "Deep" / "B.app", "com.example.b", PlistFormat::binary);
  makeBundle(dir_ / "elsewhere" / "Linked.app", "com.example.c");
  fs::create_directory_symlink(dir_ / "elsewhere", scope_ / "Link");
  fs::create_directory_symlink(dir_ / "elsewhere" / "Linked.app", scope_ / "Direct.app");
  makeBundle(scope_ / "Other.app", "com.example.other");
  fs::create_directories(scope_ / "NoPlist.app" / "Contents");
  makeBundle(scope_ / "Truncated.app", "com.example.a");
  writeFile(scope_ / "Truncated.app" / "Contents" / "Info.plist", infoPlist("com.example.a").substr(0, 80));
  makeBundle(scope_ / "Folder.notapp" / "C.app", "com.example.c");
  // The nested scope and the duplicate report each bundle once; the missing scope is harmless.
  start({scope_, scope_ / "Utilities", scope_.string() + "/", dir_ / "missing"});
  EXPECT_EQ(identifiersOf(query_.results()), (Ids{"com.example.a", "com.example.b", "com.example.c"}));
  EXPECT_EQ(query_.results()[0].valueForAttribute(MetadataItemDisplayNameKey), "Bee");
  EXPECT_EQ(query_.results()[1].valueForAttribute(MetadataItemPathKey),
            (scope_ / "Folder.notapp" / "C.app").string())
      << "ordered by path";
  EXPECT_TRUE(updates_.empty());
  EXPECT_FALSE(query_.startQuery()) << "a running query does not start twice";

  // Each change is reported once, in one update; changes that are not matching bundles are
  // followed by a new matching bundle (S0.app, S1.app), so an update holding only that one shows
  // they were seen and ignored (events arrive in order).
  const auto outside = dir_ / "Downloads";
  fs::create_directories(outside);
  const auto copied = scope_ / "Copied.app" / "Contents";
  const std::tuple<const char*, std::function<void()>, Update> cases[] = {
      {"moved in",
       [&] {
         makeBundle(outside / "Moved.app", "com.example.c");
         fs::rename(outside / "Moved.app", scope_ / "Moved.app");
       },
       {{"com.example.c"}, {}, {}}},
      {"moved out",
       [&] { fs::rename(scope_ / "Moved.app", outside / "Moved.app"); },
       {{}, {"com.example.c"}, {}}},
      {"copied file by file, plist last",
       [&] {
         fs::create_directories(copied);
         pump();
         const auto plist = infoPlist("com.example.c");
         std::ofstream out(copied / "Info.plist", std::ios::binary);
         out << plist.substr(0, plist.size() / 2) << std::flush;
         pump();
         out << plist.substr(plist.size() / 2);
       },
       {{"com.example.c"}, {}, {}}},
      {"plist rewritten in place",
       [&] {
         writeFile(copied / "Info.plist", infoPlist("com.example.c", PlistFormat::xml, "2.0"));
       },
       {{}, {}, {"com.example.c"}}},
      {"identifier no longer searched for",
       [&] { writeFile(copied / "Info.plist", infoPlist("com.example.other")); },
       {{}, {"com.example.c"}, {}}},
      {"deleted", [&] { fs::remove_all(scope_ / "A.app"); }, {{}, {"com.example.a"}, {}}},
      {"folder holding a bundle moved in",
       [&] {
         makeBundle(outside / "Suite" / "Tools" / "Tool.app", "com.example.a");
         fs::rename(outside / "Suite", scope_ / "Suite");
       },
       {{"com.example.a"}, {}, {}}},
      {"Contents folder removed",
       [&] { fs::remove_all(scope_ / "Utilities" / "Deep" / "B.app" / "Contents"); },
       {{}, {"com.example.b"}, {}}},
      {"renamed within the scope",
       [&] {
         fs::rename(scope_ / "Suite" / "Tools" / "Tool.app", scope_ / "Suite" / "Renamed.app");
       },
       {{"com.example.a"}, {"com.example.a"}, {}}},
      {"link to a folder of bundles",
       [&] {
         fs::create_directory_symlink(dir_ / "elsewhere", scope_ / "Shortcut");
         makeBundle(scope_ / "S0.app", "com.example.c");
       },
       {{"com.example.c"}, {}, {}}},
      {"bundle inside a bundle",
       [&] {
         makeBundle(scope_ / "Suite" / "Renamed.app" / "Contents" / "In.app", "com.example.b");
         makeBundle(scope_ / "S1.app", "com.example.c");
       },
       {{"com.example.c"}, {}, {}}},
  };
  for (const auto& [name, change, expected] : cases) {
    change();
    EXPECT_EQ(pump(), std::vector<Update>{expected}) << name;
  }
  EXPECT_EQ(identifiersOf(query_.results()),
            (Ids{"com.example.a", "com.example.c", "com.example.c", "com.example.c"}));
}

// A scope that is missing at the start is followed as it appears and disappears. Held changes
// are reported as one update after enableUpdates(); lost events (more than the kernel queues for
// one watcher) lead to a fresh walk; a stopped query reports nothing.
TEST_F(MetadataQueryTest, FollowsScopesHoldsChangesWhileDisabledWalksAgainAfterLostEventsAndStops) {
  const auto parent = dir_ / "home";
  const auto scope = parent / "user" / "Applications";
  fs::create_directories(parent);
  makeBundle(scope_ / "A.app", "com.example.a");
  start({scope_, scope});
  // Created a level at a time, then populated: the watch moves down to the nearest parent.
  fs::create_directory(parent / "user");
  EXPECT_TRUE(pump().empty());
  fs::create_directory(scope);
  EXPECT_TRUE(pump().empty());
  makeBundle(scope / "A.app", "com.example.a");
  EXPECT_EQ(pump(), (std::vector<Update>{{{"com.example.a"}, {}, {}}}));
  fs::remove_all(parent / "user");
  EXPECT_EQ(pump(), (std::vector<Update>{{{}, {"com.example.a"}, {}}}));
  makeBundle(dir_ / "staging" / "user" / "Applications" / "B.app", "com.example.b");
  fs::rename(dir_ / "staging" / "user", parent / "user");
  EXPECT_EQ(pump(), (std::vector<Update>{{{"com.example.b"}, {}, {}}}));

  query_.disableUpdates();
  makeBundle(scope_ / "B.app", "com.example.b");
  fs::remove_all(scope_ / "A.app");
  EXPECT_TRUE(pump().empty());
  EXPECT_EQ(identifiersOf(query_.results()), (Ids{"com.example.a", "com.example.b"}));
  query_.enableUpdates();
  EXPECT_TRUE(updates_.empty()) << "reported from the loop, not from inside enableUpdates()";
  EXPECT_EQ(pump(), (std::vector<Update>{{{"com.example.b"}, {"com.example.a"}, {}}}));
  for (int i = 0; i < 17000; ++i) writeFile(scope_ / ("f" + std::to_string(i)), "");
  makeBundle(scope_ / "C.app", "com.example.c");
  fs::remove_all(scope_ / "B.app");
  EXPECT_EQ(pump(), (std::vector<Update>{{{"com.example.c"}, {"com.example.b"}, {}}}));
  query_.stopQuery();
  makeBundle(scope_ / "D.app", "com.example.a");
  EXPECT_TRUE(pump().empty());
  start({scope_});
  EXPECT_EQ(identifiersOf(query_.results()), (Ids{"com.example.a", "com.example.c"}));
}

}  // namespace
