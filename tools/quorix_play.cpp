// quorix-play: plays recordings (or a live record stream on standard input) through the public
// API of libquorixsdk, in an X11 window or headless.
//
//   quorix-play [--layout 1|2x2|1+3|1+5] [--software] FILE
//   quorix-play --headless --out DIR [--software] FILE
//   producer | quorix-play --live [--model N] [--params FILE]
//   quorix-play [--transport tcp|udp|auto] [--model N] [--params FILE] URL|MEDIA-FILE

#include <GL/gl.h>
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
#include <quorixsdk_camera.h>

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
    std::string url;  // a camera or a media file that the library pulls itself
    uint32_t transport = QUORIX_TRANSPORT_AUTO;
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

// What an operator can do about a refused camera.
const char* CameraAdvice(uint32_t r) {
    switch (r) {
        case QUORIX_E_NOT_IMPL:
            return "this build of the library cannot pull cameras or media files";
        case QUORIX_E_PARAM:
            return "the URL or one of the options is not valid";
        case QUORIX_E_PORT_BUSY:
            return "the port is busy";
        default:
            return "the camera cannot be opened";
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
            return "perspective";  // the sphere seen from its centre
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
                "       quorix-play [--transport tcp|udp|auto] [--model N] [--params FILE] URL\n"
                "URL: rtsp://, http://, or a media file that is not a recording of ours.\n"
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
        } else if (a == "--transport") {
            const std::string t = next();
            if (t == "tcp") {
                o->transport = QUORIX_TRANSPORT_TCP;
            } else if (t == "udp") {
                o->transport = QUORIX_TRANSPORT_UDP;
            } else if (t == "auto") {
                o->transport = QUORIX_TRANSPORT_AUTO;
            } else {
                std::fprintf(stderr, "quorix-play: --transport takes tcp, udp or auto\n");
                return false;
            }
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
    // A URL, or a file that is not a recording of ours, is pulled by the library.
    if (!o->live && !o->file.empty()) {
        bool ours = false;
        if (std::FILE* f = std::fopen(o->file.c_str(), "rb")) {
            char magic[4] = {};
            ours = std::fread(magic, 1, 4, f) == 4 && std::memcmp(magic, "ZEBM", 4) == 0;
            std::fclose(f);
        } else if (o->file.find("://") == std::string::npos) {
            ours = true;  // missing: QUORIX_OpenFile says so
        }
        if (!ours)
            o->url = o->file;
    }
    return true;
}

const char* CameraStateName(uint32_t state) {
    switch (state) {
        case QUORIX_CAMERA_CLOSED:
            return "closed";
        case QUORIX_CAMERA_CONNECTING:
            return "connecting";
        case QUORIX_CAMERA_PLAYING:
            return "playing";
        case QUORIX_CAMERA_LOST:
            return "lost";
        case QUORIX_CAMERA_RECONNECTING:
            return "reconnecting";
        case QUORIX_CAMERA_ENDED:
            return "ended";
        case QUORIX_CAMERA_FAILED:
            return "failed";
        default:
            return "unknown";
    }
}

// ---- the frame and the label drawn over each view ----------------------------------------------

// A line of text as a mask, made with the X server's font on the main thread.
struct Label {
    std::string text;
    int width = 0, height = 0;
    std::vector<uint8_t> mask;  // width × height, top row first, 1 where the text is
    std::vector<uint8_t> bits;  // the same for glBitmap: bottom row first, 8 pixels a byte
};

struct Overlay {
    std::atomic<bool> on{false};
    std::atomic<int> focus{0};
    std::mutex lock;
    Label labels[QUORIX_MAX_REGIONS];  // guarded by lock
};

struct Fill {
    int x, y, w, h;  // from the region's top-left corner
    uint32_t rgb;
};

constexpr uint32_t kFocusColour = 0xFFD000;
constexpr uint32_t kFrameColour = 0x606060;
constexpr uint32_t kLabelBack = 0x000000;
constexpr uint32_t kLabelText = 0xFFFFFF;

// What is drawn over a width × height view: its frame (thick and yellow on the focused one) and
// the label's box in the top-left corner. *textX, *textY: where the label's text goes.
int OverlayFills(int width, int height, bool focused, const Label& label, Fill* fills, int* textX,
                 int* textY) {
    const int t = std::min(focused ? 3 : 1, std::max(1, std::min(width, height) / 2));
    const uint32_t c = focused ? kFocusColour : kFrameColour;
    int n = 0;
    fills[n++] = {0, 0, width, t, c};
    fills[n++] = {0, height - t, width, t, c};
    fills[n++] = {0, 0, t, height, c};
    fills[n++] = {width - t, 0, t, height, c};
    *textX = -1;
    if (label.width > 0 && label.width + 8 + t <= width && label.height + 8 + t <= height) {
        fills[n++] = {t + 2, t + 2, label.width + 4, label.height + 4, kLabelBack};
        *textX = t + 4;
        *textY = t + 4;
    }
    return n;
}

void PaintSurface(const QUORIX_SURFACE& sf, const QUORIX_RECT& region, bool focused,
                  const Label& label) {
    size_t bytes;
    bool bgr;
    switch (sf.format) {
        case QUORIX_PIXEL_RGB32:
        case QUORIX_PIXEL_BGR32:
            bytes = 4;
            break;
        case QUORIX_PIXEL_RGB24:
        case QUORIX_PIXEL_BGR24:
            bytes = 3;
            break;
        default:
            return;  // a format this player does not draw into
    }
    bgr = sf.format == QUORIX_PIXEL_BGR32 || sf.format == QUORIX_PIXEL_BGR24;
    auto put = [&](int x, int y, uint32_t rgb) {
        x += region.left;
        y += region.top;
        if (x < 0 || y < 0 || x >= int(sf.width) || y >= int(sf.height) || x >= region.right ||
            y >= region.bottom)
            return;
        uint8_t* p = sf.pixels + size_t(y) * sf.stride + size_t(x) * bytes;
        const uint8_t r = uint8_t(rgb >> 16), g = uint8_t(rgb >> 8), b = uint8_t(rgb);
        p[0] = bgr ? b : r;
        p[1] = g;
        p[2] = bgr ? r : b;
    };
    Fill fills[5];
    int textX = 0, textY = 0;
    const int n = OverlayFills(region.right - region.left, region.bottom - region.top, focused,
                               label, fills, &textX, &textY);
    for (int i = 0; i < n; ++i) {
        for (int y = fills[i].y; y < fills[i].y + fills[i].h; ++y) {
            for (int x = fills[i].x; x < fills[i].x + fills[i].w; ++x)
                put(x, y, fills[i].rgb);
        }
    }
    if (textX < 0)
        return;
    for (int y = 0; y < label.height; ++y) {
        for (int x = 0; x < label.width; ++x) {
            if (label.mask[size_t(y) * label.width + x] != 0)
                put(textX + x, textY + y, kLabelText);
        }
    }
}

// With the OpenGL renderer: the region's rectangle counts rows from the bottom. Solid boxes
// are scissored clears and the text a bitmap, both independent of the renderer's shaders.
void PaintGl(const QUORIX_RECT& region, bool focused, const Label& label) {
    const int width = region.right - region.left, height = region.bottom - region.top;
    if (width <= 0 || height <= 0)
        return;
    Fill fills[5];
    int textX = 0, textY = 0;
    const int n = OverlayFills(width, height, focused, label, fills, &textX, &textY);
    glPushAttrib(GL_ENABLE_BIT | GL_SCISSOR_BIT | GL_COLOR_BUFFER_BIT | GL_CURRENT_BIT |
                 GL_VIEWPORT_BIT | GL_TRANSFORM_BIT);
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
    glDisable(GL_STENCIL_TEST);
    glDisable(GL_TEXTURE_2D);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glEnable(GL_SCISSOR_TEST);
    for (int i = 0; i < n; ++i) {
        const Fill& f = fills[i];
        glScissor(region.left + f.x, region.top + height - f.y - f.h, f.w, f.h);
        glClearColor(((f.rgb >> 16) & 255) / 255.0f, ((f.rgb >> 8) & 255) / 255.0f,
                     (f.rgb & 255) / 255.0f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
    }
    glDisable(GL_SCISSOR_TEST);
    if (textX >= 0) {
        // The raster position at the region's lower-left corner, then moved by glBitmap itself.
        glViewport(region.left, region.top, width, height);
        glMatrixMode(GL_PROJECTION);
        glPushMatrix();
        glLoadIdentity();
        glMatrixMode(GL_MODELVIEW);
        glPushMatrix();
        glLoadIdentity();
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
        glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
        glPixelStorei(GL_UNPACK_LSB_FIRST, GL_FALSE);
        glColor3f(1, 1, 1);
        glRasterPos2f(-1, -1);
        glBitmap(0, 0, 0, 0, float(textX), float(height - textY - label.height), nullptr);
        glBitmap(label.width, label.height, 0, 0, 0, 0, label.bits.data());
        glPopMatrix();
        glMatrixMode(GL_PROJECTION);
        glPopMatrix();
    }
    glPopClientAttrib();
    glPopAttrib();
    // The renderer checks for errors after its own calls: none of ours is left for it to find.
    for (int i = 0; i < 16 && glGetError() != GL_NO_ERROR; ++i) {
    }
}

// State shared with the library's callback threads.
struct Shared {
    std::mutex lock;
    std::condition_variable changed;
    bool fileEnded = false;  // guarded by lock
    std::atomic<uint32_t> drawn[QUORIX_MAX_REGIONS] = {};
    std::atomic<int> drawMode{-1};  // of the last picture drawn: 0 software display, 1 OpenGL
    std::atomic<uint32_t> cameraState{QUORIX_CAMERA_CLOSED};
    std::atomic<bool> stop{false};
    Overlay overlay;
};

void OnCameraState(uint16_t, uint32_t state, uint32_t code, void* user) {
    auto* s = static_cast<Shared*>(user);
    {
        std::lock_guard<std::mutex> guard(s->lock);
        s->cameraState.store(state);
        s->changed.notify_all();
    }
    if (state == QUORIX_CAMERA_LOST || state == QUORIX_CAMERA_FAILED) {
        std::fprintf(stderr, "quorix-play: camera %s: %s (%#x)\n", CameraStateName(state),
                     ResultName(code), code);
    } else {
        std::printf("camera %s\n", CameraStateName(state));
        std::fflush(stdout);
    }
    if (state == QUORIX_CAMERA_ENDED || state == QUORIX_CAMERA_FAILED) {
        std::lock_guard<std::mutex> guard(s->lock);
        s->fileEnded = true;
        s->changed.notify_all();
    }
}

void OnFileEnd(uint16_t, void* user) {
    auto* s = static_cast<Shared*>(user);
    std::lock_guard<std::mutex> guard(s->lock);
    s->fileEnded = true;
    s->changed.notify_all();
}

void OnDraw(uint16_t, uint16_t region, int32_t drawMode, QUORIX_HDC dc, const QUORIX_RECT*,
            const QUORIX_RECT* regionRect, void* user) {
    auto* s = static_cast<Shared*>(user);
    if (region >= QUORIX_MAX_REGIONS)
        return;
    s->drawn[region].fetch_add(1, std::memory_order_relaxed);
    s->drawMode.store(drawMode);
    if (!s->overlay.on.load() || regionRect == nullptr)
        return;
    const bool focused = s->overlay.focus.load() == region;
    std::lock_guard<std::mutex> guard(s->overlay.lock);
    const Label& label = s->overlay.labels[region];
    if (drawMode == 0 && dc != nullptr)
        PaintSurface(*static_cast<const QUORIX_SURFACE*>(dc), *regionRect, focused, label);
    else if (drawMode == 1 && dc == nullptr)
        PaintGl(*regionRect, focused, label);
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
    const bool stream = o.live || !o.url.empty();  // no length, no seeking
    const auto start = std::chrono::steady_clock::now();
    uint32_t r = QUORIX_Play(port, 0, nullptr, 0);
    if (!Check("QUORIX_Play", r))
        return 1;
    if (o.speed != 0)
        Check("QUORIX_SetPlaySpeed", QUORIX_SetPlaySpeed(port, o.speed));
    if (!o.url.empty()) {
        // Pictures come once the camera plays; one that does not within a while (refused,
        // unreachable, retrying) has nothing to capture.
        std::unique_lock<std::mutex> lk(shared->lock);
        shared->changed.wait_for(lk, std::chrono::seconds(10), [&] {
            const uint32_t state = shared->cameraState.load();
            return state == QUORIX_CAMERA_PLAYING || state == QUORIX_CAMERA_ENDED ||
                   state == QUORIX_CAMERA_FAILED;
        });
        const uint32_t state = shared->cameraState.load();
        if (state != QUORIX_CAMERA_PLAYING && state != QUORIX_CAMERA_ENDED) {
            std::fprintf(stderr, "quorix-play: %s is not playing (camera %s)\n", o.url.c_str(),
                         CameraStateName(state));
            return 1;
        }
    }

    // Let the first pictures arrive, then show each display type and take its picture.
    const uint32_t total = QUORIX_GetFileTotleTimes(port);
    const uint32_t warmup = std::min<uint32_t>(1000, total / 4);
    for (int i = 0; i < 500 && QUORIX_GetCurrentVideoFrameStamp(port) == 0 && !stream; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (int i = 0; i < 300 && !stream && QUORIX_GetPlayedTime(port) < warmup; ++i) {
        std::unique_lock<std::mutex> lk(shared->lock);
        if (shared->fileEnded)
            break;
        shared->changed.wait_for(lk, std::chrono::milliseconds(10));
    }
    if (stream)
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    int snapshots = 0;
    // The software display without a window draws nothing (a capture de-warps on its own):
    // waiting for its pictures would only add time.
    const bool draws = shared->drawn[0].load() > 0;
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
        for (int i = 0; i < 1000 && draws && shared->drawn[0].load() < before + 2; ++i) {
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
    const uint32_t frames = shared->fileEnded && !stream ? QUORIX_GetFileTotleFrames(port) : 0;
    // The rate of pictures drawn: a renderer that falls behind drops frames of the file.
    const uint32_t drawn = shared->drawn[0].load();
    std::printf("summary: frames=%u drawn=%u seconds=%.2f fps=%.1f snapshots=%d types=%zu out=%s\n",
                frames, drawn, elapsed, elapsed > 0 ? drawn / elapsed : 0.0, snapshots,
                types.size(), o.outDir.c_str());
    return 0;
}

// ---- window ------------------------------------------------------------------------------------

const char kHelp[] =
    "keys of the focused view (Tab or a click moves the focus):\n"
    "  d / D        next / previous display type      f  flip     r  ratio type\n"
    "  j / l        pan left / right                  i / k  tilt up / down\n"
    "  z / x        zoom in / out                     mouse drag  pan and tilt, wheel  zoom\n"
    "  + / -        faster / slower                   0  normal speed\n"
    "  space        pause / resume                    .  ,  one frame forward / back\n"
    "  Right / Left seek 10 s forward / back          Home  to the start; click the bar to seek\n"
    "  s            snapshot of the view (JPEG)       S  full-resolution snapshot\n"
    "  R            start / stop recording            a  sound on / off\n"
    "  h            this help on / off                q, Esc  quit\n";

std::vector<std::string> Lines(const char* text) {
    std::vector<std::string> lines;
    std::string line;
    for (const char* p = text; *p != 0; ++p) {
        if (*p == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += *p;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// The rectangle a renderer takes for a view given from the top of the video window: the OpenGL
// renderer counts rows from the bottom of the window, the software display from the top.
QUORIX_RECT RendererRect(const QUORIX_RECT& r, int drawMode, int videoHeight) {
    if (drawMode != 1)
        return r;
    return {r.left, videoHeight - r.bottom, r.right, videoHeight - r.top};
}

struct Window {
    Display* display = nullptr;
    ::Window window = 0;  // the player's: the video window and the strip below it
    ::Window video = 0;   // the library draws here
    Atom deleteAtom = 0;
    GC gc = nullptr;
    XFontStruct* font = nullptr;
    int width = 0, height = 0;
    int lineHeight = 13;
    bool help = false;

    int StripHeight() const {
        const int lines = 2 + (help ? static_cast<int>(Lines(kHelp).size()) : 0);
        return lines * lineHeight + 18;  // the text lines, the seek bar and the margins
    }
    int VideoHeight() const { return std::max(1, height - StripHeight()); }
    // The seek bar, in the player's window.
    QUORIX_RECT SeekBar() const {
        const int top = VideoHeight() + lineHeight + 6;
        return {6, top, std::max(7, width - 6), top + 8};
    }
};

// Renders a line of text with the server's font into a mask for the draw callbacks.
Label MakeLabel(const Window& w, const std::string& text) {
    Label label;
    label.text = text;
    if (w.font == nullptr || text.empty())
        return label;
    const int width = XTextWidth(w.font, text.c_str(), static_cast<int>(text.size()));
    const int height = w.font->ascent + w.font->descent;
    if (width <= 0 || height <= 0)
        return label;
    const int screen = DefaultScreen(w.display);
    const Pixmap pixmap = XCreatePixmap(w.display, w.window, static_cast<unsigned>(width),
                                        static_cast<unsigned>(height),
                                        static_cast<unsigned>(DefaultDepth(w.display, screen)));
    XSetForeground(w.display, w.gc, BlackPixel(w.display, screen));
    XFillRectangle(w.display, pixmap, w.gc, 0, 0, static_cast<unsigned>(width),
                   static_cast<unsigned>(height));
    XSetForeground(w.display, w.gc, WhitePixel(w.display, screen));
    XDrawString(w.display, pixmap, w.gc, 0, w.font->ascent, text.c_str(),
                static_cast<int>(text.size()));
    XImage* image = XGetImage(w.display, pixmap, 0, 0, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (image != nullptr) {
        const unsigned long black = BlackPixel(w.display, screen);
        label.width = width;
        label.height = height;
        label.mask.assign(static_cast<size_t>(width) * height, 0);
        const int rowBytes = (width + 7) / 8;
        label.bits.assign(static_cast<size_t>(rowBytes) * height, 0);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                if (XGetPixel(image, x, y) == black)
                    continue;
                label.mask[static_cast<size_t>(y) * width + x] = 1;
                label.bits[static_cast<size_t>(height - 1 - y) * rowBytes + x / 8] |=
                    static_cast<uint8_t>(0x80 >> (x % 8));
            }
        }
        XDestroyImage(image);
    }
    XFreePixmap(w.display, pixmap);
    return label;
}

std::string FormatTime(uint32_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%02u:%02u.%u", ms / 60000, ms / 1000 % 60, ms / 100 % 10);
    return text;
}

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
    w.font = XLoadQueryFont(w.display, "fixed");
    if (w.font != nullptr)
        w.lineHeight = w.font->ascent + w.font->descent + 2;
    w.height += w.StripHeight();  // --size is the video's size
    w.window = XCreateSimpleWindow(w.display, RootWindow(w.display, screen), 0, 0,
                                   static_cast<unsigned>(w.width), static_cast<unsigned>(w.height),
                                   0, BlackPixel(w.display, screen), BlackPixel(w.display, screen));
    // The library draws into a window of its own so that nothing it draws covers the strip.
    w.video = XCreateSimpleWindow(w.display, w.window, 0, 0, static_cast<unsigned>(w.width),
                                  static_cast<unsigned>(w.VideoHeight()), 0,
                                  BlackPixel(w.display, screen), BlackPixel(w.display, screen));
    XSelectInput(w.display, w.window,
                 KeyPressMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                     StructureNotifyMask | ExposureMask);
    w.gc = XCreateGC(w.display, w.window, 0, nullptr);
    if (w.font != nullptr)
        XSetFont(w.display, w.gc, w.font->fid);
    w.deleteAtom = XInternAtom(w.display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(w.display, w.window, &w.deleteAtom, 1);
    XStoreName(w.display, w.window, "quorix-play");
    XMapWindow(w.display, w.video);
    XMapWindow(w.display, w.window);
    XSync(w.display, False);

    // Until the first picture tells which renderer draws, region 0 takes the whole video window
    // (the same rectangle in both renderers' coordinates) and the others wait.
    int layoutMode = -1;
    std::vector<QUORIX_RECT> rects = LayoutRects(o.layout, w.width, w.VideoHeight());
    auto applyLayout = [&]() {
        rects = LayoutRects(o.layout, w.width, w.VideoHeight());
        for (uint16_t i = 0; i < QUORIX_MAX_REGIONS; ++i) {
            if (layoutMode < 0 && i == 0) {
                const QUORIX_RECT all{0, 0, w.width, w.VideoHeight()};
                Check("QUORIX_SetDisplayRegion", QUORIX_SetDisplayRegion(port, i, &all, 1));
            } else if (layoutMode >= 0 && i < rects.size()) {
                const QUORIX_RECT r = RendererRect(rects[i], layoutMode, w.VideoHeight());
                Check("QUORIX_SetDisplayRegion", QUORIX_SetDisplayRegion(port, i, &r, 1));
            } else {
                QUORIX_SetDisplayRegion(port, i, nullptr, 0);
            }
        }
    };
    applyLayout();
    for (uint16_t i = 0; i < rects.size(); ++i)
        QUORIX_SetDrawCallback(port, i, OnDraw, shared);
    shared->overlay.on.store(true);
    // The library opens its own connection to the display and draws from its threads.
    if (!Check("QUORIX_Play", QUORIX_Play(port, static_cast<QUORIX_HWND>(w.video), nullptr, 0)))
        return 1;
    std::vector<uint32_t> types;
    auto has = [&](uint32_t t) { return std::find(types.begin(), types.end(), t) != types.end(); };
    // The views of a layout start with different display types so the layout shows the choice.
    auto chooseViews = [&]() {
        types = DisplayTypes(port);
        if (types.empty())
            return;
        if (o.layout == "1+3" && has(QUORIX_DISPLAY_PLANE360)) {
            // A fisheye: the panorama above, three perspective views 120° apart below (a
            // library without them gives its first view type instead).
            Check("QUORIX_SetCurrentDisplayType",
                  QUORIX_SetCurrentDisplayType(port, 0, QUORIX_DISPLAY_PLANE360));
            const uint32_t ptzType = has(QUORIX_DISPLAY_VR) ? QUORIX_DISPLAY_VR : types.front();
            for (uint16_t i = 1; i < 4; ++i) {
                Check("QUORIX_SetCurrentDisplayType",
                      QUORIX_SetCurrentDisplayType(port, i, ptzType));
                float pan = 0, tilt = 0, zoom = 1;
                QUORIX_GetPTZPosition(port, i, &pan, &tilt, &zoom);
                Check("QUORIX_SetPTZPosition",
                      QUORIX_SetPTZPosition(port, i, -2.0f / 3 + (i - 1) * 2.0f / 3, tilt, zoom));
            }
            return;
        }
        for (uint16_t i = 1; i < rects.size(); ++i)
            QUORIX_SetCurrentDisplayType(port, i, types[i % types.size()]);
    };

    uint16_t focus = 0;
    bool paused = false, recording = false, audio = false, dragging = false;
    int dragX = 0, dragY = 0;
    uint32_t flip = 0, ratio = 0;
    int snapCount = 0;
    std::string message;
    const auto started = std::chrono::steady_clock::now();
    auto lastStatus = started;
    uint32_t lastDrawn = 0;
    uint16_t fpsFocus = 0;
    double fps = 0;
    const int fd = ConnectionNumber(w.display);
    const bool seekable = !o.live && o.url.empty();

    auto ptzText = [&](uint16_t region) {
        float pan = 0, tilt = 0, zoom = 1;
        if (QUORIX_GetPTZPosition(port, region, &pan, &tilt, &zoom) != QUORIX_OK)
            return std::string();
        char text[96];
        std::snprintf(text, sizeof text, "ptz %.2f %.2f %.2f", pan, tilt, zoom);
        return std::string(text);
    };
    auto typeOf = [&](uint16_t region) {
        uint32_t type = 0;
        QUORIX_GetCurrentDisplayType(port, region, &type);
        return type;
    };
    auto updateLabels = [&]() {
        for (uint16_t i = 0; i < rects.size() && i < QUORIX_MAX_REGIONS; ++i) {
            const std::string text =
                std::to_string(i) + " " + DisplayName(typeOf(i)) + "  " + ptzText(i);
            bool same;
            {
                std::lock_guard<std::mutex> guard(shared->overlay.lock);
                same = shared->overlay.labels[i].text == text;
            }
            if (same)
                continue;
            Label label = MakeLabel(w, text);
            std::lock_guard<std::mutex> guard(shared->overlay.lock);
            shared->overlay.labels[i] = std::move(label);
        }
    };
    auto drawStrip = [&](const std::string& statusText) {
        const int top = w.VideoHeight();
        const int height = w.height - top;
        if (height <= 0 || w.width <= 0)
            return;
        const Pixmap pixmap = XCreatePixmap(w.display, w.window, static_cast<unsigned>(w.width),
                                            static_cast<unsigned>(height),
                                            static_cast<unsigned>(DefaultDepth(w.display, screen)));
        XSetForeground(w.display, w.gc, 0x202020);
        XFillRectangle(w.display, pixmap, w.gc, 0, 0, static_cast<unsigned>(w.width),
                       static_cast<unsigned>(height));
        const int ascent = w.font != nullptr ? w.font->ascent : 10;
        auto text = [&](int y, const std::string& s, unsigned long colour) {
            XSetForeground(w.display, w.gc, colour);
            XDrawString(w.display, pixmap, w.gc, 6, y + ascent, s.c_str(),
                        static_cast<int>(s.size()));
        };
        text(3, statusText, 0xFFFFFF);
        QUORIX_RECT bar = w.SeekBar();
        bar.top -= top;
        bar.bottom -= top;
        XSetForeground(w.display, w.gc, 0x505050);
        XFillRectangle(w.display, pixmap, w.gc, bar.left, bar.top,
                       static_cast<unsigned>(bar.right - bar.left),
                       static_cast<unsigned>(bar.bottom - bar.top));
        const uint32_t total = QUORIX_GetFileTotleTimes(port);
        if (seekable && total > 0) {
            const double at = std::min(1.0, QUORIX_GetPlayedTime(port) / double(total));
            XSetForeground(w.display, w.gc, 0xE0B000);
            XFillRectangle(w.display, pixmap, w.gc, bar.left, bar.top,
                           static_cast<unsigned>((bar.right - bar.left) * at + 0.5),
                           static_cast<unsigned>(bar.bottom - bar.top));
        }
        int y = bar.bottom + 3;
        text(y,
             message.empty() ? "h: help  Tab/click: focus  d: display  space: pause  q: quit"
                             : message,
             0xC0C0C0);
        if (w.help) {
            for (const auto& line : Lines(kHelp)) {
                y += w.lineHeight;
                text(y, line, 0xC0C0C0);
            }
        }
        XCopyArea(w.display, pixmap, w.window, w.gc, 0, 0, static_cast<unsigned>(w.width),
                  static_cast<unsigned>(height), 0, top);
        XFreePixmap(w.display, pixmap);
    };
    std::string lastPrinted;
    auto status = [&]() {
        shared->overlay.focus.store(focus);
        updateLabels();
        int32_t speed = 0;
        QUORIX_GetPlaySpeed(port, &speed);
        const uint32_t ms =
            seekable ? QUORIX_GetPlayedTime(port) : QUORIX_GetCurrentVideoFrameStamp(port);
        char view[256];
        std::snprintf(view, sizeof view, "speed %s%dx  region %u %s %s", speed < 0 ? "1/" : "",
                      1 << (speed < 0 ? -speed : speed), focus, DisplayName(typeOf(focus)),
                      ptzText(focus).c_str());
        std::string state;
        if (!o.url.empty()) {
            uint32_t camera = 0, code = 0;
            QUORIX_CameraGetState(port, &camera, &code);
            state = std::string("  camera ") + CameraStateName(camera);
            if (code != QUORIX_OK)
                state += std::string(" (") + ResultName(code) + ")";
        }
        state += std::string(paused ? "  paused" : "") + (recording ? "  REC" : "");
        char rate[32];
        std::snprintf(rate, sizeof rate, "  %.0f fps", fps);
        // A stream has no length: its time is the last picture's stamp.
        const std::string line =
            FormatTime(ms) +
            (seekable ? " / " + FormatTime(QUORIX_GetFileTotleTimes(port)) : std::string(" live")) +
            "  " + view + rate + state;
        XStoreName(w.display, w.window, ("quorix-play  " + line + "  [h: help]").c_str());
        drawStrip(line);
        XFlush(w.display);
        // The terminal gets the line when the view or the state changed, not for the clock.
        const std::string printed = view + state;
        if (printed != lastPrinted) {
            lastPrinted = printed;
            std::printf("status: %s\n", printed.c_str());
            std::fflush(stdout);
        }
    };
    auto regionAt = [&](int x, int y) -> int {
        for (size_t i = 0; i < rects.size(); ++i) {
            if (x >= rects[i].left && x < rects[i].right && y >= rects[i].top &&
                y < rects[i].bottom)
                return int(i);
        }
        return -1;
    };
    auto movePtz = [&](float dPan, float dTilt, float zoomBy) {
        float pan = 0, tilt = 0, zoom = 1;
        QUORIX_GetPTZPosition(port, focus, &pan, &tilt, &zoom);
        const float z = zoom > 0 ? zoom : 1;
        Check("QUORIX_SetPTZPosition",
              QUORIX_SetPTZPosition(port, focus, pan + dPan / z, tilt + dTilt / z, zoom * zoomBy));
    };

    bool running = true;
    while (running) {
        while (running && XPending(w.display) > 0) {
            XEvent ev;
            XNextEvent(w.display, &ev);
            switch (ev.type) {
                case Expose:
                    if (ev.xexpose.count == 0)
                        status();
                    break;
                case ConfigureNotify:
                    if (ev.xconfigure.window == w.window &&
                        (ev.xconfigure.width != w.width || ev.xconfigure.height != w.height)) {
                        w.width = ev.xconfigure.width;
                        w.height = ev.xconfigure.height;
                        XResizeWindow(w.display, w.video, static_cast<unsigned>(w.width),
                                      static_cast<unsigned>(w.VideoHeight()));
                        applyLayout();
                        status();
                    }
                    break;
                case ClientMessage:
                    if (static_cast<Atom>(ev.xclient.data.l[0]) == w.deleteAtom)
                        running = false;
                    break;
                case ButtonPress: {
                    const QUORIX_RECT bar = w.SeekBar();
                    if (ev.xbutton.button == Button1 && seekable && ev.xbutton.y >= bar.top - 4 &&
                        ev.xbutton.y < bar.bottom + 4 && ev.xbutton.x >= bar.left &&
                        ev.xbutton.x < bar.right) {
                        const double at =
                            double(ev.xbutton.x - bar.left) / std::max(1, bar.right - bar.left);
                        Check("QUORIX_SetPlayedTime",
                              QUORIX_SetPlayedTime(port, static_cast<uint32_t>(
                                                             at * QUORIX_GetFileTotleTimes(port))));
                        status();
                        break;
                    }
                    const int region = regionAt(ev.xbutton.x, ev.xbutton.y);
                    if (region < 0)
                        break;
                    focus = static_cast<uint16_t>(region);
                    if (ev.xbutton.button == Button1) {
                        dragging = true;
                        dragX = ev.xbutton.x;
                        dragY = ev.xbutton.y;
                    } else if (ev.xbutton.button == Button4 || ev.xbutton.button == Button5) {
                        movePtz(0, 0, ev.xbutton.button == Button4 ? 1.1f : 1 / 1.1f);
                    }
                    status();
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
                        movePtz(-(ev.xmotion.x - dragX) / rw, (ev.xmotion.y - dragY) / rh, 1);
                        dragX = ev.xmotion.x;
                        dragY = ev.xmotion.y;
                    }
                    break;
                case KeyPress: {
                    const KeySym key = XLookupKeysym(&ev.xkey, (ev.xkey.state & ShiftMask) ? 1 : 0);
                    message.clear();
                    if (key == XK_q || key == XK_Escape) {
                        running = false;
                    } else if (key == XK_h) {
                        w.help = !w.help;
                        XResizeWindow(w.display, w.video, static_cast<unsigned>(w.width),
                                      static_cast<unsigned>(w.VideoHeight()));
                        applyLayout();
                    } else if (key == XK_Tab) {
                        focus =
                            static_cast<uint16_t>((focus + 1) % std::max<size_t>(1, rects.size()));
                    } else if (key == XK_d || key == XK_D) {
                        types = DisplayTypes(port);
                        const uint32_t cur = typeOf(focus);
                        if (!types.empty()) {
                            size_t at = 0;
                            while (at < types.size() && types[at] != cur)
                                ++at;
                            at = key == XK_d ? (at + 1) % types.size()
                                             : (at + types.size() - 1) % types.size();
                            Check("QUORIX_SetCurrentDisplayType",
                                  QUORIX_SetCurrentDisplayType(port, focus, types[at]));
                        }
                    } else if (key == XK_j || key == XK_l) {
                        movePtz(key == XK_j ? -0.05f : 0.05f, 0, 1);
                    } else if (key == XK_i || key == XK_k) {
                        movePtz(0, key == XK_i ? -0.05f : 0.05f, 1);
                    } else if (key == XK_z || key == XK_x) {
                        movePtz(0, 0, key == XK_z ? 1.25f : 1 / 1.25f);
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
                    } else if ((key == XK_Right || key == XK_Left) && seekable) {
                        const int64_t now = QUORIX_GetPlayedTime(port);
                        const int64_t to =
                            std::max<int64_t>(0, now + (key == XK_Right ? 10000 : -10000));
                        Check("QUORIX_SetPlayedTime",
                              QUORIX_SetPlayedTime(port, static_cast<uint32_t>(to)));
                    } else if (key == XK_Home && seekable) {
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
            if (shared->fileEnded && (o.live || !o.url.empty()))
                running = false;
        }
        const auto now = std::chrono::steady_clock::now();
        // The first picture tells which renderer draws; a renderer that reports none within
        // two seconds is taken to count from the top.
        if (layoutMode < 0) {
            const int mode = shared->drawMode.load();
            if (mode >= 0 || now - started > std::chrono::seconds(2)) {
                layoutMode = mode >= 0 ? mode : 0;
                applyLayout();
                chooseViews();
                status();
            }
        }
        if (now - lastStatus >= std::chrono::milliseconds(500)) {
            // Pictures of the focused view drawn since the last look.
            const uint32_t drawn = shared->drawn[focus < QUORIX_MAX_REGIONS ? focus : 0].load();
            if (focus == fpsFocus) {
                fps = (drawn - lastDrawn) / std::chrono::duration<double>(now - lastStatus).count();
            }
            fpsFocus = focus;
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
    shared->overlay.on.store(false);
    if (recording)
        QUORIX_StopLocalRecord(port);
    QUORIX_Stop(port);
    if (w.font != nullptr)
        XFreeFont(w.display, w.font);
    XFreeGC(w.display, w.gc);
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
    } else if (!o.url.empty()) {
        QUORIX_CAMERA_OPTIONS options;
        QUORIX_CameraDefaultOptions(&options);
        options.transport = o.transport;
        options.model = o.model;
        std::vector<uint8_t> params;
        if (!o.paramsFile.empty()) {
            std::ifstream in(o.paramsFile, std::ios::binary);
            params.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            options.modelData = params.data();
            options.modelLen = static_cast<uint32_t>(params.size());
        }
        const uint32_t r = QUORIX_CameraOpen(port, o.url.c_str(), &options, OnCameraState, &shared);
        if (r != QUORIX_OK) {
            std::fprintf(stderr, "quorix-play: QUORIX_CameraOpen %s: %s (%#x): %s\n", o.url.c_str(),
                         ResultName(r), r, CameraAdvice(r));
            QUORIX_FreePort(port);
            QUORIX_ReleaseSDK();
            return 1;
        }
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
    if (!o.url.empty()) {
        QUORIX_CameraClose(port);
    } else if (o.live) {
        QUORIX_CloseStream(port);
    } else {
        QUORIX_CloseFile(port);
    }
    QUORIX_FreePort(port);
    QUORIX_ReleaseSDK();
    return rc;
}
