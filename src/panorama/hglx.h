#pragma once
// The rendering context of one renderer: attaches to the host's X11 window (on the host's
// Display* or on $DISPLAY), or, given no window, draws into a pbuffer that stands for the
// window. Used from one thread at a time: the thread on which the context is current.

#include <cstdint>
#include <memory>

namespace QXPLAT {
class CEglContext;
class CX11Connection;
}  // namespace QXPLAT

namespace SPHERA {

class CHGlx {
public:
    CHGlx();
    virtual ~CHGlx();
    CHGlx(const CHGlx&) = delete;
    CHGlx& operator=(const CHGlx&) = delete;

    // window: an X11 window id or 0; dc: the host's Display* or null. 0 or 0x80008001.
    uint32_t Init(uintptr_t window, void* dc, bool createContext);
    // 0, 0x80008001, or 0x80008015 before Init.
    uint32_t MakeCurrent();
    void Swap();
    // Safe in any state, any number of times.
    void UnInit();

    // Primary screen in pixels; 0 x 0 without an X display.
    static void GetScreenSize(int32_t* width, int32_t* height);

    bool IsInitialised() const { return m_initialised; }
    // A context of our own exists (false when drawing into the host's current context).
    bool HasOwnContext() const;
    // Our own context draws into a pbuffer that stands for the missing window.
    bool IsWindowless() const;
    // Grows the stand-in pbuffer so that it covers (0, 0)-(width, height); no-op with a window
    // or the host's context. False when it could not grow.
    bool CoverArea(uint32_t width, uint32_t height);
    void GetSurfaceSize(uint32_t* width, uint32_t* height) const;
    // Once per frame: when the host destroyed the target window, the context moves onto a
    // pbuffer that stands for it, so drawing, callbacks and read-back go on off-screen.
    void CheckWindow();
    // "surfaceless", "x11", "xcb" or "" (host context / not initialised).
    const char* PlatformName() const;
    uintptr_t GetWindow() const { return m_window; }
    // Our context draws into a window: whether the window was uncovered (or otherwise lost its
    // picture) since the last call.
    bool TakeExposure();
    // Our context draws into a window whose exposures cannot be watched.
    bool IsWindowUnwatched() const;

private:
    uintptr_t m_window = 0;  // the target window, 0 when the pbuffer stands for it
    void* m_dc = nullptr;    // the host's Display*, or null for our own connection
    std::unique_ptr<QXPLAT::CEglContext> m_glrc;  // our context; null when the host's is used
    // Our own X connection, watching the target window's exposures; null when not watching.
    std::shared_ptr<QXPLAT::CX11Connection> m_watch;
    bool m_ownsWindow = false;  // the stand-in pbuffer is ours to destroy
    bool m_ownsDc = false;      // we opened (or share) the X connection ourselves
    bool m_initialised = false;
};

}  // namespace SPHERA
