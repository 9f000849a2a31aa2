/* Linked into test programs of leak-checking builds only (and into the example host that the
 * install test builds there). The GL library unloads its driver when a display or context goes,
 * long before LeakSanitizer looks at the heap at exit; the driver's own allocations are then
 * reported from an unnamed module: they can neither be attributed nor suppressed, and blocks the
 * driver still reaches from its globals look lost. A driver that is about to be closed is
 * therefore marked never to be unmapped first; the close itself goes on as usual (reference
 * counts and every other library are untouched). */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <stddef.h>
#include <string.h>

/* The file name of a loaded graphics driver (Mesa keeps them in a "dri" folder), else null. */
static const char* GraphicsDriverPath(void* handle) {
    struct link_map* map = NULL;
    if (handle == NULL || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == NULL ||
        map->l_name == NULL) {
        return NULL;
    }
    return strstr(map->l_name, "/dri/") != NULL ? map->l_name : NULL;
}

typedef int (*CloseFn)(void*);

/* Visible whatever the build's default visibility: the loader must bind every dlclose to it. */
__attribute__((visibility("default"))) int dlclose(void* handle) {
    /* The next definition in lookup order: the sanitizer's or the C library's. */
    static void* nextSymbol = NULL;
    void* symbol = __atomic_load_n(&nextSymbol, __ATOMIC_ACQUIRE);
    if (symbol == NULL) {
        symbol = dlsym(RTLD_NEXT, "dlclose");
        __atomic_store_n(&nextSymbol, symbol, __ATOMIC_RELEASE);
    }
    CloseFn next;
    memcpy(&next, &symbol, sizeof next);
    const char* driver = GraphicsDriverPath(handle);
    if (driver != NULL) {
        /* Takes one more reference with the no-delete mark; the object then outlives every close.
         */
        void* pinned = dlopen(driver, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
        if (pinned != NULL) {
            next(pinned);
        }
    }
    return next(handle);
}
