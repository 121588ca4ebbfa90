#include "host/folder_app_checker.h"

#include <fcntl.h>
#include <unistd.h>

#include <system_error>

#include "metadata/detail/metadata_plist.h"

namespace host {
namespace {

std::optional<std::string> bundleIdentifier(const std::filesystem::path& bundle) {
  const int contents =
      ::open((bundle / "Contents").c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (contents < 0) return std::nullopt;
  auto info = platform::detail::readBundleInfo(contents, "Info.plist");
  ::close(contents);
  if (!info) return std::nullopt;
  return info->identifier;
}

}  // namespace

FolderAppOnDeviceChecker::FolderAppOnDeviceChecker(std::vector<std::filesystem::path> folders)
    : folders_(std::move(folders)) {}

std::vector<std::pair<std::filesystem::path, std::string>> FolderAppOnDeviceChecker::bundles()
    const {
  std::vector<std::pair<std::filesystem::path, std::string>> found;
  for (const auto& folder : folders_) {
    std::error_code error;
    std::filesystem::recursive_directory_iterator it(
        folder, std::filesystem::directory_options::skip_permission_denied, error);
    for (; !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      const auto& entry = *it;
      std::error_code statError;
      if (entry.is_symlink(statError) || !entry.is_directory(statError)) continue;
      if (entry.path().extension() != ".app") continue;
      it.disable_recursion_pending();  // nothing inside a bundle counts
      if (auto identifier = bundleIdentifier(entry.path())) {
        found.emplace_back(entry.path(), *identifier);
      }
    }
  }
  return found;
}

bool FolderAppOnDeviceChecker::isAppOnDevice(const std::string& bundleIdentifier) const {
  for (const auto& [path, identifier] : bundles()) {
    if (identifier == bundleIdentifier) return true;
  }
  return false;
}

}  // namespace host
