#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "keychain/os_status_error.h"
#include "messages/BrisvaneSettings.h"
#include "support/temp_dir.h"
#include "support/wait.h"

// The keychain client and its storage over a real store and real notification centers, as
// docs/wire-formats.md describes the item and the announcement.
namespace {

using namespace brisvane;
using namespace platform;
using Client = KeychainInteroperabilityClient;

const std::string kService = "com.tarvik.brisvane.interoperability", kGroup = "group.test";
const std::string kKey = "com.tarvik.brisvane.interoperability.state";
const std::string kName = "com.tarvik.NyraInteroperability." + kKey + ".Updated";

// The settings item as another program finds it (synchronizable 0), plus `extra`.
KeychainDictionary item(KeychainDictionary extra) {
  extra.insert({{kSecClass, kSecClassGenericPassword},
                {kSecAttrService, kService},
                {kSecAttrAccessGroup, kGroup},
                {kSecAttrAccount, kKey}});
  return extra;
}

std::string describe(const std::optional<Message<BrisvaneSettings>>& message) {
  return !message ? "absent" : message->data().isRTPEnabled() ? "true" : "false";
}

// The stored item as "absent", "true", "false" or "undecodable", read by a storage of its own.
std::string describeStored() {
  const auto bytes = KeychainStorage(kService, kGroup, nullptr).read(kKey);
  try {
    return bytes ? describe(JSONDecoder().decode<Message<BrisvaneSettings>>(*bytes)) : "absent";
  } catch (const DecodingError&) {
    return "undecodable";
  }
}

// The user's keychain, except for operations in `forced` (changed only while no call runs),
// which answer with a fixed status; counts the calls and notes whether two ever overlapped.
struct ForcingKeychain final : KeychainServices {
  enum Op { add, copy, update, remove };
  using Dict = KeychainDictionary;
  std::map<Op, OSStatus> forced;
  std::atomic<int> calls{0}, inFlight{0};
  std::atomic<bool> overlapped{false};

  OSStatus itemAdd(const Dict& i) override { return run(add, [&] { return SecItemAdd(i); }); }
  OSStatus itemCopyMatching(const Dict& q, std::optional<KeychainValue>* r) override {
    return run(copy, [&] { return SecItemCopyMatching(q, r); });
  }
  OSStatus itemUpdate(const Dict& q, const Dict& c) override { return run(update, [&] { return SecItemUpdate(q, c); }); }
  OSStatus itemDelete(const Dict& q) override { return run(remove, [&] { return SecItemDelete(q); }); }
  template <class F>
  OSStatus run(Op op, F pass) {
    ++calls;
    if (++inFlight > 1) overlapped = true;
    std::this_thread::yield();  // widens the window an unserialised caller would overlap in
    const auto found = forced.find(op);
    const OSStatus status = found != forced.end() ? found->second : pass();
    --inFlight;
    return status;
  }
};

// A real center; `posts` records, on the client's executor, the stored item as each post found it
// ("true;"), preceded by the name when it is not kName ("<name>=absent;"); it counts observers.
struct WatchedNotifications final : DistributedNotifications {
  explicit WatchedNotifications(std::shared_ptr<DistributedNotificationCenter> center)
      : inner(over(std::move(center))) {}
  void post(const std::string& name) override {
    posts += (name == kName ? "" : name + "=") + describeStored() + ";";
    inner->post(name);
  }
  ObserverToken addObserver(const std::string& name, DistributedNotificationCenter::Callback callback) override {
    return ++liveObservers, inner->addObserver(name, std::move(callback));
  }
  void removeObserver(const ObserverToken& token) override { inner->removeObserver(token), --liveObservers; }
  const std::shared_ptr<DistributedNotifications> inner;
  std::string posts;
  std::atomic<int> liveObservers{0};
};

// Counts what `stream` yields, on the thread that yields; each must carry `key`.
std::shared_ptr<std::atomic<int>> count(AsyncStream<UpdateNotification>& stream, std::string key) {
  auto yielded = std::make_shared<std::atomic<int>>(0);
  stream.forEach([yielded, key](const UpdateNotification& u) { *yielded += u.messageKey() == key; },
                 [] {});
  return yielded;
}

struct KeychainClientTest : ::testing::Test {
  testsupport::TempDir dir_;
  testsupport::ScopedEnv dataHome_{"XDG_DATA_HOME", dir_.path().string()};
  std::shared_ptr<WatchedNotifications> notifications_ =
      std::make_shared<WatchedNotifications>(DistributedNotificationCenter::create(dir_ / "notifications"));
  std::shared_ptr<ForcingKeychain> keychain_ = std::make_shared<ForcingKeychain>();
  std::shared_ptr<Client> client_ = std::make_shared<Client>(kService, kGroup, keychain_, notifications_);
};

// Notification names use the key unchanged, up to the center's limit, beyond which a key is refused
// before it reaches the keychain. Concurrent saves through one storage run one after the other.
// Then the item's exact text, and a read that follows the save.
TEST_F(KeychainClientTest,
       SavesUseKeysUpToTheNameLimitRunOneAfterTheOtherAndWriteTheDocumentedEnvelope) {
  EXPECT_EQ(client_->notificationName("a b/c.Updated"),
            "com.tarvik.NyraInteroperability.a b/c.Updated.Updated");
  const std::string longest(
      DistributedNotificationCenter::kMaxNameLength - client_->notificationName("").size(), 'k');
  EXPECT_THROW(client_->saveData(BrisvaneSettings(true), longest + "k"), std::invalid_argument);
  EXPECT_THROW(client_->deleteData<BrisvaneSettings>(longest + "k"), std::invalid_argument);
  EXPECT_EQ(keychain_->calls, 0) << "a refused key reached the keychain";
  client_->saveData(BrisvaneSettings(true), longest);
  EXPECT_EQ(notifications_->posts, client_->notificationName(longest) + "=absent;");

  KeychainStorage storage(kService, kGroup, nullptr, keychain_);
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&storage] {
      for (int i = 0; i < 150; ++i) storage.save(Bytes(1, std::uint8_t(i)), std::to_string(i % 3));
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(keychain_->overlapped);
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 3) << "only each key's first save adds";

  const double before = currentTimeIntervalSince1970();
  client_->saveData(BrisvaneSettings(true));
  const auto document = nlohmann::json::parse(KeychainStorage(kService, kGroup, nullptr).read(kKey).value_or(Bytes{'0'}));
  const double timestamp = document.value("timestamp", 0.0);
  EXPECT_EQ(document, nlohmann::json({{"version", "1.0.0"}, {"timestamp", timestamp}, {"data", {{"isRTPEnabled", true}}}}));
  EXPECT_GE(timestamp, before);
  EXPECT_LE(timestamp, currentTimeIntervalSince1970());
  const auto message = client_->readData<BrisvaneSettings>();
  ASSERT_EQ(describe(message), "true");
  EXPECT_EQ(message->timestamp(), timestamp);
}

// `posts` is the stored item as each announcement found it: a change is announced only when it
// has been made, and only then. Each row pins one outcome of one operation.
TEST_F(KeychainClientTest, OnlyChangesMadeAreAnnouncedAndFailuresReachTheCaller) {
  enum Act { save, saveBad, request, remove };
  using Op = ForcingKeychain::Op;
  const std::string head = R"({"version":"1.0.0","timestamp":1700000000,"data":)";
  const std::string no = head + R"({"isRTPEnabled":false}})";
  const std::string nested = std::string(200000, '[') + std::string(200000, ']');
  const struct {
    std::string stored;  // the item's text before `forced` applies; empty: none
    std::map<Op, OSStatus> forced;
    Act act;
    std::string outcome, posts, after;  // after: describeStored() once done
  } cases[] = {
      // clang-format off
      {"", {}, save, "", "true;", "true"},  // adds
      {no, {}, save, "", "true;", "true"},  // updates
      {no, {{Op::copy, errSecInteractionNotAllowed}}, save, "", "true;", "true"},  // busy probe: update
      {no, {{Op::update, errSecIO}}, save, "", "false;", "false"},  // a failed update is not reported
      {"", {{Op::copy, errSecIO}}, save, "", "absent;", "absent"},  // an odd probe writes nothing
      {"", {{Op::add, errSecDuplicateItem}}, save, "status -25299", "", "absent"},
      {no, {}, saveBad, "EncodingError", "", "false"},
      {no, {}, request, "false", "", "false"},
      {"", {}, request, "absent", "", "absent"},
      {no, {{Op::copy, errSecDecode}}, request, "status -26275", "", "false"},
      {head + R"({"isRTPEnabled":null}})", {}, request, "valueNotFound", "", "undecodable"},
      {nested, {}, request, "typeMismatch", "", "undecodable"},  // deep nesting: no crash
      {std::string(500000, '['), {}, request, "dataCorrupted", "", "undecodable"},  // not JSON, and deep
      {no, {}, remove, "false", "absent;", "absent"},
      {"", {}, remove, "absent", "", "absent"},
      {no, {{Op::copy, errSecInteractionNotAllowed}}, remove, "status -25308", "", "false"},
      {no, {{Op::remove, errSecIO}}, remove, "status -36", "", "false"},
      {head + R"({"isRTPEnabled":"yes"}})", {}, remove, "typeMismatch", "", "absent"},  // still removed
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    SecItemDelete(item({}));
    notifications_->posts.clear();
    if (!c.stored.empty()) { ASSERT_EQ(SecItemAdd(item({{kSecValueData, Bytes(c.stored.begin(), c.stored.end())}})), errSecSuccess); }
    keychain_->forced = c.forced;
    std::string outcome;
    try {
      if (c.act == save) client_->saveData(BrisvaneSettings(true));
      if (c.act == saveBad) client_->saveData(std::string("\xFF"), kKey);
      if (c.act == request) outcome = describe(client_->requestData<BrisvaneSettings>(kKey));
      if (c.act == remove) outcome = describe(client_->deleteData<BrisvaneSettings>(kKey));
    } catch (const OSStatusError& error) {
      outcome = "status " + std::to_string(error.code());
      EXPECT_EQ(std::string(error.what()),
                "The operation couldn\u2019t be completed. (OSStatus error " + std::to_string(error.code()) + ".)");
    } catch (const EncodingError&) {
      outcome = "EncodingError";
    } catch (const DecodingError& error) {
      outcome = decodingErrorKindName(error.kind());
    }
    EXPECT_EQ(outcome, c.outcome);
    EXPECT_EQ(notifications_->posts, c.posts);
    EXPECT_EQ(describeStored(), c.after);
  }
}

// Streams hear their own key only, once per change, from this process and from another one (a
// second center over the same folder), after their client is gone, until they are cancelled. The
// center delivers in post order: once "other" hears a change, earlier ones have been delivered.
TEST_F(KeychainClientTest, ListenersGetEachChangeOfTheirKeyOnceUntilTheyCancel) {
  auto first = client_->listenForUpdates(kKey);
  auto second = client_->listenForUpdates(kKey);
  auto other = client_->listenForUpdates("other.key");
  const auto firsts = count(first, kKey), seconds = count(second, kKey),
             others = count(other, "other.key");
  client_->saveData(BrisvaneSettings(true));
  client_->saveData(BrisvaneSettings(false));
  client_->deleteData<BrisvaneSettings>(kKey);
  client_->saveData(BrisvaneSettings(true), "other.key");
  ASSERT_TRUE(testsupport::waitFor([&] { return *others == 1; }));
  EXPECT_EQ(*firsts, 3);
  EXPECT_EQ(*seconds, 3);

  second.cancel();
  EXPECT_EQ(notifications_->liveObservers, 2);
  client_->saveData(BrisvaneSettings(true));
  client_->saveData(BrisvaneSettings(true), "other.key");
  ASSERT_TRUE(testsupport::waitFor([&] { return *others == 2; }));
  EXPECT_EQ(*seconds, 3);
  client_.reset();
  Client(kService, kGroup, KeychainServices::system(),
         DistributedNotificationCenter::create(dir_ / "notifications"))
      .saveData(BrisvaneSettings(false));
  ASSERT_TRUE(testsupport::waitFor([&] { return *firsts == 5; }));
  first.cancel();
  other.cancel();
  EXPECT_EQ(notifications_->liveObservers, 0);
}

}  // namespace