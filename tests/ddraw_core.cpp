// The software display without a window: e-PTZ arithmetic, entry point checks, picture input
// and hand-back of borrowed memory, snapshots, and the monitor list.
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "base/hpixel.h"
#include "ddraw/display.h"
#include "ddraw/monitor.h"

namespace {

using QXPLAT::DDRECT;

bool SameRect(const DDRECT& a, const DDRECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::string Str(const DDRECT& r) {
    return "(" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
           std::to_string(r.right) + "," + std::to_string(r.bottom) + ")";
}

struct EPtzCase {
    const char* name;
    uint32_t w, h;
    DDRECT region;
    uint32_t mode;
    float pan, tilt, zoom;
    DDRECT dest, source;
    float panAfter, tiltAfter;
};

TEST(DDrawEPtz, RectanglesFollowFitModeZoomPanAndTilt) {
    const DDRECT r800{0, 0, 800, 600};
    const EPtzCase cases[] = {
        {"fit inside", 1920, 1080, r800, 1, 0, 0, 1, {0, 75, 800, 525}, {0, 0, 1920, 1080}, 0, 0},
        {"fill width", 1920, 1080, r800, 2, 0, 0, 1, {0, 75, 800, 525}, {0, 0, 1920, 1080}, 0, 0},
        {"fill height", 1920, 1080, r800, 3, 0, 0, 1, {0, 0, 800, 600}, {240, 0, 1680, 1080}, 0, 0},
        {"stretch 0", 1920, 1080, r800, 0, 0, 0, 1, r800, {0, 0, 1920, 1080}, 0, 0},
        {"stretch 7", 1920, 1080, r800, 7, 0, 0, 1, r800, {0, 0, 1920, 1080}, 0, 0},
        {"zoom 2", 1920, 1080, r800, 1, 0, 0, 2, {0, 0, 800, 600}, {480, 180, 1440, 900}, 0, 0},
        {"zoom 2 pan 1", 1920, 1080, r800, 1, 1, 0, 2, {0, 0, 800, 600}, {0, 180, 960, 900}, 1, 0},
        {"zoom 2 pan -1",
         1920,
         1080,
         r800,
         1,
         -1,
         0,
         2,
         {0, 0, 800, 600},
         {960, 180, 1920, 900},
         -1,
         0},
        {"zoom 2 tilt 1",
         1920,
         1080,
         r800,
         1,
         0,
         1,
         2,
         {0, 0, 800, 600},
         {480, 360, 1440, 1080},
         0,
         1},
        // Nothing is cropped: pan and tilt are forgotten.
        {"uncropped resets",
         1920,
         1080,
         r800,
         1,
         0.5f,
         -0.5f,
         1,
         {0, 75, 800, 525},
         {0, 0, 1920, 1080},
         0,
         0},
        // Filling the height crops a wider picture at zoom 1, so pan moves it (tilt cannot).
        {"fill height pan",
         1920,
         1080,
         r800,
         3,
         1,
         1,
         1,
         {0, 0, 800, 600},
         {0, 0, 1440, 1080},
         1,
         0},
        {"portrait inside",
         1080,
         1920,
         r800,
         1,
         0,
         0,
         1,
         {231, 0, 568, 600},
         {0, 0, 1080, 1920},
         0,
         0},
        {"stretch zoom 2", 1920, 1080, r800, 0, 0, 0, 2, r800, {480, 270, 1440, 810}, 0, 0},
        {"offset region",
         1920,
         1080,
         {100, 50, 900, 650},
         1,
         0,
         0,
         1,
         {100, 125, 900, 575},
         {0, 0, 1920, 1080},
         0,
         0},
    };
    for (const EPtzCase& c : cases) {
        SCOPED_TRACE(c.name);
        HDD::CPtz ptz;
        ptz.pan = c.pan;
        ptz.tilt = c.tilt;
        ptz.zoom = c.zoom;
        DDRECT d{}, s{};
        ASSERT_EQ(HDD::ComputeRegionRects(c.region, c.mode, &ptz, c.w, c.h, &d, &s), QUORIX_OK);
        EXPECT_TRUE(SameRect(d, c.dest)) << Str(d);
        EXPECT_TRUE(SameRect(s, c.source)) << Str(s);
        EXPECT_EQ(ptz.pan, c.panAfter);
        EXPECT_EQ(ptz.tilt, c.tiltAfter);
    }
}

TEST(DDrawEPtz, BadRegionsPicturesAndZoomsStayInside) {
    HDD::CPtz ptz;
    DDRECT d{}, s{};
    EXPECT_EQ(HDD::ComputeRegionRects({0, 0, 0, 600}, 1, &ptz, 1920, 1080, &d, &s), QUORIX_E_PARAM);
    EXPECT_EQ(HDD::ComputeRegionRects({10, 10, 5, 20}, 1, &ptz, 1920, 1080, &d, &s),
              QUORIX_E_PARAM);
    EXPECT_EQ(HDD::ComputeRegionRects({0, 0, 800, 600}, 1, &ptz, 0, 1080, &d, &s), QUORIX_E_PARAM);
    // A picture far wider than a one-row region leaves no destination.
    EXPECT_EQ(HDD::ComputeRegionRects({0, 0, 10, 1}, 1, &ptz, 16000, 10, &d, &s),
              QUORIX_E_NOT_SUPPORTED);
    for (float zoom : {1e6f, 1e30f, INFINITY}) {
        SCOPED_TRACE(zoom);
        for (uint32_t mode : {0u, 1u, 3u}) {
            ptz.zoom = zoom;
            ptz.pan = 1;
            ptz.tilt = -1;
            ASSERT_EQ(HDD::ComputeRegionRects({0, 0, 800, 600}, mode, &ptz, 1920, 1080, &d, &s),
                      QUORIX_OK);
            EXPECT_TRUE(SameRect(d, {0, 0, 800, 600})) << Str(d);
            EXPECT_GE(s.left, 0);
            EXPECT_GE(s.top, 0);
            EXPECT_LE(s.right, 1920);
            EXPECT_LE(s.bottom, 1080);
            EXPECT_LT(s.left, s.right);
            EXPECT_LT(s.top, s.bottom);
        }
    }
}

// ---- entry points ----

class Display : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(HDD::CreateDisplay(&m_display), QUORIX_OK); }
    void TearDown() override {
        if (m_display != nullptr) {
            EXPECT_EQ(HDD::DestroyDisplay(m_display), QUORIX_OK);
        }
    }
    HDD::CDisplay* m_display = nullptr;
};

// A solid planar 4:2:0 picture.
std::vector<uint8_t> Solid(uint32_t w, uint32_t h, uint8_t y, uint8_t u, uint8_t v) {
    std::vector<uint8_t> p(static_cast<size_t>(w) * h * 3 / 2);
    std::fill(p.begin(), p.begin() + static_cast<ptrdiff_t>(w) * h, y);
    std::fill(p.begin() + static_cast<ptrdiff_t>(w) * h,
              p.begin() + static_cast<ptrdiff_t>(w) * h * 5 / 4, u);
    std::fill(p.begin() + static_cast<ptrdiff_t>(w) * h * 5 / 4, p.end(), v);
    return p;
}

TEST_F(Display, EntryPointsCheckHandlesIndicesAndFormats) {
    float f = 0;
    uint32_t u = 0;
    uint8_t* data = nullptr;
    EXPECT_EQ(HDD::SetWindow(nullptr, 1), QUORIX_E_PARAM);
    EXPECT_EQ(HDD::SetRegion(nullptr, 0, 0, 0, 1, 1, 1), QUORIX_E_PARAM);
    EXPECT_EQ(HDD::SetRegionPtz(nullptr, 0, 0, 0, 1), QUORIX_E_PARAM);
    EXPECT_EQ(HDD::GetRegionPtz(nullptr, 0, &f, &f, &f), QUORIX_E_PARAM);
    EXPECT_EQ(HDD::Snapshot(nullptr, &u, &u, &u, &u, &data), QUORIX_E_PARAM);
    EXPECT_EQ(HDD::DestroyDisplay(nullptr), QUORIX_E_PARAM);

    EXPECT_EQ(HDD::SetRegion(m_display, 9, 0, 0, 10, 10, 1), QUORIX_OK);  // ignored
    EXPECT_EQ(HDD::SetRegionPtz(m_display, 9, 0, 0, 1), QUORIX_E_PARAM);
    EXPECT_EQ(HDD::GetRegionPtz(m_display, 9, &f, &f, &f), QUORIX_E_PARAM);
    EXPECT_EQ(HDD::SetRegionColor(m_display, 9, 0), QUORIX_E_PARAM);
    EXPECT_EQ(HDD::SetRegionFitMode(m_display, 9, 1), QUORIX_E_PARAM);
    EXPECT_EQ(HDD::SetRegionDrawCallback(m_display, 9, nullptr, nullptr), QUORIX_E_PARAM);

    std::vector<uint8_t> pic = Solid(16, 16, 100, 128, 128);
    const uint8_t* planes[3] = {pic.data(), pic.data() + 256, pic.data() + 320};
    const uint32_t strides[3] = {16, 8, 8};
    EXPECT_EQ(HDD::InputPicture(m_display, 16, 16, 23, planes, strides), QUORIX_E_PARAM);
    EXPECT_EQ(HDD::AttachPicture(m_display, 16, 16, 23, pic.data(), 384), QUORIX_E_PARAM);
    EXPECT_EQ(HDD::InputPicture(m_display, 0, 16, 20, planes, strides), QUORIX_E_PARAM);
    EXPECT_EQ(HDD::AttachPicture(m_display, 16, 16, 20, pic.data(), 0), QUORIX_E_PARAM);
    EXPECT_EQ(HDD::AttachPicture(m_display, 16, 16, 20, pic.data(), 383),
              QUORIX_E_PARAM);  // too small
    const uint32_t narrow[3] = {8, 8, 8};
    EXPECT_EQ(HDD::InputPicture(m_display, 16, 16, 20, planes, narrow), QUORIX_E_PARAM);
    EXPECT_EQ(HDD::Snapshot(m_display, &u, &u, &u, &u, &data), QUORIX_E_SYSTEM);  // nothing taken
    EXPECT_EQ(HDD::InputPicture(m_display, 16, 16, 0, planes, strides), QUORIX_OK);
    EXPECT_EQ(HDD::InputPicture(m_display, 16, 16, 20, planes, strides), QUORIX_OK);
    EXPECT_EQ(HDD::Snapshot(m_display, nullptr, &u, &u, &u, &data), QUORIX_E_PARAM);
}

TEST_F(Display, PtzIsClampedAndColourSwapsRedAndBlue) {
    EXPECT_EQ(HDD::SetRegionPtz(m_display, 3, 2.0f, -7.0f, 0.5f), QUORIX_OK);
    float pan = 9, tilt = 9, zoom = 9;
    EXPECT_EQ(HDD::GetRegionPtz(m_display, 3, &pan, &tilt, &zoom), QUORIX_OK);
    EXPECT_EQ(pan, 1.0f);
    EXPECT_EQ(tilt, -1.0f);
    EXPECT_EQ(zoom, 1.0f);
    EXPECT_EQ(HDD::SetRegionPtz(m_display, 3, NAN, 0.25f, NAN), QUORIX_OK);
    EXPECT_EQ(HDD::GetRegionPtz(m_display, 3, &pan, nullptr, &zoom), QUORIX_OK);
    EXPECT_EQ(pan, 0.0f);
    EXPECT_EQ(zoom, 1.0f);
    EXPECT_EQ(HDD::GetRegionPtz(m_display, 3, nullptr, &tilt, nullptr), QUORIX_OK);
    EXPECT_EQ(tilt, 0.25f);
}

struct ReleaseLog {
    std::mutex mutex;
    std::vector<std::pair<uint8_t*, uint32_t>> given;
    static uint32_t Callback(uint8_t* memory, uint32_t capacity, void* user) {
        auto* self = static_cast<ReleaseLog*>(user);
        std::lock_guard<std::mutex> g(self->mutex);
        self->given.emplace_back(memory, capacity);
        return 0;
    }
    std::vector<std::pair<uint8_t*, uint32_t>> Get() {
        std::lock_guard<std::mutex> g(mutex);
        return given;
    }
};

TEST(DisplayBorrow, BorrowedPicturesGoBackWhenReplacedAndOnDestroy) {
    HDD::CDisplay* display = nullptr;
    ASSERT_EQ(HDD::CreateDisplay(&display), QUORIX_OK);
    ReleaseLog log;
    HDD::SetFrameReleaseCallback(display, &ReleaseLog::Callback, &log);
    std::vector<uint8_t> a = Solid(32, 16, 60, 128, 128);
    std::vector<uint8_t> b = Solid(32, 16, 90, 128, 128);
    ASSERT_EQ(HDD::AttachPicture(display, 32, 16, 20, a.data(), static_cast<uint32_t>(a.size())),
              QUORIX_OK);
    EXPECT_TRUE(log.Get().empty());
    ASSERT_EQ(HDD::AttachPicture(display, 32, 16, 20, b.data(), static_cast<uint32_t>(b.size())),
              QUORIX_OK);
    ASSERT_EQ(log.Get().size(), 1u);
    EXPECT_EQ(log.Get()[0].first, a.data());
    EXPECT_EQ(log.Get()[0].second, a.size());
    // A copied picture replaces the borrowed one, which goes back at once.
    const uint8_t* planes[3] = {a.data(), a.data() + 512, a.data() + 640};
    const uint32_t strides[3] = {32, 16, 16};
    ASSERT_EQ(HDD::InputPicture(display, 32, 16, 20, planes, strides), QUORIX_OK);
    ASSERT_EQ(log.Get().size(), 2u);
    EXPECT_EQ(log.Get()[1].first, b.data());
    ASSERT_EQ(HDD::AttachPicture(display, 32, 16, 20, b.data(), static_cast<uint32_t>(b.size())),
              QUORIX_OK);
    EXPECT_EQ(HDD::DestroyDisplay(display), QUORIX_OK);
    ASSERT_EQ(log.Get().size(), 3u);
    EXPECT_EQ(log.Get()[2].first, b.data());
}

// Converts one Y value (neutral chroma) to the B, G, R bytes the display's converter makes.
void ExpectedBGR(uint8_t y, uint8_t u, uint8_t v, uint8_t out[4]) {
    uint8_t yp[4] = {y, y, y, y};
    uint8_t up[1] = {u}, vp[1] = {v};
    uint8_t dst[16];
    ASSERT_EQ(
        BRIXEL::CHYUV420pConvert::ToRGB(BRIXEL::HPIXEL_BGRX32, yp, up, vp, 2, 1, 2, 2, dst, 16, 8),
        QUORIX_OK);
    std::copy(dst, dst + 4, out);
}

TEST_F(Display, SnapshotCropsBottomUpInTheAskedFormat) {
    // White inside (192, 108, 960 x 540), black around it, the crop's top row grey.
    const uint32_t w = 1920, h = 1080;
    std::vector<uint8_t> pic = Solid(w, h, 16, 128, 128);
    for (uint32_t y = 108; y < 648; ++y) {
        std::fill(pic.begin() + y * w + 192, pic.begin() + y * w + 1152, y == 108 ? 128 : 235);
    }
    ASSERT_EQ(
        HDD::AttachPicture(m_display, w, h, 20, pic.data(), static_cast<uint32_t>(pic.size())),
        QUORIX_OK);
    ASSERT_EQ(HDD::SetSnapRect(m_display, 0.1f, 0.1f, 0.5f, 0.5f), QUORIX_OK);
    uint32_t sw = 0, stride = 0, sh = 0, format = 0;
    uint8_t* data = nullptr;
    ASSERT_EQ(HDD::Snapshot(m_display, &sw, &stride, &sh, &format, &data), QUORIX_OK);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(sw, 960u);
    EXPECT_EQ(sh, 540u);
    EXPECT_EQ(stride, 3840u);
    EXPECT_EQ(format, 3u);
    uint8_t white[4], grey[4];
    ExpectedBGR(235, 128, 128, white);
    ExpectedBGR(128, 128, 128, grey);
    bool allWhite = true;
    for (uint32_t row = 0; row + 1 < sh && allWhite; ++row) {
        for (uint32_t x = 0; x < sw; ++x) {
            if (data[row * stride + x * 4] != white[0]) {
                allWhite = false;
                break;
            }
        }
    }
    EXPECT_TRUE(allWhite) << "the crop reached outside the marked rectangle";
    // Bottom-up: the picture's first row is the last one in memory.
    const uint8_t* last = data + (sh - 1) * stride;
    EXPECT_EQ(last[0], grey[0]);
    EXPECT_EQ(last[(sw - 1) * 4 + 2], grey[2]);
    HDD::FreeSnapData(data);

    // Format 7 is taken as 3; format 2 packs three bytes per pixel, rows padded to four.
    ASSERT_EQ(HDD::SetSnapRect(m_display, 0, 0, 1, 1), QUORIX_OK);
    struct {
        uint32_t asked, format, stride;
    } formats[] = {
        {7, 3, 1920 * 4}, {0, 3, 1920 * 4}, {1, 1, 1920 * 4}, {2, 2, 1920 * 3}, {4, 4, 1920 * 3}};
    for (const auto& f : formats) {
        SCOPED_TRACE(f.asked);
        ASSERT_EQ(HDD::SetSnapFormat(m_display, f.asked), QUORIX_OK);
        ASSERT_EQ(HDD::Snapshot(m_display, &sw, &stride, &sh, &format, &data), QUORIX_OK);
        EXPECT_EQ(format, f.format);
        EXPECT_EQ(stride, f.stride);
        EXPECT_EQ(sh, 1080u);
        HDD::FreeSnapData(data);
    }
}

TEST_F(Display, SnapshotCropRoundsToEvenAndRefusesOutside) {
    const uint32_t w = 1918, h = 1082;
    std::vector<uint8_t> pic = Solid(w, h, 100, 90, 160);
    ASSERT_EQ(
        HDD::AttachPicture(m_display, w, h, 20, pic.data(), static_cast<uint32_t>(pic.size())),
        QUORIX_OK);
    ASSERT_EQ(HDD::SetSnapRect(m_display, 0, 0, 1, 0.5f), QUORIX_OK);
    ASSERT_EQ(HDD::SetSnapFormat(m_display, 4), QUORIX_OK);
    uint32_t sw = 0, stride = 0, sh = 0, format = 0;
    uint8_t* data = nullptr;
    ASSERT_EQ(HDD::Snapshot(m_display, &sw, &stride, &sh, &format, &data), QUORIX_OK);
    EXPECT_EQ(sw, 1918u);
    EXPECT_EQ(sh, 540u);
    EXPECT_EQ(stride, (1918u * 3 + 3) & ~3u);
    HDD::FreeSnapData(data);
    // A crop partly outside the picture is refused when it is set; the one in force stays.
    EXPECT_EQ(HDD::SetSnapRect(m_display, 0.8f, 0, 0.5f, 0.5f), QUORIX_E_PARAM);
    data = nullptr;
    ASSERT_EQ(HDD::Snapshot(m_display, &sw, &stride, &sh, &format, &data), QUORIX_OK);
    EXPECT_EQ(sw, 1918u);
    EXPECT_EQ(sh, 540u);
    HDD::FreeSnapData(data);
}

// Without a window the thread keeps the picture, feeds the snap callback and draws nothing.
struct DrawnLog {
    std::mutex mutex;
    std::condition_variable cv;
    uint32_t drawn = 0, snaps = 0, lastResult = 0, snapW = 0, snapFormat = 0;
};

TEST_F(Display, WithoutWindowPicturesFeedSnapshotsOnly) {
    DrawnLog log;
    // The callbacks' log lives on this stack: the display goes before it, however the test ends.
    struct DestroyFirst {
        HDD::CDisplay*& display;
        ~DestroyFirst() {
            HDD::DestroyDisplay(display);
            display = nullptr;
        }
    } destroyFirst{m_display};
    HDD::SetFrameDrawnCallback(
        m_display,
        [](uint32_t r, void* user) {
            auto* l = static_cast<DrawnLog*>(user);
            std::lock_guard<std::mutex> g(l->mutex);
            ++l->drawn;
            l->lastResult = r;
            l->cv.notify_all();
        },
        &log);
    HDD::SetSnapCallback(
        m_display,
        [](uint32_t w, uint32_t, uint32_t, uint32_t format, const uint8_t*, void* user) {
            auto* l = static_cast<DrawnLog*>(user);
            std::lock_guard<std::mutex> g(l->mutex);
            ++l->snaps;
            l->snapW = w;
            l->snapFormat = format;
        },
        &log);
    // Each picture is handed over once: a drawing without a window is not tried again.
    std::vector<uint8_t> pic = Solid(64, 48, 80, 128, 128);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(HDD::AttachPicture(m_display, 64, 48, 20, pic.data(),
                                     static_cast<uint32_t>(pic.size())),
                  QUORIX_OK);
        std::unique_lock<std::mutex> g(log.mutex);
        ASSERT_TRUE(
            log.cv.wait_for(g, std::chrono::seconds(10), [&] { return log.drawn >= i + 1u; }));
    }
    ASSERT_TRUE(m_display->WaitLoopPasses(4, 10000));
    {
        std::unique_lock<std::mutex> g(log.mutex);
        EXPECT_EQ(log.drawn, 2u);
        EXPECT_NE(log.lastResult, QUORIX_OK);
        EXPECT_EQ(log.snaps, 2u);
        EXPECT_EQ(log.snapW, 64u);
        EXPECT_EQ(log.snapFormat, 20u);
    }
    EXPECT_EQ(m_display->GetScreenVideoFormat(0), 0u);
    uint32_t sw = 0, stride = 0, sh = 0, format = 0;
    uint8_t* data = nullptr;
    ASSERT_EQ(HDD::Snapshot(m_display, &sw, &stride, &sh, &format, &data), QUORIX_OK);
    EXPECT_EQ(sw, 64u);
    HDD::FreeSnapData(data);
}

// ---- monitor list ----

class FakeMonitors : public HDD::CMonitorMgr {
public:
    int devices = 0;       // reported after the driver entry
    int failProbeAt = -1;  // entry index whose probe fails
    int enumerations = 0;
    std::vector<int> probed;  // GUID byte 0 of each probed entry

protected:
    uint32_t EnumerateDevices() override {
        ++enumerations;
        OnDevice(nullptr, 0);  // the display driver as a whole
        for (int i = 0; i < devices; ++i) {
            QXPLAT::DDGUID g{};
            g.bytes[0] = static_cast<uint8_t>(i + 1);
            OnDevice(&g, static_cast<QXPLAT::DDMONITOR>(100 + i));
        }
        return 0;
    }
    uint32_t ProbeDevice(const QXPLAT::DDGUID& guid, uint32_t* videoMemory) override {
        const int index = static_cast<int>(probed.size());
        probed.push_back(guid.bytes[0]);
        if (index == failProbeAt)
            return 0x80004005u;
        *videoMemory = (index % 2 == 0) ? 1 : 0;
        return 0;
    }
};

TEST(MonitorList, KeepsSixteenDevicesWithGuidsAndProbesUntilFailure) {
    FakeMonitors m;
    m.devices = 17;
    m.failProbeAt = 3;
    ASSERT_EQ(m.Enumerate(), QUORIX_OK);
    EXPECT_EQ(m.GetCount(), 16u);
    EXPECT_EQ(m.GetEntry(16), nullptr);
    ASSERT_NE(m.GetEntry(15), nullptr);
    EXPECT_EQ(m.GetEntry(0)->guid.bytes[0], 1);  // the driver entry was not recorded
    EXPECT_EQ(m.GetEntry(0)->monitor, 100u);
    EXPECT_EQ(m.GetEntry(15)->guid.bytes[0], 16);
    EXPECT_EQ(m.probed, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(m.GetEntry(0)->videoMemory, 1u);
    EXPECT_EQ(m.GetEntry(1)->videoMemory, 0u);
    EXPECT_EQ(m.GetEntry(2)->videoMemory, 1u);
    EXPECT_EQ(m.GetEntry(4)->videoMemory, 0u);  // not probed after the failure
    ASSERT_EQ(m.Enumerate(), QUORIX_OK);
    EXPECT_EQ(m.enumerations, 1);

    // No device at all: the default device (all-zero GUID) is still probed as entry 0.
    FakeMonitors none;
    ASSERT_EQ(none.Enumerate(), QUORIX_OK);
    EXPECT_EQ(none.GetCount(), 0u);
    EXPECT_EQ(none.probed, (std::vector<int>{0}));
    EXPECT_EQ(none.GetEntry(0)->present, 0u);
}

TEST(MonitorList, WindowIsPlacedOnlyOnTheMonitorItTouches) {
    const DDRECT first{0, 0, 1280, 1024}, second{1280, 0, 2560, 1024};
    DDRECT placed{};
    const DDRECT onSecond{1400, 100, 1800, 400};
    EXPECT_FALSE(HDD::PlaceWindow(first, onSecond, &placed));
    ASSERT_TRUE(HDD::PlaceWindow(second, onSecond, &placed));
    EXPECT_TRUE(SameRect(placed, {120, 100, 520, 400})) << Str(placed);
    const DDRECT spanning{1200, 10, 1400, 50};
    ASSERT_TRUE(HDD::PlaceWindow(first, spanning, &placed));
    EXPECT_TRUE(SameRect(placed, spanning));
    ASSERT_TRUE(HDD::PlaceWindow(second, spanning, &placed));
    EXPECT_TRUE(SameRect(placed, {-80, 10, 120, 50})) << Str(placed);
    EXPECT_FALSE(HDD::PlaceWindow(first, {1280, 0, 1300, 20}, &placed));  // touching edges only
}

}  // namespace
