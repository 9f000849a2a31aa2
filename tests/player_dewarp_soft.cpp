// The CPU de-warp of the software display against the OpenGL renderer, through the public
// interface. The machine's OpenGL is a software rasteriser, so ports opened while
// QUORIX_CPU_DEWARP is 1 at the initialisation de-warp on the CPU and ports opened while it is 0
// use OpenGL: both kinds live side by side in this process.

#include <gtest/gtest.h>
#include <quorixsdk.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/hmfformat.h"
#include "support/capture_support.h"
#include "support/gl_test_context.h"
#include "support/media_encoder.h"
#include "support/view_support.h"

using namespace capturetest;

namespace {

constexpr uint32_t kPicture = 480;  // a square lens picture
constexpr uint32_t kRetryMs = 30000;

// Smooth content: bilinear sampling of either renderer agrees on it to within rounding, so a
// difference means a different source position.
quorix_test::Picture SmoothPicture(uint32_t size) {
    quorix_test::Picture picture;
    picture.width = size;
    picture.height = size;
    picture.planes[0].resize(size_t{size} * size);
    for (uint32_t y = 0; y < size; ++y) {
        for (uint32_t x = 0; x < size; ++x) {
            const double v =
                128.0 + 60.0 * std::sin(2.0 * M_PI * x / 311.0) * std::cos(2.0 * M_PI * y / 257.0) +
                20.0 * (static_cast<double>(x) + y) / (2.0 * size);
            picture.planes[0][size_t{y} * size + x] = static_cast<uint8_t>(std::lround(v));
        }
    }
    const uint32_t cw = picture.ChromaWidth(), ch = picture.ChromaHeight();
    picture.planes[1].resize(size_t{cw} * ch);
    picture.planes[2].resize(size_t{cw} * ch);
    for (uint32_t y = 0; y < ch; ++y) {
        for (uint32_t x = 0; x < cw; ++x) {
            picture.planes[1][size_t{y} * cw + x] =
                static_cast<uint8_t>(128 + std::lround(40.0 * std::sin(2.0 * M_PI * x / 151.0)));
            picture.planes[2][size_t{y} * cw + x] =
                static_cast<uint8_t>(128 + std::lround(40.0 * std::cos(2.0 * M_PI * y / 127.0)));
        }
    }
    return picture;
}

std::vector<std::vector<uint8_t>> SmoothRecords(uint32_t count) {
    const quorix_test::Picture picture = SmoothPicture(kPicture);
    quorix_test::VideoEncodeOptions options;
    options.width = kPicture;
    options.height = kPicture;
    options.frames = count;
    options.quality = 4;
    options.gop = static_cast<int>(count);
    const auto packets =
        quorix_test::EncodePictures(options, std::vector<quorix_test::Picture>(count, picture));
    std::vector<std::vector<uint8_t>> records;
    for (size_t i = 0; i < packets.size(); ++i) {
        records.push_back(Record(packets[i].key ? BRIXEL::HMF_KIND_KEY : BRIXEL::HMF_KIND_DELTA,
                                 static_cast<uint32_t>(i), static_cast<uint32_t>(1000 + i * 40), 1,
                                 kPicture, kPicture, packets[i].data));
    }
    return records;
}

// The renderer a port opened now gets is decided by the initialisation.
void Reinitialise(bool cpu) {
    QUORIX_ReleaseSDK();
    setenv("QUORIX_CPU_DEWARP", cpu ? "1" : "0", 1);
    ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
}

struct Rgb {
    int32_t width = 0, height = 0;
    std::vector<uint8_t> bgr;  // top row first, packed
};

// A region capture once the port has a picture to show (captures time out before that).
bool Capture(uint16_t port, uint16_t region, const std::string& path, Rgb* out) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRetryMs);
    uint32_t rc = QUORIX_E_TIMEOUT;
    while (rc == QUORIX_E_TIMEOUT && std::chrono::steady_clock::now() < until)
        rc = QUORIX_CaptureBmp(port, region, path.c_str());
    if (rc != QUORIX_OK)
        return false;
    const BmpFile bmp = ReadBmp(path);
    if (!bmp.ok || bmp.bitCount != 24 || bmp.width <= 0 || bmp.height <= 0)
        return false;
    out->width = bmp.width;
    out->height = std::abs(bmp.height);
    const size_t stride = (size_t{static_cast<uint32_t>(out->width)} * 3 + 3) & ~size_t{3};
    out->bgr.resize(size_t{static_cast<uint32_t>(out->width)} * out->height * 3);
    for (int32_t y = 0; y < out->height; ++y) {
        const int32_t fileRow = bmp.height > 0 ? out->height - 1 - y : y;
        std::copy_n(bmp.bytes.begin() + bmp.dataOffset + fileRow * stride, out->width * 3,
                    out->bgr.begin() + size_t{static_cast<uint32_t>(y)} * out->width * 3);
    }
    return true;
}

struct Difference {
    double meanSigned = 0.0;  // over every pixel
    double psnr = 0.0;        // away from the picture's outline
    double outline = 0.0;     // the share of pixels left out of the PSNR
};

// Where the picture meets the bars or the background, each renderer rounds its outline to whole
// pixels on its own (the mesh's edge, the shader's clamp): a pixel within two of a jump that
// smooth content never has, in either capture, counts in the mean but not in the PSNR.
Difference Compare(const Rgb& a, const Rgb& b) {
    const int32_t w = a.width, h = a.height;
    std::vector<uint8_t> edge(size_t{static_cast<uint32_t>(w)} * h, 0);
    auto jump = [&](const Rgb& im, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
        int d = 0;
        for (int c = 0; c < 3; ++c) {
            d = std::max(d, std::abs(im.bgr[(size_t{static_cast<uint32_t>(y0)} * w + x0) * 3 + c] -
                                     im.bgr[(size_t{static_cast<uint32_t>(y1)} * w + x1) * 3 + c]));
        }
        return d > 32;
    };
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            bool hit = false;
            for (const Rgb* im : {&a, &b}) {
                if (x + 1 < w && jump(*im, x, y, x + 1, y))
                    hit = true;
                if (y + 1 < h && jump(*im, x, y, x, y + 1))
                    hit = true;
            }
            if (!hit)
                continue;
            for (int32_t dy = -2; dy <= 3; ++dy)
                for (int32_t dx = -2; dx <= 3; ++dx)
                    if (x + dx >= 0 && x + dx < w && y + dy >= 0 && y + dy < h)
                        edge[size_t{static_cast<uint32_t>(y + dy)} * w + x + dx] = 1;
        }
    }
    double sum = 0.0, squares = 0.0;
    size_t inside = 0;
    for (size_t i = 0; i < a.bgr.size(); ++i) {
        const double d = static_cast<double>(a.bgr[i]) - b.bgr[i];
        sum += d;
        if (edge[i / 3] == 0) {
            squares += d * d;
            ++inside;
        }
    }
    Difference diff;
    diff.meanSigned = sum / static_cast<double>(a.bgr.size());
    const double mse = inside > 0 ? squares / static_cast<double>(inside) : 0.0;
    diff.psnr = mse > 0.0 ? 10.0 * std::log10(255.0 * 255.0 / mse) : 99.0;
    diff.outline = 1.0 - static_cast<double>(inside) / static_cast<double>(a.bgr.size());
    return diff;
}

class DewarpSoft : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("DISPLAY");
        setenv("QUORIX_CPU_DEWARP", "1", 1);
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
    }
    void TearDown() override {
        QUORIX_ReleaseSDK();
        setenv("QUORIX_CPU_DEWARP", "1", 1);
    }
    TempDir m_dir;
};

// On a software rasteriser a port de-warps on the CPU unless told otherwise, and offers the
// model's display types there; a host that draws in its own GL context keeps OpenGL.
TEST_F(DewarpSoft, SoftwareRasteriserPortsDewarpOnTheCpuByDefault) {
    int32_t support = -7;
    {
        LivePort cpu(QUORIX_MODEL_FISHEYE, 320, 240);
        ASSERT_TRUE(cpu.Ok()) << cpu.Error();
        ASSERT_EQ(QUORIX_OK, QUORIX_GetManualSupport(cpu.Port(), &support));
        EXPECT_EQ(0, support) << "the software display has no manual rendering";
        uint32_t types[8] = {};
        int32_t count = 8;
        ASSERT_EQ(QUORIX_OK, QUORIX_GetSupportedDisplayTypeList(cpu.Port(), types, &count));
        ASSERT_EQ(5, count);
        EXPECT_EQ(QUORIX_DISPLAY_SPHERE, types[0]);
        EXPECT_EQ(QUORIX_DISPLAY_VR, types[4]);
        uint32_t type = 0;
        ASSERT_EQ(QUORIX_OK, QUORIX_GetCurrentDisplayType(cpu.Port(), 0, &type));
        EXPECT_EQ(QUORIX_DISPLAY_SPHERE, type);
        EXPECT_EQ(QUORIX_E_PARAM, QUORIX_SetCurrentDisplayType(cpu.Port(), 0, 16));
        EXPECT_EQ(QUORIX_OK, QUORIX_SetFlip(cpu.Port(), 0, 3));
    }
    {
        // Manual mode: the port starts on OpenGL after all.
        uint16_t port = 0;
        ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
        ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, QUORIX_MODEL_FISHEYE, nullptr, 0, nullptr, 0));
        ASSERT_EQ(QUORIX_OK, QUORIX_Play(port, 0, nullptr, 1));
        ASSERT_EQ(QUORIX_OK, QUORIX_GetManualSupport(port, &support));
        EXPECT_EQ(1, support);
        EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
    }
    Reinitialise(false);
    LivePort gl(QUORIX_MODEL_FISHEYE, 320, 240);
    ASSERT_TRUE(gl.Ok()) << gl.Error();
    ASSERT_EQ(QUORIX_OK, QUORIX_GetManualSupport(gl.Port(), &support));
    EXPECT_EQ(1, support) << "QUORIX_CPU_DEWARP=0 keeps OpenGL";
}

struct ViewCase {
    int32_t model;
    uint32_t display;
};

// Every display type of every lens model, with pan, tilt, zoom and a flip: the CPU port's
// capture and the OpenGL port's capture of the same view agree, and so do their point
// conversions.
TEST_F(DewarpSoft, EveryViewMatchesTheOpenGlRenderer) {
    const auto records = SmoothRecords(3);
    ASSERT_FALSE(records.empty()) << "libx264 missing";
    constexpr uint32_t kRegionW = 320, kRegionH = 240;
    for (int32_t model : {2, 3, 4, 5, 6}) {
        Reinitialise(true);
        LivePort cpu(model, kRegionW, kRegionH);
        ASSERT_TRUE(cpu.Ok()) << cpu.Error();
        Reinitialise(false);
        LivePort gl(model, kRegionW, kRegionH);
        ASSERT_TRUE(gl.Ok()) << gl.Error();
        int32_t manual = -7;
        ASSERT_EQ(QUORIX_OK, QUORIX_GetManualSupport(cpu.Port(), &manual));
        ASSERT_EQ(0, manual) << "the first port is on the software display";
        ASSERT_EQ(QUORIX_OK, QUORIX_GetManualSupport(gl.Port(), &manual));
        ASSERT_EQ(1, manual) << "the second port is on OpenGL";
        ASSERT_EQ(QUORIX_OK, cpu.Push(records));
        ASSERT_EQ(QUORIX_OK, gl.Push(records));
        uint32_t types[16] = {};
        int32_t count = 16;
        ASSERT_EQ(QUORIX_OK, QUORIX_GetSupportedDisplayTypeList(gl.Port(), types, &count));
        uint32_t cpuTypes[16] = {};
        int32_t cpuCount = 16;
        ASSERT_EQ(QUORIX_OK, QUORIX_GetSupportedDisplayTypeList(cpu.Port(), cpuTypes, &cpuCount));
        ASSERT_EQ(count, cpuCount) << "model " << model;
        for (int32_t i = 0; i < count; ++i) {
            const uint32_t display = types[i];
            EXPECT_EQ(display, cpuTypes[i]);
            SCOPED_TRACE("model " + std::to_string(model) + " display " + std::to_string(display));
            const uint32_t flip = 1 + static_cast<uint32_t>(i) % 3;
            for (uint16_t port : {cpu.Port(), gl.Port()}) {
                ASSERT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(port, 0, display));
                ASSERT_EQ(QUORIX_OK, QUORIX_SetPTZPosition(port, 0, 0.1f, -0.05f, 1.25f));
                ASSERT_EQ(QUORIX_OK, QUORIX_SetFlip(port, 0, flip));
            }
            Rgb a, b;
            ASSERT_TRUE(Capture(cpu.Port(), 0, m_dir.Path("cpu.bmp"), &a));
            ASSERT_TRUE(Capture(gl.Port(), 0, m_dir.Path("gl.bmp"), &b));
            ASSERT_EQ(b.width, a.width);
            ASSERT_EQ(b.height, a.height);
            const Difference diff = Compare(a, b);
            EXPECT_LE(std::fabs(diff.meanSigned), 2.0);
            EXPECT_GE(diff.psnr, 40.0);
            EXPECT_LE(diff.outline, 0.15) << "the outlines cover the picture";

            // Points of the region to the source and back, on both.
            const float vx[5] = {0.5f, 0.3f, 0.7f, 0.4f, 0.62f};
            const float vy[5] = {0.5f, 0.4f, 0.6f, 0.7f, 0.33f};
            float cx[5], cy[5], gx[5], gy[5];
            ASSERT_EQ(QUORIX_OK, QUORIX_UnProject(cpu.Port(), 0, vx, vy, cx, cy, 5));
            ASSERT_EQ(QUORIX_OK, QUORIX_UnProject(gl.Port(), 0, vx, vy, gx, gy, 5));
            for (int k = 0; k < 5; ++k) {
                EXPECT_EQ(std::isnan(cx[k]), std::isnan(gx[k])) << "unproject point " << k;
                if (!std::isnan(cx[k]) && !std::isnan(gx[k])) {
                    EXPECT_NEAR(gx[k], cx[k], 0.01) << "unproject point " << k;
                    EXPECT_NEAR(gy[k], cy[k], 0.01) << "unproject point " << k;
                }
            }
            float px[5], py[5], qx[5], qy[5];
            ASSERT_EQ(QUORIX_OK, QUORIX_Project(cpu.Port(), 0, gx, gy, px, py, 5));
            ASSERT_EQ(QUORIX_OK, QUORIX_Project(gl.Port(), 0, gx, gy, qx, qy, 5));
            for (int k = 0; k < 5; ++k) {
                if (std::isnan(gx[k]))
                    continue;
                EXPECT_EQ(std::isnan(px[k]), std::isnan(qx[k])) << "project point " << k;
                if (!std::isnan(px[k]) && !std::isnan(qx[k])) {
                    EXPECT_NEAR(qx[k], px[k], 0.005) << "project point " << k;
                    EXPECT_NEAR(qy[k], py[k], 0.005) << "project point " << k;
                }
            }
        }
    }
}

// What the display's draw callback found in its region: the de-warped view, top row first.
struct WindowProbe {
    std::mutex lock;
    std::condition_variable changed;
    int calls = 0;
    int32_t drawMode = -1;
    QUORIX_RECT image{}, rect{};
    Rgb pixels;

    static void Callback(uint16_t, uint16_t, int32_t drawMode, QUORIX_HDC dc,
                         const QUORIX_RECT* image, const QUORIX_RECT* rect, void* user) {
        auto* self = static_cast<WindowProbe*>(user);
        const auto* surface = static_cast<const QUORIX_SURFACE*>(dc);
        if (surface == nullptr || image == nullptr || rect == nullptr)
            return;
        Rgb seen;
        seen.width = rect->right - rect->left;
        seen.height = rect->bottom - rect->top;
        if (seen.width <= 0 || seen.height <= 0 || rect->left < 0 || rect->top < 0 ||
            static_cast<uint32_t>(rect->right) > surface->width ||
            static_cast<uint32_t>(rect->bottom) > surface->height)
            return;
        seen.bgr.resize(size_t{static_cast<uint32_t>(seen.width)} * seen.height * 3);
        for (int32_t y = 0; y < seen.height; ++y) {
            const uint8_t* row = surface->pixels + size_t{surface->stride} * (rect->top + y);
            for (int32_t x = 0; x < seen.width; ++x) {
                for (int c = 0; c < 3; ++c)
                    seen.bgr[(size_t{static_cast<uint32_t>(y)} * seen.width + x) * 3 + c] =
                        row[(rect->left + x) * 4 + c];
            }
        }
        std::lock_guard<std::mutex> guard(self->lock);
        ++self->calls;
        self->drawMode = drawMode;
        self->image = *image;
        self->rect = *rect;
        self->pixels = std::move(seen);
        self->changed.notify_all();
    }

    // Waits for a drawing that shows `want` (to within one level on average).
    bool WaitFor(const Rgb& want) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(kRetryMs), [&] {
            if (pixels.width != want.width || pixels.height != want.height)
                return false;
            double sum = 0.0;
            for (size_t i = 0; i < want.bgr.size(); ++i)
                sum += std::abs(static_cast<int>(pixels.bgr[i]) - want.bgr[i]);
            return sum / static_cast<double>(want.bgr.size()) <= 1.0;
        });
    }
};

// In a window on the test X server, the software display draws the de-warped view, and follows
// a PTZ change and a region resize while it plays; odd sizes throughout.
TEST_F(DewarpSoft, TheWindowShowsTheDewarpedViewAndFollowsChanges) {
    if (gltest::TestDisplay().empty())
        GTEST_SKIP() << "QUORIX_TEST_DISPLAY not set";
    setenv("DISPLAY", gltest::TestDisplay().c_str(), 1);
    Reinitialise(true);
    gltest::HostWindow window(331, 251);
    ASSERT_TRUE(window.ok()) << window.why();
    const auto records = SmoothRecords(3);
    ASSERT_FALSE(records.empty()) << "libx264 missing";
    WindowProbe probe;
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    QUORIX_RECT rect{3, 5, 3 + 317, 5 + 237};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(port, 0, &rect, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(port, 0, &WindowProbe::Callback, &probe));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, QUORIX_MODEL_FISHEYE, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(port, 0, QUORIX_DISPLAY_PLANE360));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(port, window.window(), nullptr, 0));
    ASSERT_TRUE(viewtest::Feed(port, records));

    Rgb want;
    ASSERT_TRUE(Capture(port, 0, m_dir.Path("first.bmp"), &want));
    EXPECT_EQ(317, want.width);
    EXPECT_EQ(237, want.height);
    EXPECT_TRUE(probe.WaitFor(want)) << "the window shows the de-warped view";
    {
        std::lock_guard<std::mutex> guard(probe.lock);
        EXPECT_EQ(0, probe.drawMode);
        EXPECT_EQ(rect.left, probe.rect.left);
        EXPECT_EQ(rect.top, probe.rect.top);
        EXPECT_EQ(rect.right, probe.rect.right);
        EXPECT_EQ(rect.bottom, probe.rect.bottom);
        EXPECT_GE(probe.image.left, probe.rect.left);
        EXPECT_LE(probe.image.right, probe.rect.right);
    }

    ASSERT_EQ(QUORIX_OK, QUORIX_SetPTZPosition(port, 0, 0.3f, 0.1f, 1.5f));
    Rgb turned;
    ASSERT_TRUE(Capture(port, 0, m_dir.Path("turned.bmp"), &turned));
    EXPECT_LT(Compare(turned, want).psnr, 30.0) << "the PTZ change shows another part";
    EXPECT_TRUE(probe.WaitFor(turned)) << "the window follows the PTZ change";

    rect = {10, 20, 10 + 201, 20 + 151};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(port, 0, &rect, 1));
    Rgb resized;
    ASSERT_TRUE(Capture(port, 0, m_dir.Path("resized.bmp"), &resized));
    EXPECT_EQ(201, resized.width);
    EXPECT_EQ(151, resized.height);
    EXPECT_TRUE(probe.WaitFor(resized)) << "the window follows the region's new size";

    // The square lens picture shown flat in a wide region leaves bars left and right: the
    // picture's rectangle leaves them out, as the OpenGL renderer's does. The bars are the
    // columns holding only the background (the colour of the top left corner).
    rect = {7, 9, 7 + 301, 9 + 173};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(port, 0, &rect, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(port, 0, QUORIX_DISPLAY_PLANE));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetPTZPosition(port, 0, 0.0f, 0.0f, 1.0f));
    Rgb flat;
    ASSERT_TRUE(Capture(port, 0, m_dir.Path("flat.bmp"), &flat));
    ASSERT_TRUE(probe.WaitFor(flat));
    int32_t firstColumn = -1, lastColumn = -1;
    for (int32_t x = 0; x < flat.width; ++x) {
        bool shown = false;
        for (int32_t y = 0; y < flat.height && !shown; ++y) {
            const uint8_t* p =
                flat.bgr.data() +
                (size_t{static_cast<uint32_t>(y)} * flat.width + static_cast<uint32_t>(x)) * 3;
            for (int c = 0; c < 3; ++c)
                shown = shown || std::abs(int{p[c]} - int{flat.bgr[static_cast<size_t>(c)]}) > 8;
        }
        if (shown) {
            firstColumn = firstColumn < 0 ? x : firstColumn;
            lastColumn = x;
        }
    }
    ASSERT_GT(firstColumn, 0) << "no bar left of the picture";
    ASSERT_LT(lastColumn, flat.width - 1) << "no bar right of the picture";
    {
        std::lock_guard<std::mutex> guard(probe.lock);
        EXPECT_EQ(rect.left, probe.rect.left);
        EXPECT_EQ(rect.right, probe.rect.right);
        EXPECT_EQ(rect.top, probe.image.top);
        EXPECT_EQ(rect.bottom, probe.image.bottom);
        EXPECT_NEAR(rect.left + firstColumn, probe.image.left, 1);
        EXPECT_NEAR(rect.left + lastColumn + 1, probe.image.right, 1);
    }

    ASSERT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(port, 0, nullptr, nullptr));
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
    unsetenv("DISPLAY");
}

// The continuous capture of a de-warped region carries that region's view, in the host's format
// and alignment, as the one-shot capture of the same view does; a capture rectangle keeps its
// part of it.
TEST_F(DewarpSoft, ContinuousCapturesCarryTheDewarpedView) {
    const auto records = SmoothRecords(3);
    ASSERT_FALSE(records.empty()) << "libx264 missing";
    SnapCollector snaps;  // outlives the port that calls it
    LivePort live(QUORIX_MODEL_VR360, 161, 121);
    ASSERT_TRUE(live.Ok()) << live.Error();
    const uint16_t port = live.Port();
    ASSERT_EQ(QUORIX_OK, QUORIX_SetPTZPosition(port, 0, 0.2f, 0.1f, 1.5f));
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_SetSnapCallback(port, 0, &SnapCollector::Callback, &snaps,
                                                     QUORIX_PIXEL_RGB555, 4));
    EXPECT_EQ(QUORIX_E_PARAM,
              QUORIX_SetSnapCallback(port, 0, &SnapCollector::Callback, &snaps, 3, 3));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetSnapCallback(port, 0, &SnapCollector::Callback, &snaps,
                                                QUORIX_PIXEL_BGR24, 1));
    ASSERT_EQ(QUORIX_OK, live.Push(records));
    Rgb want;
    ASSERT_TRUE(Capture(port, 0, m_dir.Path("view.bmp"), &want));
    ASSERT_TRUE(snaps.WaitFor([](const SnapCollector::Shot& s, int) { return s.width != 0; }));
    SnapCollector::Shot shot = snaps.Last();
    EXPECT_EQ(QUORIX_PIXEL_BGR24, shot.format);
    ASSERT_EQ(static_cast<uint32_t>(want.width), shot.width);
    ASSERT_EQ(static_cast<uint32_t>(want.height), shot.height);
    EXPECT_EQ(shot.width * 3, shot.stride);
    // Both bottom row first.
    Rgb seen;
    seen.width = want.width;
    seen.height = want.height;
    for (int32_t y = 0; y < want.height; ++y) {
        const uint8_t* row = shot.data.data() + size_t{shot.stride} * (want.height - 1 - y);
        seen.bgr.insert(seen.bgr.end(), row, row + want.width * 3);
    }
    EXPECT_GE(Compare(seen, want).psnr, 50.0);

    ASSERT_EQ(QUORIX_OK, QUORIX_SetSnapRect(port, 0, 0.5f, 0.0f, 0.5f, 0.25f));
    ASSERT_TRUE(snaps.WaitFor([](const SnapCollector::Shot& s, int) { return s.width == 80; }));
    shot = snaps.Last();
    EXPECT_EQ(30u, shot.height);
    // The rectangle's first row and column are the view's row 0, column 80.
    const uint8_t* first = shot.data.data() + size_t{shot.stride} * (shot.height - 1);
    const uint8_t* inView = want.bgr.data() + size_t{80} * 3;
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(inView[c], first[c], 2);

    // A band lower down of a turned view: each of its rows is the view's row at that height.
    ASSERT_EQ(QUORIX_OK, QUORIX_SetPTZPosition(port, 0, -0.3f, 0.15f, 1.2f));
    ASSERT_TRUE(Capture(port, 0, m_dir.Path("turned.bmp"), &want));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetSnapRect(port, 0, 0.0f, 0.5f, 1.0f, 0.25f));
    ASSERT_TRUE(snaps.WaitFor(
        [](const SnapCollector::Shot& s, int) { return s.width == 161 && s.height == 30; }));
    shot = snaps.Last();
    const uint32_t top = static_cast<uint32_t>(want.height) / 2;
    int worst = 0;
    for (uint32_t y = 0; y < shot.height; ++y) {
        const uint8_t* row = shot.data.data() + size_t{shot.stride} * (shot.height - 1 - y);
        const uint8_t* view = want.bgr.data() + size_t{top + y} * want.width * 3;
        for (uint32_t i = 0; i < shot.width * 3; ++i)
            worst = std::max(worst, std::abs(int{row[i]} - int{view[i]}));
    }
    EXPECT_LE(worst, 2) << "the band holds other rows of the view";
    ASSERT_EQ(QUORIX_OK, QUORIX_SetSnapCallback(port, 0, nullptr, nullptr, 0, 4));
}

}  // namespace
