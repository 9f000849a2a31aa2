// Linked into test programs of leak-checking builds only. The GL library unloads its driver when
// a display or context goes, long before LeakSanitizer looks at the heap at exit; the driver's
// own allocations are then reported from an unnamed module: they can neither be attributed nor
// suppressed, and blocks the driver still reaches from its globals look lost. A driver that is
// about to be closed is therefore marked never to be unmapped first; the close itself goes on
// as usual (reference counts and every other library are untouched).

#include <dlfcn.h>
#include <link.h>

#include <cstring>

namespace {

// The file name of a loaded graphics driver (Mesa keeps them in a "dri" folder), else null.
const char* GraphicsDriverPath(void* handle) {
    struct link_map* map = nullptr;
    if (handle == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) {
        return nullptr;
    }
    return std::strstr(map->l_name, "/dri/") != nullptr ? map->l_name : nullptr;
}

}  // namespace

extern "C" int dlclose(void* handle) {
    using CloseFn = int (*)(void*);
    static const CloseFn next = reinterpret_cast<CloseFn>(dlsym(RTLD_NEXT, "dlclose"));
    if (const char* driver = GraphicsDriverPath(handle)) {
        // Takes one more reference with the no-delete mark; the object then outlives every close.
        if (void* pinned = dlopen(driver, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) {
            next(pinned);
        }
    }
    return next(handle);
}
