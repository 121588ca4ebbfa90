#pragma once

// The library's version, as C symbols so that any language can read them from the library.
extern "C" {
// 1.0
__attribute__((visibility("default"))) extern const double BrisvaneStateServiceImplementationVersionNumber;
// "@(#)PROGRAM:BrisvaneStateServiceImplementation  PROJECT:Services-1" and a line feed.
__attribute__((visibility("default"))) extern const unsigned char BrisvaneStateServiceImplementationVersionString[];
}
