#include "platform/egl_context.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/x11_window.h"

namespace QXPLAT {

namespace {

bool HasClientExtension(const char* name) {
    const char* all = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (all == nullptr)
        return false;
    const size_t length = std::strlen(name);
    for (const char* p = all; (p = std::strstr(p, name)) != nullptr; p += length) {
        const bool startOk = p == all || p[-1] == ' ';
        const bool endOk = p[length] == '\0' || p[length] == ' ';
        if (startOk && endOk)
            return true;
    }
    return false;
}

// eglInitialize on a display that is already initialised only answers the version again, so
// every renderer may call it. The EGLDisplay handle is shared per native display and attribute
// list, so displays on our own connection or on the surfaceless platform are never terminated
// (another renderer may still draw on them). A display made on a host's Display* is counted
// and terminated with its last user of ours: the host may close its Display* afterwards, and a
// new one at the same address must not find the old EGLDisplay still bound to freed memory.
std::mutex g_hostDisplayMutex;
std::map<EGLDisplay, uint32_t>* g_hostDisplayUsers = nullptr;  // guarded by g_hostDisplayMutex

EGLDisplay OpenDisplay(EGLenum platform, void* native, const EGLAttrib* attribs, bool counted) {
    std::unique_lock<std::mutex> guard(g_hostDisplayMutex, std::defer_lock);
    if (counted)
        guard.lock();
    EGLDisplay display = eglGetPlatformDisplay(platform, native, attribs);
    if (display == EGL_NO_DISPLAY)
        return EGL_NO_DISPLAY;
    EGLint major = 0, minor = 0;
    if (!eglInitialize(display, &major, &minor))
        return EGL_NO_DISPLAY;
    if (counted) {
        if (g_hostDisplayUsers == nullptr)
            g_hostDisplayUsers = new std::map<EGLDisplay, uint32_t>();
        ++(*g_hostDisplayUsers)[display];
    }
    return display;
}

void CloseDisplay(EGLDisplay display, bool counted) {
    if (!counted || display == EGL_NO_DISPLAY)
        return;
    std::lock_guard<std::mutex> guard(g_hostDisplayMutex);
    if (g_hostDisplayUsers == nullptr)
        return;
    auto it = g_hostDisplayUsers->find(display);
    if (it == g_hostDisplayUsers->end())
        return;
    if (--it->second == 0) {
        g_hostDisplayUsers->erase(it);
        eglTerminate(display);
    }
}

// Is a context current for the given client API? The API binding is per thread; the caller's
// binding is restored.
bool CurrentFor(EGLenum api) {
    const EGLenum previous = eglQueryAPI();
    bool current = false;
    if (eglBindAPI(api))
        current = eglGetCurrentContext() != EGL_NO_CONTEXT;
    if (previous != EGL_NONE)
        eglBindAPI(previous);
    return current;
}

}  // namespace

// One EGL platform a context can live on. A display made on a host's Display* (x11 always, xcb
// when the host gave its Display*) is counted, see OpenDisplay.
struct CEglPlatform {
    enum Native { kXlib, kXcb, kNone };  // what the native display is

    const char* name;       // PlatformName()
    const char* extension;  // the client extension that offers it
    EGLenum platform;
    Native native;
    EGLAttrib screenAttrib;  // EGL_NONE: the platform takes no screen number
    // A window surface on an X window; null: the platform has pbuffers only.
    EGLSurface (*createWindow)(EGLDisplay display, EGLConfig config, uint32_t window);
};

namespace {

// In the order they are tried. x11 shares the host's own Xlib connection and so goes only with
// a host's Display*; xcb takes any X connection; surfaceless is the one without X.
const CEglPlatform kPlatforms[] = {
    {"x11", "EGL_KHR_platform_x11", EGL_PLATFORM_X11_KHR, CEglPlatform::kXlib,
     EGL_PLATFORM_X11_SCREEN_KHR,
     [](EGLDisplay display, EGLConfig config, uint32_t window) {
         unsigned long native = window;  // Xlib's Window
         return eglCreatePlatformWindowSurface(display, config, &native, nullptr);
     }},
    {"xcb", "EGL_EXT_platform_xcb", EGL_PLATFORM_XCB_EXT, CEglPlatform::kXcb,
     EGL_PLATFORM_XCB_SCREEN_EXT,
     [](EGLDisplay display, EGLConfig config, uint32_t window) {
         uint32_t native = window;  // xcb_window_t
         return eglCreatePlatformWindowSurface(display, config, &native, nullptr);
     }},
    {"surfaceless", "EGL_MESA_platform_surfaceless", EGL_PLATFORM_SURFACELESS_MESA,
     CEglPlatform::kNone, EGL_NONE, nullptr},
};

// The first platform for this X connection (null: none, the surfaceless platform) whose
// extension the EGL library offers; null when there is none.
const CEglPlatform* PickPlatform(const CX11Connection* x11) {
    for (const CEglPlatform& platform : kPlatforms) {
        const bool onX = platform.native != CEglPlatform::kNone;
        if (onX != (x11 != nullptr))
            continue;
        if (platform.native == CEglPlatform::kXlib && !x11->IsHostConnection())
            continue;
        if (HasClientExtension(platform.extension))
            return &platform;
    }
    return nullptr;
}

}  // namespace

CEglContext::CEglContext() = default;

CEglContext::~CEglContext() {
    Destroy();
}

bool CEglContext::IsAnyContextCurrent() {
    if (CurrentFor(EGL_OPENGL_API) || CurrentFor(EGL_OPENGL_ES_API))
        return true;
    // GLX is looked up at run time so that the library does not need to link it: a host that
    // draws with GLX has it loaded already.
    using GetCurrent = void* (*)();
    auto glxGetCurrentContext =
        reinterpret_cast<GetCurrent>(dlsym(RTLD_DEFAULT, "glXGetCurrentContext"));
    return glxGetCurrentContext != nullptr && glxGetCurrentContext() != nullptr;
}

bool CEglContext::SwapCurrentSurface(int32_t* errorCode) {
    int32_t scratch = 0;
    if (errorCode == nullptr)
        errorCode = &scratch;
    *errorCode = 0;
    const EGLenum previous = eglQueryAPI();
    for (EGLenum api : {EGL_OPENGL_API, EGL_OPENGL_ES_API}) {
        if (!eglBindAPI(api) || eglGetCurrentContext() == EGL_NO_CONTEXT)
            continue;
        EGLDisplay display = eglGetCurrentDisplay();
        EGLSurface surface = eglGetCurrentSurface(EGL_DRAW);
        bool ok = true;
        if (surface != EGL_NO_SURFACE && !eglSwapBuffers(display, surface)) {
            *errorCode = eglGetError();
            ok = false;
        }
        if (previous != EGL_NONE)
            eglBindAPI(previous);
        return ok;
    }
    if (previous != EGL_NONE)
        eglBindAPI(previous);
    using GetPointer = void* (*)();
    using GetDrawable = unsigned long (*)();
    using Swap = void (*)(void*, unsigned long);
    auto getDisplay = reinterpret_cast<GetPointer>(dlsym(RTLD_DEFAULT, "glXGetCurrentDisplay"));
    auto getDrawable = reinterpret_cast<GetDrawable>(dlsym(RTLD_DEFAULT, "glXGetCurrentDrawable"));
    auto swap = reinterpret_cast<Swap>(dlsym(RTLD_DEFAULT, "glXSwapBuffers"));
    if (getDisplay != nullptr && getDrawable != nullptr && swap != nullptr) {
        void* display = getDisplay();
        const unsigned long drawable = getDrawable();
        if (display != nullptr && drawable != 0)
            swap(display, drawable);
    }
    return true;
}

bool CEglContext::ChooseConfig(bool window, uint32_t visual, int32_t* errorCode) {
    // A window config that also does pbuffers lets the context go on off-screen when the window
    // disappears; a driver without such configs still gets a window-only one.
    const EGLint surfaceTypes[] = {window ? (EGL_WINDOW_BIT | EGL_PBUFFER_BIT) : EGL_PBUFFER_BIT,
                                   window ? EGL_WINDOW_BIT : EGL_PBUFFER_BIT};
    EGLConfig configs[64];
    EGLint count = 0;
    for (EGLint surfaceType : surfaceTypes) {
        const EGLint attribs[] = {
            EGL_SURFACE_TYPE, surfaceType, EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT,
            EGL_RED_SIZE,     8,           EGL_GREEN_SIZE,      8,
            EGL_BLUE_SIZE,    8,           EGL_ALPHA_SIZE,      8,
            EGL_DEPTH_SIZE,   24,          EGL_STENCIL_SIZE,    8,
            EGL_NONE,
        };
        if (!eglChooseConfig(m_display, attribs, configs, 64, &count)) {
            *errorCode = eglGetError();
            return false;
        }
        if (count > 0)
            break;
    }
    if (count <= 0) {
        *errorCode = EGL_BAD_CONFIG;
        return false;
    }
    m_config = configs[0];
    // An X window takes only configs of its own visual; prefer the exact match.
    if (window && visual != 0) {
        for (EGLint i = 0; i < count; ++i) {
            EGLint id = 0;
            if (eglGetConfigAttrib(m_display, configs[i], EGL_NATIVE_VISUAL_ID, &id) &&
                static_cast<uint32_t>(id) == visual) {
                m_config = configs[i];
                break;
            }
        }
    }
    return true;
}

bool CEglContext::MakePbuffer(uint32_t width, uint32_t height, int32_t* errorCode) {
    const EGLint attribs[] = {
        EGL_WIDTH, static_cast<EGLint>(width), EGL_HEIGHT, static_cast<EGLint>(height), EGL_NONE,
    };
    EGLSurface surface = eglCreatePbufferSurface(m_display, m_config, attribs);
    if (surface == EGL_NO_SURFACE) {
        *errorCode = eglGetError();
        return false;
    }
    m_surface = surface;
    m_pbufferWidth = width;
    m_pbufferHeight = height;
    return true;
}

bool CEglContext::OpenPlatform(const CEglPlatform& platform, bool window, uint32_t visual,
                               int32_t* errorCode) {
    void* native = EGL_DEFAULT_DISPLAY;
    if (platform.native == CEglPlatform::kXlib)
        native = m_x11->XlibDisplay();
    else if (platform.native == CEglPlatform::kXcb)
        native = m_x11->Xcb();
    const EGLAttrib attribs[] = {platform.screenAttrib, m_x11 ? m_x11->ScreenNumber() : 0,
                                 EGL_NONE};
    const bool counted = m_x11 && m_x11->IsHostConnection();
    m_display = OpenDisplay(platform.platform, native,
                            platform.screenAttrib != EGL_NONE ? attribs : nullptr, counted);
    if (m_display == EGL_NO_DISPLAY) {
        const EGLint error = eglGetError();
        *errorCode = error != EGL_SUCCESS ? error : EGL_BAD_DISPLAY;
        m_display = nullptr;
        return false;
    }
    m_countedDisplay = counted;
    if (!ChooseConfig(window, visual, errorCode)) {
        AbandonDisplay();
        return false;
    }
    m_platformName = platform.name;
    return true;
}

bool CEglContext::CreateSurface(uintptr_t window, void* display, int32_t* errorCode) {
    int32_t scratch = 0;
    if (errorCode == nullptr)
        errorCode = &scratch;
    *errorCode = 0;
    if (m_surface != nullptr)
        return true;
    if (!eglBindAPI(EGL_OPENGL_API)) {
        *errorCode = eglGetError();
        return false;
    }
    return window != 0 ? CreateWindowSurface(window, display, errorCode)
                       : CreatePbufferSurface(display, errorCode);
}

bool CEglContext::CreateWindowSurface(uintptr_t window, void* display, int32_t* errorCode) {
    if (window > 0xFFFFFFFFu) {
        *errorCode = EGL_BAD_NATIVE_WINDOW;
        return false;
    }
    m_x11 =
        display != nullptr ? CX11Connection::FromHostDisplay(display) : CX11Connection::Default();
    if (!m_x11) {
        *errorCode = EGL_BAD_DISPLAY;
        return false;
    }
    const uint32_t xwindow = static_cast<uint32_t>(window);
    const uint32_t visual = m_x11->GetWindowVisual(xwindow);
    if (visual == 0) {  // no such window
        *errorCode = EGL_BAD_NATIVE_WINDOW;
        m_x11.reset();
        return false;
    }
    const CEglPlatform* platform = PickPlatform(m_x11.get());
    EGLSurface surface = EGL_NO_SURFACE;
    if (platform == nullptr) {
        *errorCode = EGL_BAD_DISPLAY;
    } else if (OpenPlatform(*platform, true, visual, errorCode)) {
        surface = platform->createWindow(m_display, m_config, xwindow);
        if (surface == EGL_NO_SURFACE)
            *errorCode = eglGetError();
    }
    if (surface == EGL_NO_SURFACE) {
        AbandonDisplay();
        return false;
    }
    m_surface = surface;
    m_window = xwindow;
    m_pbuffer = false;
    return true;
}

void CEglContext::AbandonDisplay() {
    CloseDisplay(m_display, m_countedDisplay);
    m_countedDisplay = false;
    m_display = nullptr;
    m_config = nullptr;
    m_platformName = "";
    m_x11.reset();
}

bool CEglContext::CreatePbufferSurface(void* display, int32_t* errorCode) {
    // On an X display when there is one, else on the surfaceless platform.
    m_x11 =
        display != nullptr ? CX11Connection::FromHostDisplay(display) : CX11Connection::Default();
    if (m_x11) {
        const CEglPlatform* platform = PickPlatform(m_x11.get());
        if (platform == nullptr || !OpenPlatform(*platform, false, 0, errorCode))
            m_x11.reset();
        *errorCode = 0;
    }
    if (m_display == nullptr) {
        const CEglPlatform* platform = PickPlatform(nullptr);
        if (platform == nullptr) {
            *errorCode = EGL_BAD_DISPLAY;
            return false;
        }
        if (!OpenPlatform(*platform, false, 0, errorCode))
            return false;
    }
    if (!MakePbuffer(1, 1, errorCode)) {
        AbandonDisplay();
        return false;
    }
    m_pbuffer = true;
    return true;
}

bool CEglContext::CreateContext(int32_t* errorCode) {
    int32_t scratch = 0;
    if (errorCode == nullptr)
        errorCode = &scratch;
    *errorCode = 0;
    if (m_context != nullptr)
        return true;
    if (m_display == nullptr || m_config == nullptr) {
        *errorCode = EGL_NOT_INITIALIZED;
        return false;
    }
    eglBindAPI(EGL_OPENGL_API);
    // No version attributes: the driver's compatibility profile, which keeps GLSL 1.x working.
    EGLContext context = eglCreateContext(m_display, m_config, EGL_NO_CONTEXT, nullptr);
    if (context == EGL_NO_CONTEXT) {
        *errorCode = eglGetError();
        return false;
    }
    m_context = context;
    return true;
}

bool CEglContext::HasContext() const {
    return m_context != nullptr;
}

bool CEglContext::MakeCurrent(int32_t* errorCode) {
    int32_t scratch = 0;
    if (errorCode == nullptr)
        errorCode = &scratch;
    *errorCode = 0;
    if (m_context == nullptr) {
        *errorCode = EGL_BAD_CONTEXT;
        return false;
    }
    eglBindAPI(EGL_OPENGL_API);
    if (!eglMakeCurrent(m_display, m_surface, m_surface, m_context)) {
        *errorCode = eglGetError();
        return false;
    }
    return true;
}

void CEglContext::ReleaseCurrent() {
    if (m_context == nullptr)
        return;
    eglBindAPI(EGL_OPENGL_API);
    if (eglGetCurrentContext() == m_context) {
        eglMakeCurrent(m_display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    }
}

bool CEglContext::SwapBuffers(int32_t* errorCode) {
    int32_t scratch = 0;
    if (errorCode == nullptr)
        errorCode = &scratch;
    *errorCode = 0;
    if (m_surface == nullptr) {
        *errorCode = EGL_BAD_SURFACE;
        return false;
    }
    const bool ok = eglSwapBuffers(m_display, m_surface);
    if (!ok)
        *errorCode = eglGetError();
    if (m_x11)
        m_x11->DrainEvents();
    return ok;
}

void CEglContext::GetPbufferSize(uint32_t* width, uint32_t* height) const {
    if (width != nullptr)
        *width = m_pbuffer ? m_pbufferWidth : 0;
    if (height != nullptr)
        *height = m_pbuffer ? m_pbufferHeight : 0;
}

bool CEglContext::GrowPbuffer(uint32_t width, uint32_t height) {
    if (!m_pbuffer || m_surface == nullptr)
        return false;
    if (width <= m_pbufferWidth && height <= m_pbufferHeight)
        return true;
    // Bounded by the driver: it refuses a pbuffer beyond its maximum and the old one stays.
    const uint32_t newWidth = width > m_pbufferWidth ? width : m_pbufferWidth;
    const uint32_t newHeight = height > m_pbufferHeight ? height : m_pbufferHeight;
    if (newWidth > 32768 || newHeight > 32768)
        return false;
    void* old = m_surface;
    const uint32_t oldWidth = m_pbufferWidth, oldHeight = m_pbufferHeight;
    int32_t error = 0;
    if (!MakePbuffer(newWidth, newHeight, &error))
        return false;
    eglBindAPI(EGL_OPENGL_API);
    if (m_context != nullptr && eglGetCurrentContext() == m_context) {
        if (!eglMakeCurrent(m_display, m_surface, m_surface, m_context)) {
            eglDestroySurface(m_display, m_surface);
            m_surface = old;
            m_pbufferWidth = oldWidth;
            m_pbufferHeight = oldHeight;
            return false;
        }
    }
    eglDestroySurface(m_display, old);
    return true;
}

bool CEglContext::IsWindowGone() const {
    if (m_pbuffer || m_surface == nullptr || !m_x11 || m_window == 0)
        return false;
    return !m_x11->GetWindowSize(m_window, nullptr, nullptr);
}

bool CEglContext::ReplaceWindowWithPbuffer(uint32_t width, uint32_t height) {
    if (m_pbuffer || m_surface == nullptr)
        return false;
    EGLint surfaceType = 0;
    if (!eglGetConfigAttrib(m_display, m_config, EGL_SURFACE_TYPE, &surfaceType) ||
        (surfaceType & EGL_PBUFFER_BIT) == 0) {
        return false;
    }
    void* old = m_surface;
    int32_t error = 0;
    if (!MakePbuffer(width > 0 ? width : 1, height > 0 ? height : 1, &error))
        return false;
    eglBindAPI(EGL_OPENGL_API);
    if (m_context != nullptr && eglGetCurrentContext() == m_context) {
        if (!eglMakeCurrent(m_display, m_surface, m_surface, m_context)) {
            eglDestroySurface(m_display, m_surface);
            m_surface = old;
            return false;
        }
    }
    eglDestroySurface(m_display, old);
    m_pbuffer = true;
    m_window = 0;
    return true;
}

void CEglContext::Destroy() {
    if (m_display != nullptr) {
        ReleaseCurrent();
        if (m_context != nullptr)
            eglDestroyContext(m_display, m_context);
        if (m_surface != nullptr)
            eglDestroySurface(m_display, m_surface);
        CloseDisplay(m_display, m_countedDisplay);
    }
    m_countedDisplay = false;
    m_context = nullptr;
    m_surface = nullptr;
    m_config = nullptr;
    m_display = nullptr;
    m_pbuffer = false;
    m_window = 0;
    m_pbufferWidth = m_pbufferHeight = 0;
    m_platformName = "";
    m_x11.reset();
}

}  // namespace QXPLAT
