/* A stand-in for the external panorama renderer library. It records every call, copies the
 * pictures it is given and keeps the callbacks it is handed, so that tests can check what the
 * player asked of it.
 *
 * Built three ways: PANO_DOUBLE_DECORATED gives the entry points placeholder names
 * ("_G_CreatePanoRender_20") that the build renames to the decorated ones after linking;
 * without it the plain names ("G_CreatePanoRender") are exported; PANO_DOUBLE_PARTIAL leaves
 * out the size, grab, unproject, render-callback and destroy entries. */

#include "pano_double.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#define PANO_EXPORT __attribute__((visibility("default")))
#ifdef PANO_DOUBLE_DECORATED
#define PANO_NAME(placeholder) __asm__(placeholder)
#else
#define PANO_NAME(placeholder)
#endif

typedef struct { float pan, tilt, zoom; } ViewCamera;
typedef struct { uint32_t values[2]; } CreateOptions;
typedef void (*OutputCallback)(uint32_t width, uint32_t height, const uint8_t* data, void* context);
typedef void (*RenderCallback)(void* context);

#define MAX_HANDLES 16

typedef struct {
    int used;
    ViewCamera camera;
    uint32_t panoType;
    int32_t left, top, width, height;
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

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static Call g_calls[PANO_DOUBLE_MAX_CALLS];
static int g_callCount;
static uint32_t g_failCode;
static Renderer g_renderers[MAX_HANDLES];
static uint8_t* g_frame;
static uint32_t g_frameWidth, g_frameHeight;
static CreateOptions g_lastOptions;
static uint8_t* g_lastParams;
static uint32_t g_lastParamsLen;

static void Record(const char* name, uint32_t handle) {
    pthread_mutex_lock(&g_lock);
    if (g_callCount < PANO_DOUBLE_MAX_CALLS) {
        g_calls[g_callCount].name = name;
        g_calls[g_callCount].handle = handle;
        ++g_callCount;
    }
    pthread_mutex_unlock(&g_lock);
}

/* Caller holds g_lock. */
static Renderer* Find(uint32_t handle) {
    if (handle == 0 || handle > MAX_HANDLES || !g_renderers[handle - 1].used) return NULL;
    return &g_renderers[handle - 1];
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
PANO_EXPORT uint32_t G_SetPreRenderCallBack(uint32_t handle, RenderCallback callback,
                                            void* context) PANO_NAME("_G_SetPreRenderCallBack_12");
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
    pthread_mutex_lock(&g_lock);
    uint32_t result = g_failCode;
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
        result = 1;  /* no free slot */
        for (int i = 0; i < MAX_HANDLES; ++i) {
            if (!g_renderers[i].used) {
                memset(&g_renderers[i], 0, sizeof(g_renderers[i]));
                g_renderers[i].used = 1;
                g_renderers[i].camera.zoom = 1.0f;
                created = (uint32_t)i + 1;
                result = 0;
                break;
            }
        }
    }
    pthread_mutex_unlock(&g_lock);
    if (handle != NULL && result == 0) *handle = created;
    Record("G_CreatePanoRender", created);
    return result;
}

uint32_t G_InitPanoRender(uint32_t handle, uintptr_t window) {
    (void)window;
    Record("G_InitPanoRender", handle);
    pthread_mutex_lock(&g_lock);
    uint32_t result = Find(handle) != NULL ? g_failCode : 1;
    pthread_mutex_unlock(&g_lock);
    return result;
}

uint32_t G_GetSupportedPanoTypeList(uint32_t handle, uint32_t* types, int32_t* count) {
    static const uint32_t kTypes[] = {0, 11, 13};
    Record("G_GetSupportedPanoTypeList", handle);
    if (count == NULL) return 1;
    const int32_t needed = (int32_t)(sizeof(kTypes) / sizeof(kTypes[0]));
    if (types == NULL || *count < needed) {
        *count = needed;
        return 1;
    }
    memcpy(types, kTypes, sizeof(kTypes));
    *count = needed;
    return 0;
}

uint32_t G_GetViewCamera(uint32_t handle, ViewCamera* camera) {
    Record("G_GetViewCamera", handle);
    pthread_mutex_lock(&g_lock);
    Renderer* r = Find(handle);
    if (r != NULL && camera != NULL) *camera = r->camera;
    pthread_mutex_unlock(&g_lock);
    return r != NULL ? 0 : 1;
}

uint32_t G_SetViewCamera(uint32_t handle, ViewCamera camera) {
    Record("G_SetViewCamera", handle);
    pthread_mutex_lock(&g_lock);
    Renderer* r = Find(handle);
    if (r != NULL) r->camera = camera;
    pthread_mutex_unlock(&g_lock);
    return r != NULL ? 0 : 1;
}

uint32_t G_SetDrawingRegion(uint32_t handle, int32_t left, int32_t top, int32_t width,
                            int32_t height) {
    Record("G_SetDrawingRegion", handle);
    pthread_mutex_lock(&g_lock);
    Renderer* r = Find(handle);
    if (r != NULL) {
        r->left = left;
        r->top = top;
        r->width = width;
        r->height = height;
    }
    pthread_mutex_unlock(&g_lock);
    return r != NULL ? 0 : 1;
}

uint32_t G_InputFrame(uint32_t handle, uint32_t streamId, uint32_t width, uint32_t height,
                      const uint8_t* const* planes, const uint32_t* strides) {
    (void)streamId;
    Record("G_InputFrame", handle);
    if (planes == NULL || strides == NULL || width == 0 || height == 0 || width > 16384 ||
        height > 16384) {
        return 1;
    }
    const size_t lumaSize = (size_t)width * height;
    const uint32_t chromaWidth = (width + 1) / 2, chromaHeight = (height + 1) / 2;
    uint8_t* copy = malloc(lumaSize + 2 * (size_t)chromaWidth * chromaHeight);
    if (copy == NULL) return 1;
    uint8_t* out = copy;
    for (uint32_t row = 0; row < height; ++row, out += width) {
        memcpy(out, planes[0] + (size_t)row * strides[0], width);
    }
    for (int plane = 1; plane <= 2; ++plane) {
        for (uint32_t row = 0; row < chromaHeight; ++row, out += chromaWidth) {
            memcpy(out, planes[plane] + (size_t)row * strides[plane], chromaWidth);
        }
    }
    pthread_mutex_lock(&g_lock);
    free(g_frame);
    g_frame = copy;
    g_frameWidth = width;
    g_frameHeight = height;
    pthread_mutex_unlock(&g_lock);
    return 0;
}

uint32_t G_GetCurrentPanoType(uint32_t handle, uint32_t* type) {
    Record("G_GetCurrentPanoType", handle);
    pthread_mutex_lock(&g_lock);
    Renderer* r = Find(handle);
    if (r != NULL && type != NULL) *type = r->panoType;
    pthread_mutex_unlock(&g_lock);
    return r != NULL && type != NULL ? 0 : 1;
}

uint32_t G_SwitchPanoType(uint32_t handle, uint32_t type) {
    Record("G_SwitchPanoType", handle);
    pthread_mutex_lock(&g_lock);
    Renderer* r = Find(handle);
    if (r != NULL) r->panoType = type;
    pthread_mutex_unlock(&g_lock);
    return r != NULL ? 0 : 1;
}

uint32_t G_SetOutputCallBack(uint32_t handle, OutputCallback callback, float scale,
                             void* context) {
    Record("G_SetOutputCallBack", handle);
    pthread_mutex_lock(&g_lock);
    Renderer* r = Find(handle);
    if (r != NULL) {
        r->output = callback;
        r->outputScale = scale;
        r->outputContext = context;
    }
    pthread_mutex_unlock(&g_lock);
    return r != NULL ? 0 : 1;
}

uint32_t G_SetPreRenderCallBack(uint32_t handle, RenderCallback callback, void* context) {
    Record("G_SetPreRenderCallBack", handle);
    pthread_mutex_lock(&g_lock);
    Renderer* r = Find(handle);
    if (r != NULL) {
        r->preRender = callback;
        r->preRenderContext = context;
    }
    pthread_mutex_unlock(&g_lock);
    return r != NULL ? 0 : 1;
}

uint32_t G_CalcViewCamera(uint32_t handle, uint32_t a, uint32_t b, uint32_t c) {
    (void)a, (void)b, (void)c;
    Record("G_CalcViewCamera", handle);
    return 0;
}

uint32_t G_GetCameraParameters(uint32_t handle, uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                               uint32_t e, uint32_t f) {
    (void)a, (void)b, (void)c, (void)d, (void)e, (void)f;
    Record("G_GetCameraParameters", handle);
    return 0;
}

#ifndef PANO_DOUBLE_PARTIAL
uint32_t G_GetOriginalPanoSize(uint32_t handle, uint32_t* width, uint32_t* height) {
    Record("G_GetOriginalPanoSize", handle);
    pthread_mutex_lock(&g_lock);
    const int known = Find(handle) != NULL && g_frame != NULL;
    if (known && width != NULL) *width = g_frameWidth;
    if (known && height != NULL) *height = g_frameHeight;
    pthread_mutex_unlock(&g_lock);
    return known ? 0 : 1;
}

/* A grey ramp picture, B, G, R rows padded to 4 bytes. */
static void FillPicture(uint8_t* buffer, uint32_t width, uint32_t height) {
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

uint32_t G_GrabPano(uint32_t handle, uint32_t width, uint32_t height, uint8_t* buffer) {
    Record("G_GrabPano", handle);
    if (buffer == NULL) return 1;
    FillPicture(buffer, width, height);
    return 0;
}

uint32_t G_SetRenderCallBack(uint32_t handle, RenderCallback callback, void* context) {
    Record("G_SetRenderCallBack", handle);
    pthread_mutex_lock(&g_lock);
    Renderer* r = Find(handle);
    if (r != NULL) {
        r->render = callback;
        r->renderContext = context;
    }
    pthread_mutex_unlock(&g_lock);
    return r != NULL ? 0 : 1;
}

uint32_t G_UnProject(uint32_t handle, const float* points, uint32_t count, float* outPoints) {
    Record("G_UnProject", handle);
    if (points == NULL || outPoints == NULL) return 1;
    /* A fixed mapping tests can predict: (x, y) -> (x * 2, y + 1). */
    for (uint32_t i = 0; i < count; ++i) {
        outPoints[2 * i] = points[2 * i] * 2.0f;
        outPoints[2 * i + 1] = points[2 * i + 1] + 1.0f;
    }
    return 0;
}

uint32_t G_DestroyPanoRender(uint32_t handle) {
    Record("G_DestroyPanoRender", handle);
    pthread_mutex_lock(&g_lock);
    Renderer* r = Find(handle);
    if (r != NULL) r->used = 0;
    pthread_mutex_unlock(&g_lock);
    return r != NULL ? 0 : 1;
}
#endif

/* The copies go with the library when it is unloaded. */
__attribute__((destructor)) static void ReleaseCopies(void) {
    free(g_frame);
    g_frame = NULL;
    free(g_lastParams);
    g_lastParams = NULL;
}

/* ---- Queries for the tests ---- */

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

PANO_EXPORT void PanoDouble_Reset(void) {
    pthread_mutex_lock(&g_lock);
    g_callCount = 0;
    g_failCode = 0;
    pthread_mutex_unlock(&g_lock);
}

PANO_EXPORT void PanoDouble_SetFailCode(uint32_t code) {
    pthread_mutex_lock(&g_lock);
    g_failCode = code;
    pthread_mutex_unlock(&g_lock);
}

PANO_EXPORT int PanoDouble_LastFrame(uint32_t* width, uint32_t* height, const uint8_t** yuv) {
    pthread_mutex_lock(&g_lock);
    const int have = g_frame != NULL;
    if (width != NULL) *width = g_frameWidth;
    if (height != NULL) *height = g_frameHeight;
    if (yuv != NULL) *yuv = g_frame;
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
    if (params != NULL) *params = g_lastParams;
    if (paramsLen != NULL) *paramsLen = g_lastParamsLen;
    pthread_mutex_unlock(&g_lock);
    return 1;
}

PANO_EXPORT int PanoDouble_RunFrame(uint32_t handle, uint32_t width, uint32_t height) {
    pthread_mutex_lock(&g_lock);
    Renderer* found = Find(handle);
    Renderer r;
    if (found != NULL) r = *found;
    pthread_mutex_unlock(&g_lock);
    if (found == NULL) return 0;
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
            for (size_t i = 0; i < stride * height; ++i) picture[i] = (uint8_t)i;
            r.output(width, height, picture, r.outputContext);
            free(picture);
            ++ran;
        }
    }
    return ran;
}
