// Render regions: per-region frame buffers, the camera and compose passes, read-back,
// the draw callback and project/unproject requests.

#include "panorama/region.h"

#include <GL/glew.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include <quorixsdk.h>

#include "base/hclock.h"
#include "base/hlog.h"

namespace SPHERA {

namespace {

constexpr const char* kSource = "..\\src\\region";
constexpr const char* kModule = "sphview";
// A project request larger than this is refused rather than allocated.
constexpr uint32_t kMaxProjectPoints = 1u << 20;

const char* GlErrorText(GLenum e) {
    switch (e) {
        case GL_NO_ERROR:
            return "No error";
        case GL_INVALID_ENUM:
            return "Invalid Enum";
        case GL_INVALID_VALUE:
            return "Invalid Value";
        case GL_INVALID_OPERATION:
            return "Invalid Operation";
        case GL_STACK_OVERFLOW:
            return "Stack Overflow";
        case GL_STACK_UNDERFLOW:
            return "Stack Underflow";
        case GL_OUT_OF_MEMORY:
            return "Out Of Memory";
        default:
            return "Other Error";
    }
}

void LogGlError(const char* function, int line) {
    const GLenum e = glGetError();
    if (e == GL_NO_ERROR)
        return;
    ::BRIXEL::CHLogLibOut(kSource, function, line)
        .Print(kModule, 10, "GL(%#x) %s", e, GlErrorText(e));
}

#define REGION_GL_CHECK(fn) LogGlError((fn), __LINE__)

std::atomic<bool> g_viaFrameBuffer{false};

void UniformInt(IRegionHost* h, EUniform u, int32_t v) {
    glUniform1i(h->GetUniform(u), v);
}

// The compose pass as a program of its own. It does exactly what the compose path of the sphere
// shaders does (flip, colour adjustment, alpha kept); a software rasteriser runs every branch of
// the sphere shaders for every fragment, so composing through them costs several times more.
constexpr const char* kComposeVertex = R"(#version 120
uniform int g_nFlip;
attribute vec4 g_vertexIn;
varying vec2 v_v2TexCoord;
void main()
{
    vec2 uv = g_vertexIn.xy;
    vec2 t = uv;
    if (g_nFlip == 1 || g_nFlip == 3)
        t.x = 1.0 - t.x;
    if (g_nFlip == 2 || g_nFlip == 3)
        t.y = 1.0 - t.y;
    v_v2TexCoord = t;
    gl_Position = vec4(2.0 * uv.x - 1.0, 2.0 * uv.y - 1.0, 1.0, 1.0);
}
)";
constexpr const char* kComposeFragment = R"(#version 120
uniform sampler2D g_sTex_bkg;
uniform int g_nDrawBK;
uniform float g_fBrightness;
uniform float g_fSaturation;
uniform float g_fContrast;
varying vec2 v_v2TexCoord;
void main()
{
    vec4 c = texture2D(g_sTex_bkg, v_v2TexCoord);
    if (g_nDrawBK == 2) {
        vec3 rgb = c.rgb * g_fBrightness;
        float grey = dot(rgb, vec3(0.2125, 0.7154, 0.0721));
        rgb = mix(vec3(grey), rgb, g_fSaturation);
        rgb = mix(vec3(0.5), rgb, g_fContrast);
        c = vec4(rgb, c.a);
    }
    gl_FragColor = c;
}
)";
const char* const kComposeUniformNames[6] = {"g_nFlip",       "g_sTex_bkg",    "g_nDrawBK",
                                             "g_fBrightness", "g_fSaturation", "g_fContrast"};

GLuint CompileShader(GLenum type, const char* text) {
    GLuint sh = glCreateShader(type);
    if (sh == 0)
        return 0;
    glShaderSource(sh, 1, &text, nullptr);
    glCompileShader(sh);
    GLint ok = GL_FALSE;
    glGetShaderiv(sh, GL_COMPILE_STATUS, &ok);
    if (ok != GL_TRUE) {
        glDeleteShader(sh);
        return 0;
    }
    return sh;
}
void UniformFloat(IRegionHost* h, EUniform u, float v) {
    glUniform1f(h->GetUniform(u), v);
}

}  // namespace

CRegion::CRegion(uint32_t index, IRegionHost* owner) : m_index(index), m_owner(owner) {}

CRegion::~CRegion() {
    BRIXEL::CHAutoLock lock(&m_snapLock);
    std::free(m_snapData);
    m_snapData = nullptr;
}

// ---------------------------------------------------------------- host-side state

void CRegion::Enable() {
    if (m_owner == nullptr || m_index >= kRegionCount)
        return;
    BRIXEL::CHAutoLock lock(&m_stateLock);
    m_enabled = true;
}

void CRegion::Enable(int32_t x, int32_t y, int32_t width, int32_t height) {
    if (m_owner == nullptr || m_index >= kRegionCount)
        return;
    BRIXEL::CHAutoLock lock(&m_stateLock);
    m_enabled = true;
    m_x = x;
    m_y = y;
    m_width = width;
    m_height = height;
}

void CRegion::Disable() {
    BRIXEL::CHAutoLock lock(&m_stateLock);
    m_enabled = false;
    m_current = 0;
}

bool CRegion::IsEnabled() {
    BRIXEL::CHAutoLock lock(&m_stateLock);
    return m_enabled;
}

void CRegion::SetDisplayType(int32_t type) {
    BRIXEL::CHAutoLock lock(&m_stateLock);
    if (type == SPH_DISPLAY_CYLINDER && m_displayType != SPH_DISPLAY_CYLINDER)
        m_tilt = kCylinderTilt;
    if (type != SPH_DISPLAY_CYLINDER && m_displayType == SPH_DISPLAY_CYLINDER)
        m_tilt = 0.0f;
    m_displayType = type;
}

int32_t CRegion::GetDisplayType() {
    BRIXEL::CHAutoLock lock(&m_stateLock);
    return m_displayType;
}

void CRegion::SetPtz(float pan, float tilt, float zoom) {
    BRIXEL::CHAutoLock lock(&m_stateLock);
    const bool storeTilt = LimitPtz(m_displayType, pan, tilt, zoom);
    m_pan = pan;
    m_zoom = zoom;
    if (storeTilt)
        m_tilt = tilt;
}

void CRegion::GetPtz(float* pan, float* tilt, float* zoom) {
    BRIXEL::CHAutoLock lock(&m_stateLock);
    if (pan)
        *pan = m_pan;
    if (tilt)
        *tilt = m_tilt;
    if (zoom)
        *zoom = m_zoom;
}

void CRegion::SetRatioType(uint32_t ratioType) {
    BRIXEL::CHAutoLock lock(&m_stateLock);
    m_ratioType = ratioType;
}

void CRegion::SetFlip(uint32_t flip) {
    BRIXEL::CHAutoLock lock(&m_stateLock);
    m_flip = flip;
}

void CRegion::SetColorAdjust(float brightness, float saturation, float contrast) {
    BRIXEL::CHAutoLock lock(&m_stateLock);
    m_brightness = brightness;
    m_saturation = saturation;
    m_contrast = contrast;
}

void CRegion::SetBackgroundColor(uint32_t colour) {
    m_backgroundColour = colour;
}

void CRegion::EnableBlankPtz(bool enable) {
    m_blankPtz = enable;
}

void CRegion::SetDrawCallback(DrawCallback callback, void* user) {
    BRIXEL::CHAutoLock lock(&m_callbackLock);
    m_drawCallback = callback;
    m_drawUser = user;
}

void CRegion::SetSnapCallback(SnapCallback callback, void* user) {
    BRIXEL::CHAutoLock lock(&m_snapLock);
    m_snapCallback = callback;
    m_snapUser = user;
}

bool CRegion::HasSnapCallback() {
    BRIXEL::CHAutoLock lock(&m_snapLock);
    return m_snapCallback != nullptr;
}

void CRegion::SetSnapRect(float x, float y, float width, float height) {
    auto unit = [](float v) { return std::isfinite(v) ? std::clamp(v, 0.0f, 1.0f) : 0.0f; };
    m_snapRect[0] = unit(x);
    m_snapRect[1] = unit(y);
    m_snapRect[2] = unit(width);
    m_snapRect[3] = unit(height);
}

uint32_t CRegion::SetSnapFormat(uint32_t code) {
    if (code > 4)
        return QUORIX_E_PARAM;
    m_snapFormatCode = code == 0 ? 3 : code;
    return QUORIX_OK;
}

uint32_t CRegion::SetSnapAlign(uint32_t align) {
    if (align != 1 && align != 2 && align != 4 && align != 8)
        return QUORIX_E_PARAM;
    m_snapAlign = align;
    return QUORIX_OK;
}

void CRegion::SetSnapScale(float factor) {
    m_sizeFactor = factor;
}

uint32_t CRegion::Snap(uint32_t timeoutMs, uint32_t* width, uint32_t* stride, uint32_t* height,
                       uint32_t* format, uint8_t** data, const SnapRequest& request) {
    if (data == nullptr || request.formatCode > 4 ||
        (request.align != 0 && request.align != 1 && request.align != 2 && request.align != 4 &&
         request.align != 8))
        return QUORIX_E_PARAM;
    BRIXEL::CHAutoLock lock(&m_snapLock);
    m_snapRequest = request;
    if (!(request.scale > 0.0f) || !std::isfinite(request.scale))
        m_snapRequest.scale = 0.0f;
    if (m_snapWaiters == 0) {
        // A read-back finished for a caller that had already given up is nobody's to hand out.
        std::free(m_snapData);
        m_snapData = nullptr;
        m_snapReady = false;
        m_snapDone.Reset();
    }
    ++m_snapWaiters;
    m_snapPending = true;
    const uint32_t start = BRIXEL::HGetTickCount();
    for (;;) {
        uint32_t wait = timeoutMs;
        if (timeoutMs != BRIXEL::HINFINITE) {
            const uint32_t spent = BRIXEL::HGetTickCount() - start;
            wait = spent < timeoutMs ? timeoutMs - spent : 0;
        }
        lock.Unlock();
        const uint32_t rc = m_snapDone.Wait(wait);
        lock.Lock();
        // The event alone cannot tell this request's frame from a late signal of an earlier
        // request that timed out: only m_snapReady, set under the lock with the data, can.
        if (m_snapReady)
            break;
        if (rc != QUORIX_OK) {
            if (--m_snapWaiters == 0)
                m_snapPending = false;
            return rc;
        }
        // Another caller took the frame this wake-up belonged to: ask for the next one.
        m_snapPending = true;
    }
    m_snapReady = false;
    *data = m_snapData;
    m_snapData = nullptr;
    // Callers that came together share no frame: each one still waiting gets the next.
    if (--m_snapWaiters > 0)
        m_snapPending = true;
    if (width)
        *width = m_snapWidth;
    if (stride)
        *stride = m_snapStride;
    if (height)
        *height = m_snapHeight;
    if (format)
        *format = m_snapFormat;
    return static_cast<uint32_t>(m_snapResult);
}

uint32_t CRegion::Project(uint32_t timeoutMs, const float* xs, const float* ys, float* outXs,
                          float* outYs, uint32_t count, bool inverse) {
    if (xs == nullptr || ys == nullptr || outXs == nullptr || outYs == nullptr)
        return QUORIX_E_PARAM;
    if (count > kMaxProjectPoints)
        return QUORIX_E_PARAM;
    if (!HasSourceCoordinates(GetDisplayType()))
        return QUORIX_E_NOT_SUPPORTED;
    BRIXEL::CHAutoLock lock(&m_projectLock);
    m_projectDone.Reset();
    m_projectPending = true;
    m_projectInverse = inverse;
    m_xs.assign(xs, xs + count);
    m_ys.assign(ys, ys + count);
    lock.Unlock();
    const uint32_t rc = m_projectDone.Wait(timeoutMs);
    lock.Lock();
    if (rc != QUORIX_OK) {
        m_projectPending = false;
        return rc;
    }
    const size_t n = std::min<size_t>(count, std::min(m_xs.size(), m_ys.size()));
    std::copy(m_xs.begin(), m_xs.begin() + n, outXs);
    std::copy(m_ys.begin(), m_ys.begin() + n, outYs);
    return QUORIX_OK;
}

// ---------------------------------------------------------------- render thread

void CRegion::CreateGL() {
    GLuint tex[2] = {0, 0};
    glGenTextures(2, tex);
    for (int i = 0; i < 2; ++i) {
        glBindTexture(GL_TEXTURE_2D, tex[i]);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        m_colourTexture[i] = tex[i];
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    GLuint fb = 0, rb = 0;
    glGenFramebuffers(1, &fb);
    glGenRenderbuffers(1, &rb);
    m_frameBuffer = fb;
    m_depthBuffer = rb;
    m_targetWidth = 0;
    m_targetHeight = 0;
    REGION_GL_CHECK("SPHERA::CRegion::CreateGL");
}

void CRegion::DeleteGL() {
    if (m_frameBuffer) {
        GLuint fb = m_frameBuffer;
        glDeleteFramebuffers(1, &fb);
    }
    if (m_depthBuffer) {
        GLuint rb = m_depthBuffer;
        glDeleteRenderbuffers(1, &rb);
    }
    for (uint32_t& t : m_colourTexture) {
        if (t) {
            GLuint name = t;
            glDeleteTextures(1, &name);
        }
        t = 0;
    }
    if (m_packBuffer) {
        GLuint b = m_packBuffer;
        glDeleteBuffers(1, &b);
    }
    if (m_remapFrameBuffer != 0) {
        GLuint fb = m_remapFrameBuffer;
        glDeleteFramebuffers(1, &fb);
    }
    if (m_remapTexture != 0) {
        GLuint name = m_remapTexture;
        glDeleteTextures(1, &name);
    }
    m_remapFrameBuffer = m_remapTexture = 0;
    m_remapWidth = m_remapHeight = 0;
    m_remapValid = false;
    m_remapBroken = false;
    if (m_composeProgram != 0 && m_composeProgram != ~0u)
        glDeleteProgram(m_composeProgram);
    m_composeProgram = 0;
    m_frameBuffer = m_depthBuffer = m_packBuffer = 0;
    m_packBufferSize = 0;
    m_targetWidth = m_targetHeight = 0;
}

bool CRegion::GetView(RegionView& view) {
    BRIXEL::CHAutoLock lock(&m_stateLock);
    view = RegionView{};
    if (!m_enabled)
        return false;
    view.enabled = true;
    view.x = m_x;
    view.y = m_y;
    view.width = m_width;
    view.height = m_height;
    view.pan = m_pan;
    view.tilt = m_tilt;
    view.zoom = m_zoom;
    view.displayType = m_displayType;
    view.flip = m_flip;
    view.brightness = m_brightness;
    view.saturation = m_saturation;
    view.contrast = m_contrast;
    view.ratioType = m_ratioType;
    view.rectAspect =
        m_height != 0 ? static_cast<float>(m_width) / static_cast<float>(m_height) : 1.0f;
    view.blankPtz = m_blankPtz;
    return true;
}

void CRegion::ComputeView(RegionView& view) {
    ViewSource src;
    if (m_owner != nullptr) {
        src.modelType = m_owner->GetModelType();
        src.cameraCount = m_owner->GetCameraCount();
        for (uint32_t i = 0; i < src.cameraCount; ++i) {
            uint32_t w = 0, h = 0;
            m_owner->GetCameraImageSize(i, &w, &h);
            if (i == 0) {
                src.firstWidth = w;
                src.firstHeight = h;
            }
            src.totalPixels += static_cast<uint64_t>(w) * h;
        }
        src.stitchedWidth = m_owner->GetStitchedWidth();
        src.stitchedAspect = m_owner->GetStitchedAspect();
        src.maxTextureSize = m_owner->GetMaxTextureSize();
        src.maxTextureBufferSize = m_owner->GetMaxTextureBufferSize();
        m_owner->GetScreenSize(&src.screenWidth, &src.screenHeight);
    }
    ComputeViewValues(view, src, m_index, FrameSizeFactor());
    FitTargetToRect(view, m_index);
}

void CRegion::ResizeTargets(uint32_t width, uint32_t height) {
    if (width == m_targetWidth && height == m_targetHeight)
        return;
    for (uint32_t t : m_colourTexture) {
        glBindTexture(GL_TEXTURE_2D, t);
        // Unsized, with the pixels described as BGRA: the driver may then store them in its
        // native BGRA order, which the default read-back format copies without conversion.
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, static_cast<GLsizei>(width),
                     static_cast<GLsizei>(height), 0, GL_BGRA, GL_UNSIGNED_BYTE, nullptr);
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    glBindRenderbuffer(GL_RENDERBUFFER, m_depthBuffer);
    // Depth 24 with stencil 8, the window's own layout, so that the depth blit is allowed.
    glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH24_STENCIL8, static_cast<GLsizei>(width),
                          static_cast<GLsizei>(height));
    glBindRenderbuffer(GL_RENDERBUFFER, 0);
    m_targetWidth = width;
    m_targetHeight = height;
    REGION_GL_CHECK("SPHERA::CRegion::RenderBegin");
}

void CRegion::RenderBegin(RegionView& view) {
    static constexpr const char* kFn = "SPHERA::CRegion::RenderBegin";
    if (ClampView(view))
        SetPtz(view.pan, view.tilt, view.zoom);
    ResizeTargets(view.targetWidth, view.targetHeight);

    // Unflipped and unadjusted, the compose pass copies every drawn pixel (alpha 1) unchanged
    // and leaves the background colour with alpha 0 elsewhere: a camera pass cleared to that
    // colour holds the same pixels already, and the full-size compose pass is saved.
    m_composeSkipped = view.flip == 0 && view.brightness == 1.0f && view.saturation == 1.0f &&
                       view.contrast == 1.0f;
    // Without a compose pass, a target of the rectangle's own size would only be copied 1:1 into
    // the window. The window's rows are stored the other way up, which makes that copy a full
    // draw of colour and another of depth on a software rasteriser: the camera pass is drawn
    // into the rectangle straight away instead.
    m_drawToWindow = m_composeSkipped && m_index != kScreenOffRegion && !g_viaFrameBuffer.load() &&
                     view.x >= 0 && view.y >= 0 &&
                     view.targetWidth == static_cast<uint32_t>(view.width) &&
                     view.targetHeight == static_cast<uint32_t>(view.height);
    m_current = 1 - m_current;
    if (m_drawToWindow) {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        BindWindowRect(view);
    } else {
        glBindFramebuffer(GL_FRAMEBUFFER, m_frameBuffer);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D,
                               m_colourTexture[m_current], 0);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER,
                                  m_depthBuffer);
        const GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
        if (status != GL_FRAMEBUFFER_COMPLETE)
            HLOG(kSource, kModule, 40, kFn, "[reg=%d] glBindFramebuffer fail %#x",
                 static_cast<int>(m_index), status);
        glViewport(0, 0, static_cast<GLsizei>(view.targetWidth),
                   static_cast<GLsizei>(view.targetHeight));
    }
    if (m_composeSkipped) {
        const uint32_t bg = m_backgroundColour;
        glClearColor((bg & 0xFF) / 255.0f, ((bg >> 8) & 0xFF) / 255.0f,
                     ((bg >> 16) & 0xFF) / 255.0f, 0.0f);
    } else {
        glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    }
    // Stencil too: the buffer is cleared whole instead of around its stencil bits. The window's
    // stencil is not ours.
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT |
            (m_drawToWindow ? 0 : GL_STENCIL_BUFFER_BIT));
    if (view.displayType == SPH_DISPLAY_CYLINDER) {
        glDisable(GL_CULL_FACE);
    } else {
        glEnable(GL_CULL_FACE);
        glCullFace(GL_BACK);
    }

    const int32_t model = m_owner ? m_owner->GetModelType() : SPH_MODEL_NORMAL;
    BuildModelView(view, model);

    SetViewUniforms(view);
    REGION_GL_CHECK(kFn);
}

void CRegion::SetViewUniforms(const RegionView& view) {
    IRegionHost* h = m_owner;
    if (h == nullptr)
        return;
    glUseProgram(h->GetProgram());
    UniformInt(h, U_DISPLAYTYPE, view.displayType);
    UniformInt(h, U_DRAWBK, SPH_DRAW_FG);
    UniformInt(h, U_FLIP, static_cast<int32_t>(view.flip));
    glUniform2f(h->GetUniform(U_VIEWSIZE), static_cast<float>(view.targetWidth),
                static_cast<float>(view.targetHeight));
    UniformFloat(h, U_BRIGHTNESS, view.brightness);
    UniformFloat(h, U_SATURATION, view.saturation);
    UniformFloat(h, U_CONTRAST, view.contrast);
    UniformFloat(h, U_VIDEOASPECT, view.videoAspect);
    UniformInt(h, U_ADAPTMODE, view.adaptMode);
    glUniformMatrix4fv(h->GetUniform(U_PROJECT), 1, GL_FALSE, view.project);
    glUniformMatrix4fv(h->GetUniform(U_MODELVIEW), 1, GL_FALSE, view.modelView);
    UniformFloat(h, U_PAN, view.panUniform);
}

void CRegion::BindWindowRect(const RegionView& view) {
    glViewport(view.x, view.y, view.width, view.height);
    glScissor(view.x, view.y, view.width, view.height);
    glEnable(GL_SCISSOR_TEST);
}

void ForceRegionFrameBuffer(bool force) {
    g_viaFrameBuffer.store(force);
}

void RemapKey::Add(float v) {
    uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    if (used < words.size())
        words[used] = bits;
    ++used;
}

void RemapKey::Add(int32_t v) {
    if (used < words.size())
        words[used] = static_cast<uint32_t>(v);
    ++used;
}

bool CRegion::IsRemapCurrent(const RemapKey& key) const {
    return m_remapValid && key.used <= key.words.size() && key == m_remapKey;
}

bool CRegion::BeginRemap(const RegionView& view) {
    static constexpr const char* kFn = "SPHERA::CRegion::BeginRemap";
    if (m_remapBroken)
        return false;
    m_remapValid = false;
    if (m_remapTexture == 0) {
        GLuint tex = 0, fb = 0;
        glGenTextures(1, &tex);
        glGenFramebuffers(1, &fb);
        glBindTexture(GL_TEXTURE_2D, tex);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glBindTexture(GL_TEXTURE_2D, 0);
        m_remapTexture = tex;
        m_remapFrameBuffer = fb;
        m_remapWidth = m_remapHeight = 0;
    }
    if (m_remapWidth != view.targetWidth || m_remapHeight != view.targetHeight) {
        glBindTexture(GL_TEXTURE_2D, m_remapTexture);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, static_cast<GLsizei>(view.targetWidth),
                     static_cast<GLsizei>(view.targetHeight), 0, GL_RGBA, GL_FLOAT, nullptr);
        glBindTexture(GL_TEXTURE_2D, 0);
        m_remapWidth = view.targetWidth;
        m_remapHeight = view.targetHeight;
    }
    glBindFramebuffer(GL_FRAMEBUFFER, m_remapFrameBuffer);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, m_remapTexture, 0);
    if (m_drawToWindow) {
        m_remapWindowView = view;
        glDisable(GL_SCISSOR_TEST);
        glViewport(0, 0, static_cast<GLsizei>(view.targetWidth),
                   static_cast<GLsizei>(view.targetHeight));
    }
    const GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    if (glGetError() != GL_NO_ERROR || status != GL_FRAMEBUFFER_COMPLETE) {
        HLOG(kSource, kModule, 30, kFn, "[reg=%d] no float target (%#x), drawing directly",
             static_cast<int>(m_index), status);
        m_remapBroken = true;
        ReturnFromRemap();
        return false;
    }
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    return true;
}

void CRegion::ReturnFromRemap() {
    if (m_drawToWindow) {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        BindWindowRect(m_remapWindowView);
    } else {
        glBindFramebuffer(GL_FRAMEBUFFER, m_frameBuffer);
    }
}

void CRegion::FindRemapBox() {
    const int32_t w = static_cast<int32_t>(m_remapWidth), h = static_cast<int32_t>(m_remapHeight);
    m_remapBox[0] = m_remapBox[1] = 0;
    m_remapBox[2] = w;
    m_remapBox[3] = h;
    if (w <= 0 || h <= 0)
        return;
    // Read once per view, in strips of rows in the map's own format: a conversion to fewer
    // bytes costs the driver far more than the copy.
    constexpr int32_t kStripRows = 32;
    std::vector<float> strip;
    try {
        strip.resize(static_cast<size_t>(w) * kStripRows * 4);
    } catch (const std::bad_alloc&) {
        return;
    }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    int32_t x0 = w, y0 = h, x1 = 0, y1 = 0;
    for (int32_t top = 0; top < h; top += kStripRows) {
        const int32_t rows = std::min(kStripRows, h - top);
        glReadPixels(0, top, w, rows, GL_RGBA, GL_FLOAT, strip.data());
        if (glGetError() != GL_NO_ERROR)
            return;
        for (int32_t r = 0; r < rows; ++r) {
            const float* row = strip.data() + static_cast<size_t>(r) * static_cast<size_t>(w) * 4;
            int32_t first = 0;
            while (first < w && row[4 * first + 3] < 0.5f)
                ++first;
            if (first == w)
                continue;
            int32_t last = w - 1;
            while (row[4 * last + 3] < 0.5f)
                --last;
            x0 = std::min(x0, first);
            x1 = std::max(x1, last + 1);
            y0 = std::min(y0, top + r);
            y1 = top + r + 1;
        }
    }
    if (x1 <= x0 || y1 <= y0)
        x0 = y0 = x1 = y1 = 0;  // nothing drawn
    m_remapBox[0] = x0;
    m_remapBox[1] = y0;
    m_remapBox[2] = x1;
    m_remapBox[3] = y1;
}

void CRegion::EndRemap(const RemapKey& key) {
    FindRemapBox();
    ReturnFromRemap();
    m_remapKey = key;
    m_remapValid = true;
    m_remapBuilds.fetch_add(1);
    REGION_GL_CHECK("SPHERA::CRegion::EndRemap");
}

void CRegion::DrawThroughRemap(const RegionView& view, int32_t mapLocation, int32_t sizeLocation,
                               int32_t originLocation) {
    IRegionHost* h = m_owner;
    if (h == nullptr)
        return;
    glActiveTexture(GL_TEXTURE5);
    glBindTexture(GL_TEXTURE_2D, m_remapTexture);
    glUniform1i(mapLocation, 5);
    glUniform2f(sizeLocation, static_cast<float>(view.targetWidth),
                static_cast<float>(view.targetHeight));
    glUniform2f(originLocation, m_drawToWindow ? static_cast<float>(view.x) : 0.0f,
                m_drawToWindow ? static_cast<float>(view.y) : 0.0f);
    glActiveTexture(GL_TEXTURE0);
    const GLboolean cull = glIsEnabled(GL_CULL_FACE);
    glDisable(GL_CULL_FACE);
    // The box lies inside the target, and so inside the window rectangle the scissor held.
    const GLboolean scissor = glIsEnabled(GL_SCISSOR_TEST);
    GLint saved[4] = {0, 0, 0, 0};
    glGetIntegerv(GL_SCISSOR_BOX, saved);
    const int32_t ox = m_drawToWindow ? view.x : 0, oy = m_drawToWindow ? view.y : 0;
    const int32_t* box = m_remapBox;
    if (box[2] > box[0] && box[3] > box[1]) {
        glEnable(GL_SCISSOR_TEST);
        glScissor(ox + box[0], oy + box[1], box[2] - box[0], box[3] - box[1]);
        h->DrawQuad();
    }
    glScissor(saved[0], saved[1], saved[2], saved[3]);
    if (scissor != GL_TRUE)
        glDisable(GL_SCISSOR_TEST);
    if (cull == GL_TRUE)
        glEnable(GL_CULL_FACE);
    glActiveTexture(GL_TEXTURE5);
    glBindTexture(GL_TEXTURE_2D, 0);
    glActiveTexture(GL_TEXTURE0);
    REGION_GL_CHECK("SPHERA::CRegion::DrawThroughRemap");
}

void CRegion::RenderCamera(RegionView& view) {
    IRegionHost* h = m_owner;
    if (h == nullptr)
        return;
    UniformInt(h, U_DOUBLEPLANE, 0);
    const int32_t model = h->GetModelType();
    if (model == SPH_MODEL_NORMAL) {
        h->DrawQuad();
    } else {
        const GridSize g = GridDensity(model, view);
        h->DrawGrid(g.columns, g.rows);
        if (view.displayType == SPH_DISPLAY_PLANE360_FRONTBACK) {
            UniformInt(h, U_DOUBLEPLANE, 1);
            h->DrawGrid(g.columns, g.rows);
        }
    }
    REGION_GL_CHECK("SPHERA::CRegion::RenderCamera");
}

void CRegion::RenderEnd(RegionView& view) {
    static constexpr const char* kFn = "SPHERA::CRegion::RenderEnd";
    IRegionHost* h = m_owner;
    if (h == nullptr)
        return;

    if (m_composeSkipped) {
        OnProject(view);
        // The compose quad would have left the far plane everywhere.
        glClear(GL_DEPTH_BUFFER_BIT | (m_drawToWindow ? 0 : GL_STENCIL_BUFFER_BIT));
    } else {
        ComposePass(view);
    }

    const int32_t tw = static_cast<int32_t>(view.targetWidth),
                  th = static_cast<int32_t>(view.targetHeight);
    if (m_index == kScreenOffRegion) {
        OnSnap(0, 0, tw, th, true);
        glUseProgram(0);
        return;
    }

    if (m_drawToWindow) {
        glDisable(GL_SCISSOR_TEST);
    } else {
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
        glBlitFramebuffer(0, 0, tw, th, view.x, view.y, view.x + view.width,
                          view.y + view.height, GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT,
                          GL_NEAREST);
        REGION_GL_CHECK(kFn);
        glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    }
    OnSnap(view.x, view.y, view.width, view.height, false);
    glUseProgram(0);

    const ImageRect img = ComputeImageRect(view);
    BRIXEL::CHAutoLock lock(&m_callbackLock);
    if (m_drawCallback != nullptr)
        m_drawCallback(static_cast<uint16_t>(m_index), img.x, img.y, img.width, img.height, view.x,
                       view.y, view.width, view.height, m_drawUser);
}

void CRegion::ComposePass(const RegionView& view) {
    static constexpr const char* kFn = "SPHERA::CRegion::RenderEnd";
    IRegionHost* h = m_owner;
    m_current = 1 - m_current;
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D,
                           m_colourTexture[m_current], 0);
    REGION_GL_CHECK(kFn);

    OnProject(view);

    const uint32_t bg = m_backgroundColour;
    glClearColor((bg & 0xFF) / 255.0f, ((bg >> 8) & 0xFF) / 255.0f, ((bg >> 16) & 0xFF) / 255.0f,
                 0.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);

    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    UniformInt(h, U_DRAWBK, SPH_DWAW_BK_WITH_FLIP);
    m_current = 1 - m_current;
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, m_colourTexture[m_current]);
    UniformInt(h, U_TEX_BKG, 0);
    UniformInt(h, U_TEX, 0);  // the shaders read the previous pass through g_sTex as well
    const bool ownProgram = UseComposeProgram(view);
    h->DrawQuad();
    if (ownProgram)
        glUseProgram(h->GetProgram());
    glDisable(GL_BLEND);
    REGION_GL_CHECK(kFn);
}

bool CRegion::UseComposeProgram(const RegionView& view) {
    if (m_composeProgram == 0) {
        m_composeProgram = ~0u;
        const GLuint vs = CompileShader(GL_VERTEX_SHADER, kComposeVertex);
        const GLuint fs = CompileShader(GL_FRAGMENT_SHADER, kComposeFragment);
        GLuint program = (vs != 0 && fs != 0) ? glCreateProgram() : 0;
        if (program != 0) {
            glAttachShader(program, vs);
            glAttachShader(program, fs);
            glBindAttribLocation(program, 3, "g_vertexIn");
            glLinkProgram(program);
            GLint ok = GL_FALSE;
            glGetProgramiv(program, GL_LINK_STATUS, &ok);
            if (ok == GL_TRUE) {
                m_composeProgram = program;
                for (int i = 0; i < 6; ++i)
                    m_composeUniforms[i] = glGetUniformLocation(program, kComposeUniformNames[i]);
            } else {
                glDeleteProgram(program);
            }
        }
        if (vs != 0)
            glDeleteShader(vs);  // flagged; freed with the program
        if (fs != 0)
            glDeleteShader(fs);
        REGION_GL_CHECK("SPHERA::CRegion::RenderEnd");
    }
    if (m_composeProgram == ~0u)
        return false;
    glUseProgram(m_composeProgram);
    glUniform1i(m_composeUniforms[0], static_cast<GLint>(view.flip));
    glUniform1i(m_composeUniforms[1], 0);
    glUniform1i(m_composeUniforms[2], SPH_DWAW_BK_WITH_FLIP);
    glUniform1f(m_composeUniforms[3], view.brightness);
    glUniform1f(m_composeUniforms[4], view.saturation);
    glUniform1f(m_composeUniforms[5], view.contrast);
    return true;
}

float CRegion::FrameSizeFactor() {
    const float own = m_sizeFactor;
    BRIXEL::CHAutoLock lock(&m_snapLock);
    // The frame serves a request only when the request was made before the frame was laid out
    // with the request's settings, and only when the frame shows a picture.
    m_frameServesRequest = m_snapPending && (m_owner == nullptr || m_owner->HasPicture());
    m_frameSkipsCallback = false;
    if (!m_frameServesRequest)
        return own;
    m_frameRequest = m_snapRequest;
    if (m_frameRequest.formatCode == 0)
        m_frameRequest.formatCode = m_snapFormatCode;
    if (m_frameRequest.align == 0)
        m_frameRequest.align = m_snapAlign;
    if (m_frameRequest.scale == 0.0f || m_index != kScreenOffRegion)
        return own;
    m_frameSkipsCallback = m_frameRequest.scale != own;
    return m_frameRequest.scale;
}

void CRegion::OnSnap(int32_t x, int32_t y, int32_t width, int32_t height, bool fromFrameBuffer) {
    bool toCallback = false;
    bool toRequest = false;
    {
        BRIXEL::CHAutoLock lock(&m_snapLock);
        toCallback = m_snapCallback != nullptr && !m_frameSkipsCallback;
        toRequest = m_frameServesRequest && m_snapPending;
    }
    if (!toCallback && !toRequest)
        return;
    // The callback's settings are the host's; a one-shot request brings its own and gets a read
    // of its own when they differ.
    const uint32_t code = m_snapFormatCode;
    const uint32_t align = m_snapAlign;
    const bool shared = toCallback && toRequest && m_frameRequest.formatCode == code &&
                        m_frameRequest.align == align;
    if (toCallback)
        ReadBack(x, y, width, height, fromFrameBuffer, code, align, true, shared);
    if (toRequest && !shared)
        ReadBack(x, y, width, height, fromFrameBuffer, m_frameRequest.formatCode,
                 m_frameRequest.align, false, true);
}

void CRegion::ReadBack(int32_t x, int32_t y, int32_t width, int32_t height, bool fromFrameBuffer,
                       uint32_t code, uint32_t align, bool toCallback, bool toRequest) {
    static constexpr const char* kFn = "SPHERA::CRegion::OnSnap";
    const float rx = m_snapRect[0], ry = m_snapRect[1], rw = m_snapRect[2], rh = m_snapRect[3];
    const int32_t sx = static_cast<int32_t>(x + width * rx);
    const int32_t sy = static_cast<int32_t>(y + height * ry);
    const int32_t sw = std::max(0, static_cast<int32_t>(width * rw));
    const int32_t shh = std::max(0, static_cast<int32_t>(height * rh));
    GLenum format = GL_BGRA;
    uint32_t bytes = 4;
    switch (code) {
        case 1:
            format = GL_RGBA;
            bytes = 4;
            break;
        case 2:
            format = GL_RGB;
            bytes = 3;
            break;
        case 4:
            format = GL_BGR;
            bytes = 3;
            break;
        default:
            break;
    }
    const uint64_t stride64 = (static_cast<uint64_t>(sw) * bytes + align - 1) / align * align;
    const uint64_t size64 = stride64 * static_cast<uint64_t>(shh);
    const uint32_t stride = static_cast<uint32_t>(stride64);
    const uint32_t size = size64 <= 0x7FFFFFFFu ? static_cast<uint32_t>(size64) : 0;

    const void* mapped = nullptr;
    if (size != 0) {
        if (m_packBuffer != 0 && m_packBufferSize != size) {
            GLuint b = m_packBuffer;
            glDeleteBuffers(1, &b);
            m_packBuffer = 0;
            m_packBufferSize = 0;
        }
        if (m_packBuffer == 0) {
            GLuint b = 0;
            glGenBuffers(1, &b);
            m_packBuffer = b;
            glBindBuffer(GL_PIXEL_PACK_BUFFER, b);
            glBufferData(GL_PIXEL_PACK_BUFFER, size, nullptr, GL_STREAM_READ);
            m_packBufferSize = size;
        } else {
            glBindBuffer(GL_PIXEL_PACK_BUFFER, m_packBuffer);
        }
        REGION_GL_CHECK(kFn);
        glPixelStorei(GL_PACK_ALIGNMENT, static_cast<GLint>(align));
        glReadBuffer(fromFrameBuffer ? GL_COLOR_ATTACHMENT0 : GL_BACK);
        glReadPixels(sx, sy, sw, shh, format, GL_UNSIGNED_BYTE, nullptr);
        REGION_GL_CHECK(kFn);
        mapped = glMapBuffer(GL_PIXEL_PACK_BUFFER, GL_READ_ONLY);
    }
    {
        BRIXEL::CHAutoLock lock(&m_snapLock);
        if (toCallback && mapped != nullptr && m_snapCallback != nullptr)
            m_snapCallback(static_cast<uint16_t>(m_index), static_cast<uint32_t>(sw), stride,
                           static_cast<uint32_t>(shh), code, static_cast<const uint8_t*>(mapped),
                           m_snapUser);
        if (toRequest && m_snapPending) {
            m_snapPending = false;
            m_snapWidth = static_cast<uint32_t>(sw);
            m_snapStride = stride;
            m_snapHeight = static_cast<uint32_t>(shh);
            m_snapFormat = code;
            // A rectangle of no pixels has no picture; otherwise a read-back that cannot be
            // mapped or copied ran out of memory.
            m_snapResult = static_cast<int32_t>(size == 0 ? QUORIX_E_PARAM : QUORIX_E_NO_MEMORY);
            std::free(m_snapData);
            m_snapData = nullptr;
            if (mapped != nullptr) {
                m_snapData = static_cast<uint8_t*>(std::malloc(size));
                if (m_snapData != nullptr) {
                    std::memcpy(m_snapData, mapped, size);
                    m_snapResult = 0;
                }
            }
            m_snapReady = true;
            lock.Unlock();
            m_snapDone.Set();
        }
    }
    if (size != 0) {
        if (mapped != nullptr)
            glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
        glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    }
}

void CRegion::OnProject(const RegionView& view) {
    static constexpr const char* kFn = "SPHERA::CRegion::OnProject";
    BRIXEL::CHAutoLock lock(&m_projectLock);
    if (!m_projectPending)
        return;
    m_projectPending = false;

    GLint vp[4] = {0, 0, 0, 0};
    glGetIntegerv(GL_VIEWPORT, vp);
    const int32_t viewport[4] = {vp[0], vp[1], vp[2], vp[3]};
    const int32_t model = m_owner ? m_owner->GetModelType() : SPH_MODEL_NORMAL;
    const float undefined = std::numeric_limits<float>::quiet_NaN();
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    const size_t n = std::min(m_xs.size(), m_ys.size());
    for (size_t i = 0; i < n; ++i) {
        const double x = m_xs[i], y = m_ys[i];
        double outX = 0.0, outY = 0.0;
        bool defined = false;
        if (m_projectInverse) {
            int32_t px = 0, py = 0;
            if (ShownPointPixel(view, viewport, x, y, px, py)) {
                // Relative to the viewport, which is offset when the region draws in the window.
                GLfloat depth = 1.0f;
                glReadPixels(px + vp[0], py + vp[1], 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &depth);
                defined = UnProjectPoint(view, model, viewport, x, y, depth, outX, outY);
            }
        } else {
            defined = ProjectPoint(view, model, viewport, x, y, outX, outY);
        }
        m_xs[i] = defined ? static_cast<float>(outX) : undefined;
        m_ys[i] = defined ? static_cast<float>(outY) : undefined;
    }
    REGION_GL_CHECK(kFn);
    m_projectDone.Set();
}

// ---------------------------------------------------------------- renderer-level operations

namespace {

// A read-back rectangle is a non-empty part of the region: one reaching past an edge would read
// the neighbouring regions' pixels, or undefined ones outside the target.
bool IsSnapRectInside(float x, float y, float width, float height) {
    constexpr float kSlack = 1.0e-6f;  // 0.1 + 0.9 may round a hair above 1
    const bool finite =
        std::isfinite(x) && std::isfinite(y) && std::isfinite(width) && std::isfinite(height);
    return finite && x >= 0.0f && y >= 0.0f && width > 0.0f && height > 0.0f &&
           x + width <= 1.0f + kSlack && y + height <= 1.0f + kSlack;
}

CRegion* HostRegion(IRegionHost* render, uint32_t region) {
    if (render == nullptr || region >= kScreenOffRegion)
        return nullptr;
    return render->GetRegion(region);
}

}  // namespace

uint32_t GetDisplayTypeList(IRegionHost* render, int32_t* types, uint32_t* count) {
    if (render == nullptr || count == nullptr)
        return QUORIX_E_PARAM;
    const auto list = DisplayTypeList(render->GetModelType(), render->GetCameraCount());
    const uint32_t needed = static_cast<uint32_t>(list.size());
    const uint32_t room = *count;
    *count = needed;
    if (room < needed)
        return QUORIX_E_BUFFER_TOO_SMALL;
    if (types == nullptr)
        return QUORIX_E_PARAM;
    std::copy(list.begin(), list.end(), types);
    return QUORIX_OK;
}

uint32_t EnableRegion(IRegionHost* render, uint32_t region, int32_t x, int32_t y, int32_t width,
                      int32_t height, bool enable) {
    if (render == nullptr || region >= kRegionCount)
        return QUORIX_E_PARAM;
    CRegion* r = render->GetRegion(region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    // A negative size is as empty as a zero one: nothing could be drawn into it.
    if (width > 0 && height > 0 && enable) {
        r->Enable(x, y, width, height);
        if (r->GetDisplayType() == -1) {
            const auto list = DisplayTypeList(render->GetModelType(), render->GetCameraCount());
            r->SetDisplayType(list.empty() ? SPH_DISPLAY_PLANE : list.front());
        }
    } else {
        r->Disable();
    }
    return QUORIX_OK;
}

uint32_t SetDisplayType(IRegionHost* render, uint32_t region, int32_t type) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    if (!IsDisplayTypeSupported(render->GetModelType(), render->GetCameraCount(), type))
        return QUORIX_E_PARAM;
    r->SetDisplayType(type);
    return QUORIX_OK;
}

uint32_t GetDisplayType(IRegionHost* render, uint32_t region, int32_t* type) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr || type == nullptr)
        return QUORIX_E_PARAM;
    *type = r->GetDisplayType();
    return QUORIX_OK;
}

uint32_t SetPtz(IRegionHost* render, uint32_t region, float pan, float tilt, float zoom) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    r->SetPtz(pan, tilt, zoom);
    return QUORIX_OK;
}

uint32_t GetPtz(IRegionHost* render, uint32_t region, float* pan, float* tilt, float* zoom) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    r->GetPtz(pan, tilt, zoom);
    return QUORIX_OK;
}

uint32_t SetRatioType(IRegionHost* render, uint32_t region, uint32_t ratioType) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    r->SetRatioType(ratioType);
    return QUORIX_OK;
}

uint32_t SetFlip(IRegionHost* render, uint32_t region, uint32_t flip) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    r->SetFlip(flip);
    return QUORIX_OK;
}

uint32_t SetBackgroundColor(IRegionHost* render, uint32_t region, uint32_t colour) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    r->SetBackgroundColor(colour);
    return QUORIX_OK;
}

uint32_t EnableBlankPtz(IRegionHost* render, uint32_t region, bool enable) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    r->EnableBlankPtz(enable);
    return QUORIX_OK;
}

uint32_t SetDrawCallback(IRegionHost* render, uint32_t region, DrawCallback callback, void* user) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    r->SetDrawCallback(callback, user);
    return QUORIX_OK;
}

uint32_t SetSnapCallback(IRegionHost* render, uint32_t region, SnapCallback callback, void* user) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    r->SetSnapCallback(callback, user);
    return QUORIX_OK;
}

uint32_t SetSnapRect(IRegionHost* render, uint32_t region, float x, float y, float width,
                     float height) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr || !IsSnapRectInside(x, y, width, height))
        return QUORIX_E_PARAM;
    r->SetSnapRect(x, y, width, height);
    return QUORIX_OK;
}

uint32_t SetSnapFormat(IRegionHost* render, uint32_t region, uint32_t format, uint32_t align) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    const uint32_t rc = r->SetSnapFormat(format);
    if (rc != QUORIX_OK)
        return rc;
    return r->SetSnapAlign(align);
}

uint32_t Snap(IRegionHost* render, uint32_t region, uint32_t timeoutMs, uint32_t* width,
              uint32_t* stride, uint32_t* height, uint32_t* format, uint8_t** data,
              const SnapRequest& request) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    return r->Snap(timeoutMs, width, stride, height, format, data, request);
}

namespace {
CRegion* OffScreenRegion(IRegionHost* render) {
    return render == nullptr ? nullptr : render->GetRegion(kScreenOffRegion);
}

void PrepareOffScreen(IRegionHost* render, CRegion* r9) {
    r9->Enable(0, 0, 0, 0);
    int32_t type = ScreenOffDisplayType(render->GetModelType(), r9->GetDisplayType());
    if (type == -1)
        type = SPH_DISPLAY_PLANE;
    r9->SetDisplayType(type);
}
}  // namespace

uint32_t ScreenOffSnap(IRegionHost* render, uint32_t timeoutMs, uint32_t* width, uint32_t* stride,
                       uint32_t* height, uint32_t* format, uint8_t** data,
                       const SnapRequest& request) {
    CRegion* r9 = OffScreenRegion(render);
    if (r9 == nullptr)
        return QUORIX_E_PARAM;
    if (data == nullptr)
        return QUORIX_E_PARAM;
    BRIXEL::CHAutoLock lock(&r9->SnapLock());
    if (!r9->HasSnapCallback())
        PrepareOffScreen(render, r9);
    render->SetSnapshotBusy(true);
    lock.Unlock();
    const uint32_t rc = r9->Snap(timeoutMs, width, stride, height, format, data, request);
    lock.Lock();
    if (!r9->HasSnapCallback())
        r9->Disable();
    render->SetSnapshotBusy(false);
    return rc;
}

uint32_t SetScreenOffSnapCallback(IRegionHost* render, SnapCallback callback, void* user) {
    CRegion* r9 = OffScreenRegion(render);
    if (r9 == nullptr)
        return QUORIX_E_PARAM;
    BRIXEL::CHAutoLock lock(&r9->SnapLock());
    if (!render->IsSnapshotBusy()) {
        if (callback != nullptr)
            PrepareOffScreen(render, r9);
        else
            r9->Disable();
    }
    r9->SetSnapCallback(callback, user);
    return QUORIX_OK;
}

uint32_t SetScreenOffSnapRect(IRegionHost* render, float x, float y, float width, float height) {
    CRegion* r9 = OffScreenRegion(render);
    if (r9 == nullptr || !IsSnapRectInside(x, y, width, height))
        return QUORIX_E_PARAM;
    r9->SetSnapRect(x, y, width, height);
    return QUORIX_OK;
}

uint32_t SetScreenOffSnapFormat(IRegionHost* render, float sizeFactor, uint32_t format,
                                uint32_t align) {
    CRegion* r9 = OffScreenRegion(render);
    if (r9 == nullptr)
        return QUORIX_E_PARAM;
    r9->SetSnapScale(sizeFactor);
    const uint32_t rc = r9->SetSnapFormat(format);
    if (rc != QUORIX_OK)
        return rc;
    return r9->SetSnapAlign(align);
}

void FreeSnapData(uint8_t* data) {
    std::free(data);
}

uint32_t Project(IRegionHost* render, uint32_t region, const float* xs, const float* ys,
                 float* outXs, float* outYs, uint32_t count) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    return r->Project(kProjectTimeoutMs, xs, ys, outXs, outYs, count, false);
}

uint32_t UnProject(IRegionHost* render, uint32_t region, const float* xs, const float* ys,
                   float* outXs, float* outYs, uint32_t count) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    return r->Project(kProjectTimeoutMs, xs, ys, outXs, outYs, count, true);
}

}  // namespace SPHERA
