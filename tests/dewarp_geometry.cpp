// De-warp geometry and remap tables against the projection formulas computed independently
// (tests/support/projection_reference): for every model and display type, with pan, tilt and
// zoom away from their rest values and every flip, the lens position each view pixel shows and
// where nothing may be drawn; then the remap tables against the exact per-pixel geometry.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <quorixsdk.h>

#include "dewarp/geometry.h"
#include "dewarp/pool.h"
#include "dewarp/remap.h"
#include "support/projection_reference.h"

using namespace DEWARP;

namespace {

struct Pair {
    int model, display;
};

// Every display type each model offers, and the full-picture capture layouts.
const Pair kPairs[] = {
    {1, 0},  {2, 11}, {2, 12}, {2, 13}, {2, 14}, {2, 0},  {3, 10}, {3, 11}, {3, 13}, {3, 14},
    {3, 0},  {4, 11}, {4, 12}, {4, 13}, {4, 14}, {4, 0},  {5, 16}, {5, 17}, {5, 13}, {5, 14},
    {5, 15}, {5, 0},  {6, 11}, {6, 12}, {6, 13}, {6, 14}, {6, 0},  {2, 10}, {4, 10}, {6, 10},
};

struct Case {
    Pair pair;
    int rectW, rectH, picW, picH;
    uint32_t ratioType;
    double pan, tilt, zoom;
    uint32_t flip;
    int mount;  // of a lens in its perspective view
    std::string Name() const {
        char b[180];
        std::snprintf(b, sizeof b,
                      "model %d display %d rect %dx%d ratio %u ptz %.2f/%.2f/%.2f flip %u mount %d",
                      pair.model, pair.display, rectW, rectH, ratioType, pan, tilt, zoom, flip,
                      mount);
        return b;
    }
};

// Host settings as a region stores them, and the same settings through the reference.
projref::Derived Reference(const Case& c) {
    projref::View v;
    v.model = c.pair.model;
    v.display = c.pair.display;
    v.rectW = c.rectW;
    v.rectH = c.rectH;
    v.picW = c.picW;
    v.picH = c.picH;
    v.ratioType = static_cast<int>(c.ratioType);
    v.pan = c.pan;
    v.tilt = c.tilt;
    v.zoom = c.zoom;
    v.mount = c.mount;
    return projref::Derive(v);
}

ViewGeometry Ours(const Case& c) {
    ViewSettings s;
    s.display = c.pair.display;
    s.ratioType = c.ratioType;
    s.pan = static_cast<float>(c.pan);
    s.tilt = static_cast<float>(c.tilt);
    s.zoom = static_cast<float>(c.zoom);
    s.flip = c.flip;
    s.rectWidth = c.rectW;
    s.rectHeight = c.rectH;
    LensData lens;
    lens.model = c.pair.model;
    lens.width = static_cast<uint32_t>(c.picW);
    lens.height = static_cast<uint32_t>(c.picH);
    lens.mount = c.mount;
    ViewGeometry g;
    EXPECT_TRUE(DeriveView(s, lens, &g)) << c.Name();
    return g;
}

// A camera-pass position (pixels, y up) as the shown pixel coordinates (x right, y down,
// integers at pixel centres) after the region's flip.
void Shown(const Case& c, double wx, double wy, double& x, double& y) {
    x = wx - 0.5;
    y = c.rectH - wy - 0.5;
    if (c.flip == 1 || c.flip == 3)
        x = c.rectW - 1.0 - x;
    if (c.flip == 2 || c.flip == 3)
        y = c.rectH - 1.0 - y;
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    int k = 0;
    for (const Pair& p : kPairs)
        for (uint32_t flip = 0; flip < 4; ++flip) {
            Case c{};
            c.pair = p;
            c.rectW = (k % 2) ? 192 : 160;
            c.rectH = (k % 3) ? 108 : 128;
            const bool square = p.model == 2 || p.model == 4 || p.model == 6;
            c.picW = square ? 512 : 640;
            c.picH = square ? 512 : (p.model == 5 ? 160 : 320);
            c.ratioType = static_cast<uint32_t>(k % 4);
            // The outside cylinder keeps its tilt between 55 and 90 degrees down.
            c.pan = (k % 2) ? 0.15 : -0.2;
            c.tilt = p.display == 16 ? -0.4 : ((k % 2) ? 0.1 : -0.12);
            c.zoom = 1.25 + 0.1 * (k % 3);
            c.flip = flip;
            c.mount = k % 3;
            cases.push_back(c);
            // Settings change with the pair and again with the flip (the table test uses
            // one flip per pair).
            ++k;
        }
    return cases;
}

// Pixels of the view the reference positions land on agree with ours to a hundredth of a lens
// pixel, and where the reference says nothing of the surface comes near, ours draws nothing.
// The flip only mirrors the finished view, so one reference serves all four.
TEST(DewarpGeometry, EveryModelAndDisplayMatchesTheFormulas) {
    for (const Case& base : AllCases()) {
        if (base.flip != 0)
            continue;
        const projref::Derived ref = Reference(base);
        projref::Picture pic;
        pic.width = base.picW;
        pic.height = base.picH;
        pic.rgb.assign(static_cast<size_t>(base.picW) * base.picH * 3, 0);
        const bool culling = base.pair.display != 16;
        // The front/back layout is drawn in two passes, the back half in the second.
        const int passes = base.pair.display == 15 ? 2 : 1;
        std::vector<projref::Expectation> expectations;
        std::vector<bool> empty(static_cast<size_t>(base.rectW) * base.rectH, true);
        for (int pass = 0; pass < passes; ++pass) {
            projref::Params params = ref.params;
            params.doublePlane = pass;
            // Texels per view pixel: the outside cylinder's silhouette, seen edge-on, changes
            // faster than any position could be checked at.
            const double steep = base.pair.display == 16 ? 8.0 : 20.0;
            const auto e =
                projref::Expect(params, pic, base.rectW, base.rectH, culling, steep, 0, 0);
            expectations.insert(expectations.end(), e.begin(), e.end());
            const auto u = projref::Uncovered(params, base.rectW, base.rectH, culling, 2.0);
            for (size_t i = 0; i < empty.size(); ++i)
                empty[i] = empty[i] && u[i];
        }
        for (uint32_t flip = 0; flip < 4; ++flip) {
            Case c = base;
            c.flip = flip;
            SCOPED_TRACE(c.Name());
            const ViewGeometry g = Ours(c);
            EXPECT_NEAR(g.pan, ref.pan, 1e-5);
            EXPECT_NEAR(g.tilt, ref.tilt, 1e-5);
            EXPECT_NEAR(g.zoom, ref.zoom, 1e-5);
            ASSERT_GE(expectations.size(), 20u);
            double worst = 0.0, worstObject = 0.0, worstPixel = 0.0;
            for (const auto& e : expectations) {
                double x = 0, y = 0, sx = 0, sy = 0;
                Shown(c, e.x, e.y, x, y);
                ASSERT_TRUE(SourceAtPixel(g, c.rectW, c.rectH, x, y, c.picW, c.picH, &sx, &sy))
                    << "at " << x << ", " << y;
                const double ex = e.s * c.picW - 0.5, ey = e.t * c.picH - 0.5;
                worst = std::max(worst, std::hypot(sx - ex, sy - ey));
                // The object point there (what project and unproject convert), and back.
                double obj[3], bx = 0, by = 0;
                ASSERT_TRUE(ObjectAtPixel(g, c.rectW, c.rectH, x, y, obj));
                const double scale = std::max(1.0, std::hypot(e.obj[0], e.obj[1], e.obj[2]));
                worstObject = std::max(
                    worstObject,
                    std::hypot(obj[0] - e.obj[0], obj[1] - e.obj[1], obj[2] - e.obj[2]) / scale);
                ASSERT_TRUE(PixelOfObject(g, c.rectW, c.rectH, e.obj, &bx, &by));
                worstPixel = std::max(worstPixel, std::hypot(bx - x, by - y));
                if (std::getenv("QUORIX_DEWARP_DEBUG") && std::hypot(sx - ex, sy - ey) > 0.01)
                    std::fprintf(stderr,
                                 "at %.1f %.1f ours %.2f %.2f ref %.2f %.2f obj %.2f %.2f %.2f\n",
                                 x, y, sx, sy, ex, ey, e.obj[0], e.obj[1], e.obj[2]);
            }
            EXPECT_LT(worst, 0.01) << expectations.size() << " points";
            EXPECT_LT(worstObject, 1e-4);
            EXPECT_LT(worstPixel, 1e-3);
            size_t wrong = 0, emptyCount = 0;
            for (int wy = 0; wy < c.rectH; ++wy)
                for (int wx = 0; wx < c.rectW; ++wx) {
                    if (!empty[static_cast<size_t>(wy) * c.rectW + wx])
                        continue;
                    ++emptyCount;
                    double x = 0, y = 0, sx = 0, sy = 0;
                    Shown(c, wx + 0.5, wy + 0.5, x, y);
                    if (SourceAtPixel(g, c.rectW, c.rectH, x, y, c.picW, c.picH, &sx, &sy))
                        ++wrong;
                }
            EXPECT_EQ(wrong, 0u) << "of " << emptyCount << " empty pixels";
        }
    }
}

// The perspective view of a lens never shows what lies beyond the lens circle: whatever the
// mount, the rectangle's shape, the zoom and the pan and tilt asked for, every pixel of the
// view's border shows a lens point at most 89.5 degrees from the axis (an equidistant lens:
// radius proportional to that angle, 90 degrees at the circle), and a view that had to be
// brought back reaches that boundary.
TEST(DewarpGeometry, PerspectiveViewStaysInsideTheLensCircle) {
    constexpr uint32_t kPic = 1000;  // lens circle radius 500 pixels
    const double limit = 500.0 * 89.5 / 90.0;
    for (int mount : {MOUNT_CEILING, MOUNT_WALL, MOUNT_DESK})
        for (const auto& [w, h] : {std::pair{320, 180}, std::pair{200, 200}, std::pair{450, 150}})
            for (double zoom : {0.05, 0.6, 1.0, 3.0})
                for (double pan : {0.0, 0.3, -0.7, 1.0})
                    for (double tilt : {-0.9, -0.4, 0.0, 0.2, 0.5}) {
                        ViewSettings s;
                        s.display = DISPLAY_VR;
                        s.pan = static_cast<float>(pan);
                        s.tilt = static_cast<float>(tilt);
                        s.zoom = static_cast<float>(zoom);
                        s.rectWidth = w;
                        s.rectHeight = h;
                        LensData lens;
                        lens.model = MODEL_FISHEYE;
                        lens.mount = mount;
                        lens.width = lens.height = kPic;
                        ViewGeometry g;
                        ASSERT_TRUE(DeriveView(s, lens, &g));
                        SCOPED_TRACE("mount " + std::to_string(mount) + " rect " +
                                     std::to_string(w) + "x" + std::to_string(h) + " ptz " +
                                     std::to_string(pan) + "/" + std::to_string(tilt) + "/" +
                                     std::to_string(zoom));
                        double farthest = 0.0;
                        bool missing = false;
                        auto look = [&](double x, double y) {
                            double sx = 0, sy = 0;
                            if (!SourceAtPixel(g, w, h, x, y, kPic, kPic, &sx, &sy)) {
                                missing = true;
                                return;
                            }
                            farthest = std::max(
                                farthest, std::hypot(sx + 0.5 - kPic / 2.0, sy + 0.5 - kPic / 2.0));
                        };
                        for (int x = 0; x < w; ++x) {
                            look(x, -0.5);
                            look(x, h - 0.5);
                        }
                        for (int y = 0; y < h; ++y) {
                            look(-0.5, y);
                            look(w - 0.5, y);
                        }
                        for (double x : {-0.5, w - 0.5})
                            for (double y : {-0.5, h - 0.5})
                                look(x, y);
                        EXPECT_FALSE(missing) << "a border pixel shows nothing";
                        EXPECT_LE(farthest, limit + 1e-3);
                        const bool limited = g.pan != static_cast<float>(pan) ||
                                             g.tilt != static_cast<float>(tilt) ||
                                             g.zoom != static_cast<float>(zoom);
                        // (Ceiling and desk never look past the lens axis: a tilt beyond
                        // it stops there, away from the rim.)
                        const bool onAxis = mount != MOUNT_WALL && std::fabs(g.tilt) == 0.5f;
                        if (limited && g.zoom == static_cast<float>(zoom) && !onAxis) {
                            EXPECT_GE(farthest, limit - 0.05) << "brought back too far";
                        }
                        // The widest view spans 160 degrees corner to corner.
                        const double diagonal = 2.0 * std::atan(std::tan(0.567232) / g.zoom *
                                                                std::hypot(double(w) / h, 1.0));
                        EXPECT_LE(diagonal, 160.0 * M_PI / 180.0 + 1e-6);
                    }
}

// A view that is not drawn here, and an empty rectangle, are refused.
TEST(DewarpGeometry, UnsupportedViewsAreRefused) {
    LensData lens;
    lens.width = lens.height = 64;
    ViewSettings s;
    s.rectWidth = 100;
    s.rectHeight = 50;
    ViewGeometry g;
    lens.model = MODEL_FISHEYE;
    s.display = DISPLAY_CYLINDER;
    EXPECT_FALSE(DeriveView(s, lens, &g));
    s.display = 9;  // several cameras side by side
    EXPECT_FALSE(DeriveView(s, lens, &g));
    lens.model = MODEL_NORMAL;
    s.display = DISPLAY_PLANE360;
    EXPECT_FALSE(DeriveView(s, lens, &g));
    s.display = DISPLAY_PLANE;
    s.rectHeight = 0;
    EXPECT_FALSE(DeriveView(s, lens, &g));
    s.rectHeight = 50;
    EXPECT_TRUE(DeriveView(s, lens, &g));
}

// Rule checks of the render-target size: picture size limited by screen and rectangle; the
// capture region scaled and capped at a third of the texture limit.
TEST(DewarpGeometry, TargetSizeRules) {
    TargetSizeInput in;
    in.pictureWidth = 1920;
    in.pictureHeight = 1080;
    in.rectWidth = 640;
    in.rectHeight = 2000;
    in.screenWidth = 1280;
    in.screenHeight = 1024;
    uint32_t w = 0, h = 0;
    TargetSize(in, &w, &h);
    EXPECT_EQ(w, 640u);
    EXPECT_EQ(h, 1024u);
    in.regionIndex = 9;
    in.sizeFactor = 2.0f;
    in.maxTextureSize = 8192;
    TargetSize(in, &w, &h);
    EXPECT_EQ(w, 2730u);  // 8192 / 3
    EXPECT_EQ(h, static_cast<uint32_t>(2160 * (2730.0 / 3840)));
}

// Every pixel of a table against the exact geometry: the same pixels drawn, and positions
// within 1/8 of a lens pixel.
TEST(DewarpRemapTable, InterpolationStaysWithinAnEighthOfAPixel) {
    CWorkerPool pool(2);
    for (const Case& base : AllCases()) {
        if (base.flip != 1)
            continue;
        Case c = base;
        c.rectW = 317;  // odd sizes: partial cells at the right and bottom edges
        c.rectH = 203;
        c.picW = c.pair.model == 5 ? 1279 : 1023;
        c.picH = c.pair.model == 5
                     ? 319
                     : (c.picW == 1023 && c.pair.model != 1 && c.pair.model != 3 ? 1021 : 511);
        SCOPED_TRACE(c.Name());
        const ViewGeometry g = Ours(c);
        LensData lens;
        lens.model = c.pair.model;
        lens.width = static_cast<uint32_t>(c.picW);
        lens.height = static_cast<uint32_t>(c.picH);
        CRemapTable table;
        ASSERT_EQ(table.Build(g, lens, c.rectW, c.rectH, &pool), QUORIX_OK);
        const double maxX = (c.picW - 1) - 1.0 / 256, maxY = (c.picH - 1) - 1.0 / 256;
        double worst = 0.0;
        size_t mismatched = 0, drawn = 0;
        for (int y = 0; y < c.rectH; ++y) {
            const int32_t* tx = table.RowX(y);
            const int32_t* ty = table.RowY(y);
            for (int x = 0; x < c.rectW; ++x) {
                double sx = 0, sy = 0;
                const bool exact =
                    SourceAtPixel(g, c.rectW, c.rectH, x, y, c.picW, c.picH, &sx, &sy);
                if (exact != (tx[x] != kNothingDrawn)) {
                    ++mismatched;
                    continue;
                }
                if (!exact)
                    continue;
                ++drawn;
                const double ex = std::clamp(sx, 0.0, maxX), ey = std::clamp(sy, 0.0, maxY);
                worst = std::max(
                    worst, std::max(std::fabs(tx[x] / 256.0 - ex), std::fabs(ty[x] / 256.0 - ey)));
            }
        }
        EXPECT_EQ(mismatched, 0u);
        EXPECT_GT(drawn, 0u);
        EXPECT_LE(worst, 0.125);
    }
}

// The table is rebuilt only when the view, the size or the lens change.
TEST(DewarpRemapTable, RebuiltOnlyOnChange) {
    Case c{{2, 13}, 400, 200, 640, 640, 1, 0.1, 0.0, 1.0, 0, 0};
    LensData lens;
    lens.model = 2;
    lens.width = lens.height = 640;
    CRemapTable table;
    ViewGeometry g = Ours(c);
    ASSERT_EQ(table.Update(g, lens, 400, 200, nullptr), QUORIX_OK);
    ASSERT_EQ(table.Update(g, lens, 400, 200, nullptr), QUORIX_OK);
    EXPECT_EQ(table.Builds(), 1u);
    c.pan = 0.2;
    g = Ours(c);
    ASSERT_EQ(table.Update(g, lens, 400, 200, nullptr), QUORIX_OK);
    EXPECT_EQ(table.Builds(), 2u);
    ASSERT_EQ(table.Update(g, lens, 401, 200, nullptr), QUORIX_OK);
    EXPECT_EQ(table.Builds(), 3u);
    g.K[2] = 0.52;
    ASSERT_EQ(table.Update(g, lens, 401, 200, nullptr), QUORIX_OK);
    EXPECT_EQ(table.Builds(), 4u);
    lens.width = 600;
    ASSERT_EQ(table.Update(g, lens, 401, 200, nullptr), QUORIX_OK);
    EXPECT_EQ(table.Builds(), 5u);
    // Out-of-range sizes are refused and leave no table behind.
    lens.width = 3;
    EXPECT_EQ(table.Update(g, lens, 401, 200, nullptr), QUORIX_E_PARAM);
    EXPECT_TRUE(table.Empty());
    lens.width = 600;
    EXPECT_EQ(table.Update(g, lens, 0, 200, nullptr), QUORIX_E_PARAM);
    EXPECT_EQ(table.Update(g, lens, 20000, 200, nullptr), QUORIX_E_PARAM);
}

}  // namespace
