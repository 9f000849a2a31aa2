#include "ddraw/display.h"
#include <cxxabi.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <new>

#include "base/hlog.h"
#include "base/hpixel.h"
#include "platform/x11_window.h"

namespace HDD {

using QXPLAT::DDRECT;

namespace {

constexpr const char* kSource = "..\\src\\display";
constexpr const char* kModule = "hdxdraw";

// Largest picture side the display accepts; the surfaces have the same bound.
constexpr uint32_t kMaxPictureSide = 16384;

// The CHPixelFormat each video format of a back surface is converted to.
BRIXEL::CHPixelFormat TargetFormat(uint32_t videoFormat) {
    switch (videoFormat) {
        case 1:
            return BRIXEL::HPIXEL_YV12;
        case 2:
            return BRIXEL::HPIXEL_YUV420P;
        case 3:
            return BRIXEL::HPIXEL_UYVY;
        case 4:
        case 5:
            return BRIXEL::HPIXEL_YUYV;
        case 6:
            return BRIXEL::HPIXEL_BGRX32;
        case 7:
            return BRIXEL::HPIXEL_BGR24;
        case 8:
            return BRIXEL::HPIXEL_RGB565;
        case 9:
            return BRIXEL::HPIXEL_RGB555;
        default:
            return BRIXEL::HPIXEL_NONE;
    }
}

// Bytes of a back surface of this video format (the part a converted picture fills).
uint64_t BackSurfaceBytes(uint32_t videoFormat, uint32_t pitch, uint32_t height) {
    const uint64_t area = static_cast<uint64_t>(pitch) * height;
    return (videoFormat == 1 || videoFormat == 2) ? BRIXEL::HPixelI420Size(pitch, height) : area;
}

// Truncates a product toward zero into the int32 range (a huge zoom must not overflow).
int32_t TruncClamp(double v) {
    if (std::isnan(v))
        return 0;
    if (v >= 2147483647.0)
        return 2147483647;
    if (v <= -2147483648.0)
        return -2147483647 - 1;
    return static_cast<int32_t>(v);
}

float Clamp01(float v) {
    if (std::isnan(v))
        return 0.0f;
    return std::min(1.0f, std::max(0.0f, v));
}

float ClampUnit(float v) {
    if (std::isnan(v))
        return 0.0f;
    return std::min(1.0f, std::max(-1.0f, v));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// e-PTZ
//
// A region of dw x dh shows a w x h picture. The fit mode sizes the picture's destination D:
// full width (height from the aspect ratio), full height (width from it) or the whole region.
// Zoom z then enlarges D around its centre, but never beyond the region; whatever of the zoomed
// picture does not fit is cropped from the source instead, keeping D's aspect ratio. So zoom
// first fills the region and only then magnifies. Pan and tilt slide the cropped source S
// inside the picture by up to half the cropped margin (a positive pan shows more of the left,
// a positive tilt more of the bottom); while nothing is cropped they are reset to 0.

uint32_t ComputeRegionRects(const DDRECT& R, uint32_t fitMode, CPtz* ptz, uint32_t w, uint32_t h,
                            DDRECT* dest, DDRECT* source) {
    const int64_t dw64 = static_cast<int64_t>(R.right) - R.left;
    const int64_t dh64 = static_cast<int64_t>(R.bottom) - R.top;
    if (dw64 <= 0 || dh64 <= 0 || dw64 > INT32_MAX || dh64 > INT32_MAX || w == 0 || h == 0 ||
        w > kMaxPictureSide || h > kMaxPictureSide) {
        return QUORIX_E_PARAM;
    }
    const int32_t dw = static_cast<int32_t>(dw64);
    const int32_t dh = static_cast<int32_t>(dh64);
    DDRECT D = R;
    const double a = static_cast<double>(w) / h;
    enum { kFullWidth, kFullHeight, kStretch } fit = kStretch;
    if (fitMode == FIT_INSIDE) {
        fit = a >= static_cast<double>(dw) / dh ? kFullWidth : kFullHeight;
    } else if (fitMode == FIT_WIDTH) {
        fit = kFullWidth;
    } else if (fitMode == FIT_HEIGHT) {
        fit = kFullHeight;
    }
    if (fit == kFullWidth) {
        const int32_t nh = TruncClamp(dw / a);
        D.top += (dh - nh) / 2;
        D.bottom = D.top + nh;
    } else if (fit == kFullHeight) {
        const uint32_t nw = static_cast<uint32_t>(static_cast<uint64_t>(dh) * w / h);
        D.left += (dw - static_cast<int32_t>(nw)) / 2;
        D.right = D.left + static_cast<int32_t>(nw);
    }

    float z = ptz->zoom;
    if (!(z >= 1.0f))
        z = 1.0f;
    const int32_t W = D.right - D.left;
    const int32_t H = D.bottom - D.top;
    const int32_t zw = TruncClamp(static_cast<float>(W) * z);
    const int32_t zh = TruncClamp(static_cast<float>(H) * z);
    const int32_t cw = std::min(zw, dw);
    const int32_t ch = std::min(zh, dh);
    D.left += (W - cw) / 2;
    D.right = D.left + cw;
    D.top += (H - ch) / 2;
    D.bottom = D.top + ch;
    if (cw <= 0 || ch <= 0)
        return QUORIX_E_NOT_SUPPORTED;

    int64_t sw = 0, sh = 0;
    if (fit == kFullWidth) {
        sh = h;
        if (zh > dh)
            sh = static_cast<int64_t>(dh) * h / zh;
        sw = sh * cw / ch;
    } else if (fit == kFullHeight) {
        sw = w;
        if (zw > dw)
            sw = static_cast<int64_t>(dw) * w / zw;
        sh = sw * ch / cw;
    } else {
        sw = TruncClamp(w / z);
        sh = TruncClamp(h / z);
    }
    // An enormous zoom still shows at least one source pixel.
    sw = std::max<int64_t>(1, std::min<int64_t>(sw, w));
    sh = std::max<int64_t>(1, std::min<int64_t>(sh, h));
    DDRECT S;
    S.left = static_cast<int32_t>((static_cast<int64_t>(w) - sw) / 2);
    S.top = static_cast<int32_t>((static_cast<int64_t>(h) - sh) / 2);
    S.right = S.left + static_cast<int32_t>(sw);
    S.bottom = S.top + static_cast<int32_t>(sh);

    const int32_t mx = static_cast<int32_t>(w - sw);
    const int32_t my = static_cast<int32_t>(h - sh);
    if (mx < 2)
        ptz->pan = 0.0f;
    if (my >= 0 && my < 2)
        ptz->tilt = 0.0f;
    int32_t dx = TruncClamp(static_cast<double>(w) * ptz->pan * 0.5);
    dx = std::max(-(mx / 2), std::min(mx / 2, dx));
    int32_t dy = TruncClamp(static_cast<double>(h) * ptz->tilt * 0.5);
    dy = std::max(-(my / 2), std::min(my / 2, dy));
    S.left -= dx;
    S.right -= dx;
    S.top += dy;
    S.bottom += dy;
    *dest = D;
    *source = S;
    return QUORIX_OK;
}

// ---------------------------------------------------------------------------------------------
// CDecodeFrame

CDecodeFrame::~CDecodeFrame() {
    GiveBack();
}

CDecodeFrame::Borrowed CDecodeFrame::TakeBorrowed() {
    Borrowed borrowed;
    if (data.GetData() == nullptr || data.IsOwned())
        return borrowed;
    borrowed.capacity = static_cast<uint32_t>(data.GetCapacity());
    borrowed.memory = data.Detach();
    return borrowed;
}

void CDecodeFrame::GiveBack() {
    m_owner->GiveBack(TakeBorrowed());
}

// ---------------------------------------------------------------------------------------------
// CDisplay

CDisplay::CDisplay() = default;

CDisplay::~CDisplay() {
    Shutdown();
}

void CDisplay::Shutdown() {
    if (m_shutDown)
        return;
    m_shutDown = true;
    m_wakeEvent.Set();
    Stop();
    UnwatchWindow();
    {
        BRIXEL::CHAutoLock draw(&m_drawLock);
        ReleaseAll();
    }
    std::shared_ptr<CDecodeFrame> frame, spare;
    std::deque<std::shared_ptr<CDecodeFrame>> queued;
    {
        BRIXEL::CHAutoLock lock(&m_frameLock);
        frame = std::move(m_frame);
        spare = std::move(m_spare);
        queued = std::move(m_queued);
    }
    // Dropped here, outside the lock: the last owner hands borrowed memory back.
}

void CDisplay::GiveBack(const CDecodeFrame::Borrowed& borrowed) {
    if (borrowed.memory == nullptr)
        return;
    FrameReleaseCallback callback = m_releaseCallback.load();
    if (callback != nullptr)
        callback(borrowed.memory, borrowed.capacity, m_releaseUser.load());
}

std::shared_ptr<CDecodeFrame> CDisplay::NewFrame() {
    try {
        return std::make_shared<CDecodeFrame>(this);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

uint32_t CDisplay::OnThreadLoop(uint64_t) {
    // Read before anything is looked at: a change made while the picture is drawn counts again.
    const uint64_t generation = m_generation.load();
    const uintptr_t window = m_window.load();
    bool usable = false;
    const bool windowNeeds = WindowNeedsDrawing(window, &usable);
    const bool needed = generation != m_drawnGeneration || m_retry || windowNeeds;
    std::shared_ptr<CDecodeFrame> hold;
    bool older = false;
    if (Busy() && needed) {
        m_retry = false;
        m_idlePasses = 0;
        BRIXEL::CHAutoLock lock(&m_frameLock);
        if (!m_queued.empty()) {
            // The newer pictures are drawn by the next passes, at once.
            hold = std::move(m_queued.front());
            m_queued.pop_front();
            older = true;
        } else {
            m_drawnGeneration = generation;
            hold = m_frame;
            m_frameTaken = true;
        }
    }
    if (hold) {
        // The held picture stays as it is while the host reads it: a new one goes elsewhere.
        SnapCallback snap = m_snapCallback.load();
        m_heldColour.store(hold->colour);
        if (snap != nullptr && hold->data.GetData() != nullptr) {
            snap(hold->width, hold->stride, hold->height, BRIXEL::HPIXEL_YUV420P,
                 hold->data.GetData(), m_snapUser.load());
        }
        // The snap callback may have closed the port, which ends this thread.
        if (!IsStopRequested()) {
            uint32_t r;
            {
                BRIXEL::CHAutoLock draw(&m_drawLock);
                r = DrawFrame(*hold);
            }
            m_drawings.fetch_add(1);
            // A window that is gone or has no area is drawn again when that changes; other
            // failures (surfaces, blits) are tried again at the next pass.
            m_retry = r != QUORIX_OK && usable && m_window.load() == window;
            FrameDrawnCallback drawn = m_drawnCallback.load();
            if (drawn != nullptr)
                drawn(r, m_drawnUser.load());
        }
        BRIXEL::CHAutoLock lock(&m_frameLock);
        if (hold != m_frame && hold.use_count() == 1 && hold->data.IsOwned())
            m_spare = std::move(hold);
    }
    // A replaced borrowed picture goes back here, under no lock.
    hold.reset();
    if (older)
        m_wakeEvent.Set();
    {
        std::lock_guard<std::mutex> guard(m_passMutex);
        ++m_passes;
    }
    m_passDone.notify_all();
    m_wakeEvent.Wait(kRedrawIntervalMs);
    return 0;
}

bool CDisplay::WindowNeedsDrawing(uintptr_t window, bool* usable) {
    *usable = false;
    // Once per window: one whose exposures cannot be watched is drawn again now and then.
    if (window != m_watchTried) {
        UnwatchWindow();
        m_watchTried = window;
        std::shared_ptr<QXPLAT::CX11Connection> conn = QXPLAT::CX11Connection::Default();
        if (window != 0 && window <= 0xFFFFFFFFu && conn &&
            conn->WatchExposure(static_cast<uint32_t>(window))) {
            m_watchedWindow = window;
        }
        m_idlePasses = 0;
    }
    if (window == 0) {
        m_probedWindow = 0;
        return false;
    }
    DDRECT client{};
    int32_t sx = 0, sy = 0;
    const bool exists =
        QXPLAT::DDGetClientRect(window, &client) && QXPLAT::DDClientToScreen(window, &sx, &sy);
    const DDRECT onScreen{sx, sy, sx + client.right - client.left, sy + client.bottom - client.top};
    *usable = exists && client.right > client.left && client.bottom > client.top;
    bool needed = window != m_probedWindow || exists != m_probedUsable ||
                  std::memcmp(&onScreen, &m_probedRect, sizeof(onScreen)) != 0;
    m_probedWindow = window;
    m_probedUsable = exists;
    m_probedRect = onScreen;
    if (m_watchedWindow == window) {
        std::shared_ptr<QXPLAT::CX11Connection> conn = QXPLAT::CX11Connection::Default();
        if (conn && conn->TakeExposure(static_cast<uint32_t>(window)))
            needed = true;
    } else if (++m_idlePasses >= kIdleRedrawPasses) {
        needed = true;
    }
    return needed;
}

void CDisplay::UnwatchWindow() {
    if (m_watchedWindow == 0)
        return;
    std::shared_ptr<QXPLAT::CX11Connection> conn = QXPLAT::CX11Connection::Default();
    if (conn)
        conn->UnwatchExposure(static_cast<uint32_t>(m_watchedWindow));
    m_watchedWindow = 0;
}

uint64_t CDisplay::GetLoopPasses() {
    std::lock_guard<std::mutex> guard(m_passMutex);
    return m_passes;
}

bool CDisplay::WaitLoopPasses(uint64_t passes, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_passMutex);
    const uint64_t target = m_passes + passes;
    return m_passDone.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return m_passes >= target; });
}

bool CDisplay::Busy() const {
    // Without a window or anybody to tell, a picture is only kept for snapshots: it is not
    // held, so borrowed memory goes back as soon as the next picture arrives.
    return m_window.load() != 0 || m_snapCallback.load() != nullptr ||
           m_drawnCallback.load() != nullptr;
}

void CDisplay::KeepUndrawnLocked() {
    if (!m_frame || m_frameTaken || m_queued.size() >= kMaxQueued || !Busy())
        return;
    try {
        m_queued.push_back(std::move(m_frame));
    } catch (const std::bad_alloc&) {
        // Replaced undrawn, as when the queue is full.
    }
}

void CDisplay::TakeBackNewestQueuedLocked() {
    if (m_queued.empty())
        return;
    m_frame = std::move(m_queued.back());
    m_queued.pop_back();
}

uint32_t CDisplay::SetWindow(uintptr_t window) {
    BRIXEL::CHAutoLock lock(&m_drawLock);
    if (window == 0) {
        m_window = 0;
        Changed();
        return QUORIX_OK;
    }
    if (m_window.load() != 0)
        return QUORIX_OK;
    m_window = window;
    DDRECT client{};
    if (QXPLAT::DDGetClientRect(window, &client)) {
        m_cacheWidth = static_cast<uint32_t>(client.right);
        m_cacheHeight = static_cast<uint32_t>(client.bottom);
    }
    // Surfaces made for another window would keep drawing into that one.
    if (window != m_surfaceWindow)
        m_initialised = false;
    Changed();
    return QUORIX_OK;
}

uint32_t CDisplay::InputPicture(uint32_t width, uint32_t height, uint32_t format,
                                const uint8_t* const* planes, const uint32_t* strides,
                                BRIXEL::CHYUVColour colour) {
    if (format != 0 && format != BRIXEL::HPIXEL_YUV420P)
        return QUORIX_E_PARAM;
    if (width == 0 || height == 0 || planes == nullptr || strides == nullptr)
        return QUORIX_E_PARAM;
    if (planes[0] == nullptr || planes[1] == nullptr || planes[2] == nullptr)
        return QUORIX_E_PARAM;
    const uint32_t stride = strides[0];
    if (stride < width || width > kMaxPictureSide || height > kMaxPictureSide)
        return QUORIX_E_PARAM;
    const uint32_t cw = BRIXEL::HPixelChromaStride(width);
    if (strides[1] < cw || strides[2] < cw)
        return QUORIX_E_PARAM;
    // The picture keeps the caller's Y stride; its chroma planes follow the one 4:2:0 layout,
    // which holds the last column and row of odd sizes.
    const uint64_t capacity = BRIXEL::HPixelI420Size(stride, height);
    if (capacity > BRIXEL::HPIXEL_MAX_PICTURE_BYTES)
        return QUORIX_E_NO_MEMORY;
    // Let go after the lock: handing borrowed memory back calls the host.
    std::shared_ptr<CDecodeFrame> replaced, failed;
    CDecodeFrame::Borrowed borrowed;
    BRIXEL::CHAutoLock lock(&m_frameLock);
    KeepUndrawnLocked();
    if (m_frame && m_frame.use_count() == 1) {
        borrowed = m_frame->TakeBorrowed();
    } else {
        // The display thread reads the pending picture: it keeps it, this one goes elsewhere.
        replaced = std::move(m_frame);
        m_frame = m_spare ? std::move(m_spare) : NewFrame();
        if (!m_frame) {
            lock.Unlock();
            GiveBack(borrowed);
            return QUORIX_E_NO_MEMORY;
        }
    }
    {
        m_frame->width = width;
        m_frame->height = height;
        m_frame->stride = stride;
        m_frame->colour = BRIXEL::HYUVSanitize(colour);
        m_frame->data.Reserve(capacity);
        uint8_t* dst = m_frame->data.GetData();
        if (dst == nullptr || m_frame->data.GetCapacity() < capacity) {
            failed = std::move(m_frame);
            TakeBackNewestQueuedLocked();  // snapshots keep a picture
            lock.Unlock();
            GiveBack(borrowed);
            return QUORIX_E_NO_MEMORY;
        }
        for (uint32_t y = 0; y < height; ++y) {
            std::memcpy(dst + static_cast<uint64_t>(y) * stride,
                        planes[0] + static_cast<uint64_t>(y) * strides[0], width);
        }
        // U then V, each plane a contiguous block.
        const uint32_t chromaStride = BRIXEL::HPixelChromaStride(stride);
        const uint32_t chromaRows = BRIXEL::HPixelChromaRows(height);
        const uint32_t rowBytes = cw;
        uint8_t* u = dst + BRIXEL::HPixelI420FirstOffset(stride, height);
        uint8_t* v = dst + BRIXEL::HPixelI420SecondOffset(stride, height);
        for (uint32_t y = 0; y < chromaRows; ++y) {
            std::memcpy(u + static_cast<uint64_t>(y) * chromaStride,
                        planes[1] + static_cast<uint64_t>(y) * strides[1], rowBytes);
        }
        for (uint32_t y = 0; y < chromaRows; ++y) {
            std::memcpy(v + static_cast<uint64_t>(y) * chromaStride,
                        planes[2] + static_cast<uint64_t>(y) * strides[2], rowBytes);
        }
        m_frame->data.SetLength(capacity);
        m_frameTaken = false;
    }
    lock.Unlock();
    GiveBack(borrowed);
    m_pictureEvent.Set();
    Changed();
    return QUORIX_OK;
}

uint32_t CDisplay::AttachPicture(uint32_t width, uint32_t height, uint32_t format, uint8_t* data,
                                 uint32_t size, BRIXEL::CHYUVColour colour) {
    if (format != 0 && format != BRIXEL::HPIXEL_YUV420P)
        return QUORIX_E_PARAM;
    if (width == 0 || height == 0 || data == nullptr || size == 0)
        return QUORIX_E_PARAM;
    if (width > kMaxPictureSide || height > kMaxPictureSide)
        return QUORIX_E_PARAM;
    // A buffer too small for its picture would be read past its end by every conversion and
    // by the snapshot callback.
    if (static_cast<uint64_t>(size) < BRIXEL::HPixelI420Size(width, height))
        return QUORIX_E_PARAM;
    std::shared_ptr<CDecodeFrame> replaced;  // let go after the lock, like borrowed memory
    CDecodeFrame::Borrowed borrowed;
    {
        BRIXEL::CHAutoLock lock(&m_frameLock);
        KeepUndrawnLocked();
        if (m_frame && m_frame.use_count() == 1) {
            borrowed = m_frame->TakeBorrowed();
        } else {
            replaced = std::move(m_frame);
            m_frame = NewFrame();
            if (!m_frame) {
                TakeBackNewestQueuedLocked();
                return QUORIX_E_NO_MEMORY;
            }
        }
        m_frame->width = width;
        m_frame->height = height;
        m_frame->stride = width;
        m_frame->colour = BRIXEL::HYUVSanitize(colour);
        m_frame->data.Attach(data, size, false);
        m_frameTaken = false;
    }
    GiveBack(borrowed);
    m_pictureEvent.Set();
    Changed();
    return QUORIX_OK;
}

uint32_t CDisplay::SetRegion(uint32_t index, int32_t x, int32_t y, int32_t width, int32_t height,
                             uint32_t enabled) {
    if (index >= kMaxRegions)
        return QUORIX_OK;
    CRegion& r = m_regions[index];
    r.left = x;
    r.top = y;
    r.right = static_cast<int32_t>(static_cast<int64_t>(x) + width);
    r.bottom = static_cast<int32_t>(static_cast<int64_t>(y) + height);
    r.enabled = enabled;
    Changed();
    return QUORIX_OK;
}

uint32_t CDisplay::SetRegionPtz(uint32_t index, float pan, float tilt, float zoom) {
    if (index >= kMaxRegions)
        return QUORIX_E_PARAM;
    BRIXEL::CHAutoLock lock(&m_ptzLock);
    CPtz& p = m_regions[index].ptz;
    p.pan = ClampUnit(pan);
    p.tilt = ClampUnit(tilt);
    p.zoom = zoom >= 1.0f ? zoom : 1.0f;  // NaN too becomes 1
    Changed();
    return QUORIX_OK;
}

uint32_t CDisplay::GetRegionPtz(uint32_t index, float* pan, float* tilt, float* zoom) {
    if (index >= kMaxRegions)
        return QUORIX_E_PARAM;
    BRIXEL::CHAutoLock lock(&m_ptzLock);
    const CPtz& p = m_regions[index].ptz;
    if (pan != nullptr)
        *pan = p.pan;
    if (tilt != nullptr)
        *tilt = p.tilt;
    if (zoom != nullptr)
        *zoom = p.zoom;
    return QUORIX_OK;
}

uint32_t CDisplay::SetRegionColor(uint32_t index, uint32_t color) {
    if (index >= kMaxRegions)
        return QUORIX_E_PARAM;
    // Hosts give 0x00BBGGRR; the surfaces take 0x00RRGGBB.
    m_regions[index].color =
        (color & 0xFF00FF00u) | ((color & 0xFFu) << 16) | ((color >> 16) & 0xFFu);
    Changed();
    return QUORIX_OK;
}

uint32_t CDisplay::SetRegionFitMode(uint32_t index, uint32_t mode) {
    if (index >= kMaxRegions)
        return QUORIX_E_PARAM;
    m_regions[index].fitMode = mode;
    Changed();
    return QUORIX_OK;
}

uint32_t CDisplay::SetRegionDrawCallback(uint32_t index, DrawCallback callback, void* user) {
    if (index >= kMaxRegions)
        return QUORIX_E_PARAM;
    m_regions[index].drawUser = user;
    m_regions[index].drawCallback = callback;
    Changed();  // the new callback sees the picture at once
    return QUORIX_OK;
}

uint32_t CDisplay::SetFrameReleaseCallback(FrameReleaseCallback callback, void* user) {
    m_releaseUser = user;
    m_releaseCallback = callback;
    return QUORIX_OK;
}

uint32_t CDisplay::SetSnapCallback(SnapCallback callback, void* user) {
    m_snapUser = user;
    m_snapCallback = callback;
    Changed();
    return QUORIX_OK;
}

uint32_t CDisplay::SetFrameDrawnCallback(FrameDrawnCallback callback, void* user) {
    m_drawnUser = user;
    m_drawnCallback = callback;
    Changed();
    return QUORIX_OK;
}

uint32_t CDisplay::SetSnapRect(float x, float y, float width, float height) {
    // Only a non-empty part of the picture: a crop past an edge would be refused at every
    // snapshot instead of here, where the host learns of it.
    constexpr float kSlack = 1.0e-6f;  // 0.1 + 0.9 may round a hair above 1
    const bool finite =
        std::isfinite(x) && std::isfinite(y) && std::isfinite(width) && std::isfinite(height);
    if (!finite || x < 0.0f || y < 0.0f || !(width > 0.0f) || !(height > 0.0f) ||
        x + width > 1.0f + kSlack || y + height > 1.0f + kSlack)
        return QUORIX_E_PARAM;
    BRIXEL::CHAutoLock lock(&m_snapRectLock);
    m_cropX = Clamp01(x);
    m_cropY = Clamp01(y);
    m_cropW = Clamp01(width);
    m_cropH = Clamp01(height);
    return QUORIX_OK;
}

uint32_t CDisplay::SetSnapFormat(uint32_t format) {
    m_snapFormat = format;
    return QUORIX_OK;
}

uint32_t CDisplay::Snapshot(uint32_t* outWidth, uint32_t* outStride, uint32_t* outHeight,
                            uint32_t* outFormat, uint8_t** outData, uint32_t askedFormat,
                            uint32_t timeoutMs) {
    if (outWidth == nullptr || outStride == nullptr || outHeight == nullptr ||
        outFormat == nullptr || outData == nullptr) {
        return QUORIX_E_PARAM;
    }
    *outData = nullptr;
    // Before the first picture there is nothing to capture: wait for it as long as allowed.
    if (timeoutMs != 0 && m_pictureEvent.Wait(timeoutMs) != QUORIX_OK)
        return QUORIX_E_TIMEOUT;
    // Shared, not locked, while it is converted: see WithPicture.
    std::shared_ptr<CDecodeFrame> frame;
    {
        BRIXEL::CHAutoLock lock(&m_frameLock);
        if (!m_frame || m_frame->data.GetData() == nullptr)
            return QUORIX_E_SYSTEM;
        frame = m_frame;
    }
    uint32_t format = askedFormat != 0 ? askedFormat : m_snapFormat.load();
    if (format == 0 || format >= 5)
        format = 3;
    const uint32_t bpp = (format == 1 || format == 3) ? 4 : 3;
    BRIXEL::CHPixel pixel;
    uint32_t r = pixel.Set(BRIXEL::HPIXEL_YUV420P, frame->data.GetData(),
                           static_cast<uint32_t>(frame->data.GetLength()), frame->width,
                           frame->height, frame->stride, false);
    if (r != QUORIX_OK)
        return r;
    pixel.SetColour(frame->colour);
    uint32_t width = frame->width;
    uint32_t height = frame->height;
    uint32_t stride = (width * bpp + 3) & ~3u;
    float cx, cy, cw, ch;
    {
        BRIXEL::CHAutoLock crop(&m_snapRectLock);
        cx = m_cropX;
        cy = m_cropY;
        cw = m_cropW;
        ch = m_cropH;
    }
    if (cx != 0.0f || cy != 0.0f || cw != 1.0f || ch != 1.0f) {
        const uint32_t x = static_cast<uint32_t>(static_cast<float>(width) * cx) & ~1u;
        const uint32_t y = static_cast<uint32_t>(static_cast<float>(height) * cy) & ~1u;
        width = static_cast<uint32_t>(static_cast<float>(width) * cw) & ~1u;
        height = static_cast<uint32_t>(static_cast<float>(height) * ch) & ~1u;
        stride = (width * bpp + 3) & ~3u;
        r = pixel.Crop(BRIXEL::HPIXEL_YUV420P, x, y, width, height, 0);
    }
    *outWidth = width;
    *outStride = stride;
    *outHeight = height;
    *outFormat = format;
    if (r != QUORIX_OK)
        return r;
    r = pixel.Convert(static_cast<BRIXEL::CHPixelFormat>(format + 10), stride);
    if (r == QUORIX_OK)
        *outData = pixel.Detach();
    return r;
}

uint32_t CDisplay::GetScreenVideoFormat(uint32_t index) {
    if (index >= kMaxScreens)
        return 0;
    BRIXEL::CHAutoLock lock(&m_drawLock);
    return m_screens[index].present != 0 ? m_screens[index].videoFormat : 0;
}

// ---------------------------------------------------------------------------------------------
// Surfaces

void CDisplay::ReleaseAll() {
    const uintptr_t window = m_surfaceWindow;
    for (CScreen& s : m_screens) {
        if (s.present == 0 && !s.dd)
            continue;
        s.present = 0;
        for (auto& c : s.clippers)
            c.reset();
        s.cache.reset();
        s.back.reset();
        s.primary.reset();
        if (s.dd) {
            s.dd->RestoreDisplayMode();
            if (window != 0)
                s.dd->SetCooperativeLevel(window, QXPLAT::DDSCL_NORMAL);
            s.dd.reset();
        }
        s.videoFormat = 0;
        s.pitch = 0;
        s.fastMemory = 0;
    }
    m_initialised = false;
}

uint32_t CDisplay::InitScreen(uint32_t index) {
    using namespace QXPLAT;
    CScreen& s = m_screens[index];
    const uintptr_t window = m_surfaceWindow;
    uint32_t r = DirectDrawCreateEx(DDGuidIsNull(s.guid) ? nullptr : &s.guid, &s.dd);
    if (r != DD_OK) {
        HLOG(kSource, kModule, BRIXEL::HLOG_ERROR, "HDD::CDisplay::InitDDraw",
             "DirectDrawCreateEx fail,errcode=%#x", r);
        return r;
    }
    r = s.dd->SetCooperativeLevel(window, DDSCL_NORMAL);
    if (r != DD_OK)
        return r;

    DDSURFACEDESC2 desc{};
    desc.size = sizeof(desc);
    desc.flags = DDSD_CAPS;
    desc.caps = DDSCAPS_PRIMARYSURFACE;
    r = s.dd->CreateSurface(&desc, &s.primary);
    if (r != DD_OK) {
        HLOG(kSource, kModule, BRIXEL::HLOG_ERROR, "HDD::CDisplay::InitDDraw",
             "Front CreateSurface fail,errcode=%#x", r);
        return r;
    }

    static const struct {
        uint32_t fourCC;
        uint32_t videoFormat;
    } kFourCCs[] = {{DDFOURCC_YV12, 1},
                    {DDFOURCC_I420, 2},
                    {DDFOURCC_YUY2, 4},
                    {DDFOURCC_YUYV, 5},
                    {DDFOURCC_UYVY, 3}};
    s.videoFormat = 0;
    for (const auto& f : kFourCCs) {
        desc = {};
        desc.size = sizeof(desc);
        desc.flags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT | DDSD_PIXELFORMAT;
        desc.caps = DDSCAPS_OFFSCREENPLAIN;
        desc.width = m_sourceWidth;
        desc.height = m_sourceHeight;
        desc.pixelFormat.size = sizeof(DDPIXELFORMAT);
        desc.pixelFormat.flags = DDPF_FOURCC;
        desc.pixelFormat.fourCC = f.fourCC;
        r = s.dd->CreateSurface(&desc, &s.back);
        if (r == DD_OK) {
            s.videoFormat = f.videoFormat;
            s.fastMemory = 1;
            break;
        }
        HLOG(kSource, kModule, BRIXEL::HLOG_DEBUG, "HDD::CDisplay::InitDDraw",
             "mode[%d] Back CreateSurface fail,errcode=%#x", f.videoFormat, r);
    }
    if (s.videoFormat == 0) {
        desc = {};
        desc.size = sizeof(desc);
        desc.flags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT;
        desc.caps = DDSCAPS_OFFSCREENPLAIN | DDSCAPS_VIDEOMEMORY;
        desc.width = m_sourceWidth;
        desc.height = m_sourceHeight;
        r = s.dd->CreateSurface(&desc, &s.back);
        s.fastMemory = 1;
        if (r != DD_OK) {
            desc.caps = DDSCAPS_OFFSCREENPLAIN | DDSCAPS_SYSTEMMEMORY;
            r = s.dd->CreateSurface(&desc, &s.back);
            s.fastMemory = 0;
        }
        if (r != DD_OK) {
            HLOG(kSource, kModule, BRIXEL::HLOG_ERROR, "HDD::CDisplay::InitDDraw",
                 "RGB Back CreateSurface fail,errcode=%#x", r);
            return r;
        }
    }

    desc = {};
    desc.size = sizeof(desc);
    desc.flags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT;
    desc.caps = DDSCAPS_OFFSCREENPLAIN;
    desc.width = m_cacheWidth;
    desc.height = m_cacheHeight;
    r = s.dd->CreateSurface(&desc, &s.cache);
    if (r != DD_OK) {
        HLOG(kSource, kModule, BRIXEL::HLOG_ERROR, "HDD::CDisplay::InitDDraw",
             "Cache CreateSurface fail,errcode=%#x", r);
        return r;
    }

    desc = {};
    desc.size = sizeof(desc);
    r = s.back->Lock(nullptr, &desc, DDLOCK_WAIT, nullptr);
    if (r != DD_OK) {
        HLOG(kSource, kModule, BRIXEL::HLOG_ERROR, "HDD::CDisplay::InitDDraw",
             "Back Lock fail,errcode=%#x", r);
        return r;
    }
    s.pitch = static_cast<uint32_t>(desc.pitch);
    if ((desc.pixelFormat.flags & DDPF_RGB) != 0) {
        const DDPIXELFORMAT& pf = desc.pixelFormat;
        if (pf.rgbBitCount == 32) {
            s.videoFormat = 6;
        } else if (pf.rgbBitCount == 24) {
            s.videoFormat = 7;
        } else if (pf.rgbBitCount == 16 && pf.rBitMask == 0xF800) {
            s.videoFormat = 8;
        } else if (pf.rgbBitCount == 16 && pf.rBitMask == 0x7C00) {
            s.videoFormat = 9;
        } else if (pf.rgbBitCount == 16) {
            HLOG(kSource, kModule, BRIXEL::HLOG_ERROR, "HDD::CDisplay::InitDDraw",
                 "Invalid RGB format,BitMask=%#x", pf.rBitMask);
            s.back->Unlock(nullptr);
            return static_cast<uint32_t>(-10);
        } else {
            HLOG(kSource, kModule, BRIXEL::HLOG_ERROR, "HDD::CDisplay::InitDDraw",
                 "Invalid RGB format,BitCount=%#x", pf.rgbBitCount);
            s.back->Unlock(nullptr);
            return static_cast<uint32_t>(-9);
        }
    }
    s.back->Unlock(nullptr);

    for (uint32_t i = 0; i < kMaxRegions; ++i) {
        if (m_regions[i].enabled.load() == 0)
            continue;
        r = s.dd->CreateClipper(0, &s.clippers[i]);
        if (r == DD_OK)
            r = s.clippers[i]->SetHWnd(0, window);
        if (r == DD_OK)
            r = s.primary->SetClipper(s.clippers[i]);
        if (r != DD_OK)
            return r;
    }
    HLOG(kSource, kModule, BRIXEL::HLOG_INFO, "HDD::CDisplay::InitDDraw",
         "screen[%d] VideoFormat is %d", static_cast<int>(index), static_cast<int>(s.videoFormat));
    return DD_OK;
}

uint32_t CDisplay::InitDDraw(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t clientWidth,
                             uint32_t clientHeight) {
    ReleaseAll();
    const uintptr_t window = m_window.load();
    if (window == 0)
        return QUORIX_E_NOT_SUPPORTED;
    m_surfaceWindow = window;
    // A display used before the SDK enumerated the monitors finds them itself.
    CMonitorMgr& monitors = CMonitorMgr::Instance();
    if (!monitors.IsEnumerated())
        monitors.Enumerate();
    for (uint32_t i = 0; i < kMaxScreens; ++i) {
        // A copy: the library's next initialisation may enumerate the monitors meanwhile.
        CScreenInfo info;
        CScreen& s = m_screens[i];
        s.present = monitors.CopyEntry(i, &info) ? info.present : 0;
        if (s.present == 0)
            continue;
        s.guid = info.guid;
        s.monitor = info.monitor;
        s.videoMemory = info.videoMemory;
    }
    m_sourceWidth = sourceWidth;
    m_sourceHeight = sourceHeight;
    m_cacheWidth = clientWidth;
    m_cacheHeight = clientHeight;
    for (uint32_t i = 0; i < kMaxScreens; ++i) {
        if (m_screens[i].present == 0)
            continue;
        const uint32_t r = InitScreen(i);
        if (r != QXPLAT::DD_OK) {
            ReleaseAll();
            return r;
        }
    }
    HLOG(kSource, kModule, BRIXEL::HLOG_INFO, "HDD::CDisplay::InitDDraw", "InitDDraw success");
    m_initialised = true;
    return QUORIX_OK;
}

uint32_t CDisplay::ResizeCache(uint32_t width, uint32_t height) {
    m_cacheWidth = width;
    m_cacheHeight = height;
    for (CScreen& s : m_screens) {
        if (s.present == 0 || !s.dd)
            continue;
        if (s.cache)
            s.cache->Restore();
        s.cache.reset();
        QXPLAT::DDSURFACEDESC2 desc{};
        desc.size = sizeof(desc);
        desc.flags = QXPLAT::DDSD_CAPS | QXPLAT::DDSD_WIDTH | QXPLAT::DDSD_HEIGHT;
        desc.caps = QXPLAT::DDSCAPS_OFFSCREENPLAIN;
        desc.width = width;
        desc.height = height;
        const uint32_t r = s.dd->CreateSurface(&desc, &s.cache);
        if (r != QXPLAT::DD_OK) {
            ReleaseAll();
            return r;
        }
    }
    return QUORIX_OK;
}

// Regions enabled after the surfaces were made get their clipper here, and disabled ones lose
// it, so that a region shows exactly while it is enabled.
void CDisplay::SyncClippers(CScreen& s) {
    for (uint32_t i = 0; i < kMaxRegions; ++i) {
        const bool enabled = m_regions[i].enabled.load() != 0;
        if (enabled && !s.clippers[i]) {
            if (s.dd->CreateClipper(0, &s.clippers[i]) != QXPLAT::DD_OK)
                continue;
            s.clippers[i]->SetHWnd(0, m_surfaceWindow);
        } else if (!enabled && s.clippers[i]) {
            s.clippers[i].reset();
        }
    }
}

void CDisplay::RestoreAfterFailure(CScreen& s, bool cacheFilled) {
    if (cacheFilled && s.cache)
        s.cache->Restore();
    if (s.primary)
        s.primary->Restore();
    if (s.back)
        s.back->Restore();
}

namespace {

FramePlanes PlanesOf(const CDecodeFrame& frame) {
    FramePlanes planes;
    const uint8_t* data = frame.data.GetData();
    planes.y = data;
    planes.u = data + BRIXEL::HPixelI420FirstOffset(frame.stride, frame.height);
    planes.v = data + BRIXEL::HPixelI420SecondOffset(frame.stride, frame.height);
    planes.strideY = frame.stride;
    planes.strideUV = BRIXEL::HPixelChromaStride(frame.stride);
    planes.width = frame.width;
    planes.height = frame.height;
    planes.colour = frame.colour;
    return planes;
}

}  // namespace

// The painter draws the whole region: straight into the cache surface when the region lies
// inside it, else into a scratch picture whose visible part is copied.
uint32_t CDisplay::PaintRegion(CScreen& s, uint32_t index, const CDecodeFrame& frame,
                               const QXPLAT::DDRECT& R, QXPLAT::DDRECT* image) {
    CRegion& region = m_regions[index];
    const int64_t width = static_cast<int64_t>(R.right) - R.left;
    const int64_t height = static_cast<int64_t>(R.bottom) - R.top;
    if (width <= 0 || height <= 0 || width > kMaxPictureSide || height > kMaxPictureSide)
        return QUORIX_E_PARAM;
    QXPLAT::DDSURFACEDESC2 desc{};
    desc.size = sizeof(desc);
    if (s.cache->Lock(nullptr, &desc, QXPLAT::DDLOCK_WAIT, nullptr) != QXPLAT::DD_OK)
        return QUORIX_E_STATE;
    const int64_t cacheWidth = desc.width, cacheHeight = desc.height;
    const uint32_t pitch = static_cast<uint32_t>(desc.pitch);
    const FramePlanes planes = PlanesOf(frame);
    const uint32_t w = static_cast<uint32_t>(width), h = static_cast<uint32_t>(height);
    DDRECT shown{0, 0, static_cast<int32_t>(w), static_cast<int32_t>(h)};
    uint32_t r = QUORIX_OK;
    if (R.left >= 0 && R.top >= 0 && R.right <= cacheWidth && R.bottom <= cacheHeight) {
        uint8_t* dst =
            desc.surface + static_cast<uint64_t>(R.top) * pitch + static_cast<uint64_t>(R.left) * 4;
        r = region.painter(index, planes, dst, pitch, w, h, &shown, region.painterUser);
    } else {
        const int64_t x0 = std::max<int64_t>(R.left, 0),
                      x1 = std::min<int64_t>(R.right, cacheWidth);
        const int64_t y0 = std::max<int64_t>(R.top, 0),
                      y1 = std::min<int64_t>(R.bottom, cacheHeight);
        if (x0 < x1 && y0 < y1) {
            try {
                m_paintScratch.resize(static_cast<size_t>(w) * h * 4);
                r = region.painter(index, planes, m_paintScratch.data(), w * 4, w, h, &shown,
                                   region.painterUser);
            } catch (const std::bad_alloc&) {
                r = QUORIX_E_NO_MEMORY;
            }
            for (int64_t y = y0; r == QUORIX_OK && y < y1; ++y) {
                std::memcpy(desc.surface + y * pitch + x0 * 4,
                            m_paintScratch.data() + ((y - R.top) * w + (x0 - R.left)) * 4,
                            static_cast<size_t>(x1 - x0) * 4);
            }
        }
    }
    s.cache->Unlock(nullptr);
    // Inside the region whatever the painter said.
    shown.left = std::clamp<int32_t>(shown.left, 0, static_cast<int32_t>(w));
    shown.top = std::clamp<int32_t>(shown.top, 0, static_cast<int32_t>(h));
    shown.right = std::clamp<int32_t>(shown.right, shown.left, static_cast<int32_t>(w));
    shown.bottom = std::clamp<int32_t>(shown.bottom, shown.top, static_cast<int32_t>(h));
    *image = {R.left + shown.left, R.top + shown.top, R.left + shown.right, R.top + shown.bottom};
    return r;
}

uint32_t CDisplay::SetRegionPainter(uint32_t index, RegionPainter painter, void* user) {
    if (index >= kMaxRegions)
        return QUORIX_E_PARAM;
    BRIXEL::CHAutoLock draw(&m_drawLock);
    m_regions[index].painter = painter;
    m_regions[index].painterUser = user;
    Changed();
    return QUORIX_OK;
}

uint32_t CDisplay::WithPicture(uint32_t timeoutMs, PictureVisitor visit, void* user) {
    if (visit == nullptr)
        return QUORIX_E_PARAM;
    if (timeoutMs != 0 && m_pictureEvent.Wait(timeoutMs) != QUORIX_OK)
        return QUORIX_E_TIMEOUT;
    // Shared, not locked: new pictures get in while it is read (a capture de-warps at length)
    // and go elsewhere; lent memory goes back once the reader lets go.
    std::shared_ptr<CDecodeFrame> hold;
    {
        BRIXEL::CHAutoLock lock(&m_frameLock);
        if (!m_frame || m_frame->data.GetData() == nullptr)
            return QUORIX_E_SYSTEM;
        hold = m_frame;
    }
    return visit(PlanesOf(*hold), user);
}

uint32_t CDisplay::DrawFrame(const CDecodeFrame& frame) {
    using namespace QXPLAT;
    const uintptr_t window = m_window.load();
    if (window == 0 || frame.data.GetData() == nullptr)
        return QUORIX_E_STATE;
    DDRECT client{};
    if (!DDGetClientRect(window, &client))
        return QUORIX_E_STATE;
    const uint32_t clientWidth = static_cast<uint32_t>(client.right - client.left);
    const uint32_t clientHeight = static_cast<uint32_t>(client.bottom - client.top);
    if (clientWidth == 0 || clientHeight == 0)
        return QUORIX_E_STATE;

    bool reinit = frame.width != m_sourceWidth || frame.height != m_sourceHeight ||
                  !m_initialised || window != m_surfaceWindow;
    for (const CScreen& s : m_screens) {
        if (s.present != 0 && s.dd && s.fastMemory == 0 && s.videoMemory != 0)
            reinit = true;
    }
    uint32_t r = QUORIX_OK;
    if (reinit) {
        r = InitDDraw(frame.width, frame.height, clientWidth, clientHeight);
    } else if (clientWidth != m_cacheWidth || clientHeight != m_cacheHeight) {
        r = ResizeCache(clientWidth, clientHeight);
    }
    if (r != QUORIX_OK)
        return r;

    int32_t sx = 0, sy = 0;
    if (!DDClientToScreen(window, &sx, &sy))
        return QUORIX_E_STATE;
    const DDRECT windowRect{sx, sy, sx + static_cast<int32_t>(clientWidth),
                            sy + static_cast<int32_t>(clientHeight)};

    // Regions their owner paints read the picture itself: while every region is painted, the
    // whole-picture conversion into the back surface is skipped.
    bool cropped = false;
    for (const CRegion& region : m_regions) {
        if (region.enabled.load() != 0 && region.painter == nullptr)
            cropped = true;
    }
    // One conversion per target format, shared by the screens that need it (null: failed).
    std::map<BRIXEL::CHPixelFormat, std::unique_ptr<BRIXEL::CHPixel>> converted;
    for (const CScreen& s : m_screens) {
        if (!cropped || s.present == 0 || s.videoFormat == 0)
            continue;
        const BRIXEL::CHPixelFormat target = TargetFormat(s.videoFormat);
        if (converted.count(target) != 0)
            continue;
        auto pixel = std::make_unique<BRIXEL::CHPixel>();
        uint32_t c = pixel->Set(BRIXEL::HPIXEL_YUV420P, frame.data.GetData(),
                                static_cast<uint32_t>(frame.data.GetLength()), frame.width,
                                frame.height, frame.stride, false);
        // Packed 4:2:2 strides count pixels in the pixel library; the surface pitch is bytes.
        const bool packed = target == BRIXEL::HPIXEL_YUYV || target == BRIXEL::HPIXEL_UYVY;
        pixel->SetColour(frame.colour);
        if (c == QUORIX_OK)
            c = pixel->Convert(target, packed ? s.pitch / 2 : s.pitch);
        if (c != QUORIX_OK)
            pixel.reset();
        converted[target] = std::move(pixel);
    }

    for (CScreen& s : m_screens) {
        if (s.present == 0 || s.videoFormat == 0)
            continue;
        if (cropped) {
            const BRIXEL::CHPixel* pixel = converted[TargetFormat(s.videoFormat)].get();
            if (pixel == nullptr) {
                RestoreAfterFailure(s, false);
                return QUORIX_E_NOT_SUPPORTED;
            }
            DDSURFACEDESC2 desc{};
            desc.size = sizeof(desc);
            r = s.back->Lock(nullptr, &desc, DDLOCK_WAIT, nullptr);
            if (r != DD_OK) {
                RestoreAfterFailure(s, false);
                return r;
            }
            const uint64_t room =
                BackSurfaceBytes(s.videoFormat, static_cast<uint32_t>(desc.pitch), desc.height);
            std::memcpy(desc.surface, pixel->GetData(),
                        static_cast<size_t>(std::min<uint64_t>(room, pixel->GetLength())));
            // A YUV surface is shown as RGB with the picture's own matrix and range.
            s.back->SetYUVColour(frame.colour);
            s.back->Unlock(nullptr);
        }

        DDRECT monitor{};
        if (!GetMonitorRect(s.monitor, &monitor))
            continue;
        DDRECT placed{};
        if (!PlaceWindow(monitor, windowRect, &placed))
            continue;
        SyncClippers(s);
        for (uint32_t i = 0; i < kMaxRegions; ++i) {
            CRegion& region = m_regions[i];
            const DDRECT R{region.left.load(), region.top.load(), region.right.load(),
                           region.bottom.load()};
            if (!s.clippers[i] || R.right <= R.left || R.bottom <= R.top)
                continue;
            r = s.primary->SetClipper(s.clippers[i]);
            if (r == DD_OK)
                r = s.cache->Blt(&R, nullptr, nullptr, DDBLT_COLORFILL, region.color.load());
            if (r != DD_OK) {
                RestoreAfterFailure(s, true);
                return r;
            }
            DDRECT D{}, S{};
            if (region.painter != nullptr) {
                // A painter that cannot draw the picture leaves the background.
                if (PaintRegion(s, i, frame, R, &D) != QUORIX_OK)
                    continue;
            } else {
                {
                    BRIXEL::CHAutoLock ptz(&m_ptzLock);
                    const uint32_t fit = region.fitMode.load();
                    if (ComputeRegionRects(R, fit, &region.ptz, frame.width, frame.height, &D,
                                           &S) != QUORIX_OK) {
                        continue;
                    }
                }
                r = s.cache->Blt(&D, s.back.get(), &S, DDBLT_WAIT, 0);
                if (r != DD_OK) {
                    RestoreAfterFailure(s, true);
                    return r;
                }
            }
            DrawCallback callback = region.drawCallback.load();
            if (callback != nullptr) {
                QUORIX_HDC dc = nullptr;
                if (s.cache->GetDC(&dc) == DD_OK) {
                    callback(dc, i, D.left, D.top, D.right - D.left, D.bottom - D.top, R.left,
                             R.top, R.right - R.left, R.bottom - R.top, region.drawUser.load());
                    s.cache->ReleaseDC(dc);
                }
            }
        }
        r = s.primary->Blt(&placed, s.cache.get(), nullptr, DDBLT_WAIT, 0);
        if (r != DD_OK) {
            RestoreAfterFailure(s, true);
            return r;
        }
    }
    return QUORIX_OK;
}

// ---------------------------------------------------------------------------------------------
// Entry points

namespace {

template <typename F>
H_PASSES_CANCEL uint32_t Guarded(CDisplay* display, F&& f) {
    if (display == nullptr)
        return QUORIX_E_PARAM;
    try {
        return f(display);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return QUORIX_E_EXCEPTION;
    }
}

}  // namespace

H_PASSES_CANCEL
uint32_t CreateDisplay(CDisplay** out) {
    if (out == nullptr)
        return QUORIX_E_PARAM;
    *out = nullptr;
    try {
        std::unique_ptr<CDisplay> display(new (std::nothrow) CDisplay());
        if (!display)
            return QUORIX_E_NO_MEMORY;
        const uint32_t r = display->Start(0, false);
        if (r != QUORIX_OK)
            return r;
        *out = display.release();
        return QUORIX_OK;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return QUORIX_E_NO_MEMORY;
    }
}

uint32_t DestroyDisplay(CDisplay* display) {
    return Guarded(display, [](CDisplay* d) {
        d->Shutdown();
        std::unique_ptr<CDisplay> owned(d);
        return QUORIX_OK;
    });
}

uint32_t SetWindow(CDisplay* display, uintptr_t window) {
    return Guarded(display, [&](CDisplay* d) { return d->SetWindow(window); });
}

uint32_t InputPicture(CDisplay* display, uint32_t width, uint32_t height, uint32_t format,
                      const uint8_t* const* planes, const uint32_t* strides,
                      BRIXEL::CHYUVColour colour) {
    return Guarded(display, [&](CDisplay* d) {
        return d->InputPicture(width, height, format, planes, strides, colour);
    });
}

uint32_t AttachPicture(CDisplay* display, uint32_t width, uint32_t height, uint32_t format,
                       uint8_t* data, uint32_t size, BRIXEL::CHYUVColour colour) {
    return Guarded(display, [&](CDisplay* d) {
        return d->AttachPicture(width, height, format, data, size, colour);
    });
}

uint32_t SetRegion(CDisplay* display, uint32_t index, int32_t x, int32_t y, int32_t width,
                   int32_t height, uint32_t enabled) {
    return Guarded(display,
                   [&](CDisplay* d) { return d->SetRegion(index, x, y, width, height, enabled); });
}

uint32_t SetRegionPtz(CDisplay* display, uint32_t index, float pan, float tilt, float zoom) {
    return Guarded(display, [&](CDisplay* d) { return d->SetRegionPtz(index, pan, tilt, zoom); });
}

uint32_t GetRegionPtz(CDisplay* display, uint32_t index, float* pan, float* tilt, float* zoom) {
    return Guarded(display, [&](CDisplay* d) { return d->GetRegionPtz(index, pan, tilt, zoom); });
}

uint32_t SetRegionColor(CDisplay* display, uint32_t index, uint32_t color) {
    return Guarded(display, [&](CDisplay* d) { return d->SetRegionColor(index, color); });
}

uint32_t SetRegionFitMode(CDisplay* display, uint32_t index, uint32_t mode) {
    return Guarded(display, [&](CDisplay* d) { return d->SetRegionFitMode(index, mode); });
}

uint32_t SetRegionDrawCallback(CDisplay* display, uint32_t index, DrawCallback callback,
                               void* user) {
    return Guarded(display,
                   [&](CDisplay* d) { return d->SetRegionDrawCallback(index, callback, user); });
}

uint32_t SetFrameReleaseCallback(CDisplay* display, FrameReleaseCallback callback, void* user) {
    return Guarded(display,
                   [&](CDisplay* d) { return d->SetFrameReleaseCallback(callback, user); });
}

uint32_t SetSnapCallback(CDisplay* display, SnapCallback callback, void* user) {
    return Guarded(display, [&](CDisplay* d) { return d->SetSnapCallback(callback, user); });
}

uint32_t SetFrameDrawnCallback(CDisplay* display, FrameDrawnCallback callback, void* user) {
    return Guarded(display, [&](CDisplay* d) { return d->SetFrameDrawnCallback(callback, user); });
}

uint32_t SetSnapRect(CDisplay* display, float x, float y, float width, float height) {
    return Guarded(display, [&](CDisplay* d) { return d->SetSnapRect(x, y, width, height); });
}

uint32_t SetSnapFormat(CDisplay* display, uint32_t format) {
    return Guarded(display, [&](CDisplay* d) { return d->SetSnapFormat(format); });
}

uint32_t Snapshot(CDisplay* display, uint32_t* width, uint32_t* stride, uint32_t* height,
                  uint32_t* format, uint8_t** data, uint32_t askedFormat, uint32_t timeoutMs) {
    return Guarded(display, [&](CDisplay* d) {
        return d->Snapshot(width, stride, height, format, data, askedFormat, timeoutMs);
    });
}

void FreeSnapData(uint8_t* data) {
    delete[] data;
}

uint32_t EnumMonitors() {
    CMonitorMgr::Instance().Refresh();
    return QUORIX_OK;
}

}  // namespace HDD
