#pragma once

#include "brisvane_export.h"

// The library's version, as C symbols so that any language can read them from the library.
extern "C" {
// 1.0
BRISVANE_EXPORT extern const double BrisvaneStateServiceImplementationVersionNumber;
// "@(#)PROGRAM:BrisvaneStateServiceImplementation  PROJECT:Services-1" and a line feed.
BRISVANE_EXPORT extern const unsigned char BrisvaneStateServiceImplementationVersionString[];
}
