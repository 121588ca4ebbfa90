#pragma once

#include <filesystem>
#include <mutex>
#include <optional>

#include "brisvane_export.h"
#include "host/contracts.h"

namespace host {

// Keeps the last saved protection state in a small text file ("true" or "false"; no file means
// nothing saved). For command-line hosts and tests.
//
// Threads: any; calls are serialised. A file that cannot be read or holds anything else reads as
// nothing saved, and so does anything that is not a regular file of at most kMaximumSize bytes
// (a FIFO or a device is opened without waiting and never read); a failed write is reported on
// standard error and otherwise ignored, since a provider never fails its caller.
class BRISVANE_EXPORT FileLastSavedRTPStateProvider final
    : public BrisvaneLastSavedRTPStateProviderType {
 public:
  explicit FileLastSavedRTPStateProvider(std::filesystem::path path);

  static constexpr std::size_t kMaximumSize = 4096;

  std::optional<bool> lastSavedRTPState() const override;
  // Writes a temporary file next to the target and renames it over, so a reader never sees a
  // half-written file.
  void saveRTPState(bool state) override;

 private:
  const std::filesystem::path path_;
  mutable std::mutex mutex_;
};

}  // namespace host
