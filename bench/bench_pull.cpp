// A pulled RTSP camera: GStreamer's RTSP server on 127.0.0.1 (tests/support/rtsp_server.py)
// sends a 1080p H.264 stream at 25 pictures a second whose pictures carry their own number (the
// bands of live_common.h); a port pulls it over TCP with QUORIX_CameraOpen.
//
// Latency: the server writes, per picture, the monotonic time at which it leaves for the network;
// the port draws headless into one 1280x720 region whose snapshot callback reads the number of
// each drawn picture. The difference of the two, on the same clock, is the server-to-pixels
// latency, against one frame interval. Play modes 0 (shown as decoded) and 2 (low latency).
// The latency is also split where the pull takes each picture out of libavformat: this program
// defines av_read_frame itself (exported, so the library's calls bind to it) and notes when each
// picture comes out, known by its first bytes (the depacketised access unit of a picture without
// parameter sets begins as the encoder wrote it; its end may carry padding).
//
// CPU: the pull (connect, demux, decode; no region drawn) against
// `ffmpeg -rtsp_transport tcp -i URL -f null -` on the same stream, each for the whole stream,
// user plus system time of the process over the stream's duration.
// The pull learns the streams for up to two seconds before it plays, so a run needs a few
// seconds of stream beyond that.
//   bench_pull [pictures=250]

#include <dlfcn.h>
#include <quorixsdk.h>
#include <quorixsdk_camera.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "live_common.h"
#include "support/rtsp_fixture.h"

extern "C" {
#include <libavformat/avformat.h>
}

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kRegionWidth = 1280;
constexpr int32_t kRegionHeight = 720;
constexpr uint32_t kWarmUpPictures = 40;
const char* const kLatencyFigure =
    "pulled RTSP camera 1080p H.264 over TCP, server send to its pixels in a snapshot callback "
    "(ms median / p99)";
const char* const kCpuFigure =
    "pulled RTSP camera 1080p H.264 over TCP, CPU of pull and decode (% of one core)";

// State callbacks: the last state, and whether the pull is over (ended, lost or failed).
struct Pull {
    std::mutex lock;
    std::condition_variable changed;
    bool playing = false;
    bool over = false;
    uint32_t lastState = QUORIX_CAMERA_CLOSED;
    uint32_t lastCode = QUORIX_OK;

    static void OnState(uint16_t, uint32_t state, uint32_t code, void* user) {
        Pull& pull = *static_cast<Pull*>(user);
        std::lock_guard<std::mutex> guard(pull.lock);
        pull.lastState = state;
        pull.lastCode = code;
        if (state == QUORIX_CAMERA_PLAYING)
            pull.playing = true;
        if (state == QUORIX_CAMERA_ENDED || state == QUORIX_CAMERA_LOST ||
            state == QUORIX_CAMERA_FAILED)
            pull.over = true;
        pull.changed.notify_all();
    }
    bool WaitOver(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, limit, [&] { return over; });
    }
};

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// When each picture came out of av_read_frame, per picture number, during a latency run.
struct Demuxed {
    std::vector<std::atomic<int64_t>> ns;
    explicit Demuxed(size_t frames) : ns(frames) {
        for (auto& at : ns)
            at.store(-1);
    }
};
std::atomic<Demuxed*> g_demuxed{nullptr};

// Which picture a packet is: a hash of its first bytes. Built before the runs; ambiguous keys map
// to -1.
std::unordered_map<uint64_t, int64_t> g_pictureByKey;

uint64_t PacketKey(const uint8_t* data, size_t size) {
    uint64_t hash = 1469598103934665603ull;
    for (size_t i = 0; i < std::min<size_t>(size, 512); ++i)
        hash = (hash ^ data[i]) * 1099511628211ull;
    return hash;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int av_read_frame(AVFormatContext* context,
                                                                    AVPacket* packet) {
    using Read = int (*)(AVFormatContext*, AVPacket*);
    static const Read real = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "av_read_frame"));
    const int result = real(context, packet);
    Demuxed* demuxed = g_demuxed.load(std::memory_order_acquire);
    if (result >= 0 && demuxed != nullptr && packet->data != nullptr) {
        const auto found =
            g_pictureByKey.find(PacketKey(packet->data, static_cast<size_t>(packet->size)));
        if (found != g_pictureByKey.end() && found->second >= 0 &&
            static_cast<size_t>(found->second) < demuxed->ns.size()) {
            int64_t unset = -1;
            demuxed->ns[static_cast<size_t>(found->second)].compare_exchange_strong(unset, NowNs());
        }
    }
    return result;
}

namespace {

struct Shown {
    std::mutex lock;
    std::vector<int64_t> shownNs;  // per picture number: first drawn, -1 until then
    uint64_t callbacks = 0;
    uint64_t unreadable = 0;

    static void OnSnap(uint16_t, uint16_t, uint32_t width, uint32_t stride, uint32_t height,
                       uint32_t format, const uint8_t* data, void* user) {
        const int64_t now = NowNs();
        Shown& shown = *static_cast<Shown*>(user);
        int64_t number = -1;
        if (format == QUORIX_PIXEL_BGR32)
            number = livebench::ReadNumber(data, width, stride, height, 4, livebench::kBandHeight);
        std::lock_guard<std::mutex> guard(shown.lock);
        ++shown.callbacks;
        if (number < 0 || static_cast<size_t>(number) >= shown.shownNs.size()) {
            ++shown.unreadable;
            return;
        }
        if (shown.shownNs[static_cast<size_t>(number)] < 0)
            shown.shownNs[static_cast<size_t>(number)] = now;
    }
};

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t at =
        std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
    return values[at];
}

double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The send times the server wrote, per picture number of the first pipeline in the file.
std::vector<int64_t> ReadStamps(const std::string& path, uint32_t frames) {
    std::vector<int64_t> sent(frames, -1);
    std::ifstream in(path);
    long long number = 0, ns = 0;
    while (in >> number >> ns) {
        if (number < 0 || number >= frames || sent[static_cast<size_t>(number)] >= 0)
            continue;
        sent[static_cast<size_t>(number)] = ns;
    }
    return sent;
}

// Pulls the whole stream once. With `draw`, region 0 is shown and its snapshots read; without,
// the port only pulls and decodes. `cpu` receives the process's CPU seconds from the open to the
// stream's end and `seconds` that wall time. Empty on success, otherwise why not.
std::string PullOnce(const std::string& url, uint32_t mode, bool draw, Shown* shown, double* cpu,
                     double* seconds, uint32_t frames) {
    uint16_t port = 0;
    uint32_t code = QUORIX_GetPort(&port);
    if (code != QUORIX_OK)
        return std::string("QUORIX_GetPort: ") + livebench::CodeName(code);
    std::string why;
    Pull pull;
    const auto step = [&](const char* name, uint32_t result) {
        if (result != QUORIX_OK && why.empty())
            why = std::string(name) + ": " + livebench::CodeName(result);
        return result == QUORIX_OK;
    };
    bool opened = false;
    step("QUORIX_SetStreamOpenMode", QUORIX_SetStreamOpenMode(port, mode));
    if (draw) {
        const QUORIX_RECT rect{0, 0, kRegionWidth, kRegionHeight};
        step("QUORIX_SetDisplayRegion", QUORIX_SetDisplayRegion(port, 0, &rect, 1));
    }
    QUORIX_CAMERA_OPTIONS options;
    QUORIX_CameraDefaultOptions(&options);
    options.transport = QUORIX_TRANSPORT_TCP;
    options.reconnect = 0;  // the stream is pulled once, to its end
    // From the open on, as FFmpeg's command line is measured from its start: connecting and
    // learning the streams cost too.
    const double cpuStart = CpuSeconds(RUSAGE_SELF);
    const Clock::time_point start = Clock::now();
    if (why.empty() && step("QUORIX_CameraOpen",
                            QUORIX_CameraOpen(port, url.c_str(), &options, &Pull::OnState, &pull)))
        opened = true;
    if (opened && step("QUORIX_Play", QUORIX_Play(port, 0, nullptr, 0)) && draw)
        step("QUORIX_SetSnapCallback",
             QUORIX_SetSnapCallback(port, 0, &Shown::OnSnap, shown, QUORIX_PIXEL_BGR32, 4));
    if (why.empty()) {
        {
            std::unique_lock<std::mutex> guard(pull.lock);
            pull.changed.wait_for(guard, std::chrono::seconds(60),
                                  [&] { return pull.playing || pull.over; });
        }
        const auto limit = std::chrono::seconds(60 + frames * livebench::kIntervalMs / 1000);
        if (!pull.playing)
            why = "never played";
        else if (!pull.WaitOver(limit))
            why = "the stream did not end";
        *cpu = CpuSeconds(RUSAGE_SELF) - cpuStart;
        *seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (draw)
            QUORIX_SetSnapCallback(port, 0, nullptr, nullptr, 0, 4);
    }
    if (opened)
        QUORIX_CameraClose(port);
    QUORIX_FreePort(port);
    return why;
}

// ffmpeg -rtsp_transport tcp -i url -f null -: its CPU seconds and wall seconds.
bool FfmpegOnce(const std::string& url, double* cpu, double* seconds) {
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport",
                                     "tcp",    "-i",       url,  "-f",    "null",
                                     "-"};
    std::vector<char*> raw;
    for (std::string& arg : argv)
        raw.push_back(arg.data());
    raw.push_back(nullptr);
    pid_t pid = -1;
    const Clock::time_point start = Clock::now();
    if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, raw.data(), environ) != 0)
        return false;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return false;
    *seconds = std::chrono::duration<double>(Clock::now() - start).count();
    *cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t frames =
        argc > 1 ? static_cast<uint32_t>(std::max(100, std::atoi(argv[1]))) : 250;
    const std::string missing = rtsptest::ServerUnavailable();
    if (!missing.empty()) {
        std::printf("%s\n", missing.c_str());
        std::printf("BENCH %s|not available (no RTSP server)|40 ms|-|<= 1.0\n", kLatencyFigure);
        std::printf("BENCH %s|not available (no RTSP server)|-|-|<= 1.5\n", kCpuFigure);
        return 0;
    }
    std::printf("encoding %u pictures of 1920x1080 with libx264...\n", frames);
    const std::vector<std::vector<uint8_t>> records = livebench::EncodeStream(frames);
    if (records.empty()) {
        std::printf("BENCH %s|not available (no libx264)|40 ms|-|<= 1.0\n", kLatencyFigure);
        std::printf("BENCH %s|not available (no libx264)|-|-|<= 1.5\n", kCpuFigure);
        return 0;
    }
    // The server takes the bare stream: the payloads of the records, one access unit each.
    std::vector<uint8_t> annexB;
    for (const std::vector<uint8_t>& record : records)
        annexB.insert(annexB.end(), record.begin() + BRIXEL::kHMFFrameHeaderSize, record.end());
    for (size_t i = 0; i < records.size(); ++i) {
        const uint64_t key = PacketKey(records[i].data() + BRIXEL::kHMFFrameHeaderSize,
                                       records[i].size() - BRIXEL::kHMFFrameHeaderSize);
        const auto [at, inserted] = g_pictureByKey.emplace(key, static_cast<int64_t>(i));
        if (!inserted)
            at->second = -1;
    }
    rtsptest::ScratchDir dir;
    rtsptest::ServerOptions serve;
    serve.video = dir.Path("camera.h264");
    serve.stamps = dir.Path("sent.txt");
    serve.loop = false;
    if (!dir.Ok() || !rtsptest::WriteBytes(serve.video, annexB)) {
        std::printf("BENCH %s|failed (cannot write the stream)|40 ms|-|<= 1.0\n", kLatencyFigure);
        return 1;
    }
    rtsptest::RtspServer server(serve);
    if (!server.Start()) {
        std::printf("%s\nBENCH %s|failed (the RTSP server did not start)|40 ms|-|<= 1.0\n",
                    server.Error().c_str(), kLatencyFigure);
        return 1;
    }
    const double streamSeconds = frames * livebench::kIntervalMs / 1000.0;
    std::printf("server on %s, %u pictures, %.1f s a pull\n", server.Url().c_str(), frames,
                streamSeconds);

    QUORIX_InitSDK();
    // Latency, in the two play modes a camera is shown with.
    for (uint32_t mode : {0u, 2u}) {
        // The server appends the send times of every pull; each run reads its own.
        std::ofstream(serve.stamps, std::ios::trunc).close();
        Shown shown;
        shown.shownNs.assign(frames, -1);
        double cpu = 0.0, seconds = 0.0;
        Demuxed demuxed(frames);
        g_demuxed.store(&demuxed, std::memory_order_release);
        const std::string why = PullOnce(server.Url(), mode, true, &shown, &cpu, &seconds, frames);
        g_demuxed.store(nullptr, std::memory_order_release);
        if (!why.empty()) {
            std::printf("mode %u: %s\n", mode, why.c_str());
            std::printf("BENCH %s, play mode %u|not available yet (%s)|40 ms|-|<= 1.0\n",
                        kLatencyFigure, mode, why.c_str());
            continue;
        }
        const std::vector<int64_t> sent = ReadStamps(serve.stamps, frames);
        std::vector<double> latency, toDemuxed, fromDemuxed;
        {
            std::lock_guard<std::mutex> guard(shown.lock);
            // The first pictures pay for the connection, the renderer's and the decoder's start.
            for (uint32_t i = kWarmUpPictures; i < frames; ++i) {
                if (sent[i] < 0 || shown.shownNs[i] < 0)
                    continue;
                latency.push_back((shown.shownNs[i] - sent[i]) / 1e6);
                const int64_t out = demuxed.ns[i].load();
                if (out >= sent[i] && out <= shown.shownNs[i]) {
                    toDemuxed.push_back((out - sent[i]) / 1e6);
                    fromDemuxed.push_back((shown.shownNs[i] - out) / 1e6);
                }
            }
            if (!toDemuxed.empty())
                std::printf(
                    "mode %u: split (median of each part, %zu pictures): send -> out of "
                    "av_read_frame %.1f ms, out of av_read_frame -> callback %.1f ms\n",
                    mode, toDemuxed.size(), Percentile(toDemuxed, 0.5),
                    Percentile(fromDemuxed, 0.5));
            std::printf(
                "mode %u: %zu of %u pictures shown, %llu callbacks (%llu unreadable), "
                "%.1f s, process CPU %.2f s\n",
                mode, latency.size(), frames - kWarmUpPictures,
                static_cast<unsigned long long>(shown.callbacks),
                static_cast<unsigned long long>(shown.unreadable), seconds, cpu);
        }
        if (latency.empty()) {
            std::printf("BENCH %s, play mode %u|no picture shown|40 ms|-|<= 1.0\n", kLatencyFigure,
                        mode);
            continue;
        }
        const double median = Percentile(latency, 0.5), p99 = Percentile(latency, 0.99);
        std::printf(
            "mode %u: latency min %.1f ms, median %.1f ms, p90 %.1f ms, p99 %.1f ms, "
            "max %.1f ms\n",
            mode, Percentile(latency, 0.0), median, Percentile(latency, 0.9), p99,
            Percentile(latency, 1.0));
        std::printf(
            "BENCH %s, play mode %u|%.1f / %.1f (%zu of %u shown)|40 ms (one "
            "interval)|%.2f|<= 1.0\n",
            kLatencyFigure, mode, median, p99, latency.size(), frames - kWarmUpPictures,
            median / livebench::kIntervalMs);
    }

    // CPU: the pull alone, then FFmpeg's command line on the same stream.
    double cpu = 0.0, seconds = 0.0;
    const std::string why = PullOnce(server.Url(), 0, false, nullptr, &cpu, &seconds, frames);
    double ffmpegCpu = 0.0, ffmpegSeconds = 0.0;
    const bool ffmpegOk = FfmpegOnce(server.Url(), &ffmpegCpu, &ffmpegSeconds);
    QUORIX_ReleaseSDK();
    const double ffmpegLoad = ffmpegOk ? 100.0 * ffmpegCpu / streamSeconds : 0.0;
    std::printf("ffmpeg -rtsp_transport tcp -f null: %s, %.2f s CPU in %.1f s\n",
                ffmpegOk ? "ok" : "failed", ffmpegCpu, ffmpegSeconds);
    if (!why.empty()) {
        std::printf("CPU run: %s\n", why.c_str());
        std::printf("BENCH %s|not available yet (%s)|%.1f %% (ffmpeg -f null)|-|<= 1.5\n",
                    kCpuFigure, why.c_str(), ffmpegLoad);
        return 0;
    }
    // Over the stream's duration, so that a slow start does not make the load look lighter.
    const double ours = 100.0 * cpu / streamSeconds;
    std::printf("CPU run: %.2f s CPU in %.1f s\n", cpu, seconds);
    if (!ffmpegOk || ffmpegLoad <= 0.0)
        std::printf("BENCH %s|%.1f %%|ffmpeg failed|-|<= 1.5\n", kCpuFigure, ours);
    else
        std::printf("BENCH %s|%.1f %%|%.1f %% (ffmpeg -rtsp_transport tcp -f null)|%.2f|<= 1.5\n",
                    kCpuFigure, ours, ffmpegLoad, ours / ffmpegLoad);
    return 0;
}
