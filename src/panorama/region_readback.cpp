// A region's read-back: the snapshot settings, the one-shot snapshot a host thread waits for,
// and the continuous snapshot callback, both served by the render thread after the region is
// drawn.

#include <GL/glew.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <quorixsdk_codes.h>

#include "base/hclock.h"
#include "panorama/region.h"
#include "panorama/region_internal.h"

namespace SPHERA {

// ---------------------------------------------------------------- host side

void CRegion::SetSnapCallback(SnapCallback callback, void* user) {
    {
        BRIXEL::CHAutoLock lock(&m_snapLock);
        m_snapCallback = callback;
        m_snapUser = user;
    }
    // A callback installed on an idle port is given the picture shown once.
    if (callback != nullptr)
        Changed();
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
    Changed();  // the callback's picture changes with it
}

uint32_t CRegion::SetSnapFormat(uint32_t code) {
    if (code > 4)
        return QUORIX_E_PARAM;
    m_snapFormatCode = code == 0 ? 3 : code;
    Changed();
    return QUORIX_OK;
}

uint32_t CRegion::SetSnapAlign(uint32_t align) {
    if (align != 1 && align != 2 && align != 4 && align != 8)
        return QUORIX_E_PARAM;
    m_snapAlign = align;
    Changed();
    return QUORIX_OK;
}

void CRegion::SetSnapScale(float factor) {
    m_sizeFactor = factor;
    Changed();
}

bool CRegion::HasPendingRequest() {
    {
        BRIXEL::CHAutoLock lock(&m_snapLock);
        if (m_snapPending)
            return true;
    }
    BRIXEL::CHAutoLock lock(&m_projectLock);
    return m_projectPending;
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
    // A renderer that is idle draws the frame this request waits for at once.
    Changed();
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

// ---------------------------------------------------------------- render thread

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

}  // namespace SPHERA
