// View mathematics and region state without a GL context: display-type lists, PTZ limits,
// derived view values, clamping, picture rectangles, point conversions and grid density.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <quorixsdk.h>

#include "panorama/region.h"
#include "panorama/view.h"

using namespace SPHERA;

namespace {

// A renderer stand-in: a model type and camera sizes, no GL.
class FakeHost : public IRegionHost {
public:
    explicit FakeHost(int32_t model,
                      std::vector<std::pair<uint32_t, uint32_t>> cams = {{1920, 1080}})
        : m_model(model), m_cams(std::move(cams)) {
        for (uint32_t i = 0; i < kRegionCount; ++i)
            m_regions.emplace_back(new CRegion(i, this));
    }
    ~FakeHost() override {
        for (CRegion* r : m_regions)
            delete r;
    }
    int32_t GetModelType() const override { return m_model; }
    uint32_t GetCameraCount() const override { return static_cast<uint32_t>(m_cams.size()); }
    void GetCameraImageSize(uint32_t i, uint32_t* w, uint32_t* h) const override {
        *w = i < m_cams.size() ? m_cams[i].first : 0;
        *h = i < m_cams.size() ? m_cams[i].second : 0;
    }
    uint16_t GetStitchedWidth() const override { return 0; }
    float GetStitchedAspect() const override { return 2.0f; }
    int32_t GetMaxTextureSize() const override { return 0; }
    int32_t GetMaxTextureBufferSize() const override { return 0; }
    void GetScreenSize(uint32_t* w, uint32_t* h) const override { *w = *h = 0; }
    uint32_t GetProgram() const override { return 0; }
    int32_t GetUniform(EUniform) const override { return -1; }
    void DrawGrid(int32_t, int32_t) override {}
    void DrawQuad() override {}
    CRegion* GetRegion(uint32_t i) const override {
        return i < kRegionCount ? m_regions[i] : nullptr;
    }
    bool IsSnapshotBusy() const override { return m_busy; }
    void SetSnapshotBusy(bool b) override { m_busy = b; }

private:
    int32_t m_model;
    std::vector<std::pair<uint32_t, uint32_t>> m_cams;
    std::vector<CRegion*> m_regions;
    bool m_busy = false;
};

RegionView MakeView(int32_t display, int32_t w, int32_t h, uint32_t ratioType = 1) {
    RegionView v;
    v.enabled = true;
    v.width = w;
    v.height = h;
    v.displayType = display;
    v.ratioType = ratioType;
    v.rectAspect = h ? static_cast<float>(w) / h : 1.0f;
    return v;
}

ViewSource OneCamera(int32_t model, uint32_t w, uint32_t h) {
    ViewSource s;
    s.modelType = model;
    s.cameraCount = 1;
    s.firstWidth = w;
    s.firstHeight = h;
    s.totalPixels = uint64_t{w} * h;
    return s;
}

}  // namespace

TEST(ViewMath, DisplayTypeListsFollowTheModel) {
    struct Case {
        int32_t model;
        uint32_t cameras;
        std::vector<int32_t> list;
    } cases[] = {
        {SPH_MODEL_FISHEYE, 1, {11, 12, 13, 0, 10}},
        {SPH_MODEL_FISHEYE, 2, {11, 12, 13, 0, 10, 9}},
        {SPH_MODEL_VR720, 1, {10, 11, 13, 0}},
        {SPH_MODEL_VR360, 1, {11, 12, 13, 0, 10}},
        {SPH_MODEL_VR360_2, 1, {11, 12, 13, 0, 10}},
        {SPH_MODEL_RING, 1, {16, 17, 13, 15, 0}},
        {SPH_MODEL_NORMAL, 1, {0}},
        {42, 1, {0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DisplayTypeList(c.model, c.cameras), c.list) << "model " << c.model;
        EXPECT_FALSE(IsDisplayTypeSupported(c.model, c.cameras, 14));
    }

    FakeHost host(SPH_MODEL_RING);
    int32_t types[8] = {};
    uint32_t count = 3;
    EXPECT_EQ(GetDisplayTypeList(&host, types, &count), QUORIX_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(GetDisplayTypeList(&host, types, &count), QUORIX_OK);
    EXPECT_EQ(types[0], 16);
    EXPECT_EQ(types[4], 0);
}

TEST(ViewMath, PtzIsWrappedOrClampedByDisplayType) {
    struct Case {
        int32_t display;
        float pan, tilt, zoom;
        float wantPan, wantTilt, wantZoom;
    } cases[] = {
        {11, 1.5f, 0.0f, 1.0f, -0.5f, 0.0f, 1.0f},
        {0, 1.5f, 0.0f, 0.0f, 1.0f, 0.0f, 0.001f},
        {10, -2.5f, 3.25f, 2.0f, -0.5f, -0.75f, 2.0f},
        {13, 1.25f, 2.0f, 1.0f, -0.75f, 1.0f, 1.0f},
        {12, -7.0f, -7.0f, 1.0f, -1.0f, -1.0f, 1.0f},
        {17, 200001.5f, 0.0f, 1.0f, -0.5f, 0.0f, 1.0f},
        {11, 1.0e30f, NAN, INFINITY, 0.0f, 0.0f, 1.0f},   // never loops, never stores NaN
        {13, 0.0f, 0.0f, 1000.0f, 0.0f, 0.0f, kMaxZoom},  // only zooms that still draw
        {0, 0.0f, 0.0f, 17.0f, 0.0f, 0.0f, kMaxZoom},
    };
    for (const Case& c : cases) {
        float p = c.pan, t = c.tilt, z = c.zoom;
        EXPECT_TRUE(LimitPtz(c.display, p, t, z));
        EXPECT_GE(p, -1.0f);
        EXPECT_LE(p, 1.0f);
        if (std::fabs(c.pan) < 1e6f) {
            EXPECT_NEAR(p, c.wantPan, 1e-4) << "display " << c.display;
        }
        EXPECT_NEAR(t, c.wantTilt, 1e-4) << "display " << c.display;
        EXPECT_NEAR(z, c.wantZoom, 1e-6) << "display " << c.display;
    }
}

TEST(ViewMath, CylinderViewKeepsItsTilt) {
    FakeHost host(SPH_MODEL_RING);
    CRegion& r = *host.GetRegion(0);
    r.SetDisplayType(16);
    float pan, tilt, zoom;
    r.GetPtz(&pan, &tilt, &zoom);
    EXPECT_NEAR(tilt, -0.30555555f, 1e-6);  // 55 degrees below the horizon
    r.SetPtz(0.25f, -0.2f, 1.0f);
    r.GetPtz(&pan, &tilt, &zoom);
    EXPECT_NEAR(pan, 0.25f, 1e-6);
    EXPECT_NEAR(tilt, -0.30555555f, 1e-6);
    r.SetPtz(0.25f, -0.4f, 1.0f);
    r.GetPtz(nullptr, &tilt, nullptr);
    EXPECT_NEAR(tilt, -0.4f, 1e-6);
    r.SetDisplayType(17);
    r.GetPtz(nullptr, &tilt, nullptr);
    EXPECT_EQ(tilt, 0.0f);
}

TEST(ViewMath, EnablingGivesTheFirstListedDisplayType) {
    FakeHost fisheye(SPH_MODEL_FISHEYE);
    EXPECT_EQ(EnableRegion(&fisheye, 0, 0, 0, 640, 480, true), QUORIX_OK);
    int32_t type = -1;
    EXPECT_EQ(GetDisplayType(&fisheye, 0, &type), QUORIX_OK);
    EXPECT_EQ(type, 11);
    EXPECT_TRUE(fisheye.GetRegion(0)->IsEnabled());
    EXPECT_EQ(EnableRegion(&fisheye, 0, 0, 0, -5, 480, true), QUORIX_OK);  // empty: disabled
    EXPECT_FALSE(fisheye.GetRegion(0)->IsEnabled());
    EXPECT_EQ(EnableRegion(&fisheye, 10, 0, 0, 1, 1, true), QUORIX_E_PARAM);
    EXPECT_EQ(SetDisplayType(&fisheye, 0, 16), QUORIX_E_PARAM);  // not offered for a fisheye
    EXPECT_EQ(SetDisplayType(&fisheye, 0, 10), QUORIX_OK);       // its perspective view
    EXPECT_EQ(SetDisplayType(&fisheye, 0, 13), QUORIX_OK);
    EXPECT_EQ(SetDisplayType(&fisheye, 9, 13), QUORIX_E_PARAM);
    EXPECT_EQ(SetDisplayType(nullptr, 0, 13), QUORIX_E_PARAM);
}

TEST(ViewMath, SnapSettingsAreChecked) {
    FakeHost host(SPH_MODEL_NORMAL);
    EXPECT_EQ(SetSnapFormat(&host, 0, 5, 4), QUORIX_E_PARAM);
    EXPECT_EQ(SetSnapFormat(&host, 0, 2, 3), QUORIX_E_PARAM);
    EXPECT_EQ(SetSnapFormat(&host, 0, 0, 8), QUORIX_OK);
    // A region that is never drawn never completes a read-back or a project request.
    uint8_t* data = reinterpret_cast<uint8_t*>(&host);
    EXPECT_EQ(Snap(&host, 0, 0, nullptr, nullptr, nullptr, nullptr, &data), QUORIX_E_TIMEOUT);
    EXPECT_EQ(Snap(&host, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr), QUORIX_E_PARAM);
    float xs[2] = {0.5f, 0.25f}, ys[2] = {0.5f, 0.75f}, ox[2] = {7, 7}, oy[2] = {7, 7};
    EXPECT_EQ(Project(&host, 0, xs, ys, ox, oy, 2), QUORIX_E_TIMEOUT);
    EXPECT_EQ(ox[0], 7.0f);
    EXPECT_EQ(oy[1], 7.0f);
    EXPECT_EQ(UnProject(&host, 0, xs, nullptr, ox, oy, 2), QUORIX_E_PARAM);
}

TEST(ViewMath, VideoAspectAndAdaptMode) {
    struct Case {
        int32_t model, display;
        uint32_t ratioType;
        float aspect;
        int32_t adapt;
    } cases[] = {
        {SPH_MODEL_VR720, 13, 1, 2.0f, 2},    // 2 < 640/240
        {SPH_MODEL_FISHEYE, 13, 1, 4.0f, 1},  // 4 > 640/240
        {SPH_MODEL_FISHEYE, 12, 0, 1.0f, 0},
        {SPH_MODEL_RING, 13, 2, 1200.0f / 400.0f, 1},  // the ring keeps its picture's aspect
        {SPH_MODEL_RING, 15, 3, 1200.0f / 400.0f / 2.0f, 2},
        {SPH_MODEL_FISHEYE, 11, 1, 640.0f / 240.0f, 1},
        {SPH_MODEL_NORMAL, 0, 1, 3.0f, 1},
    };
    for (const Case& c : cases) {
        RegionView v = MakeView(c.display, 640, 240, c.ratioType);
        ComputeViewValues(v, OneCamera(c.model, 1200, 400), 0, 1.0f);
        EXPECT_NEAR(v.videoAspect, c.aspect, 1e-5) << c.model << "/" << c.display;
        EXPECT_EQ(v.adaptMode, c.adapt) << c.model << "/" << c.display;
        EXPECT_EQ(v.targetWidth, 1200u);
        EXPECT_EQ(v.targetHeight, 400u);
    }
    // Display 14 ignores pan; 13 passes it to the shader and not to the model-view.
    RegionView v = MakeView(14, 640, 240);
    v.pan = 0.5f;
    ComputeViewValues(v, OneCamera(SPH_MODEL_FISHEYE, 1920, 1920), 0, 1.0f);
    EXPECT_EQ(v.panUniform, 0.0f);
    v = MakeView(13, 640, 240);
    v.pan = 0.5f;
    ComputeViewValues(v, OneCamera(SPH_MODEL_FISHEYE, 1920, 1920), 0, 1.0f);
    EXPECT_EQ(v.panUniform, 0.5f);
    ClampView(v);
    BuildModelView(v, SPH_MODEL_FISHEYE);
    EXPECT_EQ(v.modelView[12], 0.0f);
}

TEST(ViewMath, RenderTargetSizeLimits) {
    // Off-screen region: size factor, the shape of the square half panorama (the smaller side
    // widened, so that a non-square source leaves no bars), then a third of the texture limit.
    ViewSource s = OneCamera(SPH_MODEL_FISHEYE, 3000, 2000);
    s.maxTextureSize = 8192;
    RegionView v = MakeView(12, 0, 0);
    ComputeViewValues(v, s, 9, 0.5f);
    EXPECT_EQ(v.targetWidth, 1500u);
    EXPECT_EQ(v.targetHeight, 1500u);
    EXPECT_EQ(v.width, 1500);  // region 9 takes its target as its rectangle
    EXPECT_EQ(v.adaptMode, 1);
    ComputeViewValues(v, s, 9, 2.0f);
    EXPECT_EQ(v.targetWidth, 2730u);
    EXPECT_EQ(v.targetHeight, 2730u);
    // The full panorama of a full sphere is 2:1, that of the ring keeps the picture's shape.
    v = MakeView(14, 0, 0);
    ComputeViewValues(v, OneCamera(SPH_MODEL_VR720, 1000, 800), 9, 1.0f);
    EXPECT_EQ(v.targetWidth, 1600u);
    EXPECT_EQ(v.targetHeight, 800u);
    v = MakeView(14, 0, 0);
    ComputeViewValues(v, OneCamera(SPH_MODEL_RING, 1200, 400), 9, 1.0f);
    EXPECT_EQ(v.targetWidth, 1200u);
    EXPECT_EQ(v.targetHeight, 400u);
    // A size factor is not range-checked when stored: absurd ones give sane sizes.
    ViewSource unlimited = OneCamera(SPH_MODEL_FISHEYE, 3000, 2000);
    for (float factor : {1.0e30f, -4.0f, NAN}) {
        v = MakeView(12, 0, 0);
        ComputeViewValues(v, unlimited, 9, factor);
        EXPECT_LE(v.targetWidth, 2147483647u);
        EXPECT_GE(v.width, 0);
    }
    // On-screen regions: the screen caps each side, the size factor does not apply.
    s.screenWidth = 1920;
    s.screenHeight = 1080;
    v = MakeView(12, 640, 480);
    ComputeViewValues(v, s, 3, 0.5f);
    EXPECT_EQ(v.targetWidth, 1920u);
    EXPECT_EQ(v.targetHeight, 1080u);
    // Two cameras without a stitched width: sqrt of the pixel total, height by the aspect.
    ViewSource m;
    m.modelType = SPH_MODEL_VR720;
    m.cameraCount = 2;
    m.totalPixels = 2 * 1000 * 500;
    m.stitchedAspect = 2.0f;
    v = MakeView(0, 640, 480);
    ComputeViewValues(v, m, 0, 1.0f);
    EXPECT_EQ(v.targetWidth, 1000u);
    EXPECT_EQ(v.targetHeight, 500u);
}

// With two or more cameras the target holds the stitched picture: W wide and W / stitched aspect
// high in every display type, on screen and off screen (where the size factor scales both).
TEST(ViewMath, StitchedTargetsFollowTheStitchedAspect) {
    ViewSource m;
    m.cameraCount = 2;
    m.firstWidth = 1600;
    m.firstHeight = 1200;
    m.totalPixels = 2 * 1600 * 1200;
    m.stitchedWidth = 2000;
    m.stitchedAspect = 2.0f;
    for (int32_t model = 1; model <= 6; ++model) {
        m.modelType = model;
        for (int32_t d : {0, 9, 10, 11, 12, 13, 14, 15, 16, 17}) {
            SCOPED_TRACE("model " + std::to_string(model) + " display " + std::to_string(d));
            RegionView v = MakeView(d, 640, 480);
            ComputeViewValues(v, m, 0, 1.0f);
            EXPECT_EQ(v.targetWidth, 2000u);
            EXPECT_EQ(v.targetHeight, 1000u);
            v = MakeView(d, 0, 0);
            ComputeViewValues(v, m, 9, 0.5f);
            EXPECT_EQ(v.targetWidth, 1000u);
            EXPECT_EQ(v.targetHeight, 500u);
            EXPECT_EQ(v.height, 500);
            // Without a stitched width: the pixel total, shaped by the stitched aspect.
            ViewSource n = m;
            n.stitchedWidth = 0;
            n.totalPixels = 2 * 1000 * 1000;
            v = MakeView(d, 640, 480);
            ComputeViewValues(v, n, 0, 1.0f);
            EXPECT_EQ(v.targetWidth, 1414u);
            EXPECT_EQ(v.targetHeight, 707u);
        }
    }
}

// The target is only ever shown in the rectangle: an on-screen region never renders more pixels
// than its rectangle has on either side, while region 9 keeps the picture-sized target it is
// read back at.
TEST(ViewMath, OnScreenTargetsFitTheRectangle) {
    struct Case {
        uint32_t region;
        int32_t rectW, rectH;
        uint32_t picW, picH;
        uint32_t wantW, wantH;
    } cases[] = {
        {0, 640, 360, 1920, 1080, 640, 360},    // smaller rectangle: its own size
        {3, 1920, 960, 1920, 1920, 1920, 960},  // one side only
        {0, 1920, 1080, 640, 360, 640, 360},    // larger rectangle: the picture's size
        {8, 400, 2000, 1000, 1000, 400, 1000},
    };
    for (const Case& c : cases) {
        RegionView v = MakeView(13, c.rectW, c.rectH);
        ComputeViewValues(v, OneCamera(SPH_MODEL_FISHEYE, c.picW, c.picH), c.region, 1.0f);
        FitTargetToRect(v, c.region);
        EXPECT_EQ(v.targetWidth, c.wantW) << c.rectW << "x" << c.rectH;
        EXPECT_EQ(v.targetHeight, c.wantH) << c.rectW << "x" << c.rectH;
    }
    RegionView v = MakeView(12, 0, 0);
    ComputeViewValues(v, OneCamera(SPH_MODEL_FISHEYE, 3000, 2000), 9, 1.0f);
    FitTargetToRect(v, 9);
    EXPECT_EQ(v.targetWidth, 3000u);
    EXPECT_EQ(v.targetHeight, 3000u);
    // The benchmark's switch back to the picture-sized targets.
    ForcePictureSizedTargets(true);
    v = MakeView(13, 640, 360);
    ComputeViewValues(v, OneCamera(SPH_MODEL_FISHEYE, 1920, 1080), 0, 1.0f);
    FitTargetToRect(v, 0);
    ForcePictureSizedTargets(false);
    EXPECT_EQ(v.targetWidth, 1920u);
}

TEST(ViewMath, ProjectionMatrices) {
    RegionView v = MakeView(11, 800, 400);
    ComputeViewValues(v, OneCamera(SPH_MODEL_FISHEYE, 100, 100), 0, 1.0f);
    const double t = std::tan(0.567232);
    EXPECT_NEAR(v.project[5], 1.0 / t, 1e-5);
    EXPECT_NEAR(v.project[0], 1.0 / (2.0 * t), 1e-5);
    EXPECT_NEAR(v.project[10], -100.1 / 99.9, 1e-5);
    EXPECT_EQ(v.project[11], -1.0f);
    EXPECT_NEAR(v.project[14], -20.0 / 99.9, 1e-5);
    v = MakeView(16, 800, 400);
    ComputeViewValues(v, OneCamera(SPH_MODEL_RING, 100, 100), 0, 1.0f);
    EXPECT_NEAR(v.project[0], 1.0 / (2.0 * t * 20.0), 1e-6);
    EXPECT_NEAR(v.project[10], -0.05, 1e-7);
    EXPECT_EQ(v.project[14], 0.0f);
    EXPECT_EQ(v.project[15], 1.0f);
    float m[16];
    Frustum(m, -1, 1, -1, 1, -0.1, 100);
    EXPECT_EQ(m[0], 1.0f);
    EXPECT_EQ(m[14], 0.0f);
    Ortho(m, 1, 1, -1, 1, -1, 1);
    EXPECT_EQ(m[0], 1.0f);
}

TEST(ViewMath, ClampKeepsThePictureCoveringTheView) {
    auto clamped = [](float pan, float zoom, bool blank) {
        RegionView v = MakeView(0, 640, 480, 0);
        v.pan = pan;
        v.zoom = zoom;
        v.blankPtz = blank;
        ComputeViewValues(v, OneCamera(SPH_MODEL_NORMAL, 640, 480), 0, 1.0f);
        ClampView(v);
        return v;
    };
    EXPECT_EQ(clamped(0.7f, 1.0f, false).pan, 0.0f);
    EXPECT_NEAR(clamped(0.7f, 1.0f, true).pan, 0.7f, 1e-6);
    // At zoom 2 the picture may move by half its size: pan 1 is limited to 0.5.
    EXPECT_NEAR(clamped(1.0f, 2.0f, false).pan, 0.5f, 1e-5);
    EXPECT_NEAR(clamped(0.3f, 2.0f, false).pan, 0.3f, 1e-6);
    // Display 13 scrolls instead and never zooms out below 1.
    RegionView v = MakeView(13, 640, 240);
    v.pan = 0.9f;
    v.zoom = 0.5f;
    ComputeViewValues(v, OneCamera(SPH_MODEL_FISHEYE, 1920, 1920), 0, 1.0f);
    EXPECT_TRUE(ClampView(v));
    EXPECT_NEAR(v.pan, 0.9f, 1e-6);
    EXPECT_EQ(v.zoom, 1.0f);
}

TEST(ViewMath, ImageRectangleForTheDrawCallback) {
    RegionView v = MakeView(0, 800, 400, 1);
    ComputeViewValues(v, OneCamera(SPH_MODEL_NORMAL, 400, 400), 0, 1.0f);  // fit height
    ImageRect r = ComputeImageRect(v);
    EXPECT_EQ(r.x, 200);
    EXPECT_EQ(r.y, 0);
    EXPECT_EQ(r.width, 400);
    EXPECT_EQ(r.height, 400);
    v.zoom = 3.0f;  // larger than the region: clipped to it
    r = ComputeImageRect(v);
    EXPECT_EQ(r.x, 0);
    EXPECT_EQ(r.width, 800);
    v = MakeView(11, 800, 400);
    ComputeViewValues(v, OneCamera(SPH_MODEL_FISHEYE, 400, 400), 0, 1.0f);
    r = ComputeImageRect(v);
    EXPECT_EQ(r.width, 800);
    EXPECT_EQ(r.height, 400);
}

TEST(ViewMath, SourceAndObjectConversionsAreInverse) {
    struct Case {
        int32_t model, display;
        float pan;
    } cases[] = {
        {SPH_MODEL_FISHEYE, 13, 0.3f}, {SPH_MODEL_VR360, 14, 0.0f},   {SPH_MODEL_VR720, 13, -0.4f},
        {SPH_MODEL_RING, 13, 0.2f},    {SPH_MODEL_FISHEYE, 12, 0.0f}, {SPH_MODEL_FISHEYE, 11, 0.0f},
        {SPH_MODEL_RING, 16, 0.0f},    {SPH_MODEL_RING, 17, 0.0f},
    };
    for (const Case& c : cases) {
        RegionView v = MakeView(c.display, 640, 320);
        v.pan = c.pan;
        ComputeViewValues(v, OneCamera(c.model, 1024, 1024), 0, 1.0f);
        for (double x : {-0.6, -0.1, 0.35, 0.8})
            for (double y : {0.2, 0.45, 0.7}) {
                const double sy = (c.model == SPH_MODEL_RING && c.display == 13) ? y - 0.5 : y;
                double o[3], bx, by;
                ToObject(v, c.model, x, sy, o);
                ToSource(v, c.model, o, bx, by);
                EXPECT_NEAR(bx, x, 1e-9) << c.model << "/" << c.display << " at " << x << "," << sy;
                EXPECT_NEAR(by, sy, 1e-9)
                    << c.model << "/" << c.display << " at " << x << "," << sy;
            }
    }
}

TEST(ViewMath, GridDensityFollowsTheTarget) {
    for (int32_t model : {SPH_MODEL_FISHEYE, SPH_MODEL_VR720, SPH_MODEL_VR360, SPH_MODEL_RING})
        for (int32_t display : DisplayTypeList(model, 1))
            for (uint32_t size : {64u, 512u, 1920u, 8192u})
                for (float zoom : {1.0f, 4.0f}) {
                    RegionView v = MakeView(display, 1920, 960);
                    v.zoom = zoom;
                    ComputeViewValues(v, OneCamera(model, size, size), 0, 1.0f);
                    const GridSize full = FullGridDensity(model, display);
                    const GridSize g = GridDensity(model, v);
                    ASSERT_GT(g.columns, 0);
                    ASSERT_GT(g.rows, 0);
                    EXPECT_LE(g.columns, full.columns);
                    EXPECT_LE(g.rows, full.rows);
                    EXPECT_EQ(full.columns % g.columns, 0);
                    EXPECT_EQ(full.rows % g.rows, 0);
                }
    // The 360-degree fisheye unroll of a 1920 picture: well below the full 3000 x 2000 mesh.
    RegionView v = MakeView(13, 1920, 960);
    ComputeViewValues(v, OneCamera(SPH_MODEL_FISHEYE, 1920, 1920), 0, 1.0f);
    const GridSize g = GridDensity(SPH_MODEL_FISHEYE, v);
    EXPECT_LE(int64_t{g.columns} * g.rows * 5, int64_t{3000} * 2000);
    ForceFullGridDensity(true);
    EXPECT_EQ(GridDensity(SPH_MODEL_FISHEYE, v).columns, 3000);
    ForceFullGridDensity(false);
}
