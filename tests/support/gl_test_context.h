#pragma once
// Test helpers for the GL renderer: a headless context that a test makes current the way a
// host application would, a capture of the library's log lines, and an X11 host window on the
// test display (QUORIX_TEST_DISPLAY, started by scripts/test).

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <X11/Xlib.h>
#include <stdlib.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "base/hlog.h"

namespace gltest {

// A desktop-GL context on a pbuffer of Mesa's surfaceless platform, current on the creating
// thread until destruction. The EGL display is shared with the library and never terminated.
class HostContext {
public:
    explicit HostContext(int width = 256, int height = 256) {
        display_ =
            eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        if (display_ == EGL_NO_DISPLAY || !eglInitialize(display_, nullptr, nullptr))
            return;
        const EGLint attribs[] = {EGL_SURFACE_TYPE,
                                  EGL_PBUFFER_BIT,
                                  EGL_RENDERABLE_TYPE,
                                  EGL_OPENGL_BIT,
                                  EGL_RED_SIZE,
                                  8,
                                  EGL_GREEN_SIZE,
                                  8,
                                  EGL_BLUE_SIZE,
                                  8,
                                  EGL_ALPHA_SIZE,
                                  8,
                                  EGL_DEPTH_SIZE,
                                  24,
                                  EGL_STENCIL_SIZE,
                                  8,
                                  EGL_NONE};
        EGLConfig config;
        EGLint count = 0;
        if (!eglChooseConfig(display_, attribs, &config, 1, &count) || count < 1)
            return;
        const EGLint size[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
        surface_ = eglCreatePbufferSurface(display_, config, size);
        eglBindAPI(EGL_OPENGL_API);
        context_ = eglCreateContext(display_, config, EGL_NO_CONTEXT, nullptr);
        if (surface_ == EGL_NO_SURFACE || context_ == EGL_NO_CONTEXT)
            return;
        ok_ = eglMakeCurrent(display_, surface_, surface_, context_) == EGL_TRUE;
    }
    ~HostContext() {
        if (display_ == EGL_NO_DISPLAY)
            return;
        eglBindAPI(EGL_OPENGL_API);
        if (eglGetCurrentContext() == context_) {
            eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        }
        if (context_ != EGL_NO_CONTEXT)
            eglDestroyContext(display_, context_);
        if (surface_ != EGL_NO_SURFACE)
            eglDestroySurface(display_, surface_);
    }
    HostContext(const HostContext&) = delete;
    HostContext& operator=(const HostContext&) = delete;

    bool ok() const { return ok_; }
    EGLContext context() const { return context_; }

private:
    EGLDisplay display_ = EGL_NO_DISPLAY;
    EGLSurface surface_ = EGL_NO_SURFACE;
    EGLContext context_ = EGL_NO_CONTEXT;
    bool ok_ = false;
};

inline EGLContext CurrentEglContext() {
    eglBindAPI(EGL_OPENGL_API);
    return eglGetCurrentContext();
}

// Every log line of the library at level 10 and above goes to a temporary file while the
// capture lives.
class LogCapture {
public:
    LogCapture() {
        char name[] = "/tmp/quorix-gl-log-XXXXXX";
        fd_ = mkstemp(name);
        path_ = name;
        BRIXEL::CHLog::Instance().SetDebugFd(fd_);
        BRIXEL::CHLog::Instance().Configure(1, 0, nullptr, nullptr);
    }
    ~LogCapture() {
        BRIXEL::CHLog::Instance().Configure(0, 0, nullptr, nullptr);
        BRIXEL::CHLog::Instance().SetDebugFd(2);
        if (fd_ >= 0)
            close(fd_);
        unlink(path_.c_str());
    }
    std::string Text() const {
        std::ifstream in(path_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool Contains(const std::string& what) const { return Text().find(what) != std::string::npos; }

private:
    int fd_ = -1;
    std::string path_;
};

// The test display of the windowed tests; empty when scripts/test did not start one.
inline std::string TestDisplay() {
    const char* d = std::getenv("QUORIX_TEST_DISPLAY");
    return d != nullptr ? d : "";
}

// A mapped top-level window on the test display, as a host application would own it.
class HostWindow {
public:
    HostWindow(int width, int height) {
        display_ = XOpenDisplay(TestDisplay().c_str());
        if (display_ == nullptr)
            return;
        const int screen = DefaultScreen(display_);
        window_ =
            XCreateSimpleWindow(display_, RootWindow(display_, screen), 0, 0, width, height, 0,
                                BlackPixel(display_, screen), BlackPixel(display_, screen));
        XMapWindow(display_, window_);
        XSync(display_, False);
    }
    ~HostWindow() {
        if (display_ == nullptr)
            return;
        Destroy();
        XCloseDisplay(display_);
    }
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    void Destroy() {
        if (window_ != 0) {
            XDestroyWindow(display_, window_);
            XSync(display_, False);
            window_ = 0;
        }
    }
    bool ok() const { return display_ != nullptr && window_ != 0; }
    std::string why() const {
        if (display_ == nullptr)
            return "XOpenDisplay(" + TestDisplay() + ") failed";
        return window_ == 0 ? "no window" : "";
    }
    Display* display() const { return display_; }
    uintptr_t window() const { return window_; }

private:
    Display* display_ = nullptr;
    Window window_ = 0;
};

// Runs the test body without an X display, as on a headless server.
class NoDisplay {
public:
    NoDisplay() {
        const char* d = std::getenv("DISPLAY");
        if (d != nullptr)
            saved_ = d, had_ = true;
        unsetenv("DISPLAY");
    }
    ~NoDisplay() {
        if (had_)
            setenv("DISPLAY", saved_.c_str(), 1);
    }

private:
    std::string saved_;
    bool had_ = false;
};

// One pixel of a window (its children included) as the X server has it: R, G, B of a 24-bit
// TrueColor server; {1, 2, 3} when it cannot be read.
inline std::array<uint8_t, 3> WindowPixel(xcb_connection_t* c, uint32_t window, int16_t x,
                                          int16_t y) {
    xcb_get_image_reply_t* reply = xcb_get_image_reply(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, x, y, 1, 1, ~0u), nullptr);
    std::array<uint8_t, 3> rgb{1, 2, 3};
    if (reply != nullptr) {
        const uint8_t* d = xcb_get_image_data(reply);
        rgb = {d[2], d[1], d[0]};
        std::free(reply);
    }
    return rgb;
}

}  // namespace gltest
