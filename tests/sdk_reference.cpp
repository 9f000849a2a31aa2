// The numbers the public header documents, read back from the library's behaviour: every result
// code has its name and sentence, pan/tilt/zoom move a lens point where a pinhole camera with
// the documented units puts it, a pan of the 360-degree panorama moves it by the documented share
// of its width, and a region's rectangle lands in the window where each renderer's documented
// origin puts it.

#include <gtest/gtest.h>
#include <quorixsdk.h>
#include <stdlib.h>
#include <xcb/xcb.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/gl_test_context.h"
#include "support/view_support.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// ---------------------------------------------------------------------------------------------
// Result codes

TEST(SdkResultCodes, EveryDefinedCodeHasItsNameAndASentence) {
    std::ifstream file(std::string(QUORIX_TEST_INCLUDE_DIR) + "/quorixsdk_codes.h");
    ASSERT_TRUE(file.good());
    std::stringstream text;
    text << file.rdbuf();
    const std::string header = text.str();
    const std::regex define(R"(#define (QUORIX_(OK|E_\w+)) (0x[0-9A-Fa-f]+)u\b)");
    std::set<std::string> sentences;
    int codes = 0;
    for (auto it = std::sregex_iterator(header.begin(), header.end(), define);
         it != std::sregex_iterator(); ++it) {
        const std::string name = (*it)[1];
        const uint32_t value = static_cast<uint32_t>(std::stoul((*it)[3], nullptr, 16));
        SCOPED_TRACE(name);
        EXPECT_STREQ(name.c_str(), QUORIX_ResultName(value));
        const std::string sentence = QUORIX_ResultText(value);
        EXPECT_GT(sentence.size(), 10u);
        EXPECT_EQ('.', sentence.back());
        EXPECT_NE("Not a result code of this library.", sentence);
        sentences.insert(sentence);
        ++codes;
    }
    EXPECT_EQ(30, codes);
    EXPECT_EQ(static_cast<size_t>(codes), sentences.size()) << "each code says something else";
    for (const uint32_t other : {0x1u, 0x80008000u, 0x80008013u, 0x80008105u, 0x7FFFFFFFu}) {
        EXPECT_STREQ("QUORIX_E_UNKNOWN", QUORIX_ResultName(other));
        EXPECT_STREQ("Not a result code of this library.", QUORIX_ResultText(other));
    }
}

// ---------------------------------------------------------------------------------------------
// Pan, tilt and zoom through QUORIX_Project

// A port playing a flat picture of a lens model into an off-screen region of w x h.
class LensPort {
public:
    LensPort(int32_t model, int32_t width, int32_t height) : m_width(width), m_height(height) {
        if (QUORIX_GetPort(&m_port) != QUORIX_OK)
            return;
        const QUORIX_RECT rect{0, 0, width, height};
        m_ok =
            QUORIX_SetDisplayRegion(m_port, 0, &rect, 1) == QUORIX_OK &&
            QUORIX_OpenStream(m_port, model, nullptr, 0, nullptr, 0) == QUORIX_OK &&
            QUORIX_Play(m_port, 0, nullptr, 0) == QUORIX_OK &&
            viewtest::Feed(m_port, viewtest::FlatRecords(256, 128, viewtest::kGreen.y,
                                                         viewtest::kGreen.u, viewtest::kGreen.v));
    }
    ~LensPort() { QUORIX_FreePort(m_port); }
    bool Ok() const { return m_ok; }
    uint16_t Port() const { return m_port; }
    double Aspect() const { return static_cast<double>(m_width) / m_height; }

    // One source point projected into the region with the given view. Projections time out
    // until the first picture is drawn: they are asked again until then.
    bool Project(uint32_t display, float pan, float tilt, float zoom, float x, float y, float* u,
                 float* v) {
        if (QUORIX_SetCurrentDisplayType(m_port, 0, display) != QUORIX_OK ||
            QUORIX_SetPTZPosition(m_port, 0, pan, tilt, zoom) != QUORIX_OK)
            return false;
        uint32_t rc = QUORIX_E_TIMEOUT;
        for (int attempt = 0; attempt < 60 && rc == QUORIX_E_TIMEOUT; ++attempt)
            rc = QUORIX_Project(m_port, 0, &x, &y, u, v, 1);
        return rc == QUORIX_OK;
    }

private:
    uint16_t m_port = 0xFFFF;
    int32_t m_width, m_height;
    bool m_ok = false;
};

class SdkPtzUnits : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("DISPLAY");
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
    }
    void TearDown() override { QUORIX_ReleaseSDK(); }
};

struct Shown {
    double u, v;
    bool visible;
};

// Where a pinhole camera with the documented units shows a direction of the sphere: source
// (x, y) is azimuth x and polar angle y in half turns, the view looks along -z with y up; pan
// turns it by pan * 180 degrees about the vertical axis, then tilt by tilt * 180 degrees about
// the horizontal one (positive looks down, so the scene turns up); zoom magnifies; the region
// sees 65 degrees from top to bottom at zoom 1.
Shown Pinhole(double x, double y, double pan, double tilt, double zoom, double aspect) {
    double p[3] = {std::cos(kPi * x) * std::sin(kPi * y), std::sin(kPi * x) * std::sin(kPi * y),
                   -std::cos(kPi * y)};
    const double a = pan * kPi, b = tilt * kPi;
    const double x1 = p[0] * std::cos(a) + p[2] * std::sin(a);
    const double z1 = -p[0] * std::sin(a) + p[2] * std::cos(a);
    const double y2 = p[1] * std::cos(b) - z1 * std::sin(b);
    const double z2 = p[1] * std::sin(b) + z1 * std::cos(b);
    const double half = std::tan(65.0 / 2.0 * kPi / 180.0);
    Shown s{};
    s.visible = z2 < 0.0;
    const double nx = zoom * x1 / -z2 / (half * aspect), ny = zoom * y2 / -z2 / half;
    s.u = 0.5 + 0.5 * nx;
    s.v = 0.5 - 0.5 * ny;
    return s;
}

// The full sphere seen from its centre (display 10): pan, tilt and zoom as a pinhole camera with
// the documented units would show them.
TEST_F(SdkPtzUnits, SphereFromInsideTurnsByHalfTurnsAndSeesSixtyFiveDegrees) {
    LensPort lens(QUORIX_MODEL_VR720, 320, 240);
    ASSERT_TRUE(lens.Ok());
    struct Case {
        float pan, tilt, zoom, x, y;
    };
    const Case cases[] = {
        {0.0f, 0.0f, 1.0f, 0.0f, 0.0f},    // the axis is the centre
        {0.0f, 0.0f, 1.0f, 0.5f, 0.12f},   // 21.6 degrees up
        {0.0f, 0.0f, 1.0f, 0.0f, 0.15f},   // 27 degrees to the side
        {0.0f, 0.0f, 2.0f, 0.5f, 0.12f},   // zoom 2 doubles the tangent
        {0.5f, 0.0f, 1.0f, 0.0f, 0.5f},    // a quarter turn brings the side to the centre
        {-0.5f, 0.0f, 1.0f, 1.0f, 0.5f},   // and the other side the other way
        {0.25f, 0.0f, 1.0f, 0.0f, 0.38f},  // 45 degrees of pan
        {0.0f, 0.1f, 1.0f, 0.0f, 0.0f},    // tilt 0.1 looks 18 degrees down: the axis rises
        {0.0f, -0.1f, 1.0f, 0.0f, 0.0f},   // and the other way
        {0.1f, 0.05f, 1.5f, 0.3f, 0.1f},   // all at once
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "pan " << c.pan << " tilt " << c.tilt << " zoom "
                                          << c.zoom << " point " << c.x << "," << c.y);
        float u = 0.0f, v = 0.0f;
        ASSERT_TRUE(lens.Project(QUORIX_DISPLAY_VR, c.pan, c.tilt, c.zoom, c.x, c.y, &u, &v));
        const Shown want = Pinhole(c.x, c.y, c.pan, c.tilt, c.zoom, lens.Aspect());
        ASSERT_TRUE(want.visible);
        EXPECT_NEAR(want.u, u, 0.004);
        EXPECT_NEAR(want.v, v, 0.004);
    }
    // Positive tilt looks down: the point on the axis moves up in the region (y runs down).
    float u = 0.0f, v = 0.0f;
    ASSERT_TRUE(lens.Project(QUORIX_DISPLAY_VR, 0.0f, 0.1f, 1.0f, 0.0f, 0.0f, &u, &v));
    EXPECT_LT(v, 0.5f);
}

// The 360-degree panorama of a fisheye lens spans a whole turn across the region's width: a lens
// point moves by a quarter of the width for a pan of 0.5 and by half of it for a pan of 1.
TEST_F(SdkPtzUnits, PanoramaPanMovesAQuarterWidthPerQuarterTurn) {
    LensPort lens(QUORIX_MODEL_FISHEYE, 640, 160);
    ASSERT_TRUE(lens.Ok());
    auto wrapped = [](double d) { return d - std::floor(d + 0.5); };  // into [-0.5, 0.5)
    for (const float y : {0.2f, 0.35f}) {
        for (const float x : {-0.6f, 0.1f, 0.45f}) {
            SCOPED_TRACE(::testing::Message() << "point " << x << "," << y);
            float u0 = 0.0f, v0 = 0.0f;
            ASSERT_TRUE(lens.Project(QUORIX_DISPLAY_PLANE360, 0.0f, 0.0f, 1.0f, x, y, &u0, &v0));
            // Two lens points a quarter turn apart in azimuth lie a quarter width apart.
            float u90 = 0.0f, v90 = 0.0f;
            ASSERT_TRUE(
                lens.Project(QUORIX_DISPLAY_PLANE360, 0.0f, 0.0f, 1.0f, x + 0.5f, y, &u90, &v90));
            EXPECT_NEAR(0.25, std::fabs(wrapped(u90 - u0)), 0.005);
            EXPECT_NEAR(v0, v90, 0.005);
            for (const float pan : {0.5f, 1.0f, -0.5f}) {
                float u = 0.0f, v = 0.0f;
                ASSERT_TRUE(lens.Project(QUORIX_DISPLAY_PLANE360, pan, 0.0f, 1.0f, x, y, &u, &v));
                EXPECT_NEAR(std::fabs(pan) / 2.0, std::fabs(wrapped(u - u0)), 0.005)
                    << "pan " << pan;
                EXPECT_NEAR(v0, v, 0.005) << "pan " << pan;
            }
        }
    }
}

// The flat half panorama: zoom magnifies around the centre, and tilt 1 would bring the zoomed
// picture's edge to the region's centre (positive tilt showing what lies further down).
TEST_F(SdkPtzUnits, FlatViewZoomsAroundTheCentreAndTiltsByHalfThePicture) {
    LensPort lens(QUORIX_MODEL_FISHEYE, 320, 240);
    ASSERT_TRUE(lens.Ok());
    const std::array<std::array<float, 2>, 3> points{{{0.3f, 0.3f}, {-0.2f, 0.25f}, {0.1f, 0.4f}}};
    for (const auto& p : points) {
        SCOPED_TRACE(::testing::Message() << "point " << p[0] << "," << p[1]);
        float u1 = 0.0f, v1 = 0.0f, u2 = 0.0f, v2 = 0.0f, ut = 0.0f, vt = 0.0f;
        ASSERT_TRUE(lens.Project(QUORIX_DISPLAY_PLANE180, 0.0f, 0.0f, 1.0f, p[0], p[1], &u1, &v1));
        ASSERT_TRUE(lens.Project(QUORIX_DISPLAY_PLANE180, 0.0f, 0.0f, 2.0f, p[0], p[1], &u2, &v2));
        EXPECT_NEAR(0.5 + 2.0 * (u1 - 0.5), u2, 0.004);
        EXPECT_NEAR(0.5 + 2.0 * (v1 - 0.5), v2, 0.004);
        // At zoom 2 the picture is twice the region's height: tilt 0.5 moves it up by half the
        // region (a quarter of the zoomed picture's height, half of its half).
        ASSERT_TRUE(lens.Project(QUORIX_DISPLAY_PLANE180, 0.0f, 0.5f, 2.0f, p[0], p[1], &ut, &vt));
        EXPECT_NEAR(u2, ut, 0.004);
        EXPECT_NEAR(v2 - 0.5, vt, 0.004);
    }
}

// ---------------------------------------------------------------------------------------------
// Display types per model

std::string ReadHeader(const char* name) {
    std::ifstream file(std::string(QUORIX_TEST_INCLUDE_DIR) + "/" + name);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The header's table of display types: model number -> list, read from its lines
// "QUORIX_MODEL_X (n), _Y (m) ...   a, b, c".
std::vector<std::pair<int32_t, std::vector<uint32_t>>> DocumentedDisplayTypes() {
    const std::string header = ReadHeader("quorixsdk.h");
    const size_t begin = header.find("Display types per render model");
    const size_t end = header.find("With two or more cameras", begin);
    std::vector<std::pair<int32_t, std::vector<uint32_t>>> table;
    if (begin == std::string::npos || end == std::string::npos)
        return table;
    std::istringstream lines(header.substr(begin, end - begin));
    const std::regex row(R"(^ \*   (QUORIX_MODEL_\w+ \(\d\).*?)\s{2,}([\d, ]+)$)");
    const std::regex model(R"(\((\d)\))");
    const std::regex number(R"(\d+)");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, row))
            continue;
        std::vector<uint32_t> types;
        const std::string list = m[2];
        for (auto it = std::sregex_iterator(list.begin(), list.end(), number);
             it != std::sregex_iterator(); ++it)
            types.push_back(static_cast<uint32_t>(std::stoul(it->str())));
        const std::string models = m[1];
        for (auto it = std::sregex_iterator(models.begin(), models.end(), model);
             it != std::sregex_iterator(); ++it)
            table.emplace_back(std::stoi((*it)[1]), types);
    }
    return table;
}

std::vector<uint32_t> AnsweredDisplayTypes(int32_t model) {
    std::vector<uint32_t> types;
    uint16_t port = 0;
    if (QUORIX_GetPort(&port) != QUORIX_OK)
        return types;
    const QUORIX_RECT rect{0, 0, 160, 120};
    uint32_t list[32] = {};
    int32_t count = 32;
    uint32_t first = 0xFFFF;
    if (QUORIX_SetDisplayRegion(port, 0, &rect, 1) == QUORIX_OK &&
        QUORIX_OpenStream(port, model, nullptr, 0, nullptr, 0) == QUORIX_OK &&
        QUORIX_GetSupportedDisplayTypeList(port, list, &count) == QUORIX_OK &&
        QUORIX_GetCurrentDisplayType(port, 0, &first) == QUORIX_OK) {
        types.assign(list, list + count);
        types.push_back(first);  // the region's starting type last
    }
    QUORIX_FreePort(port);
    return types;
}

// Every model's list is the header's, in its order, and a region starts with its first type,
// on the OpenGL renderer and on the software display's CPU de-warp alike.
TEST(SdkDisplayTypes, EachModelAnswersTheDocumentedList) {
    unsetenv("DISPLAY");
    const auto table = DocumentedDisplayTypes();
    ASSERT_EQ(6u, table.size()) << "models 1 to 6 in the table";
    for (const char* cpu : {"0", "1"}) {
        setenv("QUORIX_CPU_DEWARP", cpu, 1);
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
        for (const auto& [model, documented] : table) {
            SCOPED_TRACE(::testing::Message() << "model " << model << " CPU de-warp " << cpu);
            std::vector<uint32_t> answered = AnsweredDisplayTypes(model);
            ASSERT_FALSE(answered.empty());
            const uint32_t first = answered.back();
            answered.pop_back();
            EXPECT_EQ(answered, documented) << ::testing::PrintToString(answered);
            EXPECT_EQ(documented.front(), first);
        }
        EXPECT_EQ(std::vector<uint32_t>({0u, 0u}), AnsweredDisplayTypes(QUORIX_MODEL_FROM_PARAMS))
            << "model 0 without a parameter block shows the picture as it is";
        QUORIX_ReleaseSDK();
    }
}

// ---------------------------------------------------------------------------------------------
// Region origin in the window

// A window of the test X server and its pixels as the server has them.
class ScreenWindow {
public:
    ScreenWindow(uint16_t width, uint16_t height) {
        int screenNumber = 0;
        m_c = xcb_connect(gltest::TestDisplay().c_str(), &screenNumber);
        if (xcb_connection_has_error(m_c) != 0)
            return;
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_c));
        for (int i = 0; i < screenNumber; ++i)
            xcb_screen_next(&it);
        xcb_screen_t* screen = it.data;
        m_window = xcb_generate_id(m_c);
        // Other test processes draw windows on the same server: a backing store keeps what is
        // under them readable.
        const uint32_t values[] = {screen->black_pixel, XCB_BACKING_STORE_ALWAYS,
                                   XCB_EVENT_MASK_STRUCTURE_NOTIFY};
        xcb_create_window(m_c, XCB_COPY_FROM_PARENT, m_window, screen->root, 0, 0, width, height, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_BACKING_STORE | XCB_CW_EVENT_MASK, values);
        xcb_map_window(m_c, m_window);
        xcb_flush(m_c);
        while (xcb_generic_event_t* e = xcb_wait_for_event(m_c)) {
            const bool mapped = (e->response_type & 0x7F) == XCB_MAP_NOTIFY;
            std::free(e);
            if (mapped)
                break;
        }
    }
    ~ScreenWindow() {
        if (m_c == nullptr)
            return;
        if (m_window != 0)
            xcb_destroy_window(m_c, m_window);
        xcb_flush(m_c);
        xcb_disconnect(m_c);
    }
    bool Ok() const { return m_c != nullptr && xcb_connection_has_error(m_c) == 0 && m_window; }
    uintptr_t Window() const { return m_window; }

    // R, G, B of one pixel, x from the left and y from the top, as X counts.
    std::array<uint8_t, 3> Pixel(int16_t x, int16_t y) {
        return gltest::WindowPixel(m_c, m_window, x, y);
    }

private:
    xcb_connection_t* m_c = nullptr;
    uint32_t m_window = 0;
};

// Region 0 at {0, 0, 100, 100} of a 200 x 200 window shows a blue picture; the documented origin
// says which quarter of the window (X counts y from the top) it lands in.
void ExpectRegionInQuarter(bool software, bool lowerLeft) {
    if (gltest::TestDisplay().empty())
        GTEST_SKIP() << "QUORIX_TEST_DISPLAY not set";
    setenv("DISPLAY", gltest::TestDisplay().c_str(), 1);
    if (software)
        QUORIX_SetRenderMode(1);
    ScreenWindow window(200, 200);
    ASSERT_TRUE(window.Ok());
    ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    const QUORIX_RECT quarter{0, 0, 100, 100};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(port, 0, &quarter, 1));
    viewtest::DrawProbe frames;
    frames.readBack = false;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(port, 0, &viewtest::DrawProbe::Callback, &frames));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRatioType(port, 0, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(port, window.Window(), nullptr, 0));
    auto blue =
        viewtest::FlatRecords(64, 64, viewtest::kBlue.y, viewtest::kBlue.u, viewtest::kBlue.v, 1);
    ASSERT_EQ(1u, blue.size());
    // X counts y from the top: the lower-left quarter's centre is (50, 150).
    const int16_t shownY = lowerLeft ? 150 : 50, otherY = lowerLeft ? 50 : 150;
    const struct {
        int16_t x, y;
        bool blue;
    } points[] = {{50, shownY, true}, {50, otherY, false}, {150, 50, false}, {150, 150, false}};
    bool shown = false;
    std::string seen;
    // Each pushed picture is drawn once more: the window is read after each drawing until it
    // is complete.
    for (uint32_t n = 0; n < 100 && !shown; ++n) {
        std::vector<uint8_t> record = blue[0];
        for (int i = 0; i < 4; ++i) {
            record[4 + i] = static_cast<uint8_t>(n >> (8 * i));
            record[8 + i] = static_cast<uint8_t>((1000 + 40 * n) >> (8 * i));
        }
        ASSERT_EQ(QUORIX_OK, QUORIX_InputStreamData(port, record.data(),
                                                    static_cast<uint32_t>(record.size())));
        ASSERT_TRUE(frames.WaitGood(static_cast<int>(n) + 1));
        shown = true;
        seen.clear();
        for (const auto& p : points) {
            const auto rgb = window.Pixel(p.x, p.y);
            shown = shown && viewtest::IsBlue(rgb.data()) == p.blue;
            seen += "(" + std::to_string(p.x) + "," + std::to_string(p.y) +
                    ")=" + std::to_string(rgb[0]) + "/" + std::to_string(rgb[1]) + "/" +
                    std::to_string(rgb[2]) + " ";
        }
    }
    EXPECT_TRUE(shown) << seen;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDrawCallback(port, 0, nullptr, nullptr));
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
    QUORIX_ReleaseSDK();
}

// The OpenGL renderer counts a region's top from the bottom of the window.
TEST(SdkRegionOrigin, OpenGlCountsFromTheBottomOfTheWindow) {
    ExpectRegionInQuarter(false, true);
}

// The software display counts it from the top. (The render mode holds for the whole process:
// each test of this suite runs in a process of its own.)
TEST(SdkRegionOrigin, SoftwareDisplayCountsFromTheTopOfTheWindow) {
    ExpectRegionInQuarter(true, false);
}

}  // namespace
