#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "brisvane_export.h"
#include "interoperability/InteroperabilityClient.h"
#include "interoperability_keychain/KeychainStorage.h"
#include "keychain/keychain.h"
#include "notifications/distributed_notification_center.h"
#include "runtime/serial_executor.h"

namespace brisvane {

// The three calls the client makes on a distributed notification center, behind an interface so
// that tests can watch them. Implementations are called from any thread; addObserver's callback
// runs wherever the center delivers.
class BRISVANE_EXPORT DistributedNotifications {
 public:
  virtual ~DistributedNotifications() = default;
  virtual void post(const std::string& name) = 0;
  virtual platform::ObserverToken addObserver(
      const std::string& name, platform::DistributedNotificationCenter::Callback callback) = 0;
  virtual void removeObserver(const platform::ObserverToken& token) = 0;

  // Passes the calls to `center`.
  static std::shared_ptr<DistributedNotifications> over(
      std::shared_ptr<platform::DistributedNotificationCenter> center);
};

// The interoperability client over the shared keychain: a message is the JSON form of its
// Message envelope (version "1.0.0") in the item whose account is the message key, and every
// save or delete is announced to all processes of the user with the distributed notification
// "com.tarvik.NyraInteroperability.<key>.Updated" (no object, no user info).
//
// Errors of the storage (platform::OSStatusError), EncodingError and DecodingError reach the
// caller unchanged; nothing is posted after a failure. A key so long that its notification name
// exceeds the center's limit makes save and delete throw std::invalid_argument before anything
// is read, written or posted. Stored bytes that are not a valid envelope
// of the requested payload make requestData fail, and deleteData fail after the item is gone.
//
// Threads: any thread may call it. The four operations run one at a time, in call order, on the
// client's own serial executor; the caller blocks until its operation is done. Calling one from
// inside another (on the executor) is a fatal error. A listening stream's observer runs on the
// notification center's thread and only yields into the stream; the stream holds neither the
// client nor its executor, so it may outlive the client, and ending it removes its observer.
class BRISVANE_EXPORT KeychainInteroperabilityClient final : public InteroperabilityClient {
 public:
  static constexpr std::string_view messageVersion = "1.0.0";
  static constexpr std::string_view defaultNotificationPrefix = "com.tarvik.NyraInteroperability";

  // Items of `service` in `accessGroup` of the user's keychain; notifications on the process's
  // default distributed center.
  KeychainInteroperabilityClient(std::string service, std::string accessGroup);
  // The same over other keychain services and another notification center (tests, tools).
  KeychainInteroperabilityClient(std::string service, std::string accessGroup,
                                 std::shared_ptr<platform::KeychainServices> keychainServices,
                                 std::shared_ptr<platform::DistributedNotificationCenter> center);
  KeychainInteroperabilityClient(std::string service, std::string accessGroup,
                                 std::shared_ptr<platform::KeychainServices> keychainServices,
                                 std::shared_ptr<DistributedNotifications> notifications);
  KeychainInteroperabilityClient(const KeychainInteroperabilityClient&) = delete;
  KeychainInteroperabilityClient& operator=(const KeychainInteroperabilityClient&) = delete;

  // Registers the observer before it returns; never fails.
  platform::AsyncStream<UpdateNotification> listenForUpdates(const std::string& key) override;

  // "<prefix>.<key>.Updated", with the key unchanged.
  std::string notificationName(const std::string& key) const;

  // The executor the four operations run on.
  platform::SerialExecutor& unownedExecutor() noexcept { return executor_; }

 protected:
  void saveEnvelope(const std::string& key, const EnvelopeEncoder& encode) override;
  bool requestEnvelope(const std::string& key, const EnvelopeDecoder& decode) override;
  bool deleteEnvelope(const std::string& key, const EnvelopeDecoder& decode) override;

 private:
  std::string postableNotificationName(const std::string& key) const;

  // Declared first so that it is destroyed last, after every field its operations use.
  platform::SerialExecutor executor_;
  const std::optional<std::string> accessGroup_;
  const std::string serviceName_;
  // Always absent: the storage's extra attributes stay empty.
  const platform::SecKeychainRef keychain_;
  KeychainStorage storage_;
  const JSONEncoder encoder_{};
  const JSONDecoder decoder_{};
  const std::shared_ptr<DistributedNotifications> notificationCenter_;
  const std::string notificationPrefix_;
};

}  // namespace brisvane
