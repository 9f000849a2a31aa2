// The OpenGL panorama renderer behind a port: every region has its own display type and view,
// pictures are drawn by the renderer's thread (or the host's, in manual mode), and captures are
// read back from the next frame drawn.

#include <atomic>
#include <memory>
#include <new>

#include "base/hlog.h"
#include "panorama/region.h"
#include "panorama/render.h"
#include "player/port_renderer.h"

namespace {

constexpr const char* kSource = "player";
constexpr const char* kCaptureSource = "player_capture";
constexpr const char* kModule = "quorixsdk";
constexpr uint32_t kPlanarYuv420 = 20;  // pixel format number of every decoded picture
constexpr uint32_t kTypeNotSet = 0xFFFFFFFFu;
constexpr int32_t kDefaultModel = 1;

// ---- adapters: the renderer calls them on the thread that draws, with the port as user ----

void DrawAdapter(uint16_t region, int32_t imageX, int32_t imageY, int32_t imageWidth,
                 int32_t imageHeight, int32_t rectX, int32_t rectY, int32_t rectWidth,
                 int32_t rectHeight, void* user) {
    auto* port = static_cast<IRendererPort*>(user);
    if (port == nullptr || region >= kPortRegionCount)
        return;
    const QUORIX_RECT image = PortRect(imageX, imageY, imageWidth, imageHeight);
    const QUORIX_RECT rect = PortRect(rectX, rectY, rectWidth, rectHeight);
    port->CallDrawCallback(region, 1, nullptr, &image, &rect);
}

void StatusAdapter(uint32_t status, void* user) {
    HLOG(kSource, kModule, BRIXEL::HLOG_DEBUG, "CPlayer::SPH_myStatusCallBack",
         "myStatusCallBack %d", static_cast<int>(status));
    auto* port = static_cast<IRendererPort*>(user);
    if (port != nullptr)
        port->CallStatusCallback(status);
}

// Region 9 is the full-resolution picture; the port reports it with the screen-off pair.
void SnapAdapter(uint16_t region, uint32_t width, uint32_t stride, uint32_t height, uint32_t format,
                 const uint8_t* data, void* user) {
    static_cast<IRendererPort*>(user)->CallSnapCallback(region, width, stride, height, format,
                                                        data);
}

void ReturnAdapter(uint8_t* data, uint32_t size, void* user) {
    static_cast<IRendererPort*>(user)->ReturnPicture(data, size);
}

class CGlRenderer final : public IPortRenderer {
public:
    CGlRenderer(SPHERA::CRender* render, IRendererPort& port) : m_render(render), m_port(port) {}
    ~CGlRenderer() override {
        // A retired one may have ended its own thread: joined here, from another thread.
        if (m_retired)
            m_render->Stop();
        SPHERA::DestroyRender(m_render);
    }

    Kind GetKind() const override { return Kind::OpenGl; }

    // Every source of the renderer, not only the streams that exist now: the adapter reads the
    // engine's callback at each return and frees the buffer itself while there is none.
    void ConnectBufferReturn() {
        const uint32_t cameras = m_render->GetCameraCount();
        for (uint32_t camera = 0; camera < cameras; ++camera) {
            SPHERA::SetReleaseCallback(m_render, camera, &ReturnAdapter, User());
        }
    }

    void ApplyRegions(const PortRegionSettings (&regions)[kPortRegionCount]) override {
        for (uint16_t region = 0; region < kPortRegionCount; ++region) {
            const PortRegionSettings& settings = regions[region];
            if (settings.displayType != kTypeNotSet) {
                SPHERA::SetDisplayType(m_render, region,
                                       static_cast<int32_t>(settings.displayType));
            }
            if (settings.ptzSet)
                SPHERA::SetPtz(m_render, region, settings.pan, settings.tilt, settings.zoom);
            if (settings.enabled != 0) {
                PrepareRegion(region, settings);
                SPHERA::EnableRegion(m_render, region, settings.left, settings.top,
                                     settings.Width(), settings.Height(), true);
                LogRegionHandOver(region, settings);
            }
        }
        if (m_port.HasStatusCallback())
            SPHERA::SetStatusCallback(m_render, &StatusAdapter, User());
    }

    uint32_t Start(QUORIX_HWND window, QUORIX_HDC dc, bool manual) override {
        return SPHERA::Init(m_render, window, dc, !manual);
    }

    // Every region, not only the enabled ones: a region the host switched off keeps whatever
    // was installed while it was on.
    void DetachCallbacks() override {
        for (uint16_t region = 0; region < kPortRegionCount; ++region) {
            SPHERA::SetDrawCallback(m_render, region, nullptr, nullptr);
            SPHERA::SetSnapCallback(m_render, region, nullptr, nullptr);
        }
        SPHERA::SetScreenOffSnapCallback(m_render, nullptr, nullptr);
    }

    bool OnDrawingThread() const override { return m_render->IsWorkerThread(); }

    void Retire(bool fromDrawingThread) override {
        if (fromDrawingThread)
            SPHERA::UnInit(m_render);
        m_retired = true;
    }

    uint32_t SetRegion(uint16_t region, const PortRegionSettings& settings) override {
        if (settings.enabled != 0)
            PrepareRegion(region, settings);
        return SPHERA::EnableRegion(m_render, region, settings.left, settings.top, settings.Width(),
                                    settings.Height(), settings.enabled != 0);
    }

    uint32_t GetDisplayTypeList(uint32_t* types, int32_t* count) override {
        if (count == nullptr)
            return QUORIX_E_PARAM;
        uint32_t room = *count > 0 ? static_cast<uint32_t>(*count) : 0u;
        // int32_t and uint32_t may alias each other; the list holds small non-negative numbers.
        const uint32_t listed =
            SPHERA::GetDisplayTypeList(m_render, reinterpret_cast<int32_t*>(types), &room);
        *count = static_cast<int32_t>(room);
        return listed;
    }

    uint32_t GetDisplayType(uint16_t region, uint32_t* type) override {
        if (type == nullptr)
            return QUORIX_E_PARAM;
        int32_t current = -1;
        const uint32_t got = SPHERA::GetDisplayType(m_render, region, &current);
        if (got == QUORIX_OK)
            *type = static_cast<uint32_t>(current);
        return got;
    }

    uint32_t SetDisplayType(uint16_t region, uint32_t type) override {
        return SPHERA::SetDisplayType(m_render, region, static_cast<int32_t>(type));
    }

    uint32_t GetPtz(uint16_t region, float* pan, float* tilt, float* zoom) override {
        return SPHERA::GetPtz(m_render, region, pan, tilt, zoom);
    }

    // The undistorted picture cannot be zoomed out of; written as "zoom > 1 ? zoom : 1" so that
    // a zoom that is not a number becomes 1 too.
    uint32_t SetPtz(uint16_t region, float pan, float tilt, float zoom) override {
        int32_t type = -1;
        SPHERA::GetDisplayType(m_render, region, &type);
        const float atLeastOne = zoom > 1.0f ? zoom : 1.0f;
        return SPHERA::SetPtz(m_render, region, pan, tilt, type == 0 ? atLeastOne : zoom);
    }

    uint32_t EnableBlankPtz(uint16_t region, bool enable) override {
        return SPHERA::EnableBlankPtz(m_render, region, enable);
    }
    uint32_t SetFlip(uint16_t region, uint32_t flip) override {
        return SPHERA::SetFlip(m_render, region, flip);
    }
    uint32_t SetRatioType(uint16_t region, uint32_t ratioType) override {
        return SPHERA::SetRatioType(m_render, region, ratioType);
    }
    uint32_t Project(uint16_t region, const float* x, const float* y, float* outX, float* outY,
                     uint32_t count) override {
        return SPHERA::Project(m_render, region, x, y, outX, outY, count);
    }
    uint32_t UnProject(uint16_t region, const float* x, const float* y, float* outX, float* outY,
                       uint32_t count) override {
        return SPHERA::UnProject(m_render, region, x, y, outX, outY, count);
    }
    void DrawCallbackChanged(uint16_t) override { m_render->Invalidate(); }

    uint32_t InstallStatusCallback() override {
        return SPHERA::SetStatusCallback(m_render, &StatusAdapter, User());
    }

    int32_t ManualSupport() const override { return 1; }
    uint32_t ManualInit(bool createContext) override {
        return SPHERA::ManualInit(m_render, createContext);
    }
    uint32_t ManualRender() override { return SPHERA::ManualRender(m_render); }
    uint32_t ManualSwapbuffers() override { return SPHERA::ManualSwapbuffers(m_render); }
    uint32_t ManualUnInit() override { return SPHERA::ManualUnInit(m_render); }

    // The capture's own format: the settings of the host's snapshot callback stay untouched.
    uint32_t CaptureRegion(uint32_t region, CPortPicture& picture) override {
        const uint32_t taken = SPHERA::Snap(m_render, region, kPortSnapTimeoutMs, &picture.width,
                                            &picture.stride, &picture.height, &picture.format,
                                            &picture.data, {kPortSnapFormatBgr, 4, 0.0f});
        picture.release = &SPHERA::FreeSnapData;
        if (taken != QUORIX_OK) {
            HLOG(kCaptureSource, kModule, BRIXEL::HLOG_DEBUG, "CPlayer::Snap", "Snap fail,ret=%#x",
                 taken);
        }
        return taken;
    }

    // Full size whatever factor the host's screen-off callback draws at.
    uint32_t CaptureOriginal(CPortPicture& picture) override {
        const uint32_t taken = SPHERA::ScreenOffSnap(
            m_render, kPortSnapTimeoutMs, &picture.width, &picture.stride, &picture.height,
            &picture.format, &picture.data, {kPortSnapFormatBgr, 4, 1.0f});
        picture.release = &SPHERA::FreeSnapData;
        if (taken != QUORIX_OK) {
            HLOG(kCaptureSource, kModule, BRIXEL::HLOG_DEBUG, "CPlayer::SnapOriginal",
                 "ScreenOffSnap fail,ret=%#x", taken);
        }
        return taken;
    }

    uint32_t SetSnapCallback(uint32_t region, bool on, uint32_t format, uint32_t align) override {
        const uint32_t formatted = SPHERA::SetSnapFormat(m_render, region, format, align);
        if (formatted != QUORIX_OK)
            return formatted;
        return SPHERA::SetSnapCallback(m_render, region, on ? &SnapAdapter : nullptr, User());
    }

    uint32_t SetScreenOffSnapCallback(bool on, float scale, uint32_t format,
                                      uint32_t align) override {
        const uint32_t formatted = SPHERA::SetScreenOffSnapFormat(m_render, scale, format, align);
        if (formatted != QUORIX_OK)
            return formatted;
        return SPHERA::SetScreenOffSnapCallback(m_render, on ? &SnapAdapter : nullptr, User());
    }

    uint32_t SetSnapRect(uint32_t region, float x, float y, float width, float height) override {
        return SPHERA::SetSnapRect(m_render, region, x, y, width, height);
    }
    uint32_t SetScreenOffSnapRect(float x, float y, float width, float height) override {
        return SPHERA::SetScreenOffSnapRect(m_render, x, y, width, height);
    }

    uint32_t InputPicture(uint16_t streamId, uint16_t width, uint16_t height,
                          const uint8_t* const planes[3], const uint32_t strides[3],
                          BRIXEL::CHYUVColour colour) override {
        return SPHERA::InputFrame(m_render, streamId, width, height, kPlanarYuv420, planes, strides,
                                  colour);
    }
    uint32_t AttachPicture(uint16_t streamId, uint16_t width, uint16_t height, uint8_t* buffer,
                           uint32_t size, BRIXEL::CHYUVColour colour) override {
        return SPHERA::AttachFrame(m_render, streamId, width, height, kPlanarYuv420, buffer, size,
                                   colour);
    }
    // The port keeps the engine's callback; the renderer returns through the port's adapter.
    uint32_t SetPictureRelease(uint16_t streamId, BRIXEL::HRecoveryCallback, void*) override {
        return SPHERA::SetReleaseCallback(m_render, streamId, &ReturnAdapter, User());
    }

private:
    void* User() const { return static_cast<IRendererPort*>(&m_port); }

    // Background colour and draw adapter of a region about to be enabled.
    void PrepareRegion(uint16_t region, const PortRegionSettings& settings) {
        SPHERA::SetBackgroundColor(m_render, region, settings.background);
        SPHERA::SetDrawCallback(m_render, region, &DrawAdapter, User());
    }

    SPHERA::CRender* const m_render;
    IRendererPort& m_port;
    bool m_retired = false;  // by the closing thread, read by the one that destroys
};

}  // namespace

bool CanCreateGlRenderer(const PortRendererRequest&) {
    return true;
}

uint32_t CreateGlRenderer(const PortRendererRequest& request, std::unique_ptr<IPortRenderer>& out) {
    // Model 0 takes the lens from the parameter block. Without one (a file without a header is
    // played as bare records and has neither model nor block) nothing describes a lens: the
    // picture is shown as it is, as the software display shows it.
    const bool noLens = request.model == 0 && (request.params == nullptr || request.paramsLen == 0);
    SPHERA::CRender* render = nullptr;
    const uint32_t created = SPHERA::CreateRender(noLens ? kDefaultModel : request.model,
                                                  request.params, request.paramsLen, &render);
    if (created != QUORIX_OK)
        return created;
    if (render == nullptr)
        return QUORIX_E_NO_MEMORY;
    std::unique_ptr<CGlRenderer> renderer(new (std::nothrow) CGlRenderer(render, request.port));
    if (!renderer) {
        SPHERA::DestroyRender(render);
        return QUORIX_E_NO_MEMORY;
    }
    renderer->ConnectBufferReturn();
    out = std::move(renderer);
    return QUORIX_OK;
}
