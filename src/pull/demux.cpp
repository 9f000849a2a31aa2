#include "pull/demux.h"

#include <quorixsdk_codes.h>
#include <quorixsdk_container.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace QPULL {

namespace {

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// The scheme of "scheme://...", lower case; empty for a path.
std::string SchemeOf(const std::string& url) {
    const size_t colon = url.find("://");
    if (colon == std::string::npos || colon == 0)
        return {};
    for (size_t i = 0; i < colon; ++i) {
        const char c = url[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return {};
    }
    std::string scheme = url.substr(0, colon);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return scheme;
}

// Where the authority (user information, host, port) of a network URL lies.
struct Authority {
    size_t begin = 0;
    size_t end = 0;
};

Authority AuthorityOf(const std::string& url) {
    const size_t begin = url.find("://") + 3;
    size_t end = url.find_first_of("/?#", begin);
    if (end == std::string::npos)
        end = url.size();
    return {begin, end};
}

std::string PercentEncode(const std::string& text) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// Audio in any codec to G.711 A-law, mono 8 kHz, 20 ms per block.
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
    // Feeds one packet; every finished 20 ms block goes to `sink` with its milliseconds from the
    // first decoded sample.
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

// How much of a network source is read to learn its streams.
constexpr uint32_t kAnalyzeMs = 2000;

// A jump of the source's clock by more than this (backwards, or forwards on a network source)
// is a discontinuity (a wrap of the RTP or MPEG-TS clock, a camera's restart), not time passing.
constexpr int64_t kBackJumpMs = 1000;
constexpr int64_t kForwardJumpMs = 60000;

}  // namespace

struct CDemuxer::Impl {
    AVFormatContext* fmt = nullptr;
    AVBSFContext* bsf = nullptr;
    AVPacket* pkt = nullptr;
    AVStream* video = nullptr;
    AVStream* audio = nullptr;
    bool audioPass = false;
    std::unique_ptr<AudioTranscoder> transcoder;
    // The video time line: raw milliseconds of the first key frame, the offset added since
    // (discontinuities), the last video stamp given out, -1 before the first.
    int64_t firstMs = AV_NOPTS_VALUE;
    int64_t offsetMs = 0;
    int64_t lastVideoMs = -1;
    uint64_t videoFrames = 0;
    int64_t firstPtsMs = 0;  // of the first picture, where decoding stamps are missing

    ~Impl() {
        av_bsf_free(&bsf);
        av_packet_free(&pkt);
        avformat_close_input(&fmt);
    }
};

uint32_t CheckUrl(const std::string& url) {
    if (url.empty())
        return QUORIX_E_PARAM;
    for (const char c : url) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return QUORIX_E_PARAM;
    }
    const std::string scheme = SchemeOf(url);
    if (url.find("://") != std::string::npos && scheme.empty())
        return QUORIX_E_PARAM;
    if (scheme.empty() || scheme == "file")
        return QUORIX_OK;
    // RTSP is read by a demuxer of its own rather than through a protocol.
    const bool rtsp = (scheme == "rtsp" || scheme == "rtsps") && av_find_input_format("rtsp");
    if (!rtsp && avio_find_protocol_name(url.c_str()) == nullptr)
        return QUORIX_E_PARAM;
    const Authority a = AuthorityOf(url);
    std::string hostPort = url.substr(a.begin, a.end - a.begin);
    const size_t at = hostPort.rfind('@');
    if (at != std::string::npos)
        hostPort.erase(0, at + 1);
    if (hostPort.empty())
        return QUORIX_E_PARAM;
    std::string port;
    if (hostPort[0] == '[') {
        const size_t close = hostPort.find(']');
        if (close == std::string::npos || close == 1)
            return QUORIX_E_PARAM;
        const std::string rest = hostPort.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':')
                return QUORIX_E_PARAM;
            port = rest.substr(1);
            if (port.empty())
                return QUORIX_E_PARAM;
        }
    } else {
        const size_t colon = hostPort.find(':');
        if (colon == 0)
            return QUORIX_E_PARAM;
        if (colon != std::string::npos) {
            port = hostPort.substr(colon + 1);
            if (port.empty())
                return QUORIX_E_PARAM;
        }
        const std::string host = hostPort.substr(0, colon);
        for (const char c : host) {
            if (c == ' ' || c == '[' || c == ']' || c == '\\')
                return QUORIX_E_PARAM;
        }
    }
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return QUORIX_E_PARAM;
        const long number = std::strtol(port.c_str(), nullptr, 10);
        if (number < 1 || number > 65535)
            return QUORIX_E_PARAM;
    }
    return QUORIX_OK;
}

bool IsNetworkUrl(const std::string& url) {
    const std::string scheme = SchemeOf(url);
    return !scheme.empty() && scheme != "file";
}

std::string WithCredentials(const std::string& url, const std::string& user,
                            const std::string& password) {
    if (user.empty() || !IsNetworkUrl(url))
        return url;
    const Authority a = AuthorityOf(url);
    std::string authority = url.substr(a.begin, a.end - a.begin);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos)
        authority.erase(0, at + 1);
    std::string full = url.substr(0, a.begin);
    full += PercentEncode(user);
    if (!password.empty()) {
        full += ':';
        full += PercentEncode(password);
    }
    full += '@';
    full += authority;
    full += url.substr(a.end);
    return full;
}

CDemuxer::CDemuxer() = default;

CDemuxer::~CDemuxer() = default;

void CDemuxer::Close() {
    m_impl.reset();
    m_info = StreamInfo();
    m_position = 0;
}

int CDemuxer::Interrupt(void* opaque) {
    auto* self = static_cast<CDemuxer*>(opaque);
    if (self->m_stop != nullptr && self->m_stop->load(std::memory_order_acquire))
        return 1;
    if (self->m_deadline != 0 && SteadyMs() > self->m_deadline) {
        self->m_timedOut = true;
        return 1;
    }
    return 0;
}

void CDemuxer::Arm(uint32_t extraMs) {
    // A time-out stays noted for the connection: the read it aborted may hand out the packets
    // it still holds before the error comes through.
    m_deadline = m_options.timeoutMs != 0 ? SteadyMs() + m_options.timeoutMs + extraMs : 0;
}

const AVCodecParameters* CDemuxer::VideoParameters() const {
    return m_impl && m_impl->video ? m_impl->video->codecpar : nullptr;
}

double CDemuxer::Duration() const {
    if (!m_impl || m_impl->fmt == nullptr || m_impl->fmt->duration <= 0)
        return 0;
    return m_impl->fmt->duration / static_cast<double>(AV_TIME_BASE);
}

uint32_t CDemuxer::FailOpen(int err, const std::string& what) {
    m_error = what + ": " + AvError(err);
    const bool stopped = m_stop != nullptr && m_stop->load(std::memory_order_acquire);
    m_impl.reset();
    if (stopped)
        return QUORIX_E_STATE;
    if (m_timedOut || err == AVERROR(ETIMEDOUT))
        return QUORIX_E_TIMEOUT;
    switch (err) {
        case AVERROR_HTTP_UNAUTHORIZED:
        case AVERROR_HTTP_FORBIDDEN:
        case AVERROR_PROTOCOL_NOT_FOUND:
            return QUORIX_E_PARAM;
        case AVERROR_INVALIDDATA:
        case AVERROR_DEMUXER_NOT_FOUND:
        case AVERROR_STREAM_NOT_FOUND:
        case AVERROR_EOF:
            return m_network ? QUORIX_E_NOT_OPEN : QUORIX_E_FILE_FORMAT;
        case AVERROR_DECODER_NOT_FOUND:
        case AVERROR_PATCHWELCOME:
            return QUORIX_E_NOT_SUPPORTED;
        default:
            return m_network ? QUORIX_E_NOT_OPEN : QUORIX_E_OPEN_FILE;
    }
}

uint32_t CDemuxer::Open(const std::string& url, const OpenOptions& options,
                        const std::atomic<bool>* stop) {
    Close();
    m_url = url;
    m_options = options;
    m_stop = stop;
    m_timedOut = false;
    m_error.clear();
    if (CheckUrl(url) != QUORIX_OK) {
        m_error = "malformed URL";
        return QUORIX_E_PARAM;
    }
    m_network = IsNetworkUrl(url);
    m_impl = std::make_unique<Impl>();
    Impl& d = *m_impl;
    d.pkt = av_packet_alloc();
    d.fmt = avformat_alloc_context();
    if (d.pkt == nullptr || d.fmt == nullptr) {
        m_impl.reset();
        m_error = "out of memory";
        return QUORIX_E_NO_MEMORY;
    }
    d.fmt->interrupt_callback.callback = &CDemuxer::Interrupt;
    d.fmt->interrupt_callback.opaque = this;
    AVDictionary* dict = nullptr;
    if (options.transport == Transport::Tcp)
        av_dict_set(&dict, "rtsp_transport", "tcp", 0);
    else if (options.transport == Transport::Udp)
        av_dict_set(&dict, "rtsp_transport", "udp", 0);
    if (m_network) {
        // Enough to learn the streams of a camera without waiting for seconds of it.
        av_dict_set(&dict, "analyzeduration", std::to_string(kAnalyzeMs * 1000).c_str(), 0);
    }
    const std::string full = WithCredentials(url, options.user, options.password);
    Arm();
    int err = avformat_open_input(&d.fmt, full.c_str(), nullptr, &dict);
    av_dict_free(&dict);
    if (err < 0) {
        d.fmt = nullptr;  // freed by a failed open
        return FailOpen(err, "cannot open " + url);
    }
    // Learning the streams reads up to kAnalyzeMs of a network source while it sends: the
    // time-out runs on top of that. A shorter one would cut the learning of a healthy stream
    // (an interleaved RTSP connection in the middle of a packet) and leave the connection
    // marked timed out, so that its first read would be taken for a loss.
    Arm(m_network ? kAnalyzeMs : 0);
    if ((err = avformat_find_stream_info(d.fmt, nullptr)) < 0)
        return FailOpen(err, url);
    return OpenStreams();
}

uint32_t CDemuxer::OpenStreams() {
    Impl& d = *m_impl;
    const int vIndex = av_find_best_stream(d.fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (vIndex < 0) {
        m_error = m_url + " has no video";
        m_impl.reset();
        return QUORIX_E_FILE_FORMAT;
    }
    d.video = d.fmt->streams[vIndex];
    const AVCodecParameters* par = d.video->codecpar;
    const char* bsfName = nullptr;
    switch (par->codec_id) {
        case AV_CODEC_ID_H264:
            m_info.videoCodec = QUORIX_CODEC_H264;
            bsfName = "h264_mp4toannexb";
            break;
        case AV_CODEC_ID_HEVC:
            m_info.videoCodec = QUORIX_CODEC_H265;
            bsfName = "hevc_mp4toannexb";
            break;
        case AV_CODEC_ID_MJPEG:
            m_info.videoCodec = QUORIX_CODEC_MJPEG;
            break;
        default:
            m_error = std::string("video codec ") + avcodec_get_name(par->codec_id) +
                      " is not H.264, H.265 or MJPEG";
            m_impl.reset();
            return QUORIX_E_NOT_SUPPORTED;
    }
    if (par->width <= 0 || par->height <= 0 || par->width > 65535 || par->height > 65535) {
        m_error = "picture size out of range";
        m_impl.reset();
        return QUORIX_E_NOT_SUPPORTED;
    }
    m_info.width = static_cast<uint16_t>(par->width);
    m_info.height = static_cast<uint16_t>(par->height);
    m_info.reorderDelay =
        m_info.videoCodec == QUORIX_CODEC_MJPEG ? 0 : std::max(0, par->video_delay);
    const AVRational rate = av_guess_frame_rate(d.fmt, d.video, nullptr);
    m_info.frameMs = rate.num > 0 ? std::max<int64_t>(1, av_rescale(1000, rate.den, rate.num)) : 40;

    // Cameras send Annex B; length-prefixed samples of MP4 and MKV are rewritten to it, with the
    // parameter sets put in front of every key frame.
    if (bsfName != nullptr) {
        const AVBitStreamFilter* filter = av_bsf_get_by_name(bsfName);
        if (filter == nullptr || av_bsf_alloc(filter, &d.bsf) < 0 ||
            avcodec_parameters_copy(d.bsf->par_in, par) < 0) {
            m_error = std::string("no ") + bsfName + " filter";
            m_impl.reset();
            return QUORIX_E_NOT_SUPPORTED;
        }
        d.bsf->time_base_in = d.video->time_base;
        if (av_bsf_init(d.bsf) < 0) {
            m_error = std::string("the ") + bsfName + " filter refused the stream";
            m_impl.reset();
            return QUORIX_E_NOT_SUPPORTED;
        }
    }

    const int aIndex = av_find_best_stream(d.fmt, AVMEDIA_TYPE_AUDIO, -1, vIndex, nullptr, 0);
    d.audio = aIndex >= 0 ? d.fmt->streams[aIndex] : nullptr;
    if (d.audio != nullptr) {
        const AVCodecID id = d.audio->codecpar->codec_id;
        if ((id == AV_CODEC_ID_PCM_ALAW || id == AV_CODEC_ID_PCM_MULAW) &&
            d.audio->codecpar->ch_layout.nb_channels == 1) {
            d.audioPass = true;
            m_info.audioCodec =
                id == AV_CODEC_ID_PCM_ALAW ? QUORIX_CODEC_G711A : QUORIX_CODEC_G711U;
            m_info.sampleRate = static_cast<uint32_t>(d.audio->codecpar->sample_rate);
        } else {
            d.transcoder = std::make_unique<AudioTranscoder>();
            if (d.transcoder->Start(d.audio->codecpar, d.audio->time_base)) {
                m_info.audioCodec = QUORIX_CODEC_G711A;
                m_info.sampleRate = 8000;
            } else {
                m_error = std::string("audio in ") + avcodec_get_name(id) +
                          " cannot be transcoded; left out";
                d.transcoder.reset();
                d.audio = nullptr;
            }
        }
    }
    m_info.hasAudio = d.audio != nullptr;
    m_info.channels = 1;
    return QUORIX_OK;
}

uint32_t CDemuxer::Read(std::vector<MediaFrame>* out) {
    if (!m_impl)
        return QUORIX_E_STATE;
    Impl& d = *m_impl;
    Arm();
    const int err = av_read_frame(d.fmt, d.pkt);
    if (err < 0) {
        if (m_stop != nullptr && m_stop->load(std::memory_order_acquire))
            return QUORIX_E_STATE;
        if (m_timedOut || err == AVERROR(ETIMEDOUT))
            return QUORIX_E_TIMEOUT;
        if (err == AVERROR_EOF)
            return QUORIX_E_END_OF_DATA;
        if (err == AVERROR(EAGAIN))
            return QUORIX_OK;
        m_error = AvError(err);
        return QUORIX_E_NOT_OPEN;
    }
    if (d.pkt->stream_index == d.video->index) {
        if (d.pkt->dts != AV_NOPTS_VALUE) {
            const int64_t start = d.fmt->start_time != AV_NOPTS_VALUE ? d.fmt->start_time : 0;
            m_position = d.pkt->dts * av_q2d(d.video->time_base) - start / double(AV_TIME_BASE);
        }
        if (d.bsf != nullptr) {
            if (av_bsf_send_packet(d.bsf, d.pkt) < 0) {
                av_packet_unref(d.pkt);
                return QUORIX_OK;
            }
            while (av_bsf_receive_packet(d.bsf, d.pkt) == 0) {
                VideoPacket(d.pkt, out);
                av_packet_unref(d.pkt);
            }
        } else {
            VideoPacket(d.pkt, out);
        }
    } else if (d.audio != nullptr && d.pkt->stream_index == d.audio->index && d.lastVideoMs >= 0) {
        AudioPacket(d.pkt, out);
    }
    av_packet_unref(d.pkt);
    return QUORIX_OK;
}

void CDemuxer::VideoPacket(void* packet, std::vector<MediaFrame>* out) {
    Impl& d = *m_impl;
    const AVPacket* p = static_cast<const AVPacket*>(packet);
    const bool key = m_info.videoCodec == QUORIX_CODEC_MJPEG || (p->flags & AV_PKT_FLAG_KEY) != 0;
    if (d.videoFrames == 0 && !key)
        return;  // nothing decodes before the first key frame; the time line starts there
    // Decode order: the decoding stamp, which runs forward with the records.
    int64_t ts = p->dts;
    if (ts == AV_NOPTS_VALUE && m_info.reorderDelay == 0)
        ts = p->pts;
    int64_t ms = AV_NOPTS_VALUE;
    if (ts != AV_NOPTS_VALUE) {
        ms = av_rescale_q(ts, d.video->time_base, AVRational{1, 1000});
    } else if (p->pts != AV_NOPTS_VALUE &&
               d.videoFrames < static_cast<uint64_t>(m_info.reorderDelay)) {
        // A container that keeps presentation stamps only (Matroska) leaves FFmpeg without
        // decoding stamps for as many pictures as the decoder holds back; they come before the
        // first picture's presentation stamp, one picture interval apart, as the ones after them.
        if (d.videoFrames == 0)
            d.firstPtsMs = av_rescale_q(p->pts, d.video->time_base, AVRational{1, 1000});
        ms = d.firstPtsMs -
             (m_info.reorderDelay - static_cast<int64_t>(d.videoFrames)) * m_info.frameMs;
    }
    if (ms != AV_NOPTS_VALUE && d.firstMs == AV_NOPTS_VALUE)
        d.firstMs = ms;
    if (ms == AV_NOPTS_VALUE) {
        ms = d.lastVideoMs < 0 ? 0 : d.lastVideoMs + m_info.frameMs;
    } else {
        ms = ms - d.firstMs + d.offsetMs;
        if (d.lastVideoMs >= 0 && (ms < d.lastVideoMs - kBackJumpMs ||
                                   (m_network && ms > d.lastVideoMs + kForwardJumpMs))) {
            const int64_t wanted = d.lastVideoMs + m_info.frameMs;
            d.offsetMs += wanted - ms;
            ms = wanted;
        }
        if (ms <= d.lastVideoMs)
            ms = d.lastVideoMs + 1;  // records keep file order
    }
    d.lastVideoMs = ms;
    ++d.videoFrames;
    MediaFrame f;
    f.key = key;
    f.ms = ms;
    f.data.assign(p->data, p->data + p->size);
    out->push_back(std::move(f));
}

void CDemuxer::AudioPacket(void* packet, std::vector<MediaFrame>* out) {
    Impl& d = *m_impl;
    const AVPacket* p = static_cast<const AVPacket*>(packet);
    const int64_t base = (d.firstMs == AV_NOPTS_VALUE ? 0 : d.firstMs) - d.offsetMs;
    if (d.audioPass) {
        const int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
        int64_t ms = std::max<int64_t>(d.lastVideoMs, 0);
        if (ts != AV_NOPTS_VALUE)
            ms = std::max<int64_t>(av_rescale_q(ts, d.audio->time_base, AVRational{1, 1000}) - base,
                                   0);
        MediaFrame f;
        f.audio = true;
        f.ms = ms;
        f.data.assign(p->data, p->data + p->size);
        out->push_back(std::move(f));
        return;
    }
    if (!d.transcoder)
        return;
    // Blocks are stamped from the first decoded sample on the video's time line.
    auto sink = [&](const uint8_t* data, uint32_t size, int64_t ms) {
        const int64_t start = d.transcoder->FirstMs() - base;
        MediaFrame f;
        f.audio = true;
        f.ms = std::max<int64_t>(0, start) + ms;
        f.data.assign(data, data + size);
        out->push_back(std::move(f));
    };
    if (!d.transcoder->Feed(p, sink)) {
        m_error = "audio transcoding failed; the rest is left out";
        d.transcoder.reset();
    }
}

}  // namespace QPULL
