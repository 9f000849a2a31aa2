// quorix-mux: converts a media file or stream that FFmpeg reads (H.264, H.265 or MJPEG video,
// optional audio) into a container file of this library, or makes a demonstration recording
// from a built-in test scene.
//
//   quorix-mux [--model N] [--fisheye cx,cy,r|auto] [--info FILE] INPUT OUTPUT
//   quorix-mux --synthetic fisheye|sphere|ring|normal [--duration S] OUTPUT

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

// The scenes of --synthetic.
#include "mux_scene.h"

#include "mux_container.h"

namespace {

using namespace quorix_tools;

// Render models written to the header.
constexpr int kModelFromParams = 0;
constexpr int kModelNormal = 1;
constexpr int kModelFisheye = 2;
constexpr int kModelVr720 = 3;
constexpr int kModelRing = 5;

struct Options {
    std::string input;
    std::string output;
    std::string synthetic;
    std::optional<int> model;
    bool fisheye = false;
    bool fisheyeAuto = false;
    double cx = 0, cy = 0, radius = 0;
    std::string infoFile;
    double duration = 10.0;
    int width = 0;  // synthetic picture width, 0: the scene's own
    int64_t maxFrames = -1;
    bool quiet = false;
};

void Usage(FILE* out) {
    std::fprintf(
        out,
        "usage: quorix-mux [options] INPUT OUTPUT\n"
        "       quorix-mux --synthetic fisheye|sphere|ring|normal [--duration S] OUTPUT\n"
        "\n"
        "INPUT is anything FFmpeg opens (MP4, MKV, TS, raw .h264/.h265/.mjpeg, rtsp://...)\n"
        "with H.264, H.265 or MJPEG video; audio is stored as G.711 (transcoded if needed).\n"
        "\n"
        "  --model N            render model of the header (-1 external, 0 from the\n"
        "                       parameter block, 1 normal, 2 fisheye, 3 sphere, 4/6\n"
        "                       hemisphere, 5 ring)\n"
        "  --fisheye cx,cy,r    write a fisheye parameter block for the circle at (cx,cy)\n"
        "                       with radius r in pixels; 'auto' finds the bright circle\n"
        "  --info FILE          store FILE as the file-open information block\n"
        "  --synthetic KIND     make a demonstration recording without input\n"
        "  --duration S         length of a synthetic recording in seconds (default 10)\n"
        "  --width W            picture width of a synthetic recording\n"
        "  --frames N           stop after N video frames\n"
        "  --quiet              no progress bar and no summary\n");
}

bool ParseArgs(int argc, char** argv, Options* o) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "quorix-mux: %s needs a value\n", a.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "-h" || a == "--help") {
            Usage(stdout);
            std::exit(0);
        } else if (a == "--model") {
            if (!value(&v))
                return false;
            char* end = nullptr;
            const long m = std::strtol(v.c_str(), &end, 10);
            if (*end != 0 || m < -1 || m > 6) {
                std::fprintf(stderr, "quorix-mux: --model takes -1..6\n");
                return false;
            }
            o->model = static_cast<int>(m);
        } else if (a == "--fisheye") {
            if (!value(&v))
                return false;
            o->fisheye = true;
            if (v == "auto") {
                o->fisheyeAuto = true;
            } else if (std::sscanf(v.c_str(), "%lf,%lf,%lf", &o->cx, &o->cy, &o->radius) != 3 ||
                       o->radius <= 0) {
                std::fprintf(stderr, "quorix-mux: --fisheye takes cx,cy,r or auto\n");
                return false;
            }
        } else if (a == "--info") {
            if (!value(&o->infoFile))
                return false;
        } else if (a == "--synthetic") {
            if (!value(&o->synthetic))
                return false;
            if (o->synthetic != "fisheye" && o->synthetic != "sphere" && o->synthetic != "ring" &&
                o->synthetic != "normal") {
                std::fprintf(stderr,
                             "quorix-mux: --synthetic takes fisheye, sphere, ring or normal\n");
                return false;
            }
        } else if (a == "--duration") {
            if (!value(&v))
                return false;
            o->duration = std::atof(v.c_str());
            if (!(o->duration > 0 && o->duration <= 3600)) {
                std::fprintf(stderr, "quorix-mux: --duration takes 0..3600 seconds\n");
                return false;
            }
        } else if (a == "--width") {
            if (!value(&v))
                return false;
            o->width = std::atoi(v.c_str());
            if (o->width < 64 || o->width > 8192) {
                std::fprintf(stderr, "quorix-mux: --width takes 64..8192\n");
                return false;
            }
        } else if (a == "--frames") {
            if (!value(&v))
                return false;
            o->maxFrames = std::atoll(v.c_str());
        } else if (a == "--quiet" || a == "-q") {
            o->quiet = true;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "quorix-mux: unknown option %s\n", a.c_str());
            return false;
        } else {
            positional.push_back(a);
        }
    }
    const size_t wanted = o->synthetic.empty() ? 2 : 1;
    if (positional.size() != wanted) {
        Usage(stderr);
        return false;
    }
    if (wanted == 2) {
        o->input = positional[0];
        o->output = positional[1];
    } else {
        o->output = positional[0];
    }
    return true;
}

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// A progress bar on standard error, drawn only on a terminal and at most a few times a second.
class Progress {
public:
    explicit Progress(bool enabled) : m_enabled(enabled && isatty(STDERR_FILENO)) {}
    void Update(double done, double total, uint32_t frames) {
        if (!m_enabled || total <= 0)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now - m_last < std::chrono::milliseconds(200) && done < total)
            return;
        m_last = now;
        const double f = std::min(1.0, std::max(0.0, done / total));
        const int width = 40;
        const int filled = static_cast<int>(f * width);
        std::fprintf(stderr, "\r[%.*s%*s] %3d%%  %u frames", filled,
                     "########################################", width - filled, "",
                     static_cast<int>(f * 100), frames);
        std::fflush(stderr);
        m_drawn = true;
    }
    ~Progress() {
        if (m_drawn)
            std::fprintf(stderr, "\n");
    }

private:
    bool m_enabled;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_last{};
};

// Finds the bright circle of a fisheye picture in its luma plane: the bounding box of the rows
// and columns that hold enough pixels above the black surround.
bool DetectCircle(const AVFrame* frame, double* cx, double* cy, double* r) {
    const int w = frame->width, h = frame->height;
    if (w <= 0 || h <= 0 || frame->data[0] == nullptr)
        return false;
    constexpr int kThreshold = 40;
    const int minCount = std::max(2, std::min(w, h) / 100);
    int left = w, right = -1, top = h, bottom = -1;
    std::vector<int> columns(static_cast<size_t>(w), 0);
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
        int count = 0;
        for (int x = 0; x < w; ++x) {
            if (row[x] > kThreshold) {
                ++count;
                ++columns[static_cast<size_t>(x)];
            }
        }
        if (count >= minCount) {
            top = std::min(top, y);
            bottom = std::max(bottom, y);
        }
    }
    for (int x = 0; x < w; ++x) {
        if (columns[static_cast<size_t>(x)] >= minCount) {
            left = std::min(left, x);
            right = std::max(right, x);
        }
    }
    if (right < left || bottom < top)
        return false;
    *cx = (left + right + 1) / 2.0;
    *cy = (top + bottom + 1) / 2.0;
    *r = std::max(right - left + 1, bottom - top + 1) / 2.0;
    return true;
}

// Decodes packets until the first picture comes out.
struct FirstPicture {
    AVCodecContext* ctx = nullptr;
    AVFrame* frame = nullptr;
    bool done = false;
    ~FirstPicture() {
        avcodec_free_context(&ctx);
        av_frame_free(&frame);
    }
    bool Start(const AVCodecParameters* par) {
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        if (codec == nullptr)
            return false;
        ctx = avcodec_alloc_context3(codec);
        frame = av_frame_alloc();
        if (ctx == nullptr || frame == nullptr || avcodec_parameters_to_context(ctx, par) < 0)
            return false;
        return avcodec_open2(ctx, codec, nullptr) == 0;
    }
    bool Feed(const AVPacket* pkt) {
        if (done || ctx == nullptr)
            return done;
        if (avcodec_send_packet(ctx, pkt) < 0)
            return false;
        if (avcodec_receive_frame(ctx, frame) == 0)
            done = true;
        return done;
    }
};

// Audio in any codec to G.711 A-law, mono 8 kHz, 20 ms per record.
class AudioTranscoder {
public:
    ~AudioTranscoder() {
        avcodec_free_context(&m_dec);
        avcodec_free_context(&m_enc);
        swr_free(&m_swr);
        av_frame_free(&m_in);
        av_frame_free(&m_out);
        av_packet_free(&m_pkt);
    }
    bool Start(const AVCodecParameters* par, AVRational timeBase) {
        const AVCodec* dec = avcodec_find_decoder(par->codec_id);
        const AVCodec* enc = avcodec_find_encoder(AV_CODEC_ID_PCM_ALAW);
        if (dec == nullptr || enc == nullptr)
            return false;
        m_dec = avcodec_alloc_context3(dec);
        m_enc = avcodec_alloc_context3(enc);
        m_in = av_frame_alloc();
        m_out = av_frame_alloc();
        m_pkt = av_packet_alloc();
        if (!m_dec || !m_enc || !m_in || !m_out || !m_pkt)
            return false;
        if (avcodec_parameters_to_context(m_dec, par) < 0)
            return false;
        m_dec->pkt_timebase = timeBase;
        if (avcodec_open2(m_dec, dec, nullptr) < 0)
            return false;
        m_enc->sample_fmt = AV_SAMPLE_FMT_S16;
        m_enc->sample_rate = 8000;
        av_channel_layout_default(&m_enc->ch_layout, 1);
        m_enc->time_base = AVRational{1, 8000};
        return avcodec_open2(m_enc, enc, nullptr) == 0;
    }
    // Feeds one packet (null drains); every finished 20 ms block goes to `sink`.
    template <typename Sink>
    bool Feed(const AVPacket* pkt, Sink&& sink) {
        if (avcodec_send_packet(m_dec, pkt) < 0 && pkt != nullptr)
            return true;  // skip a bad packet
        while (avcodec_receive_frame(m_dec, m_in) == 0) {
            if (m_swr == nullptr) {
                AVChannelLayout mono;
                av_channel_layout_default(&mono, 1);
                if (swr_alloc_set_opts2(&m_swr, &mono, AV_SAMPLE_FMT_S16, 8000, &m_in->ch_layout,
                                        static_cast<AVSampleFormat>(m_in->format),
                                        m_in->sample_rate, 0, nullptr) < 0 ||
                    swr_init(m_swr) < 0) {
                    return false;
                }
                if (m_in->pts != AV_NOPTS_VALUE && m_firstPts == AV_NOPTS_VALUE &&
                    m_dec->pkt_timebase.num > 0) {
                    m_firstPts = av_rescale_q(m_in->pts, m_dec->pkt_timebase, AVRational{1, 1000});
                }
            }
            const int maxOut = swr_get_out_samples(m_swr, m_in->nb_samples);
            std::vector<int16_t> tmp(static_cast<size_t>(std::max(maxOut, 0)));
            uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(tmp.data())};
            const int got =
                swr_convert(m_swr, outPlanes, maxOut,
                            const_cast<const uint8_t**>(m_in->extended_data), m_in->nb_samples);
            if (got > 0)
                m_pcm.insert(m_pcm.end(), tmp.begin(), tmp.begin() + got);
            av_frame_unref(m_in);
            if (!Emit(sink))
                return false;
        }
        return true;
    }
    int64_t FirstMs() const { return m_firstPts == AV_NOPTS_VALUE ? 0 : m_firstPts; }

private:
    template <typename Sink>
    bool Emit(Sink&& sink) {
        constexpr size_t kBlock = 160;
        while (m_pcm.size() >= kBlock) {
            m_out->format = AV_SAMPLE_FMT_S16;
            m_out->sample_rate = 8000;
            av_channel_layout_default(&m_out->ch_layout, 1);
            m_out->nb_samples = kBlock;
            if (av_frame_get_buffer(m_out, 0) < 0)
                return false;
            std::memcpy(m_out->data[0], m_pcm.data(), kBlock * 2);
            m_pcm.erase(m_pcm.begin(), m_pcm.begin() + kBlock);
            const int sent = avcodec_send_frame(m_enc, m_out);
            av_frame_unref(m_out);
            if (sent < 0)
                return false;
            while (avcodec_receive_packet(m_enc, m_pkt) == 0) {
                sink(m_pkt->data, static_cast<uint32_t>(m_pkt->size), m_samples * 1000 / 8000);
                m_samples += kBlock;
                av_packet_unref(m_pkt);
            }
        }
        return true;
    }

    AVCodecContext* m_dec = nullptr;
    AVCodecContext* m_enc = nullptr;
    SwrContext* m_swr = nullptr;
    AVFrame* m_in = nullptr;
    AVFrame* m_out = nullptr;
    AVPacket* m_pkt = nullptr;
    std::vector<int16_t> m_pcm;
    int64_t m_samples = 0;
    int64_t m_firstPts = AV_NOPTS_VALUE;
};

// Frames collected before the file is written: the header's model and the parameter block may
// depend on the first picture (auto-detected circle), so video is held back until it is known.
struct Pending {
    std::vector<uint8_t> data;
    bool key = false;
    bool audio = false;
    uint32_t ms = 0;
};

struct Output {
    ContainerWriter writer;
    bool opened = false;
    int64_t startUnix = 0;
    uint8_t videoCodec = kCodecH264;
    uint16_t width = 0, height = 0;
    uint8_t audioCodec = kCodecAlaw;
    uint8_t channels = 1;
    uint32_t sampleRate = 8000;

    bool Write(const Pending& p) {
        const uint32_t clock = static_cast<uint32_t>(startUnix + p.ms / 1000);
        if (p.audio) {
            AudioFrame a;
            a.data = p.data.data();
            a.size = static_cast<uint32_t>(p.data.size());
            a.timestampMs = p.ms;
            a.clock = clock;
            a.codec = audioCodec;
            a.channels = channels;
            a.sampleRate = sampleRate;
            return writer.WriteAudio(a);
        }
        VideoFrame v;
        v.data = p.data.data();
        v.size = static_cast<uint32_t>(p.data.size());
        v.key = p.key;
        v.timestampMs = p.ms;
        v.clock = clock;
        v.codec = videoCodec;
        v.width = width;
        v.height = height;
        return writer.WriteVideo(v);
    }
};

bool ReadFile(const std::string& path, std::vector<uint8_t>* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Opens the output once the model and the parameter block are known.
bool OpenOutput(Output* out, const Options& o, int defaultModel,
                const std::vector<uint8_t>& params) {
    std::vector<uint8_t> info;
    if (!o.infoFile.empty() && !ReadFile(o.infoFile, &info)) {
        std::fprintf(stderr, "quorix-mux: cannot read %s\n", o.infoFile.c_str());
        return false;
    }
    int model = o.model.value_or(defaultModel);
    const auto now = std::chrono::system_clock::now();
    const int64_t ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    out->startUnix = ms / 1000;
    if (!out->writer.Open(o.output, static_cast<int8_t>(model), info, params,
                          LocalOleDate(ms / 1000, static_cast<uint32_t>(ms % 1000)))) {
        std::fprintf(stderr, "quorix-mux: %s\n", out->writer.Error().c_str());
        return false;
    }
    out->opened = true;
    return true;
}

void Summary(const Options& o, const Output& out) {
    if (o.quiet)
        return;
    std::printf("%s: %u video frames (%u key), %u audio records, %ux%u\n", o.output.c_str(),
                out.writer.VideoFrames(), out.writer.KeyFrames(), out.writer.AudioFrames(),
                out.width, out.height);
}

// ---- conversion of an input FFmpeg reads ----------------------------------------------------

int Convert(const Options& o) {
    AVFormatContext* fmt = nullptr;
    AVDictionary* opts = nullptr;
    if (o.input.rfind("rtsp://", 0) == 0)
        av_dict_set(&opts, "rtsp_transport", "tcp", 0);
    int err = avformat_open_input(&fmt, o.input.c_str(), nullptr, &opts);
    av_dict_free(&opts);
    if (err < 0) {
        std::fprintf(stderr, "quorix-mux: cannot open %s: %s\n", o.input.c_str(),
                     AvError(err).c_str());
        return 1;
    }
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> fmtGuard(
        fmt, [](AVFormatContext* f) { avformat_close_input(&f); });
    if ((err = avformat_find_stream_info(fmt, nullptr)) < 0) {
        std::fprintf(stderr, "quorix-mux: %s: %s\n", o.input.c_str(), AvError(err).c_str());
        return 1;
    }
    const int vIndex = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (vIndex < 0) {
        std::fprintf(stderr, "quorix-mux: %s has no video\n", o.input.c_str());
        return 1;
    }
    AVStream* vs = fmt->streams[vIndex];
    Output out;
    const char* bsfName = nullptr;
    switch (vs->codecpar->codec_id) {
        case AV_CODEC_ID_H264:
            out.videoCodec = kCodecH264;
            bsfName = "h264_mp4toannexb";
            break;
        case AV_CODEC_ID_HEVC:
            out.videoCodec = kCodecH265;
            bsfName = "hevc_mp4toannexb";
            break;
        case AV_CODEC_ID_MJPEG:
            out.videoCodec = kCodecMjpeg;
            break;
        default:
            std::fprintf(stderr, "quorix-mux: video codec %s is not H.264, H.265 or MJPEG\n",
                         avcodec_get_name(vs->codecpar->codec_id));
            return 1;
    }
    if (vs->codecpar->width > 65535 || vs->codecpar->height > 65535) {
        std::fprintf(stderr, "quorix-mux: picture size out of range\n");
        return 1;
    }
    out.width = static_cast<uint16_t>(vs->codecpar->width);
    out.height = static_cast<uint16_t>(vs->codecpar->height);

    // Cameras send Annex B; length-prefixed samples of MP4 and MKV are rewritten to it.
    AVBSFContext* bsf = nullptr;
    if (bsfName != nullptr) {
        const AVBitStreamFilter* filter = av_bsf_get_by_name(bsfName);
        if (filter == nullptr || av_bsf_alloc(filter, &bsf) < 0 ||
            avcodec_parameters_copy(bsf->par_in, vs->codecpar) < 0) {
            std::fprintf(stderr, "quorix-mux: no %s filter\n", bsfName);
            return 1;
        }
        bsf->time_base_in = vs->time_base;
        if (av_bsf_init(bsf) < 0)
            return 1;
    }
    std::unique_ptr<AVBSFContext, void (*)(AVBSFContext*)> bsfGuard(
        bsf, [](AVBSFContext* b) { av_bsf_free(&b); });

    const int aIndex = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, vIndex, nullptr, 0);
    AVStream* as = aIndex >= 0 ? fmt->streams[aIndex] : nullptr;
    bool audioPass = false;
    std::unique_ptr<AudioTranscoder> transcoder;
    if (as != nullptr) {
        const AVCodecID id = as->codecpar->codec_id;
        if ((id == AV_CODEC_ID_PCM_ALAW || id == AV_CODEC_ID_PCM_MULAW) &&
            as->codecpar->ch_layout.nb_channels == 1) {
            audioPass = true;
            out.audioCodec = id == AV_CODEC_ID_PCM_ALAW ? kCodecAlaw : kCodecUlaw;
            out.sampleRate = static_cast<uint32_t>(as->codecpar->sample_rate);
        } else {
            transcoder = std::make_unique<AudioTranscoder>();
            if (!transcoder->Start(as->codecpar, as->time_base)) {
                std::fprintf(stderr, "quorix-mux: audio in %s cannot be transcoded; left out\n",
                             avcodec_get_name(id));
                transcoder.reset();
                as = nullptr;
            }
        }
    }

    std::vector<uint8_t> params;
    int defaultModel = kModelNormal;
    if (o.fisheye && !o.fisheyeAuto) {
        params = FisheyeModelData(out.width, out.height, o.cx, o.cy, o.radius);
        defaultModel = kModelFromParams;
    }
    FirstPicture first;
    if (o.fisheyeAuto && !first.Start(vs->codecpar)) {
        std::fprintf(stderr, "quorix-mux: no decoder to find the fisheye circle\n");
        return 1;
    }
    std::vector<Pending> held;
    if (!o.fisheyeAuto && !OpenOutput(&out, o, defaultModel, params))
        return 1;

    const double total = fmt->duration > 0 ? fmt->duration / double(AV_TIME_BASE) : 0.0;
    Progress progress(!o.quiet);
    AVPacket* pkt = av_packet_alloc();
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> pktGuard(
        pkt, [](AVPacket* p) { av_packet_free(&p); });
    int64_t firstMs = AV_NOPTS_VALUE;
    int64_t lastVideoMs = -1;
    const AVRational rate = av_guess_frame_rate(fmt, vs, nullptr);
    const int64_t frameMs =
        rate.num > 0 ? std::max<int64_t>(1, av_rescale(1000, rate.den, rate.num)) : 40;
    bool failed = false;

    auto emit = [&](Pending&& p) {
        if (failed)
            return;
        if (!out.opened) {
            held.push_back(std::move(p));
            return;
        }
        if (!out.Write(p)) {
            std::fprintf(stderr, "\nquorix-mux: %s\n", out.writer.Error().c_str());
            failed = true;
        }
    };
    auto openHeld = [&](bool found, double cx, double cy, double r) {
        if (found) {
            params = FisheyeModelData(out.width, out.height, cx, cy, r);
            if (!o.quiet)
                std::printf("fisheye circle: centre %.1f,%.1f radius %.1f\n", cx, cy, r);
        } else {
            std::fprintf(stderr,
                         "quorix-mux: no bright circle found; no parameter block written\n");
        }
        if (!OpenOutput(&out, o, found ? kModelFromParams : kModelNormal, params)) {
            failed = true;
            return;
        }
        for (const Pending& p : held)
            emit(Pending(p));
        held.clear();
    };
    auto videoPacket = [&](AVPacket* p) {
        int64_t ts = p->dts != AV_NOPTS_VALUE ? p->dts : p->pts;
        int64_t ms = ts != AV_NOPTS_VALUE ? av_rescale_q(ts, vs->time_base, AVRational{1, 1000})
                                          : AV_NOPTS_VALUE;
        if (firstMs == AV_NOPTS_VALUE && ms != AV_NOPTS_VALUE)
            firstMs = ms;
        if (ms == AV_NOPTS_VALUE) {
            ms = lastVideoMs < 0 ? 0 : lastVideoMs + frameMs;
        } else {
            ms -= firstMs;
            if (ms <= lastVideoMs)
                ms = lastVideoMs + 1;  // records keep file order
        }
        lastVideoMs = ms;
        const bool key = out.videoCodec == kCodecMjpeg || (p->flags & AV_PKT_FLAG_KEY) != 0;
        if (lastVideoMs == 0 && !key && out.writer.VideoFrames() == 0 && held.empty()) {
            // Nothing decodes before the first key frame; the time line starts there.
            lastVideoMs = -1;
            firstMs = AV_NOPTS_VALUE;
            return;
        }
        if (o.fisheyeAuto && !out.opened && !first.done) {
            if (first.Feed(p)) {
                double cx = 0, cy = 0, r = 0;
                const bool found = DetectCircle(first.frame, &cx, &cy, &r);
                Pending pending{std::vector<uint8_t>(p->data, p->data + p->size), key, false,
                                static_cast<uint32_t>(ms)};
                held.push_back(std::move(pending));
                openHeld(found, cx, cy, r);
                return;
            }
        }
        emit(Pending{std::vector<uint8_t>(p->data, p->data + p->size), key, false,
                     static_cast<uint32_t>(ms)});
    };
    auto audioMs = [&](const AVPacket* p) -> uint32_t {
        const int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
        if (ts == AV_NOPTS_VALUE)
            return static_cast<uint32_t>(std::max<int64_t>(lastVideoMs, 0));
        const int64_t ms = av_rescale_q(ts, as->time_base, AVRational{1, 1000}) -
                           (firstMs == AV_NOPTS_VALUE ? 0 : firstMs);
        return static_cast<uint32_t>(std::max<int64_t>(ms, 0));
    };

    while (!failed && av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == vIndex) {
            const double at = pkt->dts != AV_NOPTS_VALUE ? pkt->dts * av_q2d(vs->time_base) : 0;
            if (bsf != nullptr) {
                if (av_bsf_send_packet(bsf, pkt) < 0) {
                    av_packet_unref(pkt);
                    continue;
                }
                while (av_bsf_receive_packet(bsf, pkt) == 0) {
                    videoPacket(pkt);
                    av_packet_unref(pkt);
                }
            } else {
                videoPacket(pkt);
            }
            progress.Update(at - (fmt->start_time > 0 ? fmt->start_time / double(AV_TIME_BASE) : 0),
                            total, out.writer.VideoFrames() + static_cast<uint32_t>(held.size()));
            if (o.maxFrames >= 0 &&
                out.writer.VideoFrames() + static_cast<int64_t>(held.size()) >= o.maxFrames) {
                av_packet_unref(pkt);
                break;
            }
        } else if (as != nullptr && pkt->stream_index == as->index && lastVideoMs >= 0) {
            if (audioPass) {
                emit(Pending{std::vector<uint8_t>(pkt->data, pkt->data + pkt->size), false, true,
                             audioMs(pkt)});
            } else if (transcoder) {
                // Blocks are stamped from the first decoded sample on the video's time line.
                auto sink = [&](const uint8_t* data, uint32_t size, int64_t ms) {
                    const int64_t start =
                        transcoder->FirstMs() - (firstMs == AV_NOPTS_VALUE ? 0 : firstMs);
                    emit(Pending{std::vector<uint8_t>(data, data + size), false, true,
                                 static_cast<uint32_t>(std::max<int64_t>(0, start) + ms)});
                };
                if (!transcoder->Feed(pkt, sink)) {
                    std::fprintf(stderr,
                                 "quorix-mux: audio transcoding failed; the rest is left out\n");
                    transcoder.reset();
                }
            }
        }
        av_packet_unref(pkt);
    }
    if (!out.opened && !failed)
        openHeld(false, 0, 0, 0);
    if (failed)
        return 1;
    if (!out.writer.Finish()) {
        std::fprintf(stderr, "quorix-mux: %s\n", out.writer.Error().c_str());
        return 1;
    }
    Summary(o, out);
    return out.writer.VideoFrames() > 0 ? 0 : 1;
}

// ---- synthetic demonstration recordings -----------------------------------------------------

int Synthetic(const Options& o) {
    const int defaultWidth = o.synthetic == "fisheye"  ? 1024
                             : o.synthetic == "normal" ? 1280
                                                       : 1920;
    SceneSource scene;
    if (!scene.Open(o.synthetic, o.width > 0 ? o.width : defaultWidth)) {
        std::fprintf(stderr, "quorix-mux: %s\n", scene.Error().c_str());
        return 1;
    }
    const int width = scene.Width();
    const int height = scene.Height();
    int err = 0;

    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    Output out;
    out.videoCodec = kCodecH264;
    if (codec == nullptr) {
        codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
        out.videoCodec = kCodecMjpeg;
    }
    AVCodecContext* enc = codec ? avcodec_alloc_context3(codec) : nullptr;
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> encGuard(
        enc, [](AVCodecContext* c) { avcodec_free_context(&c); });
    if (enc == nullptr) {
        std::fprintf(stderr, "quorix-mux: no video encoder\n");
        return 1;
    }
    enc->width = width;
    enc->height = height;
    enc->time_base = AVRational{1, 25};
    enc->framerate = AVRational{25, 1};
    enc->gop_size = 25;
    enc->max_b_frames = 0;
    if (out.videoCodec == kCodecMjpeg) {
        enc->pix_fmt = AV_PIX_FMT_YUVJ420P;
        enc->flags |= AV_CODEC_FLAG_QSCALE;
        enc->global_quality = FF_QP2LAMBDA * 4;
    } else {
        enc->pix_fmt = AV_PIX_FMT_YUV420P;
        av_opt_set(enc->priv_data, "preset", "veryfast", 0);
        av_opt_set(enc->priv_data, "tune", "zerolatency", 0);
        av_opt_set(enc->priv_data, "crf", "23", 0);
    }
    if ((err = avcodec_open2(enc, codec, nullptr)) < 0) {
        std::fprintf(stderr, "quorix-mux: encoder: %s\n", AvError(err).c_str());
        return 1;
    }
    out.width = static_cast<uint16_t>(width);
    out.height = static_cast<uint16_t>(height);
    std::vector<uint8_t> params;
    if (scene.Fisheye())
        params = FisheyeModelData(width, height, width / 2.0, height / 2.0,
                                  std::min(width, height) / 2.0);
    if (!OpenOutput(&out, o, scene.Model(), params))
        return 1;

    int64_t frames = static_cast<int64_t>(o.duration * 25);
    if (o.maxFrames >= 0)
        frames = std::min(frames, o.maxFrames);
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frameGuard(frame,
                                                            [](AVFrame* f) { av_frame_free(&f); });
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> pktGuard(
        pkt, [](AVPacket* p) { av_packet_free(&p); });
    Progress progress(!o.quiet);
    // A 440 Hz tone in 20 ms blocks of A-law, so the recording has sound to switch on.
    const AVCodec* alaw = avcodec_find_encoder(AV_CODEC_ID_PCM_ALAW);
    AVCodecContext* aenc = alaw ? avcodec_alloc_context3(alaw) : nullptr;
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> aencGuard(
        aenc, [](AVCodecContext* c) { avcodec_free_context(&c); });
    if (aenc != nullptr) {
        aenc->sample_fmt = AV_SAMPLE_FMT_S16;
        aenc->sample_rate = 8000;
        av_channel_layout_default(&aenc->ch_layout, 1);
        aenc->time_base = AVRational{1, 8000};
        if (avcodec_open2(aenc, alaw, nullptr) < 0)
            aencGuard.reset();
        aenc = aencGuard.get();
    }
    int64_t audioSamples = 0;
    bool failed = false;
    auto drain = [&]() {
        while (!failed && avcodec_receive_packet(enc, pkt) == 0) {
            const uint32_t ms =
                static_cast<uint32_t>(av_rescale_q(pkt->pts, enc->time_base, AVRational{1, 1000}));
            Pending p{std::vector<uint8_t>(pkt->data, pkt->data + pkt->size),
                      (pkt->flags & AV_PKT_FLAG_KEY) != 0, false, ms};
            if (!out.Write(p))
                failed = true;
            av_packet_unref(pkt);
            // Sound up to the end of this picture.
            while (!failed && aenc != nullptr && audioSamples * 1000 / 8000 < ms + 40) {
                AVFrame* af = av_frame_alloc();
                af->format = AV_SAMPLE_FMT_S16;
                af->sample_rate = 8000;
                av_channel_layout_default(&af->ch_layout, 1);
                af->nb_samples = 160;
                if (av_frame_get_buffer(af, 0) == 0) {
                    auto* s = reinterpret_cast<int16_t*>(af->data[0]);
                    for (int i = 0; i < 160; ++i) {
                        s[i] = static_cast<int16_t>(
                            6000 * std::sin(2 * M_PI * 440 * (audioSamples + i) / 8000.0));
                    }
                    AVPacket* ap = av_packet_alloc();
                    if (avcodec_send_frame(aenc, af) == 0 &&
                        avcodec_receive_packet(aenc, ap) == 0) {
                        Pending a{std::vector<uint8_t>(ap->data, ap->data + ap->size), false, true,
                                  static_cast<uint32_t>(audioSamples * 1000 / 8000)};
                        if (!out.Write(a))
                            failed = true;
                    }
                    av_packet_free(&ap);
                }
                av_frame_free(&af);
                audioSamples += 160;
            }
        }
    };
    for (int64_t i = 0; i < frames && !failed; ++i) {
        if (!scene.Next(i, frame)) {
            std::fprintf(stderr, "quorix-mux: %s\n", scene.Error().c_str());
            return 1;
        }
        frame->pts = i;
        frame->pict_type = AV_PICTURE_TYPE_NONE;
        err = avcodec_send_frame(enc, frame);
        av_frame_unref(frame);
        if (err < 0) {
            std::fprintf(stderr, "quorix-mux: encoding: %s\n", AvError(err).c_str());
            return 1;
        }
        drain();
        progress.Update(static_cast<double>(i + 1), static_cast<double>(frames),
                        out.writer.VideoFrames());
    }
    avcodec_send_frame(enc, nullptr);
    drain();
    if (failed || !out.writer.Finish()) {
        std::fprintf(stderr, "quorix-mux: %s\n", out.writer.Error().c_str());
        return 1;
    }
    Summary(o, out);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseArgs(argc, argv, &o))
        return 2;
    av_log_set_level(AV_LOG_ERROR);
    avformat_network_init();
    const int rc = o.synthetic.empty() ? Convert(o) : Synthetic(o);
    avformat_network_deinit();
    return rc;
}
