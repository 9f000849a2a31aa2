#include "platform/x11_window.h"

#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace QXPLAT {

namespace {

xcb_screen_t* ScreenOf(xcb_connection_t* c, int number) {
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; it.rem > 0; xcb_screen_next(&it), ++i) {
        if (i == number)
            return it.data;
    }
    return nullptr;
}

struct OwnConnection {
    std::string name;
    std::shared_ptr<CX11Connection> connection;
};

// Own connections stay open for the life of the process: EGL displays are made on them and
// Mesa keeps those until exit. One per $DISPLAY value seen.
std::mutex g_ownMutex;
std::vector<OwnConnection>* g_own = nullptr;  // guarded by g_ownMutex; never freed (reachable)

// Windows whose exposures are watched (by any of our connections; ids are per server, and a
// process shows on one) and whether one came since it was last taken.
struct Watched {
    uint32_t window = 0;
    uint32_t watchers = 0;
    bool exposed = false;
};
std::mutex g_watchMutex;
std::vector<Watched>* g_watched = nullptr;  // guarded by g_watchMutex; never freed (reachable)

Watched* FindWatched(uint32_t window) {
    if (g_watched == nullptr)
        return nullptr;
    for (Watched& w : *g_watched) {
        if (w.window == window)
            return &w;
    }
    return nullptr;
}

void NoteEvent(const xcb_generic_event_t* event) {
    if ((event->response_type & 0x7F) != XCB_EXPOSE)
        return;
    const auto* expose = reinterpret_cast<const xcb_expose_event_t*>(event);
    std::lock_guard<std::mutex> guard(g_watchMutex);
    if (Watched* w = FindWatched(expose->window))
        w->exposed = true;
}

}  // namespace

CX11Connection::CX11Connection(void* xcb, void* xlib, int screen, bool owned)
    : m_xcb(xcb), m_xlib(xlib), m_screen(screen), m_owned(owned) {}

CX11Connection::~CX11Connection() {
    if (m_owned && m_xcb != nullptr)
        xcb_disconnect(static_cast<xcb_connection_t*>(m_xcb));
}

std::shared_ptr<CX11Connection> CX11Connection::FromHostDisplay(void* display) {
    if (display == nullptr)
        return nullptr;
    Display* dpy = static_cast<Display*>(display);
    xcb_connection_t* c = XGetXCBConnection(dpy);
    if (c == nullptr || xcb_connection_has_error(c))
        return nullptr;
    return std::shared_ptr<CX11Connection>(new CX11Connection(c, dpy, DefaultScreen(dpy), false));
}

std::shared_ptr<CX11Connection> CX11Connection::Default() {
    const char* env = std::getenv("DISPLAY");
    if (env == nullptr || env[0] == '\0')
        return nullptr;
    std::lock_guard<std::mutex> guard(g_ownMutex);
    if (g_own == nullptr)
        g_own = new std::vector<OwnConnection>();
    for (const OwnConnection& own : *g_own) {
        if (own.name == env) {
            if (!xcb_connection_has_error(static_cast<xcb_connection_t*>(own.connection->Xcb()))) {
                return own.connection;
            }
        }
    }
    int screen = 0;
    xcb_connection_t* c = xcb_connect(env, &screen);
    if (c == nullptr)
        return nullptr;
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return nullptr;
    }
    auto connection = std::shared_ptr<CX11Connection>(new CX11Connection(c, nullptr, screen, true));
    g_own->push_back({env, connection});
    return connection;
}

bool CX11Connection::GetWindowSize(uint32_t window, uint32_t* width, uint32_t* height) const {
    auto* c = static_cast<xcb_connection_t*>(m_xcb);
    xcb_generic_error_t* error = nullptr;
    xcb_get_geometry_reply_t* reply =
        xcb_get_geometry_reply(c, xcb_get_geometry(c, window), &error);
    std::free(error);
    if (reply == nullptr)
        return false;
    if (width != nullptr)
        *width = reply->width;
    if (height != nullptr)
        *height = reply->height;
    std::free(reply);
    return true;
}

uint32_t CX11Connection::GetWindowVisual(uint32_t window) const {
    auto* c = static_cast<xcb_connection_t*>(m_xcb);
    xcb_generic_error_t* error = nullptr;
    xcb_get_window_attributes_reply_t* reply =
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), &error);
    std::free(error);
    if (reply == nullptr)
        return 0;
    uint32_t visual = reply->visual;
    std::free(reply);
    return visual;
}

void CX11Connection::GetScreenSize(uint32_t* width, uint32_t* height) const {
    xcb_screen_t* s = ScreenOf(static_cast<xcb_connection_t*>(m_xcb), m_screen);
    if (width != nullptr)
        *width = s != nullptr ? s->width_in_pixels : 0;
    if (height != nullptr)
        *height = s != nullptr ? s->height_in_pixels : 0;
}

void CX11Connection::DrainEvents() const {
    if (!m_owned)
        return;
    auto* c = static_cast<xcb_connection_t*>(m_xcb);
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
        NoteEvent(event);
        std::free(event);
    }
}

bool CX11Connection::WatchExposure(uint32_t window) const {
    if (!m_owned || window == 0)
        return false;
    auto* c = static_cast<xcb_connection_t*>(m_xcb);
    xcb_get_window_attributes_reply_t* reply =
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr);
    if (reply == nullptr)
        return false;
    const uint32_t mask = reply->your_event_mask | XCB_EVENT_MASK_EXPOSURE;
    std::free(reply);
    {
        std::lock_guard<std::mutex> guard(g_watchMutex);
        if (g_watched == nullptr)
            g_watched = new std::vector<Watched>();
        if (Watched* w = FindWatched(window)) {
            ++w->watchers;
        } else {
            g_watched->push_back({window, 1, false});
        }
    }
    xcb_generic_error_t* error = xcb_request_check(
        c, xcb_change_window_attributes_checked(c, window, XCB_CW_EVENT_MASK, &mask));
    if (error == nullptr)
        return true;
    std::free(error);
    UnwatchExposure(window);
    return false;
}

void CX11Connection::UnwatchExposure(uint32_t window) const {
    std::lock_guard<std::mutex> guard(g_watchMutex);
    if (g_watched == nullptr)
        return;
    for (auto it = g_watched->begin(); it != g_watched->end(); ++it) {
        if (it->window == window) {
            if (--it->watchers == 0)
                g_watched->erase(it);
            return;
        }
    }
}

bool CX11Connection::TakeExposure(uint32_t window) const {
    DrainEvents();
    std::lock_guard<std::mutex> guard(g_watchMutex);
    Watched* w = FindWatched(window);
    if (w == nullptr || !w->exposed)
        return false;
    w->exposed = false;
    return true;
}

void X11GetScreenSize(uint32_t* width, uint32_t* height) {
    if (width != nullptr)
        *width = 0;
    if (height != nullptr)
        *height = 0;
    std::shared_ptr<CX11Connection> c = CX11Connection::Default();
    if (c)
        c->GetScreenSize(width, height);
}

bool X11GetWindowSize(void* display, uintptr_t window, uint32_t* width, uint32_t* height) {
    if (window == 0 || window > 0xFFFFFFFFu)
        return false;
    std::shared_ptr<CX11Connection> c =
        display != nullptr ? CX11Connection::FromHostDisplay(display) : CX11Connection::Default();
    if (!c)
        return false;
    return c->GetWindowSize(static_cast<uint32_t>(window), width, height);
}

}  // namespace QXPLAT
