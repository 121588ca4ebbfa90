#pragma once

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "keychain/keychain.h"

namespace testsupport {

// Keychain services that pass every call to the user's store (point XDG_DATA_HOME at a
// temporary folder) and record it, and that can be told to answer an operation with a fixed
// status instead. Thread-safe; also measures how many calls ever ran at the same time.
class RecordingKeychain final : public platform::KeychainServices {
 public:
  enum class Operation { add, copyMatching, update, remove };

  struct Call {
    Operation operation;
    platform::KeychainDictionary dictionary;  // attributes or query
    platform::KeychainDictionary changes;     // update only
    platform::OSStatus status;
  };

  // From now on `operation` returns `status` without reaching the store.
  void force(Operation operation, platform::OSStatus status) {
    std::lock_guard lock(mutex_);
    forced_[operation] = status;
  }

  std::vector<Call> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  std::vector<Call> calls(Operation operation) const {
    std::vector<Call> selected;
    for (auto& call : calls()) {
      if (call.operation == operation) selected.push_back(call);
    }
    return selected;
  }

  void clearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
  }

  int mostCallsAtOnce() const { return mostAtOnce_.load(); }

  platform::OSStatus itemAdd(const platform::KeychainDictionary& attributes) override {
    return run(Operation::add, attributes, {}, [&] { return platform::SecItemAdd(attributes); });
  }
  platform::OSStatus itemCopyMatching(const platform::KeychainDictionary& query,
                                      std::optional<platform::KeychainValue>* result) override {
    return run(Operation::copyMatching, query, {},
               [&] { return platform::SecItemCopyMatching(query, result); });
  }
  platform::OSStatus itemUpdate(const platform::KeychainDictionary& query,
                                const platform::KeychainDictionary& changes) override {
    return run(Operation::update, query, changes,
               [&] { return platform::SecItemUpdate(query, changes); });
  }
  platform::OSStatus itemDelete(const platform::KeychainDictionary& query) override {
    return run(Operation::remove, query, {}, [&] { return platform::SecItemDelete(query); });
  }

 private:
  template <class F>
  platform::OSStatus run(Operation operation, const platform::KeychainDictionary& dictionary,
                         const platform::KeychainDictionary& changes, F&& call) {
    const int atOnce = ++inFlight_;
    int most = mostAtOnce_.load();
    while (atOnce > most && !mostAtOnce_.compare_exchange_weak(most, atOnce)) {
    }
    // Widens the window in which an unserialised second caller would overlap this one.
    std::this_thread::yield();
    std::optional<platform::OSStatus> forced;
    {
      std::lock_guard lock(mutex_);
      if (auto found = forced_.find(operation); found != forced_.end()) forced = found->second;
    }
    const platform::OSStatus status = forced ? *forced : call();
    {
      std::lock_guard lock(mutex_);
      calls_.push_back({operation, dictionary, changes, status});
    }
    --inFlight_;
    return status;
  }

  mutable std::mutex mutex_;
  std::map<Operation, platform::OSStatus> forced_;
  std::vector<Call> calls_;
  std::atomic<int> inFlight_{0};
  std::atomic<int> mostAtOnce_{0};
};

}  // namespace testsupport
