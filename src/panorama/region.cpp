// Render regions: the host-side state of a region and its view, its GL objects and frame
// buffers, and the camera and compose passes that draw it into the window. The texture-coordinate
// map, read-back and project/unproject live in region_map.cpp, region_readback.cpp and
// region_project.cpp; the renderer-level operations in region_ops.cpp.

#include "panorama/region.h"

#include <GL/glew.h>

#include <cstdlib>

#include <quorixsdk_codes.h>

#include "base/hlog.h"
#include "panorama/gl_util.h"
#include "panorama/region_internal.h"
#include "panorama/shader_embed.h"

namespace SPHERA {

namespace {

std::atomic<bool> g_viaFrameBuffer{false};

void UniformInt(IRegionHost* h, EUniform u, int32_t v) {
    glUniform1i(h->GetUniform(u), v);
}

void UniformFloat(IRegionHost* h, EUniform u, float v) {
    glUniform1f(h->GetUniform(u), v);
}

const char* const kComposeUniformNames[6] = {"g_nFlip",       "g_sTex_bkg",    "g_nDrawBK",
                                             "g_fBrightness", "g_fSaturation", "g_fContrast"};

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
    {
        BRIXEL::CHAutoLock lock(&m_stateLock);
        m_enabled = true;
    }
    Changed();
}

void CRegion::Enable(int32_t x, int32_t y, int32_t width, int32_t height) {
    if (m_owner == nullptr || m_index >= kRegionCount)
        return;
    {
        BRIXEL::CHAutoLock lock(&m_stateLock);
        m_enabled = true;
        m_x = x;
        m_y = y;
        m_width = width;
        m_height = height;
    }
    Changed();
}

void CRegion::Disable() {
    {
        BRIXEL::CHAutoLock lock(&m_stateLock);
        m_enabled = false;
        m_current = 0;
    }
    Changed();
}

bool CRegion::IsEnabled() {
    BRIXEL::CHAutoLock lock(&m_stateLock);
    return m_enabled;
}

void CRegion::SetDisplayType(int32_t type) {
    {
        BRIXEL::CHAutoLock lock(&m_stateLock);
        if (type == SPH_DISPLAY_CYLINDER && m_displayType != SPH_DISPLAY_CYLINDER)
            m_tilt = kCylinderTilt;
        if (type != SPH_DISPLAY_CYLINDER && m_displayType == SPH_DISPLAY_CYLINDER)
            m_tilt = 0.0f;
        m_displayType = type;
    }
    Changed();
}

int32_t CRegion::GetDisplayType() {
    BRIXEL::CHAutoLock lock(&m_stateLock);
    return m_displayType;
}

void CRegion::SetPtz(float pan, float tilt, float zoom) {
    StorePtz(pan, tilt, zoom);
    Changed();
}

void CRegion::StorePtz(float pan, float tilt, float zoom) {
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
    {
        BRIXEL::CHAutoLock lock(&m_stateLock);
        m_ratioType = ratioType;
    }
    Changed();
}

void CRegion::SetFlip(uint32_t flip) {
    {
        BRIXEL::CHAutoLock lock(&m_stateLock);
        m_flip = flip;
    }
    Changed();
}

void CRegion::SetColorAdjust(float brightness, float saturation, float contrast) {
    {
        BRIXEL::CHAutoLock lock(&m_stateLock);
        m_brightness = brightness;
        m_saturation = saturation;
        m_contrast = contrast;
    }
    Changed();
}

void CRegion::SetBackgroundColor(uint32_t colour) {
    m_backgroundColour = colour;
    Changed();
}

void CRegion::EnableBlankPtz(bool enable) {
    m_blankPtz = enable;
    Changed();
}

void CRegion::SetDrawCallback(DrawCallback callback, void* user) {
    {
        BRIXEL::CHAutoLock lock(&m_callbackLock);
        m_drawCallback = callback;
        m_drawUser = user;
    }
    // A callback installed on an idle port is given the picture shown once.
    if (callback != nullptr)
        Changed();
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
    m_drawnViewSerial = ++m_viewSerial;
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
        src.mount = m_owner->GetMount();
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
        StorePtz(view.pan, view.tilt, view.zoom);
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
            HLOG(kRegionLogSource, kRegionLogModule, 40, kFn, "[reg=%d] glBindFramebuffer fail %#x",
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
        glBlitFramebuffer(0, 0, tw, th, view.x, view.y, view.x + view.width, view.y + view.height,
                          GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT, GL_NEAREST);
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
        // Built silently: when it cannot be, the renderer's program composes instead.
        const GLuint program = BuildProgram(g_composeVertSource, g_composeFragSource, nullptr);
        if (program != 0) {
            m_composeProgram = program;
            for (int i = 0; i < 6; ++i)
                m_composeUniforms[i] = glGetUniformLocation(program, kComposeUniformNames[i]);
        }
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

}  // namespace SPHERA
