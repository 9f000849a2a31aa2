/* External renderer double for the player tests: keeps copies of the pictures it is given and
 * lets a test wait for them. Exports the plain entry names. */

#include "player_pano_double.h"

#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

typedef struct { uint32_t values[2]; } CreateOptions;
typedef void (*RenderCallback)(void* context);

typedef struct {
    uint32_t width, height;
    uint8_t* yuv;
} Kept;

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_arrived = PTHREAD_COND_INITIALIZER;
static Kept g_frames[PLAYER_PANO_MAX_FRAMES];
static int g_frameCount;
static uint32_t g_createResult;
static uint32_t g_nextHandle = 1;
static int g_creates, g_inits, g_destroys, g_renderCallbacks;
static PlayerPanoFrameHook g_hook;
static void* g_hookContext;

/* Each renderer keeps its state on the heap, as a real one does, and the destroy frees it. A
 * view or capture entry called with a handle already destroyed, or a destroy that comes while an
 * entry is still using the handle, is what crashes a real renderer: the double counts both
 * ("stale" in PlayerPano_Calls). */
#define PANO_SLOTS 64
#define PANO_PICTURE_WIDTH 320
#define PANO_PICTURE_HEIGHT 240
typedef struct {
    uint32_t handle;
    int busy;
    uint32_t type;
    float camera[3];
    int32_t region[4];
    uint8_t* picture; /* BGR, PANO_PICTURE_WIDTH x PANO_PICTURE_HEIGHT */
} Renderer;
static Renderer* g_renderers[PANO_SLOTS];
static int g_staleCalls;

/* Like a GL driver, the double tears its state down in an exit handler registered when it is
 * loaded, that is after the library that loads it has built its own objects: exit handlers run
 * in reverse order, so the double's goes first. A call that arrives after it is the crash a real
 * renderer would have, made certain. */
static atomic_int g_tornDown;
static void TearDown(void) { atomic_store(&g_tornDown, 1); }
__attribute__((constructor)) static void RegisterTearDown(void) { atexit(TearDown); }
static void CheckAlive(void) {
    if (atomic_load(&g_tornDown)) {
        static const char message[] = "player_pano_double: entry called after the process tore the renderer down\n";
        (void)!write(2, message, sizeof message - 1);
        abort();
    }
}

EXPORT void PlayerPano_Reset(void) {
    pthread_mutex_lock(&g_lock);
    for (int i = 0; i < PLAYER_PANO_MAX_FRAMES; ++i) {
        free(g_frames[i].yuv);
        g_frames[i].yuv = NULL;
    }
    g_frameCount = 0;
    g_createResult = 0;
    g_creates = g_inits = g_destroys = g_renderCallbacks = 0;
    g_hook = NULL;
    g_hookContext = NULL;
    g_staleCalls = 0;
    pthread_mutex_unlock(&g_lock);
}

EXPORT void PlayerPano_SetCreateResult(uint32_t code) {
    pthread_mutex_lock(&g_lock);
    g_createResult = code;
    pthread_mutex_unlock(&g_lock);
}

EXPORT void PlayerPano_SetFrameHook(PlayerPanoFrameHook hook, void* context) {
    pthread_mutex_lock(&g_lock);
    g_hook = hook;
    g_hookContext = context;
    pthread_mutex_unlock(&g_lock);
}

EXPORT int PlayerPano_FrameCount(void) {
    pthread_mutex_lock(&g_lock);
    const int n = g_frameCount;
    pthread_mutex_unlock(&g_lock);
    return n;
}

EXPORT int PlayerPano_WaitFrames(int count, uint32_t timeoutMs) {
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
        if (pthread_cond_timedwait(&g_arrived, &g_lock, &deadline) == ETIMEDOUT) break;
    }
    const int n = g_frameCount;
    pthread_mutex_unlock(&g_lock);
    return n;
}

EXPORT int PlayerPano_Frame(int index, uint32_t* width, uint32_t* height, const uint8_t** yuv) {
    pthread_mutex_lock(&g_lock);
    int found = index >= 0 && index < PLAYER_PANO_MAX_FRAMES && index < g_frameCount && g_frames[index].yuv;
    if (found) {
        *width = g_frames[index].width;
        *height = g_frames[index].height;
        *yuv = g_frames[index].yuv;
    }
    pthread_mutex_unlock(&g_lock);
    return found;
}

EXPORT int PlayerPano_Calls(const char* name) {
    pthread_mutex_lock(&g_lock);
    int n = -1;
    if (strcmp(name, "G_CreatePanoRender") == 0) n = g_creates;
    else if (strcmp(name, "G_InitPanoRender") == 0) n = g_inits;
    else if (strcmp(name, "G_DestroyPanoRender") == 0) n = g_destroys;
    else if (strcmp(name, "G_SetRenderCallBack") == 0) n = g_renderCallbacks;
    else if (strcmp(name, "stale") == 0)
        n = g_staleCalls;
    pthread_mutex_unlock(&g_lock);
    return n;
}

/* ---- Entry points ---- */

EXPORT uint32_t G_CreatePanoRender(CreateOptions options, const void* params, uint32_t paramsLen,
                                   uint32_t* handle) {
    CheckAlive();
    (void)options;
    (void)params;
    (void)paramsLen;
    pthread_mutex_lock(&g_lock);
    ++g_creates;
    uint32_t result = g_createResult;
    if (result == 0) {
        Renderer* renderer = calloc(1, sizeof *renderer);
        uint8_t* picture = malloc((size_t)PANO_PICTURE_WIDTH * PANO_PICTURE_HEIGHT * 3);
        Renderer** slot = &g_renderers[g_nextHandle % PANO_SLOTS];
        if (renderer == NULL || picture == NULL || *slot != NULL) {
            free(renderer);
            free(picture);
            result = 0x80000001u; /* no room: a failure the library reports */
        } else {
            memset(picture, 0x80, (size_t)PANO_PICTURE_WIDTH * PANO_PICTURE_HEIGHT * 3);
            renderer->handle = g_nextHandle;
            renderer->camera[2] = 1.0f;
            renderer->picture = picture;
            *slot = renderer;
            *handle = g_nextHandle++;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return result;
}

/* The live renderer of `handle`, marked busy until Release; NULL (and counted when the handle
 * was once given out) otherwise. */
static Renderer* Acquire(uint32_t handle) {
    pthread_mutex_lock(&g_lock);
    Renderer* renderer = g_renderers[handle % PANO_SLOTS];
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

EXPORT uint32_t G_InitPanoRender(uint32_t handle, uintptr_t window) {
    CheckAlive();
    (void)handle;
    (void)window;
    pthread_mutex_lock(&g_lock);
    ++g_inits;
    pthread_mutex_unlock(&g_lock);
    return 0;
}

EXPORT uint32_t G_InputFrame(uint32_t handle, uint32_t streamId, uint32_t width, uint32_t height,
                             const uint8_t* const* planes, const uint32_t* strides) {
    CheckAlive();
    (void)handle;
    (void)streamId;
    /* Chroma planes of odd sizes hold their last column and row as well. */
    const uint32_t cw = (width + 1) / 2, ch = (height + 1) / 2;
    uint8_t* copy = malloc((size_t)width * height + 2u * cw * ch);
    if (copy) {
        uint8_t* out = copy;
        for (uint32_t y = 0; y < height; ++y, out += width) memcpy(out, planes[0] + (size_t)y * strides[0], width);
        for (int p = 1; p < 3; ++p) {
            for (uint32_t y = 0; y < ch; ++y, out += cw) memcpy(out, planes[p] + (size_t)y * strides[p], cw);
        }
    }
    pthread_mutex_lock(&g_lock);
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
    if (hook) hook(index, context);
    return 0;
}

EXPORT uint32_t G_SetRenderCallBack(uint32_t handle, RenderCallback callback, void* context) {
    CheckAlive();
    (void)handle;
    (void)callback;
    (void)context;
    pthread_mutex_lock(&g_lock);
    ++g_renderCallbacks;
    pthread_mutex_unlock(&g_lock);
    return 0;
}

EXPORT uint32_t G_DestroyPanoRender(uint32_t handle) {
    CheckAlive();
    pthread_mutex_lock(&g_lock);
    ++g_destroys;
    Renderer* renderer = g_renderers[handle % PANO_SLOTS];
    if (renderer != NULL && renderer->handle == handle) {
        if (renderer->busy != 0)
            ++g_staleCalls;
        g_renderers[handle % PANO_SLOTS] = NULL;
    } else {
        renderer = NULL;
        if (handle != 0 && handle < g_nextHandle)
            ++g_staleCalls;
    }
    pthread_mutex_unlock(&g_lock);
    if (renderer != NULL) {
        free(renderer->picture);
        free(renderer);
    }
    return 0;
}

/* View and capture entries: they keep the request in the renderer's state. */
typedef struct {
    float pan, tilt, zoom;
} Camera;

EXPORT uint32_t G_SetDrawingRegion(uint32_t handle, int32_t left, int32_t top, int32_t width,
                                   int32_t height) {
    CheckAlive();
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return 0x80000002u;
    renderer->region[0] = left;
    renderer->region[1] = top;
    renderer->region[2] = width;
    renderer->region[3] = height;
    Release(renderer);
    return 0;
}

EXPORT uint32_t G_SwitchPanoType(uint32_t handle, uint32_t type) {
    CheckAlive();
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return 0x80000002u;
    renderer->type = type;
    Release(renderer);
    return 0;
}

EXPORT uint32_t G_SetViewCamera(uint32_t handle, Camera camera) {
    CheckAlive();
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return 0x80000002u;
    renderer->camera[0] = camera.pan;
    renderer->camera[1] = camera.tilt;
    renderer->camera[2] = camera.zoom;
    Release(renderer);
    return 0;
}

EXPORT uint32_t G_GetViewCamera(uint32_t handle, Camera* camera) {
    CheckAlive();
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return 0x80000002u;
    camera->pan = renderer->camera[0];
    camera->tilt = renderer->camera[1];
    camera->zoom = renderer->camera[2];
    Release(renderer);
    return 0;
}

EXPORT uint32_t G_GetOriginalPanoSize(uint32_t handle, uint32_t* width, uint32_t* height) {
    CheckAlive();
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return 0x80000002u;
    *width = PANO_PICTURE_WIDTH;
    *height = PANO_PICTURE_HEIGHT;
    Release(renderer);
    return 0;
}

/* Rows of 4-byte aligned BGR, bottom row first, as the library's bitmap writer expects. */
EXPORT uint32_t G_GrabPano(uint32_t handle, uint32_t width, uint32_t height, uint8_t* out) {
    CheckAlive();
    Renderer* renderer = Acquire(handle);
    if (renderer == NULL)
        return 0x80000002u;
    uint32_t result = 0x80000003u;
    if (width == PANO_PICTURE_WIDTH && height == PANO_PICTURE_HEIGHT) {
        const size_t row = (size_t)width * 3, stride = (row + 3) / 4 * 4;
        for (uint32_t y = 0; y < height; ++y)
            memcpy(out + y * stride, renderer->picture + y * row, row);
        result = 0;
    }
    Release(renderer);
    return result;
}
