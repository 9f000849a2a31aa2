// The remap kernel: the AVX2 version against the plain one on odd sizes (byte for byte, with
// the pictures' last bytes against an unreadable page), the colour against swscale, and whole
// de-warped views against libavfilter's v360 filter.

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <quorixsdk.h>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include "dewarp/dewarper.h"
#include "dewarp/kernel.h"
#include "dewarp/pool.h"
#include "dewarp/remap.h"
#include "support/filter_graph.h"

using namespace DEWARP;

namespace {

// Bytes whose end touches an unreadable page: a read past the last byte faults.
class GuardedBytes {
public:
    explicit GuardedBytes(size_t size) : m_size(size) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        m_mapped = (size + page - 1) / page * page + page;
        void* p =
            mmap(nullptr, m_mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            m_base = nullptr;
            return;
        }
        m_base = static_cast<uint8_t*>(p);
        mprotect(m_base + m_mapped - page, page, PROT_NONE);
    }
    ~GuardedBytes() {
        if (m_base != nullptr)
            munmap(m_base, m_mapped);
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;
    uint8_t* data() const {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        return m_base + (m_mapped - page - m_size);
    }

private:
    size_t m_size, m_mapped;
    uint8_t* m_base;
};

// A planar 4:2:0 picture whose planes each end against an unreadable page; the luma rows are
// `pad` bytes longer than the picture (0: packed).
struct GuardedPicture {
    uint32_t w, h, pad;
    GuardedBytes y, u, v;
    GuardedPicture(uint32_t width, uint32_t height, uint32_t padding)
        : w(width),
          h(height),
          pad(padding),
          y(size_t{width + padding} * height),
          u(size_t{(width + 1) / 2 + padding} * ((height + 1) / 2)),
          v(size_t{(width + 1) / 2 + padding} * ((height + 1) / 2)) {}
    YuvPicture View(BRIXEL::CHYUVColour colour) const {
        YuvPicture p;
        p.y = y.data();
        p.u = u.data();
        p.v = v.data();
        p.strideY = w + pad;
        p.strideUV = (w + 1) / 2 + pad;
        p.width = w;
        p.height = h;
        p.colour = colour;
        return p;
    }
    void Fill(std::mt19937& rng) const {
        std::uniform_int_distribution<int> byte(0, 255);
        for (size_t i = 0; i < size_t{w + pad} * h; ++i)
            y.data()[i] = static_cast<uint8_t>(byte(rng));
        const size_t c = size_t{(w + 1) / 2 + pad} * ((h + 1) / 2);
        for (size_t i = 0; i < c; ++i) {
            u.data()[i] = static_cast<uint8_t>(byte(rng));
            v.data()[i] = static_cast<uint8_t>(byte(rng));
        }
    }
};

// A table over a picture: random positions, the extremes of the clamp range and nothing-drawn
// marks, so every edge case of the sampling is met.
CRemapTable RandomTable(uint32_t w, uint32_t h, uint32_t lensW, uint32_t lensH, std::mt19937& rng) {
    // Built through the plane view so that the table has the right size, then overwritten.
    CRemapTable t;
    ViewSettings s;
    s.ratioType = 0;
    LensData lens;
    lens.width = lensW;
    lens.height = lensH;
    s.rectWidth = static_cast<int32_t>(w);
    s.rectHeight = static_cast<int32_t>(h);
    ViewGeometry g;
    EXPECT_TRUE(DeriveView(s, lens, &g));
    EXPECT_EQ(t.Build(g, lens, w, h, nullptr), QUORIX_OK);
    const int32_t maxX = static_cast<int32_t>(lensW - 1) * 256 - 1;
    const int32_t maxY = static_cast<int32_t>(lensH - 1) * 256 - 1;
    std::uniform_int_distribution<int32_t> rx(0, maxX), ry(0, maxY), kind(0, 9);
    for (uint32_t r = 0; r < h; ++r) {
        auto* x = const_cast<int32_t*>(t.RowX(r));
        auto* y = const_cast<int32_t*>(t.RowY(r));
        for (uint32_t i = 0; i < w; ++i) {
            const int k = kind(rng);
            x[i] = k == 0 ? kNothingDrawn : (k == 1 ? maxX : (k == 2 ? 0 : rx(rng)));
            y[i] = k == 3 ? maxY : (k == 4 ? 0 : ry(rng));
        }
    }
    return t;
}

// checkasm-style: for many odd sizes, the vector kernel's bytes equal the plain kernel's, and
// neither writes outside the rows it was given.
TEST(DewarpKernel, Avx2MatchesPlainOnOddSizes) {
    if (!KernelPathAvailable(KernelPath::Avx2))
        GTEST_SKIP() << "no AVX2 on this machine";
    std::mt19937 rng(26);
    const uint32_t pictures[][3] = {{4, 4, 0},   {5, 5, 0},     {6, 9, 1},
                                    {8, 4, 0},   {9, 7, 0},     {17, 13, 3},
                                    {33, 31, 0}, {250, 123, 5}, {1023, 511, 0}};
    const uint32_t outputs[][2] = {{1, 1},  {7, 3},  {8, 2},  {9, 5},
                                   {15, 4}, {17, 3}, {31, 2}, {101, 7}};
    for (const auto& pic : pictures) {
        GuardedPicture g(pic[0], pic[1], pic[2]);
        g.Fill(rng);
        for (const auto& out : outputs) {
            const CRemapTable table = RandomTable(out[0], out[1], pic[0], pic[1], rng);
            for (uint32_t colour = 0; colour < 4; ++colour) {
                SCOPED_TRACE("picture " + std::to_string(pic[0]) + "x" + std::to_string(pic[1]) +
                             " output " + std::to_string(out[0]) + "x" + std::to_string(out[1]) +
                             " colour " + std::to_string(colour));
                const YuvPicture yuv = g.View(static_cast<BRIXEL::CHYUVColour>(colour));
                const uint32_t stride = out[0] * 4 + 12;
                std::vector<uint8_t> plain(size_t{stride} * out[1], 0xA5), avx2(plain);
                RemapRows(KernelPath::Plain, table, 0, out[1], yuv, plain.data(), stride, 0x123456);
                RemapRows(KernelPath::Avx2, table, 0, out[1], yuv, avx2.data(), stride, 0x123456);
                ASSERT_EQ(plain, avx2);
                for (uint32_t r = 0; r < out[1]; ++r)
                    for (uint32_t b = out[0] * 4; b < stride; ++b)
                        ASSERT_EQ(plain[size_t{r} * stride + b], 0xA5);
            }
        }
    }
}

// Real views (the tables' own positions, bars and rims) through both kernels.
TEST(DewarpKernel, Avx2MatchesPlainOnViews) {
    if (!KernelPathAvailable(KernelPath::Avx2))
        GTEST_SKIP() << "no AVX2 on this machine";
    std::mt19937 rng(7);
    GuardedPicture g(641, 479, 0);
    g.Fill(rng);
    const int32_t views[][2] = {{2, 13}, {2, 11}, {3, 10}, {4, 12}, {5, 16}, {6, 13}};
    for (const auto& v : views) {
        ViewSettings s;
        s.display = v[1];
        s.pan = 0.3f;
        s.tilt = v[1] == 16 ? -0.4f : 0.1f;
        s.zoom = 1.2f;
        LensData lens;
        lens.model = v[0];
        CDewarper plain(nullptr, KernelPath::Plain), avx2(nullptr, KernelPath::Avx2);
        const uint32_t w = 301, h = 173, stride = w * 4;
        std::vector<uint8_t> a(size_t{stride} * h), b(a.size());
        const YuvPicture yuv = g.View(BRIXEL::HYUV_BT709_LIMITED);
        ASSERT_EQ(plain.Render(s, lens, yuv, a.data(), stride, w, h, 0xFF0000), QUORIX_OK);
        ASSERT_EQ(avx2.Render(s, lens, yuv, b.data(), stride, w, h, 0xFF0000), QUORIX_OK);
        EXPECT_EQ(a, b) << "model " << v[0] << " display " << v[1];
    }
}

// A picture shown flat at its own size samples every pixel at its centre: the colours must be
// swscale's conversion of the same picture within 2 levels, for both matrices and ranges.
TEST(DewarpKernel, ColourMatchesSwscale) {
    const uint32_t w = 96, h = 64;
    std::vector<uint8_t> y(size_t{w} * h), u(size_t{w / 2} * (h / 2)), v(u.size());
    for (int picture = 0; picture < 2; ++picture) {
        for (uint32_t r = 0; r < h; ++r)
            for (uint32_t c = 0; c < w; ++c)
                y[size_t{r} * w + c] =
                    picture == 0 ? 120 : static_cast<uint8_t>(10 + c * 245 / (w - 1));
        for (uint32_t r = 0; r < h / 2; ++r)
            for (uint32_t c = 0; c < w / 2; ++c) {
                // Gentle chroma slopes: a chroma sample differs from its neighbour by at most a
                // level, so the way the half-size planes are brought to full size cannot matter.
                u[size_t{r} * (w / 2) + c] = picture == 0 ? 90 : static_cast<uint8_t>(100 + c);
                v[size_t{r} * (w / 2) + c] = picture == 0 ? 170 : static_cast<uint8_t>(110 + r);
            }
        for (uint32_t colour = 0; colour < 4; ++colour) {
            SCOPED_TRACE("picture " + std::to_string(picture) + " colour " +
                         std::to_string(colour));
            const bool bt709 = colour & 2, full = colour & 1;
            SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_BGRA,
                                             SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                                             nullptr, nullptr, nullptr);
            ASSERT_NE(sws, nullptr);
            sws_setColorspaceDetails(
                sws, sws_getCoefficients(bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601), full ? 1 : 0,
                sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
            std::vector<uint8_t> ref(size_t{w} * h * 4);
            const uint8_t* src[4] = {y.data(), u.data(), v.data(), nullptr};
            const int srcStride[4] = {static_cast<int>(w), static_cast<int>(w / 2),
                                      static_cast<int>(w / 2), 0};
            uint8_t* dst[4] = {ref.data(), nullptr, nullptr, nullptr};
            const int dstStride[4] = {static_cast<int>(w * 4), 0, 0, 0};
            ASSERT_EQ(sws_scale(sws, src, srcStride, 0, h, dst, dstStride), static_cast<int>(h));
            sws_freeContext(sws);

            YuvPicture yuv;
            yuv.y = y.data();
            yuv.u = u.data();
            yuv.v = v.data();
            yuv.strideY = w;
            yuv.strideUV = w / 2;
            yuv.width = w;
            yuv.height = h;
            yuv.colour = static_cast<BRIXEL::CHYUVColour>(colour);
            ViewSettings s;
            s.ratioType = 0;  // fill: the picture covers the view exactly
            LensData lens;
            CDewarper dewarper(nullptr);
            std::vector<uint8_t> ours(size_t{w} * h * 4);
            ASSERT_EQ(dewarper.Render(s, lens, yuv, ours.data(), w * 4, w, h, 0), QUORIX_OK);
            int worst = 0;
            for (size_t i = 0; i < ours.size(); ++i)
                if (i % 4 != 3)
                    worst = std::max(worst, std::abs(int{ours[i]} - int{ref[i]}));
            EXPECT_LE(worst, 2);
        }
    }
}

// Bad input gets a result code and leaves the output alone.
TEST(DewarpKernel, BadInputIsRefused) {
    std::vector<uint8_t> y(64 * 64, 16), uv(32 * 32, 128), out(100 * 50 * 4, 7);
    YuvPicture yuv;
    yuv.y = y.data();
    yuv.u = uv.data();
    yuv.v = uv.data();
    yuv.strideY = 64;
    yuv.strideUV = 32;
    yuv.width = 64;
    yuv.height = 64;
    ViewSettings s;
    LensData lens;
    CDewarper d(nullptr);
    EXPECT_EQ(d.Render(s, lens, yuv, nullptr, 400, 100, 50, 0), QUORIX_E_PARAM);
    EXPECT_EQ(d.Render(s, lens, yuv, out.data(), 399, 100, 50, 0), QUORIX_E_PARAM);
    YuvPicture small = yuv;
    small.width = 3;
    EXPECT_EQ(d.Render(s, lens, small, out.data(), 400, 100, 50, 0), QUORIX_E_PARAM);
    YuvPicture narrow = yuv;
    narrow.strideY = 63;
    EXPECT_EQ(d.Render(s, lens, narrow, out.data(), 400, 100, 50, 0), QUORIX_E_PARAM);
    lens.model = MODEL_FISHEYE;
    s.display = DISPLAY_CYLINDER;
    EXPECT_EQ(d.Render(s, lens, yuv, out.data(), 400, 100, 50, 0), QUORIX_E_PARAM);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 7; }));
}

// The pool spreads a picture over its threads: the same bytes as one thread, picture after
// picture, and the table is built once for an unchanged view.
TEST(DewarpKernel, PoolGivesTheSameBytes) {
    std::mt19937 rng(3);
    GuardedPicture g(960, 960, 0);
    g.Fill(rng);
    CWorkerPool pool(3);
    CDewarper alone(nullptr), shared(&pool);
    ViewSettings s;
    s.display = DISPLAY_PLANE360;
    LensData lens;
    lens.model = MODEL_FISHEYE;
    const uint32_t w = 640, h = 321, stride = w * 4;
    std::vector<uint8_t> a(size_t{stride} * h), b(a.size());
    for (int frame = 0; frame < 5; ++frame) {
        s.pan = frame < 3 ? 0.0f : 0.5f;
        const YuvPicture yuv = g.View(BRIXEL::HYUV_BT601_LIMITED);
        ASSERT_EQ(alone.Render(s, lens, yuv, a.data(), stride, w, h, 0x00FF00), QUORIX_OK);
        ASSERT_EQ(shared.Render(s, lens, yuv, b.data(), stride, w, h, 0x00FF00), QUORIX_OK);
        ASSERT_EQ(a, b) << "frame " << frame;
    }
    EXPECT_EQ(shared.Table().Builds(), 2u);
}

// A part of the view (the rows a capture hands over): exactly those rows, rounded out to row
// pairs, as the whole view has them, and nothing else written; on one thread and on the pool.
TEST(DewarpKernel, RowRangeDrawsOnlyItsRows) {
    std::mt19937 rng(5);
    GuardedPicture g(960, 960, 0);
    g.Fill(rng);
    CWorkerPool pool(3);
    ViewSettings s;
    s.display = DISPLAY_PLANE360;
    s.pan = 0.3f;
    LensData lens;
    lens.model = MODEL_FISHEYE;
    const uint32_t w = 641, h = 361, stride = w * 4 + 12;
    const YuvPicture yuv = g.View(BRIXEL::HYUV_BT601_LIMITED);
    CDewarper whole(nullptr);
    std::vector<uint8_t> full(size_t{stride} * h, 7);
    ASSERT_EQ(whole.Render(s, lens, yuv, full.data(), stride, w, h, 0x00FF00), QUORIX_OK);
    struct Range {
        uint32_t begin, end, first, last;  // asked, and the rows drawn [first, last)
    } ranges[] = {{0, 36, 0, 36},
                  {181, 216, 180, 216},
                  {100, 101, 100, 102},
                  {350, 9999, 350, 361},
                  {37, 300, 36, 300}};
    for (CWorkerPool* p : {static_cast<CWorkerPool*>(nullptr), &pool}) {
        CDewarper part(p);
        for (const Range& r : ranges) {
            SCOPED_TRACE(std::to_string(r.begin) + ".." + std::to_string(r.end));
            std::vector<uint8_t> out(full.size(), 7);
            ASSERT_EQ(part.Render(s, lens, yuv, out.data(), stride, w, h, 0x00FF00, r.begin, r.end),
                      QUORIX_OK);
            for (uint32_t row = 0; row < h; ++row) {
                const uint8_t* got = out.data() + size_t{row} * stride;
                if (row >= r.first && row < r.last) {
                    ASSERT_EQ(0, std::memcmp(got, full.data() + size_t{row} * stride, w * 4))
                        << "row " << row;
                } else {
                    ASSERT_TRUE(std::all_of(got, got + stride, [](uint8_t b) { return b == 7; }))
                        << "row " << row << " was written";
                }
            }
        }
        EXPECT_EQ(part.Table().Builds(), 1u) << "the table serves every part of one view";
    }
}

// Back-to-back jobs from two callers: every slice of every job runs exactly once, on a job
// whose function is still alive (a worker that wakes late must not take slices of the next job
// with the previous job's function).
TEST(DewarpPool, EverySliceOnceAcrossManyJobs) {
    CWorkerPool pool(3);
    std::atomic<int> wrong{0};
    auto caller = [&](int seed) {
        for (int job = 0; job < 300; ++job) {
            const uint32_t count = 1 + static_cast<uint32_t>((job * 7 + seed) % 9);
            std::vector<std::atomic<int>> runs(count);
            const int id = job * 2 + seed;
            pool.Run(count, [&runs, id, &wrong, count](uint32_t i) {
                // A little work, so that the workers take part.
                volatile uint32_t spin = 0;
                for (uint32_t k = 0; k < 20000; ++k)
                    spin = spin + k;
                if (i >= count || id < 0)
                    ++wrong;
                else
                    ++runs[i];
            });
            for (auto& r : runs)
                if (r.load() != 1)
                    ++wrong;
        }
    };
    std::thread a(caller, 0), b(caller, 1);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
}

// ---- Against libavfilter's v360 ----

struct Planes {
    int w, h;
    std::vector<uint8_t> y, u, v;
};

// A smooth pattern with detail everywhere: sine gratings in luma and gentle chroma slopes.
Planes Pattern(int w, int h) {
    Planes p{w, h, {}, {}, {}};
    p.y.resize(size_t(w) * h);
    p.u.resize(size_t(w / 2) * (h / 2));
    p.v.resize(p.u.size());
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c)
            p.y[size_t(r) * w + c] = static_cast<uint8_t>(
                128 + 60 * std::sin(2 * M_PI * 7 * c / w) * std::cos(2 * M_PI * 5 * r / h) +
                30 * std::sin(2 * M_PI * 3 * (c + r) / w));
    for (int r = 0; r < h / 2; ++r)
        for (int c = 0; c < w / 2; ++c) {
            p.u[size_t(r) * (w / 2) + c] =
                static_cast<uint8_t>(128 + 50 * std::sin(2 * M_PI * 2 * c / (w / 2)));
            p.v[size_t(r) * (w / 2) + c] =
                static_cast<uint8_t>(128 + 50 * std::cos(2 * M_PI * 3 * r / (h / 2)));
        }
    return p;
}

// Runs `filters` on the picture and returns its BGRX output (w x h), empty on failure.
std::vector<uint8_t> RunFilter(const Planes& in, const std::string& filters, int w, int h) {
    std::vector<uint8_t> out;
    const std::string desc = filters +
                             ",scale=out_color_matrix=bt601:out_range=full:flags=accurate_rnd+full_"
                             "chroma_int,format=bgr0";
    AVFrame* result =
        filtertest::FilterPicture(in.w, in.h, in.y.data(), in.u.data(), in.v.data(), desc, w, h);
    if (result == nullptr)
        return out;
    out.resize(size_t(w) * h * 4);
    for (int r = 0; r < h; ++r)
        std::memcpy(&out[size_t(r) * w * 4], result->data[0] + r * result->linesize[0],
                    size_t(w) * 4);
    av_frame_free(&result);
    return out;
}

// PSNR over the colour bytes of the pixels where `use` is true.
double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
            const std::vector<bool>& use) {
    double sum = 0.0;
    size_t n = 0;
    for (size_t p = 0; p < use.size(); ++p) {
        if (!use[p])
            continue;
        for (int c = 0; c < 3; ++c) {
            const double d = double(a[p * 4 + c]) - double(b[p * 4 + c]);
            sum += d * d;
            ++n;
        }
    }
    if (n == 0)
        return 0.0;
    const double mse = sum / n;
    return mse <= 0.0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

std::vector<uint8_t> Ours(const Planes& p, int model, const ViewSettings& s, int w, int h) {
    YuvPicture yuv;
    yuv.y = p.y.data();
    yuv.u = p.u.data();
    yuv.v = p.v.data();
    yuv.strideY = p.w;
    yuv.strideUV = p.w / 2;
    yuv.width = p.w;
    yuv.height = p.h;
    yuv.colour = BRIXEL::HYUV_BT601_LIMITED;
    LensData lens;
    lens.model = model;
    CDewarper d(nullptr);
    std::vector<uint8_t> out(size_t(w) * h * 4);
    EXPECT_EQ(d.Render(s, lens, yuv, out.data(), w * 4, w, h, 0), QUORIX_OK);
    return out;
}

// A full-sphere picture seen from the sphere's centre is a pinhole view: v360's rectilinear
// output of the same picture, with the same fields of view (65 degrees high) and the pan as
// its yaw and the tilt as its pitch.
TEST(DewarpAgainstV360, SphereFromInsideIsARectilinearView) {
    const Planes pic = Pattern(1024, 512);
    const int w = 320, h = 200;
    const double vfov = 65.0;
    const double hfov = 2.0 * std::atan(std::tan(0.567232) * w / h) * 180.0 / M_PI;
    const double pans[][2] = {{0.0, 0.0}, {0.25, 0.0}, {-0.1, 0.15}};
    for (const auto& pt : pans) {
        SCOPED_TRACE("pan " + std::to_string(pt[0]) + " tilt " + std::to_string(pt[1]));
        ViewSettings s;
        s.display = DISPLAY_VR;
        s.pan = static_cast<float>(pt[0]);
        s.tilt = static_cast<float>(pt[1]);
        const auto ours = Ours(pic, MODEL_VR720, s, w, h);
        char filter[256];
        std::snprintf(filter, sizeof filter,
                      "v360=input=e:output=flat:h_fov=%.6f:v_fov=%.6f:yaw=%.6f:pitch=%.6f:w=%d:h=%"
                      "d:interp=linear",
                      hfov, vfov, pt[0] * 180.0, -pt[1] * 180.0, w, h);
        const auto ref = RunFilter(pic, filter, w, h);
        ASSERT_FALSE(ref.empty());
        const std::vector<bool> all(size_t(w) * h, true);
        const double psnr = Psnr(ours, ref, all);
        EXPECT_GE(psnr, 30.0);
        std::printf("sphere from inside, pan %.2f tilt %.2f: PSNR %.1f dB\n", pt[0], pt[1], psnr);
    }
}

// The 180-degree panorama of a fisheye (equidistant, circle centred, radius half the picture)
// is a half-equirectangular picture of the lens's hemisphere: v360's fisheye to
// half-equirectangular output with 180-degree fields of view. The outermost pixels, where
// either side may take the lens rim for outside, are left out.
TEST(DewarpAgainstV360, FisheyeHalfPanoramaIsHalfEquirectangular) {
    const Planes pic = Pattern(960, 960);
    const int w = 384, h = 384;
    ViewSettings s;
    s.display = DISPLAY_PLANE180;
    s.ratioType = 0;
    const auto ours = Ours(pic, MODEL_FISHEYE, s, w, h);
    char filter[256];
    std::snprintf(filter, sizeof filter,
                  "v360=input=fisheye:ih_fov=180:iv_fov=180:output=he:w=%d:h=%d:interp=linear", w,
                  h);
    const auto ref = RunFilter(pic, filter, w, h);
    ASSERT_FALSE(ref.empty());
    std::vector<bool> inner(size_t(w) * h, false);
    for (int r = 4; r < h - 4; ++r)
        for (int c = 4; c < w - 4; ++c)
            inner[size_t(r) * w + c] = true;
    const double psnr = Psnr(ours, ref, inner);
    EXPECT_GE(psnr, 30.0);
    std::printf("fisheye half panorama: PSNR %.1f dB\n", psnr);
}

// The 360-degree panorama of a fisheye lays the longitude about the lens axis across and the
// angle from the axis up the band (lens centre at the bottom, rim at the top): the lower half
// of v360's equirectangular picture of the lens turned 90 degrees up (pitch 90), scaled to the
// band. Pan scrolls it: the same picture shifted right by pan times half the width, wrapping.
TEST(DewarpAgainstV360, FisheyePanoramaIsTheLowerHalfOfAnEquirectangularView) {
    const Planes pic = Pattern(960, 960);
    const int w = 768, h = 384;  // the band is w x w/4, centred: rows h/4 to 3h/4
    char filter[320];
    std::snprintf(filter, sizeof filter,
                  "v360=input=fisheye:ih_fov=180:iv_fov=180:output=e:pitch=90:w=%d:h=%d:"
                  "interp=linear,crop=%d:%d:0:%d,pad=%d:%d:0:%d",
                  w, h, w, h / 2, h / 2, w, h, h / 4);
    const auto ref = RunFilter(pic, filter, w, h);
    ASSERT_FALSE(ref.empty());
    std::vector<bool> band(size_t(w) * h, false);
    for (int r = h / 4 + 4; r < 3 * h / 4 - 4; ++r)
        for (int c = 0; c < w; ++c)
            band[size_t(r) * w + c] = true;
    for (const double pan : {0.0, 0.25, -0.375}) {
        ViewSettings s;
        s.display = DISPLAY_PLANE360;
        s.ratioType = 2;
        s.pan = static_cast<float>(pan);
        const auto ours = Ours(pic, MODEL_FISHEYE, s, w, h);
        const int shift = static_cast<int>(std::lround(pan * w / 2));
        std::vector<uint8_t> shifted(ref.size());
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c)
                std::memcpy(&shifted[(size_t(r) * w + c) * 4],
                            &ref[(size_t(r) * w + ((c - shift) % w + w) % w) * 4], 4);
        const double psnr = Psnr(ours, shifted, band);
        EXPECT_GE(psnr, 30.0) << "pan " << pan;
        std::printf("fisheye 360 panorama, pan %.3f: PSNR %.1f dB\n", pan, psnr);
    }
}

}  // namespace
