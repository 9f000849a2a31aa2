// The external panorama renderer behind a port (render model -1): a library of its own, reached
// through the CGPano table, with a single view. Only region 0 reaches it; an entry the library
// does not export answers QUORIX_E_NOT_IMPL, or is skipped where the port does not look at the
// answer. The table is asked for at every call: the host owns the library's loading.

#include <memory>
#include <new>

#include "base/hpixel.h"
#include "panorama/gl_clear.h"
#include "player/gpano.h"
#include "player/playerhost.h"
#include "player/port_renderer.h"

namespace {

// ---- adapters: the renderer calls them on its drawing thread, with the port as user ----

// Before each frame, with the renderer's GL context current: the region's background.
void PreRenderAdapter(void* user) {
    auto* port = static_cast<IRendererPort*>(user);
    if (port == nullptr)
        return;
    SPHERA::ClearCurrentContext(port->RegionBackground(0));
}

// After each frame: region 0's draw callback, without rectangles (the renderer has no regions).
void RenderAdapter(void* user) {
    auto* port = static_cast<IRendererPort*>(user);
    if (port == nullptr)
        return;
    port->CallDrawCallback(0, 1, nullptr, nullptr, nullptr);
}

// The renderer has one output callback: whichever of these two was installed last runs.
void RegionOutputAdapter(uint32_t width, uint32_t height, const uint8_t* data, void* user) {
    static_cast<IRendererPort*>(user)->CallSnapCallback(0, width, width * 3, height,
                                                        kPortSnapFormatBgr, data);
}
void ScreenOffOutputAdapter(uint32_t width, uint32_t height, const uint8_t* data, void* user) {
    static_cast<IRendererPort*>(user)->CallSnapCallback(kPortScreenOffRegion, width, width * 3,
                                                        height, kPortSnapFormatBgr, data);
}

class CExternalRenderer final : public IPortRenderer {
public:
    CExternalRenderer(uint32_t handle, IRendererPort& port) : m_handle(handle), m_port(port) {}
    ~CExternalRenderer() override {
        const CGPano& pano = Pano();
        if (pano.DestroyPanoRender != nullptr)
            pano.DestroyPanoRender(m_handle);
    }

    Kind GetKind() const override { return Kind::External; }

    // Region 0 only; the answers are not looked at.
    void ApplyRegions(const PortRegionSettings (&regions)[kPortRegionCount]) override {
        const CGPano& pano = Pano();
        const PortRegionSettings& settings = regions[0];
        if (pano.SetPreRenderCallBack != nullptr)
            pano.SetPreRenderCallBack(m_handle, &PreRenderAdapter, User());
        if (pano.SetRenderCallBack != nullptr)
            pano.SetRenderCallBack(m_handle, &RenderAdapter, User());
        if (settings.displayType != 0xFFFFFFFFu && pano.SwitchPanoType != nullptr) {
            pano.SwitchPanoType(m_handle, settings.displayType);
        }
        if (settings.ptzSet && pano.SetViewCamera != nullptr) {
            pano.SetViewCamera(m_handle, ViewCamera{settings.pan, settings.tilt, settings.zoom});
        }
        if (settings.enabled != 0 && pano.SetDrawingRegion != nullptr) {
            pano.SetDrawingRegion(m_handle, settings.left, settings.top, settings.Width(),
                                  settings.Height());
        }
    }

    // The renderer makes its own context on the window; there is no pixel format to prepare on
    // a device context here.
    uint32_t Start(QUORIX_HWND window, QUORIX_HDC, bool) override {
        const CGPano& pano = Pano();
        return pano.InitPanoRender != nullptr ? pano.InitPanoRender(m_handle, window)
                                              : QUORIX_E_NOT_IMPL;
    }

    void DetachCallbacks() override {
        const CGPano& pano = Pano();
        if (pano.SetRenderCallBack != nullptr)
            pano.SetRenderCallBack(m_handle, nullptr, nullptr);
    }

    // Its drawing thread is its own business: a close from there destroys the handle at once.
    bool OnDrawingThread() const override { return false; }
    void Retire(bool) override {}

    uint32_t SetRegion(uint16_t region, const PortRegionSettings& settings) override {
        const CGPano& pano = Pano();
        if (region == 0 && settings.enabled != 0 && pano.SetDrawingRegion != nullptr) {
            pano.SetDrawingRegion(m_handle, settings.left, settings.top, settings.Width(),
                                  settings.Height());
        }
        return QUORIX_OK;
    }

    uint32_t GetDisplayTypeList(uint32_t* types, int32_t* count) override {
        const CGPano& pano = Pano();
        if (pano.GetSupportedPanoTypeList == nullptr)
            return QUORIX_E_NOT_IMPL;
        return pano.GetSupportedPanoTypeList(m_handle, types, count);
    }

    uint32_t GetDisplayType(uint16_t region, uint32_t* type) override {
        if (region != 0)
            return QUORIX_E_STATE;
        const CGPano& pano = Pano();
        if (pano.GetCurrentPanoType == nullptr)
            return QUORIX_E_NOT_IMPL;
        return pano.GetCurrentPanoType(m_handle, type);
    }

    // Another region is stored only.
    uint32_t SetDisplayType(uint16_t region, uint32_t type) override {
        if (region != 0)
            return QUORIX_OK;
        const CGPano& pano = Pano();
        if (pano.SwitchPanoType == nullptr)
            return QUORIX_E_NOT_IMPL;
        return pano.SwitchPanoType(m_handle, type);
    }

    uint32_t GetPtz(uint16_t region, float* pan, float* tilt, float* zoom) override {
        if (region != 0)
            return QUORIX_E_STATE;
        const CGPano& pano = Pano();
        if (pano.GetViewCamera == nullptr)
            return QUORIX_E_NOT_IMPL;
        ViewCamera camera{0.0f, 0.0f, 1.0f};
        pano.GetViewCamera(m_handle, &camera);
        if (pan != nullptr)
            *pan = camera.pan;
        if (tilt != nullptr)
            *tilt = camera.tilt;
        if (zoom != nullptr)
            *zoom = camera.zoom;
        return QUORIX_OK;
    }

    uint32_t SetPtz(uint16_t region, float pan, float tilt, float zoom) override {
        if (region != 0)
            return QUORIX_OK;
        const CGPano& pano = Pano();
        if (pano.SetViewCamera == nullptr)
            return QUORIX_E_NOT_IMPL;
        pano.SetViewCamera(m_handle, ViewCamera{pan, tilt, zoom});
        return QUORIX_OK;
    }

    uint32_t EnableBlankPtz(uint16_t, bool) override { return QUORIX_E_NOT_IMPL; }
    uint32_t SetFlip(uint16_t, uint32_t) override { return QUORIX_E_NOT_IMPL; }
    uint32_t SetRatioType(uint16_t, uint32_t) override { return QUORIX_E_NOT_IMPL; }
    uint32_t Project(uint16_t, const float*, const float*, float*, float*, uint32_t) override {
        return QUORIX_E_NOT_IMPL;
    }

    uint32_t UnProject(uint16_t region, const float* x, const float* y, float* outX, float* outY,
                       uint32_t count) override {
        if (region != 0)
            return QUORIX_E_STATE;
        const CGPano& pano = Pano();
        if (pano.UnProject == nullptr)
            return QUORIX_E_NOT_IMPL;
        // Two pairs of f32 per point: a count the memory cannot hold is refused, not attempted.
        const std::unique_ptr<float[]> points(new (std::nothrow) float[uint64_t{count} * 2]);
        const std::unique_ptr<float[]> results(new (std::nothrow) float[uint64_t{count} * 2]);
        if (!points || !results)
            return QUORIX_E_NO_MEMORY;
        for (uint32_t i = 0; i < count; ++i) {
            points[2 * uint64_t{i}] = x[i];
            points[2 * uint64_t{i} + 1] = y[i];
            results[2 * uint64_t{i}] = results[2 * uint64_t{i} + 1] = 0.0f;
        }
        const uint32_t done = pano.UnProject(m_handle, points.get(), count, results.get());
        if (done != QUORIX_OK)
            return done;
        for (uint32_t i = 0; i < count; ++i) {
            outX[i] = results[2 * uint64_t{i}];
            outY[i] = results[2 * uint64_t{i} + 1];
        }
        return QUORIX_OK;
    }

    uint32_t InstallStatusCallback() override { return QUORIX_E_NOT_IMPL; }

    int32_t ManualSupport() const override { return 0; }
    uint32_t ManualInit(bool) override { return QUORIX_E_NOT_IMPL; }
    uint32_t ManualRender() override { return QUORIX_E_NOT_IMPL; }
    uint32_t ManualSwapbuffers() override { return QUORIX_E_NOT_IMPL; }
    uint32_t ManualUnInit() override { return QUORIX_E_NOT_IMPL; }

    // Both captures are the grab of the single view at its original size.
    uint32_t CaptureRegion(uint32_t region, CPortPicture& picture) override {
        if (region != 0)
            return QUORIX_E_STATE;
        return Grab(picture);
    }
    uint32_t CaptureOriginal(CPortPicture& picture) override { return Grab(picture); }

    uint32_t SetSnapCallback(uint32_t region, bool, uint32_t, uint32_t) override {
        if (region != 0)
            return QUORIX_E_STATE;
        const CGPano& pano = Pano();
        if (pano.SetOutputCallBack == nullptr)
            return QUORIX_E_NOT_IMPL;
        pano.SetOutputCallBack(m_handle, &RegionOutputAdapter, 1.0f, User());
        return QUORIX_OK;
    }
    uint32_t SetScreenOffSnapCallback(bool, float scale, uint32_t, uint32_t) override {
        const CGPano& pano = Pano();
        if (pano.SetOutputCallBack == nullptr)
            return QUORIX_E_NOT_IMPL;
        pano.SetOutputCallBack(m_handle, &ScreenOffOutputAdapter, scale, User());
        return QUORIX_OK;
    }
    uint32_t SetSnapRect(uint32_t, float, float, float, float) override {
        return QUORIX_E_NOT_IMPL;
    }
    uint32_t SetScreenOffSnapRect(float, float, float, float) override { return QUORIX_E_NOT_IMPL; }

    uint32_t InputPicture(uint16_t streamId, uint16_t width, uint16_t height,
                          const uint8_t* const planes[3], const uint32_t strides[3],
                          BRIXEL::CHYUVColour) override {
        const CGPano& pano = Pano();
        if (pano.InputFrame == nullptr)
            return QUORIX_E_NOT_IMPL;
        return pano.InputFrame(m_handle, streamId, width, height, planes, strides);
    }

    // The renderer copies the picture during the call: the buffer goes straight back.
    uint32_t AttachPicture(uint16_t streamId, uint16_t width, uint16_t height, uint8_t* buffer,
                           uint32_t size, BRIXEL::CHYUVColour) override {
        const CGPano& pano = Pano();
        if (pano.InputFrame != nullptr) {
            const uint8_t* const planes[3] = {
                buffer, buffer + BRIXEL::HPixelI420FirstOffset(width, height),
                buffer + BRIXEL::HPixelI420SecondOffset(width, height)};
            const uint32_t chromaStride = BRIXEL::HPixelChromaStride(width);
            const uint32_t strides[3] = {width, chromaStride, chromaStride};
            pano.InputFrame(m_handle, streamId, width, height, planes, strides);
        }
        m_port.RecyclePicture(buffer, size);
        return QUORIX_OK;
    }

    // It copies what it is given: nothing to register.
    uint32_t SetPictureRelease(uint16_t, BRIXEL::HRecoveryCallback, void*) override {
        return QUORIX_OK;
    }

private:
    const CGPano& Pano() const { return m_port.PlayerHost().GetGPano(); }
    void* User() const { return static_cast<IRendererPort*>(&m_port); }

    uint32_t Grab(CPortPicture& picture) {
        const CGPano& pano = Pano();
        if (pano.GetOriginalPanoSize == nullptr)
            return QUORIX_E_NOT_IMPL;
        uint32_t width = 0;
        uint32_t height = 0;
        const uint32_t sized = pano.GetOriginalPanoSize(m_handle, &width, &height);
        if (sized != QUORIX_OK)
            return sized;
        const uint64_t stride = (uint64_t{width} * 24 + 31) / 32 * 4;
        const uint64_t bytes = stride * height;
        // The renderer's answer is not trusted to be a size worth allocating: a BMP file's
        // 32-bit sizes must hold it with its 54 header bytes.
        if (bytes == 0 || bytes > UINT32_MAX - 54)
            return QUORIX_E_NOT_SUPPORTED;
        if (pano.GrabPano == nullptr)
            return QUORIX_E_NOT_IMPL;
        picture.heap.assign(static_cast<size_t>(bytes), 0);
        const uint32_t grabbed = pano.GrabPano(m_handle, width, height, picture.heap.data());
        if (grabbed != QUORIX_OK)
            return grabbed;
        picture.data = picture.heap.data();
        picture.width = width;
        picture.stride = static_cast<uint32_t>(stride);
        picture.height = height;
        picture.format = kPortSnapFormatBgr;
        return QUORIX_OK;
    }

    const uint32_t m_handle;
    IRendererPort& m_port;
};

}  // namespace

bool CanCreateExternalRenderer(const PortRendererRequest& request) {
    return request.model == -1;
}

uint32_t CreateExternalRenderer(const PortRendererRequest& request,
                                std::unique_ptr<IPortRenderer>& out) {
    const CGPano& pano = request.port.PlayerHost().GetGPano();
    if (pano.CreatePanoRender == nullptr)
        return QUORIX_E_NOT_IMPL;
    uint32_t handle = 0xFFFFFFFFu;
    const uint32_t created = pano.CreatePanoRender(GPanoCreateOptions{{0, 1}}, request.params,
                                                   request.paramsLen, &handle);
    if (created != QUORIX_OK)
        return created;
    std::unique_ptr<CExternalRenderer> renderer(new (std::nothrow)
                                                    CExternalRenderer(handle, request.port));
    if (!renderer) {
        if (pano.DestroyPanoRender != nullptr)
            pano.DestroyPanoRender(handle);
        return QUORIX_E_NO_MEMORY;
    }
    out = std::move(renderer);
    return QUORIX_OK;
}
