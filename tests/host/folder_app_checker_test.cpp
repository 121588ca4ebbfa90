#include "host/folder_app_checker.h"

#include <gtest/gtest.h>

#include <fstream>

#include "metadata/detail/metadata_plist.h"
#include "support/temp_dir.h"

namespace {

using platform::detail::PlistFormat;

TEST(FolderAppOnDeviceChecker, FindsBundlesInNestedFoldersButNotInsideBundlesOrThroughLinks) {
  testsupport::TempDir dir;
  const auto apps = dir / "Applications";
  const auto makeBundle = [](const std::filesystem::path& bundle, const std::string& identifier,
                             PlistFormat format = PlistFormat::xml) {
    std::filesystem::create_directories(bundle / "Contents");
    std::ofstream(bundle / "Contents" / "Info.plist", std::ios::binary)
        << platform::detail::encodeStringDictionary({{"CFBundleIdentifier", identifier}}, format);
  };
  makeBundle(apps / "Host.app", "com.example.host");
  makeBundle(apps / "Tools" / "Binary.app", "com.example.binary", PlistFormat::binary);
  makeBundle(apps / "Host.app" / "Contents" / "Helpers" / "Inner.app", "com.example.inner");
  makeBundle(dir / "elsewhere" / "Linked.app", "com.example.linked");
  std::filesystem::create_directory_symlink(dir / "elsewhere" / "Linked.app", apps / "Linked.app");
  std::filesystem::create_directories(apps / "Broken.app" / "Contents");

  host::FolderAppOnDeviceChecker checker({apps, dir / "missing"});
  for (const auto& [identifier, found] : std::vector<std::pair<std::string, bool>>{
           {"com.example.host", true}, {"com.example.binary", true}, {"com.example.inner", false},
           {"com.example.linked", false}, {"", false}}) {
    EXPECT_EQ(checker.isAppOnDevice(identifier), found) << identifier;
  }
  EXPECT_EQ(checker.bundles().size(), 2u);
}

}  // namespace
