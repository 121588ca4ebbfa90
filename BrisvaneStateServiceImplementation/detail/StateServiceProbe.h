#pragma once

#include <optional>

#include "reactive/publisher.h"

// Inside the library only (not installed): the keychain value a service's answers are computed
// from, for the benchmarks and the experiments that count refreshes. Any thread.
namespace brisvane {

class BrisvaneStateServiceImpl;

namespace probe {

// Every value a refresh sends, starting with the current one.
platform::Publisher<std::optional<bool>> keychainValues(BrisvaneStateServiceImpl& service);
// Sends a value as a refresh would, without reading the keychain.
void sendKeychainValue(BrisvaneStateServiceImpl& service, std::optional<bool> value);

}  // namespace probe
}  // namespace brisvane
