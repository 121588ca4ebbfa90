#pragma once
// Application bundles made by hand: <bundle>/Contents/Info.plist naming an identifier and a version.
#include <filesystem>
#include <fstream>
#include <string>

#include "metadata/detail/metadata_plist.h"

namespace testsupport {

using platform::detail::PlistFormat;

inline std::string infoPlist(const std::string& identifier, PlistFormat format = PlistFormat::xml,
                             const std::string& version = "1.0") {
  return platform::detail::encodeStringDictionary(
      {{"CFBundleIdentifier", identifier}, {"CFBundleShortVersionString", version}}, format);
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline void makeBundle(const std::filesystem::path& bundle, const std::string& identifier,
                       PlistFormat format = PlistFormat::xml, const std::string& version = "1.0") {
  std::filesystem::create_directories(bundle / "Contents");
  writeFile(bundle / "Contents" / "Info.plist", infoPlist(identifier, format, version));
}

}  // namespace testsupport
