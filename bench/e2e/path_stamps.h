#pragma once

// Decorators that stamp the machine-wide monotonic time around the keychain calls and the
// notification posts of a KeychainInteroperabilityClient, so that one change can be followed
// along its path (where the time goes). They pass every call on unchanged.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "interoperability_keychain/KeychainInteroperabilityClient.h"
#include "keychain/keychain.h"
#include "measure.h"

namespace e2e {

// The stamps of the most recent call of each kind. Written by the thread making the call, read
// by anyone once that call has returned (the experiments pace their changes).
struct PathStamps {
  std::atomic<std::int64_t> copyStart{0}, copyEnd{0};
  std::atomic<std::int64_t> updateStart{0}, updateEnd{0};
  std::atomic<std::int64_t> postStart{0}, postEnd{0};
};

// Any thread, like the services it wraps.
class StampingKeychainServices final : public platform::KeychainServices {
 public:
  StampingKeychainServices(std::shared_ptr<platform::KeychainServices> inner,
                           std::shared_ptr<PathStamps> stamps)
      : inner_(std::move(inner)), stamps_(std::move(stamps)) {}

  platform::OSStatus itemAdd(const platform::KeychainDictionary& attributes) override {
    stamps_->updateStart = monotonicNanos();
    const auto status = inner_->itemAdd(attributes);
    stamps_->updateEnd = monotonicNanos();
    return status;
  }
  platform::OSStatus itemCopyMatching(const platform::KeychainDictionary& query,
                                      std::optional<platform::KeychainValue>* result) override {
    stamps_->copyStart = monotonicNanos();
    const auto status = inner_->itemCopyMatching(query, result);
    stamps_->copyEnd = monotonicNanos();
    return status;
  }
  platform::OSStatus itemUpdate(const platform::KeychainDictionary& query,
                                const platform::KeychainDictionary& changes) override {
    stamps_->updateStart = monotonicNanos();
    const auto status = inner_->itemUpdate(query, changes);
    stamps_->updateEnd = monotonicNanos();
    return status;
  }
  platform::OSStatus itemDelete(const platform::KeychainDictionary& query) override {
    return inner_->itemDelete(query);
  }

 private:
  const std::shared_ptr<platform::KeychainServices> inner_;
  const std::shared_ptr<PathStamps> stamps_;
};

// Any thread, like the center it wraps.
class StampingNotifications final : public brisvane::DistributedNotifications {
 public:
  StampingNotifications(std::shared_ptr<brisvane::DistributedNotifications> inner,
                        std::shared_ptr<PathStamps> stamps)
      : inner_(std::move(inner)), stamps_(std::move(stamps)) {}

  void post(const std::string& name) override {
    stamps_->postStart = monotonicNanos();
    inner_->post(name);
    stamps_->postEnd = monotonicNanos();
  }
  platform::ObserverToken addObserver(
      const std::string& name,
      platform::DistributedNotificationCenter::Callback callback) override {
    return inner_->addObserver(name, std::move(callback));
  }
  void removeObserver(const platform::ObserverToken& token) override {
    inner_->removeObserver(token);
  }

 private:
  const std::shared_ptr<brisvane::DistributedNotifications> inner_;
  const std::shared_ptr<PathStamps> stamps_;
};

}  // namespace e2e
