#include "base/hmodule.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

namespace BRIXEL {

std::string GetModulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&GetModulePath), &info) == 0) return {};
    std::string path = info.dli_fname ? info.dli_fname : "";
    if (!path.empty() && path.front() == '/') return path;
    // The main program may be reported by its invocation name only.
    char buffer[PATH_MAX];
    if (!path.empty() && realpath(path.c_str(), buffer)) return buffer;
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) return path;
    return std::string(buffer, static_cast<size_t>(n));
}

std::string GetModuleDirectory() {
    const std::string path = GetModulePath();
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return path;
    return path.substr(0, slash + 1);
}

bool HLocalTime(int64_t t, struct tm* out) {
    if (!out) return false;
    const time_t value = static_cast<time_t>(t);
    if (static_cast<int64_t>(value) != t) return false;
    return localtime_r(&value, out) != nullptr;
}

}  // namespace BRIXEL
