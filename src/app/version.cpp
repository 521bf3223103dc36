#include "app/version.h"

#ifndef TESSALY_PROGRAM_VERSION
#error "the build defines TESSALY_PROGRAM_VERSION for this file"
#endif

namespace tessaly {

const char* ProgramVersion() { return TESSALY_PROGRAM_VERSION; }

}  // namespace tessaly
