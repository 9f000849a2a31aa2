/* External renderer double of the view tests: remembers what the port set (view camera, type,
 * drawing region, the two frame callbacks) and answers the getters from it. Exports the plain
 * entry names, and query functions ViewPano_* that the test reaches with dlsym. */

#include <pthread.h>
#include <stdint.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

typedef struct { uint32_t values[2]; } CreateOptions;
typedef struct { float pan, tilt, zoom; } Camera;
typedef void (*RenderCallback)(void* context);

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static uint32_t g_type, g_switches, g_cameraSets, g_regionSets, g_unprojects;
static Camera g_camera = {0.0f, 0.0f, 1.0f};
static int32_t g_region[4];
static RenderCallback g_pre, g_post;
static void* g_preContext;
static void* g_postContext;

EXPORT void ViewPano_Reset(void) {
    pthread_mutex_lock(&g_lock);
    g_type = 0;
    g_switches = g_cameraSets = g_regionSets = g_unprojects = 0;
    g_camera.pan = g_camera.tilt = 0.0f;
    g_camera.zoom = 1.0f;
    memset(g_region, 0, sizeof g_region);
    pthread_mutex_unlock(&g_lock);
}

/* counters: 0 switches, 1 camera sets, 2 region sets, 3 unprojects */
EXPORT uint32_t ViewPano_Count(int which) {
    pthread_mutex_lock(&g_lock);
    const uint32_t counts[4] = {g_switches, g_cameraSets, g_regionSets, g_unprojects};
    pthread_mutex_unlock(&g_lock);
    return which >= 0 && which < 4 ? counts[which] : 0;
}

EXPORT void ViewPano_Region(int32_t* out) {
    pthread_mutex_lock(&g_lock);
    memcpy(out, g_region, sizeof g_region);
    pthread_mutex_unlock(&g_lock);
}

/* Runs the installed pre-render and render callbacks as one drawn frame would; the number of
 * callbacks that were installed. */
EXPORT int ViewPano_DrawFrame(void) {
    pthread_mutex_lock(&g_lock);
    RenderCallback pre = g_pre, post = g_post;
    void* preContext = g_preContext;
    void* postContext = g_postContext;
    pthread_mutex_unlock(&g_lock);
    if (pre) pre(preContext);
    if (post) post(postContext);
    return (pre != 0) + (post != 0);
}

EXPORT uint32_t G_CreatePanoRender(CreateOptions options, const void* params, uint32_t paramsLen, uint32_t* handle) {
    (void)options;
    (void)params;
    (void)paramsLen;
    *handle = 7;
    return 0;
}

EXPORT uint32_t G_InitPanoRender(uint32_t handle, uintptr_t window) {
    (void)handle;
    (void)window;
    return 0;
}

EXPORT uint32_t G_InputFrame(uint32_t handle, uint32_t streamId, uint32_t width, uint32_t height,
                             const uint8_t* const* planes, const uint32_t* strides) {
    (void)handle, (void)streamId, (void)width, (void)height, (void)planes, (void)strides;
    return 0;
}

EXPORT uint32_t G_GetSupportedPanoTypeList(uint32_t handle, uint32_t* types, int32_t* count) {
    (void)handle;
    if (count == 0 || *count < 2 || types == 0) return 0x80008012u;
    types[0] = 0;
    types[1] = 12;
    *count = 2;
    return 0;
}

EXPORT uint32_t G_SwitchPanoType(uint32_t handle, uint32_t type) {
    (void)handle;
    pthread_mutex_lock(&g_lock);
    g_type = type;
    ++g_switches;
    pthread_mutex_unlock(&g_lock);
    return 0;
}

EXPORT uint32_t G_GetCurrentPanoType(uint32_t handle, uint32_t* type) {
    (void)handle;
    pthread_mutex_lock(&g_lock);
    *type = g_type;
    pthread_mutex_unlock(&g_lock);
    return 0;
}

EXPORT uint32_t G_SetViewCamera(uint32_t handle, Camera camera) {
    (void)handle;
    pthread_mutex_lock(&g_lock);
    g_camera = camera;
    ++g_cameraSets;
    pthread_mutex_unlock(&g_lock);
    return 0;
}

EXPORT uint32_t G_GetViewCamera(uint32_t handle, Camera* camera) {
    (void)handle;
    pthread_mutex_lock(&g_lock);
    *camera = g_camera;
    pthread_mutex_unlock(&g_lock);
    return 0;
}

EXPORT uint32_t G_SetDrawingRegion(uint32_t handle, int32_t left, int32_t top, int32_t width, int32_t height) {
    (void)handle;
    pthread_mutex_lock(&g_lock);
    g_region[0] = left;
    g_region[1] = top;
    g_region[2] = width;
    g_region[3] = height;
    ++g_regionSets;
    pthread_mutex_unlock(&g_lock);
    return 0;
}

/* Doubles every coordinate. */
EXPORT uint32_t G_UnProject(uint32_t handle, const float* points, uint32_t count, float* out) {
    (void)handle;
    for (uint32_t i = 0; i < 2 * count; ++i) out[i] = 2.0f * points[i];
    pthread_mutex_lock(&g_lock);
    ++g_unprojects;
    pthread_mutex_unlock(&g_lock);
    return 0;
}

EXPORT uint32_t G_SetPreRenderCallBack(uint32_t handle, RenderCallback callback, void* context) {
    (void)handle;
    pthread_mutex_lock(&g_lock);
    g_pre = callback;
    g_preContext = context;
    pthread_mutex_unlock(&g_lock);
    return 0;
}

EXPORT uint32_t G_SetRenderCallBack(uint32_t handle, RenderCallback callback, void* context) {
    (void)handle;
    pthread_mutex_lock(&g_lock);
    g_post = callback;
    g_postContext = context;
    pthread_mutex_unlock(&g_lock);
    return 0;
}

EXPORT uint32_t G_DestroyPanoRender(uint32_t handle) {
    (void)handle;
    return 0;
}
