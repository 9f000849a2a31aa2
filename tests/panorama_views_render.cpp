// Regions drawn by a real renderer on a headless context (EGL pbuffer, llvmpipe), read back
// with Snap and checked against the CPU reference of the shader formulas.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <quorixsdk.h>

#include "base/hevent.h"
#include "panorama/region.h"
#include "panorama/render.h"
#include "panorama/view.h"
#include "support/projection_reference.h"

using namespace SPHERA;

namespace {

constexpr uint32_t kWaitMs = 30000;  // generous: llvmpipe draws the full mesh slowly

// Headless unless a test display is asked for.
const bool g_headless = [] {
    if (std::getenv("QUORIX_TEST_DISPLAY") == nullptr)
        unsetenv("DISPLAY");
    return true;
}();

constexpr double kPi = 3.14159265358979323846;

// A smooth picture whose colour changes by a few levels per pixel at most.
projref::Picture SmoothPicture(int w, int h) {
    projref::Picture p;
    p.width = w;
    p.height = h;
    p.rgb.resize(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double s = (x + 0.5) / w, t = (y + 0.5) / h;
            uint8_t* px = &p.rgb[(static_cast<size_t>(y) * w + x) * 3];
            px[0] = static_cast<uint8_t>(128 + 100 * std::sin(2 * kPi * 2 * s + 0.3));
            px[1] = static_cast<uint8_t>(128 + 100 * std::sin(2 * kPi * 1.5 * t + 1.0));
            px[2] = static_cast<uint8_t>(128 + 100 * std::sin(2 * kPi * (s + t)));
        }
    return p;
}

// A fisheye picture made through the default lens matrix: each pixel's colour is the direction
// of the ray it sees (x, y and the cosine of the angle from the optical axis), continued
// smoothly beyond the lens circle.
projref::Picture FisheyePicture(int size) {
    projref::Picture p;
    p.width = p.height = size;
    p.rgb.resize(static_cast<size_t>(size) * size * 3);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const double a = 1.0 - (x + 0.5) / size - 0.5, b = 1.0 - (y + 0.5) / size - 0.5;
            const double r = std::hypot(a, b);
            const double k = r > 1e-12 ? std::sin(kPi * r) / r : kPi;  // sin(angle) / radius
            uint8_t* px = &p.rgb[(static_cast<size_t>(y) * size + x) * 3];
            px[0] = static_cast<uint8_t>(std::lround(128 + 120 * k * a / kPi));
            px[1] = static_cast<uint8_t>(std::lround(128 + 120 * k * b / kPi));
            px[2] = static_cast<uint8_t>(std::lround(128 + 120 * std::cos(kPi * r)));
        }
    return p;
}

projref::Picture PictureFor(int32_t model, int size) {
    if (model == SPH_MODEL_FISHEYE)
        return FisheyePicture(size);
    if (model == SPH_MODEL_VR720)
        return SmoothPicture(size * 2, size);
    if (model == SPH_MODEL_RING)
        return SmoothPicture(size * 3, size);
    return SmoothPicture(size, size);
}

struct Snapshot {
    uint32_t width = 0, height = 0, stride = 0, format = 0;
    std::vector<uint8_t> data;  // bottom-up rows as GL reads them
    const uint8_t* At(int x, int y) const {
        return &data[static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 4];
    }
};

class Renderer {
public:
    explicit Renderer(int32_t model) {
        EXPECT_EQ(GlobalInit(), QUORIX_OK);
        EXPECT_EQ(CreateRender(model, nullptr, 0, &m_render), QUORIX_OK);
        if (m_render) {
            EXPECT_EQ(Init(m_render, 0, nullptr, true), QUORIX_OK);
        }
    }
    ~Renderer() {
        if (m_render)
            DestroyRender(m_render);
    }
    CRender* get() const { return m_render; }
    bool Ok() const { return m_render != nullptr && m_render->IsStarted(); }

    void Input(const projref::Picture& p) {
        const uint8_t* planes[3] = {p.rgb.data(), nullptr, nullptr};
        const uint32_t strides[3] = {static_cast<uint32_t>(p.width * 3), 0, 0};
        ASSERT_EQ(InputFrame(m_render, 0, p.width, p.height, 2, planes, strides), QUORIX_OK);
    }

    // A read-back of a frame drawn with every earlier setting: one already under way when a
    // setting changed may still serve a request, so read back until two frames in a row agree
    // (the input does not change).
    Snapshot Fresh(uint32_t region) {
        Snapshot s;
        EXPECT_EQ(SetSnapFormat(m_render, region, 1, 1), QUORIX_OK);
        std::vector<uint8_t> previous;
        for (int i = 0; i < 8 && (i < 2 || s.data != previous); ++i) {
            previous.swap(s.data);
            uint8_t* data = nullptr;
            const uint32_t rc =
                Snap(m_render, region, kWaitMs, &s.width, &s.stride, &s.height, &s.format, &data);
            EXPECT_EQ(rc, QUORIX_OK);
            if (rc != QUORIX_OK || data == nullptr)
                return Snapshot{};
            s.data.assign(data, data + static_cast<size_t>(s.stride) * s.height);
            FreeSnapData(data);
        }
        return s;
    }

private:
    CRender* m_render = nullptr;
};

// The view the renderer derives for region 0 (only its mesh density is taken from it: the
// expected pictures come from the reference's own derivation).
RegionView DerivedView(int32_t model, int32_t display, int w, int h, int picW, int picH,
                       float pan = 0.0f, float tilt = 0.0f, float zoom = 1.0f) {
    RegionView v;
    v.enabled = true;
    v.width = w;
    v.height = h;
    v.displayType = display;
    v.rectAspect = static_cast<float>(w) / h;
    v.pan = pan;
    v.tilt = tilt;
    v.zoom = zoom;
    if (display == SPH_DISPLAY_CYLINDER)
        v.tilt = kCylinderTilt;
    ViewSource src;
    src.modelType = model;
    src.cameraCount = 1;
    src.firstWidth = static_cast<uint32_t>(picW);
    src.firstHeight = static_cast<uint32_t>(picH);
    ComputeViewValues(v, src, 0, 1.0f);
    ClampView(v);
    BuildModelView(v, model);
    return v;
}

// What the reference derives for a region the size of the picture, with the given view.
projref::Derived Reference(int32_t model, int32_t display, const projref::Picture& pic,
                           double pan = 0, double tilt = 0, double zoom = 1) {
    projref::View v;
    v.model = model;
    v.display = display;
    v.rectW = v.picW = pic.width;
    v.rectH = v.picH = pic.height;
    v.pan = pan;
    v.tilt = tilt;
    v.zoom = zoom;
    return projref::Derive(v);
}

int MaxDiff(const uint8_t* px, const double rgb[3]) {
    int d = 0;
    for (int c = 0; c < 3; ++c)
        d = std::max(d, static_cast<int>(std::lround(std::fabs(px[c] - rgb[c]))));
    return d;
}

struct Pair {
    int32_t model, display;
};

std::vector<Pair> AllPairs() {
    std::vector<Pair> pairs;
    for (int32_t model = 1; model <= 6; ++model)
        for (int32_t d : DisplayTypeList(model, 1))
            pairs.push_back({model, d});
    return pairs;
}

// QUORIX_VIEWS_DUMP=<dir> keeps the read-backs as PPM files for a look.
void Dump(const Snapshot& s, const std::string& name) {
    const char* dir = std::getenv("QUORIX_VIEWS_DUMP");
    if (dir == nullptr || s.data.empty())
        return;
    FILE* f = std::fopen((std::string(dir) + "/" + name + ".ppm").c_str(), "wb");
    if (f == nullptr)
        return;
    std::fprintf(f, "P6 %u %u 255\n", s.width, s.height);
    for (uint32_t y = s.height; y-- > 0;)
        for (uint32_t x = 0; x < s.width; ++x)
            std::fwrite(s.At(x, y), 1, 3, f);
    std::fclose(f);
}

std::string Name(const Pair& p) {
    return "model " + std::to_string(p.model) + " display " + std::to_string(p.display);
}

}  // namespace

// Every model in every display type it offers matches the reference within 1 pixel and 8 levels.
TEST(ViewRender, EveryModelAndDisplayMatchesTheReference) {
    constexpr int kSize = 256;
    ForceFullGridDensity(std::getenv("QUORIX_VIEWS_FULL") != nullptr);
    for (const Pair& pair : AllPairs()) {
        SCOPED_TRACE(Name(pair));
        const projref::Picture pic = PictureFor(pair.model, kSize);
        Renderer r(pair.model);
        ASSERT_TRUE(r.Ok());
        r.Input(pic);
        // The region is the picture's own size, so the target maps 1:1 onto the window.
        ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, pic.width, pic.height, true), QUORIX_OK);
        ASSERT_EQ(SetDisplayType(r.get(), 0, pair.display), QUORIX_OK);
        const Snapshot snap = r.Fresh(0);
        Dump(snap, "ref_" + std::to_string(pair.model) + "_" + std::to_string(pair.display));
        ASSERT_EQ(snap.width, static_cast<uint32_t>(pic.width));
        ASSERT_EQ(snap.height, static_cast<uint32_t>(pic.height));

        const RegionView v =
            DerivedView(pair.model, pair.display, pic.width, pic.height, pic.width, pic.height);
        projref::Params params = Reference(pair.model, pair.display, pic).params;
        std::vector<projref::Expectation> expect;
        for (int pass = 0; pass < (pair.display == SPH_DISPLAY_PLANE360_FRONTBACK ? 2 : 1);
             ++pass) {
            params.doublePlane = pass;
            const GridSize mesh =
                pair.model == SPH_MODEL_NORMAL ? GridSize{1, 1} : GridDensity(pair.model, v);
            auto e =
                projref::Expect(params, pic, pic.width, pic.height,
                                pair.display != SPH_DISPLAY_CYLINDER, 8.0, mesh.columns, mesh.rows);
            expect.insert(expect.end(), e.begin(), e.end());
        }
        EXPECT_GE(expect.size(), 100u) << "too few checkable points";
        size_t bad = 0;
        for (const auto& e : expect) {
            int best = 255;
            double want[3] = {0, 0, 0};
            const int cx = static_cast<int>(std::floor(e.x)),
                      cy = static_cast<int>(std::floor(e.y));
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int x = cx + dx, y = cy + dy;
                    if (x < 0 || y < 0 || x >= pic.width || y >= pic.height)
                        continue;
                    double rgb[3];
                    e.ColourAt(pic, x + 0.5, y + 0.5, rgb);
                    const int diff = MaxDiff(snap.At(x, y), rgb);
                    if (diff < best) {
                        best = diff;
                        std::copy(rgb, rgb + 3, want);
                    }
                }
            if (best > 8 && ++bad <= 5)
                ADD_FAILURE() << "at (" << e.x << ", " << e.y << ") expected " << want[0] << ","
                              << want[1] << "," << want[2] << " off by " << best;
        }
        EXPECT_EQ(bad, 0u) << "of " << expect.size();
    }
}

namespace {

// Distance of two source longitudes (normalised, period 2).
double AngleDiff(double a, double b) {
    const double d = std::fmod(std::fabs(a - b), 2.0);
    return std::min(d, 2.0 - d);
}

// Every display type a model offers, turned, tilted and zoomed, in every flip: the picture
// matches the reference derived from the formulas (not from the renderer's matrices), UnProject
// finds the reference's source point under a shown point, and answers NaN where the reference
// draws nothing.
void CheckTurnedViews(int32_t model) {
    constexpr int kSize = 160;
    constexpr double kPan = 0.3, kTilt = 0.2, kZoom = 1.5;
    for (const Pair& pair : AllPairs()) {
        if (pair.model != model)
            continue;
        const projref::Picture pic = PictureFor(pair.model, kSize);
        Renderer r(pair.model);
        ASSERT_TRUE(r.Ok());
        r.Input(pic);
        ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, pic.width, pic.height, true), QUORIX_OK);
        ASSERT_EQ(SetDisplayType(r.get(), 0, pair.display), QUORIX_OK);
        // (The outside cylinder keeps its own tilt: it takes only tilts from straight down to
        // 55 degrees below the horizon, and the reference cannot tell which of its two sides
        // lies in front where they overlap.)
        const double tilt = kTilt;
        ASSERT_EQ(SetPtz(r.get(), 0, static_cast<float>(kPan), static_cast<float>(tilt),
                         static_cast<float>(kZoom)),
                  QUORIX_OK);
        ASSERT_EQ(SetBackgroundColor(r.get(), 0, 0xFF00FF), QUORIX_OK);
        const projref::Derived ref = Reference(pair.model, pair.display, pic, kPan, tilt, kZoom);
        const bool culling = pair.display != SPH_DISPLAY_CYLINDER;
        const RegionView v = DerivedView(pair.model, pair.display, pic.width, pic.height, pic.width,
                                         pic.height, static_cast<float>(kPan),
                                         static_cast<float>(tilt), static_cast<float>(kZoom));
        std::vector<projref::Expectation> expect;
        projref::Params params = ref.params;
        for (int pass = 0; pass < (pair.display == SPH_DISPLAY_PLANE360_FRONTBACK ? 2 : 1);
             ++pass) {
            params.doublePlane = pass;
            const GridSize mesh =
                pair.model == SPH_MODEL_NORMAL ? GridSize{1, 1} : GridDensity(pair.model, v);
            auto e = projref::Expect(params, pic, pic.width, pic.height, culling, 8.0, mesh.columns,
                                     mesh.rows);
            expect.insert(expect.end(), e.begin(), e.end());
        }
        std::vector<bool> uncovered =
            projref::Uncovered(ref.params, pic.width, pic.height, culling, 4.0);
        if (pair.display == SPH_DISPLAY_PLANE360_FRONTBACK) {
            params.doublePlane = 1;
            const std::vector<bool> second =
                projref::Uncovered(params, pic.width, pic.height, culling, 4.0);
            for (size_t k = 0; k < uncovered.size(); ++k)
                uncovered[k] = uncovered[k] && second[k];
        }
        for (uint32_t flip = 0; flip <= 3; ++flip) {
            SCOPED_TRACE(Name(pair) + " flip " + std::to_string(flip));
            ASSERT_EQ(SetFlip(r.get(), 0, flip), QUORIX_OK);
            const Snapshot snap = r.Fresh(0);
            ASSERT_EQ(snap.width, static_cast<uint32_t>(pic.width));
            Dump(snap, "turned_" + std::to_string(pair.model) + "_" + std::to_string(pair.display) +
                           "_" + std::to_string(flip));
            // Window pixel of the camera pass to the pixel shown (the flip mirrors the pass).
            auto shown = [&](int x, int y, int& sx, int& sy) {
                sx = (flip & 1) ? pic.width - 1 - x : x;
                sy = (flip & 2) ? pic.height - 1 - y : y;
            };
            EXPECT_GE(expect.size(), 30u) << "too few checkable points";
            size_t bad = 0;
            for (const auto& e : expect) {
                int best = 255;
                const int cx = static_cast<int>(std::floor(e.x)),
                          cy = static_cast<int>(std::floor(e.y));
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int x = cx + dx, y = cy + dy;
                        if (x < 0 || y < 0 || x >= pic.width || y >= pic.height)
                            continue;
                        double rgb[3];
                        e.ColourAt(pic, x + 0.5, y + 0.5, rgb);
                        int sx = 0, sy = 0;
                        shown(x, y, sx, sy);
                        best = std::min(best, MaxDiff(snap.At(sx, sy), rgb));
                    }
                if (best > 8 && ++bad <= 3)
                    ADD_FAILURE() << "picture at (" << e.x << ", " << e.y << ") off by " << best;
            }
            EXPECT_EQ(bad, 0u) << "of " << expect.size();

            // UnProject of shown points: the reference's source point, or NaN off the picture.
            std::vector<float> xs, ys, wantX, wantY;
            for (size_t k = 0; k < expect.size() && xs.size() < 24; k += 1 + expect.size() / 24) {
                const auto& e = expect[k];
                double fx = e.x / pic.width, fy = 1.0 - e.y / pic.height;
                if (flip & 1)
                    fx = 1.0 - fx;
                if (flip & 2)
                    fy = 1.0 - fy;
                double sx = 0, sy = 0;
                projref::SourceOf(ref.params, e.obj, sx, sy);
                xs.push_back(static_cast<float>(fx));
                ys.push_back(static_cast<float>(fy));
                wantX.push_back(static_cast<float>(sx));
                wantY.push_back(static_cast<float>(sy));
            }
            const size_t defined = xs.size();
            for (int y = 2; y < pic.height && xs.size() < defined + 24; y += 7)
                for (int x = 3; x < pic.width && xs.size() < defined + 24; x += 11)
                    if (uncovered[static_cast<size_t>(y) * pic.width + x]) {
                        int sx = 0, sy = 0;
                        shown(x, y, sx, sy);
                        xs.push_back((sx + 0.5f) / pic.width);
                        ys.push_back(1.0f - (sy + 0.5f) / pic.height);
                    }
            xs.push_back(1.25f);  // beside the region
            ys.push_back(0.5f);
            std::vector<float> ox(xs.size()), oy(xs.size());
            ASSERT_EQ(
                r.get()->GetRegion(0)->Project(kWaitMs, xs.data(), ys.data(), ox.data(), oy.data(),
                                               static_cast<uint32_t>(xs.size()), true),
                QUORIX_OK);
            size_t wrong = 0;
            for (size_t k = 0; k < xs.size(); ++k) {
                const bool ok = k < defined ? (AngleDiff(ox[k], wantX[k]) < 0.01 &&
                                               std::fabs(oy[k] - wantY[k]) < 0.01)
                                            : (std::isnan(ox[k]) && std::isnan(oy[k]));
                if (!ok && ++wrong <= 3)
                    ADD_FAILURE() << "unproject (" << xs[k] << ", " << ys[k] << ") gave (" << ox[k]
                                  << ", " << oy[k] << ")"
                                  << (k < defined ? " want (" + std::to_string(wantX[k]) + ", " +
                                                        std::to_string(wantY[k]) + ")"
                                                  : std::string(" want NaN"));
            }
            EXPECT_EQ(wrong, 0u) << "of " << xs.size() << " (" << defined << " on the picture)";
        }
    }
}

}  // namespace

// The fixed panorama (14) is drawn only by the full-resolution capture region, which projects
// nothing for the host: its unprojection is checked without a context, from the depth the
// reference gives each point (and the cleared far plane where it draws nothing).
TEST(ViewRender, FixedPanoramaUnprojectsToTheReference) {
    for (int32_t model :
         {SPH_MODEL_FISHEYE, SPH_MODEL_VR720, SPH_MODEL_VR360, SPH_MODEL_RING, SPH_MODEL_VR360_2}) {
        SCOPED_TRACE("model " + std::to_string(model));
        const projref::Picture pic = PictureFor(model, 160);
        const projref::Derived ref =
            Reference(model, SPH_DISPLAY_PLANE360_FIXED, pic, 0.4, 0.1, 1.2);
        RegionView v = DerivedView(model, SPH_DISPLAY_PLANE360_FIXED, pic.width, pic.height,
                                   pic.width, pic.height, 0.4f, 0.1f, 1.2f);
        const int32_t vp[4] = {0, 0, pic.width, pic.height};
        const auto expect =
            projref::Expect(ref.params, pic, pic.width, pic.height, true, 8.0, 0, 0);
        ASSERT_GE(expect.size(), 30u);
        for (size_t k = 0; k < expect.size(); k += 1 + expect.size() / 40) {
            const auto& e = expect[k];
            // Depth of the object point through the reference's matrices.
            double eye[4], clip[4];
            const double in[4] = {e.obj[0], e.obj[1], e.obj[2], 1};
            for (int r = 0; r < 4; ++r)
                eye[r] = ref.params.modelView[r] * in[0] + ref.params.modelView[4 + r] * in[1] +
                         ref.params.modelView[8 + r] * in[2] + ref.params.modelView[12 + r];
            for (int r = 0; r < 4; ++r)
                clip[r] = ref.params.project[r] * eye[0] + ref.params.project[4 + r] * eye[1] +
                          ref.params.project[8 + r] * eye[2] + ref.params.project[12 + r] * eye[3];
            const double depth = clip[2] / clip[3] * 0.5 + 0.5;
            double sx = 0, sy = 0, wx = 0, wy = 0;
            ASSERT_TRUE(UnProjectPoint(v, model, vp, e.x / pic.width, 1.0 - e.y / pic.height, depth,
                                       sx, sy));
            projref::SourceOf(ref.params, e.obj, wx, wy);
            EXPECT_LT(AngleDiff(sx, wx), 1e-3) << "at " << e.x << "," << e.y;
            EXPECT_NEAR(sy, wy, 1e-3) << "at " << e.x << "," << e.y;
        }
        double sx = 0, sy = 0;
        EXPECT_FALSE(UnProjectPoint(v, model, vp, 0.5, 0.5, 1.0, sx, sy)) << "far plane";
        EXPECT_FALSE(UnProjectPoint(v, model, vp, 1.5, 0.5, 0.5, sx, sy)) << "beside the region";
    }
}

TEST(ViewRender, TurnedViewsMatchTheReferenceNormal) {
    CheckTurnedViews(SPH_MODEL_NORMAL);
}
TEST(ViewRender, TurnedViewsMatchTheReferenceFisheye) {
    CheckTurnedViews(SPH_MODEL_FISHEYE);
}
TEST(ViewRender, TurnedViewsMatchTheReferenceFullSphere) {
    CheckTurnedViews(SPH_MODEL_VR720);
}
TEST(ViewRender, TurnedViewsMatchTheReferenceHemisphere) {
    CheckTurnedViews(SPH_MODEL_VR360);
}
TEST(ViewRender, TurnedViewsMatchTheReferenceRing) {
    CheckTurnedViews(SPH_MODEL_RING);
}
TEST(ViewRender, TurnedViewsMatchTheReferenceSecondHemisphere) {
    CheckTurnedViews(SPH_MODEL_VR360_2);
}

// The mesh that follows the target size draws the same picture as the full mesh.
static void CheckAdaptiveMesh(int32_t model) {
    constexpr int kSize = 512;
    const char* only = std::getenv("QUORIX_VIEWS_ONLY");
    for (const Pair& pair : AllPairs()) {
        if (pair.model != model)
            continue;
        if (only && Name(pair) != only)
            continue;
        SCOPED_TRACE(Name(pair));
        const projref::Picture pic = PictureFor(pair.model, kSize);
        Renderer r(pair.model);
        ASSERT_TRUE(r.Ok());
        r.Input(pic);
        ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, pic.width, pic.height, true), QUORIX_OK);
        ASSERT_EQ(SetDisplayType(r.get(), 0, pair.display), QUORIX_OK);
        ASSERT_EQ(SetBackgroundColor(r.get(), 0, 0xFF00FF), QUORIX_OK);
        const Snapshot adaptive = r.Fresh(0);
        ForceFullGridDensity(true);
        const Snapshot full = r.Fresh(0);
        ForceFullGridDensity(false);
        Dump(adaptive,
             "adaptive_" + std::to_string(pair.model) + "_" + std::to_string(pair.display));
        Dump(full, "full_" + std::to_string(pair.model) + "_" + std::to_string(pair.display));
        ASSERT_EQ(adaptive.data.size(), full.data.size());
        ASSERT_FALSE(full.data.empty());

        // Pixels where one mesh covers and the other does not (the outline moves by a fraction
        // of a pixel), and pixels on a hard edge of the full picture (a fragment-stage cut such
        // as the second hemisphere layout's seam, where a pixel may fall on either side) are
        // counted apart; everywhere else the colours must agree.
        auto isBackground = [](const uint8_t* p) {
            return p[0] == 255 && p[1] == 0 && p[2] == 255;
        };
        auto onEdge = [&full](uint32_t x, uint32_t y) {
            const uint8_t* c = full.At(x, y);
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int nx = static_cast<int>(x) + dx, ny = static_cast<int>(y) + dy;
                    if (nx < 0 || ny < 0 || nx >= static_cast<int>(full.width) ||
                        ny >= static_cast<int>(full.height))
                        continue;
                    const uint8_t* n = full.At(nx, ny);
                    for (int ch = 0; ch < 3; ++ch)
                        if (std::abs(n[ch] - c[ch]) > 64)
                            return true;
                }
            return false;
        };
        double sum = 0;
        int worst = 0;
        size_t compared = 0, outline = 0;
        for (uint32_t y = 0; y < full.height; ++y)
            for (uint32_t x = 0; x < full.width; ++x) {
                const uint8_t *a = adaptive.At(x, y), *f = full.At(x, y);
                if (isBackground(a) != isBackground(f)) {
                    ++outline;
                    continue;
                }
                int pixelWorst = 0;
                for (int c = 0; c < 3; ++c) {
                    const int d = std::abs(a[c] - f[c]);
                    sum += d;
                    pixelWorst = std::max(pixelWorst, d);
                }
                ++compared;
                if (pixelWorst > 8 && onEdge(x, y)) {
                    ++outline;
                    continue;
                }
                worst = std::max(worst, pixelWorst);
            }
        const double mean = sum / (3.0 * std::max<size_t>(compared, 1));
        EXPECT_LE(mean, 1.0);
        EXPECT_LE(worst, 8);
        EXPECT_LE(outline, static_cast<size_t>(full.width) * full.height / 2000)
            << "outline pixels";
        std::printf("[ tessellation ] %-22s mean %.3f max %d outline %zu\n", Name(pair).c_str(),
                    mean, worst, outline);
    }
}

// (One case per model, so that each stays well within the per-test time limit on llvmpipe;
// the normal model is drawn as a single quad.)
TEST(ViewRender, AdaptiveMeshMatchesTheFullMeshFisheye) {
    CheckAdaptiveMesh(SPH_MODEL_FISHEYE);
}
TEST(ViewRender, AdaptiveMeshMatchesTheFullMeshFullSphere) {
    CheckAdaptiveMesh(SPH_MODEL_VR720);
}
TEST(ViewRender, AdaptiveMeshMatchesTheFullMeshHemisphere) {
    CheckAdaptiveMesh(SPH_MODEL_VR360);
}
TEST(ViewRender, AdaptiveMeshMatchesTheFullMeshRing) {
    CheckAdaptiveMesh(SPH_MODEL_RING);
}
TEST(ViewRender, AdaptiveMeshMatchesTheFullMeshSecondHemisphere) {
    CheckAdaptiveMesh(SPH_MODEL_VR360_2);
}

// A camera pass drawn through the cached texture-coordinate map shows the picture the direct
// pass draws, for every model and display type; the map is built once for a view and again
// only when the view changes (here the pan and zoom).
TEST(ViewRender, TextureCoordinateMapDrawsTheDirectPicture) {
    constexpr int kSize = 192;
    auto compare = [](const Snapshot& a, const Snapshot& b) {
        EXPECT_EQ(a.data.size(), b.data.size());
        int worst = 0;
        size_t differing = 0;
        for (uint32_t y = 0; y < std::min(a.height, b.height); ++y)
            for (uint32_t x = 0; x < std::min(a.width, b.width); ++x) {
                int d = 0;
                for (int c = 0; c < 4; ++c)
                    d = std::max(d, std::abs(a.At(x, y)[c] - b.At(x, y)[c]));
                worst = std::max(worst, d);
                differing += d > 0 ? 1 : 0;
            }
        EXPECT_LE(worst, 1) << differing << " pixels differ";
    };
    for (const Pair& pair : AllPairs()) {
        if (pair.model == SPH_MODEL_NORMAL)
            continue;
        SCOPED_TRACE(Name(pair));
        const projref::Picture pic = PictureFor(pair.model, kSize);
        Renderer r(pair.model);
        ASSERT_TRUE(r.Ok());
        r.Input(pic);
        ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, pic.width, pic.height, true), QUORIX_OK);
        ASSERT_EQ(SetDisplayType(r.get(), 0, pair.display), QUORIX_OK);
        ASSERT_EQ(SetBackgroundColor(r.get(), 0, 0xFF00FF), QUORIX_OK);
        CRegion* region = r.get()->GetRegion(0);
        const Snapshot mapped = r.Fresh(0);
        const uint32_t builds = region->GetRemapBuilds();
        EXPECT_GE(builds, 1u);
        ForceDirectCameraPass(true);
        const Snapshot direct = r.Fresh(0);
        ForceDirectCameraPass(false);
        compare(mapped, direct);
        // Unchanged view: the map of the first frames serves again.
        r.Fresh(0);
        EXPECT_EQ(region->GetRemapBuilds(), builds);

        ASSERT_EQ(SetPtz(r.get(), 0, 0.25f, 0.1f, 1.5f), QUORIX_OK);
        const Snapshot moved = r.Fresh(0);
        EXPECT_GT(region->GetRemapBuilds(), builds);
        ForceDirectCameraPass(true);
        const Snapshot movedDirect = r.Fresh(0);
        ForceDirectCameraPass(false);
        compare(moved, movedDirect);
    }
}
