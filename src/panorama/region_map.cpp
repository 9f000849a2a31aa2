// A region's texture-coordinate map: the camera pass drawn once per view into a float target
// that keeps each pixel's texture coordinate and depth, and the picture then drawn through it as
// one quad, scissored to the part of the target the mesh covered.

#include <GL/glew.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "base/hlog.h"
#include "panorama/region.h"
#include "panorama/region_internal.h"

namespace SPHERA {

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
        HLOG(kRegionLogSource, kRegionLogModule, 30, kFn,
             "[reg=%d] no float target (%#x), drawing directly", static_cast<int>(m_index), status);
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

}  // namespace SPHERA
