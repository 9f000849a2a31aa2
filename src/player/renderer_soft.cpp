// The software display behind a port, drawn by the display's own thread. A lens picture of
// one camera (every model but the normal one) is de-warped on the CPU: each region has its own
// display type and view, as the OpenGL renderer offers them, and its captures and point
// conversions answer as that renderer's do. The normal model and several cameras keep the
// undistorted picture with an e-PTZ view per region: no display types, no projection. Neither
// has manual rendering. Without a display (a port whose last open chose it, once closed) the
// same answers stand, with QUORIX_E_PARAM from the display's operations and the stored setters
// succeeding.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "base/hpixel.h"
#include "ddraw/display.h"
#include "dewarp/dewarper.h"
#include "panorama/modeldata.h"
#include "panorama/view.h"
#include "player/port_renderer.h"

namespace {

constexpr uint32_t kPlanarYuv420 = 20;  // pixel format number of every decoded picture
constexpr uint32_t kTypeNotSet = 0xFFFFFFFFu;
constexpr uint32_t kMaxProjectPoints = 1u << 20;

// One pool for every port: the pictures of all ports share the cores.
DEWARP::CWorkerPool& SharedPool() {
    static DEWARP::CWorkerPool* const pool = new DEWARP::CWorkerPool(0);
    return *pool;
}

// The lens a port de-warps: its model and camera matrix (from the model data when there is one).
struct SoftLens {
    int32_t model = DEWARP::MODEL_NORMAL;
    uint32_t cameras = 1;
    float K[9] = {1, 0, 0.5f, 0, 1, 0.5f, 0, 0, 1};
    int32_t mount = DEWARP::MOUNT_CEILING;
    bool Dewarps() const { return model != DEWARP::MODEL_NORMAL && cameras == 1; }
};

// A region's view as the host set it, with the limits applied as the OpenGL renderer applies them.
struct SoftView {
    int32_t display = -1;
    float pan = 0.0f, tilt = 0.0f, zoom = 1.0f;
    uint32_t ratioType = 1;
    uint32_t flip = 0;
    bool blankPtz = false;
    bool enabled = false;
    int32_t width = 0, height = 0;
    uint32_t background = 0;
};

DEWARP::YuvPicture YuvOf(const HDD::FramePlanes& planes) {
    DEWARP::YuvPicture picture;
    picture.y = planes.y;
    picture.u = planes.u;
    picture.v = planes.v;
    picture.strideY = planes.strideY;
    picture.strideUV = planes.strideUV;
    picture.width = planes.width;
    picture.height = planes.height;
    picture.colour = planes.colour;
    return picture;
}

DEWARP::ViewSettings SettingsOf(const SoftView& view, int32_t width, int32_t height) {
    DEWARP::ViewSettings settings;
    settings.display = view.display;
    settings.ratioType = view.ratioType;
    settings.pan = view.pan;
    settings.tilt = view.tilt;
    settings.zoom = view.zoom;
    settings.flip = view.flip;
    settings.blankPtz = view.blankPtz;
    settings.rectWidth = width;
    settings.rectHeight = height;
    return settings;
}

// The region's view as the OpenGL renderer derives it for a frame of a w x h picture.
SPHERA::RegionView RegionViewOf(const SoftView& view, const SoftLens& lens, uint32_t region,
                                uint32_t pictureWidth, uint32_t pictureHeight) {
    SPHERA::RegionView v;
    v.enabled = true;
    v.width = view.width;
    v.height = view.height;
    v.pan = view.pan;
    v.tilt = view.tilt;
    v.zoom = view.zoom;
    v.displayType = view.display;
    v.flip = view.flip;
    v.ratioType = view.ratioType;
    v.blankPtz = view.blankPtz;
    v.rectAspect = view.height > 0 ? static_cast<float>(view.width) / view.height : 1.0f;
    SPHERA::ViewSource source;
    source.modelType = lens.model;
    source.mount = lens.mount;
    source.cameraCount = 1;
    source.firstWidth = pictureWidth;
    source.firstHeight = pictureHeight;
    source.totalPixels = static_cast<uint64_t>(pictureWidth) * pictureHeight;
    SPHERA::ComputeViewValues(v, source, region, 1.0f);
    SPHERA::FitTargetToRect(v, region);
    SPHERA::ClampView(v);
    SPHERA::BuildModelView(v, lens.model);
    return v;
}

// A BGRX view as a capture holds it: QUORIX_PIXEL_* format 1 to 4 (R, G, B or B, G, R, with or
// without the fourth byte), rows aligned to `align` bytes, bottom row first as the OpenGL
// renderer reads its pictures back (the bitmap file takes them as they are). (x, y, w, h) is the
// part of the view to keep, y counted from the top.
uint32_t PackView(const std::vector<uint8_t>& bgrx, uint32_t viewWidth, uint32_t x, uint32_t y,
                  uint32_t width, uint32_t height, uint32_t format, uint32_t align,
                  std::vector<uint8_t>& out, uint32_t* outStride) {
    const uint32_t bytes = (format == 1 || format == 3) ? 4 : 3;
    const bool rgb = format == 1 || format == 2;
    const uint32_t stride = (width * bytes + align - 1) / align * align;
    try {
        out.assign(static_cast<size_t>(stride) * height, 0);
    } catch (const std::bad_alloc&) {
        return QUORIX_E_NO_MEMORY;
    }
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t* in = bgrx.data() + (static_cast<size_t>(y + row) * viewWidth + x) * 4;
        uint8_t* o = out.data() + static_cast<size_t>(height - 1 - row) * stride;
        for (uint32_t col = 0; col < width; ++col, in += 4, o += bytes) {
            o[0] = rgb ? in[2] : in[0];
            o[1] = in[1];
            o[2] = rgb ? in[0] : in[2];
        }
    }
    *outStride = stride;
    return QUORIX_OK;
}

uint32_t ToCapture(const std::vector<uint8_t>& bgrx, uint32_t width, uint32_t height,
                   CPortPicture& picture) {
    uint32_t stride = 0;
    const uint32_t packed =
        PackView(bgrx, width, 0, 0, width, height, kPortSnapFormatBgr, 4, picture.heap, &stride);
    if (packed != QUORIX_OK)
        return packed;
    picture.data = picture.heap.data();
    picture.release = nullptr;
    picture.width = width;
    picture.stride = stride;
    picture.height = height;
    picture.format = kPortSnapFormatBgr;
    return QUORIX_OK;
}

// A region's continuous capture: on or off, its format, alignment and part of the view.
struct SoftSnap {
    bool on = false;
    uint32_t format = 3;
    uint32_t align = 4;
    float x = 0.0f, y = 0.0f, width = 1.0f, height = 1.0f;
};

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
    CSoftRenderer(HDD::CDisplay* display, IRendererPort* port, const SoftLens& lens)
        : m_display(display), m_port(port), m_lens(lens) {}
    ~CSoftRenderer() override {
        if (m_display != nullptr)
            HDD::DestroyDisplay(m_display);
    }

    Kind GetKind() const override { return m_display != nullptr ? Kind::Software : Kind::None; }

    // The de-warpers are made before the display can draw: the painters find them in place.
    uint32_t Connect() {
        HDD::SetFrameReleaseCallback(m_display, &ReturnAdapter, User());
        if (!m_lens.Dewarps())
            return QUORIX_OK;
        for (uint32_t region = 0; region < kPortRegionCount; ++region) {
            m_dewarpers[region].reset(new (std::nothrow) DEWARP::CDewarper(&SharedPool()));
            if (!m_dewarpers[region])
                return QUORIX_E_NO_MEMORY;
            m_display->SetRegionPainter(region, &PaintAdapter, this);
        }
        return QUORIX_OK;
    }

    void ApplyRegions(const PortRegionSettings (&regions)[kPortRegionCount]) override {
        if (m_display == nullptr)
            return;
        for (uint16_t region = 0; region < kPortRegionCount; ++region) {
            const PortRegionSettings& settings = regions[region];
            if (m_lens.Dewarps() && settings.displayType != kTypeNotSet)
                SetDisplayType(region, settings.displayType);
            if (settings.ptzSet) {
                if (m_lens.Dewarps())
                    SetPtz(region, settings.pan, settings.tilt, settings.zoom);
                else  // the zoom is handed over as stored
                    HDD::SetRegionPtz(m_display, region, settings.pan, settings.tilt,
                                      settings.zoom);
            }
            if (settings.enabled != 0) {
                SetRegion(region, settings);
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
        if (m_lens.Dewarps() && region < kPortRegionCount) {
            std::lock_guard<std::mutex> lock(m_viewLock);
            SoftView& view = m_views[region];
            const bool drawn =
                settings.enabled != 0 && settings.Width() > 0 && settings.Height() > 0;
            view.enabled = drawn;
            if (drawn) {
                view.width = settings.Width();
                view.height = settings.Height();
                view.background = settings.background;
                if (view.display == -1)
                    SetTypeLocked(view, DisplayTypes().front());
            }
        }
        if (settings.enabled != 0)
            PrepareRegion(region, settings);
        return HDD::SetRegion(m_display, region, settings.left, settings.top, settings.Width(),
                              settings.Height(), settings.enabled);
    }

    // Flat: the picture as it is, the one display type 0. De-warped: the model's list.
    uint32_t GetDisplayTypeList(uint32_t* types, int32_t* count) override {
        if (!m_lens.Dewarps()) {
            if (count == nullptr || *count < 1 || types == nullptr)
                return QUORIX_E_PARAM;
            types[0] = 0;
            *count = 1;
            return QUORIX_OK;
        }
        if (count == nullptr)
            return QUORIX_E_PARAM;
        const std::vector<int32_t> list = DisplayTypes();
        const uint32_t room = *count > 0 ? static_cast<uint32_t>(*count) : 0u;
        *count = static_cast<int32_t>(list.size());
        if (room < list.size())
            return QUORIX_E_BUFFER_TOO_SMALL;
        if (types == nullptr)
            return QUORIX_E_PARAM;
        for (size_t i = 0; i < list.size(); ++i)
            types[i] = static_cast<uint32_t>(list[i]);
        return QUORIX_OK;
    }
    uint32_t GetDisplayType(uint16_t region, uint32_t* type) override {
        if (type == nullptr)
            return QUORIX_E_PARAM;
        if (!m_lens.Dewarps()) {
            *type = 0;
            return QUORIX_OK;
        }
        if (region >= kPortRegionCount)
            return QUORIX_E_PARAM;
        std::lock_guard<std::mutex> lock(m_viewLock);
        *type = static_cast<uint32_t>(m_views[region].display);
        return QUORIX_OK;
    }
    uint32_t SetDisplayType(uint16_t region, uint32_t type) override {
        if (!m_lens.Dewarps())
            return QUORIX_OK;
        if (region >= kPortRegionCount)
            return QUORIX_E_PARAM;
        const std::vector<int32_t> list = DisplayTypes();
        if (std::find(list.begin(), list.end(), static_cast<int32_t>(type)) == list.end())
            return QUORIX_E_PARAM;
        {
            std::lock_guard<std::mutex> lock(m_viewLock);
            SetTypeLocked(m_views[region], static_cast<int32_t>(type));
        }
        Redraw();
        return QUORIX_OK;
    }

    uint32_t GetPtz(uint16_t region, float* pan, float* tilt, float* zoom) override {
        if (!m_lens.Dewarps())
            return HDD::GetRegionPtz(m_display, region, pan, tilt, zoom);
        if (region >= kPortRegionCount)
            return QUORIX_E_PARAM;
        std::lock_guard<std::mutex> lock(m_viewLock);
        if (pan != nullptr)
            *pan = m_views[region].pan;
        if (tilt != nullptr)
            *tilt = m_views[region].tilt;
        if (zoom != nullptr)
            *zoom = m_views[region].zoom;
        return QUORIX_OK;
    }
    // Written as "zoom > 1 ? zoom : 1" so that a zoom that is not a number becomes 1 too; the
    // undistorted picture (display type 0) cannot be zoomed out of.
    uint32_t SetPtz(uint16_t region, float pan, float tilt, float zoom) override {
        if (m_display == nullptr)
            return QUORIX_OK;
        const float atLeastOne = zoom > 1.0f ? zoom : 1.0f;
        if (!m_lens.Dewarps())
            return HDD::SetRegionPtz(m_display, region, pan, tilt, atLeastOne);
        if (region >= kPortRegionCount)
            return QUORIX_E_PARAM;
        {
            std::lock_guard<std::mutex> lock(m_viewLock);
            SoftView& view = m_views[region];
            if (view.display == DEWARP::DISPLAY_PLANE)
                zoom = atLeastOne;
            const bool storeTilt = SPHERA::LimitPtz(view.display, pan, tilt, zoom);
            view.pan = pan;
            view.zoom = zoom;
            if (storeTilt)
                view.tilt = tilt;
        }
        Redraw();
        return QUORIX_OK;
    }
    uint32_t EnableBlankPtz(uint16_t region, bool enable) override {
        return SetViewField(region, [enable](SoftView& view) { view.blankPtz = enable; });
    }
    uint32_t SetFlip(uint16_t region, uint32_t flip) override {
        return SetViewField(region, [flip](SoftView& view) { view.flip = flip; });
    }
    uint32_t SetRatioType(uint16_t region, uint32_t ratioType) override {
        if (!m_lens.Dewarps())
            return HDD::SetRegionFitMode(m_display, region, ratioType);
        return SetViewField(region, [ratioType](SoftView& view) { view.ratioType = ratioType; });
    }
    uint32_t Project(uint16_t region, const float* x, const float* y, float* outX, float* outY,
                     uint32_t count) override {
        if (!m_lens.Dewarps())
            return QUORIX_E_NOT_SUPPORTED;
        return Convert(region, x, y, outX, outY, count, false);
    }
    uint32_t UnProject(uint16_t region, const float* x, const float* y, float* outX, float* outY,
                       uint32_t count) override {
        if (!m_lens.Dewarps())
            return QUORIX_E_NOT_IMPL;
        return Convert(region, x, y, outX, outY, count, true);
    }
    uint32_t InstallStatusCallback() override { return QUORIX_E_NOT_IMPL; }
    void DrawCallbackChanged(uint16_t) override { Redraw(); }

    int32_t ManualSupport() const override { return 0; }
    uint32_t ManualInit(bool) override { return QUORIX_E_NOT_IMPL; }
    uint32_t ManualRender() override { return QUORIX_E_NOT_IMPL; }
    uint32_t ManualSwapbuffers() override { return QUORIX_E_NOT_IMPL; }
    uint32_t ManualUnInit() override { return QUORIX_E_NOT_IMPL; }

    // Flat: one picture for the whole display, region 0's. De-warped: the region's view at
    // the size the OpenGL renderer draws it.
    uint32_t CaptureRegion(uint32_t region, CPortPicture& picture) override {
        if (m_display == nullptr)
            return QUORIX_E_STATE;
        if (!m_lens.Dewarps())
            return region != 0 ? QUORIX_E_STATE : TakePicture(picture);
        if (region >= kPortRegionCount)
            return QUORIX_E_PARAM;
        SoftView view;
        {
            std::lock_guard<std::mutex> lock(m_viewLock);
            view = m_views[region];
        }
        if (!view.enabled)
            return QUORIX_E_STATE;
        return CaptureView(view, region, picture);
    }
    // De-warped: the full picture as the OpenGL renderer's off-screen region draws it.
    uint32_t CaptureOriginal(CPortPicture& picture) override {
        if (m_display == nullptr)
            return QUORIX_E_STATE;
        if (!m_lens.Dewarps())
            return TakePicture(picture);
        SoftView view;
        view.display = SPHERA::ScreenOffDisplayType(m_lens.model, DEWARP::DISPLAY_PLANE);
        return CaptureView(view, kPortScreenOffRegion, picture);
    }

    // The adapter reads region 0's pair whatever region the host names; format and alignment
    // are the display's own.
    // De-warped: each region's own pair gets its own view after every drawing, in the host's
    // format, as the OpenGL renderer reads it back.
    uint32_t SetSnapCallback(uint32_t region, bool on, uint32_t format, uint32_t align) override {
        if (m_display == nullptr)
            return QUORIX_E_PARAM;
        if (!m_lens.Dewarps())
            return HDD::SetSnapCallback(m_display, &SnapAdapter, User());
        if (region >= kPortRegionCount || format > 4 ||
            (align != 1 && align != 2 && align != 4 && align != 8))
            return QUORIX_E_PARAM;
        bool any = false;
        {
            std::lock_guard<std::mutex> lock(m_viewLock);
            m_snaps[region].on = on;
            m_snaps[region].format = format == 0 ? 3 : format;
            m_snaps[region].align = align;
            for (const SoftSnap& snap : m_snaps)
                any = any || snap.on;
        }
        return HDD::SetSnapCallback(m_display, any ? &ViewSnapAdapter : nullptr, this);
    }
    uint32_t SetScreenOffSnapCallback(bool, float, uint32_t, uint32_t) override {
        return QUORIX_E_NOT_IMPL;
    }
    uint32_t SetSnapRect(uint32_t region, float x, float y, float width, float height) override {
        if (m_display == nullptr)
            return QUORIX_E_PARAM;
        // The display refuses what reaches past the picture, for either kind of view.
        const uint32_t checked = HDD::SetSnapRect(m_display, x, y, width, height);
        if (checked != QUORIX_OK || !m_lens.Dewarps())
            return checked;
        if (region >= kPortRegionCount)
            return QUORIX_E_PARAM;
        {
            std::lock_guard<std::mutex> lock(m_viewLock);
            m_snaps[region].x = x;
            m_snaps[region].y = y;
            m_snaps[region].width = width;
            m_snaps[region].height = height;
        }
        Redraw();  // a continuous capture of an idle port shows the new part at once
        return QUORIX_OK;
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

    std::vector<int32_t> DisplayTypes() const {
        std::vector<int32_t> list = SPHERA::DisplayTypeList(m_lens.model, 1);
        if (list.empty())
            list.push_back(DEWARP::DISPLAY_PLANE);
        return list;
    }

    // The outside cylinder looks down on its own tilt, which it leaves behind when replaced.
    static void SetTypeLocked(SoftView& view, int32_t type) {
        if (type == DEWARP::DISPLAY_CYLINDER && view.display != DEWARP::DISPLAY_CYLINDER)
            view.tilt = SPHERA::kCylinderTilt;
        if (type != DEWARP::DISPLAY_CYLINDER && view.display == DEWARP::DISPLAY_CYLINDER)
            view.tilt = 0.0f;
        view.display = type;
    }

    template <typename F>
    uint32_t SetViewField(uint16_t region, F&& set) {
        if (!m_lens.Dewarps())
            return QUORIX_E_NOT_IMPL;
        if (region >= kPortRegionCount)
            return QUORIX_E_PARAM;
        {
            std::lock_guard<std::mutex> lock(m_viewLock);
            set(m_views[region]);
        }
        Redraw();
        return QUORIX_OK;
    }

    void Redraw() {
        if (m_display != nullptr)
            m_display->Redraw();
    }

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

    // The display thread draws region `region` of the picture held now.
    static uint32_t PaintAdapter(uint32_t region, const HDD::FramePlanes& planes, uint8_t* dst,
                                 uint32_t stride, uint32_t width, uint32_t height,
                                 QXPLAT::DDRECT* image, void* user) {
        return static_cast<CSoftRenderer*>(user)->Paint(region, planes, dst, stride, width, height,
                                                        image);
    }

    uint32_t Paint(uint32_t region, const HDD::FramePlanes& planes, uint8_t* dst, uint32_t stride,
                   uint32_t width, uint32_t height, QXPLAT::DDRECT* image) {
        if (region >= kPortRegionCount || !m_dewarpers[region])
            return QUORIX_E_PARAM;
        SoftView view;
        {
            std::lock_guard<std::mutex> lock(m_viewLock);
            view = m_views[region];
        }
        const SPHERA::RegionView shown = KeepLimitedView(region, view, planes.width, planes.height);
        // The draw callback learns where the picture is, without the bars, as from the OpenGL
        // renderer.
        const SPHERA::ImageRect part = SPHERA::ComputeImageRect(shown);
        *image = {part.x, part.y, part.x + part.width, part.y + part.height};
        return m_dewarpers[region]->Render(
            SettingsOf(view, static_cast<int32_t>(width), static_cast<int32_t>(height)), Lens(),
            YuvOf(planes), dst, stride, width, height, view.background);
    }

    DEWARP::LensData Lens() const {
        DEWARP::LensData lens;
        lens.model = m_lens.model;
        lens.mount = m_lens.mount;
        std::memcpy(lens.K, m_lens.K, sizeof(lens.K));
        return lens;
    }

    // The zoomed picture keeps covering the view: the limited pan, tilt and zoom are what the
    // region stores from then on (the host reads them back), as the OpenGL renderer does.
    // The view as drawn.
    SPHERA::RegionView KeepLimitedView(uint32_t region, const SoftView& view, uint32_t pictureWidth,
                                       uint32_t pictureHeight) {
        SPHERA::RegionView limited =
            RegionViewOf(view, m_lens, region, pictureWidth, pictureHeight);
        if (limited.pan == view.pan && limited.tilt == view.tilt && limited.zoom == view.zoom)
            return limited;
        std::lock_guard<std::mutex> lock(m_viewLock);
        SoftView& stored = m_views[region];
        // A host change meanwhile wins: the next drawing limits it.
        if (stored.pan != view.pan || stored.tilt != view.tilt || stored.zoom != view.zoom ||
            stored.display != view.display)
            return limited;
        stored.pan = limited.pan;
        stored.tilt = limited.tilt;
        stored.zoom = limited.zoom;
        return limited;
    }

    // The display's picture, about to be drawn: every region with a capture on gets its view.
    static void ViewSnapAdapter(uint32_t width, uint32_t stride, uint32_t height, uint32_t,
                                const uint8_t* data, void* user) {
        HDD::FramePlanes planes;
        planes.y = data;
        planes.u = data + BRIXEL::HPixelI420FirstOffset(stride, height);
        planes.v = data + BRIXEL::HPixelI420SecondOffset(stride, height);
        planes.strideY = stride;
        planes.strideUV = BRIXEL::HPixelChromaStride(stride);
        planes.width = width;
        planes.height = height;
        static_cast<CSoftRenderer*>(user)->SnapViews(planes);
    }

    void SnapViews(HDD::FramePlanes planes) {
        for (uint32_t region = 0; region < kPortRegionCount; ++region) {
            SoftView view;
            SoftSnap snap;
            {
                std::lock_guard<std::mutex> lock(m_viewLock);
                view = m_views[region];
                snap = m_snaps[region];
            }
            if (!snap.on || !view.enabled)
                continue;
            planes.colour = m_display->HeldColour();
            const SPHERA::RegionView derived =
                RegionViewOf(view, m_lens, region, planes.width, planes.height);
            const uint32_t width = derived.targetWidth, height = derived.targetHeight;
            if (width == 0 || height == 0)
                continue;
            try {
                m_snapView.resize(static_cast<size_t>(width) * height * 4);
            } catch (const std::bad_alloc&) {
                continue;
            }
            if (!m_snapDewarpers[region])
                m_snapDewarpers[region].reset(new (std::nothrow) DEWARP::CDewarper(&SharedPool()));
            if (!m_snapDewarpers[region])
                continue;
            view.pan = derived.pan;
            view.tilt = derived.tilt;
            view.zoom = derived.zoom;
            const uint32_t x = std::min(width - 1, static_cast<uint32_t>(snap.x * width));
            const uint32_t y = std::min(height - 1, static_cast<uint32_t>(snap.y * height));
            const uint32_t w = std::clamp(static_cast<uint32_t>(snap.width * width), 1u, width - x);
            const uint32_t h =
                std::clamp(static_cast<uint32_t>(snap.height * height), 1u, height - y);
            // Only the rows handed over are drawn.
            if (m_snapDewarpers[region]->Render(SettingsOf(view, view.width, view.height), Lens(),
                                                YuvOf(planes), m_snapView.data(), width * 4, width,
                                                height, view.background, y, y + h) != QUORIX_OK)
                continue;
            uint32_t stride = 0;
            if (PackView(m_snapView, width, x, y, w, h, snap.format, snap.align, m_snapPacked,
                         &stride) != QUORIX_OK)
                continue;
            m_port->CallSnapCallback(static_cast<uint16_t>(region), w, stride, h, snap.format,
                                     m_snapPacked.data());
        }
    }

    struct CaptureJob {
        CSoftRenderer* self;
        const SoftView* view;
        uint32_t region;
        CPortPicture* picture;
    };

    uint32_t CaptureView(const SoftView& view, uint32_t region, CPortPicture& picture) {
        CaptureJob job{this, &view, region, &picture};
        return m_display->WithPicture(
            kPortSnapTimeoutMs,
            [](const HDD::FramePlanes& planes, void* user) -> uint32_t {
                auto* j = static_cast<CaptureJob*>(user);
                return j->self->CaptureLocked(*j->view, j->region, planes, *j->picture);
            },
            &job);
    }

    // The display keeps the picture as it is while it is read; new pictures go elsewhere.
    uint32_t CaptureLocked(SoftView view, uint32_t region, const HDD::FramePlanes& planes,
                           CPortPicture& picture) {
        SPHERA::RegionView derived =
            RegionViewOf(view, m_lens, region, planes.width, planes.height);
        const uint32_t width = derived.targetWidth, height = derived.targetHeight;
        if (width == 0 || height == 0)
            return QUORIX_E_STATE;
        if (region != kPortScreenOffRegion) {
            // The host reads the limited view back once the capture is in its hands.
            KeepLimitedView(region, view, planes.width, planes.height);
            view.pan = derived.pan;
            view.tilt = derived.tilt;
            view.zoom = derived.zoom;
        }
        std::lock_guard<std::mutex> lock(m_captureLock);
        std::vector<uint8_t> bgrx;
        try {
            bgrx.resize(static_cast<size_t>(width) * height * 4);
        } catch (const std::bad_alloc&) {
            return QUORIX_E_NO_MEMORY;
        }
        DEWARP::CDewarper dewarper(&SharedPool());
        // The view's rectangle keeps its shape whatever size the capture takes.
        DEWARP::ViewSettings settings = SettingsOf(view, view.width, view.height);
        const uint32_t drawn = dewarper.Render(settings, Lens(), YuvOf(planes), bgrx.data(),
                                               width * 4, width, height, view.background);
        if (drawn != QUORIX_OK)
            return drawn;
        return ToCapture(bgrx, width, height, picture);
    }

    // Project: source points (normalised pan and tilt) to the region as shown; UnProject the
    // other way, through the surface under each shown point. Points without an answer become
    // NaN, as the OpenGL renderer leaves them.
    uint32_t Convert(uint16_t region, const float* xs, const float* ys, float* outXs, float* outYs,
                     uint32_t count, bool inverse) {
        if (xs == nullptr || ys == nullptr || outXs == nullptr || outYs == nullptr ||
            region >= kPortRegionCount || count > kMaxProjectPoints)
            return QUORIX_E_PARAM;
        if (m_display == nullptr)
            return QUORIX_E_STATE;
        SoftView view;
        {
            std::lock_guard<std::mutex> lock(m_viewLock);
            view = m_views[region];
        }
        if (!SPHERA::HasSourceCoordinates(view.display))
            return QUORIX_E_NOT_SUPPORTED;
        // The answers hold for the picture shown: wait for the first one.
        uint32_t size[2] = {0, 0};
        const uint32_t got = m_display->WithPicture(
            kPortSnapTimeoutMs,
            [](const HDD::FramePlanes& planes, void* user) -> uint32_t {
                auto* wh = static_cast<uint32_t*>(user);
                wh[0] = planes.width;
                wh[1] = planes.height;
                return QUORIX_OK;
            },
            size);
        if (got != QUORIX_OK)
            return got;
        if (!view.enabled)
            return QUORIX_E_TIMEOUT;  // a region that is not drawn never answers
        const SPHERA::RegionView shown = RegionViewOf(view, m_lens, region, size[0], size[1]);
        const int32_t vp[4] = {0, 0, static_cast<int32_t>(shown.targetWidth),
                               static_cast<int32_t>(shown.targetHeight)};
        DEWARP::ViewSettings settings = SettingsOf(view, view.width, view.height);
        settings.pan = shown.pan;
        settings.tilt = shown.tilt;
        settings.zoom = shown.zoom;
        DEWARP::LensData lens = Lens();
        lens.width = size[0];
        lens.height = size[1];
        DEWARP::ViewGeometry geometry;
        const bool derived = DEWARP::DeriveView(settings, lens, &geometry);
        const float undefined = std::nanf("");
        for (uint32_t i = 0; i < count; ++i) {
            double outX = 0.0, outY = 0.0;
            bool defined = false;
            const double x = xs[i], y = ys[i];
            if (!inverse) {
                defined = SPHERA::ProjectPoint(shown, m_lens.model, vp, x, y, outX, outY);
            } else if (derived && vp[2] > 0 && vp[3] > 0 && x >= 0.0 && x <= 1.0 && y >= 0.0 &&
                       y <= 1.0) {
                double obj[3];
                if (DEWARP::ObjectAtPixel(geometry, static_cast<uint32_t>(vp[2]),
                                          static_cast<uint32_t>(vp[3]), x * vp[2] - 0.5,
                                          y * vp[3] - 0.5, obj)) {
                    SPHERA::ToSource(shown, m_lens.model, obj, outX, outY);
                    defined = std::isfinite(outX) && std::isfinite(outY);
                }
            }
            outXs[i] = defined ? static_cast<float>(outX) : undefined;
            outYs[i] = defined ? static_cast<float>(outY) : undefined;
        }
        return QUORIX_OK;
    }

    HDD::CDisplay* const m_display;
    IRendererPort* const m_port;
    const SoftLens m_lens;
    std::mutex m_viewLock;  // guards m_views
    SoftView m_views[kPortRegionCount];
    // One per region, used by the display thread only.
    std::unique_ptr<DEWARP::CDewarper> m_dewarpers[kPortRegionCount];
    std::mutex m_captureLock;            // one capture at a time
    SoftSnap m_snaps[kPortRegionCount];  // m_viewLock
    // The continuous captures' views, used by the display thread only.
    std::unique_ptr<DEWARP::CDewarper> m_snapDewarpers[kPortRegionCount];
    std::vector<uint8_t> m_snapView, m_snapPacked;
};

}  // namespace

namespace {
std::atomic<bool> g_cpuDewarpByDefault{false};
}  // namespace

void SetCpuDewarpByDefault(bool on) {
    g_cpuDewarpByDefault.store(on);
}

bool CpuDewarpByDefault() {
    return g_cpuDewarpByDefault.load();
}

// The host's manual rendering draws with OpenGL in the host's own context: a port chosen for
// the CPU de-warp only by default goes back to OpenGL when it starts in manual mode.
bool CanCreateSoftRenderer(const PortRendererRequest& request) {
    return request.softwareMode || (CpuDewarpByDefault() && request.model >= 0 && !request.manual);
}

uint32_t CreateSoftRenderer(const PortRendererRequest& request,
                            std::unique_ptr<IPortRenderer>& out) {
    // A lens block the OpenGL renderer refuses is refused here as well: a port opens the same
    // files and streams on either renderer.
    SoftLens lens;
    if (request.model != 0) {
        lens.model = request.model;
    } else if (request.params != nullptr && request.paramsLen != 0) {
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
        lens.model = static_cast<int32_t>(header.modelType);
        lens.cameras = static_cast<uint32_t>(cameras.size());
        lens.mount = SPHERA::MountOf(header);
        if (!cameras.empty())
            std::memcpy(lens.K, cameras.front().calibration.K, sizeof(lens.K));
    }
    // A model the de-warp does not know is shown flat, as an unknown model is elsewhere.
    if (!DEWARP::IsSupported(lens.model, DEWARP::DISPLAY_PLANE))
        lens.model = DEWARP::MODEL_NORMAL;
    HDD::CDisplay* display = nullptr;
    const uint32_t created = HDD::CreateDisplay(&display);
    if (created != QUORIX_OK)
        return created;
    if (display == nullptr)
        return QUORIX_E_NO_MEMORY;
    std::unique_ptr<CSoftRenderer> renderer(new (std::nothrow)
                                                CSoftRenderer(display, &request.port, lens));
    if (!renderer) {
        HDD::DestroyDisplay(display);
        return QUORIX_E_NO_MEMORY;
    }
    const uint32_t connected = renderer->Connect();
    if (connected != QUORIX_OK)
        return connected;
    out = std::move(renderer);
    return QUORIX_OK;
}

IPortRenderer& NoSoftRenderer() {
    static CSoftRenderer closed(nullptr, nullptr, SoftLens{});
    return closed;
}
