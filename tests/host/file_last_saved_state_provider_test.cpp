#include "host/file_last_saved_state_provider.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_dir.h"

namespace {

TEST(FileLastSavedRTPStateProvider, RoundTripsAndReadsAnythingElseAsNothingSaved) {
  testsupport::TempDir dir;
  const auto path = dir / "last-state";
  host::FileLastSavedRTPStateProvider provider(path);
  EXPECT_EQ(provider.lastSavedRTPState(), std::nullopt);
  provider.saveRTPState(true);
  EXPECT_EQ(provider.lastSavedRTPState(), true);
  provider.saveRTPState(false);
  EXPECT_EQ(provider.lastSavedRTPState(), false);
  // A second provider over the same file sees what the first saved.
  EXPECT_EQ(host::FileLastSavedRTPStateProvider(path).lastSavedRTPState(), false);

  for (const char* junk : {"", "yes", "1", "TRUE"}) {
    std::ofstream(path, std::ios::trunc) << junk;
    EXPECT_EQ(provider.lastSavedRTPState(), std::nullopt) << junk;
  }
}

TEST(FileLastSavedRTPStateProvider, UnwritableFolderLosesTheSaveButNeverThrows) {
  host::FileLastSavedRTPStateProvider provider("/nonexistent-folder/last-state");
  EXPECT_NO_THROW(provider.saveRTPState(true));
  EXPECT_EQ(provider.lastSavedRTPState(), std::nullopt);
}

}  // namespace
