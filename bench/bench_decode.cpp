// Decodes the same 1080p H.264 and H.265 streams (made here with libx264 / libx265 from moving
// test pictures) through CDecFFmpeg and through raw libavcodec with the same threading, several
// rounds interleaved, medians of the rounds; then raw libavcodec with frame threading for scale.
//   bench_decode [seconds=3] [rounds=5]

#include <quorixsdk.h>

#include <time.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "codec/dec_ffmpeg.h"
#include "support/media_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace {

using quorix_test::Packet;
using Clock = std::chrono::steady_clock;

// Colour bars with a moving box and a running gradient, in the spirit of a test source: cheap to
// make at 1080p and with enough motion that P-frames carry real work.
uint8_t Texture(uint32_t x, uint32_t y) {
    uint32_t h = x * 374761393u + y * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return static_cast<uint8_t>(64 + ((h >> 24) & 127) / 2 + ((x / 8 + y / 8) & 1) * 64);
}

quorix_test::Picture TestSource(uint32_t width, uint32_t height, uint32_t index) {
    quorix_test::Picture p;
    p.width = width;
    p.height = height;
    p.planes[0].resize(static_cast<size_t>(width) * height);
    p.planes[1].resize(static_cast<size_t>(width / 2) * (height / 2));
    p.planes[2].resize(p.planes[1].size());
    static const uint8_t barsY[8] = {235, 210, 170, 145, 106, 81, 41, 16};
    static const uint8_t barsU[8] = {128, 16, 166, 54, 202, 90, 240, 128};
    static const uint8_t barsV[8] = {128, 146, 16, 34, 222, 240, 110, 128};
    const uint32_t boxX = (index * 13) % (width - 200);
    const uint32_t boxY = (index * 7) % (height - 200);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t bar = x * 8 / width;
            // Bars on top, a texture scrolling by 3 pixels a picture below (motion the decoder has
            // to compensate), a box with grain that changes every picture (residual to decode).
            uint8_t value = y < height * 2 / 3 ? barsY[bar] : Texture(x + index * 3, y);
            if (x >= boxX && x < boxX + 200 && y >= boxY && y < boxY + 200)
                value = static_cast<uint8_t>(96 + (Texture(x * 7 + index, y * 5 + index) & 63));
            p.planes[0][static_cast<size_t>(y) * width + x] = value;
        }
    for (uint32_t y = 0; y < height / 2; ++y)
        for (uint32_t x = 0; x < width / 2; ++x) {
            const uint32_t bar = 2 * x * 8 / width;
            const size_t at = static_cast<size_t>(y) * (width / 2) + x;
            p.planes[1][at] = 2 * y < height * 2 / 3
                                  ? barsU[bar]
                                  : static_cast<uint8_t>(128 + ((x + index) & 31));
            p.planes[2][at] = 2 * y < height * 2 / 3
                                  ? barsV[bar]
                                  : static_cast<uint8_t>(128 - ((y + index) & 31));
        }
    return p;
}

double Seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

// CPU seconds of the whole process (all decoder threads): on a loaded machine this still
// compares the two paths fairly, where wall time mostly measures the neighbours.
double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// One pass through CDecFFmpeg; returns pictures delivered.
size_t DecodeWithLayer(uint32_t codec, const std::vector<Packet>& packets) {
    HCC::CDecFFmpeg decoder;
    if (decoder.Open(codec) != QUORIX_OK)
        return 0;
    size_t pictures = 0;
    volatile uint8_t sink = 0;
    for (const Packet& packet : packets) {
        uint32_t width = 0, height = 0, format = 0;
        uint8_t* planes[3];
        uint32_t sizes[3], strides[3];
        if (decoder.DecodeVideo(packet.data.data(), static_cast<uint32_t>(packet.data.size()),
                                width, height, format, planes, sizes, strides) == QUORIX_OK) {
            ++pictures;
            sink = sink + planes[0][0];
        }
    }
    decoder.Close();
    return pictures;
}

// One pass through libavcodec itself: the same send/receive per packet, then a final flush.
size_t DecodeRaw(uint32_t codec, const std::vector<Packet>& packets, bool frameThreads) {
    const AVCodec* avcodec =
        avcodec_find_decoder(codec == HCC::CODEC_H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
    AVCodecContext* context = avcodec_alloc_context3(avcodec);
    if (frameThreads) {
        context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        context->thread_count = 0;
    } else {
        HCC::ConfigureLiveThreading(context);
    }
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    size_t pictures = 0;
    volatile uint8_t sink = 0;
    if (avcodec_open2(context, avcodec, nullptr) == 0) {
        for (const Packet& p : packets) {
            packet->data = const_cast<uint8_t*>(p.data.data());
            packet->size = static_cast<int>(p.data.size());
            avcodec_send_packet(context, packet);
            while (avcodec_receive_frame(context, frame) == 0) {
                ++pictures;
                sink = sink + frame->data[0][0];
            }
        }
        avcodec_send_packet(context, nullptr);
        while (avcodec_receive_frame(context, frame) == 0)
            ++pictures;
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return pictures;
}

// Per-pass figures of one path; the verdict uses medians, which one disturbed pass cannot move.
struct Passes {
    std::vector<double> seconds, cpuSeconds;
    size_t pictures = 0;
    void Take(double s, double cpu, size_t n) {
        seconds.push_back(s);
        cpuSeconds.push_back(cpu);
        pictures = n;
    }
    static double Median(std::vector<double> values) {
        if (values.empty())
            return 0.0;
        std::sort(values.begin(), values.end());
        const size_t mid = values.size() / 2;
        return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
    }
    double Rate() const { return pictures / Median(seconds); }
    double CpuRate() const { return pictures / Median(cpuSeconds); }
};

// Each round decodes the stream through both paths back to back, in alternating order, so that
// the two passes of a round see the same load; the verdict is the median over rounds of the
// per-round ratio of CPU time (all the process's threads), next to the ratio of median rates.
void Run(const char* name, uint32_t codec, const std::vector<Packet>& packets, int rounds) {
    Passes layer, raw, rawFrame;
    std::vector<double> cpuRatios, wallRatios;
    const auto timed = [](Passes& passes, const std::function<size_t()>& pass) {
        const Clock::time_point start = Clock::now();
        const double cpuStart = CpuSeconds();
        const size_t n = pass();
        passes.Take(Seconds(start), CpuSeconds() - cpuStart, n);
    };
    for (int r = 0; r < rounds; ++r) {
        if (r % 2 == 0) {
            timed(layer, [&] { return DecodeWithLayer(codec, packets); });
            timed(raw, [&] { return DecodeRaw(codec, packets, false); });
        } else {
            timed(raw, [&] { return DecodeRaw(codec, packets, false); });
            timed(layer, [&] { return DecodeWithLayer(codec, packets); });
        }
        // Time per picture, so that the raw pass's final flush does not tilt the comparison.
        if (layer.pictures > 0 && raw.pictures > 0 && layer.cpuSeconds.back() > 0 &&
            layer.seconds.back() > 0) {
            const double perPicture = static_cast<double>(layer.pictures) / raw.pictures;
            cpuRatios.push_back(raw.cpuSeconds.back() / layer.cpuSeconds.back() * perPicture);
            wallRatios.push_back(raw.seconds.back() / layer.seconds.back() * perPicture);
        }
        if (r % 2 == 0)
            timed(rawFrame, [&] { return DecodeRaw(codec, packets, true); });
    }
    const double cpuRatio = Passes::Median(cpuRatios);
    const double wallRatio = Passes::Median(wallRatios);
    std::printf(
        "%s 1920x1080, %zu packets, %d rounds, medians (wall pictures/s | CPU pictures/s)\n", name,
        packets.size(), rounds);
    const auto line = [](const char* what, const Passes& b) {
        std::printf("  %-36s %8.1f | %8.1f  (%zu pictures)\n", what, b.Rate(), b.CpuRate(),
                    b.pictures);
    };
    line("CDecFFmpeg (slice threads)", layer);
    line("libavcodec (slice threads)", raw);
    std::printf("  %-36s %8.3f | %8.3f  (median of the rounds' ratios; goal >= 0.97)\n",
                "ratio CDecFFmpeg / libavcodec", wallRatio, cpuRatio);
    std::printf("  CPU ratio per round:");
    for (double ratio : cpuRatios)
        std::printf(" %.3f", ratio);
    std::printf("\n");
    line("libavcodec (frame threads, +latency)", rawFrame);
    // Pictures per CPU second: on a shared machine the wall clock mostly measures the neighbours.
    std::printf(
        "BENCH %s 1080p decode through the decoder layer (frames per CPU second)|%.1f|%.1f (raw "
        "libavcodec)|%.3f|>= 0.97\n",
        name, layer.CpuRate(), raw.CpuRate(), cpuRatio);
}

}  // namespace

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const uint32_t frames = static_cast<uint32_t>(seconds * 25);
    std::printf("cores: %u\n", std::thread::hardware_concurrency());

    std::vector<quorix_test::Picture> pictures;
    for (uint32_t i = 0; i < frames; ++i)
        pictures.push_back(TestSource(1920, 1080, i));

    const struct {
        const char* name;
        const char* encoder;
        uint32_t codec;
    } streams[] = {{"H.264", "libx264", HCC::CODEC_H264}, {"H.265", "libx265", HCC::CODEC_H265}};
    for (const auto& s : streams) {
        quorix_test::VideoEncodeOptions options;
        options.encoder = s.encoder;
        options.width = 1920;
        options.height = 1080;
        options.frames = frames;
        options.quality = 23;
        options.gop = 50;
        options.preset = "ultrafast";
        options.threads = 0;
        const Clock::time_point start = Clock::now();
        const std::vector<Packet> packets = quorix_test::EncodePictures(options, pictures);
        if (packets.empty()) {
            std::printf("%s: encoder %s not available\n", s.name, s.encoder);
            std::printf(
                "BENCH %s 1080p decode through the decoder layer (frames/s)|not available (no "
                "%s)|-|-|>= 0.97\n",
                s.name, s.encoder);
            continue;
        }
        size_t bytes = 0;
        for (const Packet& p : packets)
            bytes += p.data.size();
        std::printf("%s stream: %zu packets, %.1f kbit/s, encoded in %.1f s\n", s.name,
                    packets.size(), bytes * 8.0 / 1000.0 / seconds, Seconds(start));
        Run(s.name, s.codec, packets, rounds);
    }
    return 0;
}
