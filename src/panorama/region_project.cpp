// Project and unproject: a host thread hands its points to the region and waits; the render
// thread converts them against the frame it has just drawn (unproject reads the depth buffer).

#include <GL/glew.h>

#include <algorithm>
#include <limits>

#include <quorixsdk_codes.h>

#include "panorama/region.h"
#include "panorama/region_internal.h"

namespace SPHERA {

namespace {

// A project request larger than this is refused rather than allocated.
constexpr uint32_t kMaxProjectPoints = 1u << 20;

}  // namespace

// ---------------------------------------------------------------- host side

uint32_t CRegion::Project(uint32_t timeoutMs, const float* xs, const float* ys, float* outXs,
                          float* outYs, uint32_t count, bool inverse) {
    if (xs == nullptr || ys == nullptr || outXs == nullptr || outYs == nullptr)
        return QUORIX_E_PARAM;
    if (count > kMaxProjectPoints)
        return QUORIX_E_PARAM;
    if (!HasSourceCoordinates(GetDisplayType()))
        return QUORIX_E_NOT_SUPPORTED;
    uint64_t viewsSoFar = 0;
    {
        BRIXEL::CHAutoLock state(&m_stateLock);
        viewsSoFar = m_viewSerial;
    }
    BRIXEL::CHAutoLock lock(&m_projectLock);
    m_projectDone.Reset();
    m_projectPending = true;
    m_projectAfterView = viewsSoFar;
    m_projectInverse = inverse;
    m_xs.assign(xs, xs + count);
    m_ys.assign(ys, ys + count);
    lock.Unlock();
    // A renderer that is idle draws the frame this request waits for at once.
    Changed();
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

void CRegion::OnProject(const RegionView& view) {
    static constexpr const char* kFn = "SPHERA::CRegion::OnProject";
    BRIXEL::CHAutoLock lock(&m_projectLock);
    // A frame that took its view before the request answers for settings the host has changed
    // since: the next frame, which the request has asked for, answers instead.
    if (!m_projectPending || m_drawnViewSerial <= m_projectAfterView)
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

}  // namespace SPHERA
