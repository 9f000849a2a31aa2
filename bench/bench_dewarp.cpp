// CPU de-warping speed, each figure beside its anchor measured in the same run.
//
//   bench_dewarp [seconds per measurement, default 3]
//
// - fisheye 1920x1920 (planar 4:2:0) -> 360-degree panorama 1920x960 BGRX, bilinear, two
//   threads, frames/s, against libavfilter's v360 (fisheye 180 degrees to equirectangular
//   1920x960, bilinear, two threads, 4:2:0 out) on the same picture. Measured in alternating
//   slices so that a change of load on the shared machine falls on both.
// - fisheye 2880x2880 -> four 960x540 PTZ views (the sphere seen from outside, each with its own
//   pan, tilt and zoom), two threads, frames/s (all four views per frame), beside v360's
//   rectilinear 960x540 output four times per frame.
// - remap table rebuild at 1920x960 (a PTZ change), two threads and one, in ms, and a PTZ
//   change to its first new picture (rebuild plus one frame).
// - the kernel alone on one thread, pixels/s, beside memcpy of the bytes it streams (the table,
//   8 bytes per pixel, read, and the BGRX output, 4 bytes, written: 12 bytes per pixel).
//
// Prints its details, then BENCH lines: figure|ours|anchor|ratio|goal.

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
}

#include <quorixsdk.h>

#include "dewarp/dewarper.h"
#include "dewarp/kernel.h"
#include "dewarp/pool.h"
#include "dewarp/remap.h"

using Clock = std::chrono::steady_clock;
using namespace DEWARP;

namespace {

struct Picture {
    int size = 0;
    std::vector<uint8_t> y, u, v;
    YuvPicture View() const {
        YuvPicture p;
        p.y = y.data();
        p.u = u.data();
        p.v = v.data();
        p.strideY = static_cast<uint32_t>(size);
        p.strideUV = static_cast<uint32_t>(size / 2);
        p.width = p.height = static_cast<uint32_t>(size);
        p.colour = BRIXEL::HYUV_BT709_LIMITED;
        return p;
    }
};

// A fisheye picture with detail everywhere (rings and spokes).
Picture MakePicture(int size) {
    Picture p;
    p.size = size;
    p.y.resize(size_t(size) * size);
    p.u.resize(size_t(size / 2) * (size / 2));
    p.v.resize(p.u.size());
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const double dx = x - size / 2.0, dy = y - size / 2.0;
            const double r = std::hypot(dx, dy), a = std::atan2(dy, dx);
            p.y[size_t(y) * size + x] =
                static_cast<uint8_t>(128 + 60 * std::sin(r / 9.0) + 50 * std::cos(a * 24));
        }
    for (int y = 0; y < size / 2; ++y)
        for (int x = 0; x < size / 2; ++x) {
            p.u[size_t(y) * (size / 2) + x] = static_cast<uint8_t>(128 + 80.0 * x / size);
            p.v[size_t(y) * (size / 2) + x] = static_cast<uint8_t>(128 - 80.0 * y / size);
        }
    return p;
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// A v360 graph fed the same picture again and again (copied into a new frame each time, as a
// decoder would hand it over).
class V360 {
public:
    V360(const Picture& pic, const char* filter) : m_pic(pic) {
        m_graph = avfilter_graph_alloc();
        m_graph->nb_threads = 2;
        char args[256];
        std::snprintf(args, sizeof args,
                      "video_size=%dx%d:pix_fmt=%d:time_base=1/25:pixel_aspect=1/1", pic.size,
                      pic.size, AV_PIX_FMT_YUV420P);
        if (avfilter_graph_create_filter(&m_src, avfilter_get_by_name("buffer"), "in", args,
                                         nullptr, m_graph) < 0 ||
            avfilter_graph_create_filter(&m_sink, avfilter_get_by_name("buffersink"), "out",
                                         nullptr, nullptr, m_graph) < 0)
            return;
        AVFilterInOut* outputs = avfilter_inout_alloc();
        AVFilterInOut* inputs = avfilter_inout_alloc();
        outputs->name = av_strdup("in");
        outputs->filter_ctx = m_src;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = m_sink;
        m_ok = avfilter_graph_parse_ptr(m_graph, filter, &inputs, &outputs, nullptr) >= 0 &&
               avfilter_graph_config(m_graph, nullptr) >= 0;
        avfilter_inout_free(&inputs);
        avfilter_inout_free(&outputs);
        m_in = av_frame_alloc();
        m_out = av_frame_alloc();
    }
    ~V360() {
        av_frame_free(&m_in);
        av_frame_free(&m_out);
        avfilter_graph_free(&m_graph);
    }
    bool Ok() const { return m_ok; }
    // One picture in, every picture out; returns how many came out.
    int Push() {
        const int s = m_pic.size;
        m_in->format = AV_PIX_FMT_YUV420P;
        m_in->width = s;
        m_in->height = s;
        if (av_frame_get_buffer(m_in, 0) < 0)
            return 0;
        for (int y = 0; y < s; ++y)
            std::memcpy(m_in->data[0] + y * m_in->linesize[0], &m_pic.y[size_t(y) * s], s);
        for (int y = 0; y < s / 2; ++y) {
            std::memcpy(m_in->data[1] + y * m_in->linesize[1], &m_pic.u[size_t(y) * (s / 2)],
                        s / 2);
            std::memcpy(m_in->data[2] + y * m_in->linesize[2], &m_pic.v[size_t(y) * (s / 2)],
                        s / 2);
        }
        m_in->pts = m_pts++;
        if (av_buffersrc_add_frame(m_src, m_in) < 0)
            return 0;
        int n = 0;
        while (av_buffersink_get_frame(m_sink, m_out) >= 0) {
            ++n;
            av_frame_unref(m_out);
        }
        return n;
    }

private:
    const Picture& m_pic;
    AVFilterGraph* m_graph = nullptr;
    AVFilterContext *m_src = nullptr, *m_sink = nullptr;
    AVFrame *m_in = nullptr, *m_out = nullptr;
    int64_t m_pts = 0;
    bool m_ok = false;
};

// Frames per second of `step` (which returns frames done) over about `seconds`, after two warm-up
// calls.
template <class F>
double Rate(double seconds, F step) {
    step();
    step();
    uint64_t frames = 0;
    const auto start = Clock::now();
    while (Seconds(start) < seconds)
        frames += static_cast<uint64_t>(step());
    return frames / Seconds(start);
}

std::string Loadavg() {
    FILE* f = std::fopen("/proc/loadavg", "r");
    char buf[64] = {0};
    if (f != nullptr) {
        if (std::fgets(buf, sizeof buf, f) == nullptr)
            buf[0] = 0;
        std::fclose(f);
    }
    std::string s(buf);
    const size_t cut = s.find(' ', s.find(' ', s.find(' ') + 1) + 1);
    return s.substr(0, cut);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    std::printf("load average before: %s; kernel path: %s\n", Loadavg().c_str(),
                BestKernelPath() == KernelPath::Avx2 ? "AVX2" : "plain");
    CWorkerPool pool(2);

    // ---- Panorama against v360 ----
    const Picture fish = MakePicture(1920);
    const YuvPicture fishYuv = fish.View();
    const uint32_t pw = 1920, ph = 960;
    std::vector<uint8_t> out(size_t(pw) * ph * 4);
    CDewarper pano(&pool);
    ViewSettings panoView;
    panoView.display = DISPLAY_PLANE360;
    LensData fishLens;
    fishLens.model = MODEL_FISHEYE;
    V360 v360(fish, "v360=input=fisheye:output=e:ih_fov=180:iv_fov=180:w=1920:h=960:interp=linear");
    if (!v360.Ok())
        std::fprintf(stderr, "v360: cannot configure the graph\n");
    constexpr int kRounds = 3;
    double ours = 0.0, anchor = 0.0;
    for (int round = 0; round < kRounds; ++round) {
        ours += Rate(seconds / kRounds,
                     [&] {
                         return pano.Render(panoView, fishLens, fishYuv, out.data(), pw * 4, pw, ph,
                                            0) == QUORIX_OK
                                    ? 1
                                    : 0;
                     }) /
                kRounds;
        if (v360.Ok())
            anchor += Rate(seconds / kRounds, [&] { return v360.Push(); }) / kRounds;
    }
    std::printf("panorama 1920x960, 2 threads: ours %.1f frames/s, v360 %.1f frames/s\n", ours,
                anchor);

    // ---- Four PTZ views of a 2880 fisheye ----
    const Picture big = MakePicture(2880);
    const YuvPicture bigYuv = big.View();
    const uint32_t vw = 960, vh = 540;
    std::vector<std::vector<uint8_t>> views(4, std::vector<uint8_t>(size_t(vw) * vh * 4));
    std::vector<CDewarper> ptz(4, CDewarper(&pool));
    ViewSettings ptzView[4];
    const float ptzValues[4][3] = {
        {0.0f, 0.2f, 2.0f}, {0.5f, 0.25f, 2.5f}, {-0.5f, 0.15f, 1.5f}, {1.0f, 0.3f, 3.0f}};
    for (int i = 0; i < 4; ++i) {
        ptzView[i].display = DISPLAY_SPHERE;
        ptzView[i].pan = ptzValues[i][0];
        ptzView[i].tilt = ptzValues[i][1];
        ptzView[i].zoom = ptzValues[i][2];
    }
    std::vector<V360*> flat;
    for (int i = 0; i < 4; ++i) {
        char filter[256];
        std::snprintf(filter, sizeof filter,
                      "v360=input=fisheye:output=flat:ih_fov=180:iv_fov=180:h_fov=60:v_fov=36:"
                      "yaw=%d:pitch=%d:w=960:h=540:interp=linear",
                      i * 30 - 45, -30 - 5 * i);
        flat.push_back(new V360(big, filter));
    }
    double ptzOurs = 0.0, ptzAnchor = 0.0;
    for (int round = 0; round < kRounds; ++round) {
        ptzOurs += Rate(seconds / kRounds,
                        [&] {
                            for (int i = 0; i < 4; ++i)
                                ptz[i].Render(ptzView[i], fishLens, bigYuv, views[i].data(), vw * 4,
                                              vw, vh, 0);
                            return 1;
                        }) /
                   kRounds;
        if (flat[0]->Ok())
            ptzAnchor += Rate(seconds / kRounds,
                              [&] {
                                  int n = 0;
                                  for (V360* f : flat)
                                      n += f->Push();
                                  return n / 4;
                              }) /
                         kRounds;
    }
    for (V360* f : flat)
        delete f;
    std::printf("  (table builds of the first view: %llu, exactly computed pixels %llu)\n",
                static_cast<unsigned long long>(ptz[0].Table().Builds()),
                static_cast<unsigned long long>(ptz[0].Table().ExactPixels()));
    std::printf("2880 fisheye, four 960x540 PTZ views, 2 threads: ours %.1f frames/s, v360 %.1f\n",
                ptzOurs, ptzAnchor);

    // ---- Table rebuild (a PTZ change) ----
    ViewSettings settings = panoView;
    settings.rectWidth = static_cast<int32_t>(pw);
    settings.rectHeight = static_cast<int32_t>(ph);
    LensData lens = fishLens;
    lens.width = lens.height = 1920;
    double rebuildCpu = 0.0;  // CPU time of one thread's rebuild: what load does not stretch
    auto rebuild = [&](CWorkerPool* p, bool render) {
        CRemapTable table;
        CDewarper d(p);
        double total = 0.0, worst = 0.0, cpu = 0.0;
        const int n = 12;
        for (int i = 0; i < n; ++i) {
            settings.pan = 0.05f * static_cast<float>(i + 1);
            timespec cpuStart{}, cpuEnd{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStart);
            const auto start = Clock::now();
            if (render) {
                d.Render(settings, fishLens, fishYuv, out.data(), pw * 4, pw, ph, 0);
            } else {
                ViewGeometry g;
                DeriveView(settings, lens, &g);
                table.Build(g, lens, pw, ph, p);
            }
            const double ms = Seconds(start) * 1000.0;
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuEnd);
            cpu +=
                (cpuEnd.tv_sec - cpuStart.tv_sec) * 1e3 + (cpuEnd.tv_nsec - cpuStart.tv_nsec) / 1e6;
            total += ms;
            worst = std::max(worst, ms);
        }
        std::printf(
            "  %s, %u thread(s): mean %.1f ms, worst %.1f ms (calling thread's CPU %.1f ms)\n",
            render ? "PTZ change to new picture" : "table rebuild",
            p != nullptr ? p->Threads() : 1u, total / n, worst, cpu / n);
        if (p == nullptr && !render)
            rebuildCpu = cpu / n;
        return total / n;
    };
    std::printf("panorama 1920x960 view changes:\n");
    const double rebuild2 = rebuild(&pool, false);
    rebuild(nullptr, false);
    const double change2 = rebuild(&pool, true);
    {
        CRemapTable t;
        ViewGeometry g;
        DeriveView(settings, lens, &g);
        t.Build(g, lens, pw, ph, nullptr);
        std::printf("  exactly computed pixels: %llu of %u\n",
                    static_cast<unsigned long long>(t.ExactPixels()), pw * ph);
    }

    // ---- The kernel alone against memcpy ----
    CRemapTable table;
    {
        ViewGeometry g;
        settings.pan = 0.0f;
        DeriveView(settings, lens, &g);
        table.Build(g, lens, pw, ph, nullptr);
    }
    // The panorama band only (the bars would make the kernel look faster than it is).
    uint32_t bandBegin = ph, bandEnd = 0;
    for (uint32_t r = 0; r < ph; ++r)
        if (table.RowX(r)[pw / 2] != kNothingDrawn) {
            bandBegin = std::min(bandBegin, r);
            bandEnd = r + 1;
        }
    const double bandPixels = double(pw) * (bandEnd - bandBegin);
    const uint32_t background = BackgroundWord(0);
    const double kernelRate = Rate(seconds / 2,
                                   [&] {
                                       RemapRows(BestKernelPath(), table, bandBegin, bandEnd,
                                                 fishYuv, out.data(), pw * 4, background);
                                       return 1;
                                   }) *
                              bandPixels;
    const double plainRate = Rate(seconds / 2,
                                  [&] {
                                      RemapRows(KernelPath::Plain, table, bandBegin, bandEnd,
                                                fishYuv, out.data(), pw * 4, background);
                                      return 1;
                                  }) *
                             bandPixels;
    const size_t bytes = size_t(bandPixels) * 12;
    std::vector<uint8_t> a(bytes, 1), b(bytes, 2);
    const double copyRate = Rate(seconds / 2,
                                 [&] {
                                     std::memcpy(b.data(), a.data(), bytes);
                                     a[0] = b[1];
                                     return 1;
                                 }) *
                            bandPixels;
    std::printf(
        "kernel alone, 1 thread, %ux%u band: %.0f Mpixel/s (plain %.0f); memcpy of 12 "
        "bytes per pixel: %.0f Mpixel/s (%.1f GB/s)\n",
        pw, bandEnd - bandBegin, kernelRate / 1e6, plainRate / 1e6, copyRate / 1e6,
        copyRate * 12 / 1e9);
    std::printf("load average after: %s\n", Loadavg().c_str());

    auto ratio = [](double x, double y) { return y > 0 ? x / y : 0.0; };
    std::printf(
        "BENCH fisheye 1920^2 -> 360 panorama 1920x960 BGRX, 2 threads (frames/s)|%.1f|%.1f "
        "(FFmpeg v360, 2 threads)|%.3f|>= 2.0\n",
        ours, anchor, ratio(ours, anchor));
    std::printf(
        "BENCH fisheye 2880^2 -> four 960x540 PTZ views, 2 threads (frames/s)|%.1f|%.1f "
        "(v360 flat x4, 2 threads)|%.3f|-\n",
        ptzOurs, ptzAnchor, ratio(ptzOurs, ptzAnchor));
    std::printf("BENCH remap table rebuild 1920x960, 2 threads (ms)|%.1f|-|-|<= 40\n", rebuild2);
    std::printf("BENCH remap table rebuild 1920x960, 1 thread, CPU time (ms)|%.1f|-|-|<= 40\n",
                rebuildCpu);
    std::printf("BENCH PTZ change to first new picture 1920x960, 2 threads (ms)|%.1f|-|-|<= 40\n",
                change2);
    std::printf(
        "BENCH remap kernel alone, 1 thread (Mpixel/s)|%.0f|%.0f (memcpy of 12 bytes per "
        "pixel)|%.3f|-\n",
        kernelRate / 1e6, copyRate / 1e6, ratio(kernelRate, copyRate));
    return 0;
}
