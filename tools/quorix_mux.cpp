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
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "mux_container.h"
#include "pull/demux.h"

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
    // The conversion reads as a pulled camera does (one demuxer for both): Annex B video with its
    // key frames from the first key frame on, decode-order stamps, G.711 sound.
    QPULL::CDemuxer demux;
    QPULL::OpenOptions open;
    open.transport = QPULL::Transport::Tcp;
    if (demux.Open(o.input, open) != QUORIX_OK) {
        std::fprintf(stderr, "quorix-mux: %s\n", demux.Error().c_str());
        return 1;
    }
    if (!demux.Error().empty())
        std::fprintf(stderr, "quorix-mux: %s\n", demux.Error().c_str());
    const QPULL::StreamInfo& info = demux.Info();
    Output out;
    out.videoCodec = info.videoCodec;
    out.width = info.width;
    out.height = info.height;
    out.audioCodec = info.audioCodec != 0 ? info.audioCodec : uint8_t{kCodecAlaw};
    out.sampleRate = info.sampleRate;

    std::vector<uint8_t> params;
    int defaultModel = kModelNormal;
    if (o.fisheye && !o.fisheyeAuto) {
        params = FisheyeModelData(out.width, out.height, o.cx, o.cy, o.radius);
        defaultModel = kModelFromParams;
    }
    FirstPicture first;
    if (o.fisheyeAuto && !first.Start(demux.VideoParameters())) {
        std::fprintf(stderr, "quorix-mux: no decoder to find the fisheye circle\n");
        return 1;
    }
    std::vector<Pending> held;
    if (!o.fisheyeAuto && !OpenOutput(&out, o, defaultModel, params))
        return 1;

    Progress progress(!o.quiet);
    AVPacket* pkt = av_packet_alloc();
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> pktGuard(
        pkt, [](AVPacket* p) { av_packet_free(&p); });
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
    auto videoFrame = [&](const QPULL::MediaFrame& f) {
        Pending pending{f.data, f.key, false, static_cast<uint32_t>(f.ms)};
        if (o.fisheyeAuto && !out.opened && !first.done) {
            if (av_new_packet(pkt, static_cast<int>(f.data.size())) == 0) {
                std::memcpy(pkt->data, f.data.data(), f.data.size());
                const bool decoded = first.Feed(pkt);
                av_packet_unref(pkt);
                if (decoded) {
                    double cx = 0, cy = 0, r = 0;
                    const bool found = DetectCircle(first.frame, &cx, &cy, &r);
                    held.push_back(std::move(pending));
                    openHeld(found, cx, cy, r);
                    return;
                }
            }
        }
        emit(std::move(pending));
    };

    const double total = demux.Duration();
    std::vector<QPULL::MediaFrame> frames;
    bool done = false;
    while (!failed && !done) {
        const uint32_t read = demux.Read(&frames);
        for (const QPULL::MediaFrame& f : frames) {
            if (failed || done)
                break;
            if (f.audio) {
                emit(Pending{f.data, false, true, static_cast<uint32_t>(f.ms)});
                continue;
            }
            videoFrame(f);
            progress.Update(demux.Position(), total,
                            out.writer.VideoFrames() + static_cast<uint32_t>(held.size()));
            if (o.maxFrames >= 0 &&
                out.writer.VideoFrames() + static_cast<int64_t>(held.size()) >= o.maxFrames) {
                done = true;
            }
        }
        frames.clear();
        if (read != QUORIX_OK)
            break;  // the end, or a read error: what was read so far is kept
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

struct Scene {
    std::string graph;
    int model;
    bool fisheye;
};

// A test pattern seen as an equirectangular world, projected by v360 into the lens picture of
// each kind; the fisheye is looking straight down like a ceiling camera. `width` is the picture
// width (the fisheye picture is square, the sphere 2:1, the ring 4:1, the normal one 16:9).
Scene SceneFor(const std::string& kind, int width) {
    const int w = std::max(64, width) & ~15;
    const std::string world = "testsrc2=size=" + std::to_string(w) + "x" + std::to_string(w / 2) +
                              ":rate=25,format=yuv420p";
    if (kind == "fisheye") {
        // v360 fills the corners with the rest of the world; a black mask made once keeps only
        // the lens circle, as a real fisheye sensor sees it.
        const std::string size = std::to_string(w) + "x" + std::to_string(w);
        const std::string half = std::to_string(w / 2.0 - 0.5);
        return {world + ",v360=input=e:output=fisheye:h_fov=180:v_fov=180:pitch=-90:w=" +
                    std::to_string(w) + ":h=" + std::to_string(w) + "[lens];color=black:size=" +
                    size + ":rate=25,format=yuva420p,geq=lum=16:cb=128:cr=128:a='if(lt(hypot(X-" +
                    half + ",Y-" + half + ")," + std::to_string(w / 2) +
                    "),0,255)',trim=end_frame=1,loop=loop=-1:size=1[mask];[lens][mask]overlay="
                    "shortest=1,"
                    "format=yuv420p",
                kModelFromParams, true};
    }
    if (kind == "sphere")
        return {world, kModelVr720, false};
    if (kind == "ring") {
        return {world + ",crop=" + std::to_string(w) + ":" + std::to_string(w / 4) +
                    ":0:" + std::to_string(w / 8),
                kModelRing, false};
    }
    return {"testsrc2=size=" + std::to_string(w) + "x" + std::to_string((w * 9 / 16) & ~1) +
                ":rate=25,format=yuv420p",
            kModelNormal, false};
}

int Synthetic(const Options& o) {
    const int defaultWidth = o.synthetic == "fisheye"  ? 1024
                             : o.synthetic == "normal" ? 1280
                                                       : 1920;
    const Scene scene = SceneFor(o.synthetic, o.width > 0 ? o.width : defaultWidth);
    AVFilterGraph* graph = avfilter_graph_alloc();
    std::unique_ptr<AVFilterGraph, void (*)(AVFilterGraph*)> graphGuard(
        graph, [](AVFilterGraph* g) { avfilter_graph_free(&g); });
    AVFilterContext* sink = nullptr;
    if (graph == nullptr || avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"),
                                                         "out", nullptr, nullptr, graph) < 0) {
        std::fprintf(stderr, "quorix-mux: cannot build the filter graph\n");
        return 1;
    }
    AVFilterInOut* outputs = nullptr;
    AVFilterInOut* inputs = avfilter_inout_alloc();
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink;
    inputs->pad_idx = 0;
    inputs->next = nullptr;
    int err = avfilter_graph_parse_ptr(graph, scene.graph.c_str(), &inputs, &outputs, nullptr);
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (err < 0 || (err = avfilter_graph_config(graph, nullptr)) < 0) {
        std::fprintf(stderr, "quorix-mux: filter graph '%s': %s\n", scene.graph.c_str(),
                     AvError(err).c_str());
        return 1;
    }
    const int width = av_buffersink_get_w(sink);
    const int height = av_buffersink_get_h(sink);

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
    if (scene.fisheye)
        params = FisheyeModelData(width, height, width / 2.0, height / 2.0,
                                  std::min(width, height) / 2.0);
    if (!OpenOutput(&out, o, scene.model, params))
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
        if ((err = av_buffersink_get_frame(sink, frame)) < 0) {
            std::fprintf(stderr, "quorix-mux: test scene: %s\n", AvError(err).c_str());
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
