#pragma once
// Process utilities: the library's own directory and local time.

#include <cstdint>
#include <ctime>
#include <string>

namespace BRIXEL {

// Directory of the module file that holds this code, with its trailing '/'; the whole path
// when it has no '/' after its first character.
std::string GetModuleDirectory();
// Absolute path of that module file, resolved once when the module was loaded ("" when it could
// not be resolved then).
std::string GetModulePath();
// localtime_r of a 64-bit time; false for a null output or a failed conversion.
bool HLocalTime(int64_t t, struct tm* out);

}  // namespace BRIXEL
