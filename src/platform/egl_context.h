#pragma once
// EGL rendering context of one renderer: on an X11 window an EGL window surface, without a
// window a pbuffer that stands for it (on the host's or our own X display, or on Mesa's
// surfaceless platform when there is no X display at all). Config RGBA 8-8-8-8, depth 24,
// stencil 8, desktop OpenGL (compatibility profile). No EGL or X header leaks out of this file.

#include <cstdint>
#include <memory>

namespace QXPLAT {

class CX11Connection;
struct CEglPlatform;

class CEglContext {
public:
    CEglContext();
    ~CEglContext();
    CEglContext(const CEglContext&) = delete;
    CEglContext& operator=(const CEglContext&) = delete;

    // The target. window != 0: an X11 window (on display, a host Display*, or on $DISPLAY when
    // null); window == 0: a 1 x 1 pbuffer. False with the EGL (or X) error code on failure.
    bool CreateSurface(uintptr_t window, void* display, int32_t* errorCode);
    // A context on the surface's display; false with the EGL error code.
    bool CreateContext(int32_t* errorCode);
    bool MakeCurrent(int32_t* errorCode);
    // Makes no context current on this thread (only when ours is current).
    void ReleaseCurrent();
    bool SwapBuffers(int32_t* errorCode);
    // Destroys context and surface (releasing ours first when current on this thread).
    void Destroy();

    bool HasContext() const;
    bool IsPbuffer() const { return m_pbuffer; }
    void GetPbufferSize(uint32_t* width, uint32_t* height) const;
    // Grows the pbuffer so that it covers width x height (never shrinks it); when the context
    // is current on this thread the new pbuffer is made current at once. False when the new
    // pbuffer could not be made (the old one stays).
    bool GrowPbuffer(uint32_t width, uint32_t height);
    // True when our window surface's X window no longer exists (one round trip).
    bool IsWindowGone() const;
    // Retargets the context from a vanished window to a pbuffer of the given size, so that
    // drawing and read-back go on off-screen. False when the config cannot do pbuffers.
    bool ReplaceWindowWithPbuffer(uint32_t width, uint32_t height);
    // "surfaceless", "x11" or "xcb": the EGL platform in use, "" before CreateSurface.
    const char* PlatformName() const { return m_platformName; }

    // Swaps whatever surface is current on this thread (a host's EGL surface or GLX drawable);
    // true when there is nothing to swap.
    static bool SwapCurrentSurface(int32_t* errorCode);
    // True when any rendering context (EGL desktop or ES, or GLX) is current on this thread.
    static bool IsAnyContextCurrent();

private:
    bool CreateWindowSurface(uintptr_t window, void* display, int32_t* errorCode);
    bool CreatePbufferSurface(void* display, int32_t* errorCode);
    // The one way a display is opened: on `platform` (over m_x11 unless surfaceless), with a
    // config for a window of `visual` or for pbuffers. On failure nothing stays open.
    bool OpenPlatform(const CEglPlatform& platform, bool window, uint32_t visual,
                      int32_t* errorCode);
    bool ChooseConfig(bool window, uint32_t visual, int32_t* errorCode);
    // Closes the display OpenPlatform opened and forgets it, with its X connection.
    void AbandonDisplay();
    bool MakePbuffer(uint32_t width, uint32_t height, int32_t* errorCode);

    std::shared_ptr<CX11Connection> m_x11;
    void* m_display = nullptr;      // EGLDisplay
    void* m_config = nullptr;       // EGLConfig
    void* m_surface = nullptr;      // EGLSurface
    void* m_context = nullptr;      // EGLContext
    bool m_countedDisplay = false;  // made on a host's Display*: terminated with its last user
    bool m_pbuffer = false;
    uint32_t m_window = 0;  // the X window of our window surface
    uint32_t m_pbufferWidth = 0;
    uint32_t m_pbufferHeight = 0;
    const char* m_platformName = "";
};

}  // namespace QXPLAT
