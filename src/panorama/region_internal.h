#pragma once
// What the source files of the region share besides region.h: the source name and module that
// their log lines carry (one name for all of them: they are one unit) and the GL error check.

#include "panorama/gl_util.h"

namespace SPHERA {

inline constexpr const char* kRegionLogSource = "..\\src\\region";
inline constexpr const char* kRegionLogModule = "sphview";

}  // namespace SPHERA

// Logs the pending GL error, if any, as a line of the calling function.
#define REGION_GL_CHECK(fn) ::SPHERA::LogGlError(::SPHERA::kRegionLogSource, (fn), __LINE__)
