#pragma once

// The values both programs use when none is given, so that they find each other out of the box.
namespace tools {
inline constexpr const char* kDefaultAccessGroup = "com.tarvik.interoperability.shared";
inline constexpr const char* kDefaultHostBundleIdentifier = "com.tarvik.nyra";
}  // namespace tools
