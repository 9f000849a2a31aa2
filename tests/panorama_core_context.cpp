// The rendering context: headless pbuffers, a host's current context, X11 windows.
#include <GL/glew.h>
#include <gtest/gtest.h>
#include <quorixsdk.h>

#include "panorama/hglx.h"
#include "panorama/render.h"
#include "support/gl_test_context.h"

namespace {

using SPHERA::CHGlx;

TEST(PanoramaContext, HeadlessPbufferStandsForTheWindow) {
    gltest::NoDisplay noDisplay;
    CHGlx glx;
    EXPECT_EQ(glx.MakeCurrent(), QUORIX_E_NOT_INIT);
    glx.UnInit();  // never initialised: harmless

    ASSERT_EQ(glx.Init(0, nullptr, true), QUORIX_OK);
    EXPECT_TRUE(glx.HasOwnContext());
    EXPECT_TRUE(glx.IsWindowless());
    EXPECT_STREQ(glx.PlatformName(), "surfaceless");
    ASSERT_EQ(glx.MakeCurrent(), QUORIX_OK);
    EXPECT_NE(gltest::CurrentEglContext(), EGL_NO_CONTEXT);
    const GLubyte* version = glGetString(GL_VERSION);
    ASSERT_NE(version, nullptr);

    // A second Init keeps the first context.
    const EGLContext first = gltest::CurrentEglContext();
    EXPECT_EQ(glx.Init(0, nullptr, true), QUORIX_OK);
    EXPECT_EQ(glx.MakeCurrent(), QUORIX_OK);
    EXPECT_EQ(gltest::CurrentEglContext(), first);

    // The stand-in grows to cover what is drawn and never shrinks; drawing reaches it.
    uint32_t w = 0, h = 0;
    glx.GetSurfaceSize(&w, &h);
    EXPECT_EQ(w, 1u);
    EXPECT_EQ(h, 1u);
    ASSERT_TRUE(glx.CoverArea(320, 200));
    EXPECT_TRUE(glx.CoverArea(100, 50));
    glx.GetSurfaceSize(&w, &h);
    EXPECT_EQ(w, 320u);
    EXPECT_EQ(h, 200u);
    EXPECT_EQ(gltest::CurrentEglContext(), first);  // still current, now on the larger pbuffer
    glClearColor(1.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    uint8_t pixel[4] = {0, 0, 0, 0};
    glReadPixels(319, 199, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
    EXPECT_EQ(pixel[0], 255);
    EXPECT_EQ(pixel[1], 0);
    glx.Swap();

    glx.UnInit();
    EXPECT_FALSE(glx.IsInitialised());
    EXPECT_EQ(gltest::CurrentEglContext(), EGL_NO_CONTEXT);
    glx.UnInit();
    EXPECT_EQ(glx.MakeCurrent(), QUORIX_E_NOT_INIT);

    int32_t sw = -1, sh = -1;
    CHGlx::GetScreenSize(&sw, &sh);
    EXPECT_EQ(sw, 0);
    EXPECT_EQ(sh, 0);
}

TEST(PanoramaContext, UnreachableDisplayFallsBackToSurfaceless) {
    gltest::NoDisplay noDisplay;  // restores the caller's DISPLAY afterwards
    setenv("DISPLAY", ":64999", 1);
    CHGlx glx;
    ASSERT_EQ(glx.Init(0, nullptr, true), QUORIX_OK);
    EXPECT_STREQ(glx.PlatformName(), "surfaceless");
    EXPECT_EQ(glx.MakeCurrent(), QUORIX_OK);
    int32_t sw = -1, sh = -1;
    CHGlx::GetScreenSize(&sw, &sh);
    EXPECT_EQ(sw, 0);
    EXPECT_EQ(sh, 0);
    glx.UnInit();
    unsetenv("DISPLAY");
}

TEST(PanoramaContext, HostContextIsUsedNotReplaced) {
    gltest::NoDisplay noDisplay;
    gltest::HostContext host;
    ASSERT_TRUE(host.ok());
    for (bool createContext : {true, false}) {
        gltest::LogCapture log;
        CHGlx glx;
        ASSERT_EQ(glx.Init(0, nullptr, createContext), QUORIX_OK);
        EXPECT_TRUE(log.Contains("GLRC already exists")) << log.Text();
        EXPECT_FALSE(glx.HasOwnContext());
        EXPECT_EQ(glx.MakeCurrent(), QUORIX_OK);
        EXPECT_EQ(gltest::CurrentEglContext(), host.context());
        glx.Swap();
        glx.UnInit();
        // Nothing of the host's was released.
        EXPECT_EQ(gltest::CurrentEglContext(), host.context());
    }
}

TEST(PanoramaContext, NoContextWantedMeansNoContextMade) {
    gltest::NoDisplay noDisplay;
    gltest::LogCapture log;
    CHGlx glx;
    ASSERT_EQ(glx.Init(0, nullptr, false), QUORIX_OK);
    EXPECT_TRUE(log.Contains("GLRC already exists"));
    EXPECT_FALSE(glx.HasOwnContext());
    EXPECT_EQ(glx.MakeCurrent(), QUORIX_OK);
    EXPECT_EQ(gltest::CurrentEglContext(), EGL_NO_CONTEXT);
}

TEST(PanoramaContext, GlErrorsAreLoggedByName) {
    gltest::NoDisplay noDisplay;
    CHGlx glx;
    ASSERT_EQ(glx.Init(0, nullptr, true), QUORIX_OK);
    ASSERT_EQ(glx.MakeCurrent(), QUORIX_OK);
    gltest::LogCapture log;
    SPHERA::CRender::LogGlError("SPHERA::CRender::InitGL");  // nothing pending: nothing logged
    EXPECT_EQ(log.Text().find("GL("), std::string::npos);
    glEnable(0x7FFF);  // not a capability
    SPHERA::CRender::LogGlError("SPHERA::CRender::InitGL");
    EXPECT_TRUE(log.Contains("GL(0x500) Invalid Enum")) << log.Text();
    EXPECT_TRUE(log.Contains("SPHERA::CRender::InitGL"));
    const struct {
        uint32_t code;
        const char* text;
    } names[] = {{0x501, "Invalid Value"},
                 {0x502, "Invalid Operation"},
                 {0x503, "Stack Overflow"},
                 {0x504, "Stack Underflow"},
                 {0x505, "Out Of Memory"},
                 {0x506, "Other Error"},
                 {0, "No error"}};
    for (const auto& n : names) {
        EXPECT_EQ(std::string(SPHERA::CRender::GlErrorText(n.code)),
                  std::string("GL(%#x) ") + n.text);
    }
}

class PanoramaWindowContext : public ::testing::Test {
protected:
    void SetUp() override {
        if (gltest::TestDisplay().empty())
            GTEST_SKIP() << "QUORIX_TEST_DISPLAY is not set";
    }
};

TEST_F(PanoramaWindowContext, DrawsIntoTheHostWindow) {
    gltest::HostWindow window(320, 240);
    ASSERT_TRUE(window.ok()) << window.why();
    CHGlx glx;
    ASSERT_EQ(glx.Init(window.window(), window.display(), true), QUORIX_OK);
    EXPECT_TRUE(glx.HasOwnContext());
    EXPECT_FALSE(glx.IsWindowless());
    EXPECT_STREQ(glx.PlatformName(), "x11");
    ASSERT_EQ(glx.MakeCurrent(), QUORIX_OK);
    uint32_t w = 0, h = 0;
    glx.GetSurfaceSize(&w, &h);
    EXPECT_EQ(w, 320u);
    EXPECT_EQ(h, 240u);
    EXPECT_TRUE(glx.CoverArea(4000, 4000));  // a window is never resized by us
    glViewport(0, 0, 320, 240);
    glClearColor(0.0f, 0.0f, 1.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    uint8_t pixel[4] = {0, 0, 0, 0};
    glReadBuffer(GL_BACK);
    glReadPixels(10, 10, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
    EXPECT_EQ(pixel[2], 255);
    glx.Swap();
    glx.UnInit();
}

TEST_F(PanoramaWindowContext, OwnConnectionWhenNoDisplayIsGiven) {
    gltest::HostWindow window(200, 100);
    ASSERT_TRUE(window.ok()) << window.why();
    const std::string saved = std::getenv("DISPLAY") != nullptr ? std::getenv("DISPLAY") : "";
    setenv("DISPLAY", gltest::TestDisplay().c_str(), 1);
    {
        CHGlx glx;
        ASSERT_EQ(glx.Init(window.window(), nullptr, true), QUORIX_OK);
        EXPECT_STREQ(glx.PlatformName(), "xcb");
        EXPECT_EQ(glx.MakeCurrent(), QUORIX_OK);
        uint32_t w = 0, h = 0;
        glx.GetSurfaceSize(&w, &h);
        EXPECT_EQ(w, 200u);
        EXPECT_EQ(h, 100u);
        glx.Swap();

        int32_t sw = 0, sh = 0;
        CHGlx::GetScreenSize(&sw, &sh);
        EXPECT_EQ(sw, DisplayWidth(window.display(), DefaultScreen(window.display())));
        EXPECT_EQ(sh, DisplayHeight(window.display(), DefaultScreen(window.display())));

        glx.UnInit();

        // No window: the pbuffer goes onto the X display that is there.
        CHGlx hidden;
        ASSERT_EQ(hidden.Init(0, nullptr, true), QUORIX_OK);
        EXPECT_TRUE(hidden.IsWindowless());
        EXPECT_STREQ(hidden.PlatformName(), "xcb");
    }
    if (saved.empty()) {
        unsetenv("DISPLAY");
    } else {
        setenv("DISPLAY", saved.c_str(), 1);
    }
}

TEST_F(PanoramaWindowContext, AWindowThatIsGoneFailsCleanly) {
    gltest::HostWindow window(64, 64);
    ASSERT_TRUE(window.ok()) << window.why();
    const uintptr_t id = window.window();
    window.Destroy();
    gltest::LogCapture log;
    CHGlx glx;
    EXPECT_EQ(glx.Init(id, window.display(), true), QUORIX_E_NOT_SUPPORTED);
    EXPECT_TRUE(log.Contains("glx init wglCreateContext fail. errcode=")) << log.Text();
    EXPECT_FALSE(glx.IsInitialised());
    glx.UnInit();
}

}  // namespace
