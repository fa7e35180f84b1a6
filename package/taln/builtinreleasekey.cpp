#include "package/taln/releasecheck.h"

// Set by the CMake option LAUNCHER_RELEASE_KEY, on this target only.
#ifndef LAUNCHER_RELEASE_KEY
#define LAUNCHER_RELEASE_KEY ""
#endif

namespace taln {

const char* BuiltInReleaseKey() { return LAUNCHER_RELEASE_KEY; }

}  // namespace taln
