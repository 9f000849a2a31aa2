// Display and view requests of a port through the public interface, with the OpenGL renderer
// drawing headless (no X display: an off-screen surface of its own, or the host's context in
// manual mode).

#include <GL/gl.h>
#include <gtest/gtest.h>
#include <quorixsdk.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/gl_test_context.h"
#include "support/view_support.h"

namespace {

using viewtest::DrawProbe;
using viewtest::StatusProbe;

class ViewGl : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
        ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&m_port));
        m_green = viewtest::FlatRecords(160, 120, viewtest::kGreen.y, viewtest::kGreen.u,
                                        viewtest::kGreen.v);
        ASSERT_FALSE(m_green.empty()) << "libx264 missing";
    }
    void TearDown() override {
        // The render-status callback outlives a free: the next test's port must not call ours.
        QUORIX_SetRenderStatusCallback(m_port, nullptr, nullptr);
        EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(m_port));
        QUORIX_ReleaseSDK();
    }

    // The green stream playing off-screen into region 0 (160 x 120), drawn frames counted by
    // `probe`.
    void PlayGreenStream(DrawProbe& probe) {
        const QUORIX_RECT rect{0, 0, 160, 120};
        ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(m_port, 0, &rect, 1));
        probe.readBack = false;
        ASSERT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(m_port, 0, &DrawProbe::Callback, &probe));
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_OpenStream(m_port, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0));
        ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
        ASSERT_TRUE(viewtest::Feed(m_port, m_green));
    }

    gltest::NoDisplay m_headless;
    uint16_t m_port = 0;
    std::vector<std::vector<uint8_t>> m_green;
};

// Every request on a port without a file or stream: stored, or refused as the port cannot
// serve it yet.
TEST_F(ViewGl, PortWithoutRendererStoresSettingsAndRefusesTheRest) {
    const QUORIX_RECT rect{0, 0, 64, 48};
    const float xs[1] = {0.5f}, ys[1] = {0.5f};
    float ox[1], oy[1], pan = 0, tilt = 0, zoom = 0;
    uint32_t types[16], type = 0;
    int32_t count = 16, support = 7;
    const uint16_t p = m_port;
    const struct {
        const char* name;
        std::function<uint32_t()> call;
        uint32_t want;
    } cases[] = {
        {"SetDisplayRegion", [&] { return QUORIX_SetDisplayRegion(p, 2, &rect, 1); }, QUORIX_OK},
        {"SetDisplayRegion null rect", [&] { return QUORIX_SetDisplayRegion(p, 3, nullptr, 1); },
         QUORIX_OK},
        {"SetBackgroundColor", [&] { return QUORIX_SetBackgroundColor(p, 2, 0x00112233); },
         QUORIX_OK},
        {"GetSupportedDisplayTypeList",
         [&] { return QUORIX_GetSupportedDisplayTypeList(p, types, &count); }, QUORIX_E_PARAM},
        {"GetCurrentDisplayType", [&] { return QUORIX_GetCurrentDisplayType(p, 0, &type); },
         QUORIX_E_PARAM},
        {"SetCurrentDisplayType", [&] { return QUORIX_SetCurrentDisplayType(p, 0, 0); }, QUORIX_OK},
        {"GetPTZPosition", [&] { return QUORIX_GetPTZPosition(p, 0, &pan, &tilt, &zoom); },
         QUORIX_E_PARAM},
        {"SetPTZPosition", [&] { return QUORIX_SetPTZPosition(p, 0, 0.1f, 0.2f, 2.0f); },
         QUORIX_OK},
        {"EnableBlankPTZ", [&] { return QUORIX_EnableBlankPTZ(p, 0, 1); }, QUORIX_E_PARAM},
        {"SetFlip", [&] { return QUORIX_SetFlip(p, 0, 1); }, QUORIX_E_STATE},
        {"SetDisplayRatioType", [&] { return QUORIX_SetDisplayRatioType(p, 0, 2); },
         QUORIX_E_STATE},
        {"Project", [&] { return QUORIX_Project(p, 0, xs, ys, ox, oy, 1); }, QUORIX_E_PARAM},
        {"UnProject", [&] { return QUORIX_UnProject(p, 0, xs, ys, ox, oy, 1); }, QUORIX_E_PARAM},
        {"SetDrawCallback",
         [&] { return QUORIX_SetDrawCallback(p, 5, &DrawProbe::Callback, nullptr); }, QUORIX_OK},
        {"SetRenderStatusCallback",
         [&] { return QUORIX_SetRenderStatusCallback(p, nullptr, nullptr); }, QUORIX_E_PARAM},
        {"GetManualSupport", [&] { return QUORIX_GetManualSupport(p, &support); }, QUORIX_OK},
        {"GetManualSupport null", [&] { return QUORIX_GetManualSupport(p, nullptr); },
         QUORIX_E_PARAM},
        {"ManualInit", [&] { return QUORIX_ManualInit(p, 1); }, QUORIX_E_STATE},
        {"ManualRender", [&] { return QUORIX_ManualRender(p); }, QUORIX_E_STATE},
        {"ManualSwapbuffers", [&] { return QUORIX_ManualSwapbuffers(p); }, QUORIX_E_STATE},
        {"ManualUnInit", [&] { return QUORIX_ManualUnInit(p); }, QUORIX_E_STATE},
        // The uniform checks come first: region 6 is out of range.
        {"SetDisplayRegion region 6", [&] { return QUORIX_SetDisplayRegion(p, 6, &rect, 1); },
         QUORIX_E_PARAM},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.want, c.call()) << c.name;
    EXPECT_EQ(-1, support);
}

// A region set before the open is handed to the renderer: logged, drawn with the picture, and
// the host's draw callback paints over it with the library's context current. The status
// callback stored before the open hears of the GL objects.
TEST_F(ViewGl, RegionSetBeforeOpenIsShownAndTheHostDrawsOverIt) {
    viewtest::LogFiles log;
    const QUORIX_RECT rect{20, 10, 20 + 160, 10 + 120};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(m_port, 0, &rect, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetBackgroundColor(m_port, 0, 0x00FF0000));  // blue, 0x00BBGGRR
    DrawProbe probe;
    probe.want = viewtest::IsGreen;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(m_port, 0, &DrawProbe::Callback, &probe));
    StatusProbe status;
    EXPECT_EQ(QUORIX_E_PARAM,
              QUORIX_SetRenderStatusCallback(m_port, &StatusProbe::Callback, &status));

    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0));
    EXPECT_TRUE(log.Contains("set 0 region (l=20,t=10,w=160,h=120)")) << log.Text();
    int32_t support = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetManualSupport(m_port, &support));
    EXPECT_EQ(1, support);

    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_TRUE(status.WaitFor(1));
    ASSERT_TRUE(viewtest::Feed(m_port, m_green));
    ASSERT_TRUE(probe.WaitGood(2)) << "centre " << int(probe.centre[0]) << ","
                                   << int(probe.centre[1]) << "," << int(probe.centre[2]);
    {
        std::lock_guard<std::mutex> guard(probe.lock);
        EXPECT_EQ(m_port, probe.port);
        EXPECT_EQ(0, probe.region);
        EXPECT_EQ(1, probe.drawMode);
        EXPECT_EQ(nullptr, probe.dc);
        EXPECT_EQ(rect.left, probe.rect.left);
        EXPECT_EQ(rect.top, probe.rect.top);
        EXPECT_EQ(rect.right, probe.rect.right);
        EXPECT_EQ(rect.bottom, probe.rect.bottom);
        // 160 x 120 into 160 x 120: the picture covers the whole region.
        EXPECT_EQ(0, probe.image.left);
        EXPECT_EQ(160, probe.image.right - probe.image.left);
        EXPECT_TRUE(viewtest::IsRed(probe.overlay))
            << int(probe.overlay[0]) << "," << int(probe.overlay[1]);
    }
    // Switching the callback off: the adapter stays installed but calls nobody.
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(m_port, 0, nullptr, nullptr));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
    EXPECT_TRUE(status.WaitFor(0));
}

// View requests reach the renderer; zoom below 1 in the flat display is applied as 1 while the
// record keeps what the host set and gives it to the next renderer.
TEST_F(ViewGl, ViewRequestsReachTheRendererAndTheRecordOutlivesIt) {
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_FISHEYE, nullptr, 0, nullptr, 0));
    const QUORIX_RECT rect{0, 0, 128, 128};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(m_port, 1, &rect, 1));

    int32_t count = 0;
    EXPECT_EQ(QUORIX_E_BUFFER_TOO_SMALL,
              QUORIX_GetSupportedDisplayTypeList(m_port, nullptr, &count));
    ASSERT_GT(count, 1);
    std::vector<uint32_t> types(static_cast<size_t>(count));
    ASSERT_EQ(QUORIX_OK, QUORIX_GetSupportedDisplayTypeList(m_port, types.data(), &count));
    EXPECT_EQ(static_cast<size_t>(count), types.size());
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_GetCurrentDisplayType(m_port, 1, nullptr));

    EXPECT_EQ(QUORIX_E_PARAM,
              QUORIX_SetCurrentDisplayType(m_port, 1, 9));  // not offered for one camera
    ASSERT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(m_port, 1, QUORIX_DISPLAY_PLANE));
    uint32_t type = 99;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetCurrentDisplayType(m_port, 1, &type));
    EXPECT_EQ(QUORIX_DISPLAY_PLANE, type);

    float pan = 9, tilt = 9, zoom = 9;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetPTZPosition(m_port, 1, 0.0f, 0.0f, 0.5f));
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPTZPosition(m_port, 1, &pan, &tilt, &zoom));
    EXPECT_FLOAT_EQ(1.0f, zoom);
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPTZPosition(m_port, 1, nullptr, nullptr, nullptr));

    EXPECT_EQ(QUORIX_OK, QUORIX_EnableBlankPTZ(m_port, 1, 1));
    EXPECT_EQ(QUORIX_OK, QUORIX_SetFlip(m_port, 1, 1));
    EXPECT_EQ(QUORIX_OK, QUORIX_SetDisplayRatioType(m_port, 1, 2));
    // The renderer draws on its own thread: the manual operations are not for it.
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_ManualInit(m_port, 1));
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_ManualRender(m_port));
    ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));

    // A sphere display stored now is applied by the next open, with the stored view.
    ASSERT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(m_port, 1, QUORIX_DISPLAY_SPHERE));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetPTZPosition(m_port, 1, 0.25f, -0.125f, 0.5f));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_FISHEYE, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_GetCurrentDisplayType(m_port, 1, &type));
    EXPECT_EQ(QUORIX_DISPLAY_SPHERE, type);
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPTZPosition(m_port, 1, &pan, &tilt, &zoom));
    EXPECT_FLOAT_EQ(0.25f, pan);
    EXPECT_FLOAT_EQ(-0.125f, tilt);
    ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));

    // The flat display stored, the 0.5 zoom of the record is handed to the next renderer as is.
    ASSERT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(m_port, 1, QUORIX_DISPLAY_PLANE));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_FISHEYE, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPTZPosition(m_port, 1, &pan, &tilt, &zoom));
    EXPECT_FLOAT_EQ(0.25f, pan);
    ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
}

// Screen points to the sphere and back through the port.
TEST_F(ViewGl, UnprojectThenProjectReturnsThePoints) {
    DrawProbe probe;
    ASSERT_NO_FATAL_FAILURE(PlayGreenStream(probe));
    ASSERT_TRUE(probe.WaitGood(2));

    const float xs[3] = {0.25f, 0.5f, 0.6f}, ys[3] = {0.25f, 0.5f, 0.8f};
    float sx[3] = {}, sy[3] = {}, bx[3] = {}, by[3] = {};
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_UnProject(m_port, 0, xs, ys, sx, sy, 0));
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_UnProject(m_port, 0, xs, nullptr, sx, sy, 3));
    ASSERT_EQ(QUORIX_OK, QUORIX_UnProject(m_port, 0, xs, ys, sx, sy, 3));
    ASSERT_EQ(QUORIX_OK, QUORIX_Project(m_port, 0, sx, sy, bx, by, 3));
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(xs[i], bx[i], 1e-3) << i;
        EXPECT_NEAR(ys[i], by[i], 1e-3) << i;
    }
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
}

// A port whose stream has stopped delivering draws nothing until something changes; a change of
// view and point requests are still served, each from a frame drawn for it.
TEST_F(ViewGl, IdlePortStillServesViewRequests) {
    DrawProbe probe;
    ASSERT_NO_FATAL_FAILURE(PlayGreenStream(probe));
    ASSERT_TRUE(probe.WaitGood(1));

    int calls = 0;
    {
        std::lock_guard<std::mutex> guard(probe.lock);
        calls = probe.calls;
    }
    ASSERT_EQ(QUORIX_OK, QUORIX_SetFlip(m_port, 0, 1));
    EXPECT_TRUE(probe.WaitGood(calls + 1)) << "the flipped view was not drawn";

    const float xs[1] = {0.5f}, ys[1] = {0.5f};
    float sx[1] = {}, sy[1] = {};
    EXPECT_EQ(QUORIX_OK, QUORIX_UnProject(m_port, 0, xs, ys, sx, sy, 1));
    EXPECT_EQ(QUORIX_OK, QUORIX_Project(m_port, 0, sx, sy, sx, sy, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(m_port, 0, nullptr, nullptr));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
}

// A snapshot rectangle is a part of the region: one leaving [0, 1] would read the neighbouring
// regions' pixels or undefined ones, and is refused; the rectangle in force stays.
TEST_F(ViewGl, SnapRectanglesPastTheRegionAreRefused) {
    const QUORIX_RECT rect{0, 0, 160, 120};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(m_port, 0, &rect, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_TRUE(viewtest::Feed(m_port, m_green));
    for (const auto& c : viewtest::SnapRectCases()) {
        EXPECT_EQ(c.want, QUORIX_SetSnapRect(m_port, 0, c.x, c.y, c.width, c.height)) << c.name;
        EXPECT_EQ(c.want, QUORIX_SetScreenOffSnapRect(m_port, c.x, c.y, c.width, c.height))
            << c.name;
    }
    // The last accepted rectangle (0.1, 0.1, 0.9, 0.9) is the one read back.
    struct Seen {
        std::mutex lock;
        std::condition_variable changed;
        uint32_t width = 0, height = 0;
    } seen;
    auto cb = [](uint16_t, uint16_t, uint32_t width, uint32_t, uint32_t height, uint32_t,
                 const uint8_t*, void* user) {
        auto* s = static_cast<Seen*>(user);
        std::lock_guard<std::mutex> g(s->lock);
        s->width = width;
        s->height = height;
        s->changed.notify_all();
    };
    ASSERT_EQ(QUORIX_OK, QUORIX_SetSnapCallback(m_port, 0, cb, &seen, 0, 4));
    {
        std::unique_lock<std::mutex> g(seen.lock);
        EXPECT_TRUE(seen.changed.wait_for(g, std::chrono::milliseconds(viewtest::kWaitMs),
                                          [&] { return seen.width != 0; }));
        EXPECT_EQ(144u, seen.width);
        EXPECT_EQ(108u, seen.height);
    }
    ASSERT_EQ(QUORIX_OK, QUORIX_SetSnapCallback(m_port, 0, nullptr, nullptr, 0, 4));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
}

// Every display type keeps its zoom within the range where it draws: a virtual zoom of 1000 in
// the 360-degree panorama used to take seconds per frame, and captures and projections of the
// region ran into their time-outs.
TEST_F(ViewGl, ExtremeZoomIsLimitedAndTheRegionKeepsServing) {
    const QUORIX_RECT rect{0, 0, 160, 120};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(m_port, 0, &rect, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_FISHEYE, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_TRUE(viewtest::Feed(m_port, m_green));
    uint32_t types[16];
    int32_t count = 16;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetSupportedDisplayTypeList(m_port, types, &count));
    for (int32_t i = 0; i < count; ++i) {
        SCOPED_TRACE("display " + std::to_string(types[i]));
        ASSERT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(m_port, 0, types[i]));
        ASSERT_EQ(QUORIX_OK, QUORIX_SetPTZPosition(m_port, 0, 0.0f, 0.0f, 1000.0f));
        float zoom = 0;
        ASSERT_EQ(QUORIX_OK, QUORIX_GetPTZPosition(m_port, 0, nullptr, nullptr, &zoom));
        EXPECT_GE(zoom, 1.0f);
        EXPECT_LE(zoom, 16.0f);
        const float xs[1] = {0.5f}, ys[1] = {0.5f};
        float ox[1] = {}, oy[1] = {};
        // The first frames of a new view may build its texture-coordinate map; the region
        // then serves every request (each one waits up to the library's own time-out).
        uint32_t rc = QUORIX_E_TIMEOUT;
        for (int attempt = 0; attempt < 20 && rc == QUORIX_E_TIMEOUT; ++attempt)
            rc = QUORIX_UnProject(m_port, 0, xs, ys, ox, oy, 1);
        EXPECT_EQ(QUORIX_OK, rc);
    }
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
}

// Manual mode: the host owns the context and drives init, render and swap, and uninit, on its
// own thread; status and draw callbacks run on that thread.
TEST_F(ViewGl, ManualModeDrawsIntoTheHostsContextOnItsThread) {
    gltest::HostContext host(256, 256);
    ASSERT_TRUE(host.ok());
    const QUORIX_RECT rect{16, 16, 16 + 160, 16 + 120};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(m_port, 0, &rect, 1));
    DrawProbe probe;
    probe.want = viewtest::IsGreen;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(m_port, 0, &DrawProbe::Callback, &probe));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0));
    StatusProbe status;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetRenderStatusCallback(m_port, &StatusProbe::Callback, &status));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_ManualInit(m_port, 1));
    EXPECT_EQ(gltest::CurrentEglContext(), host.context());
    {
        std::lock_guard<std::mutex> guard(status.lock);
        ASSERT_EQ(1u, status.statuses.size());  // on this thread, during the init
        EXPECT_EQ(1u, status.statuses[0]);
    }
    ASSERT_TRUE(viewtest::Feed(m_port, m_green));
    // Each frame is drawn only when the host asks; pictures arrive on the decoder's thread.
    for (int frame = 0; frame < 2000; ++frame) {
        ASSERT_EQ(QUORIX_OK, QUORIX_ManualRender(m_port));
        ASSERT_EQ(QUORIX_OK, QUORIX_ManualSwapbuffers(m_port));
        {
            std::lock_guard<std::mutex> guard(probe.lock);
            if (probe.good > 0)
                break;
        }
        if (frame % 100 == 99) {
            ASSERT_TRUE(viewtest::Feed(m_port, m_green));
        }
    }
    ASSERT_GT(probe.good, 0);
    uint8_t inside[4] = {};
    glReadPixels(16 + 80, 16 + 60, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, inside);
    EXPECT_TRUE(viewtest::IsGreen(inside))
        << int(inside[0]) << "," << int(inside[1]) << "," << int(inside[2]);
    ASSERT_EQ(QUORIX_OK, QUORIX_ManualUnInit(m_port));
    EXPECT_TRUE(status.WaitFor(0));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
}

}  // namespace
