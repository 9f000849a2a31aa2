// quorix-play in a window on the test X server, driven by key events sent to its window.

// GoogleTest first: Xlib's macros (None, Bool, Status) would break its templates.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <dirent.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

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

TEST(PlayWindow, KeysChangeTheViewTakeASnapshotAndQuit) {
    const char* display = std::getenv("QUORIX_TEST_DISPLAY");
    if (display == nullptr || *display == 0)
        GTEST_SKIP() << "no test X server (QUORIX_TEST_DISPLAY)";
    Display* d = XOpenDisplay(display);
    if (d == nullptr)
        GTEST_SKIP() << "cannot open " << display;

    TempDir dir;
    std::string log;
    ASSERT_EQ(toolstest::Run(std::string(QUORIX_MUX_PATH) +
                                 " --quiet --synthetic fisheye --width 384 --duration 15 " +
                                 dir / "f.zbm 2>&1",
                             &log),
              0)
        << log;
    const std::string command = "cd " + dir.Path() + " && DISPLAY=" + display + " " +
                                QUORIX_PLAY_PATH + " --size 480x270 f.zbm 2>&1";
    FILE* player = popen(command.c_str(), "r");
    ASSERT_NE(player, nullptr);

    Window w = 0;
    EXPECT_TRUE(WaitFor([&] { return (w = FindPlayer(d)) != 0; }, 30));
    if (w != 0) {
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
        SendKey(d, w, XK_q);
    }
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, player)) > 0)
        output.append(buffer, n);
    const int status = pclose(player);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << output;
    EXPECT_EQ(output.find("quorix-play:"), std::string::npos) << "no call failed:\n" << output;
    XCloseDisplay(d);
}

}  // namespace
