// The X server goes away while a port draws into a window on it: an X server of the test's own
// is killed under a playing port, with the OpenGL renderer and then with the software display.
// The port must keep taking records, stop, close and free without a crash or a hang, and the
// library must go on serving ports that need no window.

#include <gtest/gtest.h>
#include <quorixsdk.h>
// X11 after GoogleTest: Xlib defines None, a name GoogleTest uses.
#include <X11/Xlib.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/view_support.h"

extern char** environ;

namespace {

// Host displays on a killed server: Xlib must never be called on them again (its I/O error
// handler would end the process), so they are left open, reachable from here until the leak
// check at exit (a plain array: a container would be destroyed before that check).
Display* g_deadDisplays[4] = {};
int g_deadCount = 0;

// An Xvfb of this test alone. -displayfd makes the server pick a free display and write its
// number once it accepts connections, so no polling is needed.
class OwnServer {
public:
    OwnServer() {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        const std::string fd = std::to_string(fds[1]);
        std::vector<std::string> args = {"Xvfb", "-displayfd", fd,          "-screen",
                                         "0",    "640x480x24", "-nolisten", "tcp"};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        const int spawned = posix_spawnp(&m_pid, "Xvfb", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (spawned != 0) {
            m_pid = -1;
            close(fds[0]);
            return;
        }
        std::string number;
        char c = 0;
        while (read(fds[0], &c, 1) == 1 && c != '\n')
            number.push_back(c);
        close(fds[0]);
        if (!number.empty())
            m_name = ":" + number;
    }
    ~OwnServer() { Kill(); }
    OwnServer(const OwnServer&) = delete;
    OwnServer& operator=(const OwnServer&) = delete;

    bool Spawned() const { return m_pid > 0; }
    const std::string& Name() const { return m_name; }
    void Kill() {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
    std::string m_name;
};

// A port playing into a window on the test's own server, until the server is killed.
void PlayThroughServerLoss(bool softwareDisplay) {
    OwnServer server;
    if (!server.Spawned())
        GTEST_SKIP() << "no Xvfb to start";
    ASSERT_FALSE(server.Name().empty()) << "Xvfb did not report its display";
    setenv("DISPLAY", server.Name().c_str(), 1);

    Display* host = XOpenDisplay(server.Name().c_str());
    ASSERT_NE(nullptr, host);
    if (g_deadCount < 4)
        g_deadDisplays[g_deadCount++] = host;
    const int screen = DefaultScreen(host);
    const Window window = XCreateSimpleWindow(host, RootWindow(host, screen), 0, 0, 320, 240, 0,
                                              BlackPixel(host, screen), BlackPixel(host, screen));
    XMapWindow(host, window);
    XSync(host, False);

    ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
    if (softwareDisplay)
        QUORIX_SetRenderMode(1);
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    const QUORIX_RECT whole{0, 0, 320, 240};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(port, 0, &whole, 1));
    viewtest::DrawProbe frames;
    frames.readBack = false;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(port, 0, &viewtest::DrawProbe::Callback, &frames));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(port, window, nullptr, 0));

    const auto green = viewtest::FlatRecords(64, 64, viewtest::kGreen.y, viewtest::kGreen.u,
                                             viewtest::kGreen.v, 6);
    ASSERT_FALSE(green.empty());
    ASSERT_TRUE(viewtest::Feed(port, green));
    ASSERT_TRUE(frames.WaitGood(1)) << "nothing was drawn into the window";

    server.Kill();

    // The port goes on taking records with nothing left to draw on, and ends cleanly.
    for (int round = 0; round < 3; ++round)
        EXPECT_TRUE(viewtest::Feed(port, green));
    EXPECT_EQ(QUORIX_OK, QUORIX_Stop(port));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(port));
    EXPECT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(port, 0, nullptr, nullptr));
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));

    // The library still serves a port without a window.
    unsetenv("DISPLAY");
    uint16_t again = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&again));
    viewtest::DrawProbe headless;
    headless.readBack = false;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(again, 0, &whole, 1));
    ASSERT_EQ(QUORIX_OK,
              QUORIX_SetDrawCallback(again, 0, &viewtest::DrawProbe::Callback, &headless));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(again, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(again, 0, nullptr, 0));
    ASSERT_TRUE(viewtest::Feed(again, green));
    // The software display draws only into windows; the OpenGL renderer draws headless too.
    if (!softwareDisplay) {
        EXPECT_TRUE(headless.WaitGood(1))
            << "a port without a window drew nothing after the server loss";
    }
    EXPECT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(again, 0, nullptr, nullptr));
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(again));
    QUORIX_ReleaseSDK();
}

// Declared first: the software display is chosen once per process and never left again.
TEST(FaultXServer, OpenGlPortOutlivesItsServer) {
    PlayThroughServerLoss(false);
}

TEST(FaultXServer, SoftwareDisplayPortOutlivesItsServer) {
    PlayThroughServerLoss(true);
}

}  // namespace
