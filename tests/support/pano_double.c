/* A stand-in for the external panorama renderer library, shared by every suite that needs one.
 * It records every call, copies the pictures it is given, keeps each renderer's state on the
 * heap as a real one does, and keeps the callbacks it is handed, so that tests can check what
 * the player asked of it (pano_double.h lists its answers).
 *
 * Built three ways: PANO_DOUBLE_DECORATED gives the entry points placeholder names
 * ("_G_CreatePanoRender_20") that the build renames to the decorated ones after linking;
 * without it the plain names ("G_CreatePanoRender") are exported; PANO_DOUBLE_PARTIAL leaves
 * out the size, grab, unproject, render-callback and destroy entries. */

#include "pano_double.h"

#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define PANO_EXPORT __attribute__((visibility("default")))
#ifdef PANO_DOUBLE_DECORATED
#define PANO_NAME(placeholder) __asm__(placeholder)
#else
#define PANO_NAME(placeholder)
#endif

typedef struct {
    float pan, tilt, zoom;
} ViewCamera;
typedef struct {
    uint32_t values[2];
} CreateOptions;
typedef void (*OutputCallback)(uint32_t width, uint32_t height, const uint8_t* data, void* context);
typedef void (*RenderCallback)(void* context);

#define FAILED 0x80000001u     /* no room, bad arguments */
#define UNKNOWN 0x80000002u    /* a handle the double does not know */
#define WRONG_SIZE 0x80000003u /* a grab of another size than the original */
#define MAX_PICTURE 16384
#define DEFAULT_WIDTH 320
#define DEFAULT_HEIGHT 240

/* Handle h lives in slot h % SLOTS until it is destroyed. */
#define SLOTS 64
typedef struct {
    uint32_t handle;
    int busy; /* entries using it now */
    ViewCamera camera;
    uint32_t panoType;
    int32_t region[4];
    OutputCallback output;
    float outputScale;
    void* outputContext;
    RenderCallback preRender;
    void* preRenderContext;
    RenderCallback render;
    void* renderContext;
} Renderer;

typedef struct {
    const char* name;
    uint32_t handle;
} Call;

typedef struct {
    uint32_t width, height;
    uint8_t* yuv;
} Kept;

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_arrived = PTHREAD_COND_INITIALIZER;
static Renderer* g_renderers[SLOTS];
static uint32_t g_nextHandle = 1;
/* The call log. */
static Call g_calls[PANO_DOUBLE_MAX_CALLS];
static int g_callCount;
static uint32_t g_failCode, g_createResult;
static CreateOptions g_lastOptions;
static uint8_t* g_lastParams;
static uint32_t g_lastParamsLen;
/* The pictures. */
static Kept g_frames[PLAYER_PANO_MAX_FRAMES];
static int g_frameCount;
static uint8_t* g_frame; /* the last one */
static uint32_t g_frameWidth, g_frameHeight;
static PlayerPanoFrameHook g_hook;
static void* g_hookContext;
static int g_creates, g_inits, g_destroys, g_renderCallbacks, g_staleCalls;
/* The view requests. */
static uint32_t g_switches, g_cameraSets, g_regionSets, g_unprojects;
static int32_t g_lastRegion[4];
static RenderCallback g_lastPre, g_lastPost;
static void* g_lastPreContext;
static void* g_lastPostContext;

/* Like a GL driver, the double tears its state down in an exit handler registered when it is
 * loaded, that is after the library that loads it has built its own objects: exit handlers run
 * in reverse order, so the double's goes first. A call that arrives after it is the crash a real
 * renderer would have, made certain. */
static atomic_int g_tornDown;
static void TearDown(void* unused) {
    (void)unused;
    atomic_store(&g_tornDown, 1);
}
/* Registered for this object, as atexit does in the C library: a double that is unloaded takes
 * its handler with it. (The thread sanitizer's atexit keeps every handler until exit, which
 * would then call into the unloaded double.) */
extern void* __dso_handle;
extern int __cxa_atexit(void (*)(void*), void*, void*);
__attribute__((constructor)) static void RegisterTearDown(void) {
    __cxa_atexit(TearDown, NULL, &__dso_handle);
}

static void CheckAlive(void) {
    if (atomic_load(&g_tornDown)) {
        static const char message[] =
            "pano_double: entry called after the process tore the renderer down\n";
        (void)!write(2, message, sizeof message - 1);
        abort();
    }
}

/* Every entry starts here (the create once it knows its handle). */
static void Enter(const char* name, uint32_t handle) {
    CheckAlive();
    pthread_mutex_lock(&g_lock);
    if (g_callCount < PANO_DOUBLE_MAX_CALLS) {
        g_calls[g_callCount].name = name;
        g_calls[g_callCount].handle = handle;
        ++g_callCount;
    }
    pthread_mutex_unlock(&g_lock);
}

/* The live renderer of `handle`, marked busy until Release; NULL (and counted when the handle
 * was once given out) otherwise. */
static Renderer* Acquire(uint32_t handle) {
    pthread_mutex_lock(&g_lock);
    Renderer* renderer = g_renderers[handle % SLOTS];
    if (renderer != NULL && renderer->handle == handle) {
        ++renderer->busy;
    } else {
        if (handle != 0 && handle < g_nextHandle)
            ++g_staleCalls;
        renderer = NULL;
    }
    pthread_mutex_unlock(&g_lock);
    return renderer;
}

static void Release(Renderer* renderer) {
    pthread_mutex_lock(&g_lock);
    --renderer->busy;
    pthread_mutex_unlock(&g_lock);
}

/* ---- Entry points ---- */

PANO_EXPORT uint32_t G_CreatePanoRender(CreateOptions options, const void* params,
                                        uint32_t paramsLen, uint32_t* handle)
    PANO_NAME("_G_CreatePanoRender_20");
PANO_EXPORT uint32_t G_InitPanoRender(uint32_t handle, uintptr_t window)
    PANO_NAME("_G_InitPanoRender_8");
PANO_EXPORT uint32_t G_GetSupportedPanoTypeList(uint32_t handle, uint32_t* types, int32_t* count)
    PANO_NAME("_G_GetSupportedPanoTypeList_12");
PANO_EXPORT uint32_t G_GetViewCamera(uint32_t handle, ViewCamera* camera)
    PANO_NAME("_G_GetViewCamera_8");
PANO_EXPORT uint32_t G_SetViewCamera(uint32_t handle, ViewCamera camera)
    PANO_NAME("_G_SetViewCamera_16");
PANO_EXPORT uint32_t G_SetDrawingRegion(uint32_t handle, int32_t left, int32_t top, int32_t width,
                                        int32_t height) PANO_NAME("_G_SetDrawingRegion_20");
PANO_EXPORT uint32_t G_InputFrame(uint32_t handle, uint32_t streamId, uint32_t width,
                                  uint32_t height, const uint8_t* const* planes,
                                  const uint32_t* strides) PANO_NAME("_G_InputFrame_24");
PANO_EXPORT uint32_t G_GetCurrentPanoType(uint32_t handle, uint32_t* type)
    PANO_NAME("_G_GetCurrentPanoType_8");
PANO_EXPORT uint32_t G_SwitchPanoType(uint32_t handle, uint32_t type)
    PANO_NAME("_G_SwitchPanoType_8");
PANO_EXPORT uint32_t G_SetOutputCallBack(uint32_t handle, OutputCallback callback, float scale,
                                         void* context) PANO_NAME("_G_SetOutputCallBack_16");
PANO_EXPORT uint32_t G_SetPreRenderCallBack(uint32_t handle, RenderCallback callback, void* context)
    PANO_NAME("_G_SetPreRenderCallBack_12");
PANO_EXPORT uint32_t G_CalcViewCamera(uint32_t handle, uint32_t a, uint32_t b, uint32_t c)
    PANO_NAME("_G_CalcViewCamera_16");
PANO_EXPORT uint32_t G_GetCameraParameters(uint32_t handle, uint32_t a, uint32_t b, uint32_t c,
                                           uint32_t d, uint32_t e, uint32_t f)
    PANO_NAME("_G_GetCameraParameters_28");
#ifndef PANO_DOUBLE_PARTIAL
PANO_EXPORT uint32_t G_GetOriginalPanoSize(uint32_t handle, uint32_t* width, uint32_t* height)
    PANO_NAME("_G_GetOriginalPanoSize_12");
PANO_EXPORT uint32_t G_GrabPano(uint32_t handle, uint32_t width, uint32_t height, uint8_t* buffer)
    PANO_NAME("_G_GrabPano_16");
PANO_EXPORT uint32_t G_SetRenderCallBack(uint32_t handle, RenderCallback callback, void* context)
    PANO_NAME("_G_SetRenderCallBack_12");
PANO_EXPORT uint32_t G_UnProject(uint32_t handle, const float* points, uint32_t count,
                                 float* outPoints) PANO_NAME("_G_UnProject_16");
PANO_EXPORT uint32_t G_DestroyPanoRender(uint32_t handle) PANO_NAME("_G_DestroyPanoRender_4");
#endif

uint32_t G_CreatePanoRender(CreateOptions options, const void* params, uint32_t paramsLen,
                            uint32_t* handle) {
    uint32_t created = 0;
    CheckAlive();
    pthread_mutex_lock(&g_lock);
    ++g_creates;
    uint32_t result = g_createResult != 0 ? g_createResult : g_failCode;
    g_lastOptions = options;
    free(g_lastParams);
    g_lastParams = NULL;
    g_lastParamsLen = 0;
    if (params != NULL && paramsLen > 0) {
        g_lastParams = malloc(paramsLen);
        if (g_lastParams != NULL) {
            memcpy(g_lastParams, params, paramsLen);
            g_lastParamsLen = paramsLen;
        }
    }
    if (result == 0) {
        Renderer** slot = &g_renderers[g_nextHandle % SLOTS];
        Renderer* renderer = *slot == NULL ? calloc(1, sizeof *renderer) : NULL;
        if (renderer == NULL || handle == NULL) {
            free(renderer);
            result = FAILED;
        } else {
            renderer->handle = g_nextHandle++;
            renderer->camera.zoom = 1.0f;
            *slot = renderer;
            created = renderer->handle;
            *handle = created;
        }
    }
    pthread_mutex_unlock(&g_lock);
    Enter("G_CreatePanoRender", created);
    return result;
}

uint32_t G_InitPanoRender(uint32_t handle, uintptr_t window) {
    (void)window;
    Enter("G_InitPanoRender", handle);
    Renderer* renderer = Acquire(handle);
    pthread_mutex_lock(&g_lock);
    ++g_inits;
    const uint32_t result = renderer != NULL ? g_failCode : UNKNOWN;
    pthread_mutex_unlock(&g_lock);
    if (renderer != NULL)
        Release(renderer);
    return result;
}

uint32_t G_GetSupportedPanoTypeList(uint32_t handle, uint32_t* types, int32_t* count) {
    static const uint32_t kTypes[] = {0, 12, 13};
    Enter("G_GetSupportedPanoTypeList", handle);
    if (count == NULL)
        return FAILED;
    const int32_t needed = (int32_t)(sizeof(kTypes) / sizeof(kTypes[0]));
    if (types == NULL || *count < needed) {
        *count = needed;
        return FAILED;
    }
    memcpy(types, kTypes, sizeof(kTypes));
    *count = needed;
    return 0;
}

uint32_t G_GetViewCamera(uint32_t handle, ViewCamera* camera) {
    Enter("G_GetViewCamera", handle);
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return UNKNOWN;
    pthread_mutex_lock(&g_lock);
    if (camera != NULL)
        *camera = renderer->camera;
    pthread_mutex_unlock(&g_lock);
    Release(renderer);
    return 0;
}

uint32_t G_SetViewCamera(uint32_t handle, ViewCamera camera) {
    Enter("G_SetViewCamera", handle);
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return UNKNOWN;
    /* Like a renderer that takes requests from any host thread, under its own lock. */
    pthread_mutex_lock(&g_lock);
    renderer->camera = camera;
    ++g_cameraSets;
    pthread_mutex_unlock(&g_lock);
    Release(renderer);
    return 0;
}

uint32_t G_SetDrawingRegion(uint32_t handle, int32_t left, int32_t top, int32_t width,
                            int32_t height) {
    Enter("G_SetDrawingRegion", handle);
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return UNKNOWN;
    const int32_t region[4] = {left, top, width, height};
    pthread_mutex_lock(&g_lock);
    memcpy(renderer->region, region, sizeof region);
    memcpy(g_lastRegion, region, sizeof region);
    ++g_regionSets;
    pthread_mutex_unlock(&g_lock);
    Release(renderer);
    return 0;
}

/* Chroma planes of odd sizes hold their last column and row as well. */
uint32_t G_InputFrame(uint32_t handle, uint32_t streamId, uint32_t width, uint32_t height,
                      const uint8_t* const* planes, const uint32_t* strides) {
    (void)streamId;
    Enter("G_InputFrame", handle);
    if (planes == NULL || strides == NULL || width == 0 || height == 0 || width > MAX_PICTURE ||
        height > MAX_PICTURE) {
        return FAILED;
    }
    const uint32_t cw = (width + 1) / 2, ch = (height + 1) / 2;
    const size_t bytes = (size_t)width * height + 2u * (size_t)cw * ch;
    uint8_t* copy = malloc(bytes);
    uint8_t* last = malloc(bytes);
    if (copy == NULL || last == NULL) {
        free(copy);
        free(last);
        return FAILED;
    }
    uint8_t* out = copy;
    for (uint32_t y = 0; y < height; ++y, out += width)
        memcpy(out, planes[0] + (size_t)y * strides[0], width);
    for (int p = 1; p < 3; ++p) {
        for (uint32_t y = 0; y < ch; ++y, out += cw)
            memcpy(out, planes[p] + (size_t)y * strides[p], cw);
    }
    memcpy(last, copy, bytes);
    pthread_mutex_lock(&g_lock);
    free(g_frame);
    g_frame = last;
    g_frameWidth = width;
    g_frameHeight = height;
    const int index = g_frameCount++;
    if (index < PLAYER_PANO_MAX_FRAMES) {
        g_frames[index].width = width;
        g_frames[index].height = height;
        g_frames[index].yuv = copy;
        copy = NULL;
    }
    PlayerPanoFrameHook hook = g_hook;
    void* context = g_hookContext;
    pthread_cond_broadcast(&g_arrived);
    pthread_mutex_unlock(&g_lock);
    free(copy);
    if (hook)
        hook(index, context);
    return 0;
}

uint32_t G_GetCurrentPanoType(uint32_t handle, uint32_t* type) {
    Enter("G_GetCurrentPanoType", handle);
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return UNKNOWN;
    if (type != NULL)
        *type = renderer->panoType;
    Release(renderer);
    return type != NULL ? 0 : FAILED;
}

uint32_t G_SwitchPanoType(uint32_t handle, uint32_t type) {
    Enter("G_SwitchPanoType", handle);
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return UNKNOWN;
    renderer->panoType = type;
    pthread_mutex_lock(&g_lock);
    ++g_switches;
    pthread_mutex_unlock(&g_lock);
    Release(renderer);
    return 0;
}

uint32_t G_SetOutputCallBack(uint32_t handle, OutputCallback callback, float scale, void* context) {
    Enter("G_SetOutputCallBack", handle);
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return UNKNOWN;
    pthread_mutex_lock(&g_lock);
    renderer->output = callback;
    renderer->outputScale = scale;
    renderer->outputContext = context;
    pthread_mutex_unlock(&g_lock);
    Release(renderer);
    return 0;
}

uint32_t G_SetPreRenderCallBack(uint32_t handle, RenderCallback callback, void* context) {
    Enter("G_SetPreRenderCallBack", handle);
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return UNKNOWN;
    pthread_mutex_lock(&g_lock);
    renderer->preRender = callback;
    renderer->preRenderContext = context;
    g_lastPre = callback;
    g_lastPreContext = context;
    pthread_mutex_unlock(&g_lock);
    Release(renderer);
    return 0;
}

uint32_t G_CalcViewCamera(uint32_t handle, uint32_t a, uint32_t b, uint32_t c) {
    (void)a, (void)b, (void)c;
    Enter("G_CalcViewCamera", handle);
    return 0;
}

uint32_t G_GetCameraParameters(uint32_t handle, uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                               uint32_t e, uint32_t f) {
    (void)a, (void)b, (void)c, (void)d, (void)e, (void)f;
    Enter("G_GetCameraParameters", handle);
    return 0;
}

#ifndef PANO_DOUBLE_PARTIAL
uint32_t G_GetOriginalPanoSize(uint32_t handle, uint32_t* width, uint32_t* height) {
    Enter("G_GetOriginalPanoSize", handle);
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return UNKNOWN;
    pthread_mutex_lock(&g_lock);
    if (width != NULL)
        *width = g_frame != NULL ? g_frameWidth : DEFAULT_WIDTH;
    if (height != NULL)
        *height = g_frame != NULL ? g_frameHeight : DEFAULT_HEIGHT;
    pthread_mutex_unlock(&g_lock);
    Release(renderer);
    return 0;
}

uint32_t G_GrabPano(uint32_t handle, uint32_t width, uint32_t height, uint8_t* buffer) {
    Enter("G_GrabPano", handle);
    if (buffer == NULL)
        return FAILED;
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return UNKNOWN;
    pthread_mutex_lock(&g_lock);
    const int original = width == (g_frame != NULL ? g_frameWidth : DEFAULT_WIDTH) &&
                         height == (g_frame != NULL ? g_frameHeight : DEFAULT_HEIGHT);
    pthread_mutex_unlock(&g_lock);
    if (original) {
        const size_t stride = (((size_t)width * 24 + 31) / 32) * 4;
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                uint8_t* p = buffer + y * stride + (size_t)x * 3;
                p[0] = (uint8_t)x;
                p[1] = (uint8_t)y;
                p[2] = (uint8_t)(x + y);
            }
        }
    }
    Release(renderer);
    return original ? 0 : WRONG_SIZE;
}

uint32_t G_SetRenderCallBack(uint32_t handle, RenderCallback callback, void* context) {
    Enter("G_SetRenderCallBack", handle);
    Renderer* renderer = Acquire(handle);
    pthread_mutex_lock(&g_lock);
    ++g_renderCallbacks;
    if (renderer != NULL) {
        renderer->render = callback;
        renderer->renderContext = context;
        g_lastPost = callback;
        g_lastPostContext = context;
    }
    pthread_mutex_unlock(&g_lock);
    if (renderer == NULL)
        return UNKNOWN;
    Release(renderer);
    return 0;
}

uint32_t G_UnProject(uint32_t handle, const float* points, uint32_t count, float* outPoints) {
    Enter("G_UnProject", handle);
    if (points == NULL || outPoints == NULL)
        return FAILED;
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return UNKNOWN;
    for (uint32_t i = 0; i < count; ++i) {
        outPoints[2 * (size_t)i] = points[2 * (size_t)i] * 2.0f;
        outPoints[2 * (size_t)i + 1] = points[2 * (size_t)i + 1] + 1.0f;
    }
    pthread_mutex_lock(&g_lock);
    ++g_unprojects;
    pthread_mutex_unlock(&g_lock);
    Release(renderer);
    return 0;
}

uint32_t G_DestroyPanoRender(uint32_t handle) {
    Enter("G_DestroyPanoRender", handle);
    pthread_mutex_lock(&g_lock);
    ++g_destroys;
    Renderer* renderer = g_renderers[handle % SLOTS];
    if (renderer != NULL && renderer->handle == handle) {
        if (renderer->busy != 0)
            ++g_staleCalls;
        g_renderers[handle % SLOTS] = NULL;
    } else {
        renderer = NULL;
        if (handle != 0 && handle < g_nextHandle)
            ++g_staleCalls;
    }
    pthread_mutex_unlock(&g_lock);
    free(renderer);
    return renderer != NULL ? 0 : UNKNOWN;
}
#endif

/* The copies go with the library when it is unloaded. */
__attribute__((destructor)) static void ReleaseCopies(void) {
    for (int i = 0; i < PLAYER_PANO_MAX_FRAMES; ++i)
        free(g_frames[i].yuv);
    free(g_frame);
    free(g_lastParams);
    for (int i = 0; i < SLOTS; ++i)
        free(g_renderers[i]);
}

/* ---- Queries for the tests ---- */

static void ResetAll(void) {
    pthread_mutex_lock(&g_lock);
    g_callCount = 0;
    g_failCode = g_createResult = 0;
    for (int i = 0; i < PLAYER_PANO_MAX_FRAMES; ++i) {
        free(g_frames[i].yuv);
        g_frames[i].yuv = NULL;
    }
    g_frameCount = 0;
    g_hook = NULL;
    g_hookContext = NULL;
    g_creates = g_inits = g_destroys = g_renderCallbacks = g_staleCalls = 0;
    g_switches = g_cameraSets = g_regionSets = g_unprojects = 0;
    memset(g_lastRegion, 0, sizeof g_lastRegion);
    pthread_mutex_unlock(&g_lock);
}

PANO_EXPORT void PanoDouble_Reset(void) {
    ResetAll();
}

PANO_EXPORT int PanoDouble_CallCount(void) {
    pthread_mutex_lock(&g_lock);
    const int count = g_callCount;
    pthread_mutex_unlock(&g_lock);
    return count;
}

PANO_EXPORT const char* PanoDouble_CallName(int index) {
    pthread_mutex_lock(&g_lock);
    const char* name = index >= 0 && index < g_callCount ? g_calls[index].name : NULL;
    pthread_mutex_unlock(&g_lock);
    return name;
}

PANO_EXPORT uint32_t PanoDouble_CallHandle(int index) {
    pthread_mutex_lock(&g_lock);
    const uint32_t handle = index >= 0 && index < g_callCount ? g_calls[index].handle : 0;
    pthread_mutex_unlock(&g_lock);
    return handle;
}

PANO_EXPORT void PanoDouble_SetFailCode(uint32_t code) {
    pthread_mutex_lock(&g_lock);
    g_failCode = code;
    pthread_mutex_unlock(&g_lock);
}

PANO_EXPORT int PanoDouble_LastFrame(uint32_t* width, uint32_t* height, const uint8_t** yuv) {
    pthread_mutex_lock(&g_lock);
    const int have = g_frame != NULL;
    if (width != NULL)
        *width = g_frameWidth;
    if (height != NULL)
        *height = g_frameHeight;
    if (yuv != NULL)
        *yuv = g_frame;
    pthread_mutex_unlock(&g_lock);
    return have;
}

PANO_EXPORT int PanoDouble_LastCreate(uint32_t options[2], const uint8_t** params,
                                      uint32_t* paramsLen) {
    pthread_mutex_lock(&g_lock);
    if (options != NULL) {
        options[0] = g_lastOptions.values[0];
        options[1] = g_lastOptions.values[1];
    }
    if (params != NULL)
        *params = g_lastParams;
    if (paramsLen != NULL)
        *paramsLen = g_lastParamsLen;
    pthread_mutex_unlock(&g_lock);
    return 1;
}

PANO_EXPORT int PanoDouble_RunFrame(uint32_t handle, uint32_t width, uint32_t height) {
    Renderer* found = Acquire(handle);
    if (found == NULL)
        return 0;
    pthread_mutex_lock(&g_lock);
    const Renderer r = *found;
    pthread_mutex_unlock(&g_lock);
    int ran = 0;
    if (r.preRender != NULL) {
        r.preRender(r.preRenderContext);
        ++ran;
    }
    if (r.render != NULL) {
        r.render(r.renderContext);
        ++ran;
    }
    if (r.output != NULL && width > 0 && height > 0 && width <= 4096 && height <= 4096) {
        const size_t stride = (size_t)width * 3;
        uint8_t* picture = calloc(stride, height);
        if (picture != NULL) {
            for (size_t i = 0; i < stride * height; ++i)
                picture[i] = (uint8_t)i;
            r.output(width, height, picture, r.outputContext);
            free(picture);
            ++ran;
        }
    }
    Release(found);
    return ran;
}

PANO_EXPORT void PlayerPano_Reset(void) {
    ResetAll();
}

PANO_EXPORT void PlayerPano_SetCreateResult(uint32_t code) {
    pthread_mutex_lock(&g_lock);
    g_createResult = code;
    pthread_mutex_unlock(&g_lock);
}

PANO_EXPORT void PlayerPano_SetFrameHook(PlayerPanoFrameHook hook, void* context) {
    pthread_mutex_lock(&g_lock);
    g_hook = hook;
    g_hookContext = context;
    pthread_mutex_unlock(&g_lock);
}

PANO_EXPORT int PlayerPano_FrameCount(void) {
    pthread_mutex_lock(&g_lock);
    const int n = g_frameCount;
    pthread_mutex_unlock(&g_lock);
    return n;
}

PANO_EXPORT int PlayerPano_WaitFrames(int count, uint32_t timeoutMs) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += (long)(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&g_lock);
    while (g_frameCount < count) {
        if (pthread_cond_timedwait(&g_arrived, &g_lock, &deadline) == ETIMEDOUT)
            break;
    }
    const int n = g_frameCount;
    pthread_mutex_unlock(&g_lock);
    return n;
}

PANO_EXPORT int PlayerPano_Frame(int index, uint32_t* width, uint32_t* height,
                                 const uint8_t** yuv) {
    pthread_mutex_lock(&g_lock);
    const int found = index >= 0 && index < PLAYER_PANO_MAX_FRAMES && index < g_frameCount &&
                      g_frames[index].yuv != NULL;
    if (found) {
        *width = g_frames[index].width;
        *height = g_frames[index].height;
        *yuv = g_frames[index].yuv;
    }
    pthread_mutex_unlock(&g_lock);
    return found;
}

PANO_EXPORT int PlayerPano_Calls(const char* name) {
    pthread_mutex_lock(&g_lock);
    int n = -1;
    if (strcmp(name, "G_CreatePanoRender") == 0) {
        n = g_creates;
    } else if (strcmp(name, "G_InitPanoRender") == 0) {
        n = g_inits;
    } else if (strcmp(name, "G_DestroyPanoRender") == 0) {
        n = g_destroys;
    } else if (strcmp(name, "G_SetRenderCallBack") == 0) {
        n = g_renderCallbacks;
    } else if (strcmp(name, "stale") == 0) {
        n = g_staleCalls;
    }
    pthread_mutex_unlock(&g_lock);
    return n;
}

PANO_EXPORT void ViewPano_Reset(void) {
    ResetAll();
}

PANO_EXPORT uint32_t ViewPano_Count(int which) {
    pthread_mutex_lock(&g_lock);
    const uint32_t counts[4] = {g_switches, g_cameraSets, g_regionSets, g_unprojects};
    pthread_mutex_unlock(&g_lock);
    return which >= 0 && which < 4 ? counts[which] : 0;
}

PANO_EXPORT void ViewPano_Region(int32_t* out) {
    pthread_mutex_lock(&g_lock);
    memcpy(out, g_lastRegion, sizeof g_lastRegion);
    pthread_mutex_unlock(&g_lock);
}

PANO_EXPORT int ViewPano_DrawFrame(void) {
    pthread_mutex_lock(&g_lock);
    RenderCallback pre = g_lastPre, post = g_lastPost;
    void* preContext = g_lastPreContext;
    void* postContext = g_lastPostContext;
    pthread_mutex_unlock(&g_lock);
    if (pre)
        pre(preContext);
    if (post)
        post(postContext);
    return (pre != 0) + (post != 0);
}
