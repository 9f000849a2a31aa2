// The OpenGL renderer of a port: the process-wide shader text and the capability probe, the
// renderer's life (context, GL objects, render thread) and the frame it draws. Its programs are
// in render_program.cpp, its vertex buffers in render_mesh.cpp and the operations the player
// port calls in render_ops.cpp.

#include "panorama/render.h"

#include <GL/glew.h>
#include <pthread.h>
#include <quorixsdk_codes.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "base/hclock.h"
#include "base/hlog.h"
#include "panorama/gl_util.h"
#include "panorama/shader_embed.h"

namespace SPHERA {

namespace {

constexpr const char* kSource = "..\\src\\render";
constexpr const char* kModule = "sphview";
constexpr uint32_t kFrameWaitMs = 40;
// A window that was covered and is shown again has lost its picture. Where its exposures cannot
// be watched, an idle port draws its unchanged picture again after this many passes (about a
// second), a twenty-fifth of what drawing every pass costs.
constexpr uint32_t kIdleRedrawPasses = 25;
// The render thread reports a failed start by ending, which ends the polling at once. A thread
// that is still alive is still compiling shaders, which a software renderer on a busy machine
// may take well over half a second to do, so it gets up to 10 s before it is given up.
constexpr uint32_t kStartPolls = 500;
constexpr uint32_t kStartPollMs = 20;
// The largest target drawn through a texture-coordinate map (37 MB of map).
constexpr uint64_t kMaxRemapPixels = 1920 * 1200;

// Process-wide: the shader text and the unit square. Guarded by g_globalMutex.
std::mutex g_globalMutex;
bool g_globalInit = false;
std::string g_vertSource;
std::string g_fragSource;
const float kQuad[8] = {0, 1, 0, 0, 1, 1, 1, 0};

std::atomic<bool> g_forceDirect{false};
std::atomic<bool> g_drawEveryPass{false};

// GLEW keeps its entry points in globals; two renderers starting at once must not fill them
// concurrently.
std::mutex g_glewMutex;

void InitGlew() {
    std::lock_guard<std::mutex> guard(g_glewMutex);
    glewExperimental = GL_TRUE;
    // Under EGL this answers "no GLX display" after it has loaded every GL entry point.
    (void)glewInit();
    // GLEW probes with calls that may leave an error behind; it is not ours to report.
    while (glGetError() != GL_NO_ERROR) {
    }
}

// A stop that runs out of time cancels the render thread at its next cancellation point. Inside
// the GL driver that would unwind through the driver's own locks and wedge every other context
// of the process, so GL work runs with cancellation held off; the frame wait stays cancellable.
class NoCancel {
public:
    NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &m_old); }
    ~NoCancel() { pthread_setcancelstate(m_old, nullptr); }
    NoCancel(const NoCancel&) = delete;
    NoCancel& operator=(const NoCancel&) = delete;

private:
    int m_old = PTHREAD_CANCEL_ENABLE;
};

bool ShaderSources(std::string* vert, std::string* frag) {
    std::lock_guard<std::mutex> guard(g_globalMutex);
    *vert = g_vertSource;
    *frag = g_fragSource;
    return !vert->empty() && !frag->empty();
}

const char* GlString(GLenum name) {
    const GLubyte* s = glGetString(name);
    return s != nullptr ? reinterpret_cast<const char*>(s) : "";
}

// Everything the camera pass's texture coordinates and depth follow from: the view uniforms, the
// mesh, the target and the lens.
void MakeRemapKey(const RegionView& view, int32_t model, const CameraCalibration& c,
                  RemapKey* key) {
    *key = RemapKey{};
    key->Add(model);
    key->Add(view.displayType);
    key->Add(static_cast<int32_t>(view.targetWidth));
    key->Add(static_cast<int32_t>(view.targetHeight));
    key->Add(view.adaptMode);
    key->Add(view.videoAspect);
    key->Add(view.panUniform);
    for (float v : view.project)
        key->Add(v);
    for (float v : view.modelView)
        key->Add(v);
    const GridSize grid = GridDensity(model, view);
    key->Add(grid.columns);
    key->Add(grid.rows);
    for (float v : c.K)
        key->Add(v);
    for (float v : c.R)
        key->Add(v);
    for (float v : c.KDinv)
        key->Add(v);
    for (float v : c.D)
        key->Add(v);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// process-wide

uint32_t GlobalInit() {
    std::lock_guard<std::mutex> guard(g_globalMutex);
    if (g_globalInit)
        return QUORIX_OK;
    try {
        if (g_vertSource.empty())
            g_vertSource = g_sphereVertSource;
        if (g_fragSource.empty())
            g_fragSource = g_sphereFragSource;
    } catch (const std::bad_alloc&) {
        return QUORIX_E_NO_MEMORY;
    }
    g_globalInit = true;
    return QUORIX_OK;
}

void ForceDirectCameraPass(bool force) {
    g_forceDirect.store(force);
}

void DrawEveryPass(bool every) {
    g_drawEveryPass.store(every);
}

void GlobalUnInit() {
    std::lock_guard<std::mutex> guard(g_globalMutex);
    g_globalInit = false;
}

void SetShaderSources(const char* vertexSource, const char* fragmentSource) {
    std::lock_guard<std::mutex> guard(g_globalMutex);
    g_vertSource = vertexSource != nullptr ? vertexSource : "";
    g_fragSource = fragmentSource != nullptr ? fragmentSource : "";
}

bool CheckSupport(uintptr_t window, void* dc) {
    CHGlx glx;
    if (glx.Init(window, dc, true) != QUORIX_OK || glx.MakeCurrent() != QUORIX_OK) {
        glx.UnInit();
        return false;
    }
    (void)GlString(GL_VERSION);
    (void)GlString(GL_SHADING_LANGUAGE_VERSION);
    InitGlew();
    bool supported = false;
    std::string vert, frag;
    if (ShaderSources(&vert, &frag) && glCreateShader != nullptr) {
        GLuint vs = glCreateShader(GL_VERTEX_SHADER);
        GLuint fs = glCreateShader(GL_FRAGMENT_SHADER);
        if (vs != 0 && fs != 0) {
            supported = CompileShader(vs, vert.c_str(), kSource, "vert:") &&
                        CompileShader(fs, frag.c_str(), kSource, "frag:");
        }
        if (vs != 0)
            glDeleteShader(vs);
        if (fs != 0)
            glDeleteShader(fs);
    }
    glx.UnInit();
    return supported;
}

// ---------------------------------------------------------------------------------------------
// CRender

CRender::CRender() {
    m_modelData = DefaultModelDataHeader();
    for (int32_t& location : m_uniforms)
        location = -1;
    for (uint32_t i = 0; i < kRegionCount; ++i)
        m_regions[i] = std::make_unique<CRegion>(i, this);
    char name[32];
    std::snprintf(name, sizeof(name), "CRender_%x",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
    SetThreadName(name);
    // The render thread holds off cancellation for all its GL work, so a stop that runs out of
    // time could only detach it, and it would go on drawing into regions this object is about to
    // free. Each frame ends by itself (the frame wait is short and is woken for the stop), so the
    // stop waits for it.
    SetStopTimeout(BRIXEL::HINFINITE);
}

CRender::~CRender() {
    UnInit();
    m_cameras.clear();
    m_newFrameEvent.Close();
    m_glx.UnInit();
    for (auto& region : m_regions)
        region.reset();
}

uint32_t CRender::SetModel(int32_t modelType, const uint8_t* block, uint32_t size) {
    {
        std::lock_guard<std::mutex> guard(g_globalMutex);
        if (!g_globalInit)
            return QUORIX_E_NOT_INIT;
    }
    // The render thread walks the sources every frame; they change only while it is stopped.
    if (m_started)
        return QUORIX_E_STATE;
    m_cameras.clear();
    try {
        if (modelType != 0) {
            m_modelData.modelType = static_cast<uint32_t>(modelType);
            m_cameras.push_back(std::make_unique<CCamera>(&m_newFrameEvent));
            return QUORIX_OK;
        }
        std::vector<ModelCamera> records;
        const uint32_t result = ParseModelData(block, size, &m_modelData, &records);
        for (const ModelCamera& record : records) {
            auto camera = std::make_unique<CCamera>(&m_newFrameEvent);
            camera->SetCalibration(reinterpret_cast<const uint8_t*>(&record.calibration));
            if (record.hasExtra)
                camera->SetExtra(record.extra[0], record.extra[1]);
            m_cameras.push_back(std::move(camera));
        }
        return result;
    } catch (const std::bad_alloc&) {
        return QUORIX_E_NO_MEMORY;
    }
}

uint32_t CRender::Init(uintptr_t window, void* dc, bool threadMode) {
    if (m_started)
        return QUORIX_OK;
    m_window = window;
    m_dc = dc;
    m_threadMode = threadMode;
    if (!threadMode) {
        m_started = true;
        return QUORIX_OK;
    }
    m_newFrameEvent.Reset();
    m_bThreadDone = false;
    const uint32_t result = Start();
    if (result != QUORIX_OK)
        return result;
    for (uint32_t poll = 0; poll < kStartPolls; ++poll) {
        if (m_bThreadDone)
            break;
        if (!IsRunning())
            break;
        BRIXEL::HSleep(kStartPollMs);
    }
    if (m_bThreadDone) {
        m_started = true;
        return QUORIX_OK;
    }
    HLOG(kSource, kModule, 40, "SPHERA::CRender::Init",
         "m_bThreadDone value is false.it means InitGL function failed");
    m_newFrameEvent.Set();
    Stop();
    return QUORIX_E_NOT_SUPPORTED;
}

void CRender::UnInit() {
    if (!m_started)
        return;
    if (m_threadMode) {
        m_newFrameEvent.Set();
        Stop();
    }
    for (auto& region : m_regions)
        region->Disable();
    m_window = 0;
    m_dc = nullptr;
    m_bThreadDone = false;
    m_started = false;
}

uint32_t CRender::InitContext(bool createContext) {
    const uint32_t result = m_glx.Init(m_window, m_dc, createContext);
    if (result != QUORIX_OK) {
        HLOG(kSource, kModule, 10, "SPHERA::CRender::InitContext", "glx Init ret=%#x", result);
        m_glx.UnInit();
        return result;
    }
    // Failure is logged by the context; drawing then goes nowhere until the next InitContext.
    (void)m_glx.MakeCurrent();
    HLOG(kSource, kModule, 10, "SPHERA::CRender::InitContext",
         "OPENGL version: %s , GLSL version: %s", GlString(GL_VERSION),
         GlString(GL_SHADING_LANGUAGE_VERSION));
    InitGlew();
    int32_t screenWidth = 0, screenHeight = 0;
    CHGlx::GetScreenSize(&screenWidth, &screenHeight);
    m_screenWidth = static_cast<uint32_t>(screenWidth > 0 ? screenWidth : 0);
    m_screenHeight = static_cast<uint32_t>(screenHeight > 0 ? screenHeight : 0);
    m_contextReady = true;
    return QUORIX_OK;
}

uint32_t CRender::InitGL() {
    if (m_glReady)
        return QUORIX_OK;
    std::string vert, frag;
    if (!ShaderSources(&vert, &frag))
        return QUORIX_E_NOT_INIT;
    if (!m_contextReady || glCreateShader == nullptr)
        return QUORIX_E_NOT_SUPPORTED;

    glGetIntegerv(GL_MAX_TEXTURE_BUFFER_SIZE, &m_maxTextureBufferSize);
    glGetIntegerv(GL_MAX_FRAMEBUFFER_WIDTH, &m_maxFramebufferWidth);
    glGetIntegerv(GL_MAX_FRAMEBUFFER_HEIGHT, &m_maxFramebufferHeight);
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &m_maxTextureSize);
    HLOG(kSource, kModule, 10, "SPHERA::CRender::InitGL",
         "MAX INFO:FB_WIDTH %d,FB_HEIGHT %d,TEX_BUF_SIZE %d,TEX_SIZE %d", m_maxFramebufferWidth,
         m_maxFramebufferHeight, m_maxTextureBufferSize, m_maxTextureSize);
    LogGlError("SPHERA::CRender::InitGL");

    glEnable(GL_TEXTURE_2D);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_ALWAYS);
    glEnable(GL_CLIP_PLANE0);
    LogGlError("SPHERA::CRender::InitGL");

    const uint32_t result = LoadShaders(vert, frag);
    if (result != QUORIX_OK)
        return result;
    m_vertSource = std::move(vert);
    m_fragSource = std::move(frag);

    for (auto& camera : m_cameras)
        camera->CreateTextures();
    for (auto& region : m_regions)
        region->CreateGL();

    glGenBuffers(1, &m_quadBuffer);
    glBindBuffer(GL_ARRAY_BUFFER, m_quadBuffer);
    glBufferData(GL_ARRAY_BUFFER, sizeof(kQuad), kQuad, GL_STATIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    LogGlError("SPHERA::CRender::InitGL");

    glUseProgram(m_program);
    for (uint32_t i = 0; i < U_COUNT; ++i)
        m_uniforms[i] = glGetUniformLocation(m_program, kUniformNames[i]);
    glUseProgram(0);

    {
        BRIXEL::CHAutoLock guard(&m_statusLock);
        if (m_statusCallback != nullptr)
            m_statusCallback(1, m_statusUser);
    }
    m_glReady = true;
    return QUORIX_OK;
}

uint32_t CRender::Render() {
    if (!m_started || !m_glReady)
        return QUORIX_OK;
    m_glx.CheckWindow();
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glEnable(GL_TEXTURE_2D);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_ALWAYS);
    glEnable(GL_CLIP_PLANE0);

    glUseProgram(m_program);
    glUniform2f(m_uniforms[U_CENTER], 0.0f, 0.0f);
    glUniform1f(m_uniforms[U_SCALEWIDTH], 1.0f);
    glUniform1i(m_uniforms[U_MODELTYPE], static_cast<GLint>(m_modelData.modelType));
    glUniform1i(m_uniforms[U_MULTISENSOR], m_cameras.size() >= 2 ? 1 : 0);
    glUseProgram(0);

    m_hasPicture = !m_cameras.empty();
    for (auto& camera : m_cameras) {
        camera->Upload();
        if (camera->GetUploadedFormat() == 0)
            m_hasPicture = false;
    }
    LogGlError("SPHERA::CRender::Render");

    bool drawn = false;
    for (uint32_t index = 0; index < kRegionCount; ++index) {
        CRegion* region = m_regions[index].get();
        RegionView view;
        if (!region->GetView(view))
            continue;
        region->ComputeView(view);
        if (view.targetWidth == 0 || view.targetHeight == 0 || view.width == 0 || view.height == 0)
            continue;
        if (index != kScreenOffRegion && view.width > 0 && view.height > 0) {
            // Without a window the pbuffer stands for it and must hold every region's blit.
            const int64_t right = static_cast<int64_t>(view.x) + view.width;
            const int64_t top = static_cast<int64_t>(view.y) + view.height;
            if (right > 0 && top > 0 && right <= INT32_MAX && top <= INT32_MAX) {
                m_glx.CoverArea(static_cast<uint32_t>(right), static_cast<uint32_t>(top));
            }
        }
        SelectProgram(view.displayType);
        region->RenderBegin(view);
        if (!RenderCameraThroughMap(region, view)) {
            const int32_t* uniforms = ActiveUniforms();
            for (auto& camera : m_cameras) {
                SetCalibrationUniforms(*camera);
                camera->Bind(uniforms);
                region->RenderCamera(view);
            }
        }
        region->RenderEnd(view);
        drawn = true;
    }
    m_activeVariant = -1;
    if (!drawn)
        return QUORIX_E_NOT_OPEN;
    m_frameDrawn = true;
    m_drawnFrames.fetch_add(1);
    return QUORIX_OK;
}

void CRender::SetCalibrationUniforms(const CCamera& camera) {
    const int32_t* uniforms = ActiveUniforms();
    const CameraCalibration& c = camera.GetCalibration();
    glUniform1fv(uniforms[U_D], 5, c.D);
    glUniformMatrix3fv(uniforms[U_K], 1, GL_FALSE, c.K);
    glUniformMatrix3fv(uniforms[U_R], 1, GL_FALSE, c.R);
    glUniformMatrix3fv(uniforms[U_KDINV], 1, GL_FALSE, c.KDinv);
}

bool CRender::RenderCameraThroughMap(CRegion* region, RegionView& view) {
    // The plain picture is one quad already; several sources overlap and blend per source.
    // The off-screen region mostly serves one-shot snapshots, which a map would only slow down,
    // and a map costs 16 bytes a pixel, so large targets are drawn directly.
    const uint64_t pixels = static_cast<uint64_t>(view.targetWidth) * view.targetHeight;
    if (g_forceDirect.load() || m_cameras.size() != 1 ||
        m_modelData.modelType == SPH_MODEL_NORMAL || region->GetIndex() == kScreenOffRegion ||
        pixels > kMaxRemapPixels) {
        return false;
    }
    CCamera& camera = *m_cameras.front();
    const int32_t model = static_cast<int32_t>(m_modelData.modelType);
    RemapKey key;
    MakeRemapKey(view, model, camera.GetCalibration(), &key);
    if (!region->IsRemapCurrent(key)) {
        if (!SelectProgram(view.displayType, kPassMap) || !region->BeginRemap(view)) {
            SelectProgram(view.displayType);
            return false;
        }
        region->SetViewUniforms(view);
        SetCalibrationUniforms(camera);
        camera.Bind(ActiveUniforms());
        region->RenderCamera(view);
        region->EndRemap(key);
    }
    const bool applied = SelectProgram(view.displayType, kPassApply);
    if (applied) {
        const int32_t* uniforms = ActiveUniforms();
        camera.Bind(uniforms);
        region->DrawThroughRemap(view, uniforms[U_MAP], uniforms[U_VIEWSIZE],
                                 uniforms[U_MAPORIGIN]);
    }
    // The compose pass may fall back on the camera-pass program and its view uniforms.
    SelectProgram(view.displayType);
    return applied;
}

void CRender::Swap() {
    m_glx.Swap();
}

void CRender::UnInitGL() {
    if (m_contextReady) {
        if (m_frameDrawn) {
            glBindFramebuffer(GL_FRAMEBUFFER, 0);
            m_frameDrawn = false;
        }
        ReleaseShaders();
        if (m_quadBuffer != 0)
            glDeleteBuffers(1, &m_quadBuffer);
        m_quadBuffer = 0;
        DeleteGrids();
        for (auto& camera : m_cameras)
            camera->DeleteTextures();
        for (auto& region : m_regions)
            region->DeleteGL();
    }
    // Only a renderer that announced its GL objects announces their end.
    if (m_glReady) {
        BRIXEL::CHAutoLock guard(&m_statusLock);
        if (m_statusCallback != nullptr)
            m_statusCallback(0, m_statusUser);
    }
    m_glx.UnInit();
    m_contextReady = false;
    m_frameDrawn = false;
    m_glReady = false;
}

uint32_t CRender::OnThreadStart(uint64_t) {
    NoCancel noCancel;
    // A new context has nothing drawn yet.
    m_drawnGeneration = 0;
    m_idlePasses = 0;
    m_surfaceWidth = m_surfaceHeight = 0;
    uint32_t result = InitContext(true);
    if (result == QUORIX_OK)
        result = InitGL();
    if (result == QUORIX_OK)
        m_bThreadDone = true;
    return result;
}

uint32_t CRender::OnThreadLoop(uint64_t) {
    {
        NoCancel noCancel;
        if (NeedsFrame() && Render() == QUORIX_OK)
            Swap();
    }
    {
        std::lock_guard<std::mutex> guard(m_passMutex);
        ++m_passes;
    }
    m_passDone.notify_all();
    m_newFrameEvent.Wait(kFrameWaitMs);
    return 0;
}

bool CRender::NeedsFrame() {
    // Read before anything is looked at: a change made while the frame is drawn counts again.
    const uint64_t generation = m_generation.load();
    bool needed = generation != m_drawnGeneration;
    for (auto& camera : m_cameras)
        needed = camera->HasNewPicture() || needed;
    for (auto& region : m_regions)
        needed = needed || region->HasPendingRequest();
    uint32_t width = 0, height = 0;
    m_glx.GetSurfaceSize(&width, &height);
    if (width != m_surfaceWidth || height != m_surfaceHeight) {
        m_surfaceWidth = width;
        m_surfaceHeight = height;
        needed = true;
    }
    if (m_glx.TakeExposure() || g_drawEveryPass.load())
        needed = true;
    if (++m_idlePasses >= kIdleRedrawPasses && m_glx.IsWindowUnwatched())
        needed = true;
    if (!needed)
        return false;
    m_idlePasses = 0;
    m_drawnGeneration = generation;
    return true;
}

void CRender::Invalidate() {
    m_generation.fetch_add(1);
    m_newFrameEvent.Set();
}

uint64_t CRender::GetLoopPasses() {
    std::lock_guard<std::mutex> guard(m_passMutex);
    return m_passes;
}

bool CRender::WaitLoopPasses(uint64_t passes, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_passMutex);
    const uint64_t target = m_passes + passes;
    return m_passDone.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return m_passes >= target; });
}

void CRender::OnThreadEnd(uint64_t param, uint32_t exitCode) {
    // A worker cancelled after the stop time-out ends here on the stopping thread, where the
    // context is not current: its GL objects die with the context instead.
    if (IsWorkerThread()) {
        NoCancel noCancel;
        UnInitGL();
    } else {
        m_contextReady = false;
        m_glReady = false;
    }
    CHThread::OnThreadEnd(param, exitCode);
}

void CRender::SetStatusCallback(RenderStatusCallback callback, void* user) {
    BRIXEL::CHAutoLock guard(&m_statusLock);
    m_statusCallback = callback;
    m_statusUser = user;
}

CCamera* CRender::GetCamera(uint32_t index) const {
    return index < m_cameras.size() ? m_cameras[index].get() : nullptr;
}

int32_t CRender::GetModelType() const {
    return static_cast<int32_t>(m_modelData.modelType);
}

int32_t CRender::GetMount() const {
    return MountOf(m_modelData);
}

uint32_t CRender::GetCameraCount() const {
    return static_cast<uint32_t>(m_cameras.size());
}

void CRender::GetCameraImageSize(uint32_t index, uint32_t* width, uint32_t* height) const {
    if (width != nullptr)
        *width = 0;
    if (height != nullptr)
        *height = 0;
    if (CCamera* camera = GetCamera(index))
        camera->GetImageSize(width, height);
}

uint16_t CRender::GetStitchedWidth() const {
    return m_modelData.stitchedWidth;
}

float CRender::GetStitchedAspect() const {
    return m_modelData.stitchedAspect;
}

void CRender::GetScreenSize(uint32_t* width, uint32_t* height) const {
    if (width != nullptr)
        *width = m_screenWidth;
    if (height != nullptr)
        *height = m_screenHeight;
}

CRegion* CRender::GetRegion(uint32_t index) const {
    return index < kRegionCount ? m_regions[index].get() : nullptr;
}

const char* CRender::GlErrorText(uint32_t error) {
    return GlErrorFormat(error);
}

void CRender::LogGlError(const char* function) {
    SPHERA::LogGlError(kSource, function, __LINE__);
}

}  // namespace SPHERA
