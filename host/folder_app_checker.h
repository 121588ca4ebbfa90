#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "brisvane_export.h"
#include "host/contracts.h"

namespace host {

// Answers "is an application with this bundle identifier here?" by looking, at each call, for
// `*.app` bundles in a list of folders and their subfolders (not inside bundles, not through
// symbolic links) whose Contents/Info.plist names that identifier. For command-line hosts.
//
// Threads: any; it keeps no state. Missing folders and unreadable bundles are skipped.
class BRISVANE_EXPORT FolderAppOnDeviceChecker final : public AppOnDeviceCheckerServiceType {
 public:
  explicit FolderAppOnDeviceChecker(std::vector<std::filesystem::path> folders);
  bool isAppOnDevice(const std::string& bundleIdentifier) const override;

  // Every bundle found, with its identifier, in folder order.
  std::vector<std::pair<std::filesystem::path, std::string>> bundles() const;

 private:
  const std::vector<std::filesystem::path> folders_;
};

}  // namespace host
