#include "BrisvaneStateServiceImplementation/Version.h"

extern "C" {
const double BrisvaneStateServiceImplementationVersionNumber = 1.0;
const unsigned char BrisvaneStateServiceImplementationVersionString[] =
    "@(#)PROGRAM:BrisvaneStateServiceImplementation  PROJECT:Services-1\n";
}
