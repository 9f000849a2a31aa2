// Pulled sources (quorixsdk_camera.h) on media files written here and on loopback addresses
// where nothing answers, through the exported functions: the records a port takes (kept by
// QUORIX_StartLocalRecord and decoded again by FFmpeg) against the source pictures, the states,
// every refusal and a close in every state.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <quorixsdk.h>
#include <quorixsdk_camera.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "support/pano_client.h"
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
    uint32_t shown;  // pictures the port shows
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

// The external renderer double beside the library copy this suite runs with keeps every picture
// the port shows.
using panotest::PanoDouble;

struct StateLog {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<uint32_t, uint32_t>> states;  // state, code
    bool threadNamed = true;
    // Runs on the pull thread at each state, before it is logged.
    std::function<void(uint16_t port, uint32_t state)> action;

    static void Callback(uint16_t port, uint32_t state, uint32_t code, void* user) {
        auto* self = static_cast<StateLog*>(user);
        if (self->action)
            self->action(port, state);
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

// A TCP socket bound to a free port of 127.0.0.1, listening when asked; *port stays 0 when that
// failed.
int BindLoopback(bool listening, uint16_t* port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    *port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        (!listening || listen(fd, 4) == 0) &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        *port = ntohs(addr.sin_port);
    }
    return fd;
}

// A TCP port on 127.0.0.1 where nothing listens (bound once, then let go).
uint16_t FreeLoopbackPort() {
    uint16_t port = 0;
    close(BindLoopback(false, &port));
    return port;
}

// A listening socket that never accepts nor answers: a connect succeeds, the RTSP request waits.
class Blackhole {
public:
    Blackhole() { m_fd = BindLoopback(true, &m_port); }
    ~Blackhole() { close(m_fd); }
    uint16_t Port() const { return m_port; }
    // Waits until a client's connection is waiting to be accepted.
    bool WaitForCaller() const {
        pollfd p{m_fd, POLLIN, 0};
        return poll(&p, 1, 60000) == 1;
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

double Seconds(std::chrono::steady_clock::time_point since) {
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
    PanoDouble& shown = PanoDouble::Get();
    ASSERT_NE(shown.module, nullptr) << dlerror();
    shown.reset();
    const std::string recording = m_dir / "pulled.zbm";
    m_options.pacing = QUORIX_PACING_FAST;
    m_options.model = -1;  // the external renderer: the double keeps every picture shown
    // Played and recorded (with the stream's model) before the first record arrives, so that no
    // picture is decoded unseen or left out of the recording.
    m_log.action = [&recording](uint16_t port, uint32_t state) {
        if (state == QUORIX_CAMERA_CONNECTING) {
            EXPECT_EQ(QUORIX_OK, QUORIX_Play(port, 0, nullptr, 0));
            EXPECT_EQ(QUORIX_OK, QUORIX_StartLocalRecord(port, recording.c_str()));
        }
    };
    ASSERT_EQ(QUORIX_OK, Open(input));
    ASSERT_TRUE(m_log.WaitFor(QUORIX_CAMERA_ENDED)) << Describe(m_log.Copy());
    // Every picture of the file is shown by the port, in order.
    ASSERT_EQ(shown.waitFrames(int(plan.shown), 60000), int(plan.shown));
    for (uint32_t i = 0; i < std::min<uint32_t>(plan.shown, PLAYER_PANO_MAX_FRAMES); ++i) {
        uint32_t w = 0, h = 0;
        const uint8_t* yuv = nullptr;
        ASSERT_TRUE(shown.frame(int(i), &w, &h, &yuv)) << "picture " << i;
        ASSERT_EQ(w, kWidth);
        ASSERT_EQ(h, kHeight);
        const std::vector<uint8_t> luma(yuv, yuv + size_t{kWidth} * kHeight);
        EXPECT_GT(Psnr(luma, sources[i].planes[0]), 32.0) << "shown picture " << i;
    }
    ASSERT_EQ(QUORIX_OK, QUORIX_Stop(m_port));
    EXPECT_EQ(shown.frameCount(), int(plan.shown)) << "no picture twice";
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

    // The recording is a file of ours that the library opens with every record counted and
    // plays back with the same pictures.
    double begin = 0, end = 0;
    EXPECT_EQ(QUORIX_OK, QUORIX_GetFileInfo(recording.c_str(), &begin, &end));
    shown.reset();
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(m_port, recording.c_str()));
    const uint32_t totalFrames = QUORIX_GetFileTotleFrames(m_port);
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_EQ(shown.waitFrames(int(plan.shown), 60000), int(plan.shown));
    for (uint32_t i = 0; i < std::min<uint32_t>(plan.shown, PLAYER_PANO_MAX_FRAMES); ++i) {
        uint32_t w = 0, h = 0;
        const uint8_t* yuv = nullptr;
        ASSERT_TRUE(shown.frame(int(i), &w, &h, &yuv)) << "picture " << i;
        const std::vector<uint8_t> luma(yuv, yuv + size_t{w} * h);
        EXPECT_GT(Psnr(luma, sources[i].planes[0]), 32.0) << "played back picture " << i;
    }
    EXPECT_EQ(QUORIX_OK, QUORIX_Stop(m_port));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(m_port));
    const Container c = ReadContainer(recording);
    ASSERT_TRUE(c.ok);
    std::vector<const toolstest::Record*> video, audio;
    for (const auto& r : c.records)
        (r.kind == 0 ? audio : video).push_back(&r);
    // The file's records and nothing else: the held-back pictures come out of the decoder
    // without records made up for them.
    ASSERT_EQ(video.size(), plan.frames);
    EXPECT_EQ(totalFrames, video.size());
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
    ASSERT_EQ(decoded.size(), plan.frames);
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
        FilePlan{"H264Mp4BFramesAac", "mp4", "mp4", "libx264", 2, "aac", 30, 1, "h264", 30},
        FilePlan{"H264MatroskaBFramesPcma", "matroska", "mkv", "libx264", 3, "pcm_alaw", 30, 1,
                 "h264", 30},
        FilePlan{"H264TsBFramesAac", "mpegts", "ts", "libx264", 2, "aac", 30, 1, "h264", 30},
        FilePlan{"H265MatroskaBFrames", "matroska", "mkv", "libx265", 2, nullptr, 30, 6, "hevc",
                 30},
        FilePlan{"MjpegMatroska", "matroska", "mkv", "mjpeg", 0, nullptr, 20, 2, "mjpeg", 20},
        // Longer than the live input's queue: read faster than it is decoded, nothing is dropped.
        FilePlan{"H264MatroskaLong", "matroska", "mkv", "libx264", 0, nullptr, 150, 1, "h264",
                 150}),
    [](const auto& info) { return std::string(info.param.name); });

// An A-law WAV file: sound and nothing else.
void WriteWav(const std::string& path) {
    std::vector<uint8_t> b;
    auto put = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto tag = [&](const char* t) { b.insert(b.end(), t, t + 4); };
    const uint32_t samples = 8000;
    tag("RIFF");
    put(36 + samples, 4);
    tag("WAVE");
    tag("fmt ");
    put(16, 4);
    put(6, 2);  // A-law
    put(1, 2);
    put(8000, 4);
    put(8000, 4);
    put(1, 2);
    put(8, 2);
    tag("data");
    put(samples, 4);
    b.resize(b.size() + samples, 0xD5);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
}

// ---- refusals ---------------------------------------------------------------------------------

// What cannot be a source, and options out of range, are refused by the open itself: no thread,
// no state, the port's stream not opened.
TEST_F(Pull, MalformedUrlsAndOptionsAreRefusedByTheOpen) {
    for (const char* url :
         {"", "rtsp://", "rtsp://:554/cam", "rtsp://host:99999/cam", "rtsp://host:0/cam",
          "rtsp://host:/cam", "rtsp://host:55a/cam", "rtsp://[::1/cam", "nosuchscheme://host/cam",
          "rtsp://ho st/cam", "://cam", "cam\n.mp4"}) {
        EXPECT_EQ(QUORIX_E_PARAM, Open(url)) << url;
    }
    EXPECT_EQ(QUORIX_E_PARAM, Open("line\nbreak.mp4"));
    EXPECT_EQ(QUORIX_E_PARAM,
              QUORIX_CameraOpen(m_port, nullptr, &m_options, &StateLog::Callback, &m_log));
    const QUORIX_CAMERA_OPTIONS good = m_options;
    auto refused = [&](const char* what, const std::function<void(QUORIX_CAMERA_OPTIONS&)>& set) {
        m_options = good;
        set(m_options);
        EXPECT_EQ(QUORIX_E_PARAM, Open(m_dir / "any.mp4")) << what;
    };
    refused("size", [](auto& o) { o.size = sizeof(o) - 4; });
    refused("transport", [](auto& o) { o.transport = 3; });
    refused("pacing", [](auto& o) { o.pacing = 2; });
    refused("reconnect", [](auto& o) { o.reconnect = 2; });
    refused("no back-off", [](auto& o) { o.retryMinMs = 0; });
    refused("back-off bounds", [](auto& o) { o.retryMaxMs = o.retryMinMs - 1; });
    refused("block without data", [](auto& o) { o.modelLen = 16; });
    EXPECT_TRUE(m_log.Copy().empty());
    uint32_t state = 99, code = 99;
    EXPECT_EQ(QUORIX_OK, QUORIX_CameraGetState(m_port, &state, &code));
    EXPECT_EQ(state, QUORIX_CAMERA_CLOSED);
    EXPECT_EQ(code, QUORIX_OK);
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_CameraClose(m_port));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_CloseStream(m_port)) << "no stream was opened";
    // The uniform checks come first.
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_CameraClose(QUORIX_MAX_PORTS));
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_CameraGetState(QUORIX_MAX_PORTS, &state, &code));
}

// A port with a stream (or a pull) open is busy; once it is closed, the pull can open.
TEST_F(Pull, BusyPortIsRefused) {
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0));
    EXPECT_EQ(QUORIX_E_PORT_BUSY, Open(m_dir / "missing.mp4"));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_CameraClose(m_port)) << "the host's own stream stays";
    ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
    m_options.reconnect = 0;
    ASSERT_EQ(QUORIX_OK, Open(m_dir / "missing.mp4"));
    EXPECT_EQ(QUORIX_E_PORT_BUSY, Open(m_dir / "missing.mp4"));
    EXPECT_EQ(QUORIX_E_PORT_BUSY,
              QUORIX_OpenStream(m_port, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0));
    ASSERT_TRUE(m_log.WaitFor(QUORIX_CAMERA_FAILED));
    EXPECT_EQ(QUORIX_OK, QUORIX_CameraClose(m_port));
    EXPECT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
}

// Each bad input ends in FAILED with its own code, straight from CONNECTING.
TEST_F(Pull, BadInputsFailWithTheirCode) {
    m_options.reconnect = 0;
    struct Case {
        const char* name;
        std::string url;
        uint32_t code;
    };
    std::vector<Case> cases = {
        {"refused", "rtsp://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/cam",
         QUORIX_E_NOT_OPEN},
        {"missing file", m_dir / "missing.mp4", QUORIX_E_OPEN_FILE},
        {"not media", m_dir / "text.mp4", QUORIX_E_FILE_FORMAT},
        {"no video", m_dir / "sound.wav", QUORIX_E_FILE_FORMAT},
    };
    std::ofstream(m_dir / "text.mp4") << "this is no media file, only a line of text\n";
    WriteWav(m_dir / "sound.wav");
    const FilePlan mpeg4{"Mpeg4", "matroska", "mkv", "mpeg4", 0, nullptr, 10, 0, "mpeg4", 0};
    if (WriteFile(m_dir / "mpeg4.mkv", mpeg4, nullptr))
        cases.push_back({"unsupported codec", m_dir / "mpeg4.mkv", QUORIX_E_NOT_SUPPORTED});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_log.states.clear();
        EXPECT_EQ(FailureOf(c.url), c.code);
        const auto states = m_log.Copy();
        ASSERT_EQ(states.size(), 2u) << Describe(states);
        EXPECT_EQ(states[0].first, QUORIX_CAMERA_CONNECTING);
    }
}

// A refused address is tried again after each back-off, as often as allowed, then given up.
TEST_F(Pull, RefusedAddressIsRetriedThenGivenUp) {
    m_options.maxRetries = 3;
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/cam";
    EXPECT_EQ(FailureOf(url), QUORIX_E_NOT_OPEN);
    std::vector<uint32_t> expected = {QUORIX_CAMERA_CONNECTING};
    for (int i = 0; i < 3; ++i) {
        expected.push_back(QUORIX_CAMERA_LOST);
        expected.push_back(QUORIX_CAMERA_RECONNECTING);
    }
    expected.push_back(QUORIX_CAMERA_FAILED);
    const auto states = m_log.Copy();
    std::vector<uint32_t> seen;
    for (const auto& st : states) {
        seen.push_back(st.first);
        if (st.first == QUORIX_CAMERA_LOST) {
            EXPECT_EQ(st.second, QUORIX_E_NOT_OPEN);
        }
    }
    EXPECT_EQ(seen, expected) << Describe(states);
}

// ---- a network source: MPEG-TS over plain TCP from a server of the test ---------------------

// Serves `data` to each of `connections` callers in turn, then stops listening (later callers
// are refused). With `stallAfter`, each caller gets that many bytes and then nothing, the
// connection held open until the server ends.
class TsServer {
public:
    TsServer(std::vector<uint8_t> data, int connections, size_t stallAfter = 0)
        : m_data(std::move(data)), m_stallAfter(stallAfter) {
        m_fd = BindLoopback(true, &m_port);
        m_thread = std::thread([this, connections] { Serve(connections); });
    }
    ~TsServer() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_end = true;
        }
        m_changed.notify_all();
        m_thread.join();
        if (m_fd >= 0)
            close(m_fd);
    }
    std::string Url() const { return "tcp://127.0.0.1:" + std::to_string(m_port); }

private:
    void Serve(int connections) {
        for (int i = 0; i < connections; ++i) {
            // In slices, so that the end of a test that never called does not wait for long.
            bool calling = false;
            for (int slice = 0; slice < 600 && !calling && !Ended(); ++slice) {
                pollfd p{m_fd, POLLIN, 0};
                calling = poll(&p, 1, 100) == 1;
            }
            if (!calling)
                break;
            const int client = accept(m_fd, nullptr, nullptr);
            if (client < 0)
                break;
            const size_t size = m_stallAfter != 0 ? m_stallAfter : m_data.size();
            size_t sent = 0;
            while (sent < size) {
                const ssize_t n = send(client, m_data.data() + sent, size - sent, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += static_cast<size_t>(n);
            }
            if (m_stallAfter != 0) {
                std::unique_lock<std::mutex> guard(m_lock);
                m_changed.wait(guard, [&] { return m_end; });
            }
            close(client);
        }
        close(m_fd);  // refused from now on
        m_fd = -1;
    }

    bool Ended() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_end;
    }

    std::vector<uint8_t> m_data;
    size_t m_stallAfter;
    int m_fd = -1;
    uint16_t m_port = 0;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_end = false;
    std::thread m_thread;
};

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

// The source going away is a loss; the pull connects again after its back-off and the port plays
// on, its records continuing the same time line (one picture interval on) and the same count.
TEST_F(Pull, LostSourceIsReconnectedOnTheSamePort) {
    const FilePlan plan{"Ts", "mpegts", "ts", "libx264", 0, nullptr, 20, 1, "h264", 20};
    std::vector<Picture> sources;
    if (!WriteFile(m_dir / "cam.ts", plan, &sources))
        GTEST_SKIP() << "no libx264";
    TsServer server(ReadAll(m_dir / "cam.ts"), 2);
    const std::string recording = m_dir / "cam.zbm";
    ASSERT_EQ(QUORIX_OK, QUORIX_StartLocalRecord(m_port, recording.c_str()));
    m_options.maxRetries = 1;
    EXPECT_EQ(FailureOf(server.Url()), QUORIX_E_NOT_OPEN);
    ASSERT_EQ(QUORIX_OK, QUORIX_StopLocalRecord(m_port));
    std::vector<uint32_t> seen;
    for (const auto& st : m_log.Copy())
        seen.push_back(st.first);
    const std::vector<uint32_t> expected = {
        QUORIX_CAMERA_CONNECTING,   QUORIX_CAMERA_PLAYING, QUORIX_CAMERA_LOST,
        QUORIX_CAMERA_RECONNECTING, QUORIX_CAMERA_PLAYING, QUORIX_CAMERA_LOST,
        QUORIX_CAMERA_RECONNECTING, QUORIX_CAMERA_LOST,    QUORIX_CAMERA_FAILED};
    ASSERT_EQ(seen, expected) << Describe(m_log.Copy());
    EXPECT_EQ(m_log.Copy()[2].second, QUORIX_E_END_OF_DATA);

    const Container c = ReadContainer(recording);
    ASSERT_TRUE(c.ok);
    std::vector<const toolstest::Record*> video;
    for (const auto& r : c.records) {
        if (r.kind != 0)
            video.push_back(&r);
    }
    ASSERT_EQ(video.size(), 2u * plan.frames);
    std::vector<std::vector<uint8_t>> payloads;
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_EQ(video[i]->sequence, i);
        EXPECT_EQ(video[i]->kind, i % 10 == 0 ? 1 : 3) << "record " << i;
        if (i > 0) {
            EXPECT_NEAR(double(video[i]->timestamp) - video[i - 1]->timestamp, 1000.0 / kFps, 1.0)
                << "record " << i;
        }
        payloads.push_back(video[i]->payload);
    }
    const auto decoded = DecodeLuma("h264", payloads);
    ASSERT_EQ(decoded.size(), video.size());
    for (size_t i = 0; i < decoded.size(); ++i)
        EXPECT_GT(Psnr(decoded[i], sources[i % plan.frames].planes[0]), 32.0) << "picture " << i;
}

// A source whose clock starts again (a camera's restart, a wrap of its clock) keeps the records'
// time line running forward: the jump back is bridged by one picture interval.
TEST_F(Pull, ClockJumpingBackKeepsStampsRunningForward) {
    const FilePlan plan{"Ts", "mpegts", "ts", "libx264", 0, nullptr, 50, 1, "h264", 100};
    if (!WriteFile(m_dir / "cam.ts", plan, nullptr))
        GTEST_SKIP() << "no libx264";
    std::vector<uint8_t> twice = ReadAll(m_dir / "cam.ts");
    const size_t once = twice.size();
    twice.insert(twice.end(), twice.begin(), twice.begin() + static_cast<ptrdiff_t>(once));
    TsServer server(twice, 1);
    const std::string recording = m_dir / "cam.zbm";
    m_options.reconnect = 0;
    m_log.action = [&recording](uint16_t port, uint32_t state) {
        if (state == QUORIX_CAMERA_CONNECTING) {
            EXPECT_EQ(QUORIX_OK, QUORIX_StartLocalRecord(port, recording.c_str()));
        }
    };
    EXPECT_EQ(FailureOf(server.Url()), QUORIX_E_END_OF_DATA);
    ASSERT_EQ(QUORIX_OK, QUORIX_StopLocalRecord(m_port));
    const Container c = ReadContainer(recording);
    ASSERT_TRUE(c.ok);
    std::vector<const toolstest::Record*> video;
    for (const auto& r : c.records) {
        if (r.kind != 0)
            video.push_back(&r);
    }
    ASSERT_EQ(video.size(), 2u * plan.frames);
    for (size_t i = 1; i < video.size(); ++i) {
        EXPECT_NEAR(double(video[i]->timestamp) - video[i - 1]->timestamp, 1000.0 / kFps, 1.0)
            << "record " << i;
    }
}

// A source that stops sending but keeps its connection is found out by the read time-out.
TEST_F(Pull, StalledReadIsALoss) {
    const FilePlan plan{"Ts", "mpegts", "ts", "libx264", 0, nullptr, 20, 1, "h264", 20};
    if (!WriteFile(m_dir / "cam.ts", plan, nullptr))
        GTEST_SKIP() << "no libx264";
    const std::vector<uint8_t> data = ReadAll(m_dir / "cam.ts");
    TsServer server(data, 1, data.size() / 2);
    m_options.timeoutMs = 500;
    m_options.reconnect = 0;
    ASSERT_EQ(QUORIX_OK, Open(server.Url()));
    ASSERT_TRUE(m_log.WaitFor(QUORIX_CAMERA_FAILED)) << Describe(m_log.Copy());
    const auto states = m_log.Copy();
    ASSERT_EQ(states.size(), 4u) << Describe(states);
    EXPECT_EQ(states[1].first, QUORIX_CAMERA_PLAYING);
    EXPECT_EQ(states[2].first, QUORIX_CAMERA_LOST);
    EXPECT_EQ(states[2].second, QUORIX_E_TIMEOUT);
    EXPECT_EQ(states[3].second, QUORIX_E_TIMEOUT);
    EXPECT_EQ(QUORIX_OK, QUORIX_CameraClose(m_port));
}

// ---- closing ----------------------------------------------------------------------------------

// Close, in every state the pull waits in, returns without waiting that state out (the waits are
// the longest the options allow: a close that sat them out would run into the test's time-out),
// leaves the port without a stream and calls back no more.
TEST_F(Pull, CloseDuringAConnectReturnsPromptly) {
    Blackhole hole;
    ASSERT_NE(hole.Port(), 0);
    m_options.timeoutMs = 600000;
    m_options.transport = QUORIX_TRANSPORT_TCP;
    ASSERT_EQ(QUORIX_OK, Open("rtsp://127.0.0.1:" + std::to_string(hole.Port()) + "/cam"));
    ASSERT_TRUE(hole.WaitForCaller());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(QUORIX_OK, QUORIX_CameraClose(m_port));
    RecordProperty("close_during_connect_ms", static_cast<int>(Seconds(t0) * 1000));
    const auto states = m_log.Copy();
    ASSERT_EQ(states.size(), 1u) << Describe(states);
    EXPECT_EQ(states[0].first, QUORIX_CAMERA_CONNECTING);
    EXPECT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, QUORIX_MODEL_NORMAL, nullptr, 0, nullptr, 0))
        << "the port's stream was closed";
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
}

// A read that stalls past the time-out is a loss: the blackhole answers nothing at all.
TEST_F(Pull, StalledConnectionTimesOut) {
    Blackhole hole;
    ASSERT_NE(hole.Port(), 0);
    m_options.timeoutMs = 300;
    m_options.reconnect = 0;
    m_options.transport = QUORIX_TRANSPORT_TCP;
    EXPECT_EQ(FailureOf("rtsp://127.0.0.1:" + std::to_string(hole.Port()) + "/cam"),
              QUORIX_E_TIMEOUT);
}

TEST_F(Pull, CloseDuringBackOffReturnsPromptly) {
    m_options.retryMinMs = 3600000;
    m_options.retryMaxMs = 3600000;
    ASSERT_EQ(QUORIX_OK, Open("rtsp://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/cam"));
    ASSERT_TRUE(m_log.WaitFor(QUORIX_CAMERA_RECONNECTING)) << Describe(m_log.Copy());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(QUORIX_OK, QUORIX_CameraClose(m_port));
    RecordProperty("close_during_backoff_ms", static_cast<int>(Seconds(t0) * 1000));
    EXPECT_EQ(m_log.Copy().size(), 3u) << Describe(m_log.Copy());
}

// A file of ten seconds, paced by its stamps, is stopped while it plays by each way of ending a
// port's stream: the pull's own close, the stream's close, the port's free, the release.
TEST_F(Pull, EveryEndOfTheStreamStopsAPlayingPull) {
    const FilePlan plan{"Long", "matroska", "mkv", "mjpeg", 0, nullptr, 250, 2, "mjpeg", 0};
    const std::string input = m_dir / "long.mkv";
    if (!WriteFile(input, plan, nullptr))
        GTEST_SKIP() << "no mjpeg";
    const std::vector<std::pair<const char*, std::function<uint32_t()>>> ends = {
        {"CameraClose", [&] { return QUORIX_CameraClose(m_port); }},
        {"CloseStream", [&] { return QUORIX_CloseStream(m_port); }},
        {"FreePort", [&] { return QUORIX_FreePort(m_port); }},
        {"ReleaseSDK", [&] { return QUORIX_ReleaseSDK(); }},
    };
    for (const auto& end : ends) {
        SCOPED_TRACE(end.first);
        StateLog log;
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_CameraOpen(m_port, input.c_str(), &m_options, &StateLog::Callback, &log));
        ASSERT_TRUE(log.WaitFor(QUORIX_CAMERA_PLAYING)) << Describe(log.Copy());
        EXPECT_EQ(QUORIX_OK, end.second());
        const size_t reported = log.Copy().size();
        EXPECT_EQ(reported, 2u) << Describe(log.Copy());
        if (std::string(end.first) == "ReleaseSDK") {
            ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
            uint32_t state = 99;
            EXPECT_EQ(QUORIX_OK, QUORIX_CameraGetState(m_port, &state, nullptr));
            EXPECT_EQ(state, QUORIX_CAMERA_CLOSED);
            EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port)) << "the stream itself stays open";
        } else if (std::string(end.first) == "FreePort") {
            ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&m_port));
        } else {
            uint32_t state = 99;
            EXPECT_EQ(QUORIX_OK, QUORIX_CameraGetState(m_port, &state, nullptr));
            EXPECT_EQ(state, QUORIX_CAMERA_CLOSED);
            EXPECT_EQ(QUORIX_E_STATE, QUORIX_CloseStream(m_port));
        }
        // Whatever ran after the end, nothing was reported any more.
        EXPECT_EQ(log.Copy().size(), reported);
    }
}

// Paced by its stamps, a file takes at least its own length (a bound that a slow machine only
// makes longer), and its records are stamped one picture interval apart.
TEST_F(Pull, FilesArePacedByTheirStamps) {
    const FilePlan plan{"Paced", "matroska", "mkv", "mjpeg", 0, nullptr, 25, 2, "mjpeg", 0};
    const std::string input = m_dir / "paced.mkv";
    if (!WriteFile(input, plan, nullptr))
        GTEST_SKIP() << "no mjpeg";
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(QUORIX_OK, Open(input));
    ASSERT_TRUE(m_log.WaitFor(QUORIX_CAMERA_ENDED)) << Describe(m_log.Copy());
    const double took = Seconds(t0);
    RecordProperty("paced_ms", static_cast<int>(took * 1000));
    EXPECT_GE(took, (plan.frames - 1) * 0.040 - 0.005);
    EXPECT_EQ(QUORIX_OK, QUORIX_CameraClose(m_port));
}

}  // namespace
