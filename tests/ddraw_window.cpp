// The software display on a real X window (Xvfb): regions, background, fit, e-PTZ and overlays
// as they arrive on screen, on the FourCC and on the RGB surface path; windows that go away or
// change size. Each check waits for the display thread's passes or its frame-drawn hook, never
// for time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/hlog.h"
#include "base/hpixel.h"
#include "ddraw/display.h"

namespace {

struct Bgr {
    uint8_t b, g, r;
};

Bgr Convert(uint8_t y, uint8_t u, uint8_t v) {
    uint8_t yp[4] = {y, y, y, y};
    uint8_t up[1] = {u}, vp[1] = {v};
    uint8_t dst[16] = {};
    BRIXEL::CHYUV420pConvert::ToRGB(BRIXEL::HPIXEL_BGRX32, yp, up, vp, 2, 1, 2, 2, dst, 16, 8);
    return {dst[0], dst[1], dst[2]};
}

bool Near(const Bgr& a, const Bgr& b) {
    return std::abs(a.b - b.b) <= 2 && std::abs(a.g - b.g) <= 2 && std::abs(a.r - b.r) <= 2;
}

std::string Str(const Bgr& c) {
    return "bgr(" + std::to_string(c.b) + "," + std::to_string(c.g) + "," + std::to_string(c.r) +
           ")";
}

// Planar 4:2:0 picture: left half (y0, u0, v0), right half (y1, u1, v1).
std::vector<uint8_t> TwoHalves(uint32_t w, uint32_t h, const uint8_t left[3],
                               const uint8_t right[3]) {
    std::vector<uint8_t> p(static_cast<size_t>(w) * h * 3 / 2);
    uint8_t* u = p.data() + static_cast<size_t>(w) * h;
    uint8_t* v = u + static_cast<size_t>(w) * h / 4;
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x)
            p[y * w + x] = x < w / 2 ? left[0] : right[0];
    }
    for (uint32_t y = 0; y < h / 2; ++y) {
        for (uint32_t x = 0; x < w / 2; ++x) {
            u[y * (w / 2) + x] = x < w / 4 ? left[1] : right[1];
            v[y * (w / 2) + x] = x < w / 4 ? left[2] : right[2];
        }
    }
    return p;
}

struct Drawn {
    HDD::CDisplay* display = nullptr;
    std::mutex mutex;
    std::condition_variable cv;
    uint32_t ok = 0, failed = 0;
    uint32_t last = QUORIX_E_STATE;
    static void Hook(uint32_t result, void* user) {
        auto* self = static_cast<Drawn*>(user);
        std::lock_guard<std::mutex> g(self->mutex);
        (result == QUORIX_OK ? self->ok : self->failed)++;
        self->last = result;
        self->cv.notify_all();
    }
    // Everything set before the call is on screen: a whole pass of the display thread began
    // after it (and drew what changed), and the last drawing succeeded.
    bool WaitOk() {
        if (!display->WaitLoopPasses(2, 20000))
            return false;
        std::lock_guard<std::mutex> g(mutex);
        return ok > 0 && last == QUORIX_OK;
    }
    bool WaitFailed() {
        std::unique_lock<std::mutex> g(mutex);
        const uint32_t target = failed + 1;
        return cv.wait_for(g, std::chrono::seconds(20), [&] { return failed >= target; });
    }
    uint32_t Drawings() {
        std::lock_guard<std::mutex> g(mutex);
        return ok + failed;
    }
};

struct Overlay {
    std::mutex mutex;
    QUORIX_SURFACE surface{};
    int32_t image[4] = {};
    int32_t region[4] = {};
    uint32_t calls = 0;
    static void Draw(QUORIX_HDC dc, uint32_t, int32_t ix, int32_t iy, int32_t iw, int32_t ih,
                     int32_t rx, int32_t ry, int32_t rw, int32_t rh, void* user) {
        auto* self = static_cast<Overlay*>(user);
        auto* s = static_cast<QUORIX_SURFACE*>(dc);
        // A white 10 x 10 mark at the picture's top-left corner.
        for (int32_t y = iy; y < iy + 10 && y < static_cast<int32_t>(s->height); ++y) {
            std::memset(
                s->pixels + static_cast<size_t>(y) * s->stride + static_cast<size_t>(ix) * 4, 0xFF,
                40);
        }
        std::lock_guard<std::mutex> g(self->mutex);
        self->surface = *s;
        const int32_t img[4] = {ix, iy, iw, ih}, reg[4] = {rx, ry, rw, rh};
        std::memcpy(self->image, img, sizeof(img));
        std::memcpy(self->region, reg, sizeof(reg));
        ++self->calls;
    }
};

// The surface paths: FourCC back surfaces or RGB ones, shown through MIT-SHM or PutImage.
struct Path {
    const char* name;
    bool noFourCC;
    bool noShm;
    const char* fourCCs;   // the FourCC surfaces the device offers; null: all
    uint32_t videoFormat;  // of the back surface the display ends up with
};

void SetFlag(const char* name, bool on) {
    if (on) {
        setenv(name, "1", 1);
    } else {
        unsetenv(name);
    }
}

class DDrawWindow : public ::testing::TestWithParam<Path> {
protected:
    void SetUp() override {
        const char* display = std::getenv("QUORIX_TEST_DISPLAY");
        if (display == nullptr || display[0] == '\0')
            GTEST_SKIP() << "QUORIX_TEST_DISPLAY is not set";
        setenv("DISPLAY", display, 1);
        SetFlag(QXPLAT::kDDrawNoFourCCEnv, GetParam().noFourCC);
        SetFlag(QXPLAT::kDDrawNoShmEnv, GetParam().noShm);
        if (GetParam().fourCCs != nullptr) {
            setenv(QXPLAT::kDDrawFourCCsEnv, GetParam().fourCCs, 1);
        } else {
            unsetenv(QXPLAT::kDDrawFourCCsEnv);
        }
        char logPath[] = "/tmp/quorix-ddraw-log-XXXXXX";
        m_logFd = mkstemp(logPath);
        ASSERT_GE(m_logFd, 0);
        m_logPath = logPath;
        BRIXEL::CHLog::Instance().SetDebugFd(m_logFd);
        BRIXEL::CHLog::Instance().Configure(1, 0, nullptr, nullptr);
        // The test's own connection to the shared test server: a refused connect (the server
        // busy with the clients of parallel tests) is tried again, and the error kept if it stays.
        int screenNumber = 0;
        int connectError = 0;
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (m_c != nullptr)
                xcb_disconnect(m_c);
            m_c = xcb_connect(display, &screenNumber);
            connectError = xcb_connection_has_error(m_c);
            if (connectError == 0)
                break;
            usleep(50 * 1000);
        }
        ASSERT_EQ(0, connectError) << "xcb_connect error " << connectError;
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_c));
        for (int i = 0; i < screenNumber; ++i)
            xcb_screen_next(&it);
        m_screen = it.data;
        m_window = MakeWindow(640, 480);
        ASSERT_EQ(HDD::EnumMonitors(), QUORIX_OK);
        ASSERT_EQ(HDD::CreateDisplay(&m_display), QUORIX_OK);
        m_drawn.display = m_display;
        HDD::SetFrameDrawnCallback(m_display, &Drawn::Hook, &m_drawn);
    }

    void TearDown() override {
        if (m_display != nullptr) {
            EXPECT_EQ(HDD::DestroyDisplay(m_display), QUORIX_OK);
        }
        if (m_c != nullptr) {
            for (uint32_t w : m_windows)
                xcb_destroy_window(m_c, w);
            xcb_flush(m_c);
            xcb_disconnect(m_c);
        }
        unsetenv(QXPLAT::kDDrawNoFourCCEnv);
        unsetenv(QXPLAT::kDDrawNoShmEnv);
        unsetenv(QXPLAT::kDDrawFourCCsEnv);
        if (m_logFd >= 0) {
            BRIXEL::CHLog::Instance().SetOutput(0);
            BRIXEL::CHLog::Instance().SetDebugFd(2);
            close(m_logFd);
            unlink(m_logPath.c_str());
        }
    }

    std::string LogText() const {
        std::string text;
        const int fd = open(m_logPath.c_str(), O_RDONLY);
        char buf[4096];
        ssize_t n = 0;
        while (fd >= 0 && (n = read(fd, buf, sizeof(buf))) > 0)
            text.append(buf, static_cast<size_t>(n));
        if (fd >= 0)
            close(fd);
        return text;
    }

    uint32_t MakeWindow(uint16_t w, uint16_t h) {
        const uint32_t window = xcb_generate_id(m_c);
        // Other test processes draw windows on the same server: a backing store keeps what is
        // under them readable.
        const uint32_t values[] = {m_screen->black_pixel, XCB_BACKING_STORE_ALWAYS,
                                   XCB_EVENT_MASK_STRUCTURE_NOTIFY};
        xcb_create_window(m_c, XCB_COPY_FROM_PARENT, window, m_screen->root, 40, 30, w, h, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, m_screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_BACKING_STORE | XCB_CW_EVENT_MASK, values);
        xcb_map_window(m_c, window);
        xcb_flush(m_c);
        while (xcb_generic_event_t* e = xcb_wait_for_event(m_c)) {
            const bool mapped = (e->response_type & 0x7F) == XCB_MAP_NOTIFY;
            std::free(e);
            if (mapped)
                break;
        }
        m_windows.push_back(window);
        return window;
    }

    // Returns once the server has carried out every request sent so far.
    void Sync() { std::free(xcb_get_input_focus_reply(m_c, xcb_get_input_focus(m_c), nullptr)); }

    Bgr Pixel(uint32_t window, int16_t x, int16_t y) {
        xcb_get_image_reply_t* reply = xcb_get_image_reply(
            m_c, xcb_get_image(m_c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, x, y, 1, 1, ~0u), nullptr);
        Bgr c{1, 2, 3};
        if (reply != nullptr) {
            const uint8_t* d = xcb_get_image_data(reply);
            c = {d[0], d[1], d[2]};
            std::free(reply);
        }
        return c;
    }

    void Show(const std::vector<uint8_t>& picture, uint32_t w, uint32_t h) {
        const uint8_t* planes[3] = {picture.data(), picture.data() + w * h,
                                    picture.data() + w * h * 5 / 4};
        const uint32_t strides[3] = {w, w / 2, w / 2};
        ASSERT_EQ(HDD::InputPicture(m_display, w, h, 20, planes, strides), QUORIX_OK);
    }

    uint32_t ExpectedVideoFormat() const { return GetParam().videoFormat; }

    xcb_connection_t* m_c = nullptr;
    xcb_screen_t* m_screen = nullptr;
    uint32_t m_window = 0;
    std::vector<uint32_t> m_windows;
    HDD::CDisplay* m_display = nullptr;
    Drawn m_drawn;
    Overlay m_overlay;
    int m_logFd = -1;
    std::string m_logPath;
};

TEST_P(DDrawWindow, RegionsShowPictureBackgroundAndOverlay) {
    const uint8_t red[3] = {81, 90, 240};
    const Bgr picture = Convert(81, 90, 240);
    // Region 0 fits the 4:3 picture into a tall rectangle: blue bands above and below.
    HDD::SetRegion(m_display, 0, 0, 0, 320, 480, 1);
    HDD::SetRegionColor(m_display, 0, 0x00FF0000);  // host order 0x00BBGGRR: blue
    // Region 1 stretches it and carries an overlay; region 2 is disabled.
    HDD::SetRegion(m_display, 1, 320, 0, 320, 240, 1);
    HDD::SetRegionFitMode(m_display, 1, 0);
    HDD::SetRegionColor(m_display, 1, 0x0000FF00);
    Overlay& overlay = m_overlay;
    HDD::SetRegionDrawCallback(m_display, 1, &Overlay::Draw, &overlay);
    HDD::SetRegion(m_display, 2, 320, 240, 320, 240, 0);
    HDD::SetRegionColor(m_display, 2, 0x000000FF);
    ASSERT_EQ(HDD::SetWindow(m_display, m_window), QUORIX_OK);
    Show(TwoHalves(160, 120, red, red), 160, 120);
    ASSERT_TRUE(m_drawn.WaitOk());
    EXPECT_EQ(m_display->GetScreenVideoFormat(0), ExpectedVideoFormat());
    const std::string log = LogText();
    EXPECT_NE(log.find("hdxdraw:<display HDD::CDisplay::InitDDraw"), std::string::npos) << log;
    EXPECT_NE(log.find("screen[0] VideoFormat is " + std::to_string(ExpectedVideoFormat())),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("InitDDraw success"), std::string::npos);
    // The RGB path is reached only after every FourCC format was refused, in this order.
    const size_t yv12 = log.find("mode[1] Back CreateSurface fail,errcode=0x");
    const size_t uyvy = log.find("mode[3] Back CreateSurface fail,errcode=0x");
    if (GetParam().noFourCC) {
        ASSERT_NE(yv12, std::string::npos) << log;
        ASSERT_NE(uyvy, std::string::npos) << log;
        EXPECT_LT(yv12, log.find("mode[2] Back"));
        EXPECT_LT(log.find("mode[4] Back"), log.find("mode[5] Back"));
        EXPECT_LT(log.find("mode[5] Back"), uyvy);
    } else {
        EXPECT_EQ(yv12, std::string::npos);
    }

    const Bgr blue{255, 0, 0}, black{0, 0, 0}, white{255, 255, 255};
    struct {
        int16_t x, y;
        Bgr expected;
    } probes[] = {{160, 60, blue},     {160, 119, blue}, {160, 121, picture}, {160, 240, picture},
                  {160, 358, picture}, {160, 400, blue}, {480, 120, picture}, {630, 230, picture},
                  {325, 5, white},     {480, 360, black}};
    for (const auto& p : probes) {
        const Bgr got = Pixel(m_window, p.x, p.y);
        EXPECT_TRUE(Near(got, p.expected))
            << "at " << p.x << "," << p.y << ": " << Str(got) << " instead of " << Str(p.expected);
    }
    std::lock_guard<std::mutex> g(overlay.mutex);
    EXPECT_GT(overlay.calls, 0u);
    EXPECT_EQ(overlay.surface.width, 640u);
    EXPECT_EQ(overlay.surface.height, 480u);
    EXPECT_EQ(overlay.surface.stride, 2560u);
    EXPECT_EQ(overlay.surface.format, QUORIX_PIXEL_BGR32);
    const int32_t rect[4] = {320, 0, 320, 240};
    EXPECT_EQ(0, std::memcmp(overlay.image, rect, sizeof(rect)));
    EXPECT_EQ(0, std::memcmp(overlay.region, rect, sizeof(rect)));
}

TEST_P(DDrawWindow, PanAndZoomChooseThePartShown) {
    const uint8_t dark[3] = {60, 128, 128}, bright[3] = {200, 128, 128};
    const Bgr left = Convert(60, 128, 128), right = Convert(200, 128, 128);
    HDD::SetRegion(m_display, 0, 0, 0, 640, 480, 1);
    ASSERT_EQ(HDD::SetWindow(m_display, m_window), QUORIX_OK);
    Show(TwoHalves(160, 120, dark, bright), 160, 120);
    ASSERT_TRUE(m_drawn.WaitOk());
    EXPECT_TRUE(Near(Pixel(m_window, 20, 240), left));
    EXPECT_TRUE(Near(Pixel(m_window, 620, 240), right));

    struct {
        float pan;
        Bgr atLeft, atRight;
    } steps[] = {{1.0f, left, left}, {-1.0f, right, right}, {0.0f, left, right}};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.pan);
        ASSERT_EQ(HDD::SetRegionPtz(m_display, 0, s.pan, 0, 2.0f), QUORIX_OK);
        ASSERT_TRUE(m_drawn.WaitOk());
        EXPECT_TRUE(Near(Pixel(m_window, 20, 240), s.atLeft)) << Str(Pixel(m_window, 20, 240));
        EXPECT_TRUE(Near(Pixel(m_window, 620, 240), s.atRight)) << Str(Pixel(m_window, 620, 240));
    }
}

TEST_P(DDrawWindow, FollowsResizeSurvivesDestroyedWindowAndTakesANewOne) {
    const uint8_t green[3] = {145, 54, 34};
    const Bgr picture = Convert(145, 54, 34);
    HDD::SetRegion(m_display, 0, 0, 0, 320, 240, 1);
    HDD::SetRegionFitMode(m_display, 0, 0);
    ASSERT_EQ(HDD::SetWindow(m_display, m_window), QUORIX_OK);
    Show(TwoHalves(64, 48, green, green), 64, 48);
    ASSERT_TRUE(m_drawn.WaitOk());
    EXPECT_TRUE(Near(Pixel(m_window, 300, 220), picture));

    // The cache follows the client size.
    const uint32_t size[] = {320, 240};
    xcb_configure_window(m_c, m_window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
    Sync();
    HDD::SetRegion(m_display, 0, 160, 120, 160, 120, 1);
    ASSERT_TRUE(m_drawn.WaitOk());
    EXPECT_TRUE(Near(Pixel(m_window, 310, 230), picture));
    EXPECT_TRUE(Near(Pixel(m_window, 10, 10), (Bgr{0, 0, 0})));

    // The host destroys the window under the display: the drawing fails, nothing else happens.
    xcb_destroy_window(m_c, m_window);
    Sync();
    m_windows.clear();
    ASSERT_TRUE(m_drawn.WaitFailed());
    ASSERT_TRUE(m_display->WaitLoopPasses(3, 20000));

    // A second window is ignored while one is set; after clearing it the new one is used.
    const uint32_t second = MakeWindow(320, 240);
    const uint32_t before = m_drawn.Drawings();
    EXPECT_EQ(HDD::SetWindow(m_display, second), QUORIX_OK);
    ASSERT_TRUE(m_display->WaitLoopPasses(3, 20000));
    EXPECT_EQ(m_drawn.Drawings(), before) << "the gone window was drawn again";
    EXPECT_TRUE(Near(Pixel(second, 200, 200), (Bgr{0, 0, 0})));
    EXPECT_EQ(HDD::SetWindow(m_display, 0), QUORIX_OK);
    EXPECT_EQ(HDD::SetWindow(m_display, second), QUORIX_OK);
    ASSERT_TRUE(m_drawn.WaitOk());
    EXPECT_TRUE(Near(Pixel(second, 200, 200), picture));
}

// An idle display draws nothing: each change of what is shown (picture, region, e-PTZ, colour,
// fit, overlay callback, window size) is drawn exactly once, and a window that lost its picture
// gets it back. Passes of the display thread are counted, not time.
TEST_P(DDrawWindow, IdleDisplayDrawsOnlyOnChange) {
    constexpr uint64_t kQuietPasses = 8;
    const uint8_t dark[3] = {60, 128, 128}, bright[3] = {200, 128, 128};
    const Bgr left = Convert(60, 128, 128);
    HDD::SetRegion(m_display, 0, 0, 0, 320, 240, 1);
    HDD::SetRegionFitMode(m_display, 0, 0);
    HDD::SetRegionDrawCallback(m_display, 0, &Overlay::Draw, &m_overlay);
    ASSERT_EQ(HDD::SetWindow(m_display, m_window), QUORIX_OK);
    const std::vector<uint8_t> first = TwoHalves(160, 120, dark, bright);
    Show(first, 160, 120);
    ASSERT_TRUE(m_drawn.WaitOk());
    auto overlays = [&] {
        std::lock_guard<std::mutex> g(m_overlay.mutex);
        return m_overlay.calls;
    };

    const uint32_t idle = m_drawn.Drawings(), idleOverlays = overlays();
    ASSERT_TRUE(m_display->WaitLoopPasses(kQuietPasses, 20000));
    EXPECT_EQ(m_drawn.Drawings(), idle) << "an unchanged picture was drawn again";
    EXPECT_EQ(overlays(), idleOverlays);

    auto expectOneDrawingFor = [&](const char* what, auto&& change) {
        SCOPED_TRACE(what);
        const uint32_t before = m_drawn.Drawings(), beforeOverlays = overlays();
        change();
        ASSERT_TRUE(m_display->WaitLoopPasses(kQuietPasses, 20000));
        EXPECT_EQ(m_drawn.Drawings(), before + 1);
        EXPECT_EQ(overlays(), beforeOverlays + 1) << "the overlay sees every drawing";
    };
    expectOneDrawingFor("new picture", [&] { Show(TwoHalves(160, 120, bright, dark), 160, 120); });
    expectOneDrawingFor("e-PTZ", [&] { HDD::SetRegionPtz(m_display, 0, 0.5f, 0.0f, 2.0f); });
    expectOneDrawingFor("region", [&] { HDD::SetRegion(m_display, 0, 10, 10, 300, 200, 1); });
    expectOneDrawingFor("colour", [&] { HDD::SetRegionColor(m_display, 0, 0x00FF00); });
    expectOneDrawingFor("fit", [&] { HDD::SetRegionFitMode(m_display, 0, HDD::FIT_INSIDE); });
    expectOneDrawingFor(
        "overlay", [&] { HDD::SetRegionDrawCallback(m_display, 0, &Overlay::Draw, &m_overlay); });
    expectOneDrawingFor("window size", [&] {
        const uint32_t size[] = {600, 460};
        xcb_configure_window(m_c, m_window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                             size);
        Sync();
    });

    // The host clears the window (as an uncovering does): the picture comes back.
    Show(first, 160, 120);
    HDD::SetRegionPtz(m_display, 0, 0.0f, 0.0f, 1.0f);
    HDD::SetRegionFitMode(m_display, 0, 0);
    ASSERT_TRUE(m_drawn.WaitOk());
    ASSERT_TRUE(Near(Pixel(m_window, 40, 100), left));
    expectOneDrawingFor("exposure", [&] {
        xcb_clear_area(m_c, 1, m_window, 0, 0, 0, 0);
        Sync();
    });
    EXPECT_TRUE(Near(Pixel(m_window, 40, 100), left)) << Str(Pixel(m_window, 40, 100));
}

INSTANTIATE_TEST_SUITE_P(Surfaces, DDrawWindow,
                         ::testing::Values(Path{"FourCC", false, false, nullptr, 1},
                                           Path{"RGB", true, false, nullptr, 6},
                                           Path{"FourCCPutImage", false, true, nullptr, 1}),
                         [](const ::testing::TestParamInfo<Path>& info) {
                             return std::string(info.param.name);
                         });

// Every YUV layout of a back surface (and RGB) shows the same colours: the display converts
// into the layout the surface really has.
class DDrawBackFormat : public DDrawWindow {};

TEST_P(DDrawBackFormat, ShowsThePictureInItsColours) {
    const uint8_t a[3] = {70, 200, 60}, b[3] = {180, 40, 170};
    HDD::SetRegion(m_display, 0, 0, 0, 640, 480, 1);
    ASSERT_EQ(HDD::SetWindow(m_display, m_window), QUORIX_OK);
    Show(TwoHalves(320, 240, a, b), 320, 240);
    ASSERT_TRUE(m_drawn.WaitOk());
    EXPECT_EQ(m_display->GetScreenVideoFormat(0), ExpectedVideoFormat());
    const Bgr left = Pixel(m_window, 100, 200), right = Pixel(m_window, 540, 200);
    EXPECT_TRUE(Near(left, Convert(70, 200, 60))) << Str(left);
    EXPECT_TRUE(Near(right, Convert(180, 40, 170))) << Str(right);
}

INSTANTIATE_TEST_SUITE_P(Layouts, DDrawBackFormat,
                         ::testing::Values(Path{"YV12", false, false, "YV12", 1},
                                           Path{"I420", false, false, "I420", 2},
                                           Path{"UYVY", false, false, "UYVY", 3},
                                           Path{"YUY2", false, false, "YUY2,UYVY", 4},
                                           Path{"YUYV", false, false, "YUYV", 5},
                                           Path{"RGB32", true, false, nullptr, 6}),
                         [](const ::testing::TestParamInfo<Path>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
