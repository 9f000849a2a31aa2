#include "support/media_encoder.h"

#include <turbojpeg.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace quorix_test {

namespace {

void QuietLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (av_log_get_level() > AV_LOG_ERROR)
            av_log_set_level(AV_LOG_ERROR);
    });
}

uint8_t Clamp8(double value) {
    if (value < 0.0)
        return 0;
    if (value > 255.0)
        return 255;
    return static_cast<uint8_t>(std::lround(value));
}

double LumaAt(double x, double y, uint32_t i) {
    return 128.0 + 70.0 * std::sin((x + 3.0 * i) / 13.0) * std::cos((y - 2.0 * i) / 11.0);
}
double CbAt(double x, double y, uint32_t i) {
    return 128.0 + 50.0 * std::sin((x + 2.0 * i) / 37.0 + y / 53.0);
}
double CrAt(double x, double y, uint32_t i) {
    return 128.0 + 50.0 * std::cos(x / 41.0 - (y + i) / 29.0);
}

// Centre of chroma sample c in luma coordinates when one sample covers 2^shift luma samples.
double ChromaCentre(uint32_t c, int shift) {
    return (static_cast<double>(c) * (1 << shift)) + ((1 << shift) - 1) / 2.0;
}

Picture Layout(uint32_t width, uint32_t height, const std::string& pixelFormat) {
    Picture picture;
    picture.width = width;
    picture.height = height;
    if (pixelFormat == "gray" || pixelFormat == "gray8") {
        picture.grey = true;
        return picture;
    }
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(av_get_pix_fmt(pixelFormat.c_str()));
    if (desc != nullptr) {
        picture.chromaShiftX = desc->log2_chroma_w;
        picture.chromaShiftY = desc->log2_chroma_h;
    }
    return picture;
}

struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using ContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

bool Drain(AVCodecContext* context, AVPacket* packet, std::vector<Packet>& out) {
    for (;;) {
        const int r = avcodec_receive_packet(context, packet);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            return true;
        if (r < 0)
            return false;
        out.push_back({std::vector<uint8_t>(packet->data, packet->data + packet->size),
                       (packet->flags & AV_PKT_FLAG_KEY) != 0});
        av_packet_unref(packet);
    }
}

}  // namespace

Picture MakePicture(uint32_t width, uint32_t height, uint32_t index,
                    const std::string& pixelFormat) {
    Picture picture = Layout(width, height, pixelFormat);
    picture.planes[0].resize(static_cast<size_t>(width) * height);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            picture.planes[0][y * width + x] = Clamp8(LumaAt(x, y, index));
    const uint32_t cw = picture.ChromaWidth();
    const uint32_t ch = picture.ChromaHeight();
    for (int p = 1; p < 3; ++p) {
        picture.planes[p].resize(static_cast<size_t>(cw) * ch);
        for (uint32_t y = 0; y < ch; ++y)
            for (uint32_t x = 0; x < cw; ++x) {
                const double fx = ChromaCentre(x, picture.chromaShiftX);
                const double fy = ChromaCentre(y, picture.chromaShiftY);
                picture.planes[p][y * cw + x] =
                    Clamp8(p == 1 ? CbAt(fx, fy, index) : CrAt(fx, fy, index));
            }
    }
    return picture;
}

Picture Reference420(uint32_t width, uint32_t height, uint32_t index, bool grey) {
    Picture picture = MakePicture(width, height, index, "yuv420p");
    if (grey)
        for (int p = 1; p < 3; ++p)
            std::fill(picture.planes[p].begin(), picture.planes[p].end(), 128);
    return picture;
}

Picture FlatPicture(uint32_t width, uint32_t height, uint8_t y, uint8_t u, uint8_t v,
                    const std::string& pixelFormat) {
    Picture picture = Layout(width, height, pixelFormat);
    picture.planes[0].assign(static_cast<size_t>(width) * height, y);
    const size_t chroma = static_cast<size_t>(picture.ChromaWidth()) * picture.ChromaHeight();
    picture.planes[1].assign(chroma, u);
    picture.planes[2].assign(chroma, v);
    return picture;
}

bool HasEncoder(const std::string& name) {
    return avcodec_find_encoder_by_name(name.c_str()) != nullptr;
}

std::vector<Packet> EncodePictures(const VideoEncodeOptions& options,
                                   const std::vector<Picture>& pictures) {
    QuietLibraries();
    std::vector<Packet> packets;
    const AVCodec* codec = avcodec_find_encoder_by_name(options.encoder.c_str());
    if (codec == nullptr)
        return packets;
    ContextPtr context(avcodec_alloc_context3(codec));
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!context || !frame || !packet)
        return packets;

    const AVPixelFormat format = av_get_pix_fmt(options.pixelFormat.c_str());
    context->width = static_cast<int>(options.width);
    context->height = static_cast<int>(options.height);
    context->pix_fmt = format;
    context->time_base = AVRational{1, 25};
    context->framerate = AVRational{25, 1};
    context->gop_size = options.gop;
    context->max_b_frames = options.bFrames;
    context->thread_count = options.threads;
    if (options.encoder == "mjpeg") {
        context->flags |= AV_CODEC_FLAG_QSCALE;
        context->global_quality = FF_QP2LAMBDA * options.quality;
        context->color_range = AVCOL_RANGE_JPEG;
        context->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
    } else {
        av_opt_set(context->priv_data, "preset", options.preset.c_str(), 0);
        if (options.bFrames == 0)
            av_opt_set(context->priv_data, "tune", "zerolatency", 0);
        av_opt_set(context->priv_data, "crf", std::to_string(options.quality).c_str(), 0);
        if (options.encoder == "libx265") {
            const std::string params = "log-level=error:bframes=" + std::to_string(options.bFrames);
            av_opt_set(context->priv_data, "x265-params", params.c_str(), 0);
        }
        if (options.slices > 0)
            context->slices = options.slices;
        if (options.colorRange != 0)
            context->color_range = static_cast<AVColorRange>(options.colorRange);
        if (options.colorSpace != 0)
            context->colorspace = static_cast<AVColorSpace>(options.colorSpace);
    }
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return packets;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    const int depth = desc != nullptr ? desc->comp[0].depth : 8;

    for (size_t i = 0; i < pictures.size(); ++i) {
        const Picture& picture = pictures[i];
        av_frame_unref(frame.get());
        frame->format = format;
        frame->width = context->width;
        frame->height = context->height;
        if (av_frame_get_buffer(frame.get(), 0) < 0)
            return {};
        const int planeCount = picture.grey ? 1 : 3;
        for (int p = 0; p < planeCount; ++p) {
            const uint32_t w = p == 0 ? picture.width : picture.ChromaWidth();
            const uint32_t h = p == 0 ? picture.height : picture.ChromaHeight();
            for (uint32_t y = 0; y < h; ++y) {
                uint8_t* dst = frame->data[p] + static_cast<ptrdiff_t>(y) * frame->linesize[p];
                const uint8_t* src = picture.planes[p].data() + static_cast<size_t>(y) * w;
                if (depth <= 8) {
                    std::memcpy(dst, src, w);
                } else {
                    // High bit depth: the same picture scaled up, little-endian 16-bit samples.
                    for (uint32_t x = 0; x < w; ++x) {
                        const uint16_t sample = static_cast<uint16_t>(src[x] << (depth - 8));
                        dst[2 * x] = static_cast<uint8_t>(sample);
                        dst[2 * x + 1] = static_cast<uint8_t>(sample >> 8);
                    }
                }
            }
        }
        frame->pts = static_cast<int64_t>(i);
        if (options.encoder == "mjpeg")
            frame->quality = context->global_quality;
        if (avcodec_send_frame(context.get(), frame.get()) < 0 ||
            !Drain(context.get(), packet.get(), packets))
            return {};
    }
    avcodec_send_frame(context.get(), nullptr);
    if (!Drain(context.get(), packet.get(), packets))
        return {};
    return packets;
}

std::vector<Packet> EncodeVideo(const VideoEncodeOptions& options, std::vector<Picture>* sources) {
    std::vector<Picture> pictures;
    for (uint32_t i = 0; i < options.frames; ++i)
        pictures.push_back(MakePicture(options.width, options.height, i, options.pixelFormat));
    std::vector<Packet> packets = EncodePictures(options, pictures);
    if (sources != nullptr)
        *sources = std::move(pictures);
    return packets;
}

std::vector<uint8_t> EncodeJpeg(const Picture& picture, int qscale) {
    if (picture.grey) {
        // libavcodec's JPEG encoder has no grey layout; TurboJPEG writes a one-component file.
        tjhandle handle = tjInitCompress();
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        std::vector<uint8_t> out;
        if (tjCompress2(handle, picture.planes[0].data(), static_cast<int>(picture.width),
                        static_cast<int>(picture.width), static_cast<int>(picture.height),
                        TJPF_GRAY, &jpeg, &size, TJSAMP_GRAY, 98, 0) == 0)
            out.assign(jpeg, jpeg + size);
        tjFree(jpeg);
        tjDestroy(handle);
        return out;
    }
    VideoEncodeOptions options;
    options.encoder = "mjpeg";
    options.width = picture.width;
    options.height = picture.height;
    options.quality = qscale;
    options.pixelFormat = picture.chromaShiftX == 1
                              ? (picture.chromaShiftY == 1 ? "yuvj420p" : "yuvj422p")
                              : "yuvj444p";
    std::vector<Packet> packets = EncodePictures(options, {picture});
    return packets.size() == 1 ? packets[0].data : std::vector<uint8_t>();
}

std::vector<uint8_t> EncodeG711(bool aLaw, const std::vector<int16_t>& pcm) {
    QuietLibraries();
    std::vector<uint8_t> out;
    const AVCodec* codec =
        avcodec_find_encoder(aLaw ? AV_CODEC_ID_PCM_ALAW : AV_CODEC_ID_PCM_MULAW);
    if (codec == nullptr || pcm.empty())
        return out;
    ContextPtr context(avcodec_alloc_context3(codec));
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    context->sample_fmt = AV_SAMPLE_FMT_S16;
    context->sample_rate = 8000;
    av_channel_layout_default(&context->ch_layout, 1);
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return out;
    frame->format = AV_SAMPLE_FMT_S16;
    frame->nb_samples = static_cast<int>(pcm.size());
    av_channel_layout_copy(&frame->ch_layout, &context->ch_layout);
    frame->sample_rate = 8000;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return out;
    std::memcpy(frame->data[0], pcm.data(), pcm.size() * sizeof(int16_t));
    if (avcodec_send_frame(context.get(), frame.get()) < 0)
        return out;
    avcodec_send_frame(context.get(), nullptr);
    std::vector<Packet> packets;
    Drain(context.get(), packet.get(), packets);
    for (const Packet& p : packets)
        out.insert(out.end(), p.data.begin(), p.data.end());
    return out;
}

std::vector<int16_t> DecodeG711Reference(bool aLaw, const std::vector<uint8_t>& codes) {
    QuietLibraries();
    std::vector<int16_t> out;
    const AVCodec* codec =
        avcodec_find_decoder(aLaw ? AV_CODEC_ID_PCM_ALAW : AV_CODEC_ID_PCM_MULAW);
    if (codec == nullptr || codes.empty())
        return out;
    ContextPtr context(avcodec_alloc_context3(codec));
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    context->sample_rate = 8000;
    av_channel_layout_default(&context->ch_layout, 1);
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return out;
    if (av_new_packet(packet.get(), static_cast<int>(codes.size())) < 0)
        return out;
    std::memcpy(packet->data, codes.data(), codes.size());
    if (avcodec_send_packet(context.get(), packet.get()) < 0)
        return out;
    while (avcodec_receive_frame(context.get(), frame.get()) == 0) {
        const int16_t* samples = reinterpret_cast<const int16_t*>(frame->data[0]);
        out.insert(out.end(), samples, samples + frame->nb_samples);
    }
    return out;
}

double Psnr(const uint8_t* a, size_t aStride, const uint8_t* b, size_t bStride, uint32_t width,
            uint32_t height) {
    double sum = 0.0;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const double d = static_cast<double>(a[y * aStride + x]) - b[y * bStride + x];
            sum += d * d;
        }
    if (width == 0 || height == 0 || sum == 0.0)
        return 99.0;
    const double mse = sum / (static_cast<double>(width) * height);
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace quorix_test

// libx265 keeps some frame-encoder memory past x265_encoder_close; the leak checker of sanitized
// test runs is told so, so that it keeps reporting our own leaks.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}
