// Region behaviour on a headless renderer: colour paths, background bars, flips, read-back
// geometry, the off-screen capture region, the draw callback and project/unproject.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <quorixsdk.h>

#include "base/hevent.h"
#include "panorama/region.h"
#include "panorama/render.h"
#include "panorama/view.h"
#include "support/projection_reference.h"

using namespace SPHERA;

namespace {

constexpr uint32_t kWaitMs = 30000;

const bool g_headless = [] {
    if (std::getenv("QUORIX_TEST_DISPLAY") == nullptr)
        unsetenv("DISPLAY");
    return true;
}();

struct Snapshot {
    uint32_t width = 0, height = 0, stride = 0, format = 0;
    std::vector<uint8_t> data;  // bottom-up rows
    const uint8_t* At(uint32_t x, uint32_t y) const {
        return &data[size_t{y} * stride + size_t{x} * 4];
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

    void Rgb(int w, int h, const std::vector<uint8_t>& rgb, uint32_t type = 2) {
        const uint8_t* planes[3] = {rgb.data(), nullptr, nullptr};
        const uint32_t strides[3] = {static_cast<uint32_t>(w * 3), 0, 0};
        ASSERT_EQ(InputFrame(m_render, 0, w, h, type, planes, strides), QUORIX_OK);
    }

    // A read-back of a frame begun after all earlier settings (see the reference test).
    Snapshot Fresh(uint32_t region) {
        Snapshot s;
        EXPECT_EQ(SetSnapFormat(m_render, region, 1, 1), QUORIX_OK);
        for (int i = 0; i < 2; ++i) {
            uint8_t* data = nullptr;
            EXPECT_EQ(
                Snap(m_render, region, kWaitMs, &s.width, &s.stride, &s.height, &s.format, &data),
                QUORIX_OK);
            if (data == nullptr)
                return Snapshot{};
            s.data.assign(data, data + size_t{s.stride} * s.height);
            FreeSnapData(data);
        }
        return s;
    }

private:
    CRender* m_render = nullptr;
};

std::vector<uint8_t> Uniform(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = r;
        rgb[i + 1] = g;
        rgb[i + 2] = b;
    }
    return rgb;
}

bool Near(const uint8_t* px, int r, int g, int b, int tol) {
    return std::abs(px[0] - r) <= tol && std::abs(px[1] - g) <= tol && std::abs(px[2] - b) <= tol;
}

}  // namespace

TEST(ViewRegion, ColourPaths) {
    // Before the first picture the region is drawn from empty textures: no one-shot read-back
    // is served from that, however long it waits.
    {
        Renderer r(SPH_MODEL_FISHEYE);
        ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, 96, 64, true), QUORIX_OK);
        uint32_t w = 0, stride = 0, h = 0, format = 0;
        uint8_t* data = nullptr;
        EXPECT_EQ(Snap(r.get(), 0, 300, &w, &stride, &h, &format, &data), QUORIX_E_TIMEOUT);
        EXPECT_EQ(data, nullptr);
    }
    // Planar 4:2:0 through the limited-range BT.601 matrix, and BGR bytes swapped back.
    Renderer r(SPH_MODEL_NORMAL);
    ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, 64, 64, true), QUORIX_OK);
    std::vector<uint8_t> y(64 * 64, 150), u(32 * 32, 100), v(32 * 32, 180);
    const uint8_t* planes[3] = {y.data(), u.data(), v.data()};
    const uint32_t strides[3] = {64, 32, 32};
    ASSERT_EQ(InputFrame(r.get(), 0, 64, 64, 20, planes, strides), QUORIX_OK);
    Snapshot s = r.Fresh(0);
    ASSERT_EQ(s.width, 64u);
    double rgb[3];
    projref::YuvToRgb(150 / 255.0, 100 / 255.0, 180 / 255.0, rgb);
    EXPECT_TRUE(Near(s.At(32, 32), std::lround(rgb[0] * 255), std::lround(rgb[1] * 255),
                     std::lround(rgb[2] * 255), 2))
        << int(s.At(32, 32)[0]) << "," << int(s.At(32, 32)[1]) << "," << int(s.At(32, 32)[2]);
    r.Rgb(64, 64, Uniform(64, 64, 10, 20, 30), 4);
    s = r.Fresh(0);
    EXPECT_TRUE(Near(s.At(20, 40), 30, 20, 10, 1));
}

TEST(ViewRegion, FitBarsShowTheBackgroundColour) {
    Renderer r(SPH_MODEL_NORMAL);
    r.Rgb(200, 100, Uniform(200, 100, 0, 200, 0));
    ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, 200, 200, true), QUORIX_OK);
    ASSERT_EQ(SetRatioType(r.get(), 0, 1), QUORIX_OK);
    ASSERT_EQ(SetBackgroundColor(r.get(), 0, 0x0000FF), QUORIX_OK);
    const Snapshot s = r.Fresh(0);
    ASSERT_EQ(s.height, 200u);
    for (uint32_t y : {2u, 30u, 46u, 154u, 170u, 197u})
        EXPECT_TRUE(Near(s.At(100, y), 255, 0, 0, 0)) << "row " << y;
    for (uint32_t y : {56u, 100u, 144u})
        EXPECT_TRUE(Near(s.At(100, y), 0, 200, 0, 0)) << "row " << y;
    // Fill (ratio type 0) has no bars.
    ASSERT_EQ(SetRatioType(r.get(), 0, 0), QUORIX_OK);
    const Snapshot fill = r.Fresh(0);
    EXPECT_TRUE(Near(fill.At(100, 2), 0, 200, 0, 0));
}

TEST(ViewRegion, FlipsMirrorThePicture) {
    Renderer r(SPH_MODEL_NORMAL);
    std::vector<uint8_t> rgb(64 * 64 * 3);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            rgb[(y * 64 + x) * 3] = static_cast<uint8_t>(x * 4);
            rgb[(y * 64 + x) * 3 + 1] = static_cast<uint8_t>(y * 4);
            rgb[(y * 64 + x) * 3 + 2] = static_cast<uint8_t>((x ^ y) * 4);
        }
    r.Rgb(64, 64, rgb);
    ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, 64, 64, true), QUORIX_OK);
    const Snapshot plain = r.Fresh(0);
    ASSERT_EQ(plain.width, 64u);
    // Upright: the picture's first row is the top row of the region.
    EXPECT_TRUE(Near(plain.At(0, 63), 0, 0, 0, 2));
    EXPECT_TRUE(Near(plain.At(63, 0), 252, 252, 0, 2));
    for (uint32_t flip = 1; flip <= 3; ++flip) {
        ASSERT_EQ(SetFlip(r.get(), 0, flip), QUORIX_OK);
        const Snapshot f = r.Fresh(0);
        size_t mismatches = 0;
        for (uint32_t y = 0; y < 64; ++y)
            for (uint32_t x = 0; x < 64; ++x) {
                const uint32_t mx = (flip & 1) ? 63 - x : x, my = (flip & 2) ? 63 - y : y;
                if (std::memcmp(f.At(x, y), plain.At(mx, my), 3) != 0)
                    ++mismatches;
            }
        EXPECT_EQ(mismatches, 0u) << "flip " << flip;
    }
}

TEST(ViewRegion, ReadBackGeometry) {
    Renderer r(SPH_MODEL_NORMAL);
    r.Rgb(64, 64, Uniform(64, 64, 50, 60, 70));
    ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, 3, 5, true), QUORIX_OK);
    ASSERT_EQ(SetRatioType(r.get(), 0, 0), QUORIX_OK);  // filled: no bars at the edges
    ASSERT_EQ(SetSnapFormat(r.get(), 0, 2, 4), QUORIX_OK);
    uint32_t w = 0, stride = 0, h = 0, format = 0;
    uint8_t* data = nullptr;
    ASSERT_EQ(Snap(r.get(), 0, kWaitMs, &w, &stride, &h, &format, &data), QUORIX_OK);
    FreeSnapData(data);  // may come from a frame begun before the ratio type changed
    ASSERT_EQ(Snap(r.get(), 0, kWaitMs, &w, &stride, &h, &format, &data), QUORIX_OK);
    EXPECT_EQ(w, 3u);
    EXPECT_EQ(stride, 12u);
    EXPECT_EQ(h, 5u);
    EXPECT_EQ(format, 2u);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 50);
    EXPECT_EQ(data[2], 70);
    FreeSnapData(data);
    // Part of the region, in BGR order.
    ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, 64, 32, true), QUORIX_OK);
    // A rectangle reaching past the region would read beyond it: refused.
    EXPECT_EQ(SetSnapRect(r.get(), 0, 0.25f, 0.5f, 0.5f, 2.0f), QUORIX_E_PARAM);
    ASSERT_EQ(SetSnapRect(r.get(), 0, 0.25f, 0.5f, 0.5f, 0.5f), QUORIX_OK);
    ASSERT_EQ(SetSnapFormat(r.get(), 0, 4, 1), QUORIX_OK);
    data = nullptr;
    ASSERT_EQ(Snap(r.get(), 0, kWaitMs, &w, &stride, &h, &format, &data), QUORIX_OK);
    FreeSnapData(data);
    ASSERT_EQ(Snap(r.get(), 0, kWaitMs, &w, &stride, &h, &format, &data), QUORIX_OK);
    EXPECT_EQ(w, 32u);
    EXPECT_EQ(h, 16u);
    EXPECT_EQ(stride, 96u);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 70);
    FreeSnapData(data);
}

TEST(ViewRegion, ScreenOffSnapGivesTheHalfPanoramaAtSourceScale) {
    Renderer r(SPH_MODEL_FISHEYE);
    r.Rgb(320, 320, Uniform(320, 320, 90, 100, 110));
    ASSERT_EQ(SetScreenOffSnapFormat(r.get(), 0.5f, 1, 1), QUORIX_OK);
    uint32_t w = 0, stride = 0, h = 0, format = 0;
    uint8_t* data = nullptr;
    ASSERT_EQ(ScreenOffSnap(r.get(), kWaitMs, &w, &stride, &h, &format, &data), QUORIX_OK);
    EXPECT_EQ(w, 160u);
    EXPECT_EQ(h, 160u);
    EXPECT_EQ(stride, 640u);
    ASSERT_NE(data, nullptr);
    // The middle of the half panorama shows the picture.
    const uint8_t* mid = data + 80 * stride + 80 * 4;
    EXPECT_TRUE(Near(mid, 90, 100, 110, 1));
    FreeSnapData(data);
    EXPECT_EQ(r.get()->GetRegion(9)->GetDisplayType(), SPH_DISPLAY_PLANE180);
    EXPECT_FALSE(r.get()->GetRegion(9)->IsEnabled());
    EXPECT_FALSE(r.get()->IsSnapshotBusy());
}

namespace {
struct OffScreenRecord {
    BRIXEL::CHEvent done{true, false, false};
    uint32_t index = 0, width = 0, stride = 0, height = 0, format = 0;
    uint8_t first[4] = {};
};
void OnOffScreen(uint16_t index, uint32_t width, uint32_t stride, uint32_t height, uint32_t format,
                 const uint8_t* data, void* user) {
    auto* rec = static_cast<OffScreenRecord*>(user);
    rec->index = index;
    rec->width = width;
    rec->stride = stride;
    rec->height = height;
    rec->format = format;
    const uint8_t* mid = data + size_t{height / 2} * stride + size_t{width / 2} * 4;
    std::copy(mid, mid + 4, rec->first);
    rec->done.Set();
}
}  // namespace

TEST(ViewRegion, ScreenOffCallbackRunsEveryFrameUntilCleared) {
    Renderer r(SPH_MODEL_VR720);
    r.Rgb(400, 200, Uniform(400, 200, 30, 60, 90));
    OffScreenRecord rec;
    ASSERT_EQ(SetScreenOffSnapFormat(r.get(), 1.0f, 3, 4), QUORIX_OK);
    ASSERT_EQ(SetScreenOffSnapCallback(r.get(), OnOffScreen, &rec), QUORIX_OK);
    EXPECT_TRUE(r.get()->GetRegion(9)->IsEnabled());
    EXPECT_EQ(r.get()->GetRegion(9)->GetDisplayType(), SPH_DISPLAY_PLANE360_FIXED);
    ASSERT_EQ(rec.done.Wait(kWaitMs), QUORIX_OK);
    r.Rgb(400, 200, Uniform(400, 200, 30, 60, 90));
    ASSERT_EQ(rec.done.Wait(kWaitMs), QUORIX_OK);  // and again on the frame of a new picture
    EXPECT_EQ(rec.index, 9u);
    EXPECT_EQ(rec.width, 400u);
    EXPECT_EQ(rec.height, 200u);
    EXPECT_EQ(rec.stride, 1600u);
    EXPECT_EQ(rec.format, 3u);
    EXPECT_TRUE(rec.first[0] == 90 && rec.first[1] == 60 && rec.first[2] == 30) << "BGRA order";
    ASSERT_EQ(SetScreenOffSnapCallback(r.get(), nullptr, nullptr), QUORIX_OK);
    EXPECT_FALSE(r.get()->GetRegion(9)->IsEnabled());
}

namespace {
struct DrawRecord {
    BRIXEL::CHEvent done{true, false, false};
    int32_t values[9] = {};
};
void OnDraw(uint16_t index, int32_t ix, int32_t iy, int32_t iw, int32_t ih, int32_t rx, int32_t ry,
            int32_t rw, int32_t rh, void* user) {
    auto* rec = static_cast<DrawRecord*>(user);
    const int32_t v[9] = {index, ix, iy, iw, ih, rx, ry, rw, rh};
    std::copy(v, v + 9, rec->values);
    rec->done.Set();
}
}  // namespace

TEST(ViewRegion, DrawCallbackGetsTheImageRectangle) {
    Renderer r(SPH_MODEL_NORMAL);
    r.Rgb(200, 100, Uniform(200, 100, 1, 2, 3));
    DrawRecord rec;
    ASSERT_EQ(EnableRegion(r.get(), 2, 10, 20, 200, 200, true), QUORIX_OK);
    ASSERT_EQ(SetDrawCallback(r.get(), 2, OnDraw, &rec), QUORIX_OK);
    ASSERT_EQ(rec.done.Wait(kWaitMs), QUORIX_OK);
    ASSERT_EQ(SetDrawCallback(r.get(), 2, nullptr, nullptr), QUORIX_OK);
    const int32_t want[9] = {2, 0, 50, 200, 100, 10, 20, 200, 200};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(rec.values[i], want[i]) << "value " << i;
}

TEST(ViewRegion, UnprojectThenProjectReturnsThePoint) {
    struct Case {
        int32_t model, display;
        std::vector<std::pair<float, float>> points;
    } cases[] = {
        {SPH_MODEL_FISHEYE, 11, {{0.5f, 0.5f}, {0.4f, 0.35f}, {0.62f, 0.58f}}},
        {SPH_MODEL_FISHEYE, 12, {{0.3f, 0.4f}, {0.55f, 0.7f}}},
        {SPH_MODEL_FISHEYE, 13, {{0.3f, 0.45f}, {0.7f, 0.55f}}},
        {SPH_MODEL_VR720, 13, {{0.2f, 0.3f}, {0.8f, 0.6f}}},
        {SPH_MODEL_NORMAL, 0, {{0.25f, 0.25f}, {0.6f, 0.8f}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("model " + std::to_string(c.model) + " display " + std::to_string(c.display));
        Renderer r(c.model);
        r.Rgb(256, c.model == SPH_MODEL_VR720 ? 128 : 256,
              Uniform(256, c.model == SPH_MODEL_VR720 ? 128 : 256, 9, 9, 9));
        ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, 256, 256, true), QUORIX_OK);
        if (c.display != 0) {
            ASSERT_EQ(SetDisplayType(r.get(), 0, c.display), QUORIX_OK);
        }
        r.Fresh(0);  // drawn with these settings at least once
        CRegion* region = r.get()->GetRegion(0);
        for (const auto& [x, y] : c.points) {
            float sx = 0, sy = 0, bx = 0, by = 0;
            ASSERT_EQ(region->Project(kWaitMs, &x, &y, &sx, &sy, 1, true), QUORIX_OK);
            ASSERT_EQ(region->Project(kWaitMs, &sx, &sy, &bx, &by, 1, false), QUORIX_OK);
            EXPECT_NEAR(bx, x, 1e-3) << "source " << sx << "," << sy;
            EXPECT_NEAR(by, y, 1e-3) << "source " << sx << "," << sy;
        }
    }
}

// An unadjusted, unflipped region leaves out the compose pass; its pixels, bars included, must
// be those that the compose pass gives (a contrast a hair above 1 forces that pass while
// changing no 8-bit value).
TEST(ViewRegion, UnadjustedViewEqualsTheComposedOne) {
    Renderer r(SPH_MODEL_NORMAL);
    std::vector<uint8_t> rgb(200 * 100 * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<uint8_t>((i * 7) % 251);
    r.Rgb(200, 100, rgb);
    ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, 200, 200, true), QUORIX_OK);
    ASSERT_EQ(SetRatioType(r.get(), 0, 1), QUORIX_OK);
    ASSERT_EQ(SetBackgroundColor(r.get(), 0, 0x30A010), QUORIX_OK);
    CRegion* region = r.get()->GetRegion(0);
    ASSERT_NE(region, nullptr);
    const Snapshot plain = r.Fresh(0);
    region->SetColorAdjust(1.0f, 1.0f, std::nextafter(1.0f, 2.0f));
    const Snapshot composed = r.Fresh(0);
    ASSERT_EQ(plain.height, 200u);
    ASSERT_EQ(composed.height, plain.height);
    EXPECT_TRUE(Near(plain.At(100, 2), 0x10, 0xA0, 0x30, 0));
    size_t mismatches = 0;
    for (uint32_t y = 0; y < plain.height; ++y)
        for (uint32_t x = 0; x < plain.width; ++x)
            mismatches += std::memcmp(plain.At(x, y), composed.At(x, y), 3) != 0;
    EXPECT_EQ(mismatches, 0u);
}

namespace {

// Holds the render thread inside the draw callback of one frame until released.
struct FrameHold {
    BRIXEL::CHEvent entered{true, true, false};
    BRIXEL::CHEvent release{true, true, false};
    std::atomic<bool> held{false};
};

void OnDrawHold(uint16_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                void* user) {
    auto* hold = static_cast<FrameHold*>(user);
    if (hold->held.exchange(true))
        return;
    hold->entered.Set();
    hold->release.Wait(kWaitMs);
}

}  // namespace

// A one-shot request that gives up while the render thread is busy leaves nothing behind for
// the render thread to fill or free, and callers that ask together each get a picture of their own.
TEST(ViewRegion, OneShotSnapsSurviveATimedOutRequestAndConcurrentCallers) {
    Renderer r(SPH_MODEL_NORMAL);
    r.Rgb(32, 32, Uniform(32, 32, 10, 20, 30));
    ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, 16, 16, true), QUORIX_OK);
    ASSERT_EQ(SetSnapFormat(r.get(), 0, 1, 4), QUORIX_OK);
    FrameHold hold;
    ASSERT_EQ(SetDrawCallback(r.get(), 0, OnDrawHold, &hold), QUORIX_OK);
    ASSERT_EQ(hold.entered.Wait(kWaitMs), QUORIX_OK);

    uint32_t w = 0, stride = 0, h = 0, format = 0;
    uint8_t* data = nullptr;
    EXPECT_EQ(Snap(r.get(), 0, 0, &w, &stride, &h, &format, &data), QUORIX_E_TIMEOUT);
    EXPECT_EQ(data, nullptr);

    struct Result {
        uint32_t rc = 0, width = 0, stride = 0, height = 0, format = 0;
        uint8_t* data = nullptr;
    } results[2];
    std::vector<std::thread> callers;
    for (Result& res : results)
        callers.emplace_back([&r, &res] {
            res.rc = Snap(r.get(), 0, kWaitMs, &res.width, &res.stride, &res.height, &res.format,
                          &res.data);
        });
    hold.release.Set();
    for (std::thread& t : callers)
        t.join();
    ASSERT_EQ(SetDrawCallback(r.get(), 0, nullptr, nullptr), QUORIX_OK);
    EXPECT_NE(results[0].data, results[1].data);
    for (Result& res : results) {
        EXPECT_EQ(res.rc, QUORIX_OK);
        ASSERT_NE(res.data, nullptr);
        EXPECT_EQ(res.width, 16u);
        EXPECT_EQ(res.height, 16u);
        EXPECT_EQ(res.stride, 64u);
        EXPECT_TRUE(Near(res.data, 10, 20, 30, 2));
        FreeSnapData(res.data);
    }
}

// A region whose target is its rectangle's size draws straight into the window; off the window's
// corner, its pixels and its answers to unproject must be those of the frame-buffer path, for
// the plain quad and for the fisheye panorama drawn through its texture-coordinate map.
TEST(ViewRegion, RegionsDrawnIntoTheWindowMatchTheFrameBufferPath) {
    struct Case {
        int32_t model, display;
    } cases[] = {{SPH_MODEL_NORMAL, 0}, {SPH_MODEL_FISHEYE, 13}, {SPH_MODEL_FISHEYE, 11}};
    constexpr int kSize = 128;
    std::vector<uint8_t> rgb(size_t{kSize} * kSize * 3);
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            uint8_t* p = &rgb[(size_t(y) * kSize + x) * 3];
            p[0] = static_cast<uint8_t>(x * 2);
            p[1] = static_cast<uint8_t>(y * 2);
            p[2] = static_cast<uint8_t>((x ^ y) & 0xF0);
        }
    const float xs[3] = {0.3f, 0.5f, 0.7f}, ys[3] = {0.4f, 0.5f, 0.55f};
    for (const Case& c : cases) {
        SCOPED_TRACE("model " + std::to_string(c.model) + " display " + std::to_string(c.display));
        Renderer r(c.model);
        r.Rgb(kSize, kSize, rgb);
        ASSERT_EQ(EnableRegion(r.get(), 1, 37, 21, kSize, kSize, true), QUORIX_OK);
        if (c.display != 0) {
            ASSERT_EQ(SetDisplayType(r.get(), 1, c.display), QUORIX_OK);
        }
        CRegion* region = r.get()->GetRegion(1);
        Snapshot pictures[2];
        float sx[2][3] = {}, sy[2][3] = {};
        for (int viaFrameBuffer = 0; viaFrameBuffer < 2; ++viaFrameBuffer) {
            ForceRegionFrameBuffer(viaFrameBuffer == 1);
            pictures[viaFrameBuffer] = r.Fresh(1);
            ASSERT_EQ(
                region->Project(kWaitMs, xs, ys, sx[viaFrameBuffer], sy[viaFrameBuffer], 3, true),
                QUORIX_OK);
        }
        ForceRegionFrameBuffer(false);
        ASSERT_EQ(pictures[0].data.size(), pictures[1].data.size());
        ASSERT_FALSE(pictures[0].data.empty());
        int worst = 0;
        for (uint32_t y = 0; y < pictures[0].height; ++y)
            for (uint32_t x = 0; x < pictures[0].width; ++x)
                for (int ch = 0; ch < 4; ++ch)
                    worst = std::max(worst,
                                     std::abs(pictures[0].At(x, y)[ch] - pictures[1].At(x, y)[ch]));
        EXPECT_LE(worst, 1);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(sx[0][i], sx[1][i], 1e-3) << i;
            EXPECT_NEAR(sy[0][i], sy[1][i], 1e-3) << i;
        }
    }
}

// One-shot off-screen snapshots are drawn directly: a texture-coordinate map (16 bytes a pixel
// of a target that may be several times the picture) would be built for one frame.
TEST(ViewRegion, OffScreenSnapshotsBuildNoMap) {
    Renderer r(SPH_MODEL_FISHEYE);
    r.Rgb(128, 128, Uniform(128, 128, 40, 80, 120));
    uint32_t w = 0, stride = 0, h = 0, format = 0;
    uint8_t* data = nullptr;
    ASSERT_EQ(ScreenOffSnap(r.get(), kWaitMs, &w, &stride, &h, &format, &data), QUORIX_OK);
    ASSERT_NE(data, nullptr);
    EXPECT_GT(w, 0u);
    FreeSnapData(data);
    EXPECT_EQ(r.get()->GetRegion(kScreenOffRegion)->GetRemapBuilds(), 0u);
}

namespace {

// A model-data block of `cameras` default-lens cameras with a stitched width and aspect.
std::vector<uint8_t> CameraBlock(uint32_t model, int32_t cameras, uint16_t stitchedWidth,
                                 float stitchedAspect) {
    std::vector<uint8_t> b(88, 0);
    std::memcpy(b.data(), "SPH", 4);
    std::memcpy(&b[8], &model, 4);
    std::memcpy(&b[12], &cameras, 4);
    std::memcpy(&b[48], &stitchedWidth, 2);
    std::memcpy(&b[52], &stitchedAspect, 4);
    for (int32_t i = 0; i < cameras; ++i) {
        uint8_t record[200] = {};
        const float k[9] = {1, 0, 0.5f, 0, 1, 0.5f, 0, 0, 1};
        std::memcpy(record, k, sizeof(k));
        b.insert(b.end(), record, record + sizeof(record));
    }
    const uint32_t size = static_cast<uint32_t>(b.size());
    std::memcpy(&b[4], &size, 4);
    return b;
}

constexpr double kHalfFovTan = 0.6370702;  // tan(65 degrees / 2)

// The view ray through a shown point (fractions, y down) of a region of aspect `a`, from the
// eye looking down -z.
void Ray(double x, double y, double a, double d[3]) {
    d[0] = (2 * x - 1) * a * kHalfFovTan;
    d[1] = (1 - 2 * y) * kHalfFovTan;
    d[2] = -1;
    const double n = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    for (int i = 0; i < 3; ++i)
        d[i] /= n;
}

bool Undefined(float x, float y) {
    return std::isnan(x) && std::isnan(y);
}

}  // namespace

// UnProject answers "undefined" (NaN) wherever nothing of the picture lies under the point, and
// the source point under the cursor elsewhere, flipped views included.
TEST(ViewRegion, UnprojectNeverInventsAPoint) {
    {
        // Normal picture 2:1 fitted into a square region: bars above and below.
        Renderer r(SPH_MODEL_NORMAL);
        r.Rgb(200, 100, Uniform(200, 100, 9, 9, 9));
        ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, 256, 256, true), QUORIX_OK);
        r.Fresh(0);
        CRegion* region = r.get()->GetRegion(0);
        const float xs[5] = {0.5f, 0.5f, 1.5f, -0.2f, 0.5f}, ys[5] = {0.1f, 0.9f, 0.5f, 0.5f, 0.5f};
        float ox[5], oy[5];
        ASSERT_EQ(region->Project(kWaitMs, xs, ys, ox, oy, 5, true), QUORIX_OK);
        for (int i = 0; i < 4; ++i)
            EXPECT_TRUE(Undefined(ox[i], oy[i])) << "point " << i << ": " << ox[i] << "," << oy[i];
        EXPECT_FALSE(std::isnan(ox[4]));
    }
    {
        // Fisheye bowl seen from outside: the far hemisphere's inside, nothing around its rim.
        Renderer r(SPH_MODEL_FISHEYE);
        r.Rgb(256, 256, Uniform(256, 256, 9, 9, 9));
        ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, 256, 256, true), QUORIX_OK);
        ASSERT_EQ(SetDisplayType(r.get(), 0, SPH_DISPLAY_SPHERE), QUORIX_OK);
        CRegion* region = r.get()->GetRegion(0);
        for (uint32_t flip = 0; flip <= 3; ++flip) {
            SCOPED_TRACE("flip " + std::to_string(flip));
            ASSERT_EQ(SetFlip(r.get(), 0, flip), QUORIX_OK);
            r.Fresh(0);
            const float xs[5] = {0.02f, 0.5f, 0.3f, 0.62f, 0.45f};
            const float ys[5] = {0.02f, 0.5f, 0.4f, 0.7f, 0.2f};
            float ox[5], oy[5];
            ASSERT_EQ(region->Project(kWaitMs, xs, ys, ox, oy, 5, true), QUORIX_OK);
            for (int i = 0; i < 5; ++i) {
                // The point of the camera pass under the shown point, then the bowl it meets.
                const double x = (flip & 1) ? 1.0 - xs[i] : xs[i];
                const double y = (flip & 2) ? 1.0 - ys[i] : ys[i];
                double d[3];
                Ray(x, y, 1.0, d);
                const double dc = -1.4 * d[2];  // d . centre, centre (0, 0, -1.4)
                const double disc = dc * dc - (1.4 * 1.4 - 1.0);
                if (disc < 0) {
                    EXPECT_TRUE(Undefined(ox[i], oy[i])) << "point " << i;
                    continue;
                }
                const double t = dc + std::sqrt(disc);
                const double o[3] = {t * d[0], t * d[1], t * d[2] + 1.4};
                if (o[2] > 0) {  // past the rim: the near half of the sphere is not drawn
                    EXPECT_TRUE(Undefined(ox[i], oy[i])) << "point " << i;
                    continue;
                }
                const double wantX = std::atan2(o[1], o[0]) / M_PI;
                const double wantY = std::acos(-o[2]) / M_PI;
                EXPECT_NEAR(ox[i], wantX, 0.02) << "point " << i;
                EXPECT_NEAR(oy[i], wantY, 0.02) << "point " << i;
            }
        }
    }
    {
        // Full sphere seen from its centre: every point has a source point, along its own ray.
        Renderer r(SPH_MODEL_VR720);
        r.Rgb(256, 128, Uniform(256, 128, 9, 9, 9));
        ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, 320, 240, true), QUORIX_OK);
        ASSERT_EQ(SetDisplayType(r.get(), 0, SPH_DISPLAY_VR), QUORIX_OK);
        r.Fresh(0);
        CRegion* region = r.get()->GetRegion(0);
        const float xs[3] = {0.2f, 0.7f, 0.9f}, ys[3] = {0.3f, 0.8f, 0.1f};
        float ox[3], oy[3], bx[3], by[3];
        ASSERT_EQ(region->Project(kWaitMs, xs, ys, ox, oy, 3, true), QUORIX_OK);
        ASSERT_EQ(region->Project(kWaitMs, ox, oy, bx, by, 3, false), QUORIX_OK);
        for (int i = 0; i < 3; ++i) {
            double d[3];
            Ray(xs[i], ys[i], 320.0 / 240.0, d);
            EXPECT_NEAR(ox[i], std::atan2(d[1], d[0]) / M_PI, 0.01) << "point " << i;
            EXPECT_NEAR(oy[i], std::acos(-d[2]) / M_PI, 0.01) << "point " << i;
            EXPECT_NEAR(bx[i], xs[i], 2e-3) << "point " << i;
            EXPECT_NEAR(by[i], ys[i], 2e-3) << "point " << i;
        }
    }
    {
        // The multi-sensor view has no common source coordinates: refused, not made up.
        ASSERT_EQ(GlobalInit(), QUORIX_OK);
        const std::vector<uint8_t> block = CameraBlock(SPH_MODEL_FISHEYE, 2, 0, 2.0f);
        CRender* render = nullptr;
        ASSERT_EQ(CreateRender(0, block.data(), static_cast<uint32_t>(block.size()), &render),
                  QUORIX_OK);
        ASSERT_EQ(EnableRegion(render, 0, 0, 0, 64, 64, true), QUORIX_OK);
        ASSERT_EQ(SetDisplayType(render, 0, SPH_DISPLAY_MULTI), QUORIX_OK);
        const float x = 0.5f, y = 0.5f;
        float ox = 0, oy = 0;
        EXPECT_EQ(UnProject(render, 0, &x, &y, &ox, &oy, 1), QUORIX_E_NOT_SUPPORTED);
        EXPECT_EQ(Project(render, 0, &x, &y, &ox, &oy, 1), QUORIX_E_NOT_SUPPORTED);
        DestroyRender(render);
    }
}

// Project applies the flip: a source point is found where the flipped view shows it.
TEST(ViewRegion, ProjectFollowsTheFlip) {
    Renderer r(SPH_MODEL_FISHEYE);
    r.Rgb(256, 256, Uniform(256, 256, 9, 9, 9));
    ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, 256, 256, true), QUORIX_OK);
    ASSERT_EQ(SetDisplayType(r.get(), 0, SPH_DISPLAY_PLANE180), QUORIX_OK);
    r.Fresh(0);
    CRegion* region = r.get()->GetRegion(0);
    // Source points of two shown points of the unflipped view.
    const float px[2] = {0.3f, 0.6f}, py[2] = {0.4f, 0.7f};
    float sx[2], sy[2];
    ASSERT_EQ(region->Project(kWaitMs, px, py, sx, sy, 2, true), QUORIX_OK);
    ASSERT_FALSE(std::isnan(sx[0]) || std::isnan(sx[1]));
    for (uint32_t flip = 1; flip <= 3; ++flip) {
        ASSERT_EQ(SetFlip(r.get(), 0, flip), QUORIX_OK);
        r.Fresh(0);
        float fx[2], fy[2], ux[2], uy[2];
        ASSERT_EQ(region->Project(kWaitMs, sx, sy, fx, fy, 2, false), QUORIX_OK);
        ASSERT_EQ(region->Project(kWaitMs, fx, fy, ux, uy, 2, true), QUORIX_OK);
        for (int i = 0; i < 2; ++i) {
            EXPECT_NEAR(fx[i], (flip & 1) ? 1.0f - px[i] : px[i], 1e-4) << "flip " << flip;
            EXPECT_NEAR(fy[i], (flip & 2) ? 1.0f - py[i] : py[i], 1e-4) << "flip " << flip;
            EXPECT_NEAR(ux[i], sx[i], 0.01) << "flip " << flip;
            EXPECT_NEAR(uy[i], sy[i], 0.01) << "flip " << flip;
        }
    }
}

// The multi-sensor view of two cameras draws their pictures over the whole region, and the
// full-resolution capture (the half panorama) has the stitched shape, not a square.
TEST(ViewRegion, MultiSensorViewDrawsTheCameras) {
    ASSERT_EQ(GlobalInit(), QUORIX_OK);
    const std::vector<uint8_t> block = CameraBlock(SPH_MODEL_FISHEYE, 2, 600, 2.0f);
    CRender* render = nullptr;
    ASSERT_EQ(CreateRender(0, block.data(), static_cast<uint32_t>(block.size()), &render),
              QUORIX_OK);
    ASSERT_EQ(Init(render, 0, nullptr, true), QUORIX_OK);
    for (uint32_t cam = 0; cam < 2; ++cam) {
        const std::vector<uint8_t> rgb =
            cam == 0 ? Uniform(128, 128, 200, 30, 30) : Uniform(128, 128, 30, 30, 200);
        const uint8_t* planes[3] = {rgb.data(), nullptr, nullptr};
        const uint32_t strides[3] = {128 * 3, 0, 0};
        ASSERT_EQ(InputFrame(render, cam, 128, 128, 2, planes, strides), QUORIX_OK);
    }
    ASSERT_EQ(EnableRegion(render, 0, 0, 0, 160, 120, true), QUORIX_OK);
    ASSERT_EQ(SetDisplayType(render, 0, SPH_DISPLAY_MULTI), QUORIX_OK);
    ASSERT_EQ(SetBackgroundColor(render, 0, 0xFF00FF), QUORIX_OK);
    ASSERT_EQ(SetSnapFormat(render, 0, 1, 1), QUORIX_OK);
    uint32_t w = 0, stride = 0, h = 0, format = 0;
    for (int i = 0; i < 2; ++i) {
        uint8_t* data = nullptr;
        ASSERT_EQ(Snap(render, 0, kWaitMs, &w, &stride, &h, &format, &data), QUORIX_OK);
        ASSERT_NE(data, nullptr);
        if (i == 1) {
            size_t background = 0, first = 0, second = 0;
            for (uint32_t y = 0; y < h; ++y)
                for (uint32_t x = 0; x < w; ++x) {
                    const uint8_t* p = data + size_t{y} * stride + size_t{x} * 4;
                    background += Near(p, 255, 0, 255, 8);
                    first += Near(p, 200, 30, 30, 8);
                    second += Near(p, 30, 30, 200, 8);
                }
            // Both cameras are drawn through their own lens onto the same sphere: every pixel
            // is one of their pictures, none is left to the background.
            EXPECT_EQ(background, 0u);
            EXPECT_EQ(first + second, size_t{w} * h);
        }
        FreeSnapData(data);
    }
    uint8_t* data = nullptr;
    ASSERT_EQ(ScreenOffSnap(render, kWaitMs, &w, &stride, &h, &format, &data), QUORIX_OK);
    FreeSnapData(data);
    EXPECT_EQ(w, 600u);
    EXPECT_EQ(h, 300u);
    DestroyRender(render);
}

namespace {
// Rows and columns of a snapshot holding any pixel other than the background colour.
struct Covered {
    uint32_t x0 = ~0u, y0 = ~0u, x1 = 0, y1 = 0;  // x1, y1 exclusive
    size_t background = 0;
};
Covered CoveredBox(const Snapshot& s, int r, int g, int b) {
    Covered c;
    for (uint32_t y = 0; y < s.height; ++y)
        for (uint32_t x = 0; x < s.width; ++x) {
            if (Near(s.At(x, y), r, g, b, 8)) {
                ++c.background;
                continue;
            }
            c.x0 = std::min(c.x0, x);
            c.y0 = std::min(c.y0, y);
            c.x1 = std::max(c.x1, x + 1);
            c.y1 = std::max(c.y1, y + 1);
        }
    return c;
}
}  // namespace

// Views keep their promises: the zoomed front/back panorama covers the view wherever it is
// panned in fit-width mode, the draw callback of the 360-degree panorama reports the rectangle
// really drawn, and the full-resolution half panorama of a non-square fisheye has no bars.
TEST(ViewRegion, ViewsCoverWhatTheyPromise) {
    {
        Renderer r(SPH_MODEL_RING);
        r.Rgb(300, 100, Uniform(300, 100, 40, 160, 40));
        ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, 200, 150, true), QUORIX_OK);
        ASSERT_EQ(SetDisplayType(r.get(), 0, SPH_DISPLAY_PLANE360_FRONTBACK), QUORIX_OK);
        ASSERT_EQ(SetRatioType(r.get(), 0, 2), QUORIX_OK);  // fit the width
        ASSERT_EQ(SetBackgroundColor(r.get(), 0, 0xFF00FF), QUORIX_OK);
        const float pans[][2] = {{1.0f, 0.0f}, {-1.0f, 0.0f}, {0.0f, 1.0f}, {0.7f, -1.0f}};
        for (const auto& pt : pans) {
            SCOPED_TRACE("pan " + std::to_string(pt[0]) + " tilt " + std::to_string(pt[1]));
            ASSERT_EQ(SetPtz(r.get(), 0, pt[0], pt[1], 2.0f), QUORIX_OK);
            const Snapshot s = r.Fresh(0);
            ASSERT_EQ(s.width, 200u);
            EXPECT_EQ(CoveredBox(s, 255, 0, 255).background, 0u);
        }
    }
    {
        // Fit-height asked: the panorama is drawn fitting the width (a quarter as high as wide).
        Renderer r(SPH_MODEL_FISHEYE);
        r.Rgb(256, 256, Uniform(256, 256, 40, 160, 40));
        ASSERT_EQ(EnableRegion(r.get(), 0, 0, 0, 256, 256, true), QUORIX_OK);
        ASSERT_EQ(SetDisplayType(r.get(), 0, SPH_DISPLAY_PLANE360), QUORIX_OK);
        ASSERT_EQ(SetRatioType(r.get(), 0, 3), QUORIX_OK);
        ASSERT_EQ(SetBackgroundColor(r.get(), 0, 0xFF00FF), QUORIX_OK);
        const Snapshot s = r.Fresh(0);
        DrawRecord rec;
        ASSERT_EQ(SetDrawCallback(r.get(), 0, OnDraw, &rec), QUORIX_OK);
        ASSERT_EQ(rec.done.Wait(kWaitMs), QUORIX_OK);
        ASSERT_EQ(SetDrawCallback(r.get(), 0, nullptr, nullptr), QUORIX_OK);
        const Covered c = CoveredBox(s, 255, 0, 255);
        ASSERT_LT(c.x0, c.x1);
        EXPECT_EQ(rec.values[1], static_cast<int32_t>(c.x0));
        EXPECT_EQ(rec.values[3], static_cast<int32_t>(c.x1 - c.x0));
        EXPECT_NEAR(rec.values[2], static_cast<int32_t>(c.y0), 1);
        EXPECT_NEAR(rec.values[4], static_cast<int32_t>(c.y1 - c.y0), 1);
    }
    {
        Renderer r(SPH_MODEL_FISHEYE);
        r.Rgb(400, 300, Uniform(400, 300, 40, 160, 40));
        ASSERT_EQ(SetScreenOffSnapFormat(r.get(), 1.0f, 1, 4), QUORIX_OK);
        Snapshot s;
        for (int i = 0; i < 2; ++i) {
            uint8_t* data = nullptr;
            ASSERT_EQ(
                ScreenOffSnap(r.get(), kWaitMs, &s.width, &s.stride, &s.height, &s.format, &data),
                QUORIX_OK);
            ASSERT_NE(data, nullptr);
            s.data.assign(data, data + size_t{s.stride} * s.height);
            FreeSnapData(data);
        }
        EXPECT_EQ(s.width, 400u);
        EXPECT_EQ(s.height, 400u);
        size_t other = 0;
        for (uint32_t y = 0; y < s.height; ++y)
            for (uint32_t x = 0; x < s.width; ++x)
                other += !Near(s.At(x, y), 40, 160, 40, 8);
        EXPECT_EQ(other, 0u);
    }
}
