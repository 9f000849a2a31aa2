#include "panorama/render.h"

#include <GL/glew.h>
#include <pthread.h>
#include <quorixsdk.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "base/hclock.h"
#include "base/hlog.h"
#include "panorama/shader_embed.h"

namespace SPHERA {

namespace {

constexpr const char* kSource = "..\\src\\render";
constexpr const char* kModule = "sphview";
constexpr uint32_t kFrameWaitMs = 40;
// The render thread reports a failed start by ending, which ends the polling at once. A thread
// that is still alive is still compiling shaders, which a software renderer on a busy machine
// may take well over half a second to do, so it gets up to 10 s before it is given up.
constexpr uint32_t kStartPolls = 500;
constexpr uint32_t kStartPollMs = 20;
constexpr uint32_t kVertexAttribute = 3;
// Each display type a port shows needs up to three programs (drawn directly, its map, drawn
// through the map); beyond this many the default one draws directly and no map is used.
constexpr size_t kMaxProgramVariants = 48;
constexpr size_t kGridCacheSize = 4;
// The largest target drawn through a texture-coordinate map (37 MB of map).
constexpr uint64_t kMaxRemapPixels = 1920 * 1200;
// Vertex bytes the kept grids may hold together; the densest grid alone is about 144 MB.
constexpr uint64_t kGridCacheBytes = 320ull << 20;
// Beyond the densest grid regions ask for; keeps a bad request from allocating without bound.
constexpr int32_t kMaxGridSide = 4096;

// Process-wide: the shader text and the unit square. Guarded by g_globalMutex.
std::mutex g_globalMutex;
bool g_globalInit = false;
std::string g_vertSource;
std::string g_fragSource;
const float kQuad[8] = {0, 1, 0, 0, 1, 1, 1, 0};

std::atomic<bool> g_forceDirect{false};

// The quad of the pass through the map. The varyings are written only because a fragment
// shader may not read what the vertex shader leaves unwritten.
constexpr const char* kApplyVertex = R"(#version 120
attribute vec4 g_vertexIn;
varying vec2 v_v2TexCoord;
varying vec4 v_v4Angles;
void main()
{
    vec2 uv = g_vertexIn.xy;
    v_v2TexCoord = uv;
    v_v4Angles = vec4(0.0, 0.0, 1.0, 0.0);
    gl_Position = vec4(2.0 * uv.x - 1.0, 2.0 * uv.y - 1.0, 0.0, 1.0);
}
)";

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

void PrintShaderInfoLog(GLuint shader, const char* prefix) {
    GLint length = 0;
    glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
    if (length <= 0)
        return;
    std::string text(static_cast<size_t>(length) + 1, '\0');
    glGetShaderInfoLog(shader, length, nullptr, text.data());
    HLOG(kSource, kModule, 10, "SPHERA::_print_shader_info_log", "%s%s", prefix, text.c_str());
}

void PrintProgramInfoLog(GLuint program) {
    GLint length = 0;
    glGetProgramiv(program, GL_INFO_LOG_LENGTH, &length);
    if (length <= 0)
        return;
    std::string text(static_cast<size_t>(length) + 1, '\0');
    glGetProgramInfoLog(program, length, nullptr, text.data());
    HLOG(kSource, kModule, 10, "SPHERA::_print_program_info_log", "%s", text.c_str());
}

bool CompileShader(GLuint shader, const std::string& source, const char* prefix) {
    const char* text = source.c_str();
    glShaderSource(shader, 1, &text, nullptr);
    glCompileShader(shader);
    GLint ok = GL_FALSE;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (ok != GL_TRUE) {
        PrintShaderInfoLog(shader, prefix);
        return false;
    }
    return true;
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
            supported = CompileShader(vs, vert, "vert:") && CompileShader(fs, frag, "frag:");
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

uint32_t CRender::LoadShaders(const std::string& vertexSource, const std::string& fragmentSource) {
    m_vertexShader = glCreateShader(GL_VERTEX_SHADER);
    if (m_vertexShader == 0) {
        LogGlError("SPHERA::CRender::LoadShaders");
        return QUORIX_E_NOT_SUPPORTED;
    }
    m_fragmentShader = glCreateShader(GL_FRAGMENT_SHADER);
    if (m_fragmentShader == 0) {
        LogGlError("SPHERA::CRender::LoadShaders");
        ReleaseShaders();
        return QUORIX_E_NOT_SUPPORTED;
    }
    if (!CompileShader(m_vertexShader, vertexSource, "vert:") ||
        !CompileShader(m_fragmentShader, fragmentSource, "frag:")) {
        ReleaseShaders();
        return QUORIX_E_NOT_SUPPORTED;
    }
    m_program = glCreateProgram();
    if (m_program == 0) {
        LogGlError("SPHERA::CRender::LoadShaders");
        ReleaseShaders();
        return QUORIX_E_NOT_SUPPORTED;
    }
    glAttachShader(m_program, m_vertexShader);
    glAttachShader(m_program, m_fragmentShader);
    glBindAttribLocation(m_program, kVertexAttribute, "g_vertexIn");
    glLinkProgram(m_program);
    GLint linked = GL_FALSE;
    glGetProgramiv(m_program, GL_LINK_STATUS, &linked);
    if (linked != GL_TRUE) {
        PrintProgramInfoLog(m_program);
        ReleaseShaders();
        return QUORIX_E_NOT_SUPPORTED;
    }
    glUseProgram(0);
    return QUORIX_OK;
}

void CRender::ReleaseShaders() {
    glUseProgram(0);
    for (const Variant& v : m_variants) {
        if (v.program != 0)
            glDeleteProgram(v.program);
    }
    m_variants.clear();
    m_activeVariant = -1;
    for (uint32_t* shader : {&m_vertexShader, &m_fragmentShader}) {
        if (*shader == 0)
            continue;
        if (m_program != 0)
            glDetachShader(m_program, *shader);
        glDeleteShader(*shader);
        *shader = 0;
    }
    if (m_program != 0)
        glDeleteProgram(m_program);
    m_program = 0;
}

bool CRender::SelectProgram(int32_t displayType, int32_t pass) {
    m_activeVariant = -1;
    // All sources must share a format for it to be compiled in; mixed ones leave it to the
    // uniform.
    int32_t format = -1;
    for (size_t i = 0; i < m_cameras.size(); ++i) {
        const int32_t f = static_cast<int32_t>(m_cameras[i]->GetUploadedFormat());
        if (i == 0) {
            format = f;
        } else if (f != format) {
            format = -1;
            break;
        }
    }
    const int32_t model = static_cast<int32_t>(m_modelData.modelType);
    int32_t found = -1;
    for (size_t i = 0; i < m_variants.size(); ++i) {
        const Variant& v = m_variants[i];
        if (v.model == model && v.display == displayType && v.format == format && v.pass == pass) {
            found = static_cast<int32_t>(i);
            break;
        }
    }
    if (found < 0 && m_variants.size() < kMaxProgramVariants) {
        Variant v;
        v.model = model;
        v.display = displayType;
        v.format = format;
        v.pass = pass;
        for (int32_t& location : v.uniforms)
            location = -1;
        v.program = BuildVariant(v);
        m_variants.push_back(v);
        found = static_cast<int32_t>(m_variants.size() - 1);
    }
    if (found >= 0 && m_variants[static_cast<size_t>(found)].program != 0)
        m_activeVariant = found;
    if (pass != kPassCamera && m_activeVariant < 0)
        return false;

    const int32_t* uniforms = ActiveUniforms();
    glUseProgram(GetProgram());
    glUniform2f(uniforms[U_CENTER], 0.0f, 0.0f);
    glUniform1f(uniforms[U_SCALEWIDTH], 1.0f);
    glUniform1i(uniforms[U_MODELTYPE], static_cast<GLint>(model));
    glUniform1i(uniforms[U_MULTISENSOR], m_cameras.size() >= 2 ? 1 : 0);
    return true;
}

uint32_t CRender::BuildVariant(Variant& variant) {
    std::string defines = "#define QX_FIXED_MODEL " + std::to_string(variant.model) +
                          "\n#define QX_FIXED_DISPLAY " + std::to_string(variant.display) + "\n";
    if (variant.format >= 0)
        defines += "#define QX_FIXED_FORMAT " + std::to_string(variant.format) + "\n";
    if (variant.pass == kPassMap)
        defines += "#define QX_MAP_PASS 1\n";
    if (variant.pass == kPassApply)
        defines += "#define QX_APPLY_PASS 1\n";
    // The definitions go after the #version line, which must stay first.
    auto withDefines = [&defines](const std::string& source) {
        size_t at = 0;
        if (source.compare(0, 8, "#version") == 0) {
            at = source.find('\n');
            at = at == std::string::npos ? source.size() : at + 1;
        }
        std::string text = source.substr(0, at);
        if (!text.empty() && text.back() != '\n')
            text += '\n';
        return text + defines + source.substr(at);
    };
    const GLuint vs = glCreateShader(GL_VERTEX_SHADER);
    const GLuint fs = glCreateShader(GL_FRAGMENT_SHADER);
    GLuint program = 0;
    const std::string vertSource = variant.pass == kPassApply ? kApplyVertex : m_vertSource;
    if (vs != 0 && fs != 0 && CompileShader(vs, withDefines(vertSource), "vert:") &&
        CompileShader(fs, withDefines(m_fragSource), "frag:")) {
        program = glCreateProgram();
    }
    if (program != 0) {
        glAttachShader(program, vs);
        glAttachShader(program, fs);
        glBindAttribLocation(program, kVertexAttribute, "g_vertexIn");
        glLinkProgram(program);
        GLint linked = GL_FALSE;
        glGetProgramiv(program, GL_LINK_STATUS, &linked);
        if (linked == GL_TRUE) {
            for (uint32_t i = 0; i < U_COUNT; ++i)
                variant.uniforms[i] = glGetUniformLocation(program, kUniformNames[i]);
        } else {
            PrintProgramInfoLog(program);
            glDeleteProgram(program);
            program = 0;
        }
    }
    // Flagged for deletion; they go with the program.
    if (vs != 0)
        glDeleteShader(vs);
    if (fs != 0)
        glDeleteShader(fs);
    LogGlError("SPHERA::CRender::BuildVariant");
    return program;
}

CRender::Grid* CRender::CreateSphereVertBuffer(int32_t columns, int32_t rows) {
    // The least recently used grids make room for the new one.
    auto bytesOf = [](int64_t c, int64_t r) {
        return static_cast<uint64_t>((c + 1) * r * 2 * 3) * sizeof(float);
    };
    uint64_t kept = 0;
    for (const Grid& g : m_grids)
        kept += bytesOf(g.columns, g.rows);
    while (!m_grids.empty() &&
           (m_grids.size() >= kGridCacheSize || kept + bytesOf(columns, rows) > kGridCacheBytes)) {
        size_t oldest = 0;
        for (size_t i = 1; i < m_grids.size(); ++i) {
            if (m_grids[i].lastUse < m_grids[oldest].lastUse)
                oldest = i;
        }
        if (m_grids[oldest].buffer != 0)
            glDeleteBuffers(1, &m_grids[oldest].buffer);
        kept -= bytesOf(m_grids[oldest].columns, m_grids[oldest].rows);
        m_grids.erase(m_grids.begin() + static_cast<std::ptrdiff_t>(oldest));
    }
    Grid grid;
    grid.columns = columns;
    grid.rows = rows;
    try {
        std::vector<float> vertices;
        vertices.reserve(static_cast<size_t>(columns + 1) * rows * 2 * 3);
        // u and v run in double precision so that the last column and row land on 1.0.
        const double du = 1.0 / columns, dv = 1.0 / rows;
        double v = 0.0;
        for (int32_t r = 0; r < rows; ++r, v += dv) {
            double u = 0.0;
            for (int32_t c = 0; c <= columns; ++c, u += du) {
                vertices.insert(vertices.end(),
                                {static_cast<float>(u), static_cast<float>(v + dv), 1.0f});
                vertices.insert(vertices.end(),
                                {static_cast<float>(u), static_cast<float>(v), 1.0f});
            }
        }
        grid.first.resize(static_cast<size_t>(rows));
        grid.count.resize(static_cast<size_t>(rows));
        for (int32_t r = 0; r < rows; ++r) {
            grid.first[static_cast<size_t>(r)] = (columns + 1) * r * 2;
            grid.count[static_cast<size_t>(r)] = columns * 2 + 2;
        }
        glGenBuffers(1, &grid.buffer);
        glBindBuffer(GL_ARRAY_BUFFER, grid.buffer);
        glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(vertices.size() * sizeof(float)),
                     vertices.data(), GL_STATIC_DRAW);
        glBindBuffer(GL_ARRAY_BUFFER, 0);
        LogGlError("SPHERA::CRender::CreateSphereVertBuffer");
        m_grids.push_back(std::move(grid));
    } catch (const std::bad_alloc&) {
        if (grid.buffer != 0)
            glDeleteBuffers(1, &grid.buffer);
        return nullptr;
    }
    return &m_grids.back();
}

void CRender::DeleteGrids() {
    for (Grid& grid : m_grids) {
        if (grid.buffer != 0)
            glDeleteBuffers(1, &grid.buffer);
    }
    m_grids.clear();
}

uint32_t CRender::GetGridBuffer(int32_t columns, int32_t rows) const {
    for (const Grid& g : m_grids) {
        if (g.columns == columns && g.rows == rows)
            return g.buffer;
    }
    return 0;
}

void CRender::DrawGrid(int32_t columns, int32_t rows) {
    if (columns <= 0 || rows <= 0 || columns > kMaxGridSide || rows > kMaxGridSide)
        return;
    Grid* grid = nullptr;
    for (Grid& g : m_grids) {
        if (g.columns == columns && g.rows == rows)
            grid = &g;
    }
    if (grid == nullptr)
        grid = CreateSphereVertBuffer(columns, rows);
    if (grid == nullptr)
        return;
    grid->lastUse = ++m_gridUse;
    glBindBuffer(GL_ARRAY_BUFFER, grid->buffer);
    glVertexAttribPointer(kVertexAttribute, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    glEnableVertexAttribArray(kVertexAttribute);
    glMultiDrawArrays(GL_TRIANGLE_STRIP, grid->first.data(), grid->count.data(), rows);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
}

void CRender::DrawQuad() {
    glBindBuffer(GL_ARRAY_BUFFER, m_quadBuffer);
    glVertexAttribPointer(kVertexAttribute, 2, GL_FLOAT, GL_FALSE, 0, nullptr);
    glEnableVertexAttribArray(kVertexAttribute);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
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
        if (Render() == QUORIX_OK)
            Swap();
    }
    m_newFrameEvent.Wait(kFrameWaitMs);
    return 0;
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

uint32_t CRender::GetProgram() const {
    if (m_activeVariant >= 0)
        return m_variants[static_cast<size_t>(m_activeVariant)].program;
    return m_program;
}

const int32_t* CRender::ActiveUniforms() const {
    if (m_activeVariant >= 0)
        return m_variants[static_cast<size_t>(m_activeVariant)].uniforms;
    return m_uniforms;
}

int32_t CRender::GetUniform(EUniform u) const {
    return u < U_COUNT ? ActiveUniforms()[u] : -1;
}

CRegion* CRender::GetRegion(uint32_t index) const {
    return index < kRegionCount ? m_regions[index].get() : nullptr;
}

const char* CRender::GlErrorText(uint32_t error) {
    switch (error) {
        case GL_NO_ERROR:
            return "GL(%#x) No error";
        case GL_INVALID_ENUM:
            return "GL(%#x) Invalid Enum";
        case GL_INVALID_VALUE:
            return "GL(%#x) Invalid Value";
        case GL_INVALID_OPERATION:
            return "GL(%#x) Invalid Operation";
        case GL_STACK_OVERFLOW:
            return "GL(%#x) Stack Overflow";
        case GL_STACK_UNDERFLOW:
            return "GL(%#x) Stack Underflow";
        case GL_OUT_OF_MEMORY:
            return "GL(%#x) Out Of Memory";
        default:
            return "GL(%#x) Other Error";
    }
}

void CRender::LogGlError(const char* function) {
    const GLenum error = glGetError();
    if (error == GL_NO_ERROR)
        return;
    BRIXEL::CHLogLibOut(kSource, function, __LINE__).Print(kModule, 10, GlErrorText(error), error);
}

// ---------------------------------------------------------------------------------------------
// operations of the player port

uint32_t CreateRender(int32_t modelType, const uint8_t* block, uint32_t size, CRender** out) {
    if (out == nullptr)
        return QUORIX_E_PARAM;
    *out = nullptr;
    std::unique_ptr<CRender> render;
    try {
        render = std::make_unique<CRender>();
    } catch (const std::bad_alloc&) {
        return QUORIX_E_NO_MEMORY;
    }
    const uint32_t result = render->SetModel(modelType, block, size);
    if (result != QUORIX_OK)
        return result;
    *out = render.release();
    return QUORIX_OK;
}

void DestroyRender(CRender* render) {
    if (render == nullptr)
        return;
    render->UnInit();
    delete render;
}

uint32_t Init(CRender* render, uintptr_t window, void* dc, bool threadMode) {
    if (render == nullptr)
        return QUORIX_E_PARAM;
    return render->Init(window, dc, threadMode);
}

uint32_t UnInit(CRender* render) {
    if (render == nullptr)
        return QUORIX_E_PARAM;
    render->UnInit();
    return QUORIX_OK;
}

uint32_t ManualInit(CRender* render, bool createContext) {
    if (render == nullptr || render->IsThreadMode())
        return QUORIX_E_PARAM;
    const uint32_t result = render->InitContext(createContext);
    if (result != QUORIX_OK)
        return result;
    return render->InitGL();
}

uint32_t ManualRender(CRender* render) {
    if (render == nullptr || render->IsThreadMode())
        return QUORIX_E_PARAM;
    return render->Render();
}

uint32_t ManualSwapbuffers(CRender* render) {
    if (render == nullptr || render->IsThreadMode())
        return QUORIX_E_PARAM;
    render->Swap();
    return QUORIX_OK;
}

uint32_t ManualUnInit(CRender* render) {
    if (render == nullptr || render->IsThreadMode())
        return QUORIX_E_PARAM;
    render->UnInitGL();
    return QUORIX_OK;
}

uint32_t SetStatusCallback(CRender* render, RenderStatusCallback callback, void* user) {
    if (render == nullptr)
        return QUORIX_E_PARAM;
    render->SetStatusCallback(callback, user);
    return QUORIX_OK;
}

uint32_t InputFrame(CRender* render, uint32_t camera, uint32_t width, uint32_t height,
                    uint32_t type, const uint8_t* const* planes, const uint32_t* strides,
                    BRIXEL::CHYUVColour colour) {
    CCamera* source = render != nullptr ? render->GetCamera(camera) : nullptr;
    if (source == nullptr)
        return QUORIX_E_PARAM;
    return source->InputFrame(width, height, type, planes, strides, colour);
}

uint32_t AttachFrame(CRender* render, uint32_t camera, uint32_t width, uint32_t height,
                     uint32_t type, uint8_t* data, uint32_t size, BRIXEL::CHYUVColour colour) {
    CCamera* source = render != nullptr ? render->GetCamera(camera) : nullptr;
    if (source == nullptr)
        return QUORIX_E_PARAM;
    return source->AttachFrame(width, height, type, data, size, colour);
}

uint32_t SetReleaseCallback(CRender* render, uint32_t camera, ReleaseCallback callback,
                            void* user) {
    CCamera* source = render != nullptr ? render->GetCamera(camera) : nullptr;
    if (source == nullptr)
        return QUORIX_E_PARAM;
    source->SetReleaseCallback(callback, user);
    return QUORIX_OK;
}

}  // namespace SPHERA
