#include "interoperability_keychain/KeychainInteroperabilityClient.h"

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace brisvane {

namespace {

class CenterNotifications final : public DistributedNotifications {
 public:
  explicit CenterNotifications(std::shared_ptr<platform::DistributedNotificationCenter> center)
      : center_(std::move(center)) {}
  void post(const std::string& name) override { center_->post(name); }
  platform::ObserverToken addObserver(
      const std::string& name,
      platform::DistributedNotificationCenter::Callback callback) override {
    return center_->addObserver(name, std::move(callback));
  }
  void removeObserver(const platform::ObserverToken& token) override {
    center_->removeObserver(token);
  }

 private:
  const std::shared_ptr<platform::DistributedNotificationCenter> center_;
};

// Runs `operation` on `executor`, blocking, and raises its exception on the calling thread. The
// exception is captured inside the operation instead of travelling through the executor's
// future: the future's last reference may be dropped on the executor's thread while the caller is
// still handling the exception, and a thread sanitizer cannot see the (uninstrumented) reference
// count that orders the two.
template <class F>
auto runSerially(platform::SerialExecutor& executor, F&& operation) -> std::invoke_result_t<F&> {
  using Result = std::invoke_result_t<F&>;
  std::exception_ptr failure;
  if constexpr (std::is_void_v<Result>) {
    executor.run([&] {
      try {
        operation();
      } catch (...) {
        failure = std::current_exception();
      }
    });
    if (failure) std::rethrow_exception(failure);
  } else {
    std::optional<Result> result;
    executor.run([&] {
      try {
        result.emplace(operation());
      } catch (...) {
        failure = std::current_exception();
      }
    });
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
  }
}

}  // namespace

std::shared_ptr<DistributedNotifications> DistributedNotifications::over(
    std::shared_ptr<platform::DistributedNotificationCenter> center) {
  return std::make_shared<CenterNotifications>(std::move(center));
}

KeychainInteroperabilityClient::KeychainInteroperabilityClient(std::string service,
                                                               std::string accessGroup)
    : KeychainInteroperabilityClient(std::move(service), std::move(accessGroup),
                                     platform::KeychainServices::system(),
                                     platform::DistributedNotificationCenter::defaultCenter()) {}

KeychainInteroperabilityClient::KeychainInteroperabilityClient(
    std::string service, std::string accessGroup,
    std::shared_ptr<platform::KeychainServices> keychainServices,
    std::shared_ptr<platform::DistributedNotificationCenter> center)
    : KeychainInteroperabilityClient(std::move(service), std::move(accessGroup),
                                     std::move(keychainServices),
                                     DistributedNotifications::over(std::move(center))) {}

KeychainInteroperabilityClient::KeychainInteroperabilityClient(
    std::string service, std::string accessGroup,
    std::shared_ptr<platform::KeychainServices> keychainServices,
    std::shared_ptr<DistributedNotifications> notifications)
    : accessGroup_(std::move(accessGroup)),
      serviceName_(std::move(service)),
      keychain_(nullptr),
      storage_(serviceName_, accessGroup_, keychain_, std::move(keychainServices)),
      notificationCenter_(std::move(notifications)),
      notificationPrefix_(defaultNotificationPrefix) {}

std::string KeychainInteroperabilityClient::notificationName(const std::string& key) const {
  return notificationPrefix_ + "." + key + ".Updated";
}

// The center cannot carry names beyond its limit; such a key is refused before anything changes,
// rather than after the item has been written but could not be announced.
std::string KeychainInteroperabilityClient::postableNotificationName(const std::string& key) const {
  std::string name = notificationName(key);
  if (name.size() > platform::DistributedNotificationCenter::kMaxNameLength) {
    throw std::invalid_argument("message key too long for a notification name (" +
                                std::to_string(key.size()) + " bytes)");
  }
  return name;
}

void KeychainInteroperabilityClient::saveEnvelope(const std::string& key,
                                                  const EnvelopeEncoder& encode) {
  runSerially(executor_, [&] {
    const std::string name = postableNotificationName(key);
    const auto bytes = encode(encoder_, std::string(messageVersion));
    storage_.save(bytes, key);
    notificationCenter_->post(name);
  });
}

bool KeychainInteroperabilityClient::requestEnvelope(const std::string& key,
                                                     const EnvelopeDecoder& decode) {
  return runSerially(executor_, [&] {
    const auto bytes = storage_.read(key);
    if (!bytes) return false;
    decode(decoder_, *bytes);
    return true;
  });
}

bool KeychainInteroperabilityClient::deleteEnvelope(const std::string& key,
                                                    const EnvelopeDecoder& decode) {
  return runSerially(executor_, [&] {
    const std::string name = postableNotificationName(key);
    const auto bytes = storage_.read(key);
    if (!bytes) return false;
    storage_.deleteItem(key);
    decode(decoder_, *bytes);
    notificationCenter_->post(name);
    return true;
  });
}

platform::AsyncStream<UpdateNotification> KeychainInteroperabilityClient::listenForUpdates(
    const std::string& key) {
  return runSerially(executor_, [&] {
    // The stream's handlers hold the center and the key, never the client.
    return platform::AsyncStream<UpdateNotification>(
        [center = notificationCenter_, name = notificationName(key),
         key](platform::AsyncStream<UpdateNotification>::Continuation continuation) {
          const auto token = center->addObserver(name, [continuation, key](const std::string&) {
            continuation.yield(UpdateNotification(key));
          });
          continuation.onTermination([center, token] { center->removeObserver(token); });
        });
  });
}

}  // namespace brisvane
