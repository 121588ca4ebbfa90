#pragma once

#include <concepts>
#include <string_view>

namespace brisvane {

// A payload type that names its own storage slot and change signal: a static key(), the same text
// in the writing and the reading application. It says nothing about JSON coding; operations that
// need both ask for JSONCodable separately.
template <class M>
concept InteroperabilityMessage = requires {
  { M::key() } -> std::convertible_to<std::string_view>;
};

}  // namespace brisvane
