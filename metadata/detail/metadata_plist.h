#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::detail {

// What an application bundle's Info.plist says about the bundle, as far as the metadata query
// indexes it.
struct BundleInfo {
  std::string identifier;                   // CFBundleIdentifier
  std::optional<std::string> displayName;   // CFBundleDisplayName, else CFBundleName
  std::optional<std::string> shortVersion;  // CFBundleShortVersionString
};

// Info.plist files larger than this are not application descriptions and are not parsed.
inline constexpr std::size_t kMaximumInfoPlistSize = 1 << 20;

// Parses the bytes of an Info.plist, XML or binary. Absent when the bytes are not a property
// list, are beyond the limits below, its root is not a dictionary, or CFBundleIdentifier is
// missing, empty or not text. Pure and thread-safe; never throws on malformed input.
std::optional<BundleInfo> parseBundleInfo(std::string_view bytes);

// Reads and parses the file `name` in the open directory `directoryFd`, without following a
// symbolic link in its place. Absent when the file is missing, unreadable, too large or not a
// bundle description.
std::optional<BundleInfo> readBundleInfo(int directoryFd, const char* name);

// Deeper or larger lists are not application descriptions either, and are refused before they
// are parsed: nesting of arrays and dictionaries, and objects once every shared reference in a
// binary list is counted as the copy the parser makes of it.
inline constexpr std::size_t kMaximumPlistDepth = 64;
inline constexpr std::uint64_t kMaximumPlistNodes = 1 << 17;

enum class PlistFormat { xml, binary };

// Encodes a dictionary of text entries as a property list, in the given format. For fixtures
// (tests, benchmarks, fuzz seeds): the query itself only reads.
std::string encodeStringDictionary(const std::vector<std::pair<std::string, std::string>>& entries,
                                   PlistFormat format);

}  // namespace platform::detail
