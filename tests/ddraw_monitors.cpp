// The software display on two monitors (RandR monitors defined on the Xvfb screen for the
// duration of the test): one device per monitor, each drawing the part of the window that lies
// on it. A process of its own, because the monitor list is read once per process.
#include <gtest/gtest.h>
#include <sys/uio.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/hpixel.h"
#include "ddraw/display.h"
#include "ddraw/monitor.h"

namespace {

struct Bgr {
    uint8_t b, g, r;
};

Bgr Convert(uint8_t y) {
    uint8_t yp[4] = {y, y, y, y};
    uint8_t up[1] = {128}, vp[1] = {128};
    uint8_t dst[16] = {};
    BRIXEL::CHYUV420pConvert::ToRGB(BRIXEL::HPIXEL_BGRX32, yp, up, vp, 2, 1, 2, 2, dst, 16, 8);
    return {dst[0], dst[1], dst[2]};
}

bool Near(const Bgr& a, const Bgr& b) {
    return std::abs(a.b - b.b) <= 2 && std::abs(a.g - b.g) <= 2 && std::abs(a.r - b.r) <= 2;
}

class TwoMonitors : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("QUORIX_TEST_DISPLAY");
        if (display == nullptr || display[0] == '\0')
            GTEST_SKIP() << "QUORIX_TEST_DISPLAY is not set";
        setenv("DISPLAY", display, 1);
        int screenNumber = 0;
        m_c = xcb_connect(display, &screenNumber);
        ASSERT_FALSE(xcb_connection_has_error(m_c));
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_c));
        for (int i = 0; i < screenNumber; ++i)
            xcb_screen_next(&it);
        m_screen = it.data;
        xcb_randr_query_version_reply_t* version =
            xcb_randr_query_version_reply(m_c, xcb_randr_query_version(m_c, 1, 5), nullptr);
        const bool has15 =
            version != nullptr && (version->major_version > 1 || version->minor_version >= 5);
        std::free(version);
        if (!has15)
            GTEST_SKIP() << "the X server has no RandR 1.5 monitors";
        // Left monitor on the screen's output, right one virtual; windows of the other window
        // tests (x < 680) stay on the left one.
        m_split = static_cast<int16_t>(m_screen->width_in_pixels * 5 / 8);
        xcb_randr_get_screen_resources_current_reply_t* res =
            xcb_randr_get_screen_resources_current_reply(
                m_c, xcb_randr_get_screen_resources_current(m_c, m_screen->root), nullptr);
        ASSERT_NE(res, nullptr);
        std::vector<uint32_t> outputs;
        if (xcb_randr_get_screen_resources_current_outputs_length(res) > 0) {
            outputs.push_back(xcb_randr_get_screen_resources_current_outputs(res)[0]);
        }
        std::free(res);
        m_left = Atom("QXTEST-LEFT");
        m_right = Atom("QXTEST-RIGHT");
        if (!SetMonitor(m_left, true, 0, static_cast<uint16_t>(m_split), outputs) ||
            !SetMonitor(m_right, false, m_split,
                        static_cast<uint16_t>(m_screen->width_in_pixels - m_split), {})) {
            GTEST_SKIP() << "the X server refuses monitors of our own";
        }
        m_monitorsSet = true;
    }

    void TearDown() override {
        if (m_monitorsSet) {
            xcb_randr_delete_monitor(m_c, m_screen->root, m_right);
            xcb_randr_delete_monitor(m_c, m_screen->root, m_left);
        }
        if (m_c != nullptr) {
            for (uint32_t w : m_windows)
                xcb_destroy_window(m_c, w);
            xcb_flush(m_c);
            xcb_disconnect(m_c);
        }
    }

    uint32_t Atom(const char* name) {
        xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(
            m_c, xcb_intern_atom(m_c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
        const uint32_t atom = r != nullptr ? r->atom : 0;
        std::free(r);
        return atom;
    }

    bool SetMonitor(uint32_t name, bool primary, int16_t x, uint16_t width,
                    const std::vector<uint32_t>& outputs) {
        std::vector<uint8_t> buffer(sizeof(xcb_randr_monitor_info_t) + outputs.size() * 4);
        auto* info = reinterpret_cast<xcb_randr_monitor_info_t*>(buffer.data());
        info->name = name;
        info->primary = primary ? 1 : 0;
        info->automatic = 0;
        info->nOutput = static_cast<uint16_t>(outputs.size());
        info->x = x;
        info->y = 0;
        info->width = width;
        info->height = m_screen->height_in_pixels;
        info->width_in_millimeters = width / 4;
        info->height_in_millimeters = m_screen->height_in_pixels / 4;
        if (!outputs.empty())
            std::memcpy(info + 1, outputs.data(), outputs.size() * 4);
        // Sent by hand: the library's own SetMonitor wrapper of this distribution reads past
        // the monitor record.
        struct {
            uint8_t major;
            uint8_t minor;
            uint16_t length;
            uint32_t window;
        } header{0, 0, 0, m_screen->root};
        xcb_protocol_request_t request{2, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
        iovec parts[4];
        parts[2].iov_base = &header;
        parts[2].iov_len = sizeof(header);
        parts[3].iov_base = buffer.data();
        parts[3].iov_len = buffer.size();
        const xcb_void_cookie_t cookie{
            xcb_send_request(m_c, XCB_REQUEST_CHECKED, parts + 2, &request)};
        xcb_generic_error_t* e = xcb_request_check(m_c, cookie);
        std::free(e);
        return e == nullptr;
    }

    uint32_t MakeWindow(int16_t x, int16_t y, uint16_t w, uint16_t h) {
        const uint32_t window = xcb_generate_id(m_c);
        // Other test processes draw windows on the same server: a backing store keeps what is
        // under them readable.
        const uint32_t values[] = {m_screen->black_pixel, XCB_BACKING_STORE_ALWAYS, 1,
                                   XCB_EVENT_MASK_STRUCTURE_NOTIFY};
        xcb_create_window(
            m_c, XCB_COPY_FROM_PARENT, window, m_screen->root, x, y, w, h, 0,
            XCB_WINDOW_CLASS_INPUT_OUTPUT, m_screen->root_visual,
            XCB_CW_BACK_PIXEL | XCB_CW_BACKING_STORE | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK,
            values);
        xcb_map_window(m_c, window);
        xcb_flush(m_c);
        while (xcb_generic_event_t* e = xcb_wait_for_event(m_c)) {
            const bool mapped = (e->response_type & 0x7F) == XCB_MAP_NOTIFY;
            std::free(e);
            if (mapped)
                break;
        }
        m_windows.push_back(window);
        return window;
    }

    Bgr Pixel(uint32_t window, int16_t x, int16_t y) {
        xcb_get_image_reply_t* reply = xcb_get_image_reply(
            m_c, xcb_get_image(m_c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, x, y, 1, 1, ~0u), nullptr);
        Bgr c{1, 2, 3};
        if (reply != nullptr) {
            const uint8_t* d = xcb_get_image_data(reply);
            c = {d[0], d[1], d[2]};
            std::free(reply);
        }
        return c;
    }

    xcb_connection_t* m_c = nullptr;
    xcb_screen_t* m_screen = nullptr;
    int16_t m_split = 0;
    uint32_t m_left = 0, m_right = 0;
    bool m_monitorsSet = false;
    std::vector<uint32_t> m_windows;
};

struct Drawn {
    HDD::CDisplay* display = nullptr;
    std::mutex mutex;
    uint32_t ok = 0;
    uint32_t last = QUORIX_E_STATE;
    static void Hook(uint32_t result, void* user) {
        auto* self = static_cast<Drawn*>(user);
        std::lock_guard<std::mutex> g(self->mutex);
        if (result == QUORIX_OK)
            ++self->ok;
        self->last = result;
    }
    // Everything set before the call is on screen: a whole pass of the display thread began
    // after it, and the last drawing succeeded.
    bool WaitOk() {
        if (!display->WaitLoopPasses(2, 20000))
            return false;
        std::lock_guard<std::mutex> g(mutex);
        return ok > 0 && last == QUORIX_OK;
    }
};

TEST_F(TwoMonitors, EachDeviceDrawsItsPartOfTheWindow) {
    ASSERT_EQ(HDD::EnumMonitors(), QUORIX_OK);
    HDD::CMonitorMgr& list = HDD::CMonitorMgr::Instance();
    ASSERT_EQ(list.GetCount(), 2u);
    QXPLAT::DDRECT first{}, second{};
    ASSERT_TRUE(HDD::GetMonitorRect(list.GetEntry(0)->monitor, &first));
    ASSERT_TRUE(HDD::GetMonitorRect(list.GetEntry(1)->monitor, &second));
    EXPECT_EQ(first.left, 0);
    EXPECT_EQ(first.right, m_split);
    EXPECT_EQ(second.left, m_split);
    EXPECT_NE(std::memcmp(list.GetEntry(0)->guid.bytes, list.GetEntry(1)->guid.bytes, 16), 0);

    // A 400 x 300 window whose first 100 columns lie on the left monitor; the picture's halves
    // meet at its column 200.
    const uint32_t spanning = MakeWindow(static_cast<int16_t>(m_split - 100), 100, 400, 300);
    const uint32_t onRight = MakeWindow(static_cast<int16_t>(m_split + 50), 500, 400, 300);
    const uint32_t w = 160, h = 120;
    std::vector<uint8_t> picture(w * h * 3 / 2, 128);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x)
            picture[y * w + x] = x < w / 2 ? 50 : 210;
    }
    const Bgr dark = Convert(50), bright = Convert(210);

    struct Case {
        uint32_t window;
        int16_t width;
    } cases[] = {{spanning, 400}, {onRight, 400}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.width);
        HDD::CDisplay* display = nullptr;
        ASSERT_EQ(HDD::CreateDisplay(&display), QUORIX_OK);
        Drawn drawn;
        drawn.display = display;
        HDD::SetFrameDrawnCallback(display, &Drawn::Hook, &drawn);
        HDD::SetRegion(display, 0, 0, 0, c.width, 150, 1);
        HDD::SetRegionFitMode(display, 0, 0);
        HDD::SetWindow(display, c.window);
        const uint8_t* planes[3] = {picture.data(), picture.data() + w * h,
                                    picture.data() + w * h * 5 / 4};
        const uint32_t strides[3] = {w, w / 2, w / 2};
        ASSERT_EQ(HDD::InputPicture(display, w, h, 20, planes, strides), QUORIX_OK);
        ASSERT_TRUE(drawn.WaitOk());
        EXPECT_EQ(display->GetScreenVideoFormat(0), 1u);
        EXPECT_EQ(display->GetScreenVideoFormat(1), 1u);
        const int16_t half = static_cast<int16_t>(c.width / 2);
        for (int16_t x : {int16_t(5), int16_t(95), int16_t(105), int16_t(half - 5)}) {
            EXPECT_TRUE(Near(Pixel(c.window, x, 75), dark)) << "column " << x;
        }
        EXPECT_TRUE(Near(Pixel(c.window, static_cast<int16_t>(half + 5), 75), bright));
        EXPECT_TRUE(Near(Pixel(c.window, static_cast<int16_t>(c.width - 5), 75), bright));
        EXPECT_TRUE(Near(Pixel(c.window, 20, 200), (Bgr{0, 0, 0})));  // outside the region
        EXPECT_EQ(HDD::DestroyDisplay(display), QUORIX_OK);
    }
}

}  // namespace
