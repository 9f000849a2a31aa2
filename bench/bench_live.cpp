// Live latency through the public interface: a host thread pushes a 1080p H.264 stream at 25
// pictures a second with QUORIX_InputStreamData; the port draws it headless into one 1280x720
// region whose snapshot callback reads each drawn picture's number from its pixels. The latency
// of a picture is the time from the start of the call that pushed it to the first callback that
// shows it. Play modes 0 (shown as decoded) and 2 (low latency) in turn.
//
// The latency is also split at the decoder: this program defines avcodec_send_packet and
// avcodec_receive_frame itself (exported, so the library's calls bind to them) and passes them
// on to libavcodec, noting when each picture, known by its bytes, goes into the decoder and when
// it comes out. That gives push -> decoder (input, queueing, the stream thread's wake-up),
// decoding, and decoded -> callback (the hand-over to the renderer, its draw and read-back).
//   bench_live [pictures=250]

#include <dlfcn.h>
#include <quorixsdk.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "live_common.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kRegionWidth = 1280;
constexpr int32_t kRegionHeight = 720;
constexpr uint32_t kWarmUpPictures = 40;

struct Run {
    std::vector<Clock::time_point> pushed;  // per picture number; written before the push
    std::vector<double> latencyMs;          // per picture number, -1 until shown
    std::vector<double> intoDecoderMs;      // per picture number, from its push; -1 until seen
    std::vector<double> outOfDecoderMs;     // per picture number, from its push; -1 until seen
    std::mutex lock;                        // guards the three vectors above
    std::atomic<uint64_t> callbacks{0};
    std::atomic<uint64_t> unreadable{0};
};

// Which picture a packet is: its size and a hash of its first and last bytes. Built before a
// run; ambiguous keys map to -1.
std::unordered_map<uint64_t, int64_t> g_pictureByKey;
std::atomic<Run*> g_run{nullptr};
thread_local int64_t t_inDecoder = -1;  // the picture this thread last sent to its decoder

uint64_t PacketKey(const uint8_t* data, size_t size) {
    uint64_t hash = 1469598103934665603ull ^ size;
    const auto mix = [&hash](uint8_t byte) { hash = (hash ^ byte) * 1099511628211ull; };
    for (size_t i = 0; i < std::min<size_t>(size, 256); ++i)
        mix(data[i]);
    for (size_t i = size > 64 ? size - 64 : 0; i < size; ++i)
        mix(data[i]);
    return hash;
}

void NoteDecoder(int64_t number, bool out) {
    Run* run = g_run.load(std::memory_order_acquire);
    if (run == nullptr || number < 0 || static_cast<size_t>(number) >= run->pushed.size())
        return;
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> guard(run->lock);
    double& at = (out ? run->outOfDecoderMs : run->intoDecoderMs)[static_cast<size_t>(number)];
    if (at < 0)
        at = std::chrono::duration<double, std::milli>(now -
                                                       run->pushed[static_cast<size_t>(number)])
                 .count();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int avcodec_send_packet(AVCodecContext* context,
                                                                          const AVPacket* packet) {
    using Send = int (*)(AVCodecContext*, const AVPacket*);
    static const Send real = reinterpret_cast<Send>(dlsym(RTLD_NEXT, "avcodec_send_packet"));
    if (packet != nullptr && packet->data != nullptr &&
        g_run.load(std::memory_order_acquire) != nullptr) {
        const auto found =
            g_pictureByKey.find(PacketKey(packet->data, static_cast<size_t>(packet->size)));
        t_inDecoder = found == g_pictureByKey.end() ? -1 : found->second;
        NoteDecoder(t_inDecoder, false);
    }
    return real(context, packet);
}

extern "C" __attribute__((visibility("default"))) int avcodec_receive_frame(AVCodecContext* context,
                                                                            AVFrame* frame) {
    using Receive = int (*)(AVCodecContext*, AVFrame*);
    static const Receive real =
        reinterpret_cast<Receive>(dlsym(RTLD_NEXT, "avcodec_receive_frame"));
    const int result = real(context, frame);
    // The library decodes with slice threads only: a picture comes out of the call that follows
    // its packet.
    if (result == 0)
        NoteDecoder(t_inDecoder, true);
    return result;
}

namespace {

void OnSnap(uint16_t, uint16_t, uint32_t width, uint32_t stride, uint32_t height, uint32_t format,
            const uint8_t* data, void* user) {
    const Clock::time_point now = Clock::now();
    Run& run = *static_cast<Run*>(user);
    run.callbacks.fetch_add(1, std::memory_order_relaxed);
    if (format != QUORIX_PIXEL_BGR32 && format != QUORIX_PIXEL_RGB32)
        return;
    const int64_t number =
        livebench::ReadNumber(data, width, stride, height, 4, livebench::kBandHeight);
    if (number < 0 || static_cast<size_t>(number) >= run.latencyMs.size()) {
        run.unreadable.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    std::lock_guard<std::mutex> guard(run.lock);
    double& latency = run.latencyMs[static_cast<size_t>(number)];
    if (latency < 0)
        latency =
            std::chrono::duration<double, std::milli>(now - run.pushed[static_cast<size_t>(number)])
                .count();
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t at =
        std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
    return values[at];
}

// Returns false with `why` set when the port cannot run the measurement.
bool Measure(uint32_t mode, const std::vector<std::vector<uint8_t>>& records, Run& run,
             std::string& why) {
    uint16_t port = 0;
    uint32_t code = QUORIX_GetPort(&port);
    if (code != QUORIX_OK) {
        why = std::string("QUORIX_GetPort: ") + livebench::CodeName(code);
        return false;
    }
    const QUORIX_RECT rect{0, 0, kRegionWidth, kRegionHeight};
    bool ok = false;
    const auto step = [&](const char* name, uint32_t result) {
        if (result == QUORIX_OK)
            return true;
        why = std::string(name) + ": " + livebench::CodeName(result);
        return false;
    };
    if (step("QUORIX_SetStreamOpenMode", QUORIX_SetStreamOpenMode(port, mode)) &&
        step("QUORIX_SetDisplayRegion", QUORIX_SetDisplayRegion(port, 0, &rect, 1)) &&
        step("QUORIX_OpenStream",
             QUORIX_OpenStream(port, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0)) &&
        step("QUORIX_SetSnapCallback",
             QUORIX_SetSnapCallback(port, 0, OnSnap, &run, QUORIX_PIXEL_BGR32, 4)) &&
        step("QUORIX_Play", QUORIX_Play(port, 0, nullptr, 0))) {
        int32_t manual = 0;
        QUORIX_GetManualSupport(port, &manual);
        std::printf("mode %u: port %u playing, %s renderer\n", mode, port,
                    manual == 1 ? "OpenGL" : "software");
        // The host's pace: one record every 40 ms on the wall clock, as a camera delivers them.
        g_run.store(&run, std::memory_order_release);
        const Clock::time_point start = Clock::now();
        uint32_t refused = 0;
        for (size_t i = 0; i < records.size(); ++i) {
            std::this_thread::sleep_until(start +
                                          std::chrono::milliseconds(livebench::kIntervalMs * i));
            run.pushed[i] = Clock::now();
            if (QUORIX_InputStreamData(port, records[i].data(),
                                       static_cast<uint32_t>(records[i].size())) != QUORIX_OK)
                ++refused;
        }
        // Time for the last pictures to come through.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (refused != 0)
            std::printf("mode %u: %u records refused at input\n", mode, refused);
        ok = true;
        QUORIX_SetSnapCallback(port, 0, nullptr, nullptr, 0, 4);
        QUORIX_Stop(port);
        g_run.store(nullptr, std::memory_order_release);
    }
    QUORIX_CloseStream(port);
    QUORIX_FreePort(port);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t frames =
        argc > 1 ? static_cast<uint32_t>(std::max(60, std::atoi(argv[1]))) : 250;
    std::printf("encoding %u pictures of 1920x1080 with libx264...\n", frames);
    const std::vector<std::vector<uint8_t>> records = livebench::EncodeStream(frames);
    const char* figure = "live latency, 1080p InputStreamData to its pixels in a snapshot callback";
    if (records.empty()) {
        std::printf("BENCH %s|not available (no libx264)|40 ms|-|<= 1.0\n", figure);
        return 0;
    }
    for (size_t i = 0; i < records.size(); ++i) {
        const uint64_t key = PacketKey(records[i].data() + BRIXEL::kHMFFrameHeaderSize,
                                       records[i].size() - BRIXEL::kHMFFrameHeaderSize);
        const auto [at, inserted] = g_pictureByKey.emplace(key, static_cast<int64_t>(i));
        if (!inserted)
            at->second = -1;
    }
    QUORIX_InitSDK();
    for (uint32_t mode : {0u, 2u}) {
        Run run;
        run.pushed.resize(frames);
        run.latencyMs.assign(frames, -1.0);
        run.intoDecoderMs.assign(frames, -1.0);
        run.outOfDecoderMs.assign(frames, -1.0);
        std::string why;
        if (!Measure(mode, records, run, why)) {
            std::printf("mode %u: %s\n", mode, why.c_str());
            std::printf(
                "BENCH %s, play mode %u (ms median / p99)|not available yet (%s)|40 ms|-|<= 1.0\n",
                figure, mode, why.c_str());
            continue;
        }
        std::vector<double> shown, toDecoder, decoding, toCallback;
        {
            std::lock_guard<std::mutex> guard(run.lock);
            // The first pictures pay for the renderer's start (the software rasteriser compiles
            // its shaders) and the decoder's; a host sees that once per stream, not per picture.
            for (size_t i = kWarmUpPictures; i < run.latencyMs.size(); ++i) {
                if (run.latencyMs[i] < 0)
                    continue;
                shown.push_back(run.latencyMs[i]);
                if (run.intoDecoderMs[i] >= 0 && run.outOfDecoderMs[i] >= run.intoDecoderMs[i]) {
                    toDecoder.push_back(run.intoDecoderMs[i]);
                    decoding.push_back(run.outOfDecoderMs[i] - run.intoDecoderMs[i]);
                    toCallback.push_back(run.latencyMs[i] - run.outOfDecoderMs[i]);
                }
            }
        }
        if (!toDecoder.empty()) {
            std::printf(
                "mode %u: split (median of each part, %zu pictures): push -> decoder %.1f ms, "
                "decoding %.1f ms, "
                "decoded -> callback %.1f ms (hand-over, render, read-back)\n",
                mode, toDecoder.size(), Percentile(toDecoder, 0.5), Percentile(decoding, 0.5),
                Percentile(toCallback, 0.5));
        }
        const double median = Percentile(shown, 0.5), p99 = Percentile(shown, 0.99);
        std::printf(
            "mode %u: %zu of %u pictures shown, %llu callbacks (%llu unreadable), latency median "
            "%.1f ms, "
            "p90 %.1f ms, p99 %.1f ms, max %.1f ms\n",
            mode, shown.size(), frames - kWarmUpPictures,
            static_cast<unsigned long long>(run.callbacks.load()),
            static_cast<unsigned long long>(run.unreadable.load()), median, Percentile(shown, 0.9),
            p99, Percentile(shown, 1.0));
        if (shown.empty()) {
            std::printf(
                "BENCH %s, play mode %u (ms median / p99)|no picture shown|40 ms|-|<= 1.0\n",
                figure, mode);
            continue;
        }
        std::printf(
            "BENCH %s, play mode %u (ms median / p99)|%.1f / %.1f (%zu of %u shown)|40 ms (one "
            "interval)|"
            "%.2f|<= 1.0\n",
            figure, mode, median, p99, shown.size(), frames - kWarmUpPictures,
            median / livebench::kIntervalMs);
    }
    QUORIX_ReleaseSDK();
    return 0;
}
