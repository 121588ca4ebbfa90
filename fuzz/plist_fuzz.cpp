// Feeds arbitrary bytes to the Info.plist reader of the metadata query: whatever the bytes, it
// answers (with or without a bundle description) and never crashes, leaks or reads out of bounds.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "metadata/detail/metadata_plist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto info = platform::detail::parseBundleInfo(
      std::string_view(reinterpret_cast<const char*>(data), size));
  // A description always carries a non-empty identifier.
  if (info && info->identifier.empty()) __builtin_trap();
  return 0;
}
