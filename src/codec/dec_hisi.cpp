#include "codec/dec_hisi.h"

#include <quorixsdk_codes.h>

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>

#include "base/hatomic.h"
#include "base/hclock.h"
#include "base/hlog.h"
#include "base/hthread.h"
#include "codec/native_dec.h"

namespace HCC {

H_IMPLEMENT_RUNTIME_CLASS(CDecHisi, CDecoder)

namespace {

BRIXEL::CHAtomic& H265ChannelCounter() {
    static BRIXEL::CHAtomic counter;
    return counter;
}

uint32_t RoundUp16(uint32_t value) {
    return (value + 15) / 16 * 16;
}

void* NativeMalloc(uint32_t, uint32_t size) {
    return std::malloc(size);
}
void NativeFree(uint32_t, void* memory) {
    std::free(memory);
}
void NativeLog(uint32_t, uint32_t, const char*) {}

}  // namespace

uint32_t CDecHisi::NextH265Channel() {
    return static_cast<uint32_t>(H265ChannelCounter().Get());
}

CDecHisi::~CDecHisi() {
    CDecHisi::Close();
}

bool CDecHisi::IsSupport(uint32_t codec) const {
    return codec == CODEC_H264 || codec == CODEC_MJPEG || codec == CODEC_H265;
}

uint32_t CDecHisi::Open(uint32_t codec) {
    if (m_opened)
        return QUORIX_OK;
    if (!IsSupport(codec))
        return QUORIX_E_NOT_IMPL;
    m_codec = codec;
    m_opened = true;
    return QUORIX_OK;
}

void CDecHisi::Close() {
    if (m_opened && m_handle != nullptr) {
        switch (m_codec) {
            case CODEC_H264:
                H264Dec_Delete(m_handle);
                break;
            case CODEC_H265:
                IHW265D_Delete(m_handle);
                break;
            case CODEC_MJPEG:
                MjpegDec_Delete(m_handle);
                break;
            default:
                break;
        }
    }
    m_handle = nullptr;
    m_opened = false;
}

uint32_t CDecHisi::CreateH264Decoder(uint32_t width, uint32_t height) {
    CH264CreateParam param{};
    param.widthMbs = (width + 15) / 16;
    param.heightMbs = (height + 15) / 16;
    param.maxRefFrames = 4;
    m_handle = H264Dec_Create(&param);
    return m_handle != nullptr ? QUORIX_OK : QUORIX_E_SYSTEM;
}

uint32_t CDecHisi::CreateH265Decoder(uint32_t width, uint32_t height) {
    IHW265D_INIT_PARAM param;
    std::memset(&param, 0, sizeof param);
    param.uiChannelID = NextH265Channel();
    param.iMaxWidth = RoundUp16(width);
    param.iMaxHeight = RoundUp16(height);
    param.iMaxRefNum = 4;
    param.iMaxVPSNum = 16;
    param.iMaxSPSNum = 16;
    param.iMaxPPSNum = 64;
    param.iBitDepth = 10;
    param.MallocFxn = NativeMalloc;
    param.FreeFxn = NativeFree;
    param.LogFxn = NativeLog;
    void* handle = nullptr;
    const int32_t error = IHW265D_Create(&handle, &param);
    if (error != 0 || handle == nullptr) {
        HLOG("dec_hisi", "hcodec", BRIXEL::HLOG_ERROR, "HCC::CDecHisi::CreateH265Decoder",
             "IHW265D_Create fail.errcode=%#x", static_cast<unsigned>(error));
        return QUORIX_E_SYSTEM;
    }
    H265ChannelCounter().Increment();
    m_handle = handle;
    return QUORIX_OK;
}

uint32_t CDecHisi::CreateMjpegDecoder(uint32_t width, uint32_t height) {
    CMjpegCreateParam param{};
    param.maxWidth = RoundUp16(width);
    param.maxHeight = RoundUp16(height);
    m_handle = MjpegDec_Create(&param);
    return m_handle != nullptr ? QUORIX_OK : QUORIX_E_SYSTEM;
}

H_PASSES_CANCEL
uint32_t CDecHisi::DecodeVideo(const uint8_t* data, uint32_t size, uint32_t& width,
                               uint32_t& height, uint32_t& format, uint8_t* planes[3],
                               uint32_t sizes[3], uint32_t strides[3]) {
    if (!m_opened)
        return QUORIX_E_NOT_INIT;
    // The entry size sizes the native instance, so a forged one is refused before any allocation.
    if (data == nullptr || size == 0 || width == 0 || height == 0 || width > kMaxPictureSide ||
        height > kMaxPictureSide)
        return QUORIX_E_PARAM;

    if (width != m_width || height != m_height) {
        const uint32_t codec = m_codec;
        Close();
        Open(codec);
    }
    if (m_handle == nullptr) {
        uint32_t created = QUORIX_E_SYSTEM;
        switch (m_codec) {
            case CODEC_H264:
                created = CreateH264Decoder(width, height);
                break;
            case CODEC_H265:
                created = CreateH265Decoder(width, height);
                break;
            case CODEC_MJPEG:
                created = CreateMjpegDecoder(width, height);
                break;
            default:
                break;
        }
        if (created != QUORIX_OK)
            return created;
    }
    m_width = width;
    m_height = height;
    return DecodeNative(data, size, width, height, format, planes, sizes, strides);
}

H_PASSES_CANCEL
uint32_t CDecHisi::DrainVideo(uint32_t& width, uint32_t& height, uint32_t& format,
                              uint8_t* planes[3], uint32_t sizes[3], uint32_t strides[3]) {
    if (!m_opened)
        return QUORIX_E_NOT_INIT;
    if (m_handle == nullptr)
        return QUORIX_E_END_OF_DATA;
    // The native decoders take a call without data as the end of the stream.
    const uint32_t drained =
        DecodeNative(nullptr, 0, width, height, format, planes, sizes, strides);
    return drained == QUORIX_OK ? QUORIX_OK : QUORIX_E_END_OF_DATA;
}

H_PASSES_CANCEL
uint32_t CDecHisi::DecodeNative(const uint8_t* data, uint32_t size, uint32_t& width,
                                uint32_t& height, uint32_t& format, uint8_t* planes[3],
                                uint32_t sizes[3], uint32_t strides[3]) {
    try {
        if (m_codec == CODEC_H265) {
            IHW265D_INARGS in;
            std::memset(&in, 0, sizeof in);
            in.pStream = data;
            in.uiStreamLen = size;
            in.uiTimeStamp = BRIXEL::HGetTickCount();
            IHW265D_OUTARGS out;
            std::memset(&out, 0, sizeof out);
            out.iDecodeStatus = -1;
            if (IHW265D_Decode(m_handle, &in, &out) != 0)
                return QUORIX_E_NOT_SUPPORTED;
            width = out.uiDecWidth;
            height = out.uiDecHeight;
            for (int i = 0; i < 3; ++i)
                planes[i] = out.pucOutYUV[i];
            strides[0] = out.uiYStride;
            strides[1] = strides[2] = out.uiUVStride;
            sizes[0] = out.uiYStride * height;
            sizes[1] = sizes[2] = out.uiUVStride * height / 2;
            format = 0;
            m_colour = BRIXEL::HYUVSanitize(out.uiColour);
            return QUORIX_OK;
        }

        CNativeVideoOutput out;
        std::memset(&out, 0, sizeof out);
        const int32_t result = m_codec == CODEC_H264
                                   ? H264Dec_Decode(m_handle, data, size, 0, &out)
                                   : MjpegDec_Decode(m_handle, data, size, 0, &out);
        if (result != 0)
            return QUORIX_E_NOT_SUPPORTED;
        uint32_t lumaRows = out.height;
        uint32_t chromaRows = out.height / 2;
        if (m_codec == CODEC_MJPEG) {
            switch (out.chromaLayout) {
                case 0:
                    lumaRows = RoundUp16(out.height);
                    chromaRows = lumaRows / 2;
                    break;
                case 1:
                case 2:
                    chromaRows = out.height;
                    break;
                case 3:
                    chromaRows = (out.height + 1) / 2;
                    break;
                case 4:
                    chromaRows = 0;
                    break;
                default:
                    return QUORIX_E_NOT_SUPPORTED;
            }
            format = out.chromaLayout;
        } else {
            format = 0;
        }
        width = out.width;
        height = out.height;
        planes[0] = out.y;
        planes[1] = out.u;
        planes[2] = out.v;
        strides[0] = out.strideY;
        strides[1] = strides[2] = out.strideUV;
        sizes[0] = out.strideY * lumaRows;
        sizes[1] = sizes[2] = out.strideUV * chromaRows;
        m_colour = BRIXEL::HYUVSanitize(out.colour);
        return QUORIX_OK;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return QUORIX_E_EXCEPTION;
    }
}

}  // namespace HCC
