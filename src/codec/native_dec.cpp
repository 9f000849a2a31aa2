#include "codec/native_dec.h"

#include <cxxabi.h>

#include <atomic>
#include <climits>
#include <memory>
#include <new>

#include "base/hthread.h"
#include "codec/dec_ffmpeg.h"
#include "codec/decoder.h"
#include "codec/picture420.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace HCC {

namespace {

enum Kind { KIND_H264 = 0, KIND_H265 = 1, KIND_MJPEG = 2 };

std::atomic<uint32_t> g_created[3];
std::atomic<uint32_t> g_live[3];

// One decoder instance of any of the three kinds.
class CNativeVideo {
public:
    CNativeVideo(Kind kind, uint32_t maxWidth, uint32_t maxHeight)
        : m_kind(kind), m_maxWidth(maxWidth), m_maxHeight(maxHeight) {}
    ~CNativeVideo() {
        BRIXEL::CHCancelGuard noCancel;  // FFmpeg joins its threads; see Start
        if (m_context != nullptr) {
            BRIXEL::CHAutoLock guard(&FFmpegOpenLock());
            avcodec_free_context(&m_context);
        }
        av_frame_free(&m_frame);
        av_packet_free(&m_packet);
        if (m_counted)
            g_live[m_kind].fetch_sub(1);
    }
    CNativeVideo(const CNativeVideo&) = delete;
    CNativeVideo& operator=(const CNativeVideo&) = delete;

    bool Start() {
        // FFmpeg's threads wait on its own locks: a cancellation taking effect inside a call would
        // leave them held for good. The calls are bounded, so cancellation waits until they return.
        BRIXEL::CHCancelGuard noCancel;
        InstallFFmpegLog();
        static const AVCodecID ids[] = {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC, AV_CODEC_ID_MJPEG};
        const AVCodec* codec = avcodec_find_decoder(ids[m_kind]);
        if (codec == nullptr)
            return false;
        m_context = avcodec_alloc_context3(codec);
        m_frame = av_frame_alloc();
        m_packet = av_packet_alloc();
        if (m_context == nullptr || m_frame == nullptr || m_packet == nullptr)
            return false;
        if (m_kind == KIND_MJPEG)
            m_context->thread_count = 1;
        else
            ConfigureLiveThreading(m_context);
        // The instance was made for a picture size: nothing larger is ever allocated for.
        // Decoders check the size with their row alignment added, hence the margin.
        m_context->max_pixels = (static_cast<int64_t>(m_maxWidth) + 128) * (m_maxHeight + 128);
        BRIXEL::CHAutoLock guard(&FFmpegOpenLock());
        if (avcodec_open2(m_context, codec, nullptr) < 0)
            return false;
        g_created[m_kind].fetch_add(1);
        g_live[m_kind].fetch_add(1);
        m_counted = true;
        return true;
    }

    // No data (null, 0): the end of the stream; each such call gives out one of the pictures
    // the decoder still holds back, NATIVE_NEED_MORE once none is left. Data after that starts
    // a new stream.
    int32_t Decode(const uint8_t* data, uint32_t size, CPlanes420& out) {
        const bool end = data == nullptr && size == 0;
        if (!end && (data == nullptr || size == 0 || size > INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE))
            return NATIVE_E_PARAM;
        BRIXEL::CHCancelGuard noCancel;  // see Start
        if (end) {
            if (!m_steps.Drain(m_context, m_frame))
                return NATIVE_NEED_MORE;
        } else {
            int sent = 0;
            if (!m_steps.Decode(m_context, m_packet, m_frame, data, size, &sent))
                return sent < 0 && sent != AVERROR(EAGAIN) ? NATIVE_E_STREAM : NATIVE_NEED_MORE;
        }
        if (static_cast<uint32_t>(m_frame->width) > m_maxWidth ||
            static_cast<uint32_t>(m_frame->height) > m_maxHeight)
            return NATIVE_E_TOO_LARGE;
        try {
            if (!m_picture.From(m_frame, m_kind == KIND_MJPEG ? 16 : 1, out))
                return NATIVE_E_STREAM;
            // JPEG samples are full-range BT.601 whatever the picture's size.
            if (m_kind == KIND_MJPEG)
                out.colour = BRIXEL::HYUV_BT601_FULL;
        } catch (const std::bad_alloc&) {
            return NATIVE_E_MEMORY;
        }
        return NATIVE_OK;
    }

private:
    CFFmpegSteps m_steps;
    Kind m_kind;
    uint32_t m_maxWidth;
    uint32_t m_maxHeight;
    bool m_counted = false;
    AVCodecContext* m_context = nullptr;
    AVFrame* m_frame = nullptr;
    AVPacket* m_packet = nullptr;
    CPicture420 m_picture;
};

bool SizeAllowed(uint64_t width, uint64_t height) {
    return width > 0 && height > 0 && width <= kMaxPictureSide + 15 &&
           height <= kMaxPictureSide + 15;
}

void* CreatePlain(Kind kind, uint64_t maxWidth, uint64_t maxHeight) {
    if (!SizeAllowed(maxWidth, maxHeight))
        return nullptr;
    auto instance = std::make_unique<CNativeVideo>(kind, static_cast<uint32_t>(maxWidth),
                                                   static_cast<uint32_t>(maxHeight));
    if (!instance->Start())
        return nullptr;
    return instance.release();
}

void FillOutput(const CPlanes420& picture, CNativeVideoOutput* output) {
    output->y = picture.data[0];
    output->u = picture.data[1];
    output->v = picture.data[2];
    output->width = picture.width;
    output->height = picture.height;
    output->strideY = picture.stride[0];
    output->strideUV = picture.stride[1];
    output->chromaLayout = 0;
    output->colour = picture.colour;
}

int32_t DecodePlain(void* handle, const uint8_t* data, uint32_t size, CNativeVideoOutput* output) {
    if (handle == nullptr || output == nullptr)
        return NATIVE_E_PARAM;
    CPlanes420 picture;
    const int32_t result = static_cast<CNativeVideo*>(handle)->Decode(data, size, picture);
    if (result == NATIVE_OK)
        FillOutput(picture, output);
    return result;
}

// The H.265 instance lives in memory from the owner's allocator, as its create record asks.
struct CH265Instance {
    CNativeVideo decoder;
    uint32_t channel;
    IHW265D_FreeFxn freeFxn;
};

}  // namespace

void* H264Dec_Create(const CH264CreateParam* param) {
    if (param == nullptr)
        return nullptr;
    try {
        return CreatePlain(KIND_H264, uint64_t{param->widthMbs} * 16,
                           uint64_t{param->heightMbs} * 16);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int32_t H264Dec_Decode(void* handle, const uint8_t* data, uint32_t size, uint32_t,
                       CNativeVideoOutput* output) {
    return DecodePlain(handle, data, size, output);
}

void H264Dec_Delete(void* handle) {
    std::unique_ptr<CNativeVideo>(static_cast<CNativeVideo*>(handle));
}

void* MjpegDec_Create(const CMjpegCreateParam* param) {
    if (param == nullptr)
        return nullptr;
    try {
        return CreatePlain(KIND_MJPEG, param->maxWidth, param->maxHeight);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int32_t MjpegDec_Decode(void* handle, const uint8_t* data, uint32_t size, uint32_t,
                        CNativeVideoOutput* output) {
    return DecodePlain(handle, data, size, output);
}

void MjpegDec_Delete(void* handle) {
    std::unique_ptr<CNativeVideo>(static_cast<CNativeVideo*>(handle));
}

H_PASSES_CANCEL
int32_t IHW265D_Create(void** handle, const IHW265D_INIT_PARAM* param) {
    if (handle == nullptr || param == nullptr)
        return IHW265D_E_PARAM;
    *handle = nullptr;
    if (param->MallocFxn == nullptr || param->FreeFxn == nullptr || param->LogFxn == nullptr ||
        !SizeAllowed(param->iMaxWidth, param->iMaxHeight) ||
        (param->iBitDepth != 8 && param->iBitDepth != 10))
        return IHW265D_E_PARAM;
    void* memory = param->MallocFxn(param->uiChannelID, sizeof(CH265Instance));
    if (memory == nullptr)
        return IHW265D_E_MEMORY;
    CH265Instance* instance = nullptr;
    try {
        instance =
            new (memory) CH265Instance{CNativeVideo(KIND_H265, param->iMaxWidth, param->iMaxHeight),
                                       param->uiChannelID, param->FreeFxn};
    } catch (abi::__forced_unwind&) {
        param->FreeFxn(param->uiChannelID, memory);
        throw;
    } catch (...) {
        param->FreeFxn(param->uiChannelID, memory);
        return IHW265D_E_MEMORY;
    }
    if (!instance->decoder.Start()) {
        param->LogFxn(param->uiChannelID, 0, "decoder start failed");
        IHW265D_Delete(instance);
        return IHW265D_E_CODEC;
    }
    *handle = instance;
    return 0;
}

int32_t IHW265D_Decode(void* handle, const IHW265D_INARGS* in, IHW265D_OUTARGS* out) {
    if (handle == nullptr || in == nullptr || out == nullptr)
        return IHW265D_E_PARAM;
    CH265Instance* instance = static_cast<CH265Instance*>(handle);
    CPlanes420 picture;
    const int32_t result = instance->decoder.Decode(in->pStream, in->uiStreamLen, picture);
    out->uiChannelID = instance->channel;
    out->uiTimeStamp = in->uiTimeStamp;
    out->iDecodeStatus = result;
    if (result == NATIVE_NEED_MORE)
        return NATIVE_NEED_MORE;
    if (result != NATIVE_OK)
        return IHW265D_E_CODEC;
    out->uiBytesConsumed = in->uiStreamLen;
    out->uiDecWidth = picture.width;
    out->uiDecHeight = picture.height;
    out->uiYStride = picture.stride[0];
    out->uiUVStride = picture.stride[1];
    out->uiColour = picture.colour;
    for (int i = 0; i < 3; ++i)
        out->pucOutYUV[i] = picture.data[i];
    return 0;
}

int32_t IHW265D_Delete(void* handle) {
    if (handle == nullptr)
        return IHW265D_E_PARAM;
    CH265Instance* instance = static_cast<CH265Instance*>(handle);
    const IHW265D_FreeFxn freeFxn = instance->freeFxn;
    const uint32_t channel = instance->channel;
    instance->~CH265Instance();
    freeFxn(channel, instance);
    return 0;
}

CNativeDecoderCounts NativeDecoderCounts() {
    CNativeDecoderCounts counts{};
    for (int i = 0; i < 3; ++i) {
        counts.created[i] = g_created[i].load();
        counts.live[i] = g_live[i].load();
    }
    return counts;
}

}  // namespace HCC
