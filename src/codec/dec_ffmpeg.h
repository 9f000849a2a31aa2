#pragma once
// H.264 and H.265 through libavcodec.

#include <cstdint>

#include "base/hlock.h"
#include "codec/decoder.h"
#include "codec/picture420.h"

extern "C" {
struct AVCodec;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
}

namespace HCC {

// Serialises every open and close of a libavcodec context in the process (mutex kind).
BRIXEL::CHLock& FFmpegOpenLock();

// Threading for live pictures: slice threads only. Frame threading would hold back one picture
// per extra thread before the first comes out, which a live view pays as latency, and it would
// turn the first calls of a stream into "no picture yet" answers that never catch up. Slice
// threads add no delay; they help streams coded with several slices (or wavefronts) and cost
// nothing on the others.
// sharedCores: as many live decoders are open in the process as there are cores, so every core
// already has a decoder to run and extra slice threads would only add wake-ups and memory; the
// context then decodes on the calling thread alone (the pictures are the same either way).
void ConfigureLiveThreading(AVCodecContext* context, bool sharedCores = false);

// The packet-to-picture steps of a libavcodec context, shared by the decoders built on one.
// Callers hold off thread cancellation around them (FFmpeg's threads wait on its own locks).
class CFFmpegSteps {
public:
    // One packet in (copied into padded memory), at most one picture out into frame; *sent is
    // the send's answer. A packet after a drain starts the stream again.
    bool Decode(AVCodecContext* context, AVPacket* packet, AVFrame* frame, const uint8_t* data,
                uint32_t size, int* sent);
    // The end of the stream: each call takes one picture the context still holds back into
    // frame; false once none is left.
    bool Drain(AVCodecContext* context, AVFrame* frame);
    void Reset() { m_draining = false; }

private:
    bool m_draining = false;  // the end of the stream was sent
};

// Live decoding contexts open in the process right now (CDecFFmpeg instances between a
// successful Open and Close).
uint32_t OpenLiveDecoders();

// Sends FFmpeg's log to the library's logger, its levels mapped, so that the host's logging
// settings govern it (nothing reaches standard error with logging off). Installed once, before
// the first codec context is made.
void InstallFFmpegLog();

class CDecFFmpeg : public CDecoder {
    H_DECLARE_RUNTIME_CLASS(CDecFFmpeg)
public:
    CDecFFmpeg() = default;
    ~CDecFFmpeg() override;

    uint32_t Open(uint32_t codec) override;
    void Close() override;
    bool IsSupport(uint32_t codec) const override;
    uint32_t DecodeVideo(const uint8_t* data, uint32_t size, uint32_t& width, uint32_t& height,
                         uint32_t& format, uint8_t* planes[3], uint32_t sizes[3],
                         uint32_t strides[3]) override;
    uint32_t DrainVideo(uint32_t& width, uint32_t& height, uint32_t& format, uint8_t* planes[3],
                        uint32_t sizes[3], uint32_t strides[3]) override;

    // Consecutive calls without a picture before the stream counts as failing.
    static constexpr uint32_t kSilentCallLimit = 6;

private:
    void FreeContext();
    // The decoded frame as this decoder's picture (planar 4:2:0), its planes, sizes and strides.
    uint32_t TakePicture(uint32_t& width, uint32_t& height, uint32_t& format, uint8_t* planes[3],
                         uint32_t sizes[3], uint32_t strides[3]);

    // All fields: the decoding thread only (one thread at a time per decoder).
    const AVCodec* m_decoder = nullptr;
    AVCodecContext* m_context = nullptr;
    AVFrame* m_frame = nullptr;
    AVPacket* m_packet = nullptr;
    uint32_t m_silentCalls = 0;
    CFFmpegSteps m_steps;
    bool m_counted = false;  // this decoder is one of OpenLiveDecoders()
    CPicture420 m_picture;   // holds converted pictures when the decoder's layout is not 4:2:0
};

}  // namespace HCC
