// Display and view requests of a port on the software display. The choice of that display is
// one-way for the process, so this suite runs in a process of its own.

#include <gtest/gtest.h>
#include <quorixsdk.h>

#include <functional>
#include <string>

#include "support/gl_test_context.h"
#include "support/view_support.h"

namespace {

// In a window the display calls the region's draw callback with its cache surface to draw on.
// First in the process: the monitors are enumerated once, at the first initialisation, and
// only a process that can reach the X server then finds any.
TEST(ViewSoftWindow, DrawCallbackGetsTheCacheSurfaceAndTheRectangles) {
    if (gltest::TestDisplay().empty())
        GTEST_SKIP() << "QUORIX_TEST_DISPLAY not set";
    setenv("DISPLAY", gltest::TestDisplay().c_str(), 1);
    QUORIX_SetRenderMode(1);
    gltest::HostWindow window(160, 120);
    ASSERT_TRUE(window.ok()) << window.why();
    ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    const QUORIX_RECT rect{10, 20, 10 + 120, 20 + 90};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(port, 1, &rect, 1));
    viewtest::DrawProbe probe;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(port, 1, &viewtest::DrawProbe::Callback, &probe));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(port, window.window(), nullptr, 0));
    const auto records =
        viewtest::FlatRecords(64, 48, viewtest::kGreen.y, viewtest::kGreen.u, viewtest::kGreen.v);
    ASSERT_TRUE(viewtest::Feed(port, records));
    ASSERT_TRUE(probe.WaitGood(1));
    {
        std::lock_guard<std::mutex> guard(probe.lock);
        EXPECT_EQ(port, probe.port);
        EXPECT_EQ(1, probe.region);
        EXPECT_EQ(0, probe.drawMode);
        ASSERT_NE(nullptr, probe.dc);
        EXPECT_TRUE(probe.hadRects);
        EXPECT_EQ(120, probe.rect.right - probe.rect.left);
        EXPECT_EQ(90, probe.rect.bottom - probe.rect.top);
        // The picture lies inside the region.
        EXPECT_GE(probe.image.left, probe.rect.left);
        EXPECT_LE(probe.image.right, probe.rect.right);
    }
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(port, 1, nullptr, nullptr));
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
    QUORIX_ReleaseSDK();
}

class ViewSoft : public ::testing::Test {
protected:
    static void SetUpTestSuite() { QUORIX_SetRenderMode(1); }
    void SetUp() override {
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
        ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&m_port));
    }
    void TearDown() override {
        EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(m_port));
        QUORIX_ReleaseSDK();
    }
    gltest::NoDisplay m_headless;
    uint16_t m_port = 0;
};

TEST_F(ViewSoft, EveryRequestAnswersAsTheSoftwareDisplayCan) {
    viewtest::LogFiles log;
    const QUORIX_RECT rect{4, 6, 4 + 100, 6 + 80};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(m_port, 2, &rect, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetPTZPosition(m_port, 2, 0.5f, 0.25f, 3.0f));
    // The normal model: the flat picture (a lens picture is de-warped, see player_dewarp_soft).
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0));
    EXPECT_TRUE(log.Contains("use dxdraw!")) << log.Text();
    EXPECT_TRUE(log.Contains("set 2 region (l=4,t=6,w=100,h=80)")) << log.Text();

    // The region's view was handed over with the rectangle.
    float pan = 0, tilt = 0, zoom = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPTZPosition(m_port, 2, &pan, &tilt, &zoom));
    EXPECT_FLOAT_EQ(0.5f, pan);
    EXPECT_FLOAT_EQ(0.25f, tilt);
    EXPECT_FLOAT_EQ(3.0f, zoom);
    // Zoom never below 1 here, whatever the display type.
    ASSERT_EQ(QUORIX_OK, QUORIX_SetPTZPosition(m_port, 2, 0.0f, 0.0f, 0.5f));
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPTZPosition(m_port, 2, nullptr, nullptr, &zoom));
    EXPECT_FLOAT_EQ(1.0f, zoom);

    uint32_t types[4] = {7, 7, 7, 7};
    int32_t count = 4;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetSupportedDisplayTypeList(m_port, types, &count));
    EXPECT_EQ(1, count);
    EXPECT_EQ(0u, types[0]);
    count = 0;
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_GetSupportedDisplayTypeList(m_port, types, &count));
    uint32_t type = 7;
    EXPECT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(m_port, 0, QUORIX_DISPLAY_SPHERE));
    ASSERT_EQ(QUORIX_OK, QUORIX_GetCurrentDisplayType(m_port, 0, &type));
    EXPECT_EQ(0u, type);
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_GetCurrentDisplayType(m_port, 0, nullptr));

    const float xs[1] = {0.5f}, ys[1] = {0.5f};
    float ox[1], oy[1];
    int32_t support = 7;
    const uint16_t p = m_port;
    const struct {
        const char* name;
        std::function<uint32_t()> call;
        uint32_t want;
    } cases[] = {
        {"SetDisplayRatioType", [&] { return QUORIX_SetDisplayRatioType(p, 2, 2); }, QUORIX_OK},
        {"EnableBlankPTZ", [&] { return QUORIX_EnableBlankPTZ(p, 2, 1); }, QUORIX_E_NOT_IMPL},
        {"SetFlip", [&] { return QUORIX_SetFlip(p, 2, 1); }, QUORIX_E_NOT_IMPL},
        {"Project", [&] { return QUORIX_Project(p, 2, xs, ys, ox, oy, 1); },
         QUORIX_E_NOT_SUPPORTED},
        {"UnProject", [&] { return QUORIX_UnProject(p, 2, xs, ys, ox, oy, 1); }, QUORIX_E_NOT_IMPL},
        {"UnProject count 0", [&] { return QUORIX_UnProject(p, 2, xs, ys, ox, oy, 0); },
         QUORIX_E_PARAM},
        {"SetRenderStatusCallback",
         [&] { return QUORIX_SetRenderStatusCallback(p, nullptr, nullptr); }, QUORIX_E_NOT_IMPL},
        {"GetManualSupport", [&] { return QUORIX_GetManualSupport(p, &support); }, QUORIX_OK},
        {"ManualInit", [&] { return QUORIX_ManualInit(p, 1); }, QUORIX_E_NOT_IMPL},
        {"ManualRender", [&] { return QUORIX_ManualRender(p); }, QUORIX_E_NOT_IMPL},
        {"ManualSwapbuffers", [&] { return QUORIX_ManualSwapbuffers(p); }, QUORIX_E_NOT_IMPL},
        {"ManualUnInit", [&] { return QUORIX_ManualUnInit(p); }, QUORIX_E_NOT_IMPL},
        {"Play", [&] { return QUORIX_Play(p, 0, nullptr, 0); }, QUORIX_OK},
        {"SetDisplayRegion off", [&] { return QUORIX_SetDisplayRegion(p, 2, &rect, 0); },
         QUORIX_OK},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.want, c.call()) << c.name;
    EXPECT_EQ(0, support);

    // Pictures reach the display in every play mode; without a window it only keeps them.
    const auto records =
        viewtest::FlatRecords(64, 48, viewtest::kGreen.y, viewtest::kGreen.u, viewtest::kGreen.v);
    ASSERT_TRUE(viewtest::Feed(m_port, records));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));

    // The choice outlives the close: still answered as the software display.
    count = 4;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetSupportedDisplayTypeList(m_port, types, &count));
    EXPECT_EQ(1, count);
    ASSERT_EQ(QUORIX_OK, QUORIX_GetManualSupport(m_port, &support));
    EXPECT_EQ(0, support);

    ASSERT_EQ(QUORIX_OK, QUORIX_SetStreamOpenMode(m_port, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_TRUE(viewtest::Feed(m_port, records));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
}

// A snapshot rectangle is a part of the picture: one leaving [0, 1] is refused when it is set
// (as on the OpenGL renderer), and the one in force stays.
TEST_F(ViewSoft, SnapRectanglesPastThePictureAreRefused) {
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    const auto records =
        viewtest::FlatRecords(64, 48, viewtest::kGreen.y, viewtest::kGreen.u, viewtest::kGreen.v);
    ASSERT_TRUE(viewtest::Feed(m_port, records));
    for (const auto& c : viewtest::SnapRectCases())
        EXPECT_EQ(c.want, QUORIX_SetSnapRect(m_port, 0, c.x, c.y, c.width, c.height)) << c.name;
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
}

}  // namespace
