#pragma once
// Entry points of the optional external panorama renderer library (libPanoRenderOGL.so), which
// renders the ports whose render model is -1. Handles are 32-bit; results are 0 on success.

#include <quorixsdk.h>

#include <cstdint>
#include <functional>

// The view camera exchanged with the external renderer.
struct ViewCamera {
    float pan;
    float tilt;
    float zoom;
};

// Creation options passed by value; the player always passes {0, 1}.
struct GPanoCreateOptions {
    uint32_t values[2];
};

using GPanoOutputCallback = void (*)(uint32_t width, uint32_t height, const uint8_t* data,
                                     void* context);
using GPanoRenderCallback = void (*)(void* context);

// The function table. An entry the library does not export stays null; the player then answers
// QUORIX_E_NOT_IMPL or skips the call, entry by entry.
struct CGPano {
    using CreateFn = uint32_t (*)(GPanoCreateOptions options, const void* params,
                                  uint32_t paramsLen, uint32_t* handle);
    using InitFn = uint32_t (*)(uint32_t handle, QUORIX_HWND window);
    using GetTypeListFn = uint32_t (*)(uint32_t handle, uint32_t* types, int32_t* count);
    using GetViewCameraFn = uint32_t (*)(uint32_t handle, ViewCamera* camera);
    using GetOriginalSizeFn = uint32_t (*)(uint32_t handle, uint32_t* width, uint32_t* height);
    using SetViewCameraFn = uint32_t (*)(uint32_t handle, ViewCamera camera);
    using SetDrawingRegionFn = uint32_t (*)(uint32_t handle, int32_t left, int32_t top,
                                            int32_t width, int32_t height);
    // planes and strides are three entries each: Y, U, V of a planar 4:2:0 picture, which the
    // renderer copies during the call.
    using InputFrameFn = uint32_t (*)(uint32_t handle, uint32_t streamId, uint32_t width,
                                      uint32_t height, const uint8_t* const* planes,
                                      const uint32_t* strides);
    using GetCurrentTypeFn = uint32_t (*)(uint32_t handle, uint32_t* type);
    using SwitchTypeFn = uint32_t (*)(uint32_t handle, uint32_t type);
    // buffer holds ((width * 24 + 31) / 32) * 4 * height bytes and receives B, G, R rows.
    using GrabFn = uint32_t (*)(uint32_t handle, uint32_t width, uint32_t height, uint8_t* buffer);
    using SetOutputCallbackFn = uint32_t (*)(uint32_t handle, GPanoOutputCallback callback,
                                             float sizeFactor, void* context);
    using SetRenderCallbackFn = uint32_t (*)(uint32_t handle, GPanoRenderCallback callback,
                                             void* context);
    // points and outPoints are `count` (x, y) pairs.
    using UnProjectFn = uint32_t (*)(uint32_t handle, const float* points, uint32_t count,
                                     float* outPoints);
    using DestroyFn = uint32_t (*)(uint32_t handle);
    // Looked up for completeness; the player never calls them.
    using OpaqueFn = void (*)();

    CreateFn CreatePanoRender = nullptr;
    InitFn InitPanoRender = nullptr;
    GetTypeListFn GetSupportedPanoTypeList = nullptr;
    GetViewCameraFn GetViewCamera = nullptr;
    GetOriginalSizeFn GetOriginalPanoSize = nullptr;
    SetViewCameraFn SetViewCamera = nullptr;
    SetDrawingRegionFn SetDrawingRegion = nullptr;
    InputFrameFn InputFrame = nullptr;
    GetCurrentTypeFn GetCurrentPanoType = nullptr;
    SwitchTypeFn SwitchPanoType = nullptr;
    GrabFn GrabPano = nullptr;
    SetOutputCallbackFn SetOutputCallBack = nullptr;
    SetRenderCallbackFn SetPreRenderCallBack = nullptr;
    SetRenderCallbackFn SetRenderCallBack = nullptr;
    UnProjectFn UnProject = nullptr;
    DestroyFn DestroyPanoRender = nullptr;
    OpaqueFn CalcViewCamera = nullptr;
    OpaqueFn GetCameraParameters = nullptr;

    static constexpr int kEntryCount = 18;

    // Fills every entry through `lookup`, which returns the address exported under a name or
    // null. Each entry is asked for by its decorated name first (as the renderer's own build
    // exports them, e.g. "_G_CreatePanoRender@20") and then by its plain name
    // ("G_CreatePanoRender"), which is what a Linux toolchain exports.
    void Resolve(const std::function<void*(const char* name)>& lookup);
    // Every entry back to null.
    void Clear() { *this = CGPano{}; }
    // How many entries are set.
    int ResolvedCount() const;

    // The decorated name of entry `index` (0..kEntryCount-1, in the order of the fields above),
    // or null.
    static const char* DecoratedName(int index);
};
