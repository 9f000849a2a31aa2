// The renderer: thread mode and manual mode, start-up failure, status callbacks, the
// capability probe, and drawing into a host window that disappears.
#include <GL/glew.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <quorixsdk.h>

#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/hevent.h"
#include "panorama/gl_util.h"
#include "panorama/region.h"
#include "panorama/render.h"
#include "panorama/shader_embed.h"
#include "support/gl_test_context.h"

namespace {

using namespace SPHERA;

constexpr uint32_t kWaitMs = 20000;  // generous: llvmpipe on a loaded machine

struct StatusLog {
    std::mutex mutex;
    struct Entry {
        uint32_t status;
        pthread_t thread;
        bool contextCurrent;
        bool glWorks;
    };
    std::vector<Entry> entries;
};

void OnStatus(uint32_t status, void* user) {
    auto* log = static_cast<StatusLog*>(user);
    std::lock_guard<std::mutex> guard(log->mutex);
    log->entries.push_back({status, pthread_self(), gltest::CurrentEglContext() != EGL_NO_CONTEXT,
                            glGetString(GL_VERSION) != nullptr});
}

// A solid picture in the byte order of the type (RGB for 2, BGR for 4).
std::vector<uint8_t> Solid(uint32_t width, uint32_t height, uint8_t a, uint8_t b, uint8_t c) {
    std::vector<uint8_t> p(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < p.size(); i += 3)
        p[i] = a, p[i + 1] = b, p[i + 2] = c;
    return p;
}

uint32_t InputSolid(CRender* render, uint32_t width, uint32_t height, uint8_t r, uint8_t g,
                    uint8_t b) {
    const std::vector<uint8_t> pic = Solid(width, height, r, g, b);
    const uint8_t* planes[1] = {pic.data()};
    const uint32_t strides[1] = {width * 3};
    return InputFrame(render, 0, width, height, 2, planes, strides);
}

// The BGRA pixel in the middle of a one-shot read-back of a region.
bool SnapCentre(CRender* render, uint32_t region, uint8_t bgra[4]) {
    uint32_t w = 0, stride = 0, h = 0, format = 0;
    uint8_t* data = nullptr;
    const uint32_t result = Snap(render, region, kWaitMs, &w, &stride, &h, &format, &data);
    if (result != QUORIX_OK || data == nullptr) {
        ADD_FAILURE() << "Snap of region " << region << " answered " << std::hex << result;
        return false;
    }
    const uint8_t* p = data + static_cast<size_t>(h / 2) * stride + (w / 2) * 4;
    for (int i = 0; i < 4; ++i)
        bgra[i] = p[i];
    FreeSnapData(data);
    return format == 3 && w > 0 && h > 0;
}

class PanoramaRender : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(GlobalInit(), QUORIX_OK); }
    gltest::NoDisplay noDisplay_;
};

TEST_F(PanoramaRender, ThreadModeStartsDrawsAndStops) {
    CRender* render = nullptr;
    ASSERT_EQ(CreateRender(1, nullptr, 0, &render), QUORIX_OK);
    StatusLog status;
    ASSERT_EQ(SetStatusCallback(render, OnStatus, &status), QUORIX_OK);
    {
        gltest::LogCapture log;
        ASSERT_EQ(Init(render, 0, nullptr, true), QUORIX_OK);
        EXPECT_TRUE(log.Contains("OPENGL version: ")) << log.Text();
        EXPECT_TRUE(log.Contains("MAX INFO:FB_WIDTH "));
    }
    EXPECT_TRUE(render->IsRunning());
    EXPECT_EQ(Init(render, 0, nullptr, true), QUORIX_OK);  // already started
    {
        std::lock_guard<std::mutex> guard(status.mutex);
        ASSERT_EQ(status.entries.size(), 1u);
        EXPECT_EQ(status.entries[0].status, 1u);
        EXPECT_FALSE(pthread_equal(status.entries[0].thread, pthread_self()));
    }
    // The manual operations belong to manual mode.
    EXPECT_EQ(ManualInit(render, true), QUORIX_E_PARAM);
    EXPECT_EQ(ManualRender(render), QUORIX_E_PARAM);
    EXPECT_EQ(ManualSwapbuffers(render), QUORIX_E_PARAM);
    EXPECT_EQ(ManualUnInit(render), QUORIX_E_PARAM);

    ASSERT_EQ(EnableRegion(render, 0, 0, 0, 64, 48, true), QUORIX_OK);
    uint8_t px[4] = {};
    ASSERT_EQ(InputSolid(render, 32, 24, 250, 10, 20), QUORIX_OK);
    ASSERT_TRUE(SnapCentre(render, 0, px));
    EXPECT_NEAR(px[2], 250, 3);
    EXPECT_NEAR(px[1], 10, 3);
    EXPECT_NEAR(px[0], 20, 3);

    // A region beyond the stand-in's first size is still reachable: the pbuffer grows.
    ASSERT_EQ(EnableRegion(render, 1, 400, 300, 80, 60, true), QUORIX_OK);
    ASSERT_TRUE(SnapCentre(render, 1, px));
    EXPECT_NEAR(px[2], 250, 3);

    DestroyRender(render);
    std::lock_guard<std::mutex> guard(status.mutex);
    ASSERT_EQ(status.entries.size(), 2u);
    EXPECT_EQ(status.entries[1].status, 0u);
    // Announced while the context is still there to release the objects in.
    EXPECT_TRUE(status.entries[1].contextCurrent);
    EXPECT_TRUE(status.entries[1].glWorks);
    EXPECT_TRUE(pthread_equal(status.entries[0].thread, status.entries[1].thread));
}

TEST_F(PanoramaRender, RenderersDrawSideBySide) {
    // Ports render at the same time, each in a context of its own on the shared display.
    constexpr int kCount = 3;
    CRender* renders[kCount] = {};
    const uint8_t colours[kCount][3] = {{200, 0, 0}, {0, 200, 0}, {0, 0, 200}};
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(CreateRender(1, nullptr, 0, &renders[i]), QUORIX_OK);
        ASSERT_EQ(Init(renders[i], 0, nullptr, true), QUORIX_OK) << i;
        ASSERT_EQ(EnableRegion(renders[i], 0, 0, 0, 48, 32, true), QUORIX_OK);
        ASSERT_EQ(InputSolid(renders[i], 12, 8, colours[i][0], colours[i][1], colours[i][2]),
                  QUORIX_OK);
    }
    for (int i = 0; i < kCount; ++i) {
        uint8_t px[4] = {};
        ASSERT_TRUE(SnapCentre(renders[i], 0, px)) << i;
        EXPECT_NEAR(px[2], colours[i][0], 3) << i;
        EXPECT_NEAR(px[1], colours[i][1], 3) << i;
        EXPECT_NEAR(px[0], colours[i][2], 3) << i;
    }
    // One of them going away leaves the others drawing.
    DestroyRender(renders[0]);
    ASSERT_EQ(InputSolid(renders[1], 12, 8, 7, 77, 177), QUORIX_OK);
    uint8_t px[4] = {};
    ASSERT_TRUE(SnapCentre(renders[1], 0, px));
    EXPECT_NEAR(px[1], 77, 3);
    DestroyRender(renders[1]);
    DestroyRender(renders[2]);
}

TEST_F(PanoramaRender, RestartAfterUnInit) {
    CRender* render = nullptr;
    ASSERT_EQ(CreateRender(1, nullptr, 0, &render), QUORIX_OK);
    // A frame that arrived before the GL objects existed is shown once they do, and a restart
    // shows the last frame again without waiting for a new one.
    ASSERT_EQ(InputSolid(render, 16, 16, 0, 0, 255), QUORIX_OK);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(Init(render, 0, nullptr, true), QUORIX_OK) << round;
        ASSERT_EQ(EnableRegion(render, 0, 0, 0, 32, 32, true), QUORIX_OK);
        uint8_t px[4] = {};
        ASSERT_TRUE(SnapCentre(render, 0, px)) << round;
        EXPECT_NEAR(px[0], 255, 3) << round;
        EXPECT_NEAR(px[1], 0, 3) << round;
        EXPECT_NEAR(px[2], 0, 3) << round;
        ASSERT_EQ(UnInit(render), QUORIX_OK);
        EXPECT_FALSE(render->IsRunning());
        EXPECT_FALSE(render->GetRegion(0)->IsEnabled());  // UnInit disables every region
    }
    DestroyRender(render);
}

TEST_F(PanoramaRender, FailedGlStartStopsTheThread) {
    gltest::LogCapture log;
    SetShaderSources("this is not a shader", g_sphereFragSource);
    CRender* render = nullptr;
    ASSERT_EQ(CreateRender(1, nullptr, 0, &render), QUORIX_OK);
    StatusLog status;
    SetStatusCallback(render, OnStatus, &status);
    EXPECT_EQ(Init(render, 0, nullptr, true), QUORIX_E_NOT_SUPPORTED);
    EXPECT_FALSE(render->IsRunning());
    EXPECT_FALSE(render->IsStarted());
    EXPECT_TRUE(log.Contains("vert:")) << log.Text();
    EXPECT_TRUE(log.Contains("m_bThreadDone value is false.it means InitGL function failed"));
    EXPECT_TRUE(status.entries.empty());  // nothing was announced, nothing is withdrawn
    DestroyRender(render);
    SetShaderSources(nullptr, nullptr);
    GlobalUnInit();
    ASSERT_EQ(GlobalInit(), QUORIX_OK);
}

TEST_F(PanoramaRender, CapabilityProbe) {
    EXPECT_TRUE(CheckSupport(0, nullptr));
    EXPECT_EQ(gltest::CurrentEglContext(), EGL_NO_CONTEXT);  // the probe's context is gone
    gltest::LogCapture log;
    SetShaderSources(g_sphereVertSource, "void main() { broken }");
    EXPECT_FALSE(CheckSupport(0, nullptr));
    EXPECT_TRUE(log.Contains("frag:")) << log.Text();
    SetShaderSources(nullptr, nullptr);
    EXPECT_FALSE(CheckSupport(0, nullptr));  // no shader text at all
    GlobalUnInit();
    ASSERT_EQ(GlobalInit(), QUORIX_OK);
    EXPECT_TRUE(CheckSupport(0, nullptr));
}

// A GLSL 1.20 text with the renderer's compile-time definitions placed after its #version line.
std::string WithDefines(const char* text, const std::string& defines) {
    const std::string source = text;
    const size_t at = source.find('\n') + 1;
    return source.substr(0, at) + defines + source.substr(at);
}

// Each shader file is linked with the stage it feeds, and the uniforms that the other side of
// the renderer sets are live in the result. A file edited on one side of an interface would
// otherwise only make the renderer fall back without a word: the map passes to the slower
// direct camera pass, the region's compose pass to the renderer's program.
TEST_F(PanoramaRender, EveryShaderFileLinksWithTheStageItFeeds) {
    CHGlx glx;
    ASSERT_EQ(glx.Init(0, nullptr, true), QUORIX_OK);
    ASSERT_EQ(glx.MakeCurrent(), QUORIX_OK);
    glewExperimental = GL_TRUE;
    (void)glewInit();
    const std::string fixed = "#define QX_FIXED_MODEL 2\n#define QX_FIXED_DISPLAY 13\n";
    const struct {
        const char* name;
        std::string vert, frag;
        std::vector<const char*> uniforms;
    } pairs[] = {
        {"camera pass",
         g_sphereVertSource,
         g_sphereFragSource,
         {"g_m4Project", "g_m4ModelView", "g_nModelType", "g_nDisplayType", "g_m3K", "g_sTex"}},
        {"map pass",
         WithDefines(g_sphereVertSource, fixed + "#define QX_MAP_PASS 1\n"),
         WithDefines(g_sphereFragSource, fixed + "#define QX_MAP_PASS 1\n"),
         {"g_m4Project", "g_m4ModelView", "g_m3K"}},
        {"apply pass",
         WithDefines(g_applyVertSource, fixed + "#define QX_APPLY_PASS 1\n"),
         WithDefines(g_sphereFragSource, fixed + "#define QX_APPLY_PASS 1\n"),
         {"g_sMap", "g_v2ViewSize", "g_v2MapOrigin", "g_sTex"}},
        {"compose pass",
         g_composeVertSource,
         g_composeFragSource,
         {"g_nFlip", "g_sTex_bkg", "g_nDrawBK", "g_fBrightness", "g_fSaturation", "g_fContrast"}},
    };
    for (const auto& pair : pairs) {
        SCOPED_TRACE(pair.name);
        gltest::LogCapture log;
        const uint32_t program = BuildProgram(pair.vert.c_str(), pair.frag.c_str(), "..\\src\\t");
        ASSERT_NE(program, 0u) << log.Text();
        for (const char* uniform : pair.uniforms)
            EXPECT_GE(glGetUniformLocation(program, uniform), 0) << uniform;
        EXPECT_EQ(glGetAttribLocation(program, "g_vertexIn"), static_cast<GLint>(kVertexAttribute));
        glDeleteProgram(program);
    }
    glx.UnInit();
}

// The shared helpers write the lines their callers have always written: the caller's source
// and function, the info logs under their own names, and nothing when the caller has a fallback.
TEST_F(PanoramaRender, GlHelpersLogAsTheirCallers) {
    CHGlx glx;
    ASSERT_EQ(glx.Init(0, nullptr, true), QUORIX_OK);
    ASSERT_EQ(glx.MakeCurrent(), QUORIX_OK);
    glewExperimental = GL_TRUE;
    (void)glewInit();
    const char* const good = "#version 120\nvoid main() { gl_Position = vec4(0.0); }\n";
    const char* const broken = "#version 120\nvoid main() { broken }\n";
    // The fragment stage reads a varying that the vertex stage never declares.
    const char* const unmatched =
        "#version 120\nvarying vec2 v_missing;\nvoid main() { gl_FragColor = vec4(v_missing, "
        "0.0, 1.0); }\n";
    {
        gltest::LogCapture log;
        EXPECT_EQ(CreateShader(GL_VERTEX_SHADER, broken, "..\\src\\render", "vert:"), 0u);
        EXPECT_TRUE(log.Contains("<render SPHERA::_print_shader_info_log LINE:")) << log.Text();
        EXPECT_TRUE(log.Contains("> vert:")) << log.Text();
        EXPECT_EQ(BuildProgram(good, unmatched, "..\\src\\render"), 0u);
        EXPECT_TRUE(log.Contains("<render SPHERA::_print_program_info_log LINE:")) << log.Text();
    }
    {
        gltest::LogCapture log;
        EXPECT_EQ(BuildProgram(broken, broken, nullptr), 0u);
        EXPECT_EQ(BuildProgram(good, unmatched, nullptr), 0u);
        EXPECT_EQ(log.Text(), "");
    }
    {
        gltest::LogCapture log;
        while (glGetError() != GL_NO_ERROR) {
        }
        LogGlError("..\\src\\region", "SPHERA::CRegion::RenderEnd", 812);  // nothing pending
        glEnable(0x7FFF);                                                  // not a capability
        LogGlError("..\\src\\region", "SPHERA::CRegion::RenderEnd", 812);
        EXPECT_TRUE(
            log.Contains("<region SPHERA::CRegion::RenderEnd LINE:812> GL(0x500) Invalid Enum"))
            << log.Text();
        EXPECT_EQ(log.Text().find("GL("), log.Text().rfind("GL("));  // one line only
    }
    glx.UnInit();
}

TEST_F(PanoramaRender, ManualModeDrawsIntoTheHostsContext) {
    gltest::HostContext host(128, 128);
    ASSERT_TRUE(host.ok());
    glewExperimental = GL_TRUE;
    (void)glewInit();
    CRender* render = nullptr;
    ASSERT_EQ(CreateRender(1, nullptr, 0, &render), QUORIX_OK);
    StatusLog status;
    SetStatusCallback(render, OnStatus, &status);
    EXPECT_EQ(ManualInit(render, false), QUORIX_E_PARAM);  // not in manual mode yet
    ASSERT_EQ(Init(render, 0, nullptr, false), QUORIX_OK);
    EXPECT_FALSE(render->IsRunning());
    EXPECT_EQ(ManualRender(render), QUORIX_OK);  // no GL yet: nothing drawn, nothing refused
    EXPECT_TRUE(status.entries.empty());

    gltest::LogCapture log;
    ASSERT_EQ(ManualInit(render, true), QUORIX_OK);
    EXPECT_TRUE(log.Contains("GLRC already exists"));
    EXPECT_EQ(gltest::CurrentEglContext(), host.context());
    ASSERT_EQ(status.entries.size(), 1u);
    EXPECT_TRUE(pthread_equal(status.entries[0].thread, pthread_self()));

    EXPECT_EQ(ManualRender(render), QUORIX_E_NOT_OPEN);  // no region enabled
    ASSERT_EQ(EnableRegion(render, 0, 16, 16, 64, 64, true), QUORIX_OK);
    ASSERT_EQ(InputSolid(render, 8, 8, 0, 200, 40), QUORIX_OK);
    ASSERT_EQ(ManualRender(render), QUORIX_OK);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    uint8_t inside[4] = {}, outside[4] = {};
    glReadPixels(48, 48, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, inside);
    EXPECT_NEAR(inside[0], 0, 3);
    EXPECT_NEAR(inside[1], 200, 3);
    EXPECT_NEAR(inside[2], 40, 3);
    glReadPixels(100, 100, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, outside);
    EXPECT_NE(outside[1], 200);  // the region's rectangle only
    EXPECT_EQ(ManualSwapbuffers(render), QUORIX_OK);

    EXPECT_EQ(ManualUnInit(render), QUORIX_OK);
    ASSERT_EQ(status.entries.size(), 2u);
    EXPECT_EQ(status.entries[1].status, 0u);
    EXPECT_EQ(gltest::CurrentEglContext(), host.context());  // the host keeps its context
    EXPECT_EQ(ManualRender(render), QUORIX_OK);              // released: nothing to draw with
    DestroyRender(render);

    EXPECT_EQ(ManualInit(nullptr, true), QUORIX_E_PARAM);
    EXPECT_EQ(ManualRender(nullptr), QUORIX_E_PARAM);
    EXPECT_EQ(ManualSwapbuffers(nullptr), QUORIX_E_PARAM);
    EXPECT_EQ(ManualUnInit(nullptr), QUORIX_E_PARAM);
    EXPECT_EQ(Init(nullptr, 0, nullptr, true), QUORIX_E_PARAM);
}

TEST_F(PanoramaRender, ManualModeWithItsOwnHeadlessContext) {
    CRender* render = nullptr;
    ASSERT_EQ(CreateRender(1, nullptr, 0, &render), QUORIX_OK);
    ASSERT_EQ(Init(render, 0, nullptr, false), QUORIX_OK);
    ASSERT_EQ(ManualInit(render, true), QUORIX_OK);
    EXPECT_TRUE(render->Glx().IsWindowless());
    ASSERT_EQ(EnableRegion(render, 0, 0, 0, 40, 30, true), QUORIX_OK);
    ASSERT_EQ(InputSolid(render, 8, 8, 255, 255, 0), QUORIX_OK);
    ASSERT_EQ(ManualRender(render), QUORIX_OK);
    uint8_t px[4] = {};
    glReadPixels(20, 15, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, px);
    EXPECT_NEAR(px[0], 255, 3);
    EXPECT_NEAR(px[1], 255, 3);
    EXPECT_NEAR(px[2], 0, 3);
    EXPECT_EQ(ManualUnInit(render), QUORIX_OK);
    EXPECT_EQ(gltest::CurrentEglContext(), EGL_NO_CONTEXT);
    DestroyRender(render);
}

TEST_F(PanoramaRender, SphereGridIsBuiltOnceAndKept) {
    CRender* render = nullptr;
    ASSERT_EQ(CreateRender(2, nullptr, 0, &render), QUORIX_OK);
    ASSERT_EQ(Init(render, 0, nullptr, false), QUORIX_OK);
    ASSERT_EQ(ManualInit(render, true), QUORIX_OK);
    EXPECT_EQ(render->GetGridCount(), 0u);

    // Rows of triangle strips: per column the upper then the lower vertex of the row.
    render->DrawGrid(4, 3);
    const uint32_t buffer = render->GetGridBuffer(4, 3);
    ASSERT_NE(buffer, 0u);
    std::vector<float> v(5 * 3 * 2 * 3);
    glBindBuffer(GL_ARRAY_BUFFER, buffer);
    GLint64 size = 0;
    glGetBufferParameteri64v(GL_ARRAY_BUFFER, GL_BUFFER_SIZE, &size);
    ASSERT_EQ(size, static_cast<GLint64>(v.size() * sizeof(float)));
    glGetBufferSubData(GL_ARRAY_BUFFER, 0, static_cast<GLsizeiptr>(v.size() * sizeof(float)),
                       v.data());
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c <= 4; ++c) {
            const float* upper = &v[static_cast<size_t>(((r * 5 + c) * 2) * 3)];
            const float* lower = upper + 3;
            EXPECT_NEAR(upper[0], c / 4.0, 1e-6) << r << "," << c;
            EXPECT_NEAR(upper[1], (r + 1) / 3.0, 1e-6) << r << "," << c;
            EXPECT_EQ(upper[2], 1.0f);
            EXPECT_NEAR(lower[0], c / 4.0, 1e-6);
            EXPECT_NEAR(lower[1], r / 3.0, 1e-6);
        }
    }
    render->DrawGrid(4, 3);
    EXPECT_EQ(render->GetGridBuffer(4, 3), buffer);  // drawn again from the kept buffer
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

    // A few densities are kept; the least recently drawn one makes room.
    render->DrawGrid(8, 6);
    render->DrawGrid(16, 12);
    render->DrawGrid(4, 3);
    render->DrawGrid(32, 24);
    EXPECT_EQ(render->GetGridCount(), 4u);
    render->DrawGrid(64, 48);
    EXPECT_EQ(render->GetGridCount(), 4u);
    EXPECT_EQ(render->GetGridBuffer(8, 6), 0u);
    EXPECT_NE(render->GetGridBuffer(4, 3), 0u);
    render->DrawGrid(0, 10);  // nothing to build
    render->DrawGrid(100000, 10);
    EXPECT_EQ(render->GetGridCount(), 4u);

    EXPECT_EQ(ManualUnInit(render), QUORIX_OK);
    EXPECT_EQ(render->GetGridCount(), 0u);
    DestroyRender(render);
}

// ---- on an X server ----

struct DrawCount {
    std::mutex mutex;
    uint32_t frames = 0;
    BRIXEL::CHEvent drawn{true, false, false};
};

void OnDraw(uint16_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
            void* user) {
    auto* count = static_cast<DrawCount*>(user);
    {
        std::lock_guard<std::mutex> guard(count->mutex);
        ++count->frames;
    }
    count->drawn.Set();
}

uint32_t Frames(DrawCount& count) {
    std::lock_guard<std::mutex> guard(count.mutex);
    return count.frames;
}

// Fewer passes of the render loop than an idle renderer waits before it draws its unchanged
// picture again for a window that may have been uncovered.
constexpr uint32_t kQuietPasses = 10;

// `change` is drawn in exactly one frame within the next passes of the render loop (counted by
// the loop itself, whatever the time they take), after which the renderer stays idle.
void ExpectOneFrameFor(CRender* render, DrawCount& count, const char* what,
                       const std::function<void()>& change) {
    const uint32_t before = Frames(count);
    const uint64_t drawnBefore = render->GetDrawnFrames();
    change();
    ASSERT_TRUE(render->WaitLoopPasses(kQuietPasses, kWaitMs)) << what;
    EXPECT_EQ(Frames(count), before + 1) << what;
    EXPECT_EQ(render->GetDrawnFrames(), drawnBefore + 1) << what;
}

// A host that ignores X errors of windows it destroyed, as hosts that destroy windows do.
int IgnoreXErrors(Display*, XErrorEvent*) {
    return 0;
}

class PanoramaRenderWindow : public ::testing::Test {
protected:
    void SetUp() override {
        if (gltest::TestDisplay().empty())
            GTEST_SKIP() << "QUORIX_TEST_DISPLAY is not set";
        ASSERT_EQ(GlobalInit(), QUORIX_OK);
        saved_ = std::getenv("DISPLAY") != nullptr ? std::getenv("DISPLAY") : "";
        setenv("DISPLAY", gltest::TestDisplay().c_str(), 1);
    }
    void TearDown() override {
        if (saved_.empty()) {
            unsetenv("DISPLAY");
        } else {
            setenv("DISPLAY", saved_.c_str(), 1);
        }
    }
    std::string saved_;
};

TEST_F(PanoramaRenderWindow, ThreadModeDrawsIntoTheWindow) {
    gltest::HostWindow window(320, 240);
    ASSERT_TRUE(window.ok()) << window.why();
    CRender* render = nullptr;
    ASSERT_EQ(CreateRender(1, nullptr, 0, &render), QUORIX_OK);
    ASSERT_EQ(Init(render, window.window(), window.display(), true), QUORIX_OK);
    ASSERT_EQ(EnableRegion(render, 0, 0, 0, 320, 240, true), QUORIX_OK);
    ASSERT_EQ(InputSolid(render, 64, 48, 30, 60, 220), QUORIX_OK);
    uint8_t px[4] = {};
    ASSERT_TRUE(SnapCentre(render, 0, px));
    EXPECT_NEAR(px[2], 30, 3);
    EXPECT_NEAR(px[1], 60, 3);
    EXPECT_NEAR(px[0], 220, 3);
    DestroyRender(render);
}

TEST_F(PanoramaRenderWindow, HostWindowDestroyedWhileDrawing) {
    XErrorHandler previous = XSetErrorHandler(IgnoreXErrors);
    // On the host's Display* and on the library's own connection.
    for (bool hostDisplay : {true, false}) {
        gltest::HostWindow window(160, 120);
        ASSERT_TRUE(window.ok()) << window.why();
        CRender* render = nullptr;
        ASSERT_EQ(CreateRender(1, nullptr, 0, &render), QUORIX_OK);
        DrawCount count;
        ASSERT_EQ(SetDrawCallback(render, 0, OnDraw, &count), QUORIX_OK);
        ASSERT_EQ(Init(render, window.window(), hostDisplay ? window.display() : nullptr, true),
                  QUORIX_OK);
        ASSERT_EQ(EnableRegion(render, 0, 0, 0, 160, 120, true), QUORIX_OK);
        ASSERT_EQ(InputSolid(render, 16, 16, 1, 2, 3), QUORIX_OK);
        ASSERT_EQ(count.drawn.Wait(kWaitMs), 0u);

        gltest::LogCapture log;
        window.Destroy();
        // The renderer keeps drawing, off-screen now, until it is stopped.
        for (int frame = 0; frame < 5; ++frame) {
            ASSERT_EQ(InputSolid(render, 16, 16, 4, 5, static_cast<uint8_t>(frame)), QUORIX_OK);
            ASSERT_EQ(count.drawn.Wait(kWaitMs), 0u)
                << "frame " << frame << (hostDisplay ? " host" : " own");
        }
        EXPECT_TRUE(render->IsRunning());
        ASSERT_EQ(InputSolid(render, 16, 16, 90, 180, 30), QUORIX_OK);
        uint8_t px[4] = {};
        ASSERT_TRUE(SnapCentre(render, 0, px));  // read-back still works
        EXPECT_NEAR(px[2], 90, 3);
        EXPECT_NEAR(px[1], 180, 3);
        EXPECT_TRUE(log.Contains("drawing goes on off-screen")) << log.Text();
        DestroyRender(render);
    }
    XSetErrorHandler(previous);
}

// A paused port's renderer draws nothing while its picture and view stay as they are, draws
// each change of picture, view, region or settings in exactly one frame, and still answers
// one-shot read-backs and project requests made while it is idle.
TEST_F(PanoramaRender, IdleRendererDrawsOnlyOnChange) {
    CRender* render = nullptr;
    ASSERT_EQ(CreateRender(SPH_MODEL_FISHEYE, nullptr, 0, &render), QUORIX_OK);
    DrawCount count;
    ASSERT_EQ(SetDrawCallback(render, 0, OnDraw, &count), QUORIX_OK);
    ASSERT_EQ(Init(render, 0, nullptr, true), QUORIX_OK);
    ASSERT_EQ(EnableRegion(render, 0, 0, 0, 64, 48, true), QUORIX_OK);
    ASSERT_EQ(InputSolid(render, 32, 24, 200, 40, 10), QUORIX_OK);
    ASSERT_EQ(count.drawn.Wait(kWaitMs), 0u);
    // The stand-in surface grows to the region with the first frame, which is drawn again.
    ASSERT_TRUE(render->WaitLoopPasses(5, kWaitMs));

    const uint32_t idle = Frames(count);
    ASSERT_TRUE(render->WaitLoopPasses(kQuietPasses, kWaitMs));
    EXPECT_EQ(Frames(count), idle) << "an unchanged picture was drawn again";

    uint32_t listed = 16;
    int32_t types[16] = {};
    ASSERT_EQ(GetDisplayTypeList(render, types, &listed), QUORIX_OK);
    ASSERT_GE(listed, 2u);
    int32_t current = -1;
    ASSERT_EQ(GetDisplayType(render, 0, &current), QUORIX_OK);
    const int32_t other = types[0] != current ? types[0] : types[1];

    ExpectOneFrameFor(render, count, "new picture",
                      [&] { ASSERT_EQ(InputSolid(render, 32, 24, 10, 200, 40), QUORIX_OK); });
    ExpectOneFrameFor(render, count, "pan, tilt and zoom",
                      [&] { ASSERT_EQ(SetPtz(render, 0, 20.0f, 10.0f, 1.5f), QUORIX_OK); });
    ExpectOneFrameFor(render, count, "display type",
                      [&] { ASSERT_EQ(SetDisplayType(render, 0, other), QUORIX_OK); });
    ExpectOneFrameFor(render, count, "flip",
                      [&] { ASSERT_EQ(SetFlip(render, 0, SPH_FLIP_BOTH), QUORIX_OK); });
    ExpectOneFrameFor(render, count, "ratio",
                      [&] { ASSERT_EQ(SetRatioType(render, 0, 0), QUORIX_OK); });
    ExpectOneFrameFor(render, count, "background",
                      [&] { ASSERT_EQ(SetBackgroundColor(render, 0, 0x00FF00u), QUORIX_OK); });
    // Inside the surface drawn so far: a grown stand-in would be a change of its own.
    ExpectOneFrameFor(render, count, "region rectangle",
                      [&] { ASSERT_EQ(EnableRegion(render, 0, 8, 4, 40, 30, true), QUORIX_OK); });

    // Requests made while idle are answered from a frame drawn for them.
    ASSERT_EQ(SetDisplayType(render, 0, types[0]), QUORIX_OK);
    ASSERT_EQ(SetPtz(render, 0, 0.0f, 0.0f, 1.0f), QUORIX_OK);
    ASSERT_EQ(SetFlip(render, 0, 0), QUORIX_OK);
    ASSERT_EQ(SetRatioType(render, 0, 1), QUORIX_OK);
    ASSERT_EQ(count.drawn.Wait(kWaitMs), 0u);
    ASSERT_TRUE(render->WaitLoopPasses(kQuietPasses, kWaitMs));
    uint8_t px[4] = {};
    ASSERT_TRUE(SnapCentre(render, 0, px));
    EXPECT_NEAR(px[2], 10, 3);
    EXPECT_NEAR(px[1], 200, 3);
    EXPECT_NEAR(px[0], 40, 3);
    ASSERT_TRUE(render->WaitLoopPasses(kQuietPasses, kWaitMs));
    const float xs[1] = {0.5f}, ys[1] = {0.5f};
    float outX[1] = {-1.0f}, outY[1] = {-1.0f};
    EXPECT_EQ(UnProject(render, 0, xs, ys, outX, outY, 1), QUORIX_OK);
    EXPECT_EQ(Project(render, 0, xs, ys, outX, outY, 1), QUORIX_OK);

    // Off-screen, nothing is ever uncovered: the picture is not drawn again by itself. (The
    // answer comes before the frame's draw callback: that frame ends first.)
    ASSERT_TRUE(render->WaitLoopPasses(2, kWaitMs));
    const uint32_t quiet = Frames(count);
    ASSERT_TRUE(render->WaitLoopPasses(4 * kQuietPasses, kWaitMs));
    EXPECT_EQ(Frames(count), quiet);
    DestroyRender(render);
}

// A window the host resizes is drawn again at its new size, and a window that lost its picture
// (uncovered, or cleared by the host) gets it back, each in one frame.
TEST_F(PanoramaRenderWindow, ResizedOrExposedWindowIsDrawnAgain) {
    gltest::HostWindow window(160, 120);
    ASSERT_TRUE(window.ok()) << window.why();
    CRender* render = nullptr;
    ASSERT_EQ(CreateRender(1, nullptr, 0, &render), QUORIX_OK);
    DrawCount count;
    ASSERT_EQ(SetDrawCallback(render, 0, OnDraw, &count), QUORIX_OK);
    ASSERT_EQ(Init(render, window.window(), nullptr, true), QUORIX_OK);
    ASSERT_EQ(EnableRegion(render, 0, 0, 0, 160, 120, true), QUORIX_OK);
    ASSERT_EQ(InputSolid(render, 16, 16, 1, 2, 3), QUORIX_OK);
    ASSERT_EQ(count.drawn.Wait(kWaitMs), 0u);
    ASSERT_TRUE(render->WaitLoopPasses(3, kWaitMs));
    ExpectOneFrameFor(render, count, "window resize", [&] {
        XResizeWindow(window.display(), window.window(), 200, 150);
        XSync(window.display(), False);
    });
    ExpectOneFrameFor(render, count, "exposure", [&] {
        XClearArea(window.display(), window.window(), 0, 0, 0, 0, True);
        XSync(window.display(), False);
    });
    const uint32_t quiet = Frames(count);
    ASSERT_TRUE(render->WaitLoopPasses(4 * kQuietPasses, kWaitMs));
    EXPECT_EQ(Frames(count), quiet) << "an unchanged window was drawn again";
    DestroyRender(render);
}

}  // namespace

// Planar 4:2:0 pictures come out in the colours of their own matrix and range, on the plain
// quad and through the fisheye's texture-coordinate map; a swap of the chroma planes or a lost
// one would move red and blue by tens of levels.
TEST_F(PanoramaRender, PlanarYuvKeepsItsColours) {
    constexpr uint32_t kW = 64, kH = 64;
    const uint8_t yv = 120, uv = 100, vv = 170;
    std::vector<uint8_t> y(kW * kH, yv), u(kW * kH / 4, uv), v(kW * kH / 4, vv);
    struct Case {
        int32_t model;
        BRIXEL::CHYUVColour colour;
    } cases[] = {{SPH_MODEL_NORMAL, BRIXEL::HYUV_BT601_LIMITED},
                 {SPH_MODEL_FISHEYE, BRIXEL::HYUV_BT601_LIMITED},
                 {SPH_MODEL_NORMAL, BRIXEL::HYUV_BT709_FULL},
                 {SPH_MODEL_NORMAL, BRIXEL::HYUV_BT709_LIMITED}};
    for (const Case& c : cases) {
        const int32_t model = c.model;
        SCOPED_TRACE(std::to_string(model) + " colour " + std::to_string(c.colour));
        const bool bt709 = c.colour >= BRIXEL::HYUV_BT709_LIMITED;
        const bool full =
            c.colour == BRIXEL::HYUV_BT601_FULL || c.colour == BRIXEL::HYUV_BT709_FULL;
        const double kr = bt709 ? 0.2126 : 0.299, kb = bt709 ? 0.0722 : 0.114;
        const double Y = full ? yv : (yv - 16) * 255.0 / 219.0;
        const double U = (uv - 128.0) * (full ? 1.0 : 255.0 / 224.0);
        const double V = (vv - 128.0) * (full ? 1.0 : 255.0 / 224.0);
        const double R = Y + 2 * (1 - kr) * V, B = Y + 2 * (1 - kb) * U;
        const double want[3] = {R, (Y - kr * R - kb * B) / (1 - kr - kb), B};
        CRender* render = nullptr;
        ASSERT_EQ(CreateRender(model, nullptr, 0, &render), QUORIX_OK);
        ASSERT_EQ(Init(render, 0, nullptr, true), QUORIX_OK);
        ASSERT_EQ(EnableRegion(render, 0, 0, 0, 96, 96, true), QUORIX_OK);
        const uint8_t* planes[3] = {y.data(), u.data(), v.data()};
        const uint32_t strides[3] = {kW, kW / 2, kW / 2};
        ASSERT_EQ(InputFrame(render, 0, kW, kH, 20, planes, strides, c.colour), QUORIX_OK);
        uint8_t px[4] = {};
        // The second read-back comes from a frame drawn after the picture arrived.
        ASSERT_TRUE(SnapCentre(render, 0, px));
        ASSERT_TRUE(SnapCentre(render, 0, px));
        EXPECT_NEAR(px[2], want[0], 2);
        EXPECT_NEAR(px[1], want[1], 2);
        EXPECT_NEAR(px[0], want[2], 2);
        DestroyRender(render);
    }
}
