#pragma once
// The decoder layer: one object per elementary stream, made by the factory, fed through the
// guarded entry points and destroyed with DestroyDecoder. Results are the codes of
// quorixsdk_codes.h.

#include <cstdint>

#include "base/hobject.h"
#include "base/hpixel.h"

namespace HCC {

// Codec numbers carried in the frame records.
enum CCodecType : uint32_t {
    CODEC_NONE = 0,
    CODEC_H264 = 1,
    CODEC_MJPEG = 2,
    CODEC_G711A = 3,
    CODEC_G711U = 4,
    CODEC_PCM = 5,
    CODEC_H265 = 6,
    CODEC_AAC = 7,
};

// Decoder module numbers as configured per codec.
enum CDecodeModule : uint32_t {
    MODULE_AUTO = 0,
    MODULE_FFMPEG = 1,
    MODULE_HISI = 2,
    MODULE_INTER = 3,
    MODULE_NVIDIA = 4,
    MODULE_AMD = 5,
    MODULE_HOME = 6,
};

// Largest picture any decoder of this layer hands out or allocates for (each side). Beyond it a
// picture is refused, so a forged header cannot make us allocate gigabytes.
constexpr uint32_t kMaxPictureSide = 16384;

// Names used in log lines: "h264", "auto", ... and "unknow(%d)" for other numbers.
const char* CodecName(uint32_t codec, char (&scratch)[32]);
const char* ModuleName(uint32_t module, char (&scratch)[32]);

class CDecoder : public BRIXEL::CHObject {
    H_DECLARE_RUNTIME_CLASS(CDecoder)
public:
    CDecoder() = default;
    ~CDecoder() override = default;
    CDecoder(const CDecoder&) = delete;
    CDecoder& operator=(const CDecoder&) = delete;

    virtual uint32_t Open(uint32_t codec);
    virtual void Close();
    virtual bool IsSupport(uint32_t codec) const;
    // width/height hold the expected size on entry and the decoded size on success; format 0 is
    // planar 4:2:0. Planes belong to the decoder until its next call or Close.
    virtual uint32_t DecodeVideo(const uint8_t* data, uint32_t size, uint32_t& width,
                                 uint32_t& height, uint32_t& format, uint8_t* planes[3],
                                 uint32_t sizes[3], uint32_t strides[3]);
    // At the end of a stream: one of the pictures the decoder still holds back (a stream with
    // B-frames keeps the last few until more input comes), as DecodeVideo gives them;
    // QUORIX_E_END_OF_DATA once none is left, after which the decoder takes a new stream.
    virtual uint32_t DrainVideo(uint32_t& width, uint32_t& height, uint32_t& format,
                                uint8_t* planes[3], uint32_t sizes[3], uint32_t strides[3]);
    // 16-bit signed little-endian PCM owned by the decoder until its next call.
    virtual uint32_t DecodeAudio(const uint8_t* data, uint32_t size, uint8_t*& output,
                                 uint32_t& outputSize);

    // Matrix and range of the picture the last successful DecodeVideo gave: what the stream
    // signals, or the usual assumption for its size when it signals nothing.
    BRIXEL::CHYUVColour GetPictureColour() const { return m_colour; }
    uint32_t GetCodec() const { return m_codec; }
    bool IsOpened() const { return m_opened; }

    // Makes, checks and opens the decoder for (codec, module); module 0 chooses by codec.
    static uint32_t CreateDecoder(uint32_t codec, uint32_t module, CDecoder*& decoder);

protected:
    uint32_t m_codec = CODEC_NONE;  // set by Open; one thread at a time, no lock
    bool m_opened = false;
    BRIXEL::CHYUVColour m_colour = BRIXEL::HYUV_BT601_LIMITED;  // set with each picture
};

// Guarded entry points used by the player port. A handle is any object of the system; those that
// are not decoders are refused with QUORIX_E_PARAM and left untouched.
using HDECODER = BRIXEL::CHObject*;

uint32_t CreateDecoder(uint32_t codec, uint32_t module, HDECODER* decoder);
uint32_t DecodeVideo(HDECODER decoder, const uint8_t* data, uint32_t size, uint32_t* width,
                     uint32_t* height, uint32_t* format, uint8_t* planes[3], uint32_t sizes[3],
                     uint32_t strides[3]);
uint32_t DrainVideo(HDECODER decoder, uint32_t* width, uint32_t* height, uint32_t* format,
                    uint8_t* planes[3], uint32_t sizes[3], uint32_t strides[3]);
// The colour of the decoder's last picture (CDecoder::GetPictureColour).
uint32_t GetPictureColour(HDECODER decoder, BRIXEL::CHYUVColour* colour);
uint32_t DecodeAudio(HDECODER decoder, const uint8_t* data, uint32_t size, uint8_t** output,
                     uint32_t* outputSize);
uint32_t DestroyDecoder(HDECODER decoder);

}  // namespace HCC
