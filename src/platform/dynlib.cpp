#include "platform/dynlib.h"

#include <dlfcn.h>

namespace QXPLAT {

CDynamicLibrary::~CDynamicLibrary() {
    Close();
}

bool CDynamicLibrary::Open(const std::string& path) {
    Close();
    m_lastError.clear();
    // Only an absolute path names one file: a bare name would be searched along the loader's
    // paths and a relative one against whatever the working directory is now.
    if (path.empty() || path.front() != '/') {
        m_lastError = "not an absolute path";
        return false;
    }
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* message = dlerror();
        m_lastError = message != nullptr ? message : "dlopen failed";
        return false;
    }
    return true;
}

void CDynamicLibrary::Close() {
    if (m_handle != nullptr) {
        dlclose(m_handle);
        m_handle = nullptr;
    }
}

void* CDynamicLibrary::Symbol(const char* name) const {
    if (m_handle == nullptr || name == nullptr) {
        return nullptr;
    }
    return dlsym(m_handle, name);
}

}  // namespace QXPLAT
