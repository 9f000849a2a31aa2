// quorix-play in a window on the test X server, driven by key events sent to its window.

// GoogleTest first: Xlib's macros (None, Bool, Status) would break its templates.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <dirent.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools_support.h"

using namespace toolstest;

namespace {

// Polls a condition until it holds or the deadline passes (the player runs in another process,
// so there is no event of ours to wait on).
bool WaitFor(const std::function<bool()>& done, int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

std::string Title(Display* d, Window w) {
    char* name = nullptr;
    std::string title;
    if (XFetchName(d, w, &name) && name != nullptr) {
        title = name;
        XFree(name);
    }
    return title;
}

Window FindPlayer(Display* d) {
    Window root = DefaultRootWindow(d), parent = 0, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (XQueryTree(d, root, &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count && found == 0; ++i) {
            if (Title(d, children[i]).rfind("quorix-play", 0) == 0)
                found = children[i];
        }
        XFree(children);
    }
    return found;
}

void SendKey(Display* d, Window w, KeySym sym, bool shift = false) {
    XEvent ev{};
    ev.xkey.type = KeyPress;
    ev.xkey.display = d;
    ev.xkey.window = w;
    ev.xkey.root = DefaultRootWindow(d);
    ev.xkey.keycode = XKeysymToKeycode(d, sym);
    ev.xkey.state = shift ? ShiftMask : 0;
    ev.xkey.same_screen = True;
    XSendEvent(d, w, True, KeyPressMask, &ev);
    XFlush(d);
}

void SendClick(Display* d, Window w, int x, int y, unsigned button = Button1) {
    for (int type : {ButtonPress, ButtonRelease}) {
        XEvent ev{};
        ev.xbutton.type = type;
        ev.xbutton.display = d;
        ev.xbutton.window = w;
        ev.xbutton.root = DefaultRootWindow(d);
        ev.xbutton.x = x;
        ev.xbutton.y = y;
        ev.xbutton.button = button;
        ev.xbutton.same_screen = True;
        XSendEvent(d, w, True, type == ButtonPress ? ButtonPressMask : ButtonReleaseMask, &ev);
    }
    XFlush(d);
}

// The window's pixels as 0xRRGGBB (a 24-bit TrueColor test server).
struct Picture {
    int width = 0, height = 0;
    std::vector<uint32_t> rgb;
    uint32_t At(int x, int y) const {
        return x >= 0 && y >= 0 && x < width && y < height ? rgb[size_t(y) * width + x] : 0;
    }
};

Picture Grab(Display* d, Window w) {
    Picture p;
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, w, &a))
        return p;
    XImage* image = XGetImage(d, w, 0, 0, static_cast<unsigned>(a.width),
                              static_cast<unsigned>(a.height), AllPlanes, ZPixmap);
    if (image == nullptr)
        return p;
    p.width = a.width;
    p.height = a.height;
    p.rgb.resize(size_t(p.width) * p.height);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x)
            p.rgb[size_t(y) * p.width + x] =
                static_cast<uint32_t>(XGetPixel(image, x, y) & 0xFFFFFF);
    }
    XDestroyImage(image);
    return p;
}

bool Near(uint32_t a, uint32_t b, int tolerance = 40) {
    for (int shift : {0, 8, 16}) {
        if (std::abs(int((a >> shift) & 255) - int((b >> shift) & 255)) > tolerance)
            return false;
    }
    return true;
}

struct TitleView {
    bool found = false;
    int region = -1;
    double pan = 0, tilt = 0, zoom = 0;
};

TitleView ParseView(const std::string& title) {
    TitleView v;
    std::smatch m;
    if (std::regex_search(
            title, m, std::regex("region (\\d+) \\S+ ptz (-?[0-9.]+) (-?[0-9.]+) (-?[0-9.]+)"))) {
        v.found = true;
        v.region = std::stoi(m[1]);
        v.pan = std::stod(m[2]);
        v.tilt = std::stod(m[3]);
        v.zoom = std::stod(m[4]);
    }
    return v;
}

// Played and total time of the title, in milliseconds (tenths shown); -1 when not shown so.
std::pair<int, int> ParseTimes(const std::string& title) {
    std::smatch m;
    if (!std::regex_search(title, m,
                           std::regex("(\\d\\d):(\\d\\d)\\.(\\d) / (\\d\\d):(\\d\\d)\\.(\\d)")))
        return {-1, -1};
    auto ms = [&](int i) {
        return std::stoi(m[i]) * 60000 + std::stoi(m[i + 1]) * 1000 + std::stoi(m[i + 2]) * 100;
    };
    return {ms(1), ms(4)};
}

std::string ReadAll(FILE* f) {
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        output.append(buffer, n);
    return output;
}

// The test X server, a synthetic fisheye recording to play and the player run on it: a test
// without the server is skipped.
class PlayWindow : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("QUORIX_TEST_DISPLAY");
        if (display == nullptr || *display == 0)
            GTEST_SKIP() << "no test X server (QUORIX_TEST_DISPLAY)";
        m_name = display;
        d = XOpenDisplay(display);
        if (d == nullptr)
            GTEST_SKIP() << "cannot open " << display;
    }
    void TearDown() override {
        if (d != nullptr)
            XCloseDisplay(d);
    }

    // f.zbm in the test's folder: the demonstration fisheye, `width` wide, `seconds` long.
    void MakeFisheye(int width, int seconds) {
        std::string log;
        ASSERT_EQ(
            toolstest::Run(std::string(QUORIX_MUX_PATH) + " --quiet --synthetic fisheye --width " +
                               std::to_string(width) + " --duration " + std::to_string(seconds) +
                               " " + dir / "f.zbm 2>&1",
                           &log),
            0)
            << log;
    }

    // Plays f.zbm with `options` (and `environment` in front of the command); `checks` runs once
    // the window is there, then the player is told to quit: it must end cleanly, with no call of
    // the library failed. The checks run in a function of their own, so that a failed one still
    // lets the player quit.
    void Play(const std::string& environment, const std::string& options,
              const std::function<void(Window)>& checks) {
        const std::string command = "cd " + dir.Path() + " && DISPLAY=" + m_name + " " +
                                    environment + QUORIX_PLAY_PATH + " " + options + " f.zbm 2>&1";
        FILE* player = popen(command.c_str(), "r");
        ASSERT_NE(player, nullptr);
        Window w = 0;
        EXPECT_TRUE(WaitFor([&] { return (w = FindPlayer(d)) != 0; }, 30));
        if (w != 0) {
            checks(w);
            SendKey(d, w, XK_q);
        }
        const std::string output = ReadAll(player);
        const int status = pclose(player);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << output;
        EXPECT_EQ(output.find("quorix-play:"), std::string::npos) << "no call failed:\n" << output;
    }

    Display* d = nullptr;
    TempDir dir;

private:
    std::string m_name;
};

bool HasSnapshot(const std::string& dir) {
    bool found = false;
    if (DIR* dd = opendir(dir.c_str())) {
        while (dirent* e = readdir(dd)) {
            if (std::string(e->d_name).rfind("quorix-snap-", 0) == 0)
                found = true;
        }
        closedir(dd);
    }
    return found;
}

TEST_F(PlayWindow, KeysChangeTheViewTakeASnapshotAndQuit) {
    ASSERT_NO_FATAL_FAILURE(MakeFisheye(384, 15));
    Play("", "--size 480x270", [&](Window w) {
        // Paused first, so the recording cannot end while the keys are tried.
        EXPECT_TRUE(WaitFor([&] { return Title(d, w).find(" fps") != std::string::npos; }, 30))
            << Title(d, w);
        SendKey(d, w, XK_space);
        EXPECT_TRUE(WaitFor([&] { return Title(d, w).find("paused") != std::string::npos; }, 30))
            << Title(d, w);
        // The status line names the display type of the focused region; d moves to the next one.
        EXPECT_NE(Title(d, w).find("region 0 sphere"), std::string::npos) << Title(d, w);
        SendKey(d, w, XK_d);
        EXPECT_TRUE(
            WaitFor([&] { return Title(d, w).find("region 0 plane180") != std::string::npos; }, 30))
            << Title(d, w);
        SendKey(d, w, XK_plus);
        EXPECT_TRUE(WaitFor([&] { return Title(d, w).find("speed 2x") != std::string::npos; }, 30))
            << Title(d, w);
        SendKey(d, w, XK_s);
        EXPECT_TRUE(WaitFor([&] { return HasSnapshot(dir.Path()); }, 30));
    });
}

// The 2x2 layout in both renderers (the OpenGL renderer counts region rows from the bottom of the
// window, the software display from the top): a click in each view focuses that view, its yellow
// frame is drawn around the view clicked and nowhere else, and a zoom key zooms that view. The
// strip under the views shows the status; its seek bar seeks; the title's total has tenths.
TEST_F(PlayWindow, GridViewsFocusWhereClickedInBothRenderers) {
    ASSERT_NO_FATAL_FAILURE(MakeFisheye(256, 60));
    // The file's length lies between its last picture's stamp and one frame later.
    const Container c = ReadContainer(dir / "f.zbm");
    ASSERT_TRUE(c.ok);
    uint32_t lastStamp = 0;
    for (const Record& r : c.records) {
        if (r.kind == 1 || r.kind == 3)
            lastStamp = std::max(lastStamp, r.timestamp);
    }
    ASSERT_GT(lastStamp, 50000u);

    const int vw = 480, vh = 270, cw = vw / 2, ch = vh / 2;
    for (const char* renderer : {"QUORIX_CPU_DEWARP=0 ", "--software "}) {
        SCOPED_TRACE(renderer);
        const bool software = std::string(renderer) == "--software ";
        Play(software ? "" : renderer,
             std::string(software ? "--software " : "") + "--layout 2x2 --size 480x270",
             [&](Window w) {
                 EXPECT_TRUE(
                     WaitFor([&] { return Title(d, w).find(" fps") != std::string::npos; }, 30))
                     << Title(d, w);
                 const std::pair<int, int> times = ParseTimes(Title(d, w));
                 EXPECT_GE(times.second + 99, int(lastStamp)) << Title(d, w);
                 EXPECT_LE(times.second, int(lastStamp) + 40) << Title(d, w);

                 for (int i = 0; i < 4; ++i) {
                     SCOPED_TRACE("view " + std::to_string(i));
                     const int left = (i % 2) * cw, top = (i / 2) * ch;
                     SendClick(d, w, left + cw / 2, top + ch / 2);
                     EXPECT_TRUE(WaitFor([&] { return ParseView(Title(d, w)).region == i; }, 30))
                         << Title(d, w);
                     // The frame: the middle of the view's top and left edges, in no other view.
                     Picture p;
                     const bool framed = WaitFor(
                         [&] {
                             p = Grab(d, w);
                             if (!Near(p.At(left + cw / 2, top + 1), 0xFFD000) ||
                                 !Near(p.At(left + 1, top + ch / 2), 0xFFD000))
                                 return false;
                             for (int j = 0; j < 4; ++j) {
                                 if (j != i &&
                                     Near(p.At((j % 2) * cw + cw / 2, (j / 2) * ch + 1), 0xFFD000))
                                     return false;
                             }
                             return true;
                         },
                         30);
                     EXPECT_TRUE(framed) << std::hex << p.At(left + cw / 2, top + 1) << " "
                                         << p.At(left + 1, top + ch / 2);
                     const TitleView before = ParseView(Title(d, w));
                     ASSERT_TRUE(before.found) << Title(d, w);
                     SendKey(d, w, XK_z);
                     EXPECT_TRUE(WaitFor(
                         [&] {
                             const TitleView after = ParseView(Title(d, w));
                             return after.region == i &&
                                    std::fabs(after.zoom - before.zoom * 1.25) < 0.011;
                         },
                         30))
                         << before.zoom << " -> " << Title(d, w);
                 }

                 // The status strip: below the views, with the status text drawn in white.
                 Picture p = Grab(d, w);
                 EXPECT_GT(p.height, vh + 10);
                 int white = 0, barRow = -1;
                 for (int y = vh; y < p.height; ++y) {
                     for (int x = 0; x < p.width; ++x)
                         white += p.At(x, y) == 0xFFFFFF;
                     if (barRow < 0 && (p.At(vw / 2, y) == 0x505050 || p.At(vw / 2, y) == 0xE0B000))
                         barRow = y;
                 }
                 EXPECT_GT(white, 50) << "status text in the strip";
                 ASSERT_GE(barRow, 0) << "a seek bar in the strip";
                 // h shows the keys in the strip, in the grey of its second line.
                 auto grey = [&] {
                     const Picture g = Grab(d, w);
                     return std::count(g.rgb.begin(), g.rgb.end(), 0xC0C0C0u);
                 };
                 const auto greyBefore = grey();
                 SendKey(d, w, XK_h);
                 EXPECT_TRUE(WaitFor([&] { return grey() > greyBefore * 5; }, 30))
                     << greyBefore << " -> " << grey();
                 SendKey(d, w, XK_h);
                 EXPECT_TRUE(WaitFor([&] { return grey() < greyBefore * 2; }, 30));
                 // A click at 80 % of the bar seeks there.
                 SendClick(d, w, vw * 8 / 10, barRow + 2);
                 EXPECT_TRUE(WaitFor(
                     [&] {
                         const auto t = ParseTimes(Title(d, w));
                         return t.first >= int(lastStamp) * 7 / 10 &&
                                t.first <= int(lastStamp) + 40;
                     },
                     30))
                     << Title(d, w);
             });
    }
}

void SendDrag(Display* d, Window w, int x0, int y0, int x1, int y1) {
    XEvent ev{};
    ev.xbutton.type = ButtonPress;
    ev.xbutton.display = d;
    ev.xbutton.window = w;
    ev.xbutton.root = DefaultRootWindow(d);
    ev.xbutton.x = x0;
    ev.xbutton.y = y0;
    ev.xbutton.button = Button1;
    ev.xbutton.same_screen = True;
    XSendEvent(d, w, True, ButtonPressMask, &ev);
    XEvent motion{};
    motion.xmotion.type = MotionNotify;
    motion.xmotion.display = d;
    motion.xmotion.window = w;
    motion.xmotion.root = DefaultRootWindow(d);
    motion.xmotion.x = x1;
    motion.xmotion.y = y1;
    motion.xmotion.state = Button1Mask;
    motion.xmotion.same_screen = True;
    XSendEvent(d, w, True, PointerMotionMask, &motion);
    ev.xbutton.type = ButtonRelease;
    ev.xbutton.x = x1;
    ev.xbutton.y = y1;
    XSendEvent(d, w, True, ButtonReleaseMask, &ev);
    XFlush(d);
}

// The 1+3 layout on a fisheye: the 360° panorama above, three views with pan, tilt and zoom
// below (the perspective view where the library offers it), 120° apart; a drag in one of them
// turns it, the wheel zooms it.
TEST_F(PlayWindow, OnePlusThreeShowsThePanoramaAndThreeViewsToSteer) {
    ASSERT_NO_FATAL_FAILURE(MakeFisheye(256, 60));
    Play("", "--layout 1+3 --size 600x300", [&](Window w) {
        EXPECT_TRUE(WaitFor([&] { return Title(d, w).find(" fps") != std::string::npos; }, 30))
            << Title(d, w);
        // The large view on top (two thirds of the height), three below.
        SendClick(d, w, 300, 100);
        EXPECT_TRUE(WaitFor(
            [&] { return Title(d, w).find("region 0 plane360 ") != std::string::npos; }, 30))
            << Title(d, w);
        std::vector<double> pans;
        for (int i = 1; i <= 3; ++i) {
            SendClick(d, w, (i - 1) * 200 + 100, 250);
            TitleView v;
            EXPECT_TRUE(WaitFor(
                [&] {
                    v = ParseView(Title(d, w));
                    return v.region == i;
                },
                30))
                << Title(d, w);
            const std::string title = Title(d, w);
            EXPECT_TRUE(title.find(" perspective ptz") != std::string::npos ||
                        title.find(" sphere ptz") != std::string::npos)
                << title;
            pans.push_back(v.pan);
        }
        ASSERT_EQ(pans.size(), 3u);
        // ±1 is ±180°: 120° apart.
        EXPECT_NEAR(pans[1] - pans[0], 2.0 / 3, 0.02);
        EXPECT_NEAR(pans[2] - pans[1], 2.0 / 3, 0.02);

        // The middle view: a drag to the left by a tenth of its width turns it right by as
        // much (a tenth of the half turn at zoom 1); the wheel zooms by 1.1.
        SendClick(d, w, 300, 250);
        TitleView before;
        ASSERT_TRUE(WaitFor(
            [&] {
                before = ParseView(Title(d, w));
                return before.region == 2;
            },
            30))
            << Title(d, w);
        SendDrag(d, w, 300, 250, 280, 250);
        TitleView after;
        EXPECT_TRUE(WaitFor(
            [&] {
                after = ParseView(Title(d, w));
                return std::fabs(after.pan - before.pan) > 0.005;
            },
            30))
            << Title(d, w);
        EXPECT_NEAR(after.pan - before.pan, 0.1 / before.zoom, 0.011) << Title(d, w);
        SendClick(d, w, 300, 250, Button4);
        EXPECT_TRUE(WaitFor(
            [&] { return std::fabs(ParseView(Title(d, w)).zoom - after.zoom * 1.1) < 0.011; }, 30))
            << Title(d, w);
    });
}

}  // namespace
