// A host's video wall on the test X server: one top-level window with two child windows, a
// port playing into each, the second port with two regions. A screenshot of the top-level
// window shows each region's picture where its rectangle says (the rectangle of a region
// counts y from the window's bottom edge).

#include <gtest/gtest.h>
#include <quorixsdk.h>
// X11 after GoogleTest: Xlib defines None, a name GoogleTest uses.
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <stdlib.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

#include "support/gl_test_context.h"
#include "support/view_support.h"

namespace {

using viewtest::DrawProbe;

struct Rgb {
    uint8_t r, g, b;
};

class Wall {
public:
    Wall() {
        m_display = XOpenDisplay(gltest::TestDisplay().c_str());
        if (m_display == nullptr)
            return;
        const int screen = DefaultScreen(m_display);
        XSetWindowAttributes attributes{};
        attributes.background_pixel = BlackPixel(m_display, screen);
        attributes.backing_store = Always;
        const unsigned long mask = CWBackPixel | CWBackingStore;
        m_top = XCreateWindow(m_display, RootWindow(m_display, screen), 0, 0, 400, 200, 0,
                              CopyFromParent, InputOutput, CopyFromParent, mask, &attributes);
        for (int i = 0; i < 2; ++i) {
            m_child[i] = XCreateWindow(m_display, m_top, 200 * i, 0, 200, 200, 0, CopyFromParent,
                                       InputOutput, CopyFromParent, mask, &attributes);
        }
        XMapSubwindows(m_display, m_top);
        XMapWindow(m_display, m_top);
        XSync(m_display, False);
    }
    ~Wall() {
        if (m_display == nullptr)
            return;
        XDestroyWindow(m_display, m_top);
        XCloseDisplay(m_display);
    }
    bool ok() const { return m_display != nullptr && m_top != 0; }
    uintptr_t child(int i) const { return m_child[i]; }

    // One pixel of the top-level window as the server has it, children included.
    Rgb Pixel(int16_t x, int16_t y) {
        const auto rgb =
            gltest::WindowPixel(XGetXCBConnection(m_display), static_cast<uint32_t>(m_top), x, y);
        return {rgb[0], rgb[1], rgb[2]};
    }

private:
    Display* m_display = nullptr;
    Window m_top = 0;
    Window m_child[2] = {0, 0};
};

bool Is(bool (*test)(const uint8_t*), const Rgb& c) {
    const uint8_t p[3] = {c.r, c.g, c.b};
    return test(p);
}

TEST(ViewWall, EachRegionShowsItsPictureWhereItsRectangleSays) {
    if (gltest::TestDisplay().empty())
        GTEST_SKIP() << "QUORIX_TEST_DISPLAY not set";
    setenv("DISPLAY", gltest::TestDisplay().c_str(), 1);
    Wall wall;
    ASSERT_TRUE(wall.ok());
    ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());

    uint16_t ports[2];
    for (uint16_t& p : ports)
        ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&p));
    // Port 1 fills its window with green; port 2 shows its blue picture in two quadrants of its
    // window: region 0 in the lower left (GL y from 0) and region 1 in the upper right.
    const QUORIX_RECT whole{0, 0, 200, 200}, lower{0, 0, 100, 100}, upper{100, 100, 200, 200};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(ports[0], 0, &whole, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(ports[1], 0, &lower, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(ports[1], 1, &upper, 1));
    DrawProbe frames;
    frames.readBack = false;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(ports[1], 1, &DrawProbe::Callback, &frames));

    const auto green =
        viewtest::FlatRecords(64, 64, viewtest::kGreen.y, viewtest::kGreen.u, viewtest::kGreen.v);
    const auto blue =
        viewtest::FlatRecords(64, 64, viewtest::kBlue.y, viewtest::kBlue.u, viewtest::kBlue.v);
    ASSERT_FALSE(green.empty());
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_OpenStream(ports[i], QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0));
        ASSERT_EQ(QUORIX_OK, QUORIX_Play(ports[i], wall.child(i), nullptr, 0));
    }
    ASSERT_TRUE(viewtest::Feed(ports[0], green));
    ASSERT_TRUE(viewtest::Feed(ports[1], blue));

    // Each drawn frame of the second port is a chance for the screen to be complete.
    bool shown = false;
    // X counts y from the top: the lower-left quadrant of the second window is at (250, 150).
    const struct {
        int16_t x, y;
        bool (*want)(const uint8_t*);
        bool expected;
    } points[] = {
        {100, 100, viewtest::IsGreen, true}, {250, 150, viewtest::IsBlue, true},
        {350, 50, viewtest::IsBlue, true},   {250, 50, viewtest::IsBlue, false},
        {350, 150, viewtest::IsBlue, false},
    };
    std::string seen;
    for (int n = 1; n <= 200 && !shown; ++n) {
        ASSERT_TRUE(frames.WaitGood(n));
        shown = true;
        seen.clear();
        for (const auto& p : points) {
            const Rgb c = wall.Pixel(p.x, p.y);
            shown = shown && Is(p.want, c) == p.expected;
            seen += "(" + std::to_string(p.x) + "," + std::to_string(p.y) +
                    ")=" + std::to_string(c.r) + "," + std::to_string(c.g) + "," +
                    std::to_string(c.b) + " ";
        }
        // The ports draw new pictures only: the next chance comes with the next pictures.
        if (!shown) {
            ASSERT_TRUE(viewtest::Feed(ports[0], green));
            ASSERT_TRUE(viewtest::Feed(ports[1], blue));
        }
    }
    EXPECT_TRUE(shown) << seen;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(ports[1], 1, nullptr, nullptr));
    for (uint16_t p : ports)
        EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(p));
    QUORIX_ReleaseSDK();
}

}  // namespace
