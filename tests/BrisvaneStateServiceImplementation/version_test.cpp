#include "BrisvaneStateServiceImplementation/Version.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(Version, SymbolsCarryTheLibraryVersion) {
  EXPECT_EQ(BrisvaneStateServiceImplementationVersionNumber, 1.0);
  const std::string text(reinterpret_cast<const char*>(BrisvaneStateServiceImplementationVersionString));
  EXPECT_EQ(text, "@(#)PROGRAM:BrisvaneStateServiceImplementation  PROJECT:Services-1\n");
  EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(BrisvaneStateServiceImplementationVersionString)),
            text.size());
}
