#pragma once

#include <algorithm>
#include <functional>
#include <mutex>
#include <vector>

#include "support/wait.h"

namespace testsupport {

// Collects what a callback receives, from any thread.
template <class T>
struct Recorder {
  std::function<void(const T&)> callback() {
    return [this](const T& v) { const std::lock_guard l(mutex); got.push_back(v); };
  }
  std::vector<T> values() const { const std::lock_guard l(mutex); return got; }
  std::size_t size() const { return values().size(); }
  // Waits until `value` has arrived.
  bool waitFor(const T& value) const {
    return testsupport::waitFor([&] { return std::ranges::count(values(), value) > 0; });
  }
  mutable std::mutex mutex;
  std::vector<T> got;
};

}  // namespace testsupport
