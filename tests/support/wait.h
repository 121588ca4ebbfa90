#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// Waits for a condition that another thread or process makes true. The timeout is a guard
// against a hang, never a measurement: tests assert on the condition, not on the time taken.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace testsupport
