#include "metadata/metadata_query.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <any>
#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "reactive/cancellable.h"
#include "metadata/detail/metadata_plist.h"
#include "runtime/main_loop.h"
#include "notifications/notification_center.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using platform::MetadataItem;
using platform::MetadataQuery;
using platform::Predicate;
using platform::detail::PlistFormat;

constexpr auto kGatherGuard = std::chrono::seconds(20);

std::string infoPlist(const std::string& identifier, PlistFormat format = PlistFormat::xml,
                      const std::string& version = "1.0") {
  return platform::detail::encodeStringDictionary(
      {{"CFBundleIdentifier", identifier}, {"CFBundleShortVersionString", version}}, format);
}

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A complete bundle, made in one go.
void makeBundle(const fs::path& bundle, const std::string& identifier,
                PlistFormat format = PlistFormat::xml, const std::string& version = "1.0") {
  fs::create_directories(bundle / "Contents" / "Executables");
  writeFile(bundle / "Contents" / "Executables" / "binary",
            "\x7f"
            "ELF");
  writeFile(bundle / "Contents" / "Info.plist", infoPlist(identifier, format, version));
}

Predicate identifiersPredicate(const std::vector<std::string>& identifiers) {
  std::vector<Predicate> subpredicates;
  for (const auto& identifier : identifiers) {
    subpredicates.push_back(
        Predicate::withFormat("%K == %@", platform::MetadataItemCFBundleIdentifierKey, identifier));
  }
  return Predicate::orPredicateWithSubpredicates(std::move(subpredicates));
}

std::multiset<std::string> identifiersOf(const std::vector<MetadataItem>& items) {
  std::multiset<std::string> identifiers;
  for (const auto& item : items) {
    identifiers.insert(item.valueForAttribute(platform::MetadataItemCFBundleIdentifierKey).value());
  }
  return identifiers;
}

std::vector<MetadataItem> itemsUnder(const platform::Notification& notification, const char* key) {
  const auto entry = notification.userInfo.find(key);
  if (entry == notification.userInfo.end()) return {};
  return std::any_cast<std::vector<MetadataItem>>(entry->second);
}

struct Update {
  std::multiset<std::string> added;
  std::multiset<std::string> removed;
  std::multiset<std::string> changed;
};

// A query over folders of a private temporary directory, with what it posted.
class MetadataQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::NotificationCenter::defaultCenter()
        .publisher(platform::MetadataQueryDidFinishGatheringNotification, &query_)
        .sink([this](const platform::Notification& n) {
          ++gathers_;
          threads_.insert(std::this_thread::get_id());
          EXPECT_EQ(n.object, &query_);
        })
        .store(observations_);
    platform::NotificationCenter::defaultCenter()
        .publisher(platform::MetadataQueryDidUpdateNotification, &query_)
        .sink([this](const platform::Notification& n) {
          threads_.insert(std::this_thread::get_id());
          updates_.push_back(
              {identifiersOf(itemsUnder(n, platform::MetadataQueryUpdateAddedItemsKey)),
               identifiersOf(itemsUnder(n, platform::MetadataQueryUpdateRemovedItemsKey)),
               identifiersOf(itemsUnder(n, platform::MetadataQueryUpdateChangedItemsKey))});
        })
        .store(observations_);
  }

  void TearDown() override {
    query_.stopQuery();
    EXPECT_TRUE(threads_.empty() || (threads_.size() == 1 && *threads_.begin() == mainThread_))
        << "notifications are posted on the main thread only";
  }

  // Starts the query and pumps the main loop until it has gathered.
  void start(std::vector<fs::path> scopes,
             std::vector<std::string> identifiers = {"com.example.a", "com.example.b",
                                                     "com.example.c", "com.example.sentinel"}) {
    query_.setPredicate(identifiersPredicate(identifiers));
    query_.setSearchScopes(std::move(scopes));
    ASSERT_TRUE(query_.startQuery());
    const int before = gathers_;
    ASSERT_TRUE(
        platform::MainLoop::main().runUntil([&] { return gathers_ > before; }, kGatherGuard));
  }

  // Every change made before this call has been queued by the kernel; one pump lets the query
  // read it and post what follows from it.
  void pump() { platform::MainLoop::main().runPending(); }

  std::multiset<std::string> resultIdentifiers() const { return identifiersOf(query_.results()); }

  testsupport::TempDir dir_;
  MetadataQuery query_;
  platform::CancellableSet observations_;
  int gathers_ = 0;
  std::vector<Update> updates_;
  std::set<std::thread::id> threads_;
  const std::thread::id mainThread_ = std::this_thread::get_id();
};

TEST(MetadataPredicateTest, ComparisonsAndTheirOrCompound) {
  const MetadataItem a(
      MetadataItem::Attributes{{platform::MetadataItemCFBundleIdentifierKey, "com.example.a"}});
  const MetadataItem other(
      MetadataItem::Attributes{{platform::MetadataItemCFBundleIdentifierKey, "com.example.z"}});
  const MetadataItem bare;

  const auto comparison = Predicate::withFormat(
      "%K == %@", platform::MetadataItemCFBundleIdentifierKey, "com.example.a");
  EXPECT_TRUE(comparison.evaluate(a));
  EXPECT_FALSE(comparison.evaluate(other));
  EXPECT_FALSE(comparison.evaluate(bare));

  const auto compound = identifiersPredicate({"com.example.z", "com.example.a"});
  EXPECT_TRUE(compound.evaluate(a));
  EXPECT_TRUE(compound.evaluate(other));
  EXPECT_FALSE(compound.evaluate(bare));
  EXPECT_EQ(compound.predicateFormat(),
            "kMDItemCFBundleIdentifier == \"com.example.z\" OR "
            "kMDItemCFBundleIdentifier == \"com.example.a\"");

  EXPECT_FALSE(Predicate::orPredicateWithSubpredicates({}).evaluate(a));
  EXPECT_THROW(Predicate::withFormat("%K != %@", "k", "v"), std::invalid_argument);
}

TEST(MetadataPlistTest, ReadsIdentifierFromXmlAndBinaryAndRejectsTheRest) {
  using platform::detail::encodeStringDictionary;
  using platform::detail::parseBundleInfo;
  const std::string arrayRoot =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array>"
      "<string>CFBundleIdentifier</string></array></plist>";
  const std::string integerIdentifier =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
      "<key>CFBundleIdentifier</key><integer>7</integer></dict></plist>";
  const std::string xml = infoPlist("com.example.a", PlistFormat::xml);
  struct Case {
    const char* name;
    std::string bytes;
    std::optional<std::string> identifier;
  };
  const Case cases[] = {
      {"xml", xml, "com.example.a"},
      {"binary", infoPlist("com.example.b", PlistFormat::binary), "com.example.b"},
      {"no identifier", encodeStringDictionary({{"CFBundleName", "A"}}, PlistFormat::binary), {}},
      {"empty identifier",
       encodeStringDictionary({{"CFBundleIdentifier", ""}}, PlistFormat::xml),
       {}},
      {"identifier not text", integerIdentifier, {}},
      {"root not a dictionary", arrayRoot, {}},
      {"truncated", xml.substr(0, xml.size() / 2), {}},
      {"not a plist", "just some text", {}},
      {"empty", "", {}},
  };
  for (const auto& c : cases) {
    const auto info = parseBundleInfo(c.bytes);
    EXPECT_EQ(info ? std::optional<std::string>(info->identifier) : std::nullopt, c.identifier)
        << c.name;
  }
  const auto named = parseBundleInfo(encodeStringDictionary({{"CFBundleIdentifier", "x"},
                                                             {"CFBundleName", "Name"},
                                                             {"CFBundleShortVersionString", "2.1"}},
                                                            PlistFormat::binary));
  ASSERT_TRUE(named);
  EXPECT_EQ(named->displayName, "Name");
  EXPECT_EQ(named->shortVersion, "2.1");
}

TEST_F(MetadataQueryTest, GatherFindsMatchingBundlesWhereverTheyAreButNotThroughLinksOrBundles) {
  const auto scope = dir_ / "Applications";
  makeBundle(scope / "A.app", "com.example.a");
  makeBundle(scope / "Utilities" / "Deep" / "Deeper" / "B.app", "com.example.b",
             PlistFormat::binary);
  // Inside a bundle, and behind a symbolic link: never items.
  makeBundle(scope / "A.app" / "Contents" / "Helpers" / "Inner.app", "com.example.c");
  makeBundle(dir_ / "elsewhere" / "Linked.app", "com.example.c");
  fs::create_directory_symlink(dir_ / "elsewhere", scope / "Link");
  fs::create_directory_symlink(dir_ / "elsewhere" / "Linked.app", scope / "Direct.app");
  // Not matching, not readable, not a bundle description: skipped.
  makeBundle(scope / "Other.app", "com.example.other");
  fs::create_directories(scope / "NoPlist.app" / "Contents");
  fs::create_directories(scope / "Garbage.app" / "Contents");
  writeFile(scope / "Garbage.app" / "Contents" / "Info.plist", "<plist><dict><key>");
  makeBundle(scope / "Folder.notapp" / "C.app", "com.example.c");

  // The nested scope and the duplicate report each bundle once; the missing scope is harmless.
  start({scope, scope / "Utilities", scope.string() + "/", dir_ / "missing"});

  EXPECT_EQ(resultIdentifiers(),
            (std::multiset<std::string>{"com.example.a", "com.example.b", "com.example.c"}));
  EXPECT_EQ(query_.resultCount(), 3u);
  const auto results = query_.results();
  const auto b = std::find_if(results.begin(), results.end(), [](const MetadataItem& item) {
    return item.valueForAttribute(platform::MetadataItemCFBundleIdentifierKey) == "com.example.b";
  });
  ASSERT_NE(b, results.end());
  EXPECT_EQ(b->valueForAttribute(platform::MetadataItemPathKey),
            (scope / "Utilities" / "Deep" / "Deeper" / "B.app").string());
  EXPECT_EQ(b->valueForAttribute(platform::MetadataItemFSNameKey), "B.app");
  EXPECT_EQ(b->valueForAttribute("kMDItemNoSuchAttribute"), std::nullopt);
  EXPECT_TRUE(updates_.empty());
  EXPECT_FALSE(query_.isGathering());
  EXPECT_FALSE(query_.startQuery()) << "a running query does not start twice";
}

TEST_F(MetadataQueryTest, ReportsEachKindOfChangeOnce) {
  const auto scope = dir_ / "Applications";
  const auto outside = dir_ / "Downloads";
  fs::create_directories(outside);
  makeBundle(scope / "Present.app", "com.example.a");
  makeBundle(scope / "Nested" / "Deep.app", "com.example.b");
  start({scope});
  ASSERT_EQ(query_.resultCount(), 2u);

  struct Case {
    const char* name;
    std::function<void()> change;
    Update expected;
  };
  const std::vector<Case> cases = {
      {"moved in",
       [&] {
         makeBundle(outside / "Moved.app", "com.example.c");
         fs::rename(outside / "Moved.app", scope / "Moved.app");
       },
       {{"com.example.c"}, {}, {}}},
      {"moved out",
       [&] { fs::rename(scope / "Moved.app", outside / "Moved.app"); },
       {{}, {"com.example.c"}, {}}},
      {"copied file by file, plist last",
       [&] {
         fs::create_directory(scope / "Copied.app");
         pump();
         fs::create_directory(scope / "Copied.app" / "Contents");
         pump();
         fs::create_directory(scope / "Copied.app" / "Contents" / "Executables");
         writeFile(scope / "Copied.app" / "Contents" / "Executables" / "binary", "ELF");
         pump();
         const auto plist = infoPlist("com.example.c");
         std::ofstream out(scope / "Copied.app" / "Contents" / "Info.plist", std::ios::binary);
         out << plist.substr(0, plist.size() / 2) << std::flush;
         pump();
         out << plist.substr(plist.size() / 2);
       },
       {{"com.example.c"}, {}, {}}},
      {"plist rewritten in place",
       [&] {
         writeFile(scope / "Copied.app" / "Contents" / "Info.plist",
                   infoPlist("com.example.c", PlistFormat::xml, "2.0"));
       },
       {{}, {}, {"com.example.c"}}},
      {"plist replaced by a binary one",
       [&] {
         writeFile(scope / "Copied.app" / "Contents" / "Info.new",
                   infoPlist("com.example.c", PlistFormat::binary, "3.0"));
         fs::rename(scope / "Copied.app" / "Contents" / "Info.new",
                    scope / "Copied.app" / "Contents" / "Info.plist");
       },
       {{}, {}, {"com.example.c"}}},
      {"identifier rewritten to one not searched for",
       [&] {
         writeFile(scope / "Copied.app" / "Contents" / "Info.plist",
                   infoPlist("com.example.other"));
       },
       {{}, {"com.example.c"}, {}}},
      {"deleted", [&] { fs::remove_all(scope / "Present.app"); }, {{}, {"com.example.a"}, {}}},
      {"folder holding a bundle moved in",
       [&] {
         makeBundle(outside / "Suite" / "Tools" / "Tool.app", "com.example.a");
         fs::rename(outside / "Suite", scope / "Suite");
       },
       {{"com.example.a"}, {}, {}}},
      {"Contents folder removed",
       [&] { fs::remove_all(scope / "Nested" / "Deep.app" / "Contents"); },
       {{}, {"com.example.b"}, {}}},
      {"renamed within the scope",
       [&] { fs::rename(scope / "Suite" / "Tools" / "Tool.app", scope / "Suite" / "Renamed.app"); },
       {{"com.example.a"}, {"com.example.a"}, {}}},
  };
  for (const auto& c : cases) {
    updates_.clear();
    c.change();
    pump();
    ASSERT_EQ(updates_.size(), 1u) << c.name;
    EXPECT_EQ(updates_[0].added, c.expected.added) << c.name;
    EXPECT_EQ(updates_[0].removed, c.expected.removed) << c.name;
    EXPECT_EQ(updates_[0].changed, c.expected.changed) << c.name;
  }
  EXPECT_EQ(resultIdentifiers(), (std::multiset<std::string>{"com.example.a"}));
}

TEST_F(MetadataQueryTest, IgnoresChangesThatAreNotMatchingBundles) {
  const auto scope = dir_ / "Applications";
  makeBundle(scope / "Host.app", "com.example.a");
  makeBundle(dir_ / "elsewhere" / "Linked.app", "com.example.b");
  start({scope});

  // Each change is followed by a sentinel bundle: events arrive in order, so an update that
  // holds only the sentinel proves that the change before it was seen and ignored.
  const std::vector<std::pair<const char*, std::function<void()>>> cases = {
      {"link to a folder of bundles",
       [&] { fs::create_directory_symlink(dir_ / "elsewhere", scope / "Link"); }},
      {"link named like a bundle",
       [&] { fs::create_directory_symlink(dir_ / "elsewhere" / "Linked.app", scope / "L.app"); }},
      {"bundle inside a bundle",
       [&] {
         makeBundle(scope / "Host.app" / "Contents" / "Library" / "In.app", "com.example.b");
       }},
      {"bundle without identifier",
       [&] {
         fs::create_directories(scope / "Bare.app" / "Contents");
         writeFile(scope / "Bare.app" / "Contents" / "Info.plist",
                   platform::detail::encodeStringDictionary({{"CFBundleName", "Bare"}},
                                                            PlistFormat::xml));
       }},
      {"unreadable plist",
       [&] {
         fs::create_directories(scope / "Broken.app" / "Contents");
         writeFile(scope / "Broken.app" / "Contents" / "Info.plist", "\x00\x01garbage");
       }},
      {"bundle not searched for", [&] { makeBundle(scope / "Other.app", "com.example.other"); }},
      {"plain files", [&] { writeFile(scope / "notes.txt", "text"); }},
  };
  int sentinel = 0;
  for (const auto& [name, change] : cases) {
    updates_.clear();
    change();
    const auto sentinelPath = scope / ("Sentinel" + std::to_string(sentinel++) + ".app");
    makeBundle(sentinelPath, "com.example.sentinel");
    pump();
    ASSERT_EQ(updates_.size(), 1u) << name;
    EXPECT_EQ(updates_[0].added, (std::multiset<std::string>{"com.example.sentinel"})) << name;
    EXPECT_TRUE(updates_[0].removed.empty() && updates_[0].changed.empty()) << name;
    fs::remove_all(sentinelPath);
    pump();
  }
}

TEST_F(MetadataQueryTest, FollowsScopesThatAppearAndDisappear) {
  const auto parent = dir_ / "home";
  const auto scope = parent / "user" / "Applications";
  fs::create_directories(parent);
  start({scope});
  EXPECT_EQ(query_.resultCount(), 0u);

  // Created a level at a time, then populated: the watch moves down to the nearest parent.
  fs::create_directory(parent / "user");
  pump();
  fs::create_directory(scope);
  pump();
  EXPECT_TRUE(updates_.empty());
  makeBundle(scope / "A.app", "com.example.a");
  pump();
  ASSERT_EQ(updates_.size(), 1u);
  EXPECT_EQ(updates_[0].added, (std::multiset<std::string>{"com.example.a"}));

  // Removed with everything in it, then made again in one go.
  updates_.clear();
  fs::remove_all(parent / "user");
  pump();
  ASSERT_EQ(updates_.size(), 1u);
  EXPECT_EQ(updates_[0].removed, (std::multiset<std::string>{"com.example.a"}));

  updates_.clear();
  makeBundle(dir_ / "staging" / "user" / "Applications" / "B.app", "com.example.b");
  fs::rename(dir_ / "staging" / "user", parent / "user");
  pump();
  ASSERT_EQ(updates_.size(), 1u);
  EXPECT_EQ(updates_[0].added, (std::multiset<std::string>{"com.example.b"}));
  EXPECT_EQ(resultIdentifiers(), (std::multiset<std::string>{"com.example.b"}));
}

TEST_F(MetadataQueryTest, HoldsChangesWhileUpdatesAreDisabled) {
  const auto scope = dir_ / "Applications";
  makeBundle(scope / "A.app", "com.example.a");
  start({scope});

  query_.disableUpdates();
  makeBundle(scope / "B.app", "com.example.b");
  makeBundle(scope / "C.app", "com.example.c");
  fs::remove_all(scope / "A.app");
  pump();
  EXPECT_TRUE(updates_.empty());
  EXPECT_EQ(resultIdentifiers(), (std::multiset<std::string>{"com.example.a"}));

  fs::remove_all(scope / "C.app");
  pump();
  EXPECT_TRUE(updates_.empty());
  query_.enableUpdates();
  EXPECT_TRUE(updates_.empty()) << "reported from the loop, not from inside enableUpdates()";
  pump();
  ASSERT_EQ(updates_.size(), 1u);
  EXPECT_EQ(updates_[0].added, (std::multiset<std::string>{"com.example.b"}));
  EXPECT_EQ(updates_[0].removed, (std::multiset<std::string>{"com.example.a"}));
  EXPECT_EQ(resultIdentifiers(), (std::multiset<std::string>{"com.example.b"}));

  // Disabling and enabling with nothing held reports nothing.
  updates_.clear();
  query_.disableUpdates();
  query_.enableUpdates();
  pump();
  EXPECT_TRUE(updates_.empty());
}

TEST_F(MetadataQueryTest, StopEndsWatchingAndAStoppedQueryStartsAfresh) {
  const auto scope = dir_ / "Applications";
  makeBundle(scope / "A.app", "com.example.a");
  start({scope});

  query_.stopQuery();
  query_.stopQuery();
  EXPECT_TRUE(query_.isStopped());
  makeBundle(scope / "B.app", "com.example.b");
  pump();
  EXPECT_TRUE(updates_.empty());
  EXPECT_EQ(resultIdentifiers(), (std::multiset<std::string>{"com.example.a"}));

  start({scope});
  EXPECT_EQ(resultIdentifiers(), (std::multiset<std::string>{"com.example.a", "com.example.b"}));
  EXPECT_EQ(gathers_, 2);
}

TEST_F(MetadataQueryTest, StopDuringGatheringPostsNothing) {
  const auto scope = dir_ / "Applications";
  for (int i = 0; i < 50; ++i)
    makeBundle(scope / ("A" + std::to_string(i) + ".app"), "com.example.a");
  query_.setPredicate(identifiersPredicate({"com.example.a"}));
  query_.setSearchScopes({scope});
  ASSERT_TRUE(query_.startQuery());
  EXPECT_TRUE(query_.isGathering());
  query_.stopQuery();

  // A second query over the same folder finishes after the first one's gathering task, so
  // once it has gathered, whatever the first one was going to post has been posted.
  MetadataQuery witness;
  witness.setPredicate(identifiersPredicate({"com.example.a"}));
  witness.setSearchScopes({scope});
  bool hasWitnessGathered = false;
  auto handle = platform::NotificationCenter::defaultCenter()
                    .publisher(platform::MetadataQueryDidFinishGatheringNotification, &witness)
                    .sink([&](const platform::Notification&) { hasWitnessGathered = true; });
  ASSERT_TRUE(witness.startQuery());
  ASSERT_TRUE(
      platform::MainLoop::main().runUntil([&] { return hasWitnessGathered; }, kGatherGuard));
  pump();
  EXPECT_EQ(witness.resultCount(), 50u);
  EXPECT_EQ(gathers_, 0);
  EXPECT_EQ(query_.resultCount(), 0u);
}

TEST_F(MetadataQueryTest, LostEventsLeadToAFreshWalk) {
  const auto scope = dir_ / "Applications";
  makeBundle(scope / "A.app", "com.example.a");
  start({scope});

  // More events than the kernel queues for one watcher: the queue overflows and the query
  // walks its scopes again instead of trusting a partial history.
  for (int i = 0; i < 17000; ++i) writeFile(scope / ("f" + std::to_string(i)), "");
  makeBundle(scope / "B.app", "com.example.b");
  fs::remove_all(scope / "A.app");
  pump();
  ASSERT_EQ(updates_.size(), 1u);
  EXPECT_EQ(updates_[0].added, (std::multiset<std::string>{"com.example.b"}));
  EXPECT_EQ(updates_[0].removed, (std::multiset<std::string>{"com.example.a"}));
}

}  // namespace
