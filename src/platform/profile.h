#pragma once
// Section/key/integer configuration files (the library's quorixsdk.ini).

#include <cstdint>

// Reads `key` in `section` of the file at `path` as an integer. Section and key names compare
// case-insensitively; the value is its leading decimal integer (optional sign, surrounding blanks
// ignored), saturated to the int32 range. A missing file, section or key, or a value that does
// not start with a number, gives `defaultValue`. When a key appears more than once, the first
// occurrence wins.
int32_t PlatformGetProfileInt(const char* section, const char* key, int32_t defaultValue,
                              const char* path);
