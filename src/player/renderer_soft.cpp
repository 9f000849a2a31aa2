// The software display behind a port: the undistorted picture in every region, an e-PTZ view
// per region, drawn by the display's own thread; no display types, no projection, no manual
// rendering. Without a display (a port whose last open chose it, once closed) the same answers
// stand, with QUORIX_E_PARAM from the display's operations and the stored setters succeeding.

#include <memory>
#include <new>
#include <vector>

#include "ddraw/display.h"
#include "panorama/modeldata.h"
#include "player/port_renderer.h"

namespace {

constexpr uint32_t kPlanarYuv420 = 20;  // pixel format number of every decoded picture

// ---- adapters: the display calls them on its thread, with the port as user ----

void DrawAdapter(QUORIX_HDC dc, uint32_t region, int32_t imageX, int32_t imageY, int32_t imageWidth,
                 int32_t imageHeight, int32_t rectX, int32_t rectY, int32_t rectWidth,
                 int32_t rectHeight, void* user) {
    auto* port = static_cast<IRendererPort*>(user);
    if (port == nullptr || region >= kPortRegionCount)
        return;
    const QUORIX_RECT image = PortRect(imageX, imageY, imageWidth, imageHeight);
    const QUORIX_RECT rect = PortRect(rectX, rectY, rectWidth, rectHeight);
    port->CallDrawCallback(static_cast<uint16_t>(region), 0, dc, &image, &rect);
}

// The display reports every picture it draws as region 0's.
void SnapAdapter(uint32_t width, uint32_t stride, uint32_t height, uint32_t format,
                 const uint8_t* data, void* user) {
    static_cast<IRendererPort*>(user)->CallSnapCallback(0, width, stride, height, format, data);
}

uint32_t ReturnAdapter(uint8_t* data, uint32_t size, void* user) {
    static_cast<IRendererPort*>(user)->ReturnPicture(data, size);
    return QUORIX_OK;
}

class CSoftRenderer final : public IPortRenderer {
public:
    // display null: the answers of a closed software-display port.
    CSoftRenderer(HDD::CDisplay* display, IRendererPort* port) : m_display(display), m_port(port) {}
    ~CSoftRenderer() override {
        if (m_display != nullptr)
            HDD::DestroyDisplay(m_display);
    }

    Kind GetKind() const override { return m_display != nullptr ? Kind::Software : Kind::None; }

    void ConnectBufferReturn() { HDD::SetFrameReleaseCallback(m_display, &ReturnAdapter, User()); }

    // No display types; the zoom is handed over as stored.
    void ApplyRegions(const PortRegionSettings (&regions)[kPortRegionCount]) override {
        if (m_display == nullptr)
            return;
        for (uint16_t region = 0; region < kPortRegionCount; ++region) {
            const PortRegionSettings& settings = regions[region];
            if (settings.ptzSet)
                HDD::SetRegionPtz(m_display, region, settings.pan, settings.tilt, settings.zoom);
            if (settings.enabled != 0) {
                PrepareRegion(region, settings);
                HDD::SetRegion(m_display, region, settings.left, settings.top, settings.Width(),
                               settings.Height(), 1);
                LogRegionHandOver(region, settings);
            }
        }
    }

    uint32_t Start(QUORIX_HWND window, QUORIX_HDC, bool) override {
        return HDD::SetWindow(m_display, window);
    }

    void DetachCallbacks() override {
        if (m_display == nullptr)
            return;
        for (uint16_t region = 0; region < kPortRegionCount; ++region) {
            HDD::SetRegionDrawCallback(m_display, region, nullptr, nullptr);
        }
        HDD::SetSnapCallback(m_display, nullptr, nullptr);
    }

    bool OnDrawingThread() const override {
        return m_display != nullptr && m_display->IsWorkerThread();
    }

    void Retire(bool fromDrawingThread) override {
        if (fromDrawingThread && m_display != nullptr)
            m_display->SetStopFlag();
    }

    uint32_t SetRegion(uint16_t region, const PortRegionSettings& settings) override {
        if (m_display == nullptr)
            return QUORIX_OK;
        if (settings.enabled != 0)
            PrepareRegion(region, settings);
        return HDD::SetRegion(m_display, region, settings.left, settings.top, settings.Width(),
                              settings.Height(), settings.enabled);
    }

    // The picture as it is: the one display type 0.
    uint32_t GetDisplayTypeList(uint32_t* types, int32_t* count) override {
        if (count == nullptr || *count < 1 || types == nullptr)
            return QUORIX_E_PARAM;
        types[0] = 0;
        *count = 1;
        return QUORIX_OK;
    }
    uint32_t GetDisplayType(uint16_t, uint32_t* type) override {
        if (type == nullptr)
            return QUORIX_E_PARAM;
        *type = 0;
        return QUORIX_OK;
    }
    uint32_t SetDisplayType(uint16_t, uint32_t) override { return QUORIX_OK; }

    uint32_t GetPtz(uint16_t region, float* pan, float* tilt, float* zoom) override {
        return HDD::GetRegionPtz(m_display, region, pan, tilt, zoom);
    }
    // Written as "zoom > 1 ? zoom : 1" so that a zoom that is not a number becomes 1 too.
    uint32_t SetPtz(uint16_t region, float pan, float tilt, float zoom) override {
        if (m_display == nullptr)
            return QUORIX_OK;
        return HDD::SetRegionPtz(m_display, region, pan, tilt, zoom > 1.0f ? zoom : 1.0f);
    }
    uint32_t EnableBlankPtz(uint16_t, bool) override { return QUORIX_E_NOT_IMPL; }
    uint32_t SetFlip(uint16_t, uint32_t) override { return QUORIX_E_NOT_IMPL; }
    uint32_t SetRatioType(uint16_t region, uint32_t ratioType) override {
        return HDD::SetRegionFitMode(m_display, region, ratioType);
    }
    uint32_t Project(uint16_t, const float*, const float*, float*, float*, uint32_t) override {
        return QUORIX_E_NOT_SUPPORTED;
    }
    uint32_t UnProject(uint16_t, const float*, const float*, float*, float*, uint32_t) override {
        return QUORIX_E_NOT_IMPL;
    }
    uint32_t InstallStatusCallback() override { return QUORIX_E_NOT_IMPL; }

    int32_t ManualSupport() const override { return 0; }
    uint32_t ManualInit(bool) override { return QUORIX_E_NOT_IMPL; }
    uint32_t ManualRender() override { return QUORIX_E_NOT_IMPL; }
    uint32_t ManualSwapbuffers() override { return QUORIX_E_NOT_IMPL; }
    uint32_t ManualUnInit() override { return QUORIX_E_NOT_IMPL; }

    // One picture for the whole display: region 0's.
    uint32_t CaptureRegion(uint32_t region, CPortPicture& picture) override {
        if (m_display == nullptr || region != 0)
            return QUORIX_E_STATE;
        return TakePicture(picture);
    }
    uint32_t CaptureOriginal(CPortPicture& picture) override {
        if (m_display == nullptr)
            return QUORIX_E_STATE;
        return TakePicture(picture);
    }

    // The adapter reads region 0's pair whatever region the host names; format and alignment
    // are the display's own.
    uint32_t SetSnapCallback(uint32_t, bool, uint32_t, uint32_t) override {
        if (m_display == nullptr)
            return QUORIX_E_PARAM;
        return HDD::SetSnapCallback(m_display, &SnapAdapter, User());
    }
    uint32_t SetScreenOffSnapCallback(bool, float, uint32_t, uint32_t) override {
        return QUORIX_E_NOT_IMPL;
    }
    uint32_t SetSnapRect(uint32_t, float x, float y, float width, float height) override {
        if (m_display == nullptr)
            return QUORIX_E_PARAM;
        return HDD::SetSnapRect(m_display, x, y, width, height);
    }
    uint32_t SetScreenOffSnapRect(float, float, float, float) override { return QUORIX_E_NOT_IMPL; }

    uint32_t InputPicture(uint16_t, uint16_t width, uint16_t height, const uint8_t* const planes[3],
                          const uint32_t strides[3], BRIXEL::CHYUVColour colour) override {
        if (m_display == nullptr)
            return QUORIX_E_NOT_IMPL;
        return HDD::InputPicture(m_display, width, height, kPlanarYuv420, planes, strides, colour);
    }
    uint32_t AttachPicture(uint16_t, uint16_t width, uint16_t height, uint8_t* buffer,
                           uint32_t size, BRIXEL::CHYUVColour colour) override {
        if (m_display == nullptr)
            return QUORIX_E_NOT_IMPL;
        return HDD::AttachPicture(m_display, width, height, kPlanarYuv420, buffer, size, colour);
    }
    // The display returns the engine's buffers straight to the engine.
    uint32_t SetPictureRelease(uint16_t, BRIXEL::HRecoveryCallback callback,
                               void* context) override {
        if (m_display == nullptr)
            return QUORIX_OK;
        return HDD::SetFrameReleaseCallback(m_display, callback, context);
    }

private:
    void* User() const { return m_port; }

    void PrepareRegion(uint16_t region, const PortRegionSettings& settings) {
        HDD::SetRegionColor(m_display, region, settings.background);
        HDD::SetRegionDrawCallback(m_display, region, &DrawAdapter, User());
    }

    uint32_t TakePicture(CPortPicture& picture) {
        const uint32_t taken =
            HDD::Snapshot(m_display, &picture.width, &picture.stride, &picture.height,
                          &picture.format, &picture.data, kPortSnapFormatBgr, kPortSnapTimeoutMs);
        picture.release = &HDD::FreeSnapData;
        return taken;
    }

    HDD::CDisplay* const m_display;
    IRendererPort* const m_port;
};

}  // namespace

bool CanCreateSoftRenderer(const PortRendererRequest& request) {
    return request.softwareMode;
}

uint32_t CreateSoftRenderer(const PortRendererRequest& request,
                            std::unique_ptr<IPortRenderer>& out) {
    // The software display draws no lens, yet a port opens the same files and streams on
    // either renderer: a lens block the OpenGL renderer refuses is refused here as well.
    if (request.model == 0 && request.params != nullptr && request.paramsLen != 0) {
        SPHERA::ModelDataHeader header{};
        std::vector<SPHERA::ModelCamera> cameras;
        uint32_t parsed = QUORIX_OK;
        try {
            parsed = SPHERA::ParseModelData(request.params, request.paramsLen, &header, &cameras);
        } catch (const std::bad_alloc&) {
            parsed = QUORIX_E_NO_MEMORY;
        }
        if (parsed != QUORIX_OK)
            return parsed;
    }
    HDD::CDisplay* display = nullptr;
    const uint32_t created = HDD::CreateDisplay(&display);
    if (created != QUORIX_OK)
        return created;
    if (display == nullptr)
        return QUORIX_E_NO_MEMORY;
    std::unique_ptr<CSoftRenderer> renderer(new (std::nothrow)
                                                CSoftRenderer(display, &request.port));
    if (!renderer) {
        HDD::DestroyDisplay(display);
        return QUORIX_E_NO_MEMORY;
    }
    renderer->ConnectBufferReturn();
    out = std::move(renderer);
    return QUORIX_OK;
}

IPortRenderer& NoSoftRenderer() {
    static CSoftRenderer closed(nullptr, nullptr);
    return closed;
}
