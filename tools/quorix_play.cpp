// quorix-play: plays recordings (or a live record stream on standard input) through the public
// API of libquorixsdk, in an X11 window or headless.
//
//   quorix-play [--layout 1|2x2|1+3|1+5] [--software] FILE
//   quorix-play --headless --out DIR [--software] FILE
//   producer | quorix-play --live [--model N] [--params FILE]

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <quorixsdk.h>

namespace {

struct Options {
    std::string file;
    std::string layout = "1";
    bool software = false;
    bool headless = false;
    std::string outDir;
    bool live = false;
    int model = QUORIX_MODEL_NORMAL;
    std::string paramsFile;
    int width = 1280, height = 720;
    double seconds = 0;  // headless: stop after this long (0: at the end of the file)
    int speed = 0;
};

const char* ResultName(uint32_t r) {
    switch (r) {
        case QUORIX_OK:
            return "OK";
        case QUORIX_E_NOT_SUPPORTED:
            return "NOT_SUPPORTED";
        case QUORIX_E_NOT_IMPL:
            return "NOT_IMPL";
        case QUORIX_E_NOT_OPEN:
            return "NOT_OPEN";
        case QUORIX_E_TIMEOUT:
            return "TIMEOUT";
        case QUORIX_E_PARAM:
            return "PARAM";
        case QUORIX_E_OPEN_FILE:
            return "OPEN_FILE";
        case QUORIX_E_STATE:
            return "STATE";
        case QUORIX_E_FILE_FORMAT:
            return "FILE_FORMAT";
        case QUORIX_E_PORT_BUSY:
            return "PORT_BUSY";
        case QUORIX_E_QUEUE_FULL:
            return "QUEUE_FULL";
        case QUORIX_E_THREAD_RUNNING:
            return "THREAD_RUNNING";
        case QUORIX_E_FAIL:
            return "FAIL";
        default:
            return "error";
    }
}

// Reports a failed call once per operation name and goes on: parts of the library may not be in
// this build (QUORIX_E_NOT_IMPL), and the player keeps doing what it can.
bool Check(const char* what, uint32_t r) {
    if (r == QUORIX_OK)
        return true;
    static std::vector<std::string> reported;
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    for (const auto& s : reported) {
        if (s == what)
            return false;
    }
    reported.emplace_back(what);
    std::fprintf(stderr, "quorix-play: %s: %s (%#x)\n", what, ResultName(r), r);
    return false;
}

const char* DisplayName(uint32_t t) {
    switch (t) {
        case QUORIX_DISPLAY_PLANE:
            return "plane";
        case QUORIX_DISPLAY_MULTI_CAMERA:
            return "multi-camera";
        case QUORIX_DISPLAY_VR:
            return "vr";
        case QUORIX_DISPLAY_SPHERE:
            return "sphere";
        case QUORIX_DISPLAY_PLANE180:
            return "plane180";
        case QUORIX_DISPLAY_PLANE360:
            return "plane360";
        case QUORIX_DISPLAY_PLANE360_FIXED:
            return "plane360-fixed";
        case QUORIX_DISPLAY_PLANE360_FRONTBACK:
            return "plane360-frontback";
        case QUORIX_DISPLAY_CYLINDER:
            return "cylinder";
        case QUORIX_DISPLAY_CYLINDER_INSIDE:
            return "cylinder-inside";
        default:
            return "unknown";
    }
}

// Region rectangles of a layout inside a width × height window.
std::vector<QUORIX_RECT> LayoutRects(const std::string& layout, int w, int h) {
    std::vector<QUORIX_RECT> r;
    auto cell = [&](int x0, int y0, int x1, int y1) { r.push_back({x0, y0, x1, y1}); };
    if (layout == "2x2") {
        for (int i = 0; i < 4; ++i)
            cell((i % 2) * w / 2, (i / 2) * h / 2, (i % 2 + 1) * w / 2, (i / 2 + 1) * h / 2);
    } else if (layout == "1+3") {
        // One large region on top, three small ones below.
        cell(0, 0, w, h * 2 / 3);
        for (int i = 0; i < 3; ++i)
            cell(i * w / 3, h * 2 / 3, (i + 1) * w / 3, h);
    } else if (layout == "1+5") {
        // A 3 × 3 grid: the large region takes the top-left 2 × 2 cells.
        cell(0, 0, w * 2 / 3, h * 2 / 3);
        cell(w * 2 / 3, 0, w, h / 3);
        cell(w * 2 / 3, h / 3, w, h * 2 / 3);
        for (int i = 0; i < 3; ++i)
            cell(i * w / 3, h * 2 / 3, (i + 1) * w / 3, h);
    } else {
        cell(0, 0, w, h);
    }
    return r;
}

bool ParseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "quorix-play: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            std::printf(
                "usage: quorix-play [--layout 1|2x2|1+3|1+5] [--software] [--size WxH] FILE\n"
                "       quorix-play --headless --out DIR [--seconds S] [--speed N] FILE\n"
                "       producer | quorix-play --live [--model N] [--params FILE]\n"
                "In the window press h for the keys.\n");
            std::exit(0);
        } else if (a == "--layout") {
            o->layout = next();
            if (o->layout != "1" && o->layout != "2x2" && o->layout != "1+3" &&
                o->layout != "1+5") {
                std::fprintf(stderr, "quorix-play: --layout takes 1, 2x2, 1+3 or 1+5\n");
                return false;
            }
        } else if (a == "--software") {
            o->software = true;
        } else if (a == "--headless") {
            o->headless = true;
        } else if (a == "--out") {
            o->outDir = next();
        } else if (a == "--live") {
            o->live = true;
        } else if (a == "--model") {
            o->model = std::atoi(next());
        } else if (a == "--params") {
            o->paramsFile = next();
        } else if (a == "--size") {
            if (std::sscanf(next(), "%dx%d", &o->width, &o->height) != 2 || o->width < 16 ||
                o->height < 16 || o->width > 8192 || o->height > 8192) {
                std::fprintf(stderr, "quorix-play: --size takes WxH\n");
                return false;
            }
        } else if (a == "--seconds") {
            o->seconds = std::atof(next());
        } else if (a == "--speed") {
            o->speed = std::atoi(next());
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "quorix-play: unknown option %s\n", a.c_str());
            return false;
        } else {
            o->file = a;
        }
    }
    if (!o->live && o->file.empty()) {
        std::fprintf(stderr, "quorix-play: no file given (or --live)\n");
        return false;
    }
    if (o->headless && o->outDir.empty())
        o->outDir = "out";
    return true;
}

// State shared with the library's callback threads.
struct Shared {
    std::mutex lock;
    std::condition_variable changed;
    bool fileEnded = false;  // guarded by lock
    std::atomic<uint32_t> drawn[QUORIX_MAX_REGIONS] = {};
    std::atomic<bool> stop{false};
};

void OnFileEnd(uint16_t, void* user) {
    auto* s = static_cast<Shared*>(user);
    std::lock_guard<std::mutex> guard(s->lock);
    s->fileEnded = true;
    s->changed.notify_all();
}

void OnDraw(uint16_t, uint16_t region, int32_t, QUORIX_HDC, const QUORIX_RECT*, const QUORIX_RECT*,
            void* user) {
    auto* s = static_cast<Shared*>(user);
    if (region < QUORIX_MAX_REGIONS)
        s->drawn[region].fetch_add(1, std::memory_order_relaxed);
}

// Reads exactly n bytes of the pipe; gives up at its end or when the player stops.
bool ReadAll(int fd, uint8_t* p, size_t n, const std::atomic<bool>* stop = nullptr) {
    while (n > 0) {
        if (stop != nullptr) {
            pollfd pfd{fd, POLLIN, 0};
            const int ready = poll(&pfd, 1, 100);
            if (stop->load())
                return false;
            if (ready == 0)
                continue;
        }
        const ssize_t got = read(fd, p, n);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Live input: frame records on standard input. A container file piped in is accepted too: its
// header and extension records give the model and the blocks, the records follow.
struct LiveSource {
    int model = QUORIX_MODEL_NORMAL;
    std::vector<uint8_t> info, params;
    std::vector<uint8_t> pending;  // bytes read while looking for a file header
};

bool ReadLiveHeader(int in, LiveSource* src) {
    uint8_t head[64];
    if (!ReadAll(in, head, 4))
        return false;
    if (std::memcmp(head, "ZEBM", 4) != 0) {
        src->pending.assign(head, head + 4);
        return true;
    }
    if (!ReadAll(in, head + 4, 60))
        return false;
    const uint32_t dataOffset = Le32(head + 32);
    src->model = static_cast<int8_t>(head[61]);
    uint32_t at = 64;
    while (at + 12 <= dataOffset) {
        uint8_t ext[12];
        if (!ReadAll(in, ext, 12) || std::memcmp(ext, "MEXT", 4) != 0)
            return false;
        const uint32_t len = Le32(ext + 8);
        if (len > (16u << 20) || len > dataOffset - at - 12)
            return false;
        std::vector<uint8_t> payload(len);
        if (!ReadAll(in, payload.data(), len))
            return false;
        if (ext[4] == 1)
            src->info = std::move(payload);
        if (ext[4] == 2)
            src->params = std::move(payload);
        at += 12 + len;
    }
    for (uint8_t byte; at < dataOffset; ++at) {
        if (!ReadAll(in, &byte, 1))
            return false;
    }
    return true;
}

void FeedLive(uint16_t port, int in, LiveSource* src, Shared* shared) {
    std::vector<uint8_t> record;
    uint8_t header[28];
    size_t have = src->pending.size();
    if (have != 0)
        std::memcpy(header, src->pending.data(), have);
    while (!shared->stop.load()) {
        if (!ReadAll(in, header + have, 28 - have, &shared->stop))
            break;
        have = 0;
        const uint32_t len = Le32(header + 24);
        if (header[0] != 0x68 || header[1] != 0x74 || len > (64u << 20)) {
            std::fprintf(stderr, "quorix-play: the live input is not a record stream\n");
            break;
        }
        record.resize(28 + len);
        std::memcpy(record.data(), header, 28);
        if (!ReadAll(in, record.data() + 28, len, &shared->stop))
            break;
        // A full queue means the stream is fed faster than it plays: wait for room.
        uint32_t r;
        while ((r = QUORIX_InputStreamData(port, record.data(),
                                           static_cast<uint32_t>(record.size()))) ==
                   QUORIX_E_QUEUE_FULL &&
               !shared->stop.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (r != QUORIX_OK && r != QUORIX_E_QUEUE_FULL)
            Check("QUORIX_InputStreamData", r);
    }
    std::lock_guard<std::mutex> guard(shared->lock);
    shared->fileEnded = true;
    shared->changed.notify_all();
}

std::vector<uint32_t> DisplayTypes(uint16_t port) {
    uint32_t types[32];
    int32_t count = 32;
    if (!Check("QUORIX_GetSupportedDisplayTypeList",
               QUORIX_GetSupportedDisplayTypeList(port, types, &count)) ||
        count <= 0) {
        return {};
    }
    return std::vector<uint32_t>(types, types + std::min<int32_t>(count, 32));
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

// ---- headless ----------------------------------------------------------------------------------

int RunHeadless(const Options& o, uint16_t port, Shared* shared) {
    mkdir(o.outDir.c_str(), 0755);
    const QUORIX_RECT rect{0, 0, o.width, o.height};
    Check("QUORIX_SetDisplayRegion", QUORIX_SetDisplayRegion(port, 0, &rect, 1));
    Check("QUORIX_SetDrawCallback", QUORIX_SetDrawCallback(port, 0, OnDraw, shared));
    const auto start = std::chrono::steady_clock::now();
    uint32_t r = QUORIX_Play(port, 0, nullptr, 0);
    if (!Check("QUORIX_Play", r))
        return 1;
    if (o.speed != 0)
        Check("QUORIX_SetPlaySpeed", QUORIX_SetPlaySpeed(port, o.speed));

    // Let the first pictures arrive, then show each display type and take its picture.
    const uint32_t total = QUORIX_GetFileTotleTimes(port);
    const uint32_t warmup = std::min<uint32_t>(1000, total / 4);
    for (int i = 0; i < 500 && QUORIX_GetCurrentVideoFrameStamp(port) == 0 && !o.live; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (int i = 0; i < 300 && !o.live && QUORIX_GetPlayedTime(port) < warmup; ++i) {
        std::unique_lock<std::mutex> lk(shared->lock);
        if (shared->fileEnded)
            break;
        shared->changed.wait_for(lk, std::chrono::milliseconds(10));
    }
    if (o.live)
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    int snapshots = 0;
    std::vector<uint32_t> types = DisplayTypes(port);
    if (types.empty())
        types.push_back(QUORIX_DISPLAY_PLANE);
    for (uint32_t t : types) {
        if (!Check("QUORIX_SetCurrentDisplayType", QUORIX_SetCurrentDisplayType(port, 0, t)) &&
            types.size() > 1) {
            continue;
        }
        // Give the renderer a couple of frames in the new type before reading it back.
        const uint32_t before = shared->drawn[0].load();
        for (int i = 0; i < 1000 && shared->drawn[0].load() < before + 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const std::string path =
            o.outDir + "/display-" + std::to_string(t) + "-" + DisplayName(t) + ".jpg";
        // The render thread serves a capture at its next frame; a busy one may miss the wait.
        uint32_t r = QUORIX_E_TIMEOUT;
        for (int attempt = 0; attempt < 20 && r == QUORIX_E_TIMEOUT; ++attempt)
            r = QUORIX_CaptureJpeg(port, 0, path.c_str());
        if (Check("QUORIX_CaptureJpeg", r) && Exists(path)) {
            std::printf("snapshot %s\n", path.c_str());
            ++snapshots;
        }
    }
    const std::string original = o.outDir + "/original.jpg";
    r = QUORIX_E_TIMEOUT;
    for (int attempt = 0; attempt < 20 && r == QUORIX_E_TIMEOUT; ++attempt) {
        r = QUORIX_CaptureOriginalJpeg(port, original.c_str());
    }
    if (Check("QUORIX_CaptureOriginalJpeg", r) && Exists(original)) {
        std::printf("snapshot %s\n", original.c_str());
        ++snapshots;
    }
    if (!types.empty())
        QUORIX_SetCurrentDisplayType(port, 0, types.front());

    // Play on to the end of the file (or the given time).
    const double limit = o.seconds > 0 ? o.seconds : (total / 1000.0) * 2 + 10;
    {
        std::unique_lock<std::mutex> lk(shared->lock);
        shared->changed.wait_until(
            lk, start + std::chrono::milliseconds(static_cast<int64_t>(limit * 1000)),
            [&] { return shared->fileEnded; });
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const uint32_t frames = shared->fileEnded && !o.live ? QUORIX_GetFileTotleFrames(port) : 0;
    const uint32_t drawn = shared->drawn[0].load();
    std::printf("summary: frames=%u drawn=%u seconds=%.2f fps=%.1f snapshots=%d types=%zu out=%s\n",
                frames, drawn, elapsed, elapsed > 0 ? frames / elapsed : 0.0, snapshots,
                types.size(), o.outDir.c_str());
    return 0;
}

// ---- window ------------------------------------------------------------------------------------

const char kHelp[] =
    "keys of the focused region (Tab or a click moves the focus):\n"
    "  d / D        next / previous display type      f  flip     r  ratio type\n"
    "  + / -        faster / slower                   0  normal speed\n"
    "  space        pause / resume                    .  ,  one frame forward / back\n"
    "  Right / Left seek 10 s forward / back          Home  to the start\n"
    "  s            snapshot of the region (JPEG)     S  full-resolution snapshot\n"
    "  R            start / stop recording            a  sound on / off\n"
    "  mouse drag   pan and tilt                      wheel  zoom\n"
    "  h            this help                         q, Esc  quit\n";

struct Window {
    Display* display = nullptr;
    ::Window window = 0;
    Atom deleteAtom = 0;
    int width = 0, height = 0;
};

int RunWindow(const Options& o, uint16_t port, Shared* shared) {
    Window w;
    w.display = XOpenDisplay(nullptr);
    if (w.display == nullptr) {
        std::fprintf(stderr, "quorix-play: cannot open the X display; use --headless --out DIR\n");
        return 1;
    }
    w.width = o.width;
    w.height = o.height;
    const int screen = DefaultScreen(w.display);
    w.window = XCreateSimpleWindow(w.display, RootWindow(w.display, screen), 0, 0,
                                   static_cast<unsigned>(w.width), static_cast<unsigned>(w.height),
                                   0, BlackPixel(w.display, screen), BlackPixel(w.display, screen));
    XSelectInput(w.display, w.window,
                 KeyPressMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                     StructureNotifyMask);
    w.deleteAtom = XInternAtom(w.display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(w.display, w.window, &w.deleteAtom, 1);
    XStoreName(w.display, w.window, "quorix-play");
    XMapWindow(w.display, w.window);
    XSync(w.display, False);

    auto applyLayout = [&]() {
        const auto rects = LayoutRects(o.layout, w.width, w.height);
        for (uint16_t i = 0; i < QUORIX_MAX_REGIONS; ++i) {
            if (i < rects.size()) {
                Check("QUORIX_SetDisplayRegion", QUORIX_SetDisplayRegion(port, i, &rects[i], 1));
            } else {
                QUORIX_SetDisplayRegion(port, i, nullptr, 0);
            }
        }
        return rects;
    };
    std::vector<QUORIX_RECT> rects = applyLayout();
    for (uint16_t i = 0; i < rects.size(); ++i)
        QUORIX_SetDrawCallback(port, i, OnDraw, shared);
    // The library opens its own connection to the display and draws from its threads.
    if (!Check("QUORIX_Play", QUORIX_Play(port, static_cast<QUORIX_HWND>(w.window), nullptr, 0)))
        return 1;
    std::vector<uint32_t> types = DisplayTypes(port);
    // The regions of a layout start with different views so the layout shows the choice.
    for (uint16_t i = 1; i < rects.size() && !types.empty(); ++i) {
        QUORIX_SetCurrentDisplayType(port, i, types[i % types.size()]);
    }

    uint16_t focus = 0;
    bool paused = false, recording = false, audio = false, dragging = false;
    int dragX = 0, dragY = 0;
    uint32_t flip = 0, ratio = 0;
    int snapCount = 0;
    std::string message;
    auto lastStatus = std::chrono::steady_clock::now();
    uint32_t lastDrawn = 0;
    double fps = 0;
    const int fd = ConnectionNumber(w.display);

    auto status = [&]() {
        uint32_t type = 0;
        QUORIX_GetCurrentDisplayType(port, focus, &type);
        int32_t speed = 0;
        QUORIX_GetPlaySpeed(port, &speed);
        const uint32_t ms =
            o.live ? QUORIX_GetCurrentVideoFrameStamp(port) : QUORIX_GetPlayedTime(port);
        char text[256];
        std::snprintf(text, sizeof text,
                      "quorix-play  %02u:%02u.%01u / %02u:%02u  speed %s%dx  region %u %s  %.0f "
                      "fps%s%s%s  [h: help]",
                      ms / 60000, ms / 1000 % 60, ms / 100 % 10,
                      QUORIX_GetFileTotleTimes(port) / 60000,
                      QUORIX_GetFileTotleTimes(port) / 1000 % 60, speed < 0 ? "1/" : "",
                      1 << (speed < 0 ? -speed : speed), focus, DisplayName(type), fps,
                      paused ? "  paused" : "", recording ? "  REC" : "",
                      message.empty() ? "" : ("  " + message).c_str());
        XStoreName(w.display, w.window, text);
        XFlush(w.display);
    };
    auto regionAt = [&](int x, int y) -> int {
        for (size_t i = 0; i < rects.size(); ++i) {
            if (x >= rects[i].left && x < rects[i].right && y >= rects[i].top &&
                y < rects[i].bottom)
                return int(i);
        }
        return -1;
    };

    bool running = true;
    while (running) {
        while (running && XPending(w.display) > 0) {
            XEvent ev;
            XNextEvent(w.display, &ev);
            switch (ev.type) {
                case ConfigureNotify:
                    if (ev.xconfigure.width != w.width || ev.xconfigure.height != w.height) {
                        w.width = ev.xconfigure.width;
                        w.height = ev.xconfigure.height;
                        rects = applyLayout();
                    }
                    break;
                case ClientMessage:
                    if (static_cast<Atom>(ev.xclient.data.l[0]) == w.deleteAtom)
                        running = false;
                    break;
                case ButtonPress: {
                    const int region = regionAt(ev.xbutton.x, ev.xbutton.y);
                    if (region >= 0)
                        focus = static_cast<uint16_t>(region);
                    if (ev.xbutton.button == Button1) {
                        dragging = true;
                        dragX = ev.xbutton.x;
                        dragY = ev.xbutton.y;
                    } else if (ev.xbutton.button == Button4 || ev.xbutton.button == Button5) {
                        float pan = 0, tilt = 0, zoom = 1;
                        QUORIX_GetPTZPosition(port, focus, &pan, &tilt, &zoom);
                        zoom *= ev.xbutton.button == Button4 ? 1.1f : 1 / 1.1f;
                        Check("QUORIX_SetPTZPosition",
                              QUORIX_SetPTZPosition(port, focus, pan, tilt, zoom));
                    }
                    break;
                }
                case ButtonRelease:
                    if (ev.xbutton.button == Button1)
                        dragging = false;
                    break;
                case MotionNotify:
                    if (dragging && focus < rects.size()) {
                        const float rw = float(std::max(1, rects[focus].right - rects[focus].left));
                        const float rh = float(std::max(1, rects[focus].bottom - rects[focus].top));
                        float pan = 0, tilt = 0, zoom = 1;
                        QUORIX_GetPTZPosition(port, focus, &pan, &tilt, &zoom);
                        pan -= (ev.xmotion.x - dragX) / rw / (zoom > 0 ? zoom : 1);
                        tilt += (ev.xmotion.y - dragY) / rh / (zoom > 0 ? zoom : 1);
                        dragX = ev.xmotion.x;
                        dragY = ev.xmotion.y;
                        Check("QUORIX_SetPTZPosition",
                              QUORIX_SetPTZPosition(port, focus, pan, tilt, zoom));
                    }
                    break;
                case KeyPress: {
                    const KeySym key = XLookupKeysym(&ev.xkey, (ev.xkey.state & ShiftMask) ? 1 : 0);
                    message.clear();
                    if (key == XK_q || key == XK_Escape) {
                        running = false;
                    } else if (key == XK_h) {
                        std::fputs(kHelp, stdout);
                        std::fflush(stdout);
                        message = "help printed on the terminal";
                    } else if (key == XK_Tab) {
                        focus =
                            static_cast<uint16_t>((focus + 1) % std::max<size_t>(1, rects.size()));
                    } else if (key == XK_d || key == XK_D) {
                        types = DisplayTypes(port);
                        uint32_t cur = 0;
                        QUORIX_GetCurrentDisplayType(port, focus, &cur);
                        if (!types.empty()) {
                            size_t at = 0;
                            while (at < types.size() && types[at] != cur)
                                ++at;
                            at = key == XK_d ? (at + 1) % types.size()
                                             : (at + types.size() - 1) % types.size();
                            Check("QUORIX_SetCurrentDisplayType",
                                  QUORIX_SetCurrentDisplayType(port, focus, types[at]));
                        }
                    } else if (key == XK_f) {
                        flip = (flip + 1) % 4;
                        Check("QUORIX_SetFlip", QUORIX_SetFlip(port, focus, flip));
                    } else if (key == XK_r) {
                        ratio = (ratio + 1) % 4;
                        Check("QUORIX_SetDisplayRatioType",
                              QUORIX_SetDisplayRatioType(port, focus, ratio));
                    } else if (key == XK_plus || key == XK_equal || key == XK_KP_Add) {
                        Check("QUORIX_Fast", QUORIX_Fast(port));
                    } else if (key == XK_minus || key == XK_KP_Subtract) {
                        Check("QUORIX_Slow", QUORIX_Slow(port));
                    } else if (key == XK_0) {
                        Check("QUORIX_SetPlaySpeed", QUORIX_SetPlaySpeed(port, 0));
                    } else if (key == XK_space) {
                        if (Check("QUORIX_Pause", QUORIX_Pause(port, paused ? 0 : 1)))
                            paused = !paused;
                    } else if (key == XK_period) {
                        if (Check("QUORIX_OneByOne", QUORIX_OneByOne(port)))
                            paused = true;
                    } else if (key == XK_comma) {
                        if (Check("QUORIX_OneByOneBack", QUORIX_OneByOneBack(port)))
                            paused = true;
                    } else if (key == XK_Right || key == XK_Left) {
                        const int64_t now = QUORIX_GetPlayedTime(port);
                        const int64_t to =
                            std::max<int64_t>(0, now + (key == XK_Right ? 10000 : -10000));
                        Check("QUORIX_SetPlayedTime",
                              QUORIX_SetPlayedTime(port, static_cast<uint32_t>(to)));
                    } else if (key == XK_Home) {
                        Check("QUORIX_SetPlayedTime", QUORIX_SetPlayedTime(port, 0));
                    } else if (key == XK_s || key == XK_S) {
                        const std::string path = "quorix-snap-" + std::to_string(getpid()) + "-" +
                                                 std::to_string(++snapCount) + ".jpg";
                        uint32_t r = QUORIX_E_TIMEOUT;
                        for (int attempt = 0; attempt < 20 && r == QUORIX_E_TIMEOUT; ++attempt) {
                            r = key == XK_s ? QUORIX_CaptureJpeg(port, focus, path.c_str())
                                            : QUORIX_CaptureOriginalJpeg(port, path.c_str());
                        }
                        message = Check("QUORIX_Capture", r) ? "saved " + path : "snapshot failed";
                    } else if (key == XK_R) {
                        if (!recording) {
                            const std::string path =
                                "quorix-rec-" + std::to_string(getpid()) + ".zbm";
                            recording = Check("QUORIX_StartLocalRecord",
                                              QUORIX_StartLocalRecord(port, path.c_str()));
                            message = recording ? "recording into " + path : "recording failed";
                        } else {
                            Check("QUORIX_StopLocalRecord", QUORIX_StopLocalRecord(port));
                            recording = false;
                            message = "recording stopped";
                        }
                    } else if (key == XK_a) {
                        const uint32_t r = audio ? QUORIX_StopAudio() : QUORIX_PlayAudio(port);
                        if (Check(audio ? "QUORIX_StopAudio" : "QUORIX_PlayAudio", r))
                            audio = !audio;
                        message = audio ? "sound on" : "sound off";
                    }
                    status();
                    break;
                }
                default:
                    break;
            }
        }
        {
            std::lock_guard<std::mutex> guard(shared->lock);
            if (shared->fileEnded && o.live)
                running = false;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - lastStatus >= std::chrono::milliseconds(500)) {
            const uint32_t drawn = shared->drawn[focus < QUORIX_MAX_REGIONS ? focus : 0].load();
            fps = (drawn - lastDrawn) / std::chrono::duration<double>(now - lastStatus).count();
            lastDrawn = drawn;
            lastStatus = now;
            status();
        }
        // Sleep until an X event arrives or the status line is due.
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(fd, &fds);
        timeval tv{0, 100000};
        select(fd + 1, &fds, nullptr, nullptr, &tv);
    }
    if (recording)
        QUORIX_StopLocalRecord(port);
    QUORIX_Stop(port);
    XDestroyWindow(w.display, w.window);
    XCloseDisplay(w.display);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseArgs(argc, argv, &o))
        return 2;
    if (o.software)
        QUORIX_SetRenderMode(1);
    if (const char* level = std::getenv("QUORIX_LOG_LEVEL"))
        QUORIX_SetLogAttribute(1, std::atoi(level), nullptr, nullptr);
    QUORIX_InitSDK();
    uint16_t port = 0;
    if (!Check("QUORIX_GetPort", QUORIX_GetPort(&port)))
        return 1;
    Shared shared;
    Check("QUORIX_SetFileEndCallback", QUORIX_SetFileEndCallback(port, OnFileEnd, &shared));

    std::thread feeder;
    LiveSource live;
    if (o.live) {
        if (!ReadLiveHeader(STDIN_FILENO, &live)) {
            std::fprintf(stderr, "quorix-play: the live input ended before its first record\n");
            return 1;
        }
        if (live.params.empty() && !o.paramsFile.empty()) {
            std::ifstream in(o.paramsFile, std::ios::binary);
            live.params.assign(std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>());
        }
        if (live.pending.size() == 4)
            live.model = o.model;  // bare records: the model comes from --model
        const uint32_t r = QUORIX_OpenStream(
            port, live.model, live.info.data(), static_cast<uint32_t>(live.info.size()),
            live.params.data(), static_cast<uint32_t>(live.params.size()));
        if (!Check("QUORIX_OpenStream", r))
            return 1;
        QUORIX_SetStreamOpenMode(port, 1);  // paced by the frames' time stamps
        feeder = std::thread(FeedLive, port, STDIN_FILENO, &live, &shared);
    } else {
        const uint32_t r = QUORIX_OpenFile(port, o.file.c_str());
        if (!Check("QUORIX_OpenFile", r))
            return 1;
    }

    const int rc = o.headless ? RunHeadless(o, port, &shared) : RunWindow(o, port, &shared);
    shared.stop.store(true);
    if (feeder.joinable())
        feeder.join();
    QUORIX_Stop(port);
    if (o.live) {
        QUORIX_CloseStream(port);
    } else {
        QUORIX_CloseFile(port);
    }
    QUORIX_FreePort(port);
    QUORIX_ReleaseSDK();
    return rc;
}
