// Display and view control of a player port: the region records, their hand-over to a new
// renderer, the forwarding of every display request to the renderer the port has, the adapters
// between the renderers' callbacks and the host's, and the engine's picture output.
//
// Which renderer answers: the external renderer while its flag is set; the software display
// when the port's last open chose it (the choice outlives the close, so a closed port keeps
// answering as a software-display port); otherwise OpenGL, or nobody when no file or stream
// is open.

#include <GL/gl.h>

#include <atomic>
#include <memory>
#include <new>

#include "base/hlog.h"
#include "base/hpixel.h"
#include "ddraw/display.h"
#include "panorama/region.h"
#include "panorama/render.h"
#include "player/gpano.h"
#include "player/player.h"
#include "player/playerhost.h"

namespace {

constexpr const char* kSource = "player";
constexpr const char* kModule = "quorixsdk";
constexpr uint32_t kPlanarYuv420 = 20;  // pixel format number of every decoded picture
constexpr uint32_t kTypeNotSet = 0xFFFFFFFFu;

// The record fields that drawing threads read while host threads write them.
template <typename T>
T LoadShared(T& field) {
    return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}
template <typename T>
void StoreShared(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

QUORIX_RECT MakeRect(int32_t x, int32_t y, int32_t width, int32_t height) {
    // Wide arithmetic: a renderer's rectangle near the i32 limits must not overflow.
    auto clamp = [](int64_t v) {
        return static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : (v < INT32_MIN ? INT32_MIN : v));
    };
    return QUORIX_RECT{x, y, clamp(int64_t{x} + width), clamp(int64_t{y} + height)};
}

int32_t Extent(int32_t from, int32_t to) {
    const int64_t d = int64_t{to} - from;
    return static_cast<int32_t>(d > INT32_MAX ? INT32_MAX : (d < INT32_MIN ? INT32_MIN : d));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Hand-over of the records to a new renderer

void CPlayer::PrepareRegion(uint16_t region, SPHERA::CRender* render, HDD::CDisplay* display) {
    const CRegionStatus& record = m_regions[region];
    if (render != nullptr) {
        SPHERA::SetBackgroundColor(render, region, record.background);
        SPHERA::SetDrawCallback(render, region, &CPlayer::SPH_myDrawCallBack, this);
    } else if (display != nullptr) {
        HDD::SetRegionColor(display, region, record.background);
        HDD::SetRegionDrawCallback(display, region, &CPlayer::HDD_myDrawCallBack, this);
    }
}

void CPlayer::OnCreateRender() {
    if (m_external.load()) {
        const CGPano& pano = m_host.GetGPano();
        const uint32_t handle = m_panoHandle.load();
        const CRegionStatus& record = m_regions[0];
        if (pano.SetPreRenderCallBack != nullptr) {
            pano.SetPreRenderCallBack(handle, &CPlayer::GPano_myPreRenderCallBack, this);
        }
        if (pano.SetRenderCallBack != nullptr) pano.SetRenderCallBack(handle, &CPlayer::GPano_myRenderCallBack, this);
        if (record.displayType != kTypeNotSet && pano.SwitchPanoType != nullptr) {
            pano.SwitchPanoType(handle, record.displayType);
        }
        if (record.ptzSet && pano.SetViewCamera != nullptr) {
            pano.SetViewCamera(handle, ViewCamera{record.pan, record.tilt, record.zoom});
        }
        if (record.enabled != 0 && pano.SetDrawingRegion != nullptr) {
            pano.SetDrawingRegion(handle, record.left, record.top, Extent(record.left, record.right),
                                  Extent(record.top, record.bottom));
        }
        return;
    }
    SPHERA::CRender* render = m_render.load();
    HDD::CDisplay* display = m_display.load();
    if (render == nullptr && display == nullptr) return;
    for (uint16_t region = 0; region < kRegionCount; ++region) {
        const CRegionStatus& record = m_regions[region];
        if (render != nullptr && record.displayType != kTypeNotSet) {
            SPHERA::SetDisplayType(render, region, static_cast<int32_t>(record.displayType));
        }
        if (record.ptzSet) {
            if (render != nullptr) {
                SPHERA::SetPtz(render, region, record.pan, record.tilt, record.zoom);
            } else {
                HDD::SetRegionPtz(display, region, record.pan, record.tilt, record.zoom);
            }
        }
        if (record.enabled != 0) {
            const int32_t width = Extent(record.left, record.right);
            const int32_t height = Extent(record.top, record.bottom);
            PrepareRegion(region, render, display);
            if (render != nullptr) {
                SPHERA::EnableRegion(render, region, record.left, record.top, width, height, true);
            } else {
                HDD::SetRegion(display, region, record.left, record.top, width, height, 1);
            }
            HLOG(kSource, kModule, BRIXEL::HLOG_INFO, "CPlayer::OnCreateRender", "set %d region (l=%d,t=%d,w=%d,h=%d)",
                 static_cast<int>(region), record.left, record.top, width, height);
        }
    }
    if (render != nullptr && m_statusCallback.load() != nullptr) {
        SPHERA::SetStatusCallback(render, &CPlayer::SPH_myStatusCallBack, this);
    }
}

void CPlayer::DetachRendererCallbacks() {
    if (m_external.load()) {
        const uint32_t handle = m_panoHandle.load();
        const CGPano& pano = m_host.GetGPano();
        if (handle != kNoPanoHandle && pano.SetRenderCallBack != nullptr) pano.SetRenderCallBack(handle, nullptr, nullptr);
        return;
    }
    // Every region, not only the enabled ones: a region the host switched off keeps whatever
    // was installed while it was on.
    if (SPHERA::CRender* render = m_render.load()) {
        for (uint16_t region = 0; region < kRegionCount; ++region) {
            SPHERA::SetDrawCallback(render, region, nullptr, nullptr);
            SPHERA::SetSnapCallback(render, region, nullptr, nullptr);
        }
        SPHERA::SetScreenOffSnapCallback(render, nullptr, nullptr);
    }
    if (HDD::CDisplay* display = m_display.load()) {
        for (uint16_t region = 0; region < kRegionCount; ++region) {
            HDD::SetRegionDrawCallback(display, region, nullptr, nullptr);
        }
        HDD::SetSnapCallback(display, nullptr, nullptr);
    }
}

// ---------------------------------------------------------------------------------------------
// Region requests

uint32_t CPlayer::SetDisplayRegion(uint16_t region, const QUORIX_RECT* rect, uint32_t enable) {
    CRegionStatus& record = m_regions[region];
    if (rect != nullptr) {
        record.left = rect->left;
        record.top = rect->top;
        record.right = rect->right;
        record.bottom = rect->bottom;
    } else {
        record.left = record.top = record.right = record.bottom = 0;
    }
    record.enabled = enable;
    const int32_t width = Extent(record.left, record.right);
    const int32_t height = Extent(record.top, record.bottom);

    const CRendererUse use(*this);
    if (m_external.load()) {
        const uint32_t handle = use.Handle();
        const CGPano& pano = m_host.GetGPano();
        if (handle != kNoPanoHandle && region == 0 && enable != 0 && pano.SetDrawingRegion != nullptr) {
            pano.SetDrawingRegion(handle, record.left, record.top, width, height);
        }
        return QUORIX_OK;
    }
    if (SPHERA::CRender* render = use.Render()) {
        if (enable != 0)
            PrepareRegion(region, render, nullptr);
        return SPHERA::EnableRegion(render, region, record.left, record.top, width, height, enable != 0);
    }
    if (HDD::CDisplay* display = use.Display()) {
        if (enable != 0)
            PrepareRegion(region, nullptr, display);
        return HDD::SetRegion(display, region, record.left, record.top, width, height, enable);
    }
    return QUORIX_OK;
}

uint32_t CPlayer::SetBackgroundColor(uint16_t region, uint32_t color) {
    // The renderer receives it the next time the region is enabled; the external renderer's
    // pre-render adapter reads it at every frame.
    StoreShared(m_regions[region].background, color);
    return QUORIX_OK;
}

uint32_t CPlayer::GetDisplayTypeList(uint32_t* types, int32_t* count) {
    const CRendererUse use(*this);
    if (m_external.load()) {
        const CGPano& pano = m_host.GetGPano();
        if (pano.GetSupportedPanoTypeList == nullptr) return QUORIX_E_NOT_IMPL;
        return pano.GetSupportedPanoTypeList(use.Handle(), types, count);
    }
    if (m_directDraw) {
        if (count == nullptr || *count < 1 || types == nullptr) return QUORIX_E_PARAM;
        types[0] = 0;
        *count = 1;
        return QUORIX_OK;
    }
    SPHERA::CRender* render = use.Render();
    if (render == nullptr || count == nullptr) return QUORIX_E_PARAM;
    uint32_t room = *count > 0 ? static_cast<uint32_t>(*count) : 0u;
    // int32_t and uint32_t may alias each other; the list holds small non-negative numbers.
    const uint32_t listed = SPHERA::GetDisplayTypeList(render, reinterpret_cast<int32_t*>(types), &room);
    *count = static_cast<int32_t>(room);
    return listed;
}

uint32_t CPlayer::GetDisplayType(uint16_t region, uint32_t* type) {
    const CRendererUse use(*this);
    if (m_external.load()) {
        const uint32_t handle = use.Handle();
        if (handle == kNoPanoHandle || region != 0) return QUORIX_E_STATE;
        const CGPano& pano = m_host.GetGPano();
        if (pano.GetCurrentPanoType == nullptr) return QUORIX_E_NOT_IMPL;
        return pano.GetCurrentPanoType(handle, type);
    }
    if (m_directDraw) {
        if (type == nullptr) return QUORIX_E_PARAM;
        *type = 0;
        return QUORIX_OK;
    }
    int32_t current = -1;
    if (type == nullptr) return QUORIX_E_PARAM;
    const uint32_t got = SPHERA::GetDisplayType(use.Render(), region, &current);
    if (got == QUORIX_OK) *type = static_cast<uint32_t>(current);
    return got;
}

uint32_t CPlayer::SetDisplayType(uint16_t region, uint32_t type) {
    m_regions[region].displayType = type;
    const CRendererUse use(*this);
    if (m_external.load()) {
        const uint32_t handle = use.Handle();
        if (handle == kNoPanoHandle || region != 0) return QUORIX_OK;
        const CGPano& pano = m_host.GetGPano();
        if (pano.SwitchPanoType == nullptr) return QUORIX_E_NOT_IMPL;
        return pano.SwitchPanoType(handle, type);
    }
    if (m_directDraw) return QUORIX_OK;
    SPHERA::CRender* render = use.Render();
    if (render == nullptr) return QUORIX_OK;
    return SPHERA::SetDisplayType(render, region, static_cast<int32_t>(type));
}

uint32_t CPlayer::GetPtz(uint16_t region, float* pan, float* tilt, float* zoom) {
    const CRendererUse use(*this);
    if (m_external.load()) {
        const uint32_t handle = use.Handle();
        if (handle == kNoPanoHandle || region != 0) return QUORIX_E_STATE;
        const CGPano& pano = m_host.GetGPano();
        if (pano.GetViewCamera == nullptr) return QUORIX_E_NOT_IMPL;
        ViewCamera camera{0.0f, 0.0f, 1.0f};
        pano.GetViewCamera(handle, &camera);
        if (pan != nullptr) *pan = camera.pan;
        if (tilt != nullptr) *tilt = camera.tilt;
        if (zoom != nullptr) *zoom = camera.zoom;
        return QUORIX_OK;
    }
    if (m_directDraw)
        return HDD::GetRegionPtz(use.Display(), region, pan, tilt, zoom);
    return SPHERA::GetPtz(use.Render(), region, pan, tilt, zoom);
}

uint32_t CPlayer::SetPtz(uint16_t region, float pan, float tilt, float zoom) {
    CRegionStatus& record = m_regions[region];
    record.pan = pan;
    record.tilt = tilt;
    record.zoom = zoom;
    record.ptzSet = true;
    const CRendererUse use(*this);
    if (m_external.load()) {
        const uint32_t handle = use.Handle();
        if (handle == kNoPanoHandle || region != 0) return QUORIX_OK;
        const CGPano& pano = m_host.GetGPano();
        if (pano.SetViewCamera == nullptr) return QUORIX_E_NOT_IMPL;
        pano.SetViewCamera(handle, ViewCamera{pan, tilt, zoom});
        return QUORIX_OK;
    }
    // Written as "zoom > 1 ? zoom : 1" so that a zoom that is not a number becomes 1 too.
    const float atLeastOne = zoom > 1.0f ? zoom : 1.0f;
    if (m_directDraw) {
        HDD::CDisplay* display = use.Display();
        if (display == nullptr) return QUORIX_OK;
        return HDD::SetRegionPtz(display, region, pan, tilt, atLeastOne);
    }
    SPHERA::CRender* render = use.Render();
    if (render == nullptr) return QUORIX_OK;
    int32_t type = -1;
    SPHERA::GetDisplayType(render, region, &type);
    return SPHERA::SetPtz(render, region, pan, tilt, type == 0 ? atLeastOne : zoom);
}

uint32_t CPlayer::EnableBlankPtz(uint16_t region, uint32_t enable) {
    if (m_external.load() || m_directDraw) return QUORIX_E_NOT_IMPL;
    const CRendererUse use(*this);
    return SPHERA::EnableBlankPtz(use.Render(), region, enable != 0);
}

uint32_t CPlayer::SetFlip(uint16_t region, uint32_t flip) {
    if (m_external.load() || m_directDraw) return QUORIX_E_NOT_IMPL;
    const CRendererUse use(*this);
    SPHERA::CRender* render = use.Render();
    if (render == nullptr) return QUORIX_E_STATE;
    return SPHERA::SetFlip(render, region, flip);
}

uint32_t CPlayer::SetRatioType(uint16_t region, uint32_t ratioType) {
    if (m_external.load()) return QUORIX_E_NOT_IMPL;
    const CRendererUse use(*this);
    // A software-display port answers as its display does, also once closed.
    if (m_directDraw)
        return HDD::SetRegionFitMode(use.Display(), region, ratioType);
    SPHERA::CRender* render = use.Render();
    if (render == nullptr) return QUORIX_E_STATE;
    return SPHERA::SetRatioType(render, region, ratioType);
}

uint32_t CPlayer::Project(uint16_t region, const float* x, const float* y, float* outX, float* outY,
                          uint32_t count) {
    if (m_external.load()) return QUORIX_E_NOT_IMPL;
    if (m_directDraw) return QUORIX_E_NOT_SUPPORTED;
    const CRendererUse use(*this);
    return SPHERA::Project(use.Render(), region, x, y, outX, outY, count);
}

uint32_t CPlayer::UnProject(uint16_t region, const float* x, const float* y, float* outX, float* outY,
                            uint32_t count) {
    if (x == nullptr || y == nullptr || outX == nullptr || outY == nullptr || count == 0) return QUORIX_E_PARAM;
    const CRendererUse use(*this);  // a close on another thread waits for the answer
    if (m_external.load()) {
        const uint32_t handle = use.Handle();
        if (handle == kNoPanoHandle || region != 0) return QUORIX_E_STATE;
        const CGPano& pano = m_host.GetGPano();
        if (pano.UnProject == nullptr) return QUORIX_E_NOT_IMPL;
        // Two pairs of f32 per point: a count the memory cannot hold is refused, not attempted.
        const std::unique_ptr<float[]> points(new (std::nothrow) float[uint64_t{count} * 2]);
        const std::unique_ptr<float[]> results(new (std::nothrow) float[uint64_t{count} * 2]);
        if (!points || !results) return QUORIX_E_NO_MEMORY;
        for (uint32_t i = 0; i < count; ++i) {
            points[2 * uint64_t{i}] = x[i];
            points[2 * uint64_t{i} + 1] = y[i];
            results[2 * uint64_t{i}] = results[2 * uint64_t{i} + 1] = 0.0f;
        }
        const uint32_t done = pano.UnProject(handle, points.get(), count, results.get());
        if (done != QUORIX_OK) return done;
        for (uint32_t i = 0; i < count; ++i) {
            outX[i] = results[2 * uint64_t{i}];
            outY[i] = results[2 * uint64_t{i} + 1];
        }
        return QUORIX_OK;
    }
    if (m_directDraw)
        return QUORIX_E_NOT_IMPL;
    return SPHERA::UnProject(use.Render(), region, x, y, outX, outY, count);
}

uint32_t CPlayer::SetDrawCallback(uint16_t region, QUORIX_DrawCallback callback, void* user) {
    // The adapter reads the pair on the drawing thread: the function goes last, so a thread
    // that sees the new function also sees its user value.
    CRegionStatus& record = m_regions[region];
    StoreShared(record.drawCallback, static_cast<QUORIX_DrawCallback>(nullptr));
    StoreShared(record.drawUser, user);
    StoreShared(record.drawCallback, callback);
    return QUORIX_OK;
}

uint32_t CPlayer::SetRenderStatusCallback(QUORIX_RenderStatusCallback callback, void* user) {
    m_statusCallback.store(nullptr);
    m_statusUser.store(user);
    m_statusCallback.store(callback);
    if (m_external.load() || m_directDraw) return QUORIX_E_NOT_IMPL;
    const CRendererUse use(*this);
    SPHERA::CRender* render = use.Render();
    if (render == nullptr) return QUORIX_E_PARAM;
    return SPHERA::SetStatusCallback(render, &CPlayer::SPH_myStatusCallBack, this);
}

// ---------------------------------------------------------------------------------------------
// Manual rendering: the host draws on its own GL thread

uint32_t CPlayer::GetManualSupport(int32_t* support) {
    if (support == nullptr) return QUORIX_E_PARAM;
    if (m_external.load() || m_directDraw) {
        *support = 0;
    } else {
        *support = m_render.load() != nullptr ? 1 : -1;
    }
    return QUORIX_OK;
}

uint32_t CPlayer::ManualInit(uint32_t createContext) {
    if (m_external.load() || m_directDraw) return QUORIX_E_NOT_IMPL;
    const CRendererUse use(*this);
    SPHERA::CRender* render = use.Render();
    return render != nullptr ? SPHERA::ManualInit(render, createContext != 0) : QUORIX_E_STATE;
}

uint32_t CPlayer::ManualRender() {
    if (m_external.load() || m_directDraw) return QUORIX_E_NOT_IMPL;
    const CRendererUse use(*this);
    SPHERA::CRender* render = use.Render();
    return render != nullptr ? SPHERA::ManualRender(render) : QUORIX_E_STATE;
}

uint32_t CPlayer::ManualSwapbuffers() {
    if (m_external.load() || m_directDraw) return QUORIX_E_NOT_IMPL;
    const CRendererUse use(*this);
    SPHERA::CRender* render = use.Render();
    return render != nullptr ? SPHERA::ManualSwapbuffers(render) : QUORIX_E_STATE;
}

uint32_t CPlayer::ManualUnInit() {
    if (m_external.load() || m_directDraw) return QUORIX_E_NOT_IMPL;
    const CRendererUse use(*this);
    SPHERA::CRender* render = use.Render();
    return render != nullptr ? SPHERA::ManualUnInit(render) : QUORIX_E_STATE;
}

// ---------------------------------------------------------------------------------------------
// Adapters (drawing threads)

void CPlayer::SPH_myDrawCallBack(uint16_t region, int32_t imageX, int32_t imageY, int32_t imageWidth,
                                 int32_t imageHeight, int32_t rectX, int32_t rectY, int32_t rectWidth,
                                 int32_t rectHeight, void* user) {
    CPlayer* self = static_cast<CPlayer*>(user);
    if (self == nullptr || region >= kRegionCount) return;
    CRegionStatus& record = self->m_regions[region];
    const QUORIX_DrawCallback callback = LoadShared(record.drawCallback);
    if (callback == nullptr) return;
    const QUORIX_RECT image = MakeRect(imageX, imageY, imageWidth, imageHeight);
    const QUORIX_RECT rect = MakeRect(rectX, rectY, rectWidth, rectHeight);
    callback(static_cast<uint16_t>(self->m_port), region, 1, nullptr, &image, &rect, LoadShared(record.drawUser));
}

void CPlayer::HDD_myDrawCallBack(QUORIX_HDC dc, uint32_t region, int32_t imageX, int32_t imageY,
                                 int32_t imageWidth, int32_t imageHeight, int32_t rectX, int32_t rectY,
                                 int32_t rectWidth, int32_t rectHeight, void* user) {
    CPlayer* self = static_cast<CPlayer*>(user);
    if (self == nullptr || region >= kRegionCount) return;
    CRegionStatus& record = self->m_regions[region];
    const QUORIX_DrawCallback callback = LoadShared(record.drawCallback);
    if (callback == nullptr) return;
    const QUORIX_RECT image = MakeRect(imageX, imageY, imageWidth, imageHeight);
    const QUORIX_RECT rect = MakeRect(rectX, rectY, rectWidth, rectHeight);
    callback(static_cast<uint16_t>(self->m_port), static_cast<uint16_t>(region), 0, dc, &image, &rect,
             LoadShared(record.drawUser));
}

void CPlayer::SPH_myStatusCallBack(uint32_t status, void* user) {
    HLOG(kSource, kModule, BRIXEL::HLOG_DEBUG, "CPlayer::SPH_myStatusCallBack", "myStatusCallBack %d",
         static_cast<int>(status));
    CPlayer* self = static_cast<CPlayer*>(user);
    if (self == nullptr) return;
    const QUORIX_RenderStatusCallback callback = self->m_statusCallback.load();
    if (callback != nullptr) callback(static_cast<uint16_t>(self->m_port), status, self->m_statusUser.load());
}

void CPlayer::GPano_myPreRenderCallBack(void* user) {
    CPlayer* self = static_cast<CPlayer*>(user);
    if (self == nullptr) return;
    const uint32_t c = LoadShared(self->m_regions[0].background);
    glClearColor(static_cast<float>(c & 0xFF) / 255.0f, static_cast<float>((c >> 8) & 0xFF) / 255.0f,
                 static_cast<float>((c >> 16) & 0xFF) / 255.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

void CPlayer::GPano_myRenderCallBack(void* user) {
    CPlayer* self = static_cast<CPlayer*>(user);
    if (self == nullptr) return;
    CRegionStatus& record = self->m_regions[0];
    const QUORIX_DrawCallback callback = LoadShared(record.drawCallback);
    if (callback != nullptr) {
        callback(static_cast<uint16_t>(self->m_port), 0, 1, nullptr, nullptr, nullptr, LoadShared(record.drawUser));
    }
}

// ---------------------------------------------------------------------------------------------
// The engine's picture output (engine threads)

uint32_t CPlayer::OnVideoFrame(uint16_t streamId, uint32_t, uint32_t, uint16_t width, uint16_t height,
                               uint8_t* const planes[3], const int32_t strides[3], BRIXEL::CHYUVColour colour) {
    const uint8_t* const constPlanes[3] = {planes[0], planes[1], planes[2]};
    uint32_t unsignedStrides[3];
    for (int i = 0; i < 3; ++i) {
        if (strides[i] < 0) return QUORIX_E_PARAM;
        unsignedStrides[i] = static_cast<uint32_t>(strides[i]);
    }
    if (m_external.load()) {
        const CGPano& pano = m_host.GetGPano();
        if (pano.InputFrame == nullptr) return QUORIX_E_NOT_IMPL;
        return pano.InputFrame(m_panoHandle.load(), streamId, width, height, constPlanes, unsignedStrides);
    }
    if (HDD::CDisplay* display = m_display.load()) {
        return HDD::InputPicture(display, width, height, kPlanarYuv420, constPlanes, unsignedStrides, colour);
    }
    SPHERA::CRender* render = m_render.load();
    if (render == nullptr) return QUORIX_E_NOT_IMPL;
    return SPHERA::InputFrame(render, streamId, width, height, kPlanarYuv420, constPlanes, unsignedStrides, colour);
}

uint32_t CPlayer::RenderFrame(uint16_t streamId, uint32_t, uint32_t, uint16_t width, uint16_t height,
                              uint8_t* buffer, uint32_t size, BRIXEL::CHYUVColour colour) {
    // The engine packs every picture, odd sizes included, in the one planar 4:2:0 block layout.
    if (buffer == nullptr || width == 0 || height == 0 ||
        BRIXEL::HPixelI420Size(width, height) > size)
        return QUORIX_E_PARAM;
    if (m_external.load()) {
        const CGPano& pano = m_host.GetGPano();
        if (pano.InputFrame != nullptr) {
            const uint8_t* const planes[3] = {
                buffer, buffer + BRIXEL::HPixelI420FirstOffset(width, height),
                buffer + BRIXEL::HPixelI420SecondOffset(width, height)};
            const uint32_t chromaStride = BRIXEL::HPixelChromaStride(width);
            const uint32_t strides[3] = {width, chromaStride, chromaStride};
            pano.InputFrame(m_panoHandle.load(), streamId, width, height, planes, strides);
        }
        // The renderer copied the picture during the call: the buffer goes straight back.
        RecycleBuffer(buffer, size, static_cast<CHPlayer*>(this));
        return QUORIX_OK;
    }
    if (HDD::CDisplay* display = m_display.load()) {
        return HDD::AttachPicture(display, width, height, kPlanarYuv420, buffer, size, colour);
    }
    SPHERA::CRender* render = m_render.load();
    if (render == nullptr) return QUORIX_E_NOT_IMPL;
    return SPHERA::AttachFrame(render, streamId, width, height, kPlanarYuv420, buffer, size, colour);
}

uint32_t CPlayer::SetRecoveryCallback(uint16_t streamId, BRIXEL::HRecoveryCallback callback, void* context) {
    m_recoveryContext.store(context);
    m_recovery.store(callback);
    // The external renderer copies what it is given: nothing to register there.
    if (m_external.load()) return QUORIX_OK;
    if (HDD::CDisplay* display = m_display.load()) return HDD::SetFrameReleaseCallback(display, callback, context);
    SPHERA::CRender* render = m_render.load();
    if (render == nullptr) return QUORIX_OK;
    return SPHERA::SetReleaseCallback(render, streamId, &CPlayer::ReleaseToEngine, this);
}
