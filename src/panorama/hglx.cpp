#include "panorama/hglx.h"

#include <quorixsdk_codes.h>

#include "base/hlog.h"
#include "platform/egl_context.h"
#include "platform/x11_window.h"

namespace SPHERA {

namespace {
constexpr const char* kSource = "..\\src\\hglx";
constexpr const char* kModule = "sphview";
}  // namespace

CHGlx::CHGlx() = default;

CHGlx::~CHGlx() {
    UnInit();
}

uint32_t CHGlx::Init(uintptr_t window, void* dc, bool createContext) {
    if (m_initialised)
        return QUORIX_OK;
    m_window = window;
    // Without a window a pbuffer stands for it; it is made only when we make a context, since
    // a host context never draws into it.
    m_ownsWindow = window == 0;
    m_dc = dc;
    m_ownsDc = dc == nullptr;

    if (!createContext || QXPLAT::CEglContext::IsAnyContextCurrent()) {
        HLOG(kSource, kModule, 10, "SPHERA::CHGlx::Init", "GLRC already exists");
        m_initialised = true;
        return QUORIX_OK;
    }

    m_glrc = std::make_unique<QXPLAT::CEglContext>();
    int32_t error = 0;
    if (!m_glrc->CreateSurface(window, dc, &error)) {
        if (window == 0) {
            HLOG(kSource, kModule, 40, "SPHERA::CHGlx::Init",
                 "glx init createwindow fail. errcode=%d", error);
        } else {
            HLOG(kSource, kModule, 40, "SPHERA::CHGlx::Init",
                 "glx init wglCreateContext fail. errcode=%d", error);
        }
        return QUORIX_E_NOT_SUPPORTED;
    }
    if (!m_glrc->CreateContext(&error)) {
        HLOG(kSource, kModule, 40, "SPHERA::CHGlx::Init",
             "glx init wglCreateContext fail. errcode=%d", error);
        return QUORIX_E_NOT_SUPPORTED;
    }
    // The host's events are the host's own, so the exposures are watched on our connection
    // (to the same server when the host's Display* was given).
    if (window != 0 && window <= 0xFFFFFFFFu) {
        m_watch = QXPLAT::CX11Connection::Default();
        if (m_watch && !m_watch->WatchExposure(static_cast<uint32_t>(window)))
            m_watch.reset();
    }
    m_initialised = true;
    return QUORIX_OK;
}

bool CHGlx::TakeExposure() {
    return m_watch && m_watch->TakeExposure(static_cast<uint32_t>(m_window));
}

bool CHGlx::IsWindowUnwatched() const {
    return HasOwnContext() && !m_glrc->IsPbuffer() && !m_watch;
}

bool CHGlx::HasOwnContext() const {
    return m_glrc && m_glrc->HasContext();
}

bool CHGlx::IsWindowless() const {
    return HasOwnContext() && m_glrc->IsPbuffer();
}

uint32_t CHGlx::MakeCurrent() {
    if (!m_initialised)
        return QUORIX_E_NOT_INIT;
    if (!HasOwnContext())
        return QUORIX_OK;
    int32_t error = 0;
    if (!m_glrc->MakeCurrent(&error)) {
        HLOG(kSource, kModule, 40, "SPHERA::CHGlx::MakeCurrent", "wglMakeCurrent fail");
        return QUORIX_E_NOT_SUPPORTED;
    }
    return QUORIX_OK;
}

void CHGlx::Swap() {
    if (!m_initialised)
        return;
    int32_t error = 0;
    // Drawing into the host's context swaps the host's surface, as swapping its window would.
    const bool ok = HasOwnContext() ? m_glrc->SwapBuffers(&error)
                                    : QXPLAT::CEglContext::SwapCurrentSurface(&error);
    if (!ok)
        HLOG(kSource, kModule, 40, "SPHERA::CHGlx::Swap", "SwapBuffers error! LastError=%d", error);
}

void CHGlx::UnInit() {
    if (m_watch) {
        m_watch->UnwatchExposure(static_cast<uint32_t>(m_window));
        m_watch.reset();
    }
    if (m_glrc) {
        m_glrc->Destroy();
        m_glrc.reset();
    }
    m_dc = nullptr;
    m_ownsDc = false;
    m_window = 0;
    m_ownsWindow = false;
    m_initialised = false;
}

bool CHGlx::CoverArea(uint32_t width, uint32_t height) {
    if (!IsWindowless())
        return true;
    return m_glrc->GrowPbuffer(width, height);
}

void CHGlx::GetSurfaceSize(uint32_t* width, uint32_t* height) const {
    if (width != nullptr)
        *width = 0;
    if (height != nullptr)
        *height = 0;
    if (IsWindowless()) {
        m_glrc->GetPbufferSize(width, height);
    } else if (m_window != 0) {
        QXPLAT::X11GetWindowSize(m_dc, m_window, width, height);
    }
}

void CHGlx::CheckWindow() {
    if (!HasOwnContext() || m_glrc->IsPbuffer() || m_window == 0)
        return;
    if (!m_glrc->IsWindowGone())
        return;
    const bool replaced = m_glrc->ReplaceWindowWithPbuffer(1, 1);
    HLOG(kSource, kModule, 30, "SPHERA::CHGlx::CheckWindow", "target window %#lx is gone, %s",
         static_cast<unsigned long>(m_window),
         replaced ? "drawing goes on off-screen" : "no off-screen stand-in");
}

const char* CHGlx::PlatformName() const {
    return m_glrc ? m_glrc->PlatformName() : "";
}

void CHGlx::GetScreenSize(int32_t* width, int32_t* height) {
    uint32_t w = 0, h = 0;
    QXPLAT::X11GetScreenSize(&w, &h);
    if (width != nullptr)
        *width = static_cast<int32_t>(w);
    if (height != nullptr)
        *height = static_cast<int32_t>(h);
}

}  // namespace SPHERA
