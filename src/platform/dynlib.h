#pragma once
// Loading a shared library at run time and resolving its entry points.

#include <string>

namespace QXPLAT {

// One loaded library; unloaded by Close() or the destructor. Not copyable: the handle has one
// owner, so the library is unloaded exactly once.
class CDynamicLibrary {
public:
    CDynamicLibrary() = default;
    ~CDynamicLibrary();
    CDynamicLibrary(const CDynamicLibrary&) = delete;
    CDynamicLibrary& operator=(const CDynamicLibrary&) = delete;

    // Loads the library at the absolute `path` (anything else is refused) with every symbol bound
    // now and kept private to this handle, so that two libraries exporting the same entry-point
    // names never see each other's. Closes a library loaded before. False (with the loader's
    // message in LastError()) when it cannot be loaded.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return m_handle != nullptr; }

    // The address of `name`, or nullptr when the library does not export it (or is not open).
    void* Symbol(const char* name) const;

    const std::string& LastError() const { return m_lastError; }

private:
    void* m_handle = nullptr;
    std::string m_lastError;
};

}  // namespace QXPLAT
