// Panorama drawing rate on the headless context, against libavfilter's v360 filter.
//
//   bench_render [seconds per measurement, default 4]
//                [adaptive|direct|picture|before|full|port|live|idle|v360, comma-separated:
//                only those]
//
// Ours: a 1920x1920 fisheye (model 2) in planar 4:2:0, drawn by the renderer's own thread into
// a 1920x960 region as the 360-degree panorama (display 13), read back every frame through a
// snapshot callback. A new picture is handed in after every drawn frame, so the thread never
// idles. Measured as the renderer draws it (adaptive), with the camera pass drawn directly
// instead of through its texture-coordinate map (direct), with a picture-sized target instead
// of one of the rectangle's size (picture), with both (before), and with the full design mesh drawn
// directly. Each figure comes with the process's CPU time per frame, which a busy machine disturbs
// less than the rate. port and live: a live port's picture, 1080p of the normal model into a
// 640x360 region with a band read back and into a 1280x720 region read back whole, each with the
// rectangle-sized and the picture-sized target.
// v360: the same picture, fisheye 180 degrees to equirectangular 1920x960, bilinear, two threads.
// idle: a paused port, the 1080p picture of the normal model shown in a 1280x720 region and
// nothing changing: the process's CPU time as a share of one core, beside the same port drawn
// at every pass of its render loop as it was before it drew only on change.
//
// Where a frame goes (llvmpipe, 2 threads; CPU per frame on the shared machine, where the
// previous configuration took about 140 ms and this one about 47 ms):
// - Target size. A region used to render at the picture's size (1920x1920) and be scaled into
//   its rectangle; at the rectangle's size the camera pass covers a quarter as many fragments
//   (the panorama band is 1920x480 of the 1920x960 target).
// - Camera pass. On llvmpipe each texture fetch costs about 4-5 ns per fragment and small
//   triangles cost more than their area: the mesh that follows the target (cells of a few
//   pixels) took about as much as the fetches. Through the map the pass is one quad: a float
//   fetch of the coordinates and depth, then the picture's fetches (Y, and U with V in one
//   two-channel texture) and the YUV conversion. The map is rebuilt only when the view changes.
// - Discarded fragments. llvmpipe shades a fragment it discards nearly in full (all three
//   fetches), and the panorama band is half of its target, so the quad is scissored to the
//   rectangle the map's pass drew (found once per map by reading it back, ~3 ms): about 42 ->
//   27 ms CPU per frame. A smaller map (RG32F, RGBA16, no depth) or texelFetch saved nothing
//   measurable: the fetch's fixed cost dominates, not its bytes.
// - Copy into the window. The window's rows are stored the other way up, so a blit there is a
//   full draw of colour and another of depth (about 20 ms at 1920x960); a region with nothing
//   to compose and a rectangle-sized target draws into the window directly.
// - Read-back of the band through the pack buffer and the texture upload: a few ms.
// - Vertex stage: the design's full mesh (3000 x 2000 cells, 12 M vertices) costs 1.4-2 s per
//   frame on the render thread alone; the adaptive mesh (here 250 x 250 cells) is drawn only
//   when the map is rebuilt.

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include <quorixsdk.h>

#include "panorama/region.h"
#include "panorama/render.h"
#include "panorama/view.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSrc = 1920, kOutW = 1920, kOutH = 960;

struct Picture {
    std::vector<uint8_t> y, u, v;
};

// A fisheye picture with detail everywhere (rings and spokes), planar 4:2:0.
Picture MakePicture() {
    Picture p;
    p.y.resize(kSrc * kSrc);
    p.u.resize(kSrc * kSrc / 4);
    p.v.resize(kSrc * kSrc / 4);
    for (int y = 0; y < kSrc; ++y)
        for (int x = 0; x < kSrc; ++x) {
            const double dx = x - kSrc / 2.0, dy = y - kSrc / 2.0;
            const double r = std::hypot(dx, dy), a = std::atan2(dy, dx);
            p.y[y * kSrc + x] =
                static_cast<uint8_t>(128 + 60 * std::sin(r / 9.0) + 50 * std::cos(a * 24));
        }
    for (int y = 0; y < kSrc / 2; ++y)
        for (int x = 0; x < kSrc / 2; ++x) {
            p.u[y * kSrc / 2 + x] = static_cast<uint8_t>(128 + 80.0 * x / kSrc);
            p.v[y * kSrc / 2 + x] = static_cast<uint8_t>(128 - 80.0 * y / kSrc);
        }
    return p;
}

// CPU time of the whole process: on a shared machine the work per frame is steadier than the
// rate.
double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Counter {
    std::mutex mutex;
    std::condition_variable cv;
    uint64_t frames = 0;
};

void OnSnap(uint16_t, uint32_t, uint32_t, uint32_t, uint32_t, const uint8_t* data, void* user) {
    auto* c = static_cast<Counter*>(user);
    volatile uint8_t sink = data[0];  // the pixels are really there
    (void)sink;
    std::lock_guard<std::mutex> lock(c->mutex);
    ++c->frames;
    c->cv.notify_all();
}

// Frames per second of the renderer over about `seconds`. A feeder thread attaches the picture
// every 2 ms (no copy), as a camera faster than the renderer would, so the render thread never
// waits for a frame.
double MeasureOurs(SPHERA::CRender* r, std::vector<uint8_t>& frame, Counter& counter,
                   double seconds, double* cpuPerFrame = nullptr, uint32_t width = kSrc,
                   uint32_t height = kSrc) {
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        while (!stop.load()) {
            SPHERA::AttachFrame(r, 0, width, height, 20, frame.data(),
                                static_cast<uint32_t>(frame.size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    auto waitFrames = [&](uint64_t n) {
        std::unique_lock<std::mutex> lock(counter.mutex);
        const uint64_t target = counter.frames + n;
        counter.cv.wait(lock, [&] { return counter.frames >= target; });
    };
    waitFrames(2);  // mesh built, targets sized
    const double cpuStart = CpuSeconds();
    const auto start = Clock::now();
    uint64_t drawn = 0;
    while (std::chrono::duration<double>(Clock::now() - start).count() < seconds) {
        waitFrames(1);
        ++drawn;
    }
    const double rate = drawn / std::chrono::duration<double>(Clock::now() - start).count();
    if (cpuPerFrame != nullptr && drawn > 0)
        *cpuPerFrame = (CpuSeconds() - cpuStart) * 1000.0 / static_cast<double>(drawn);
    stop.store(true);
    feeder.join();
    return rate;
}

double MeasureV360(const Picture& pic, double seconds) {
    AVFilterGraph* graph = avfilter_graph_alloc();
    graph->nb_threads = 2;
    char args[256];
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/25:pixel_aspect=1/1",
                  kSrc, kSrc, AV_PIX_FMT_YUV420P);
    AVFilterContext *src = nullptr, *sink = nullptr;
    if (avfilter_graph_create_filter(&src, avfilter_get_by_name("buffer"), "in", args, nullptr,
                                     graph) < 0 ||
        avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr,
                                     nullptr, graph) < 0) {
        std::fprintf(stderr, "v360: cannot create the buffer filters\n");
        avfilter_graph_free(&graph);
        return 0.0;
    }
    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    outputs->name = av_strdup("in");
    outputs->filter_ctx = src;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink;
    char desc[256];
    std::snprintf(desc, sizeof desc,
                  "v360=input=fisheye:output=e:ih_fov=180:iv_fov=180:w=%d:h=%d:interp=linear",
                  kOutW, kOutH);
    if (avfilter_graph_parse_ptr(graph, desc, &inputs, &outputs, nullptr) < 0 ||
        avfilter_graph_config(graph, nullptr) < 0) {
        std::fprintf(stderr, "v360: cannot configure the graph\n");
        avfilter_inout_free(&inputs);
        avfilter_inout_free(&outputs);
        avfilter_graph_free(&graph);
        return 0.0;
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);

    AVFrame* in = av_frame_alloc();
    AVFrame* out = av_frame_alloc();
    uint64_t frames = 0;
    Clock::time_point start;
    for (int64_t pts = 0;; ++pts) {
        if (pts == 2)
            start = Clock::now();
        if (pts > 2 && std::chrono::duration<double>(Clock::now() - start).count() >= seconds)
            break;
        in->format = AV_PIX_FMT_YUV420P;
        in->width = kSrc;
        in->height = kSrc;
        if (av_frame_get_buffer(in, 0) < 0)
            break;
        for (int y = 0; y < kSrc; ++y)
            std::memcpy(in->data[0] + y * in->linesize[0], &pic.y[y * kSrc], kSrc);
        for (int y = 0; y < kSrc / 2; ++y) {
            std::memcpy(in->data[1] + y * in->linesize[1], &pic.u[y * kSrc / 2], kSrc / 2);
            std::memcpy(in->data[2] + y * in->linesize[2], &pic.v[y * kSrc / 2], kSrc / 2);
        }
        in->pts = pts;
        if (av_buffersrc_add_frame(src, in) < 0)
            break;
        while (av_buffersink_get_frame(sink, out) >= 0) {
            if (pts >= 2)
                ++frames;
            av_frame_unref(out);
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    av_frame_free(&in);
    av_frame_free(&out);
    avfilter_graph_free(&graph);
    return frames / elapsed;
}

// CPU time of the whole process over `seconds` as a percentage of one core, while a port shows
// one picture that never changes. everyPass: drawn at every pass of the render loop anyway.
double MeasureIdle(double seconds, bool everyPass) {
    std::vector<uint8_t> picture(1920 * 1080 * 3 / 2);
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<uint8_t>(i * 7 / 5);
    SPHERA::CRender* p = nullptr;
    double percent = -1.0;
    if (SPHERA::CreateRender(SPHERA::SPH_MODEL_NORMAL, nullptr, 0, &p) == QUORIX_OK &&
        SPHERA::Init(p, 0, nullptr, true) == QUORIX_OK) {
        SPHERA::DrawEveryPass(everyPass);
        // Headless, nothing would make the driver carry out a frame that is never shown; a read-
        // back of a few rows stands in for the swap that shows it in a window.
        Counter shown;
        SPHERA::SetSnapFormat(p, 0, 3, 4);
        SPHERA::SetSnapRect(p, 0, 0.0f, 0.0f, 1.0f, 0.01f);
        SPHERA::SetSnapCallback(p, 0, OnSnap, &shown);
        SPHERA::EnableRegion(p, 0, 0, 0, 1280, 720, true);
        SPHERA::AttachFrame(p, 0, 1920, 1080, 20, picture.data(),
                            static_cast<uint32_t>(picture.size()));
        // Settled: the picture drawn and the passes that follow a change gone by.
        while (p->GetDrawnFrames() == 0)
            p->WaitLoopPasses(1, 1000);
        p->WaitLoopPasses(5, 10000);
        const double cpuStart = CpuSeconds();
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        percent = (CpuSeconds() - cpuStart) * 100.0 / wall;
        std::printf("idle port%s: %llu frames drawn in %.1f s\n", everyPass ? " (every pass)" : "",
                    static_cast<unsigned long long>(shown.frames), wall);
        SPHERA::SetSnapCallback(p, 0, nullptr, nullptr);
        SPHERA::DrawEveryPass(false);
    }
    SPHERA::DestroyRender(p);
    return percent;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 4.0;
    const std::string only = argc > 2 ? argv[2] : "";
    auto wanted = [&only](const char* name) {
        if (only.empty())
            return true;
        const size_t length = std::strlen(name);
        for (size_t at = only.find(name); at != std::string::npos; at = only.find(name, at + 1)) {
            const bool starts = at == 0 || only[at - 1] == ',';
            const bool ends = at + length == only.size() || only[at + length] == ',';
            if (starts && ends)
                return true;
        }
        return false;
    };
    if (std::getenv("QUORIX_TEST_DISPLAY") == nullptr)
        unsetenv("DISPLAY");
    const Picture pic = MakePicture();
    // The same picture as one contiguous 4:2:0 block for attaching.
    std::vector<uint8_t> frame(pic.y);
    frame.insert(frame.end(), pic.u.begin(), pic.u.end());
    frame.insert(frame.end(), pic.v.begin(), pic.v.end());

    if (SPHERA::GlobalInit() != QUORIX_OK)
        return 1;
    SPHERA::CRender* r = nullptr;
    if (SPHERA::CreateRender(SPHERA::SPH_MODEL_FISHEYE, nullptr, 0, &r) != QUORIX_OK)
        return 1;
    if (SPHERA::Init(r, 0, nullptr, true) != QUORIX_OK) {
        std::fprintf(stderr, "no GL context\n");
        SPHERA::DestroyRender(r);
        return 1;
    }
    Counter counter;
    SPHERA::EnableRegion(r, 0, 0, 0, kOutW, kOutH, true);
    SPHERA::SetDisplayType(r, 0, SPHERA::SPH_DISPLAY_PLANE360);
    SPHERA::SetSnapFormat(r, 0, 3, 4);
    SPHERA::SetSnapCallback(r, 0, OnSnap, &counter);

    // The machine is shared: the renderer and v360 are measured in alternating slices so that a
    // change of load falls on both. The renderer's region is disabled while v360 runs, so its
    // thread only idles.
    constexpr int kRounds = 4;
    double ours = 0.0, v360 = 0.0, pictureSized = 0.0, oursCpu = 0.0, pictureCpu = 0.0;
    double direct = 0.0, directCpu = 0.0, before = 0.0, beforeCpu = 0.0;
    for (int round = 0; round < kRounds; ++round) {
        if (wanted("adaptive")) {
            SPHERA::EnableRegion(r, 0, 0, 0, kOutW, kOutH, true);
            double cpu = 0.0;
            ours += MeasureOurs(r, frame, counter, seconds / kRounds, &cpu) / kRounds;
            oursCpu += cpu / kRounds;
            SPHERA::EnableRegion(r, 0, 0, 0, kOutW, kOutH, false);
        }
        if (wanted("direct")) {
            SPHERA::ForceDirectCameraPass(true);
            SPHERA::EnableRegion(r, 0, 0, 0, kOutW, kOutH, true);
            double cpu = 0.0;
            direct += MeasureOurs(r, frame, counter, seconds / kRounds, &cpu) / kRounds;
            directCpu += cpu / kRounds;
            SPHERA::EnableRegion(r, 0, 0, 0, kOutW, kOutH, false);
            SPHERA::ForceDirectCameraPass(false);
        }
        if (wanted("before")) {
            SPHERA::ForceDirectCameraPass(true);
            SPHERA::ForcePictureSizedTargets(true);
            SPHERA::EnableRegion(r, 0, 0, 0, kOutW, kOutH, true);
            double cpu = 0.0;
            before += MeasureOurs(r, frame, counter, seconds / kRounds, &cpu) / kRounds;
            beforeCpu += cpu / kRounds;
            SPHERA::EnableRegion(r, 0, 0, 0, kOutW, kOutH, false);
            SPHERA::ForcePictureSizedTargets(false);
            SPHERA::ForceDirectCameraPass(false);
        }
        if (wanted("picture")) {
            SPHERA::ForcePictureSizedTargets(true);
            SPHERA::EnableRegion(r, 0, 0, 0, kOutW, kOutH, true);
            double cpu = 0.0;
            pictureSized += MeasureOurs(r, frame, counter, seconds / kRounds, &cpu) / kRounds;
            pictureCpu += cpu / kRounds;
            SPHERA::EnableRegion(r, 0, 0, 0, kOutW, kOutH, false);
            SPHERA::ForcePictureSizedTargets(false);
        }
        if (wanted("v360"))
            v360 += MeasureV360(pic, seconds / kRounds) / kRounds;
    }
    double full = 0.0;
    if (wanted("full")) {
        SPHERA::EnableRegion(r, 0, 0, 0, kOutW, kOutH, true);
        // Drawn directly: through the map, the mesh would be drawn once only.
        SPHERA::ForceFullGridDensity(true);
        SPHERA::ForceDirectCameraPass(true);
        full = MeasureOurs(r, frame, counter, seconds);
        SPHERA::ForceDirectCameraPass(false);
        SPHERA::ForceFullGridDensity(false);
    }
    SPHERA::SetSnapCallback(r, 0, nullptr, nullptr);
    std::printf("texture-coordinate maps built: %u\n", r->GetRegion(0)->GetRemapBuilds());
    SPHERA::DestroyRender(r);

    // A live port's picture: 1080p of the normal model in a region (640x360 with a band of a
    // tenth read back, as the many-ports benchmark draws it; 1280x720 read back whole, as the
    // live-latency benchmark does), with the rectangle-sized and with the picture-sized target.
    struct PortFigures {
        double rate = 0.0, cpu = 0.0, beforeRate = 0.0, beforeCpu = 0.0;
    };
    auto measurePort = [&](int32_t w, int32_t h, float band) {
        PortFigures f;
        std::vector<uint8_t> portFrame(1920 * 1080 * 3 / 2);
        for (size_t i = 0; i < portFrame.size(); ++i)
            portFrame[i] = static_cast<uint8_t>(i * 7 / 5);
        SPHERA::CRender* p = nullptr;
        if (SPHERA::CreateRender(SPHERA::SPH_MODEL_NORMAL, nullptr, 0, &p) == QUORIX_OK &&
            SPHERA::Init(p, 0, nullptr, true) == QUORIX_OK) {
            Counter portCounter;
            SPHERA::SetSnapFormat(p, 0, 3, 4);
            SPHERA::SetSnapRect(p, 0, 0.0f, 0.0f, 1.0f, band);
            SPHERA::SetSnapCallback(p, 0, OnSnap, &portCounter);
            for (int round = 0; round < kRounds; ++round) {
                double cpu = 0.0;
                SPHERA::EnableRegion(p, 0, 0, 0, w, h, true);
                f.rate +=
                    MeasureOurs(p, portFrame, portCounter, seconds / kRounds, &cpu, 1920, 1080) /
                    kRounds;
                f.cpu += cpu / kRounds;
                SPHERA::ForcePictureSizedTargets(true);
                f.beforeRate +=
                    MeasureOurs(p, portFrame, portCounter, seconds / kRounds, &cpu, 1920, 1080) /
                    kRounds;
                f.beforeCpu += cpu / kRounds;
                SPHERA::ForcePictureSizedTargets(false);
                SPHERA::EnableRegion(p, 0, 0, 0, w, h, false);
            }
            SPHERA::SetSnapCallback(p, 0, nullptr, nullptr);
        }
        SPHERA::DestroyRender(p);
        return f;
    };
    double idle = -1.0, idleBefore = -1.0;
    if (wanted("idle")) {
        idleBefore = MeasureIdle(seconds, true);
        idle = MeasureIdle(seconds, false);
    }
    PortFigures port, live;
    if (wanted("port"))
        port = measurePort(640, 360, 0.1f);
    if (wanted("live"))
        live = measurePort(1280, 720, 1.0f);

    std::printf("renderer (adaptive mesh)  %8.2f frames/s, %.1f ms CPU per frame\n", ours, oursCpu);
    std::printf("renderer (full mesh)      %8.2f frames/s (drawn directly)\n", full);
    std::printf("renderer (direct pass)    %8.2f frames/s, %.1f ms CPU per frame\n", direct,
                directCpu);
    std::printf("renderer (both, as before)%8.2f frames/s, %.1f ms CPU per frame\n", before,
                beforeCpu);
    std::printf("renderer (picture-sized)  %8.2f frames/s, %.1f ms CPU per frame\n", pictureSized,
                pictureCpu);
    std::printf(
        "port 1080p -> 640x360     %8.2f frames/s, %.1f ms CPU per frame "
        "(picture-sized target: %.2f frames/s, %.1f ms)\n",
        port.rate, port.cpu, port.beforeRate, port.beforeCpu);
    std::printf(
        "live 1080p -> 1280x720    %8.2f frames/s, %.1f ms CPU per frame "
        "(picture-sized target: %.2f frames/s, %.1f ms)\n",
        live.rate, live.cpu, live.beforeRate, live.beforeCpu);
    if (idle >= 0.0) {
        std::printf("idle port 1080p -> 1280x720: %.2f %% of a core (drawn every pass: %.2f %%)\n",
                    idle, idleBefore);
        char anchor[64] = "-";
        if (idleBefore >= 0.0)
            std::snprintf(anchor, sizeof anchor, "%.2f (drawn every pass)", idleBefore);
        std::printf("BENCH idle (paused) OpenGL port: CPU %% of one core|%.2f|%s|-|<= 1\n", idle,
                    anchor);
    }
    std::printf("v360 (2 threads)          %8.2f frames/s\n", v360);
    std::printf("adaptive / full           %8.2fx\n", full > 0 ? ours / full : 0.0);
    std::printf("adaptive / v360           %8.3f\n", v360 > 0 ? ours / v360 : 0.0);
    // Printed here now that this benchmark prints a figure of its own: the bench script makes
    // this row from the lines above only when no figure is printed.
    if (ours > 0.0 && v360 > 0.0)
        std::printf(
            "BENCH fisheye 1920^2 -> 360 panorama 1920x960, headless software GL "
            "(frames/s)|%.2f|%.2f (FFmpeg v360, 2 threads)|%.3f|>= 1.0\n",
            ours, v360, ours / v360);
    return 0;
}
