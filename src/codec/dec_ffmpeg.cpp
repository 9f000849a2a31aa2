#include "codec/dec_ffmpeg.h"

#include <quorixsdk_codes.h>

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <new>
#include <thread>

#include "base/hthread.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace HCC {

H_IMPLEMENT_RUNTIME_CLASS(CDecFFmpeg, CDecoder)

BRIXEL::CHLock& FFmpegOpenLock() {
    // Never destroyed: decoder threads of ports still playing at process exit open and free
    // contexts while the exit handlers run, possibly after this lock's destructor would have run.
    alignas(BRIXEL::CHLock) static unsigned char storage[sizeof(BRIXEL::CHLock)];
    static BRIXEL::CHLock* lock = new (storage) BRIXEL::CHLock(true, false);
    return *lock;
}

namespace {

std::atomic<uint32_t> g_openLiveDecoders{0};

uint32_t Cores() {
    static const uint32_t cores = std::max(1u, std::thread::hardware_concurrency());
    return cores;
}

}  // namespace

uint32_t OpenLiveDecoders() {
    return g_openLiveDecoders.load(std::memory_order_relaxed);
}

bool CFFmpegSteps::Decode(AVCodecContext* context, AVPacket* packet, AVFrame* frame,
                          const uint8_t* data, uint32_t size, int* sent) {
    if (m_draining) {
        // A stream after a drain: the context takes packets again once flushed.
        avcodec_flush_buffers(context);
        m_draining = false;
    }
    // The packet does not own the caller's bytes: sending copies them into padded memory, so
    // the parser never reads past the caller's block.
    packet->data = const_cast<uint8_t*>(data);
    packet->size = static_cast<int>(size);
    bool got = false;
    *sent = avcodec_send_packet(context, packet);
    if (*sent == AVERROR(EAGAIN)) {
        // A picture is still waiting from the previous packet: take it, then the packet fits.
        got = avcodec_receive_frame(context, frame) == 0;
        *sent = avcodec_send_packet(context, packet);
    }
    packet->data = nullptr;
    packet->size = 0;
    return got || avcodec_receive_frame(context, frame) == 0;
}

bool CFFmpegSteps::Drain(AVCodecContext* context, AVFrame* frame) {
    if (!m_draining) {
        // An empty packet tells the context that nothing more comes: it gives out what it holds
        // back, one picture per receive, then reports the end.
        if (avcodec_send_packet(context, nullptr) < 0)
            return false;
        m_draining = true;
    }
    return avcodec_receive_frame(context, frame) == 0;
}

void ConfigureLiveThreading(AVCodecContext* context, bool sharedCores) {
    context->thread_type = FF_THREAD_SLICE;
    context->thread_count = sharedCores ? 1 : 0;  // 0: one slice thread per core
    // Refuse to allocate for pictures beyond the layer's bound, whatever a header claims.
    context->max_pixels = static_cast<int64_t>(kMaxPictureSide) * kMaxPictureSide;
}

CDecFFmpeg::~CDecFFmpeg() {
    CDecFFmpeg::Close();
}

bool CDecFFmpeg::IsSupport(uint32_t codec) const {
    return codec == CODEC_H264 || codec == CODEC_H265;
}

uint32_t CDecFFmpeg::Open(uint32_t codec) {
    if (m_opened)
        return QUORIX_OK;
    if (!IsSupport(codec))
        return QUORIX_E_NOT_IMPL;
    m_decoder = avcodec_find_decoder(codec == CODEC_H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
    if (m_decoder == nullptr)
        return QUORIX_E_NOT_IMPL;

    // FFmpeg's slice threads wait on its own locks: a cancellation taking effect inside a call
    // would leave them held, and the next open or free of a context would wait for ever. The
    // calls are bounded (the engine caps a record's size), so cancellation waits until they
    // return.
    BRIXEL::CHCancelGuard noCancel;
    InstallFFmpegLog();
    m_context = avcodec_alloc_context3(m_decoder);
    m_frame = av_frame_alloc();
    m_packet = av_packet_alloc();
    int opened = -1;
    if (m_context != nullptr && m_frame != nullptr && m_packet != nullptr) {
        // Counted before the open, so that decoders opening at the same moment see each other.
        const uint32_t others = g_openLiveDecoders.fetch_add(1, std::memory_order_relaxed);
        m_counted = true;
        ConfigureLiveThreading(m_context, others >= Cores());
        BRIXEL::CHAutoLock guard(&FFmpegOpenLock());
        opened = avcodec_open2(m_context, m_decoder, nullptr);
    }
    if (opened < 0) {
        FreeContext();
        return QUORIX_E_SYSTEM;
    }
    m_codec = codec;
    m_silentCalls = 0;
    m_opened = true;
    return QUORIX_OK;
}

void CDecFFmpeg::FreeContext() {
    BRIXEL::CHCancelGuard noCancel;  // joins FFmpeg's threads; see Open
    if (m_context != nullptr) {
        BRIXEL::CHAutoLock guard(&FFmpegOpenLock());
        avcodec_free_context(&m_context);
    }
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
    m_decoder = nullptr;
    if (m_counted)
        g_openLiveDecoders.fetch_sub(1, std::memory_order_relaxed);
    m_counted = false;
}

void CDecFFmpeg::Close() {
    FreeContext();
    m_picture.Reset();
    m_silentCalls = 0;
    m_steps.Reset();
    m_opened = false;
}

H_PASSES_CANCEL
uint32_t CDecFFmpeg::DecodeVideo(const uint8_t* data, uint32_t size, uint32_t& width,
                                 uint32_t& height, uint32_t& format, uint8_t* planes[3],
                                 uint32_t sizes[3], uint32_t strides[3]) {
    if (!m_opened)
        return QUORIX_E_NOT_INIT;
    if (data == nullptr || size == 0 || size > INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)
        return QUORIX_E_PARAM;
    try {
        BRIXEL::CHCancelGuard noCancel;  // see Open
        int sent = 0;
        if (!m_steps.Decode(m_context, m_packet, m_frame, data, size, &sent)) {
            if (++m_silentCalls < kSilentCallLimit)
                return QUORIX_E_NOT_OPEN;
            m_silentCalls = 0;
            return QUORIX_E_NOT_SUPPORTED;
        }
        m_silentCalls = 0;
        return TakePicture(width, height, format, planes, sizes, strides);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return QUORIX_E_EXCEPTION;
    }
}

H_PASSES_CANCEL
uint32_t CDecFFmpeg::DrainVideo(uint32_t& width, uint32_t& height, uint32_t& format,
                                uint8_t* planes[3], uint32_t sizes[3], uint32_t strides[3]) {
    if (!m_opened)
        return QUORIX_E_NOT_INIT;
    try {
        BRIXEL::CHCancelGuard noCancel;  // see Open
        if (!m_steps.Drain(m_context, m_frame))
            return QUORIX_E_END_OF_DATA;
        return TakePicture(width, height, format, planes, sizes, strides);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return QUORIX_E_EXCEPTION;
    }
}

uint32_t CDecFFmpeg::TakePicture(uint32_t& width, uint32_t& height, uint32_t& format,
                                 uint8_t* planes[3], uint32_t sizes[3], uint32_t strides[3]) {
    CPlanes420 picture;
    if (!m_picture.From(m_frame, 1, picture))
        return QUORIX_E_NOT_SUPPORTED;
    width = picture.width;
    height = picture.height;
    for (int i = 0; i < 3; ++i) {
        planes[i] = picture.data[i];
        strides[i] = picture.stride[i];
    }
    sizes[0] = picture.stride[0] * picture.height;
    sizes[1] = picture.stride[1] * picture.chromaRows;
    sizes[2] = picture.stride[2] * picture.chromaRows;
    format = 0;
    m_colour = picture.colour;
    return QUORIX_OK;
}

}  // namespace HCC
