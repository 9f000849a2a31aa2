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
    const uint32_t result = g_createResult;
    if (result == 0) *handle = g_nextHandle++;
    pthread_mutex_unlock(&g_lock);
    return result;
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
    (void)handle;
    pthread_mutex_lock(&g_lock);
    ++g_destroys;
    pthread_mutex_unlock(&g_lock);
    return 0;
}
