// Display and view requests of a port that shows through the external renderer: only region 0
// reaches it, the setters store for the other regions, and the stored settings reach a new
// renderer. Runs beside a library copy that finds the view double as its external renderer.

#include <GL/gl.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <quorixsdk.h>

#include <filesystem>
#include <string>

#include "support/gl_test_context.h"
#include "support/pano_double.h"
#include "support/view_support.h"

namespace fs = std::filesystem;

namespace {

struct ViewDouble {
    ViewPanoResetFn reset = nullptr;
    ViewPanoCountFn count = nullptr;
    ViewPanoRegionFn region = nullptr;
    ViewPanoDrawFrameFn drawFrame = nullptr;
    enum {
        kSwitches = VIEW_PANO_SWITCHES,
        kCameraSets = VIEW_PANO_CAMERA_SETS,
        kRegionSets = VIEW_PANO_REGION_SETS,
        kUnprojects = VIEW_PANO_UNPROJECTS
    };

    static ViewDouble& Get() {
        static ViewDouble d = [] {
            ViewDouble v;
            const std::string dir = fs::read_symlink("/proc/self/exe").parent_path().string();
            void* module = dlopen((dir + "/libPanoRenderOGL.so").c_str(), RTLD_NOW);
            if (module != nullptr) {
                v.reset = reinterpret_cast<ViewPanoResetFn>(dlsym(module, "ViewPano_Reset"));
                v.count = reinterpret_cast<ViewPanoCountFn>(dlsym(module, "ViewPano_Count"));
                v.region = reinterpret_cast<ViewPanoRegionFn>(dlsym(module, "ViewPano_Region"));
                v.drawFrame =
                    reinterpret_cast<ViewPanoDrawFrameFn>(dlsym(module, "ViewPano_DrawFrame"));
            }
            return v;
        }();
        return d;
    }
};

class ViewPano : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, D().reset) << dlerror();
        D().reset();
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
        ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&m_port));
    }
    void TearDown() override {
        EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(m_port));
        QUORIX_ReleaseSDK();
    }
    static ViewDouble& D() { return ViewDouble::Get(); }

    gltest::NoDisplay m_headless;
    uint16_t m_port = 0;
};

TEST_F(ViewPano, RecordsSetBeforeTheOpenReachTheRenderer) {
    const QUORIX_RECT rect{10, 20, 330, 260};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(m_port, 0, &rect, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(m_port, 0, 12));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetPTZPosition(m_port, 0, 0.5f, -0.25f, 0.75f));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_EXTERNAL, nullptr, 0, nullptr, 0));
    int32_t region[4];
    D().region(region);
    EXPECT_EQ(10, region[0]);
    EXPECT_EQ(20, region[1]);
    EXPECT_EQ(320, region[2]);
    EXPECT_EQ(240, region[3]);
    uint32_t type = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetCurrentDisplayType(m_port, 0, &type));
    EXPECT_EQ(12u, type);
    float pan = 0, tilt = 0, zoom = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPTZPosition(m_port, 0, &pan, &tilt, &zoom));
    EXPECT_FLOAT_EQ(0.5f, pan);
    EXPECT_FLOAT_EQ(-0.25f, tilt);
    EXPECT_FLOAT_EQ(0.75f, zoom);  // no lower limit for this renderer
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
}

TEST_F(ViewPano, OnlyRegionZeroReachesTheRenderer) {
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_EXTERNAL, nullptr, 0, nullptr, 0));
    uint32_t type = 0;
    float pan = 0;
    const float xs[2] = {1.0f, 3.0f}, ys[2] = {2.0f, 4.0f};
    float ox[2] = {}, oy[2] = {};
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_GetCurrentDisplayType(m_port, 1, &type));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_GetPTZPosition(m_port, 1, &pan, nullptr, nullptr));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_UnProject(m_port, 1, xs, ys, ox, oy, 2));
    // The setters store and answer OK without reaching the renderer.
    EXPECT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(m_port, 1, 12));
    EXPECT_EQ(QUORIX_OK, QUORIX_SetPTZPosition(m_port, 1, 0.1f, 0.1f, 2.0f));
    const QUORIX_RECT rect{0, 0, 64, 64};
    EXPECT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(m_port, 1, &rect, 1));
    EXPECT_EQ(0u, D().count(ViewDouble::kSwitches));
    EXPECT_EQ(0u, D().count(ViewDouble::kCameraSets));
    EXPECT_EQ(0u, D().count(ViewDouble::kRegionSets));

    // Region 0: the renderer's answers (its list is {0, 12, 13}, it unprojects (x, y) to
    // (x * 2, y + 1)).
    EXPECT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(m_port, 0, 12));
    EXPECT_EQ(1u, D().count(ViewDouble::kSwitches));
    uint32_t types[4];
    int32_t count = 4;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetSupportedDisplayTypeList(m_port, types, &count));
    EXPECT_EQ(3, count);
    EXPECT_EQ(12u, types[1]);
    ASSERT_EQ(QUORIX_OK, QUORIX_UnProject(m_port, 0, xs, ys, ox, oy, 2));
    EXPECT_FLOAT_EQ(2.0f, ox[0]);
    EXPECT_FLOAT_EQ(3.0f, oy[0]);
    EXPECT_FLOAT_EQ(6.0f, ox[1]);
    EXPECT_FLOAT_EQ(5.0f, oy[1]);
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_UnProject(m_port, 0, xs, ys, ox, oy, 0));

    // What this renderer cannot do.
    EXPECT_EQ(QUORIX_E_NOT_IMPL, QUORIX_Project(m_port, 0, xs, ys, ox, oy, 2));
    EXPECT_EQ(QUORIX_E_NOT_IMPL, QUORIX_Project(m_port, 0, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(QUORIX_E_NOT_IMPL, QUORIX_EnableBlankPTZ(m_port, 0, 1));
    EXPECT_EQ(QUORIX_E_NOT_IMPL, QUORIX_SetFlip(m_port, 0, 1));
    EXPECT_EQ(QUORIX_E_NOT_IMPL, QUORIX_SetDisplayRatioType(m_port, 0, 1));
    EXPECT_EQ(QUORIX_E_NOT_IMPL, QUORIX_SetRenderStatusCallback(m_port, nullptr, nullptr));
    EXPECT_EQ(QUORIX_E_NOT_IMPL, QUORIX_ManualInit(m_port, 1));
    EXPECT_EQ(QUORIX_E_NOT_IMPL, QUORIX_ManualRender(m_port));
    int32_t support = 7;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetManualSupport(m_port, &support));
    EXPECT_EQ(0, support);
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
}

// The adapters around a frame of the external renderer: the pre-render one clears with region
// 0's background colour (which applies at once), the render one calls region 0's draw callback.
TEST_F(ViewPano, FrameAdaptersClearWithTheBackgroundAndCallTheHost) {
    gltest::HostContext host(64, 64);
    ASSERT_TRUE(host.ok());
    viewtest::DrawProbe probe;
    probe.readBack = false;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(m_port, 0, &viewtest::DrawProbe::Callback, &probe));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_EXTERNAL, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetBackgroundColor(m_port, 0, 0x00FF0000));  // blue
    ASSERT_EQ(2, D().drawFrame());
    uint8_t px[4] = {};
    glReadPixels(10, 10, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, px);
    EXPECT_TRUE(viewtest::IsBlue(px)) << int(px[0]) << "," << int(px[1]) << "," << int(px[2]);
    {
        std::lock_guard<std::mutex> guard(probe.lock);
        EXPECT_EQ(1, probe.calls);
        EXPECT_EQ(m_port, probe.port);
        EXPECT_EQ(0, probe.region);
        EXPECT_EQ(1, probe.drawMode);
        EXPECT_FALSE(probe.hadRects);
    }
    // The close takes the render adapter off; nothing of the port is called afterwards.
    ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
    D().drawFrame();
    std::lock_guard<std::mutex> guard(probe.lock);
    EXPECT_EQ(1, probe.calls);
}

}  // namespace
