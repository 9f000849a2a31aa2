#pragma once
// X11 services of the library: its own connection to $DISPLAY (XCB, so X errors come back per
// request and the host's Xlib error handler is never touched), borrowed connections on a host's
// Display*, window geometry and the primary screen size. No X header leaks out of this file.

#include <cstdint>
#include <memory>

namespace QXPLAT {

// One X connection: the host's (its XCB side, taken from the Display*, never closed by us) or
// the library's own process-wide connection to $DISPLAY (opened once, kept until exit so that
// EGL displays made on it stay valid for every renderer).
class CX11Connection {
public:
    // The host's Display*; nullptr when display is null.
    static std::shared_ptr<CX11Connection> FromHostDisplay(void* display);
    // The library's own connection to $DISPLAY; nullptr when $DISPLAY is unset or unreachable.
    static std::shared_ptr<CX11Connection> Default();

    ~CX11Connection();
    CX11Connection(const CX11Connection&) = delete;
    CX11Connection& operator=(const CX11Connection&) = delete;

    // xcb_connection_t*, or the Xlib Display* for a host connection (nullptr for our own).
    void* Xcb() const { return m_xcb; }
    void* XlibDisplay() const { return m_xlib; }
    int ScreenNumber() const { return m_screen; }
    bool IsHostConnection() const { return m_xlib != nullptr; }

    // Client size of a window; false when the window does not exist (any more).
    bool GetWindowSize(uint32_t window, uint32_t* width, uint32_t* height) const;
    // The visual id of a window, 0 when the window does not exist.
    uint32_t GetWindowVisual(uint32_t window) const;
    // Size of the connection's default screen.
    void GetScreenSize(uint32_t* width, uint32_t* height) const;
    // Throws away queued events and asynchronous errors of our own connection so that the queue
    // cannot grow without bound (a window destroyed under a surface makes every swap an error).
    // A host connection belongs to the host's event loop and is left alone.
    // Exposures of watched windows are noted on the way.
    void DrainEvents() const;
    // Our own connection only: asks for the window's exposures (added to what this connection
    // already selects on it). False when the window cannot be watched.
    bool WatchExposure(uint32_t window) const;
    void UnwatchExposure(uint32_t window) const;
    // Whether the watched window was exposed since the last call (the queue is drained first).
    bool TakeExposure(uint32_t window) const;

private:
    CX11Connection(void* xcb, void* xlib, int screen, bool owned);
    void* m_xcb;
    void* m_xlib;
    int m_screen;
    bool m_owned;
};

// The primary screen of $DISPLAY in pixels; 0 x 0 without an X display.
void X11GetScreenSize(uint32_t* width, uint32_t* height);
// Client size of a window on the host's Display* (or $DISPLAY when null); false when unknown.
bool X11GetWindowSize(void* display, uintptr_t window, uint32_t* width, uint32_t* height);

}  // namespace QXPLAT
