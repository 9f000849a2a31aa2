// The renderer operations of the player port: argument checks and result codes in front of
// the renderer and its video sources.

#include <quorixsdk_codes.h>

#include <memory>
#include <new>

#include "panorama/render.h"

namespace SPHERA {

uint32_t CreateRender(int32_t modelType, const uint8_t* block, uint32_t size, CRender** out) {
    if (out == nullptr)
        return QUORIX_E_PARAM;
    *out = nullptr;
    std::unique_ptr<CRender> render;
    try {
        render = std::make_unique<CRender>();
    } catch (const std::bad_alloc&) {
        return QUORIX_E_NO_MEMORY;
    }
    const uint32_t result = render->SetModel(modelType, block, size);
    if (result != QUORIX_OK)
        return result;
    *out = render.release();
    return QUORIX_OK;
}

void DestroyRender(CRender* render) {
    if (render == nullptr)
        return;
    render->UnInit();
    delete render;
}

uint32_t Init(CRender* render, uintptr_t window, void* dc, bool threadMode) {
    if (render == nullptr)
        return QUORIX_E_PARAM;
    return render->Init(window, dc, threadMode);
}

uint32_t UnInit(CRender* render) {
    if (render == nullptr)
        return QUORIX_E_PARAM;
    render->UnInit();
    return QUORIX_OK;
}

uint32_t ManualInit(CRender* render, bool createContext) {
    if (render == nullptr || render->IsThreadMode())
        return QUORIX_E_PARAM;
    const uint32_t result = render->InitContext(createContext);
    if (result != QUORIX_OK)
        return result;
    return render->InitGL();
}

uint32_t ManualRender(CRender* render) {
    if (render == nullptr || render->IsThreadMode())
        return QUORIX_E_PARAM;
    return render->Render();
}

uint32_t ManualSwapbuffers(CRender* render) {
    if (render == nullptr || render->IsThreadMode())
        return QUORIX_E_PARAM;
    render->Swap();
    return QUORIX_OK;
}

uint32_t ManualUnInit(CRender* render) {
    if (render == nullptr || render->IsThreadMode())
        return QUORIX_E_PARAM;
    render->UnInitGL();
    return QUORIX_OK;
}

uint32_t SetStatusCallback(CRender* render, RenderStatusCallback callback, void* user) {
    if (render == nullptr)
        return QUORIX_E_PARAM;
    render->SetStatusCallback(callback, user);
    return QUORIX_OK;
}

uint32_t InputFrame(CRender* render, uint32_t camera, uint32_t width, uint32_t height,
                    uint32_t type, const uint8_t* const* planes, const uint32_t* strides,
                    BRIXEL::CHYUVColour colour) {
    CCamera* source = render != nullptr ? render->GetCamera(camera) : nullptr;
    if (source == nullptr)
        return QUORIX_E_PARAM;
    return source->InputFrame(width, height, type, planes, strides, colour);
}

uint32_t AttachFrame(CRender* render, uint32_t camera, uint32_t width, uint32_t height,
                     uint32_t type, uint8_t* data, uint32_t size, BRIXEL::CHYUVColour colour) {
    CCamera* source = render != nullptr ? render->GetCamera(camera) : nullptr;
    if (source == nullptr)
        return QUORIX_E_PARAM;
    return source->AttachFrame(width, height, type, data, size, colour);
}

uint32_t SetReleaseCallback(CRender* render, uint32_t camera, ReleaseCallback callback,
                            void* user) {
    CCamera* source = render != nullptr ? render->GetCamera(camera) : nullptr;
    if (source == nullptr)
        return QUORIX_E_PARAM;
    source->SetReleaseCallback(callback, user);
    return QUORIX_OK;
}

}  // namespace SPHERA
