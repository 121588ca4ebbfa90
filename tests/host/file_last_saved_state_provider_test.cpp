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
  for (const bool state : {true, false, true}) {
    provider.saveRTPState(state);
    EXPECT_EQ(host::FileLastSavedRTPStateProvider(path).lastSavedRTPState(), state);
  }
  for (const char* junk : {"", "yes", "1", "TRUE"}) {
    std::ofstream(path, std::ios::trunc) << junk;
    EXPECT_EQ(provider.lastSavedRTPState(), std::nullopt) << junk;
  }
  host::FileLastSavedRTPStateProvider unwritable("/nonexistent-folder/last-state");
  EXPECT_NO_THROW(unwritable.saveRTPState(true));
  EXPECT_EQ(unwritable.lastSavedRTPState(), std::nullopt);
}

}  // namespace
