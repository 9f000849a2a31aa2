// The perspective view of a lens (display type 10 of the fisheye and hemisphere models) through
// the public interface, on the OpenGL renderer and on the CPU de-warp, against libavfilter's
// v360 as the outside oracle.
//
// A known equirectangular scene (a gently textured grey world with the horizon and a meridian
// every 30 degrees drawn as dark lines) is turned by v360 into the picture of an equidistant
// 180-degree lens hanging from the ceiling (pitch -90), on a wall (pitch 0) or lying on a desk
// (pitch 90). A port plays that picture with the mount in its parameter block. Whatever the
// mount, pan p and tilt t look in the world at yaw -180 p and pitch -180 t (pan + turns left,
// tilt + down), with v360's upright pinhole of the same fields of view as the answer: the scene
// itself, taken straight to a flat view by v360, is what the port must show.

#include <gtest/gtest.h>
#include <quorixsdk.h>
#include <stdlib.h>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "media/hmfformat.h"
#include "support/capture_support.h"
#include "support/filter_graph.h"
#include "support/media_encoder.h"

using namespace capturetest;

namespace {

constexpr int kSceneW = 2048, kSceneH = 1024;  // equirectangular, 5.7 pixels a degree
constexpr int kLens = 1024;                    // the lens picture, circle of radius 512
constexpr int kViewW = 320, kViewH = 240;
constexpr uint32_t kRetryMs = 30000;
const double kHalfFovTan = std::tan(0.567232);  // half of the 65-degree view at zoom 1
constexpr double kMarginDegrees = 0.5;          // the view's edge stays this far inside the rim
constexpr double kDeg = M_PI / 180.0;

enum Mount : uint8_t { kCeiling = 0, kWall = 1, kDesk = 2 };
const char* const kMountNames[] = {"ceiling", "wall", "desk"};

struct Yuv {
    int w = 0, h = 0;
    std::vector<uint8_t> y, u, v;
};

// Dark lines along great circles (the horizon and the meridians every 30 degrees), which a
// rectilinear view shows as straight lines, over a slow texture.
Yuv Scene() {
    Yuv s;
    s.w = kSceneW;
    s.h = kSceneH;
    s.y.resize(size_t(s.w) * s.h);
    s.u.assign(size_t(s.w / 2) * (s.h / 2), 128);
    s.v.assign(s.u.size(), 128);
    const double sigma = 0.6;  // degrees
    for (int j = 0; j < s.h; ++j) {
        const double lat = (0.5 - (j + 0.5) / s.h) * 180.0;
        for (int i = 0; i < s.w; ++i) {
            const double lon = ((i + 0.5) / s.w - 0.5) * 360.0;
            double line = std::exp(-lat * lat / (2 * sigma * sigma));
            for (int k = -6; k < 6; ++k) {
                // Angular distance to the meridian at 30 k degrees.
                const double d =
                    std::asin(std::fabs(std::cos(lat * kDeg) * std::sin((lon - 30.0 * k) * kDeg))) /
                    kDeg;
                const bool nearSide = std::cos((lon - 30.0 * k) * kDeg) > 0.0;
                if (nearSide)
                    line = std::max(line, std::exp(-d * d / (2 * sigma * sigma)));
            }
            const double bg = 150.0 + 25.0 * std::sin(3 * lon * kDeg) * std::cos(2 * lat * kDeg) +
                              15.0 * std::sin((5 * lon + 3 * lat) * kDeg);
            s.y[size_t(j) * s.w + i] =
                static_cast<uint8_t>(std::clamp(std::lround(bg - 110.0 * line), 16L, 235L));
        }
    }
    return s;
}

// Runs a filter chain on a 4:2:0 picture and returns the 4:2:0 result of w x h.
Yuv RunFilter(const Yuv& in, const std::string& filters, int w, int h) {
    Yuv out;
    AVFrame* result = filtertest::FilterPicture(in.w, in.h, in.y.data(), in.u.data(), in.v.data(),
                                                filters + ",format=yuv420p", w, h);
    if (result == nullptr)
        return out;
    out.w = w;
    out.h = h;
    out.y.resize(size_t(w) * h);
    out.u.resize(size_t(w / 2) * (h / 2));
    out.v.resize(out.u.size());
    for (int r = 0; r < h; ++r)
        std::memcpy(&out.y[size_t(r) * w], result->data[0] + r * result->linesize[0], w);
    for (int r = 0; r < h / 2; ++r) {
        std::memcpy(&out.u[size_t(r) * (w / 2)], result->data[1] + r * result->linesize[1], w / 2);
        std::memcpy(&out.v[size_t(r) * (w / 2)], result->data[2] + r * result->linesize[2], w / 2);
    }
    av_frame_free(&result);
    return out;
}

// The lens picture of the scene for a mount, with everything beyond the lens circle painted
// in a strong colour that the grey scene never has.
Yuv LensPicture(const Yuv& scene, Mount mount) {
    const int pitch = mount == kCeiling ? -90 : (mount == kDesk ? 90 : 0);
    char filter[256];
    std::snprintf(filter, sizeof filter,
                  "v360=input=e:output=fisheye:h_fov=180:v_fov=180:pitch=%d:w=%d:h=%d:"
                  "interp=linear",
                  pitch, kLens, kLens);
    Yuv lens = RunFilter(scene, filter, kLens, kLens);
    if (lens.w == 0)
        return lens;
    const double c = kLens / 2.0;
    for (int j = 0; j < kLens / 2; ++j)
        for (int i = 0; i < kLens / 2; ++i) {
            // The chroma sample covers luma pixels 2i, 2i + 1: paint it where any of them is out.
            const double dx = std::fabs(2.0 * i + 1.0 - c) + 1.0,
                         dy = std::fabs(2.0 * j + 1.0 - c) + 1.0;
            if (std::hypot(dx, dy) > c) {
                lens.u[size_t(j) * (kLens / 2) + i] = 240;
                lens.v[size_t(j) * (kLens / 2) + i] = 240;
            }
        }
    for (int j = 0; j < kLens; ++j)
        for (int i = 0; i < kLens; ++i)
            if (std::hypot(i + 0.5 - c, j + 0.5 - c) > c)
                lens.y[size_t(j) * kLens + i] = 120;
    return lens;
}

std::vector<std::vector<uint8_t>> Records(const Yuv& lens) {
    quorix_test::Picture picture;
    picture.width = lens.w;
    picture.height = lens.h;
    picture.planes[0] = lens.y;
    picture.planes[1] = lens.u;
    picture.planes[2] = lens.v;
    quorix_test::VideoEncodeOptions options;
    options.width = lens.w;
    options.height = lens.h;
    options.frames = 2;
    options.quality = 8;
    options.gop = 2;
    const auto packets =
        quorix_test::EncodePictures(options, std::vector<quorix_test::Picture>(2, picture));
    std::vector<std::vector<uint8_t>> records;
    for (size_t i = 0; i < packets.size(); ++i)
        records.push_back(Record(packets[i].key ? BRIXEL::HMF_KIND_KEY : BRIXEL::HMF_KIND_DELTA,
                                 static_cast<uint32_t>(i), static_cast<uint32_t>(1000 + i * 40), 1,
                                 static_cast<uint16_t>(lens.w), static_cast<uint16_t>(lens.h),
                                 packets[i].data));
    return records;
}

// The renderer parameter block of one fisheye camera with the default lens matrix and a mount
// in header bytes 80..83.
std::vector<uint8_t> ModelData(int32_t model, Mount mount, bool tagged = true) {
    std::vector<uint8_t> block(88 + 200, 0);
    const uint32_t size = static_cast<uint32_t>(block.size()), type = static_cast<uint32_t>(model);
    const int32_t cameras = 1;
    std::memcpy(block.data(), "SPH", 4);
    std::memcpy(block.data() + 4, &size, 4);
    std::memcpy(block.data() + 8, &type, 4);
    std::memcpy(block.data() + 12, &cameras, 4);
    if (tagged) {
        const uint8_t tag[4] = {'M', 'N', 'T', mount};
        std::memcpy(block.data() + QUORIX_MOUNT_OFFSET, tag, 4);
    }
    const float K[9] = {1, 0, 0.5f, 0, 1, 0.5f, 0, 0, 1};
    std::memcpy(block.data() + 88, K, sizeof K);
    return block;
}

// A port playing the lens picture in region 0 of kViewW x kViewH, on the renderer that the
// initialisation chose.
class LensPort {
public:
    LensPort(const std::vector<uint8_t>& block, const std::vector<std::vector<uint8_t>>& records) {
        const uint32_t got = QUORIX_GetPort(&m_port);
        if (got != QUORIX_OK) {
            m_port = 0xFFFF;
            m_error = "GetPort " + std::to_string(got);
            return;
        }
        const QUORIX_RECT rect{0, 0, kViewW, kViewH};
        // Where nothing of the lens is drawn, a colour the grey scene never has.
        const uint32_t steps[] = {
            QUORIX_SetBackgroundColor(m_port, 0, 0x00FF00FF),
            QUORIX_SetDisplayRegion(m_port, 0, &rect, 1),
            QUORIX_OpenStream(m_port, QUORIX_MODEL_FROM_PARAMS, nullptr, 0, block.data(),
                              static_cast<uint32_t>(block.size())),
            QUORIX_Play(m_port, 0, nullptr, 0)};
        m_ok = records.size() > 0;
        for (size_t i = 0; i < std::size(steps); ++i) {
            if (steps[i] != QUORIX_OK && m_ok) {
                m_error = "step " + std::to_string(i) + ": " + std::to_string(steps[i]);
                m_ok = false;
            }
        }
        for (const auto& record : records) {
            const uint32_t rc = m_ok ? QUORIX_InputStreamData(m_port, record.data(),
                                                              static_cast<uint32_t>(record.size()))
                                     : QUORIX_OK;
            if (rc != QUORIX_OK) {
                m_error = "input " + std::to_string(rc);
                m_ok = false;
            }
        }
    }
    ~LensPort() {
        if (m_port != 0xFFFF)
            QUORIX_FreePort(m_port);
    }
    LensPort(const LensPort&) = delete;
    LensPort& operator=(const LensPort&) = delete;
    bool Ok() const { return m_ok; }
    const std::string& Error() const { return m_error; }
    uint16_t Port() const { return m_port; }

private:
    uint16_t m_port = 0xFFFF;
    bool m_ok = false;
    std::string m_error = "no records";
};

struct Rgb {
    int w = 0, h = 0;
    std::vector<uint8_t> bgr;  // top row first
    const uint8_t* At(int x, int y) const { return &bgr[(size_t(y) * w + x) * 3]; }
};

// A region capture once the port has a picture to show (captures time out before that).
bool Capture(uint16_t port, const std::string& path, Rgb* out) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRetryMs);
    uint32_t rc = QUORIX_E_TIMEOUT;
    while (rc == QUORIX_E_TIMEOUT && std::chrono::steady_clock::now() < until)
        rc = QUORIX_CaptureBmp(port, 0, path.c_str());
    if (rc != QUORIX_OK)
        return false;
    const BmpFile bmp = ReadBmp(path);
    if (!bmp.ok || bmp.bitCount != 24 || bmp.width <= 0 || bmp.height == 0)
        return false;
    out->w = bmp.width;
    out->h = std::abs(bmp.height);
    const size_t stride = (size_t(out->w) * 3 + 3) & ~size_t{3};
    out->bgr.resize(size_t(out->w) * out->h * 3);
    for (int y = 0; y < out->h; ++y) {
        const int row = bmp.height > 0 ? out->h - 1 - y : y;
        std::copy_n(bmp.bytes.begin() + bmp.dataOffset + row * stride, out->w * 3,
                    out->bgr.begin() + size_t(y) * out->w * 3);
    }
    return true;
}

// The renderer a port opened now gets is decided by the initialisation.
void Initialise(bool cpu) {
    QUORIX_ReleaseSDK();
    setenv("QUORIX_CPU_DEWARP", cpu ? "1" : "0", 1);
    const uint32_t rc = QUORIX_InitSDK();
    ASSERT_EQ(QUORIX_OK, rc);
}

struct Ptz {
    double pan, tilt, zoom;
};

// v360's upright pinhole of the scene looking at yaw -180 pan, pitch -180 tilt, with the
// fields of view of the zoom: its luma in full range, as a grey picture shows it.
std::vector<double> Reference(const Yuv& scene, const Ptz& v) {
    const double a = double(kViewW) / kViewH;
    const double vfov = 2.0 * std::atan(kHalfFovTan / v.zoom) / kDeg;
    const double hfov = 2.0 * std::atan(a * kHalfFovTan / v.zoom) / kDeg;
    char filter[256];
    std::snprintf(filter, sizeof filter,
                  "v360=input=e:output=flat:h_fov=%.6f:v_fov=%.6f:yaw=%.6f:pitch=%.6f:w=%d:h=%d:"
                  "interp=linear",
                  hfov, vfov, -v.pan * 180.0, -v.tilt * 180.0, kViewW, kViewH);
    const Yuv ref = RunFilter(scene, filter, kViewW, kViewH);
    std::vector<double> luma;
    for (uint8_t y : ref.y)
        luma.push_back(std::clamp((y - 16.0) * 255.0 / 219.0, 0.0, 255.0));
    return luma;
}

double PsnrLuma(const Rgb& ours, const std::vector<double>& ref) {
    double sum = 0.0;
    for (size_t p = 0; p < ref.size(); ++p) {
        const uint8_t* bgr = &ours.bgr[p * 3];
        const double luma = 0.299 * bgr[2] + 0.587 * bgr[1] + 0.114 * bgr[0];
        sum += (luma - ref[p]) * (luma - ref[p]);
    }
    const double mse = sum / static_cast<double>(ref.size());
    return mse > 0.0 ? 10.0 * std::log10(255.0 * 255.0 / mse) : 99.0;
}

// The lens direction the view's centre looks along, in the lens's own frame (x to the right of
// the picture, y to its top, -z along the axis), from the world direction (yaw -180 p, pitch
// -180 t) and how the mount holds the lens: the wall's lens frame is the world's; the ceiling's
// axis is the world's down with the picture's top towards yaw 0, the desk's axis the world's up
// with the picture's bottom towards yaw 0.
void LensDirection(Mount mount, const Ptz& v, double d[3]) {
    const double p = v.pan * M_PI, t = v.tilt * M_PI;
    // World: x right, y up, -z at yaw 0.
    const double wx = -std::sin(p) * std::cos(t), wy = -std::sin(t),
                 wz = -std::cos(p) * std::cos(t);
    if (mount == kWall) {
        d[0] = wx, d[1] = wy, d[2] = wz;
    } else if (mount == kCeiling) {
        d[0] = wx, d[1] = -wz, d[2] = wy;
    } else {
        d[0] = wx, d[1] = wz, d[2] = -wy;
    }
}

// The source coordinates (normalised pan/tilt) of a lens direction in the sphere views: the
// azimuth about the axis and the angle from it, in half turns.
void SourceOf(const double d[3], double* x, double* y) {
    const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    *x = std::atan2(d[1], d[0]) / M_PI;
    *y = std::acos(-d[2] / len) / M_PI;
}

struct Case {
    Mount mount;
    Ptz ptz;
};

const Case kCases[] = {
    {kCeiling, {0.0, 0.3, 1.0}}, {kCeiling, {0.3, 0.25, 1.6}}, {kCeiling, {-0.6, 0.45, 2.2}},
    {kWall, {0.0, 0.0, 1.0}},    {kWall, {0.15, -0.1, 1.6}},   {kWall, {-0.2, 0.15, 2.2}},
    {kDesk, {0.0, -0.3, 1.0}},   {kDesk, {0.3, -0.25, 1.6}},   {kDesk, {-0.6, -0.45, 2.2}},
};

class ViewPerspective : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_scene = new Yuv(Scene());
        for (int m = 0; m < 3; ++m) {
            const Yuv lens = LensPicture(*s_scene, static_cast<Mount>(m));
            s_records[m] = lens.w != 0 ? Records(lens) : std::vector<std::vector<uint8_t>>();
        }
    }
    static void TearDownTestSuite() {
        delete s_scene;
        s_scene = nullptr;
    }
    void SetUp() override {
        unsetenv("DISPLAY");
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
        ASSERT_FALSE(s_records[0].empty()) << "v360 or libx264 missing";
    }
    void TearDown() override { QUORIX_ReleaseSDK(); }

    static Yuv* s_scene;
    static std::vector<std::vector<uint8_t>> s_records[3];
    TempDir m_dir;
};
Yuv* ViewPerspective::s_scene = nullptr;
std::vector<std::vector<uint8_t>> ViewPerspective::s_records[3];

// The fisheye and hemisphere models offer the perspective view last, after what they offered
// before, so a region enabled without a display type still gets the sphere.
TEST_F(ViewPerspective, LensModelsOfferThePerspectiveViewLast) {
    for (bool cpu : {false, true}) {
        Initialise(cpu);
        for (int32_t model : {QUORIX_MODEL_FISHEYE, QUORIX_MODEL_VR360, QUORIX_MODEL_VR360_2}) {
            SCOPED_TRACE(std::string(cpu ? "cpu" : "gl") + " model " + std::to_string(model));
            LensPort port(ModelData(model, kCeiling), s_records[kCeiling]);
            ASSERT_TRUE(port.Ok()) << port.Error();
            uint32_t types[16] = {};
            int32_t count = 16;
            ASSERT_EQ(QUORIX_OK, QUORIX_GetSupportedDisplayTypeList(port.Port(), types, &count));
            const std::vector<uint32_t> want = {QUORIX_DISPLAY_SPHERE, QUORIX_DISPLAY_PLANE180,
                                                QUORIX_DISPLAY_PLANE360, QUORIX_DISPLAY_PLANE,
                                                QUORIX_DISPLAY_VR};
            EXPECT_EQ(want, std::vector<uint32_t>(types, types + count));
            uint32_t type = 99;
            ASSERT_EQ(QUORIX_OK, QUORIX_GetCurrentDisplayType(port.Port(), 0, &type));
            EXPECT_EQ(QUORIX_DISPLAY_SPHERE, type);
            EXPECT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(port.Port(), 0, QUORIX_DISPLAY_VR));
        }
    }
}

// Every mount at several pans, tilts and zooms matches v360's pinhole of the scene, on both
// renderers; the table goes to the output.
TEST_F(ViewPerspective, ViewsMatchV360OnBothRenderers) {
    struct Row {
        std::string name;
        double psnr[2];
    };
    std::vector<Row> rows;
    for (const Case& c : kCases) {
        char name[96];
        std::snprintf(name, sizeof name, "%-7s pan %5.2f tilt %5.2f zoom %.1f",
                      kMountNames[c.mount], c.ptz.pan, c.ptz.tilt, c.ptz.zoom);
        rows.push_back({name, {0.0, 0.0}});
    }
    for (int r = 0; r < 2; ++r) {
        const bool cpu = r == 1;
        Initialise(cpu);
        for (int m = 0; m < 3; ++m) {
            LensPort port(ModelData(QUORIX_MODEL_FISHEYE, static_cast<Mount>(m)), s_records[m]);
            ASSERT_TRUE(port.Ok()) << port.Error();
            ASSERT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(port.Port(), 0, QUORIX_DISPLAY_VR));
            for (size_t i = 0; i < std::size(kCases); ++i) {
                const Case& c = kCases[i];
                if (c.mount != m)
                    continue;
                SCOPED_TRACE(rows[i].name + (cpu ? " cpu" : " gl"));
                ASSERT_EQ(QUORIX_OK,
                          QUORIX_SetPTZPosition(port.Port(), 0, static_cast<float>(c.ptz.pan),
                                                static_cast<float>(c.ptz.tilt),
                                                static_cast<float>(c.ptz.zoom)));
                Rgb ours;
                ASSERT_TRUE(Capture(port.Port(), m_dir.Path("view.bmp"), &ours));
                ASSERT_EQ(kViewW, ours.w);
                ASSERT_EQ(kViewH, ours.h);
                // Inside the limits: the view is kept as asked.
                float pan = 9, tilt = 9, zoom = 9;
                ASSERT_EQ(QUORIX_OK, QUORIX_GetPTZPosition(port.Port(), 0, &pan, &tilt, &zoom));
                EXPECT_FLOAT_EQ(static_cast<float>(c.ptz.pan), pan);
                EXPECT_FLOAT_EQ(static_cast<float>(c.ptz.tilt), tilt);
                EXPECT_FLOAT_EQ(static_cast<float>(c.ptz.zoom), zoom);
                rows[i].psnr[r] = PsnrLuma(ours, Reference(*s_scene, c.ptz));
                EXPECT_GE(rows[i].psnr[r], 30.0);
            }
        }
    }
    std::printf("perspective view against v360 (luma PSNR, dB)\n");
    std::printf("%-40s %8s %8s\n", "case", "OpenGL", "CPU");
    for (const Row& row : rows)
        std::printf("%-40s %8.1f %8.1f\n", row.name.c_str(), row.psnr[0], row.psnr[1]);
}

// Centroid positions of a dark line crossing a run of pixels (x across, or y down), weighted by
// how much darker than the surrounding texture each pixel is; NaN when nothing dark is there.
double DarkCentroid(const Rgb& im, int fixed, int from, int to, bool alongRow) {
    double sum = 0.0, weighted = 0.0;
    for (int k = std::max(from, 0); k <= std::min(to, (alongRow ? im.w : im.h) - 1); ++k) {
        const uint8_t* p = alongRow ? im.At(k, fixed) : im.At(fixed, k);
        const double w = std::max(0.0, 100.0 - p[1]);
        sum += w;
        weighted += w * k;
    }
    return sum > 200.0 ? weighted / sum : std::nan("");
}

// Least-squares line a + b s through (s, c) pairs; the largest distance of a point from it
// along c.
double LineResidual(const std::vector<std::pair<double, double>>& pts) {
    double n = 0, ss = 0, sc = 0, sss = 0, ssc = 0;
    for (const auto& [s, c] : pts) {
        n += 1;
        ss += s;
        sc += c;
        sss += s * s;
        ssc += s * c;
    }
    const double b = (n * ssc - ss * sc) / (n * sss - ss * ss), a = (sc - b * ss) / n;
    double worst = 0.0;
    for (const auto& [s, c] : pts)
        worst = std::max(worst, std::fabs(c - (a + b * s)));
    return worst;
}

// Straight lines of the scene stay straight: a meridian (slanted, since the view looks down)
// and the horizon, traced row by row and column by column, lie on fitted lines to within a
// pixel. The 180-degree panorama of the same picture bends the meridian, which the same check
// catches.
TEST_F(ViewPerspective, StraightLinesStayStraight) {
    for (bool cpu : {false, true}) {
        Initialise(cpu);
        SCOPED_TRACE(cpu ? "cpu" : "gl");
        LensPort port(ModelData(QUORIX_MODEL_FISHEYE, kWall), s_records[kWall]);
        ASSERT_TRUE(port.Ok()) << port.Error();
        ASSERT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(port.Port(), 0, QUORIX_DISPLAY_VR));
        // Yaw -9 degrees, pitch -18: the meridian at yaw 0 crosses right of the centre, the
        // horizon runs above it.
        ASSERT_EQ(QUORIX_OK, QUORIX_SetPTZPosition(port.Port(), 0, 0.05f, 0.1f, 1.0f));
        Rgb im;
        ASSERT_TRUE(Capture(port.Port(), m_dir.Path("lines.bmp"), &im));
        ASSERT_EQ(kViewW, im.w);
        // The meridian: start at the row through the centre and follow it up and down.
        std::vector<std::pair<double, double>> meridian, horizon;
        const double fx = (kViewW / 2.0) / (double(kViewW) / kViewH * kHalfFovTan);  // pixels/unit
        const double x0 = kViewW / 2.0 - 0.5 + fx * std::tan(9.0 * kDeg) / std::cos(18.0 * kDeg);
        double x = DarkCentroid(im, kViewH / 2, int(x0) - 12, int(x0) + 12, true);
        ASSERT_FALSE(std::isnan(x)) << "no meridian near column " << x0;
        for (int y = kViewH / 2; y < kViewH - 4; ++y) {
            const double c = DarkCentroid(im, y, int(x) - 8, int(x) + 8, true);
            if (std::isnan(c))
                break;
            meridian.emplace_back(y, c);
            x = c;
        }
        x = meridian.front().second;
        for (int y = kViewH / 2 - 1; y > 70; --y) {  // below the horizon crossing
            const double c = DarkCentroid(im, y, int(x) - 8, int(x) + 8, true);
            if (std::isnan(c))
                break;
            meridian.emplace_back(y, c);
            x = c;
        }
        ASSERT_GE(meridian.size(), 100u);
        EXPECT_LE(LineResidual(meridian), 1.0) << "the meridian is bent";
        // The horizon, 18 degrees above the centre, away from the meridian's crossing.
        const double y0 = kViewH / 2.0 - 0.5 - (kViewH / 2.0 / kHalfFovTan) * std::tan(18.0 * kDeg);
        for (int col = 4; col < kViewW - 4; ++col) {
            // Not where a meridian crosses the run.
            if (im.At(col, int(y0) - 14)[1] < 100 || im.At(col, int(y0) + 14)[1] < 100)
                continue;
            const double c = DarkCentroid(im, col, int(y0) - 14, int(y0) + 14, false);
            if (!std::isnan(c))
                horizon.emplace_back(col, c);
        }
        ASSERT_GE(horizon.size(), 150u);
        EXPECT_LE(LineResidual(horizon), 1.0) << "the horizon is bent";
        std::printf("%s: meridian %zu rows, worst %.2f px; horizon %zu columns, worst %.2f px\n",
                    cpu ? "cpu" : "gl", meridian.size(), LineResidual(meridian), horizon.size(),
                    LineResidual(horizon));
    }
}

// The limits keep the view inside the lens circle for every mount and zoom: after asking for
// views far beyond the rim, the stored view lies on the boundary that an independent formula
// gives, and no pixel of the capture shows the colour painted beyond the circle.
TEST_F(ViewPerspective, PtzIsLimitedToTheLensCircle) {
    const double a = double(kViewW) / kViewH;
    const double sinMargin = std::sin(kMarginDegrees * kDeg);
    for (bool cpu : {false, true}) {
        Initialise(cpu);
        for (int m = 0; m < 3; ++m) {
            const Mount mount = static_cast<Mount>(m);
            LensPort port(ModelData(QUORIX_MODEL_FISHEYE, mount), s_records[m]);
            ASSERT_TRUE(port.Ok()) << port.Error();
            ASSERT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(port.Port(), 0, QUORIX_DISPLAY_VR));
            for (double zoom : {0.01, 1.0, 2.5}) {
                // Towards and beyond the horizon, and for the wall far to the side too.
                const Ptz asked = mount == kCeiling ? Ptz{0.35, -0.2, zoom}
                                  : mount == kDesk  ? Ptz{-0.7, 0.2, zoom}
                                                    : Ptz{0.45, 0.35, zoom};
                SCOPED_TRACE(std::string(cpu ? "cpu " : "gl ") + kMountNames[m] + " zoom " +
                             std::to_string(zoom));
                ASSERT_EQ(QUORIX_OK, QUORIX_SetPTZPosition(
                                         port.Port(), 0, static_cast<float>(asked.pan),
                                         static_cast<float>(asked.tilt), static_cast<float>(zoom)));
                Rgb im;
                ASSERT_TRUE(Capture(port.Port(), m_dir.Path("limit.bmp"), &im));
                float pan = 9, tilt = 9, z = 9;
                ASSERT_EQ(QUORIX_OK, QUORIX_GetPTZPosition(port.Port(), 0, &pan, &tilt, &z));
                // The widest view spans 160 degrees across its diagonal.
                const double zMin = kHalfFovTan * std::sqrt(a * a + 1.0) / std::tan(80.0 * kDeg);
                EXPECT_NEAR(std::max(zoom, zMin), z, 1e-4);
                const double H = a * kHalfFovTan / z, V = kHalfFovTan / z;
                const double corner = std::sqrt(H * H + V * V + 1.0);
                if (mount == kWall) {
                    // Tilt first: the view straight ahead tilted until its top edge's corners
                    // are the margin inside the rim, cos T - V sin T = sin m |corner|.
                    const double tMax =
                        (std::acos(sinMargin * corner / std::sqrt(1.0 + V * V)) - std::atan(V)) /
                        M_PI;
                    EXPECT_NEAR(std::min(std::fabs(asked.tilt), tMax), tilt, 1e-4);
                    // Then the pan at that tilt: cos P (cos T - V |sin T|) - H |sin P| =
                    // sin m |corner|.
                    const double Tk = std::fabs(tilt) * M_PI;
                    const double A = std::cos(Tk) - V * std::sin(Tk);
                    // A cos P - H sin P = R cos(P + phi) with R = hypot(A, H), phi = atan2(H, A).
                    const double pMax =
                        (std::acos(sinMargin * corner / std::hypot(A, H)) - std::atan2(H, A)) /
                        M_PI;
                    EXPECT_NEAR(std::min(asked.pan, pMax), pan, 1e-4);
                } else {
                    // Ceiling and desk: the angle from the axis to the view's centre at most
                    // acos(sin m |corner| / sqrt(1 + V^2)) - atan V.
                    const double reach =
                        (std::acos(sinMargin * corner / std::sqrt(1.0 + V * V)) - std::atan(V)) /
                        M_PI;
                    if (mount == kCeiling)
                        EXPECT_NEAR(0.5 - reach, tilt, 1e-4);
                    else
                        EXPECT_NEAR(-0.5 + reach, tilt, 1e-4);
                    EXPECT_NEAR(asked.pan, pan, 1e-6);
                }
                int coloured = 0;
                for (int y = 0; y < im.h; ++y)
                    for (int x = 0; x < im.w; ++x) {
                        const uint8_t* p = im.At(x, y);
                        if (std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]}) > 60)
                            ++coloured;
                    }
                EXPECT_EQ(0, coloured) << "pixels from beyond the lens circle";
            }
        }
    }
}

// Project and UnProject of the perspective view: the view's centre is the lens direction that
// pan and tilt look along (by the mount's own geometry), points go to the source and back, and
// a flipped view mirrors them and its picture.
TEST_F(ViewPerspective, ProjectAndUnprojectFollowTheView) {
    for (bool cpu : {false, true}) {
        Initialise(cpu);
        for (const Case& c : kCases) {
            SCOPED_TRACE(std::string(cpu ? "cpu " : "gl ") + kMountNames[c.mount] + " pan " +
                         std::to_string(c.ptz.pan) + " tilt " + std::to_string(c.ptz.tilt));
            LensPort port(ModelData(QUORIX_MODEL_FISHEYE, c.mount), s_records[c.mount]);
            ASSERT_TRUE(port.Ok()) << port.Error();
            ASSERT_EQ(QUORIX_OK, QUORIX_SetCurrentDisplayType(port.Port(), 0, QUORIX_DISPLAY_VR));
            ASSERT_EQ(QUORIX_OK,
                      QUORIX_SetPTZPosition(port.Port(), 0, static_cast<float>(c.ptz.pan),
                                            static_cast<float>(c.ptz.tilt),
                                            static_cast<float>(c.ptz.zoom)));
            Rgb im;
            ASSERT_TRUE(Capture(port.Port(), m_dir.Path("project.bmp"), &im));
            const float vx[4] = {0.5f, 0.2f, 0.8f, 0.35f}, vy[4] = {0.5f, 0.3f, 0.6f, 0.85f};
            float sx[4], sy[4];
            ASSERT_EQ(QUORIX_OK, QUORIX_UnProject(port.Port(), 0, vx, vy, sx, sy, 4));
            double d[3], ex, ey;
            LensDirection(c.mount, c.ptz, d);
            SourceOf(d, &ex, &ey);
            double dx = sx[0] - ex;
            dx -= 2.0 * std::round(dx / 2.0);  // the azimuth wraps
            if (ey > 0.01) {                   // and means nothing on the axis
                EXPECT_NEAR(0.0, dx, 0.004) << "azimuth of the centre";
            }
            EXPECT_NEAR(ey, sy[0], 0.004) << "angle from the axis of the centre";
            float bx[4], by[4];
            ASSERT_EQ(QUORIX_OK, QUORIX_Project(port.Port(), 0, sx, sy, bx, by, 4));
            for (int k = 0; k < 4; ++k) {
                EXPECT_NEAR(vx[k], bx[k], 0.005) << "point " << k;
                EXPECT_NEAR(vy[k], by[k], 0.005) << "point " << k;
            }
            // The direction 10 degrees right of the centre in the view's own frame (x right,
            // y up, -z ahead) lands at the pinhole position tan(10 deg) / tan(half the
            // horizontal view) right of the middle. Into the world: pitched down by the tilt
            // about x, then turned left by the pan about y; then into the lens frame as above.
            const double t = c.ptz.tilt * M_PI, yaw = c.ptz.pan * M_PI;
            const double r0[3] = {std::sin(10 * kDeg), 0.0, -std::cos(10 * kDeg)};
            const double r1[3] = {r0[0], r0[1] * std::cos(t) + r0[2] * std::sin(t),
                                  -r0[1] * std::sin(t) + r0[2] * std::cos(t)};
            const double w[3] = {r1[0] * std::cos(yaw) + r1[2] * std::sin(yaw), r1[1],
                                 -r1[0] * std::sin(yaw) + r1[2] * std::cos(yaw)};
            double lens[3];
            if (c.mount == kWall) {
                lens[0] = w[0], lens[1] = w[1], lens[2] = w[2];
            } else if (c.mount == kCeiling) {
                lens[0] = w[0], lens[1] = -w[2], lens[2] = w[1];
            } else {
                lens[0] = w[0], lens[1] = w[2], lens[2] = -w[1];
            }
            double qx, qy;
            SourceOf(lens, &qx, &qy);
            const float fx[1] = {static_cast<float>(qx)}, fy[1] = {static_cast<float>(qy)};
            float ox[1], oy[1];
            ASSERT_EQ(QUORIX_OK, QUORIX_Project(port.Port(), 0, fx, fy, ox, oy, 1));
            const double a = double(kViewW) / kViewH;
            const double expectX = 0.5 + 0.5 * std::tan(10 * kDeg) / (a * kHalfFovTan / c.ptz.zoom);
            EXPECT_NEAR(expectX, ox[0], 0.004);
            EXPECT_NEAR(0.5, oy[0], 0.004);
            // Flipped horizontally, the same point shows mirrored.
            ASSERT_EQ(QUORIX_OK, QUORIX_SetFlip(port.Port(), 0, 1));
            ASSERT_EQ(QUORIX_OK, QUORIX_Project(port.Port(), 0, fx, fy, ox, oy, 1));
            EXPECT_NEAR(1.0 - expectX, ox[0], 0.004);
            // And the capture is the mirror image of the unflipped one.
            Rgb flipped;
            ASSERT_TRUE(Capture(port.Port(), m_dir.Path("flipped.bmp"), &flipped));
            ASSERT_EQ(im.w, flipped.w);
            ASSERT_EQ(im.h, flipped.h);
            double diff = 0.0;
            for (int y = 0; y < im.h; ++y)
                for (int x = 0; x < im.w; ++x)
                    diff += std::abs(im.At(x, y)[1] - flipped.At(im.w - 1 - x, y)[1]);
            EXPECT_LE(diff / (im.w * im.h), 1.0) << "mean difference from the mirror image";
        }
    }
}

}  // namespace
