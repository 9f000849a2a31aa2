// Pulled sources (quorixsdk_camera.h) on media files written here and on loopback addresses
// where nothing answers, through the exported functions: the records a port takes (kept by
// QUORIX_StartLocalRecord and decoded again by FFmpeg) against the source pictures, the states,
// every refusal and a close in every state.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <quorixsdk.h>
#include <quorixsdk_camera.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "tools_support.h"

namespace {

using toolstest::Container;
using toolstest::ReadContainer;
using toolstest::TempDir;

constexpr auto kWait = std::chrono::seconds(60);
constexpr uint32_t kWidth = 160;
constexpr uint32_t kHeight = 120;
constexpr int kFps = 25;

// A moving picture of smooth sines (lossy coding at high quality stays far above 30 dB), 4:2:0.
struct Picture {
    std::vector<uint8_t> planes[3];
};

Picture MakePicture(uint32_t index) {
    Picture p;
    p.planes[0].resize(size_t{kWidth} * kHeight);
    p.planes[1].resize(size_t{kWidth / 2} * (kHeight / 2));
    p.planes[2].resize(size_t{kWidth / 2} * (kHeight / 2));
    const double t = index * 0.2;
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x) {
            p.planes[0][size_t{y} * kWidth + x] = static_cast<uint8_t>(
                128 + 60 * std::sin(x * 0.07 + t) + 40 * std::cos(y * 0.09 - 1.3 * t));
        }
    }
    for (uint32_t y = 0; y < kHeight / 2; ++y) {
        for (uint32_t x = 0; x < kWidth / 2; ++x) {
            p.planes[1][size_t{y} * (kWidth / 2) + x] =
                static_cast<uint8_t>(128 + 30 * std::sin(x * 0.11 - t));
            p.planes[2][size_t{y} * (kWidth / 2) + x] =
                static_cast<uint8_t>(128 + 30 * std::cos(y * 0.13 + t));
        }
    }
    return p;
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty())
        return 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    const double mse = sum / a.size();
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// ---- media files ------------------------------------------------------------------------------

struct FilePlan {
    const char* name;
    const char* muxer;    // "mp4", "matroska", "mpegts"
    const char* ext;      // file name extension
    const char* encoder;  // "libx264", "libx265", "mjpeg", "mpeg4"
    int bFrames;
    const char* audio;  // nullptr, "pcm_alaw", "aac"
    uint32_t frames;
    uint8_t codec;  // of the records
    const char* decoder;
};

void PrintTo(const FilePlan& p, std::ostream* os) {
    *os << p.name;
}

struct Coder {
    AVCodecContext* ctx = nullptr;
    AVStream* stream = nullptr;
    ~Coder() { avcodec_free_context(&ctx); }
};

bool Drain(AVFormatContext* fmt, Coder& c, AVPacket* pkt) {
    while (avcodec_receive_packet(c.ctx, pkt) == 0) {
        av_packet_rescale_ts(pkt, c.ctx->time_base, c.stream->time_base);
        pkt->stream_index = c.stream->index;
        if (av_interleaved_write_frame(fmt, pkt) < 0)
            return false;
    }
    return true;
}

// Writes `plan` (video of the moving test pictures, and a tone when asked) to path; false when an
// encoder or the muxer is missing. `sources` receives the pictures in display order.
bool WriteFile(const std::string& path, const FilePlan& plan, std::vector<Picture>* sources) {
    const AVCodec* venc = avcodec_find_encoder_by_name(plan.encoder);
    if (venc == nullptr)
        return false;
    AVFormatContext* fmt = nullptr;
    if (avformat_alloc_output_context2(&fmt, nullptr, plan.muxer, path.c_str()) < 0)
        return false;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> fmtGuard(
        fmt, [](AVFormatContext* f) {
            if (f->pb != nullptr)
                avio_closep(&f->pb);
            avformat_free_context(f);
        });
    const bool mjpeg = std::string(plan.encoder) == "mjpeg";
    Coder v;
    v.ctx = avcodec_alloc_context3(venc);
    v.ctx->width = kWidth;
    v.ctx->height = kHeight;
    v.ctx->time_base = AVRational{1, kFps};
    v.ctx->framerate = AVRational{kFps, 1};
    v.ctx->pix_fmt = mjpeg ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    v.ctx->gop_size = 10;
    v.ctx->max_b_frames = plan.bFrames;
    v.ctx->thread_count = 1;
    if (mjpeg) {
        v.ctx->flags |= AV_CODEC_FLAG_QSCALE;
        v.ctx->global_quality = FF_QP2LAMBDA * 2;
    } else if (std::string(plan.encoder) == "libx264") {
        av_opt_set(v.ctx->priv_data, "preset", "veryfast", 0);
        av_opt_set(v.ctx->priv_data, "crf", "16", 0);
    } else if (std::string(plan.encoder) == "libx265") {
        av_opt_set(v.ctx->priv_data, "preset", "veryfast", 0);
        av_opt_set(v.ctx->priv_data, "crf", "16", 0);
        const std::string params =
            "log-level=none:bframes=" + std::to_string(plan.bFrames) + ":pools=1:frame-threads=1";
        av_opt_set(v.ctx->priv_data, "x265-params", params.c_str(), 0);
    }
    if (fmt->oformat->flags & AVFMT_GLOBALHEADER)
        v.ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(v.ctx, venc, nullptr) < 0)
        return false;
    v.stream = avformat_new_stream(fmt, nullptr);
    avcodec_parameters_from_context(v.stream->codecpar, v.ctx);
    v.stream->time_base = v.ctx->time_base;

    Coder a;
    if (plan.audio != nullptr) {
        const AVCodec* aenc = avcodec_find_encoder_by_name(plan.audio);
        if (aenc == nullptr)
            return false;
        a.ctx = avcodec_alloc_context3(aenc);
        const bool alaw = std::string(plan.audio) == "pcm_alaw";
        a.ctx->sample_fmt = alaw ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_FLTP;
        a.ctx->sample_rate = alaw ? 8000 : 16000;
        av_channel_layout_default(&a.ctx->ch_layout, 1);
        a.ctx->time_base = AVRational{1, a.ctx->sample_rate};
        if (fmt->oformat->flags & AVFMT_GLOBALHEADER)
            a.ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(a.ctx, aenc, nullptr) < 0)
            return false;
        a.stream = avformat_new_stream(fmt, nullptr);
        avcodec_parameters_from_context(a.stream->codecpar, a.ctx);
        a.stream->time_base = a.ctx->time_base;
    }
    if (avio_open(&fmt->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 ||
        avformat_write_header(fmt, nullptr) < 0) {
        return false;
    }
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> pktGuard(
        pkt, [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frameGuard(frame,
                                                            [](AVFrame* f) { av_frame_free(&f); });
    int64_t samples = 0;
    const int64_t totalSamples =
        a.ctx != nullptr ? int64_t{plan.frames} * a.ctx->sample_rate / kFps : 0;
    for (uint32_t i = 0; i < plan.frames; ++i) {
        Picture pic = MakePicture(i);
        av_frame_unref(frame);
        frame->format = v.ctx->pix_fmt;
        frame->width = kWidth;
        frame->height = kHeight;
        if (av_frame_get_buffer(frame, 0) < 0)
            return false;
        for (int p = 0; p < 3; ++p) {
            const uint32_t w = p == 0 ? kWidth : kWidth / 2;
            const uint32_t h = p == 0 ? kHeight : kHeight / 2;
            for (uint32_t y = 0; y < h; ++y) {
                std::memcpy(frame->data[p] + size_t{y} * frame->linesize[p],
                            pic.planes[p].data() + size_t{y} * w, w);
            }
        }
        frame->pts = i;
        if (avcodec_send_frame(v.ctx, frame) < 0 || !Drain(fmt, v, pkt))
            return false;
        if (sources != nullptr)
            sources->push_back(std::move(pic));
        // Sound up to the end of this picture.
        while (a.ctx != nullptr && samples < int64_t{i + 1} * a.ctx->sample_rate / kFps &&
               samples < totalSamples) {
            const int n = a.ctx->frame_size > 0 ? a.ctx->frame_size : 160;
            av_frame_unref(frame);
            frame->format = a.ctx->sample_fmt;
            frame->sample_rate = a.ctx->sample_rate;
            av_channel_layout_default(&frame->ch_layout, 1);
            frame->nb_samples = n;
            if (av_frame_get_buffer(frame, 0) < 0)
                return false;
            for (int s = 0; s < n; ++s) {
                const double value =
                    0.3 * std::sin(2 * M_PI * 440.0 * double(samples + s) / a.ctx->sample_rate);
                if (a.ctx->sample_fmt == AV_SAMPLE_FMT_S16)
                    reinterpret_cast<int16_t*>(frame->data[0])[s] = int16_t(value * 32767);
                else
                    reinterpret_cast<float*>(frame->data[0])[s] = float(value);
            }
            frame->pts = samples;
            samples += n;
            if (avcodec_send_frame(a.ctx, frame) < 0 || !Drain(fmt, a, pkt))
                return false;
        }
    }
    avcodec_send_frame(v.ctx, nullptr);
    if (!Drain(fmt, v, pkt))
        return false;
    if (a.ctx != nullptr) {
        avcodec_send_frame(a.ctx, nullptr);
        if (!Drain(fmt, a, pkt))
            return false;
    }
    return av_write_trailer(fmt) == 0;
}

// Luma planes of every picture FFmpeg decodes from the payloads, in output order.
std::vector<std::vector<uint8_t>> DecodeLuma(const char* decoderName,
                                             const std::vector<std::vector<uint8_t>>& payloads) {
    std::vector<std::vector<uint8_t>> out;
    const AVCodec* codec = avcodec_find_decoder_by_name(decoderName);
    AVCodecContext* ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (ctx == nullptr || avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return out;
    }
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto receive = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            std::vector<uint8_t> y(size_t{kWidth} * kHeight);
            for (uint32_t r = 0; r < kHeight && frame->width == int(kWidth); ++r)
                std::memcpy(y.data() + size_t{r} * kWidth, frame->data[0] + r * frame->linesize[0],
                            kWidth);
            out.push_back(std::move(y));
            av_frame_unref(frame);
        }
    };
    for (const auto& p : payloads) {
        av_new_packet(pkt, static_cast<int>(p.size()));
        std::memcpy(pkt->data, p.data(), p.size());
        avcodec_send_packet(ctx, pkt);
        av_packet_unref(pkt);
        receive();
    }
    avcodec_send_packet(ctx, nullptr);
    receive();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return out;
}

// ---- states -----------------------------------------------------------------------------------

struct StateLog {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<uint32_t, uint32_t>> states;  // state, code
    bool threadNamed = true;

    static void Callback(uint16_t, uint32_t state, uint32_t code, void* user) {
        auto* self = static_cast<StateLog*>(user);
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        std::lock_guard<std::mutex> guard(self->lock);
        self->threadNamed = self->threadNamed && std::string(name) == "quorix-pull";
        self->states.emplace_back(state, code);
        self->changed.notify_all();
    }
    // Waits for a state; true when it came.
    bool WaitFor(uint32_t state, uint32_t count = 1) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, kWait, [&] {
            uint32_t seen = 0;
            for (const auto& s : states)
                seen += s.first == state ? 1 : 0;
            return seen >= count;
        });
    }
    std::vector<std::pair<uint32_t, uint32_t>> Copy() {
        std::lock_guard<std::mutex> guard(lock);
        return states;
    }
    // The code of the last report of `state`, or QUORIX_E_FAIL when none came.
    uint32_t CodeOf(uint32_t state) {
        std::lock_guard<std::mutex> guard(lock);
        uint32_t code = QUORIX_E_FAIL;
        for (const auto& s : states) {
            if (s.first == state)
                code = s.second;
        }
        return code;
    }
};

std::string Describe(const std::vector<std::pair<uint32_t, uint32_t>>& states) {
    std::string text;
    for (const auto& s : states) {
        char item[40];
        std::snprintf(item, sizeof item, "%u/%08X ", s.first, s.second);
        text += item;
    }
    return text;
}

class Pull : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
        ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&m_port));
        QUORIX_CameraDefaultOptions(&m_options);
        m_options.retryMinMs = 10;
        m_options.retryMaxMs = 40;
    }
    void TearDown() override {
        QUORIX_FreePort(m_port);
        QUORIX_ReleaseSDK();
    }
    uint32_t Open(const std::string& url) {
        return QUORIX_CameraOpen(m_port, url.c_str(), &m_options, &StateLog::Callback, &m_log);
    }
    // The failure of a pull that must not start.
    uint32_t FailureOf(const std::string& url) {
        const uint32_t opened = Open(url);
        if (opened != QUORIX_OK)
            return opened;
        if (!m_log.WaitFor(QUORIX_CAMERA_FAILED))
            return QUORIX_E_FAIL;
        uint32_t state = 0, code = 0;
        EXPECT_EQ(QUORIX_OK, QUORIX_CameraGetState(m_port, &state, &code));
        EXPECT_EQ(state, QUORIX_CAMERA_FAILED);
        EXPECT_EQ(code, m_log.CodeOf(QUORIX_CAMERA_FAILED));
        EXPECT_EQ(QUORIX_OK, QUORIX_CameraClose(m_port));
        return m_log.CodeOf(QUORIX_CAMERA_FAILED);
    }

    uint16_t m_port = 0;
    QUORIX_CAMERA_OPTIONS m_options{};
    StateLog m_log;  // outlives the pull, which is stopped by TearDown at the latest
    TempDir m_dir;
};

// A TCP port on 127.0.0.1 where nothing listens (bound once, then let go).
[[maybe_unused]] uint16_t FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

// A listening socket that never accepts nor answers: a connect succeeds, the RTSP request waits.
class Blackhole {
public:
    Blackhole() {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            listen(m_fd, 4) == 0 &&
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            m_port = ntohs(addr.sin_port);
        }
    }
    ~Blackhole() { close(m_fd); }
    uint16_t Port() const { return m_port; }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

[[maybe_unused]] double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// ---- files ------------------------------------------------------------------------------------

class PullFile : public Pull, public ::testing::WithParamInterface<FilePlan> {};

// Every picture of the file reaches the port once, in decode order, with the key frames marked,
// sequence numbers counting up, stamps one picture interval apart and the picture size; FFmpeg
// decodes the records the port took (kept by a local recording, a valid file of ours) into the
// source pictures in order. Sound arrives as G.711.
TEST_P(PullFile, EveryPictureReachesThePortInOrder) {
    const FilePlan& plan = GetParam();
    const std::string input = m_dir / (std::string("in.") + plan.ext);
    std::vector<Picture> sources;
    if (!WriteFile(input, plan, &sources))
        GTEST_SKIP() << "no " << plan.encoder << " or " << plan.muxer;
    const std::string recording = m_dir / "pulled.zbm";
    ASSERT_EQ(QUORIX_OK, QUORIX_StartLocalRecord(m_port, recording.c_str()));
    m_options.pacing = QUORIX_PACING_FAST;
    ASSERT_EQ(QUORIX_OK, Open(input));
    ASSERT_TRUE(m_log.WaitFor(QUORIX_CAMERA_ENDED)) << Describe(m_log.Copy());
    ASSERT_EQ(QUORIX_OK, QUORIX_StopLocalRecord(m_port));
    const auto states = m_log.Copy();
    ASSERT_EQ(states.size(), 3u) << Describe(states);
    EXPECT_EQ(states[0].first, QUORIX_CAMERA_CONNECTING);
    EXPECT_EQ(states[1].first, QUORIX_CAMERA_PLAYING);
    EXPECT_EQ(states[2].first, QUORIX_CAMERA_ENDED);
    EXPECT_TRUE(m_log.threadNamed);
    uint32_t state = 0;
    EXPECT_EQ(QUORIX_OK, QUORIX_CameraGetState(m_port, &state, nullptr));
    EXPECT_EQ(state, QUORIX_CAMERA_ENDED);
    EXPECT_EQ(QUORIX_OK, QUORIX_CameraClose(m_port));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_CameraClose(m_port));

    double begin = 0, end = 0;
    EXPECT_EQ(QUORIX_OK, QUORIX_GetFileInfo(recording.c_str(), &begin, &end));
    const Container c = ReadContainer(recording);
    ASSERT_TRUE(c.ok);
    std::vector<const toolstest::Record*> video, audio;
    for (const auto& r : c.records)
        (r.kind == 0 ? audio : video).push_back(&r);
    // A stream with B-frames ends with copies of its last key frame, which push the held-back
    // pictures out of the port's decoder.
    ASSERT_GE(video.size(), plan.frames);
    ASSERT_LE(video.size(), plan.frames + 4);
    EXPECT_EQ(video.front()->kind, 1);
    std::vector<std::vector<uint8_t>> payloads;
    for (size_t i = 0; i < video.size(); ++i) {
        const auto& r = *video[i];
        EXPECT_EQ(r.sequence, i);
        EXPECT_EQ(r.codec, plan.codec);
        EXPECT_EQ(r.media[0] | (r.media[1] << 8), int(kWidth));
        EXPECT_EQ(r.media[2] | (r.media[3] << 8), int(kHeight));
        if (i > 0) {
            EXPECT_NEAR(double(r.timestamp) - video[i - 1]->timestamp, 1000.0 / kFps, 1.0)
                << "record " << i;
        }
        if (i % 10 == 0) {
            EXPECT_EQ(r.kind, 1) << "record " << i;  // the encoder's key frame interval
        }
        payloads.push_back(r.payload);
    }
    const auto decoded = DecodeLuma(plan.decoder, payloads);
    ASSERT_GE(decoded.size(), plan.frames);
    for (uint32_t i = 0; i < plan.frames; ++i) {
        const double psnr = Psnr(decoded[i], sources[i].planes[0]);
        if (psnr <= 32.0) {
            size_t best = 0;
            for (size_t j = 1; j < sources.size(); ++j) {
                if (Psnr(decoded[i], sources[j].planes[0]) >
                    Psnr(decoded[i], sources[best].planes[0])) {
                    best = j;
                }
            }
            ADD_FAILURE() << "picture " << i << ": " << psnr << " dB; closest to source " << best;
        }
    }
    if (plan.audio != nullptr) {
        // A fifth of the file's length at 20 ms per block at least (priming and resampling
        // delay cost a few blocks).
        ASSERT_GE(audio.size(), size_t{plan.frames} * 40 / 20 / 2);
        for (const auto* r : audio) {
            EXPECT_EQ(r->codec, 3);
            EXPECT_EQ(toolstest::Le32(r->media + 2), 8000u);
        }
    } else {
        EXPECT_TRUE(audio.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, PullFile,
    ::testing::Values(
        FilePlan{"H264Mp4BFramesAac", "mp4", "mp4", "libx264", 2, "aac", 30, 1, "h264"},
        FilePlan{"H264MatroskaBFramesPcma", "matroska", "mkv", "libx264", 3, "pcm_alaw", 30, 1,
                 "h264"},
        FilePlan{"H264TsBFramesAac", "mpegts", "ts", "libx264", 2, "aac", 30, 1, "h264"},
        FilePlan{"H265MatroskaBFrames", "matroska", "mkv", "libx265", 2, nullptr, 30, 6, "hevc"},
        FilePlan{"MjpegMatroska", "matroska", "mkv", "mjpeg", 0, nullptr, 20, 2, "mjpeg"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
