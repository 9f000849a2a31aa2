#include "base/hmodule.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

namespace BRIXEL {

namespace {

std::string ResolveModulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&GetModulePath), &info) == 0)
        return {};
    const std::string name = info.dli_fname ? info.dli_fname : "";
    char buffer[PATH_MAX];
    if (name.empty()) {
        // The loader names the main program by an empty string: this code is linked into it.
        const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }
    // A name found through a relative search path is relative to the working directory the
    // process had when it loaded us; resolved now, while that is still so. A name that cannot be
    // resolved gives no path at all: never some other directory in its place.
    if (realpath(name.c_str(), buffer) == nullptr)
        return {};
    return buffer;
}

const std::string& LoadTimePath() {
    static const std::string path = ResolveModulePath();
    return path;
}

// Runs while the module is being loaded, before the host can change its working directory.
__attribute__((constructor)) void ResolveModulePathAtLoad() {
    LoadTimePath();
}

}  // namespace

std::string GetModulePath() {
    return LoadTimePath();
}

std::string GetModuleDirectory() {
    const std::string path = GetModulePath();
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return path;
    return path.substr(0, slash + 1);
}

bool HLocalTime(int64_t t, struct tm* out) {
    if (!out)
        return false;
    const time_t value = static_cast<time_t>(t);
    if (static_cast<int64_t>(value) != t)
        return false;
    return localtime_r(&value, out) != nullptr;
}

}  // namespace BRIXEL
