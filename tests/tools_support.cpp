#include "tools_support.h"

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace toolstest {

namespace {

uint64_t Fnv(uint64_t h, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

uint64_t HashFrame(const AVFrame* f) {
    uint64_t h = 1469598103934665603ull;
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
    for (int plane = 0; plane < 3 && f->data[plane] != nullptr; ++plane) {
        const int sx = plane == 0 ? 0 : d->log2_chroma_w;
        const int sy = plane == 0 ? 0 : d->log2_chroma_h;
        const int w = (f->width + (1 << sx) - 1) >> sx;
        const int rows = (f->height + (1 << sy) - 1) >> sy;
        for (int y = 0; y < rows; ++y)
            h = Fnv(h, f->data[plane] + static_cast<ptrdiff_t>(y) * f->linesize[plane],
                    static_cast<size_t>(w));
    }
    return h;
}

void Drain(AVCodecContext* ctx, AVFrame* frame, std::vector<uint64_t>* out) {
    while (avcodec_receive_frame(ctx, frame) == 0) {
        out->push_back(HashFrame(frame));
        av_frame_unref(frame);
    }
}

void Fill(AVFrame* f, const MediaPlan& s, uint32_t index) {
    for (uint32_t y = 0; y < s.height; ++y) {
        uint8_t* row = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
        for (uint32_t x = 0; x < s.width; ++x) {
            if (s.disc) {
                row[x] = std::hypot(x + 0.5 - s.cx, y + 0.5 - s.cy) < s.r ? 235 : 16;
            } else {
                row[x] = static_cast<uint8_t>(128 + 100 * std::sin((x + index * 3) * 0.05) *
                                                        std::cos((y + index) * 0.07));
            }
        }
    }
    for (int p = 1; p < 3; ++p) {
        for (uint32_t y = 0; y < s.height / 2; ++y) {
            uint8_t* row = f->data[p] + static_cast<ptrdiff_t>(y) * f->linesize[p];
            for (uint32_t x = 0; x < s.width / 2; ++x) {
                row[x] =
                    s.disc ? 128
                           : static_cast<uint8_t>(128 + 60 * std::sin((x * (p + 1) + index) * 0.1));
            }
        }
    }
}

}  // namespace

bool WriteMedia(const std::string& path, const MediaPlan& s) {
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name(s.encoder.c_str());
    if (codec == nullptr)
        return false;
    AVFormatContext* fmt = nullptr;
    if (avformat_alloc_output_context2(&fmt, nullptr, s.container.c_str(), path.c_str()) < 0)
        return false;
    AVCodecContext* enc = avcodec_alloc_context3(codec);
    AVStream* vs = avformat_new_stream(fmt, nullptr);
    enc->width = static_cast<int>(s.width);
    enc->height = static_cast<int>(s.height);
    enc->time_base = AVRational{1, s.fps};
    enc->framerate = AVRational{s.fps, 1};
    enc->gop_size = s.gop;
    enc->max_b_frames = s.bFrames;
    enc->pix_fmt = s.encoder == "mjpeg" ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    enc->thread_count = 1;
    if (s.encoder == "libx264" || s.encoder == "libx265")
        av_opt_set(enc->priv_data, "preset", "ultrafast", 0);
    if (s.encoder == "libx264" && s.bFrames > 0)
        av_opt_set(enc->priv_data, "x264-params", "bframes=2:b-adapt=0", 0);
    if (s.encoder == "libx265")
        av_opt_set(enc->priv_data, "x265-params", "log-level=error:bframes=0", 0);
    if (fmt->oformat->flags & AVFMT_GLOBALHEADER)
        enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    bool ok = avcodec_open2(enc, codec, nullptr) == 0 &&
              avcodec_parameters_from_context(vs->codecpar, enc) >= 0;
    vs->time_base = enc->time_base;

    AVCodecContext* aenc = nullptr;
    AVStream* as = nullptr;
    if (ok && s.aacAudio) {
        const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
        aenc = aac ? avcodec_alloc_context3(aac) : nullptr;
        if (aenc == nullptr)
            ok = false;
        if (ok) {
            aenc->sample_fmt = AV_SAMPLE_FMT_FLTP;
            aenc->sample_rate = 44100;
            av_channel_layout_default(&aenc->ch_layout, 2);
            aenc->time_base = AVRational{1, 44100};
            if (fmt->oformat->flags & AVFMT_GLOBALHEADER)
                aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            as = avformat_new_stream(fmt, nullptr);
            ok = avcodec_open2(aenc, aac, nullptr) == 0 &&
                 avcodec_parameters_from_context(as->codecpar, aenc) >= 0;
            as->time_base = aenc->time_base;
        }
    }
    if (ok && !(fmt->oformat->flags & AVFMT_NOFILE))
        ok = avio_open(&fmt->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0;
    if (ok)
        ok = avformat_write_header(fmt, nullptr) >= 0;

    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    auto drain = [&](AVCodecContext* c, AVStream* st) {
        while (avcodec_receive_packet(c, pkt) == 0) {
            av_packet_rescale_ts(pkt, c->time_base, st->time_base);
            pkt->stream_index = st->index;
            if (av_interleaved_write_frame(fmt, pkt) < 0)
                ok = false;
        }
    };
    int64_t samples = 0;
    for (uint32_t i = 0; ok && i < s.frames; ++i) {
        frame->format = enc->pix_fmt;
        frame->width = enc->width;
        frame->height = enc->height;
        ok = av_frame_get_buffer(frame, 0) == 0;
        if (!ok)
            break;
        Fill(frame, s, i);
        frame->pts = i;
        ok = avcodec_send_frame(enc, frame) == 0;
        av_frame_unref(frame);
        drain(enc, vs);
        // Sound up to the end of this picture.
        while (ok && aenc != nullptr && samples * s.fps < int64_t(i + 1) * 44100) {
            frame->format = AV_SAMPLE_FMT_FLTP;
            frame->sample_rate = 44100;
            av_channel_layout_default(&frame->ch_layout, 2);
            frame->nb_samples = aenc->frame_size;
            ok = av_frame_get_buffer(frame, 0) == 0;
            for (int c = 0; ok && c < 2; ++c) {
                auto* d = reinterpret_cast<float*>(frame->data[c]);
                for (int k = 0; k < frame->nb_samples; ++k)
                    d[k] = 0.3f * std::sin(2 * M_PI * 440 * (samples + k) / 44100.0);
            }
            frame->pts = samples;
            samples += frame->nb_samples;
            if (ok)
                ok = avcodec_send_frame(aenc, frame) == 0;
            av_frame_unref(frame);
            drain(aenc, as);
        }
    }
    if (ok) {
        avcodec_send_frame(enc, nullptr);
        drain(enc, vs);
        if (aenc != nullptr) {
            avcodec_send_frame(aenc, nullptr);
            drain(aenc, as);
        }
        ok = av_write_trailer(fmt) == 0 && ok;
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&enc);
    avcodec_free_context(&aenc);
    if (!(fmt->oformat->flags & AVFMT_NOFILE))
        avio_closep(&fmt->pb);
    avformat_free_context(fmt);
    return ok;
}

std::vector<uint64_t> DecodeFileHashes(const std::string& path) {
    std::vector<uint64_t> out;
    AVFormatContext* fmt = nullptr;
    // Every coded picture counts: an MP4 edit list would hide the ones before the presentation
    // start, which the converter keeps as records.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "ignore_editlist", "1", 0);
    const int opened = avformat_open_input(&fmt, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0)
        return out;
    avformat_find_stream_info(fmt, nullptr);
    const AVCodec* codec = nullptr;
    const int index = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (index >= 0 && codec != nullptr) {
        AVCodecContext* ctx = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(ctx, fmt->streams[index]->codecpar);
        ctx->thread_count = 1;
        if (avcodec_open2(ctx, codec, nullptr) == 0) {
            AVPacket* pkt = av_packet_alloc();
            AVFrame* frame = av_frame_alloc();
            while (av_read_frame(fmt, pkt) >= 0) {
                if (pkt->stream_index == index) {
                    avcodec_send_packet(ctx, pkt);
                    Drain(ctx, frame, &out);
                }
                av_packet_unref(pkt);
            }
            avcodec_send_packet(ctx, nullptr);
            Drain(ctx, frame, &out);
            av_packet_free(&pkt);
            av_frame_free(&frame);
        }
        avcodec_free_context(&ctx);
    }
    avformat_close_input(&fmt);
    return out;
}

std::vector<uint64_t> DecodePacketHashes(const std::string& codecName,
                                         const std::vector<std::vector<uint8_t>>& packets) {
    std::vector<uint64_t> out;
    const AVCodec* codec = avcodec_find_decoder_by_name(codecName.c_str());
    if (codec == nullptr)
        return out;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->thread_count = 1;
    if (avcodec_open2(ctx, codec, nullptr) == 0) {
        AVPacket* pkt = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        for (const auto& p : packets) {
            av_new_packet(pkt, static_cast<int>(p.size()));
            std::memcpy(pkt->data, p.data(), p.size());
            avcodec_send_packet(ctx, pkt);
            av_packet_unref(pkt);
            Drain(ctx, frame, &out);
        }
        avcodec_send_packet(ctx, nullptr);
        Drain(ctx, frame, &out);
        av_packet_free(&pkt);
        av_frame_free(&frame);
    }
    avcodec_free_context(&ctx);
    return out;
}

std::vector<uint8_t> DecodeFirstLuma(const std::string& codecName,
                                     const std::vector<std::vector<uint8_t>>& packets, int* width,
                                     int* height) {
    std::vector<uint8_t> luma;
    const AVCodec* codec = avcodec_find_decoder_by_name(codecName.c_str());
    if (codec == nullptr)
        return luma;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->thread_count = 1;
    if (avcodec_open2(ctx, codec, nullptr) == 0) {
        AVPacket* pkt = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        auto take = [&]() {
            if (luma.empty() && avcodec_receive_frame(ctx, frame) == 0) {
                *width = frame->width;
                *height = frame->height;
                for (int y = 0; y < frame->height; ++y) {
                    const uint8_t* row =
                        frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
                    luma.insert(luma.end(), row, row + frame->width);
                }
                av_frame_unref(frame);
            }
        };
        for (size_t i = 0; i < packets.size() && luma.empty(); ++i) {
            av_new_packet(pkt, static_cast<int>(packets[i].size()));
            std::memcpy(pkt->data, packets[i].data(), packets[i].size());
            avcodec_send_packet(ctx, pkt);
            av_packet_unref(pkt);
            take();
        }
        avcodec_send_packet(ctx, nullptr);
        take();
        av_packet_free(&pkt);
        av_frame_free(&frame);
    }
    avcodec_free_context(&ctx);
    return luma;
}

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

float LeF32(const uint8_t* p) {
    const uint32_t bits = Le32(p);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

Container ReadContainer(const std::string& path) {
    Container c;
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (bytes.size() < 64 || std::memcmp(bytes.data(), "ZEBM", 4) != 0)
        return c;
    std::memcpy(c.header, bytes.data(), 64);
    const uint32_t dataOffset = Le32(c.header + 32);
    const uint32_t indexOffset = Le32(c.header + 36);
    if (dataOffset > bytes.size())
        return c;
    uint64_t at = 64;
    while (at + 12 <= dataOffset) {
        if (std::memcmp(&bytes[at], "MEXT", 4) != 0)
            return c;
        const uint32_t len = Le32(&bytes[at + 8]);
        if (at + 12 + len > dataOffset)
            return c;
        c.extensions.emplace_back(bytes[at + 4],
                                  std::vector<uint8_t>(&bytes[at + 12], &bytes[at + 12] + len));
        at += 12 + len;
    }
    const uint64_t end = indexOffset != 0 ? indexOffset : bytes.size();
    if (end > bytes.size())
        return c;
    at = dataOffset;
    while (at + 28 <= end) {
        const uint8_t* h = &bytes[at];
        if (h[0] != 0x68 || h[1] != 0x74)
            return c;
        Record r;
        r.kind = h[2] & 0x7F;
        r.sequence = Le32(h + 4);
        r.timestamp = Le32(h + 8);
        r.clock = Le32(h + 12);
        r.codec = h[16];
        std::memcpy(r.media, h + 18, 6);
        r.offset = at;
        const uint32_t len = Le32(h + 24);
        if (at + 28 + len > end)
            return c;
        r.payload.assign(h + 28, h + 28 + len);
        c.records.push_back(std::move(r));
        at += 28 + len;
    }
    if (at != end)
        return c;
    for (uint64_t i = end; indexOffset != 0 && i + 12 <= bytes.size(); i += 12) {
        for (int k = 0; k < 3; ++k)
            c.index.push_back(Le32(&bytes[i + 4 * k]));
    }
    c.ok = true;
    return c;
}

int Run(const std::string& command, std::string* output) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr)
        return -1;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) {
        if (output != nullptr)
            output->append(buffer, n);
    }
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status)
                             : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/quorix-tools-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    if (mkdtemp(buf.data()) != nullptr)
        m_path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ec);
}

}  // namespace toolstest

// libx265 keeps some frame-encoder memory past its close; a sanitized test run must not count it
// against the tests that write H.265 files.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}
