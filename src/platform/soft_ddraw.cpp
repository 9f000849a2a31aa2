#include "platform/soft_ddraw.h"

#include <pixman.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "base/hpixel.h"
#include "platform/x11_window.h"

namespace QXPLAT {

namespace {

// Largest surface side: keeps a corrupt picture size from becoming a huge allocation.
constexpr uint32_t kMaxSurfaceSide = 16384;

struct MonitorEntry {
    DDMONITOR handle;
    DDRECT rect;
    DDGUID guid;
    std::string name;
};

// The monitors of the last enumeration; handles are 1-based indices into it.
std::mutex g_monitorMutex;
std::vector<MonitorEntry>* g_monitors = nullptr;  // guarded by g_monitorMutex; lives until exit

xcb_connection_t* Conn(const std::shared_ptr<CX11Connection>& c) {
    return static_cast<xcb_connection_t*>(c->Xcb());
}

xcb_screen_t* ScreenOf(xcb_connection_t* c, int number) {
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; it.rem > 0; xcb_screen_next(&it), ++i) {
        if (i == number)
            return it.data;
    }
    return nullptr;
}

DDGUID MonitorGuid(uint32_t index) {
    DDGUID g{};
    g.bytes[0] = 'Q';
    g.bytes[1] = 'X';
    g.bytes[2] = 'M';
    g.bytes[3] = 'N';
    g.bytes[4] = static_cast<uint8_t>(index + 1);
    return g;
}

// Reads the RandR monitors of the connection's screen; the whole screen when RandR has none.
std::vector<MonitorEntry> ReadMonitors() {
    std::vector<MonitorEntry> list;
    std::shared_ptr<CX11Connection> conn = CX11Connection::Default();
    if (!conn)
        return list;
    xcb_connection_t* c = Conn(conn);
    xcb_screen_t* screen = ScreenOf(c, conn->ScreenNumber());
    if (screen == nullptr)
        return list;
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_randr_id);
    if (ext != nullptr && ext->present) {
        xcb_generic_error_t* error = nullptr;
        xcb_randr_get_monitors_reply_t* reply =
            xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, screen->root, 1), &error);
        std::free(error);
        if (reply != nullptr) {
            xcb_randr_monitor_info_iterator_t it = xcb_randr_get_monitors_monitors_iterator(reply);
            for (; it.rem > 0; xcb_randr_monitor_info_next(&it)) {
                const xcb_randr_monitor_info_t* m = it.data;
                if (m->width == 0 || m->height == 0)
                    continue;
                MonitorEntry e{};
                e.rect = {m->x, m->y, m->x + m->width, m->y + m->height};
                e.name = "monitor" + std::to_string(list.size());
                if (m->primary) {
                    list.insert(list.begin(), e);  // the primary monitor is the default device
                } else {
                    list.push_back(e);
                }
            }
            std::free(reply);
        }
    }
    if (list.empty()) {
        MonitorEntry e{};
        e.rect = {0, 0, screen->width_in_pixels, screen->height_in_pixels};
        e.name = "screen";
        list.push_back(e);
    }
    for (size_t i = 0; i < list.size(); ++i) {
        list[i].handle = i + 1;
        list[i].guid = MonitorGuid(static_cast<uint32_t>(i));
    }
    return list;
}

std::vector<MonitorEntry> CurrentMonitors(bool refresh) {
    std::lock_guard<std::mutex> guard(g_monitorMutex);
    if (g_monitors == nullptr || refresh) {
        std::vector<MonitorEntry> fresh = ReadMonitors();
        if (g_monitors == nullptr)
            g_monitors = new std::vector<MonitorEntry>();
        *g_monitors = std::move(fresh);
    }
    return *g_monitors;
}

DDRECT Intersect(const DDRECT& a, const DDRECT& b) {
    DDRECT r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
             std::min(a.bottom, b.bottom)};
    if (r.right <= r.left || r.bottom <= r.top)
        r = {0, 0, 0, 0};
    return r;
}

bool IsEmpty(const DDRECT& r) {
    return r.right <= r.left || r.bottom <= r.top;
}

DDRECT Offset(const DDRECT& r, int32_t dx, int32_t dy) {
    return {r.left + dx, r.top + dy, r.right + dx, r.bottom + dy};
}

bool EnvIsOne(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && std::strcmp(v, "1") == 0;
}

bool IsKnownFourCC(uint32_t f) {
    return f == DDFOURCC_YV12 || f == DDFOURCC_I420 || f == DDFOURCC_YUY2 || f == DDFOURCC_YUYV ||
           f == DDFOURCC_UYVY;
}

bool IsPlanarFourCC(uint32_t f) {
    return f == DDFOURCC_YV12 || f == DDFOURCC_I420;
}

// Stretches src (BGRX, srcRect) onto dst (BGRX, destRect) clipped to clip; both images are
// plain memory. Scale 1 copies exactly; other scales filter bilinearly. The source image is the
// source rectangle alone with its edge pixels repeated, so no pixel outside it (nor black) ever
// blends into the picture.
uint32_t Composite(const uint8_t* src, uint32_t srcStride, const DDRECT& srcRect, uint8_t* dst,
                   uint32_t dstW, uint32_t dstH, uint32_t dstStride, const DDRECT& destRect,
                   const DDRECT& clip) {
    const int32_t dw = destRect.right - destRect.left;
    const int32_t dh = destRect.bottom - destRect.top;
    const int32_t sw = srcRect.right - srcRect.left;
    const int32_t sh = srcRect.bottom - srcRect.top;
    const uint8_t* origin =
        src + static_cast<size_t>(srcRect.top) * srcStride + static_cast<size_t>(srcRect.left) * 4;
    pixman_image_t* s = pixman_image_create_bits(
        PIXMAN_x8r8g8b8, sw, sh, reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(origin)),
        static_cast<int>(srcStride));
    pixman_image_t* d =
        pixman_image_create_bits(PIXMAN_x8r8g8b8, static_cast<int>(dstW), static_cast<int>(dstH),
                                 reinterpret_cast<uint32_t*>(dst), static_cast<int>(dstStride));
    if (s == nullptr || d == nullptr) {
        if (s != nullptr)
            pixman_image_unref(s);
        if (d != nullptr)
            pixman_image_unref(d);
        return DDERR_OUTOFMEMORY;
    }
    pixman_transform_t t;
    pixman_transform_init_identity(&t);
    t.matrix[0][0] = pixman_double_to_fixed(static_cast<double>(sw) / dw);
    t.matrix[1][1] = pixman_double_to_fixed(static_cast<double>(sh) / dh);
    pixman_image_set_transform(s, &t);
    pixman_image_set_repeat(s, PIXMAN_REPEAT_PAD);
    pixman_image_set_filter(
        s, (sw == dw && sh == dh) ? PIXMAN_FILTER_NEAREST : PIXMAN_FILTER_BILINEAR, nullptr, 0);
    pixman_region32_t region;
    pixman_region32_init_rect(&region, clip.left, clip.top,
                              static_cast<unsigned>(clip.right - clip.left),
                              static_cast<unsigned>(clip.bottom - clip.top));
    pixman_image_set_clip_region32(d, &region);
    pixman_image_composite32(PIXMAN_OP_SRC, s, nullptr, d, 0, 0, 0, 0, destRect.left, destRect.top,
                             dw, dh);
    pixman_region32_fini(&region);
    pixman_image_unref(s);
    pixman_image_unref(d);
    return DD_OK;
}

void Fill(uint8_t* bits, uint32_t stride, const DDRECT& r, uint32_t color) {
    if (IsEmpty(r))
        return;
    pixman_fill(reinterpret_cast<uint32_t*>(bits), static_cast<int>(stride / 4), 32, r.left, r.top,
                r.right - r.left, r.bottom - r.top, color);
}

}  // namespace

bool DDGuidIsNull(const DDGUID& guid) {
    for (uint8_t b : guid.bytes) {
        if (b != 0)
            return false;
    }
    return true;
}

uint32_t DirectDrawEnumerateEx(DDEnumCallback callback, void* context, uint32_t flags) {
    (void)flags;  // every device of this driver is attached; there are no non-display devices
    if (callback == nullptr)
        return DDERR_INVALIDPARAMS;
    std::vector<MonitorEntry> monitors = CurrentMonitors(true);
    if (!callback(nullptr, "Primary Display Driver", "display", context, 0))
        return DD_OK;
    for (const MonitorEntry& m : monitors) {
        if (!callback(&m.guid, "Software Display Device", m.name.c_str(), context, m.handle))
            break;
    }
    return DD_OK;
}

bool DDGetMonitorRect(DDMONITOR monitor, DDRECT* rect, DDRECT* work) {
    std::vector<MonitorEntry> monitors = CurrentMonitors(false);
    if (monitor == 0 || monitor > monitors.size())
        return false;
    if (rect != nullptr)
        *rect = monitors[monitor - 1].rect;
    if (work != nullptr)
        *work = monitors[monitor - 1].rect;
    return true;
}

void DDGetScreenSize(int32_t* width, int32_t* height) {
    uint32_t w = 0, h = 0;
    X11GetScreenSize(&w, &h);
    if (width != nullptr)
        *width = static_cast<int32_t>(w);
    if (height != nullptr)
        *height = static_cast<int32_t>(h);
}

bool DDGetClientRect(uintptr_t window, DDRECT* rect) {
    if (window == 0 || window > 0xFFFFFFFFu)
        return false;
    std::shared_ptr<CX11Connection> conn = CX11Connection::Default();
    if (!conn)
        return false;
    uint32_t w = 0, h = 0;
    if (!conn->GetWindowSize(static_cast<uint32_t>(window), &w, &h))
        return false;
    if (rect != nullptr)
        *rect = {0, 0, static_cast<int32_t>(w), static_cast<int32_t>(h)};
    return true;
}

bool DDClientToScreen(uintptr_t window, int32_t* x, int32_t* y) {
    if (window == 0 || window > 0xFFFFFFFFu || x == nullptr || y == nullptr)
        return false;
    std::shared_ptr<CX11Connection> conn = CX11Connection::Default();
    if (!conn)
        return false;
    xcb_connection_t* c = Conn(conn);
    xcb_screen_t* screen = ScreenOf(c, conn->ScreenNumber());
    if (screen == nullptr)
        return false;
    xcb_generic_error_t* error = nullptr;
    xcb_translate_coordinates_reply_t* reply = xcb_translate_coordinates_reply(
        c,
        xcb_translate_coordinates(c, static_cast<xcb_window_t>(window), screen->root,
                                  static_cast<int16_t>(*x), static_cast<int16_t>(*y)),
        &error);
    std::free(error);
    if (reply == nullptr)
        return false;
    *x = reply->dst_x;
    *y = reply->dst_y;
    std::free(reply);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Presenting a primary surface: a window-sized BGRX staging picture, in a shared-memory segment
// the server reads directly when MIT-SHM works, otherwise in our memory sent with PutImage.

struct DDPresenter {
    std::shared_ptr<CX11Connection> conn;
    uint32_t window = 0;
    uint32_t gc = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t depth = 0;
    bool shmTried = false;
    bool shmUsable = false;
    uint32_t shmSeg = 0;
    int shmId = -1;
    uint8_t* shmAddr = nullptr;
    size_t shmSize = 0;
    std::vector<uint8_t> memory;  // without MIT-SHM

    ~DDPresenter() { Reset(); }

    uint8_t* Bits() { return shmAddr != nullptr ? shmAddr : memory.data(); }
    uint32_t Stride() const { return width * 4; }

    void ReleaseShm() {
        if (shmAddr != nullptr) {
            xcb_shm_detach(Conn(conn), shmSeg);
            xcb_flush(Conn(conn));
            shmdt(shmAddr);
        }
        shmAddr = nullptr;
        shmSize = 0;
        shmId = -1;
    }

    void Reset() {
        if (conn) {
            ReleaseShm();
            if (gc != 0)
                xcb_free_gc(Conn(conn), gc);
            xcb_flush(Conn(conn));
            conn->DrainEvents();
        }
        gc = 0;
        window = 0;
        width = height = 0;
        memory.clear();
        memory.shrink_to_fit();
        // A broken connection is not used again: the next blit takes the current one.
        if (conn && xcb_connection_has_error(Conn(conn)))
            conn.reset();
    }

    // Binds to the window and sizes the staging picture; DDERR_SURFACELOST when the window is
    // gone or cannot take 32-bit pixels.
    uint32_t Prepare(uint32_t targetWindow, uint32_t w, uint32_t h, uint8_t windowDepth) {
        if (!conn) {
            conn = CX11Connection::Default();
            if (!conn)
                return DDERR_SURFACELOST;
        }
        xcb_connection_t* c = Conn(conn);
        if (xcb_connection_has_error(c))
            return DDERR_SURFACELOST;
        if (windowDepth != 24 && windowDepth != 32)
            return DDERR_UNSUPPORTED;
        const xcb_setup_t* setup = xcb_get_setup(c);
        if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST)
            return DDERR_UNSUPPORTED;
        bool bpp32 = false;
        xcb_format_iterator_t fit = xcb_setup_pixmap_formats_iterator(setup);
        for (; fit.rem > 0; xcb_format_next(&fit)) {
            if (fit.data->depth == windowDepth && fit.data->bits_per_pixel == 32)
                bpp32 = true;
        }
        if (!bpp32)
            return DDERR_UNSUPPORTED;
        if (targetWindow != window) {
            if (gc != 0)
                xcb_free_gc(c, gc);
            gc = xcb_generate_id(c);
            xcb_void_cookie_t ck = xcb_create_gc_checked(c, gc, targetWindow, 0, nullptr);
            if (xcb_generic_error_t* e = xcb_request_check(c, ck)) {
                std::free(e);
                gc = 0;
                window = 0;
                return DDERR_SURFACELOST;
            }
            window = targetWindow;
        }
        depth = windowDepth;
        if (w == width && h == height && Bits() != nullptr)
            return DD_OK;
        ReleaseShm();
        memory.clear();
        width = w;
        height = h;
        const size_t size = static_cast<size_t>(w) * h * 4;
        if (!shmTried) {
            shmTried = true;
            const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_shm_id);
            shmUsable = ext != nullptr && ext->present && !EnvIsOne(kDDrawNoShmEnv);
        }
        if (shmUsable) {
            shmId = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
            void* addr = shmId >= 0 ? shmat(shmId, nullptr, 0) : reinterpret_cast<void*>(-1);
            if (addr != reinterpret_cast<void*>(-1)) {
                shmSeg = xcb_generate_id(c);
                xcb_void_cookie_t ck =
                    xcb_shm_attach_checked(c, shmSeg, static_cast<uint32_t>(shmId), 0);
                xcb_generic_error_t* e = xcb_request_check(c, ck);
                shmctl(shmId, IPC_RMID, nullptr);  // freed once both sides have detached
                if (e == nullptr) {
                    shmAddr = static_cast<uint8_t*>(addr);
                    shmSize = size;
                    return DD_OK;
                }
                std::free(e);
                shmdt(addr);
            } else if (shmId >= 0) {
                shmctl(shmId, IPC_RMID, nullptr);
            }
            shmId = -1;
            shmUsable = false;  // a server that cannot attach our segments gets PutImage
        }
        try {
            memory.assign(size, 0);
        } catch (const std::bad_alloc&) {
            width = height = 0;
            return DDERR_OUTOFMEMORY;
        }
        return DD_OK;
    }

    // Shows the rectangle r of the staging picture at the same place in the window.
    uint32_t Put(const DDRECT& r) {
        xcb_connection_t* c = Conn(conn);
        const uint16_t rw = static_cast<uint16_t>(r.right - r.left);
        const uint16_t rh = static_cast<uint16_t>(r.bottom - r.top);
        xcb_void_cookie_t last{};
        if (shmAddr != nullptr) {
            last = xcb_shm_put_image_checked(
                c, window, gc, static_cast<uint16_t>(width), static_cast<uint16_t>(height),
                static_cast<uint16_t>(r.left), static_cast<uint16_t>(r.top), rw, rh,
                static_cast<int16_t>(r.left), static_cast<int16_t>(r.top), depth,
                XCB_IMAGE_FORMAT_Z_PIXMAP, 0, shmSeg, 0);
        } else {
            // Requests have a size limit: send bands of rows that fit.
            const uint64_t maxBytes = static_cast<uint64_t>(xcb_get_maximum_request_length(c)) * 4;
            const uint32_t rowBytes = static_cast<uint32_t>(rw) * 4;
            uint32_t rowsPerBand =
                maxBytes > 64 + rowBytes ? static_cast<uint32_t>((maxBytes - 64) / rowBytes) : 1;
            rowsPerBand = std::max<uint32_t>(1, std::min<uint32_t>(rowsPerBand, rh));
            std::vector<uint8_t> band(static_cast<size_t>(rowBytes) * rowsPerBand);
            for (uint32_t y = 0; y < rh; y += rowsPerBand) {
                const uint32_t rows = std::min<uint32_t>(rowsPerBand, rh - y);
                for (uint32_t i = 0; i < rows; ++i) {
                    std::memcpy(band.data() + static_cast<size_t>(i) * rowBytes,
                                memory.data() + (static_cast<size_t>(r.top) + y + i) * Stride() +
                                    static_cast<size_t>(r.left) * 4,
                                rowBytes);
                }
                last =
                    xcb_put_image_checked(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc, rw,
                                          static_cast<uint16_t>(rows), static_cast<int16_t>(r.left),
                                          static_cast<int16_t>(r.top + static_cast<int32_t>(y)), 0,
                                          depth, rowBytes * rows, band.data());
                if (y + rows < rh) {
                    if (xcb_generic_error_t* e = xcb_request_check(c, last)) {
                        std::free(e);
                        return DDERR_SURFACELOST;
                    }
                }
            }
        }
        // Waiting for the answer also means the picture is on the window when Blt returns.
        if (xcb_generic_error_t* e = xcb_request_check(c, last)) {
            std::free(e);
            return DDERR_SURFACELOST;
        }
        return DD_OK;
    }
};

// ---------------------------------------------------------------------------------------------
// Clipper

uint32_t CDirectDrawClipper::SetHWnd(uint32_t flags, uintptr_t window) {
    (void)flags;
    m_window = window;
    return DD_OK;
}

// ---------------------------------------------------------------------------------------------
// Surface

CDirectDrawSurface7::~CDirectDrawSurface7() = default;

void CDirectDrawSurface7::DescribeFormat(DDPIXELFORMAT* f) const {
    *f = {};
    f->size = sizeof(DDPIXELFORMAT);
    if (m_fourCC != 0) {
        f->flags = DDPF_FOURCC;
        f->fourCC = m_fourCC;
        f->rgbBitCount = IsPlanarFourCC(m_fourCC) ? 12 : 16;
    } else {
        f->flags = DDPF_RGB;
        f->rgbBitCount = 32;
        f->rBitMask = 0x00FF0000;
        f->gBitMask = 0x0000FF00;
        f->bBitMask = 0x000000FF;
    }
}

uint32_t CDirectDrawSurface7::GetSurfaceDesc(DDSURFACEDESC2* desc) const {
    if (desc == nullptr)
        return DDERR_INVALIDPARAMS;
    *desc = {};
    desc->size = sizeof(DDSURFACEDESC2);
    desc->flags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT | DDSD_PITCH | DDSD_PIXELFORMAT;
    desc->width = m_width;
    desc->height = m_height;
    desc->pitch = static_cast<int32_t>(m_pitch);
    desc->caps = m_caps;
    DescribeFormat(&desc->pixelFormat);
    return DD_OK;
}

uint32_t CDirectDrawSurface7::Lock(const DDRECT* rect, DDSURFACEDESC2* desc, uint32_t flags,
                                   void* event) {
    (void)flags;
    (void)event;
    if (desc == nullptr || rect != nullptr)
        return DDERR_INVALIDPARAMS;
    if (m_primary)
        return DDERR_UNSUPPORTED;  // the window's pixels are not ours to hand out
    if (m_locked || m_dcOut)
        return DDERR_SURFACEBUSY;
    GetSurfaceDesc(desc);
    desc->flags |= DDSD_LPSURFACE;
    desc->surface = m_memory.data();
    m_locked = true;
    return DD_OK;
}

uint32_t CDirectDrawSurface7::Unlock(const DDRECT* rect) {
    (void)rect;
    if (!m_locked)
        return DDERR_NOTLOCKED;
    m_locked = false;
    m_rgbValid = false;
    return DD_OK;
}

uint32_t CDirectDrawSurface7::GetDC(QUORIX_HDC* dc) {
    if (dc == nullptr)
        return DDERR_INVALIDPARAMS;
    if (m_primary || m_fourCC != 0)
        return DDERR_UNSUPPORTED;
    if (m_locked || m_dcOut)
        return DDERR_SURFACEBUSY;
    m_dc = {m_memory.data(), m_width, m_height, m_pitch, QUORIX_PIXEL_BGR32};
    m_dcOut = true;
    *dc = &m_dc;
    return DD_OK;
}

uint32_t CDirectDrawSurface7::ReleaseDC(QUORIX_HDC dc) {
    if (!m_dcOut || dc != &m_dc)
        return DDERR_INVALIDPARAMS;
    m_dcOut = false;
    return DD_OK;
}

uint32_t CDirectDrawSurface7::SetClipper(std::shared_ptr<CDirectDrawClipper> clipper) {
    m_clipper = std::move(clipper);
    return DD_OK;
}

uint32_t CDirectDrawSurface7::Restore() {
    m_locked = false;
    m_dcOut = false;
    if (m_presenter)
        m_presenter->Reset();
    return DD_OK;
}

const uint8_t* CDirectDrawSurface7::RGBView(uint32_t* stride) {
    *stride = m_width * 4;
    if (m_rgbValid)
        return m_rgb.data();
    try {
        m_rgb.resize(static_cast<size_t>(m_width) * m_height * 4);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    using BRIXEL::CHYUV420pConvert;
    const uint8_t* mem = m_memory.data();
    uint32_t r = QUORIX_E_PARAM;
    if (IsPlanarFourCC(m_fourCC)) {
        const uint8_t* first = mem + BRIXEL::HPixelI420FirstOffset(m_pitch, m_height);
        const uint8_t* second = mem + BRIXEL::HPixelI420SecondOffset(m_pitch, m_height);
        const bool uFirst = m_fourCC == DDFOURCC_I420;
        r = CHYUV420pConvert::ToRGB(
            BRIXEL::HPIXEL_BGRX32, mem, uFirst ? first : second, uFirst ? second : first, m_pitch,
            BRIXEL::HPixelChromaStride(m_pitch), m_width, m_height, m_rgb.data(),
            static_cast<uint32_t>(m_rgb.size()), m_width * 4, m_yuvColour);
    } else {
        // Packed 4:2:2 back to planar 4:2:0: a picture that came from 4:2:0 carries the same
        // chroma on both rows of a pair, so the even rows give it back exactly.
        const uint32_t cw = (m_width + 1) / 2;
        const uint32_t ch = (m_height + 1) / 2;
        std::vector<uint8_t> planar(static_cast<size_t>(m_width) * m_height +
                                    2 * static_cast<size_t>(cw) * ch);
        uint8_t* y = planar.data();
        uint8_t* u = y + static_cast<size_t>(m_width) * m_height;
        uint8_t* v = u + static_cast<size_t>(cw) * ch;
        const bool uyvy = m_fourCC == DDFOURCC_UYVY;
        for (uint32_t row = 0; row < m_height; ++row) {
            const uint8_t* s = mem + static_cast<size_t>(row) * m_pitch;
            for (uint32_t x = 0; x < m_width; ++x) {
                y[static_cast<size_t>(row) * m_width + x] = s[x * 2 + (uyvy ? 1 : 0)];
            }
            if ((row & 1) == 0) {
                for (uint32_t x = 0; x < cw; ++x) {
                    const uint8_t* pair = s + x * 4;
                    u[static_cast<size_t>(row / 2) * cw + x] = uyvy ? pair[0] : pair[1];
                    v[static_cast<size_t>(row / 2) * cw + x] = uyvy ? pair[2] : pair[3];
                }
            }
        }
        r = CHYUV420pConvert::ToRGB(BRIXEL::HPIXEL_BGRX32, y, u, v, m_width, cw, m_width, m_height,
                                    m_rgb.data(), static_cast<uint32_t>(m_rgb.size()), m_width * 4,
                                    m_yuvColour);
    }
    if (r != QUORIX_OK)
        return nullptr;
    m_rgbValid = true;
    return m_rgb.data();
}

void CDirectDrawSurface7::SetYUVColour(BRIXEL::CHYUVColour colour) {
    if (colour != m_yuvColour)
        m_rgbValid = false;
    m_yuvColour = colour;
}

uint32_t CDirectDrawSurface7::FillRect(const DDRECT& dest, uint32_t color) {
    const DDRECT bounds{0, 0, static_cast<int32_t>(m_width), static_cast<int32_t>(m_height)};
    Fill(m_memory.data(), m_pitch, Intersect(dest, bounds), color);
    return DD_OK;
}

uint32_t CDirectDrawSurface7::StretchFrom(const DDRECT& dest, CDirectDrawSurface7* source,
                                          const DDRECT& sourceRect) {
    uint32_t srcStride = 0;
    const uint8_t* src =
        source->m_fourCC != 0 ? source->RGBView(&srcStride) : source->m_memory.data();
    if (source->m_fourCC == 0)
        srcStride = source->m_pitch;
    if (src == nullptr)
        return DDERR_OUTOFMEMORY;
    const DDRECT bounds{0, 0, static_cast<int32_t>(m_width), static_cast<int32_t>(m_height)};
    return Composite(src, srcStride, sourceRect, m_memory.data(), m_width, m_height, m_pitch, dest,
                     bounds);
}

uint32_t CDirectDrawSurface7::Blt(const DDRECT* destRect, CDirectDrawSurface7* source,
                                  const DDRECT* sourceRect, uint32_t flags, uint32_t fillColor) {
    if (m_locked || m_dcOut)
        return DDERR_SURFACEBUSY;
    const bool fill = (flags & DDBLT_COLORFILL) != 0;
    DDRECT srcRect{};
    if (!fill) {
        if (source == nullptr || source == this)
            return DDERR_INVALIDPARAMS;
        if (source->m_locked || source->m_dcOut || source->m_primary)
            return DDERR_SURFACEBUSY;
        const DDRECT srcBounds{0, 0, static_cast<int32_t>(source->m_width),
                               static_cast<int32_t>(source->m_height)};
        srcRect = sourceRect != nullptr ? *sourceRect : srcBounds;
        if (IsEmpty(srcRect) || srcRect.left < 0 || srcRect.top < 0 ||
            srcRect.right > srcBounds.right || srcRect.bottom > srcBounds.bottom) {
            return DDERR_INVALIDRECT;
        }
    }
    if (m_primary)
        return PrimaryBlt(destRect, source, fill ? nullptr : &srcRect, flags, fillColor);
    if (m_fourCC != 0)
        return DDERR_UNSUPPORTED;
    const DDRECT bounds{0, 0, static_cast<int32_t>(m_width), static_cast<int32_t>(m_height)};
    const DDRECT dest = destRect != nullptr ? *destRect : bounds;
    if (IsEmpty(dest))
        return DDERR_INVALIDRECT;
    return fill ? FillRect(dest, fillColor) : StretchFrom(dest, source, srcRect);
}

uint32_t CDirectDrawSurface7::PrimaryBlt(const DDRECT* destRect, CDirectDrawSurface7* source,
                                         const DDRECT* sourceRect, uint32_t flags,
                                         uint32_t fillColor) {
    const uintptr_t window =
        m_clipper && m_clipper->GetHWnd() != 0 ? m_clipper->GetHWnd() : m_cooperativeWindow;
    if (window == 0 || window > 0xFFFFFFFFu)
        return DDERR_NOHWND;
    if (!m_presenter)
        m_presenter = std::make_unique<DDPresenter>();
    std::shared_ptr<CX11Connection> conn =
        m_presenter->conn ? m_presenter->conn : CX11Connection::Default();
    if (!conn)
        return DDERR_SURFACELOST;
    m_presenter->conn = conn;
    xcb_connection_t* c = Conn(conn);
    xcb_generic_error_t* error = nullptr;
    xcb_get_geometry_reply_t* geo =
        xcb_get_geometry_reply(c, xcb_get_geometry(c, static_cast<xcb_window_t>(window)), &error);
    std::free(error);
    if (geo == nullptr)
        return DDERR_SURFACELOST;
    const uint32_t ww = geo->width;
    const uint32_t wh = geo->height;
    const uint8_t depth = geo->depth;
    std::free(geo);
    int32_t wx = 0, wy = 0;
    if (!DDClientToScreen(window, &wx, &wy))
        return DDERR_SURFACELOST;
    DDRECT monitor{};
    if (!DDGetMonitorRect(m_monitor, &monitor, nullptr)) {
        int32_t sw = 0, sh = 0;
        DDGetScreenSize(&sw, &sh);
        monitor = {0, 0, sw, sh};
    }
    // Monitor coordinates to window coordinates.
    const int32_t ox = wx - monitor.left;
    const int32_t oy = wy - monitor.top;
    const DDRECT monitorSize{0, 0, monitor.right - monitor.left, monitor.bottom - monitor.top};
    const DDRECT dest = Offset(destRect != nullptr ? *destRect : monitorSize, -ox, -oy);
    if (IsEmpty(dest))
        return DDERR_INVALIDRECT;
    const DDRECT visible =
        Intersect(DDRECT{0, 0, static_cast<int32_t>(ww), static_cast<int32_t>(wh)},
                  Offset(monitorSize, -ox, -oy));
    const DDRECT shown = Intersect(visible, dest);
    if (IsEmpty(shown))
        return DD_OK;  // nothing of it lies on this monitor's part of the window
    uint32_t r = m_presenter->Prepare(static_cast<uint32_t>(window), ww, wh, depth);
    if (r != DD_OK)
        return r;
    uint8_t* bits = m_presenter->Bits();
    const uint32_t stride = m_presenter->Stride();
    if ((flags & DDBLT_COLORFILL) != 0) {
        Fill(bits, stride, shown, fillColor);
    } else {
        uint32_t srcStride = 0;
        const uint8_t* src =
            source->m_fourCC != 0 ? source->RGBView(&srcStride) : source->m_memory.data();
        if (source->m_fourCC == 0)
            srcStride = source->m_pitch;
        if (src == nullptr)
            return DDERR_OUTOFMEMORY;
        r = Composite(src, srcStride, *sourceRect, bits, ww, wh, stride, dest, shown);
        if (r != DD_OK)
            return r;
    }
    r = m_presenter->Put(shown);
    if (r != DD_OK)
        m_presenter->Reset();
    return r;
}

// ---------------------------------------------------------------------------------------------
// Device

CDirectDraw7::~CDirectDraw7() = default;

uint32_t DirectDrawCreateEx(const DDGUID* guid, std::shared_ptr<CDirectDraw7>* out) {
    if (out == nullptr)
        return DDERR_INVALIDPARAMS;
    out->reset();
    std::vector<MonitorEntry> monitors = CurrentMonitors(false);
    DDMONITOR monitor = 0;
    if (guid == nullptr || DDGuidIsNull(*guid)) {
        monitor = monitors.empty() ? 0 : monitors.front().handle;
    } else {
        for (const MonitorEntry& m : monitors) {
            if (std::memcmp(m.guid.bytes, guid->bytes, sizeof(guid->bytes)) == 0)
                monitor = m.handle;
        }
        if (monitor == 0)
            return DDERR_NODIRECTDRAWHW;
    }
    std::shared_ptr<CDirectDraw7> dd(new (std::nothrow) CDirectDraw7());
    if (!dd)
        return DDERR_OUTOFMEMORY;
    dd->m_monitor = monitor;
    dd->m_noFourCC = EnvIsOne(kDDrawNoFourCCEnv);
    if (const char* list = std::getenv(kDDrawFourCCsEnv)) {
        for (const char* p = list; std::strlen(p) >= 4;) {
            dd->m_fourCCs.push_back(DDMakeFourCC(p[0], p[1], p[2], p[3]));
            p += 4;
            if (*p == ',')
                ++p;
        }
    }
    *out = std::move(dd);
    return DD_OK;
}

uint32_t CDirectDraw7::GetCaps(DDCAPS* driverCaps, DDCAPS* helCaps) const {
    if (driverCaps == nullptr && helCaps == nullptr)
        return DDERR_INVALIDPARAMS;
    // Every surface of this device lives in system memory.
    DDCAPS caps{};
    caps.size = sizeof(DDCAPS);
    caps.surfaceCaps = DDSCAPS_OFFSCREENPLAIN | DDSCAPS_PRIMARYSURFACE | DDSCAPS_SYSTEMMEMORY;
    if (driverCaps != nullptr)
        *driverCaps = caps;
    if (helCaps != nullptr)
        *helCaps = caps;
    return DD_OK;
}

uint32_t CDirectDraw7::SetCooperativeLevel(uintptr_t window, uint32_t flags) {
    if ((flags & DDSCL_NORMAL) == 0)
        return DDERR_INVALIDPARAMS;
    m_window = window;
    return DD_OK;
}

uint32_t CDirectDraw7::RestoreDisplayMode() {
    return DD_OK;
}

uint32_t CDirectDraw7::CreateClipper(uint32_t flags, std::shared_ptr<CDirectDrawClipper>* clipper) {
    (void)flags;
    if (clipper == nullptr)
        return DDERR_INVALIDPARAMS;
    auto made = std::shared_ptr<CDirectDrawClipper>(new (std::nothrow) CDirectDrawClipper());
    if (!made)
        return DDERR_OUTOFMEMORY;
    *clipper = std::move(made);
    return DD_OK;
}

uint32_t CDirectDraw7::CreateSurface(const DDSURFACEDESC2* desc,
                                     std::shared_ptr<CDirectDrawSurface7>* surface) {
    if (desc == nullptr || surface == nullptr || (desc->flags & DDSD_CAPS) == 0) {
        return DDERR_INVALIDPARAMS;
    }
    surface->reset();
    std::shared_ptr<CDirectDrawSurface7> s(new (std::nothrow) CDirectDrawSurface7());
    if (!s)
        return DDERR_OUTOFMEMORY;
    s->m_caps = desc->caps;
    if ((desc->caps & DDSCAPS_PRIMARYSURFACE) != 0) {
        DDRECT monitor{};
        if (!DDGetMonitorRect(m_monitor, &monitor, nullptr)) {
            int32_t sw = 0, sh = 0;
            DDGetScreenSize(&sw, &sh);
            monitor = {0, 0, sw, sh};
        }
        s->m_primary = true;
        s->m_width = static_cast<uint32_t>(monitor.right - monitor.left);
        s->m_height = static_cast<uint32_t>(monitor.bottom - monitor.top);
        s->m_pitch = s->m_width * 4;
        s->m_monitor = m_monitor;
        s->m_cooperativeWindow = m_window;
        *surface = std::move(s);
        return DD_OK;
    }
    if ((desc->caps & DDSCAPS_OFFSCREENPLAIN) == 0)
        return DDERR_INVALIDPARAMS;
    if ((desc->caps & DDSCAPS_VIDEOMEMORY) != 0)
        return DDERR_NOVIDEOMEMORY;
    if ((desc->flags & (DDSD_WIDTH | DDSD_HEIGHT)) != (DDSD_WIDTH | DDSD_HEIGHT) ||
        desc->width == 0 || desc->height == 0 || desc->width > kMaxSurfaceSide ||
        desc->height > kMaxSurfaceSide) {
        return DDERR_INVALIDPARAMS;
    }
    s->m_width = desc->width;
    s->m_height = desc->height;
    size_t bytes = 0;
    if ((desc->flags & DDSD_PIXELFORMAT) != 0 && (desc->pixelFormat.flags & DDPF_FOURCC) != 0) {
        const uint32_t f = desc->pixelFormat.fourCC;
        const bool listed = m_fourCCs.empty() ||
                            std::find(m_fourCCs.begin(), m_fourCCs.end(), f) != m_fourCCs.end();
        if (m_noFourCC || !IsKnownFourCC(f) || !listed)
            return DDERR_INVALIDPIXELFORMAT;
        s->m_fourCC = f;
        if (IsPlanarFourCC(f)) {
            s->m_pitch = (desc->width + 1) & ~1u;  // the chroma rows are half of it
            bytes = static_cast<size_t>(BRIXEL::HPixelI420Size(s->m_pitch, desc->height));
        } else {
            if ((desc->width & 1) != 0)
                return DDERR_INVALIDPARAMS;  // pixels come in pairs
            s->m_pitch = desc->width * 2;
            bytes = static_cast<size_t>(s->m_pitch) * desc->height;
        }
    } else if ((desc->flags & DDSD_PIXELFORMAT) != 0 &&
               ((desc->pixelFormat.flags & DDPF_RGB) == 0 || desc->pixelFormat.rgbBitCount != 32)) {
        return DDERR_INVALIDPIXELFORMAT;  // the display's own format is the only RGB one
    } else {
        s->m_pitch = desc->width * 4;
        bytes = static_cast<size_t>(s->m_pitch) * desc->height;
    }
    try {
        s->m_memory.assign(bytes, 0);
    } catch (const std::bad_alloc&) {
        return DDERR_OUTOFMEMORY;
    }
    s->m_caps = (desc->caps & ~DDSCAPS_VIDEOMEMORY) | DDSCAPS_SYSTEMMEMORY;
    *surface = std::move(s);
    return DD_OK;
}

}  // namespace QXPLAT
