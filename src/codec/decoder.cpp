#include "codec/decoder.h"

#include <quorixsdk_codes.h>
#include <quorixsdk_container.h>

#include <cxxabi.h>

#include <cstdio>
#include <memory>

#include "base/hlog.h"
#include "base/hthread.h"
#include "codec/dec_audio.h"
#include "codec/dec_ffmpeg.h"
#include "codec/dec_hisi.h"
#include "codec/dec_ximage.h"

// The codec byte of a frame record is the factory's codec number.
static_assert(HCC::CODEC_NONE == QUORIX_CODEC_NONE && HCC::CODEC_H264 == QUORIX_CODEC_H264 &&
                  HCC::CODEC_MJPEG == QUORIX_CODEC_MJPEG &&
                  HCC::CODEC_G711A == QUORIX_CODEC_G711A &&
                  HCC::CODEC_G711U == QUORIX_CODEC_G711U && HCC::CODEC_PCM == QUORIX_CODEC_PCM &&
                  HCC::CODEC_H265 == QUORIX_CODEC_H265 && HCC::CODEC_AAC == QUORIX_CODEC_AAC,
              "codec numbers of the container layout");

namespace HCC {

using BRIXEL::CHObject;
H_IMPLEMENT_RUNTIME_CLASS(CDecoder, CHObject)

namespace {

const char* const kCodecNames[] = {"none", "h264", "mjpeg", "g711a", "g711u", "pcm", "h265", "aac"};
const char* const kModuleNames[] = {"auto", "ffmpeg", "hisi", "inter", "nvidia", "amd", "home"};

template <size_t N>
const char* NameOf(const char* const (&names)[N], uint32_t number, char (&scratch)[32]) {
    if (number < N)
        return names[number];
    std::snprintf(scratch, sizeof scratch, "unknow(%d)", static_cast<int>(number));
    return scratch;
}

uint32_t DefaultModule(uint32_t codec) {
    switch (codec) {
        case CODEC_H264:
            return MODULE_FFMPEG;
        case CODEC_MJPEG:
        case CODEC_H265:
            return MODULE_HISI;
        default:
            return MODULE_HOME;
    }
}

std::unique_ptr<CDecoder> MakeDecoder(uint32_t codec, uint32_t module) {
    switch (module) {
        case MODULE_FFMPEG:
            return std::make_unique<CDecFFmpeg>();
        case MODULE_HISI:
            return std::make_unique<CDecHisi>();
        case MODULE_HOME:
            switch (codec) {
                case CODEC_MJPEG:
                    return std::make_unique<CDecXImage>();
                case CODEC_G711A:
                case CODEC_G711U:
                    return std::make_unique<CDecG711>();
                case CODEC_AAC:
                    return std::make_unique<CDecAAC>();
                default:
                    return nullptr;
            }
        default:
            return nullptr;  // inter, nvidia, amd have no implementation on this platform
    }
}

CDecoder* AsDecoder(HDECODER handle) {
    if (handle == nullptr || !handle->IsKindOf(H_RUNTIME_CLASS(CDecoder)))
        return nullptr;
    return static_cast<CDecoder*>(handle);
}

}  // namespace

const char* CodecName(uint32_t codec, char (&scratch)[32]) {
    return NameOf(kCodecNames, codec, scratch);
}
const char* ModuleName(uint32_t module, char (&scratch)[32]) {
    return NameOf(kModuleNames, module, scratch);
}

uint32_t CDecoder::Open(uint32_t codec) {
    if (m_opened)
        return QUORIX_OK;
    if (!IsSupport(codec))
        return QUORIX_E_NOT_IMPL;
    m_codec = codec;
    m_opened = true;
    return QUORIX_OK;
}

void CDecoder::Close() {
    m_opened = false;
}

bool CDecoder::IsSupport(uint32_t) const {
    return false;
}

uint32_t CDecoder::DecodeVideo(const uint8_t*, uint32_t, uint32_t&, uint32_t&, uint32_t&,
                               uint8_t* [3], uint32_t[3], uint32_t[3]) {
    return QUORIX_E_NOT_IMPL;
}

uint32_t CDecoder::DrainVideo(uint32_t&, uint32_t&, uint32_t&, uint8_t* [3], uint32_t[3],
                              uint32_t[3]) {
    return QUORIX_E_END_OF_DATA;
}

uint32_t CDecoder::DecodeAudio(const uint8_t*, uint32_t, uint8_t*&, uint32_t&) {
    return QUORIX_E_NOT_IMPL;
}

uint32_t CDecoder::CreateDecoder(uint32_t codec, uint32_t module, CDecoder*& decoder) {
    decoder = nullptr;
    if (module == MODULE_AUTO) {
        module = DefaultModule(codec);
        char moduleScratch[32];
        char codecScratch[32];
        HLOG("decoder", "hcodec", BRIXEL::HLOG_DEBUG, "HCC::CDecoder::CreateDecoder",
             "Find default module '%s' for decode '%s'.", ModuleName(module, moduleScratch),
             CodecName(codec, codecScratch));
    }
    std::unique_ptr<CDecoder> made = MakeDecoder(codec, module);
    if (!made || !made->IsSupport(codec))
        return QUORIX_E_PARAM;
    const uint32_t result = made->Open(codec);
    if (result != QUORIX_OK)
        return result;
    decoder = made.release();
    return QUORIX_OK;
}

H_PASSES_CANCEL
uint32_t CreateDecoder(uint32_t codec, uint32_t module, HDECODER* decoder) {
    if (decoder == nullptr)
        return QUORIX_E_PARAM;
    *decoder = nullptr;
    try {
        CDecoder* made = nullptr;
        const uint32_t result = CDecoder::CreateDecoder(codec, module, made);
        *decoder = made;
        return result;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return QUORIX_E_EXCEPTION;
    }
}

namespace {

// What the picture calls share: their output pointers, the handle and the guard.
template <typename Call>
uint32_t OnPictureCall(HDECODER handle, bool outputsGiven, Call&& call) {
    if (!outputsGiven)
        return QUORIX_E_PARAM;
    try {
        CDecoder* decoder = AsDecoder(handle);
        if (decoder == nullptr)
            return QUORIX_E_PARAM;
        return call(*decoder);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return QUORIX_E_EXCEPTION;
    }
}

}  // namespace

H_PASSES_CANCEL
uint32_t DecodeVideo(HDECODER handle, const uint8_t* data, uint32_t size, uint32_t* width,
                     uint32_t* height, uint32_t* format, uint8_t* planes[3], uint32_t sizes[3],
                     uint32_t strides[3]) {
    const bool given = width != nullptr && height != nullptr && format != nullptr &&
                       planes != nullptr && sizes != nullptr && strides != nullptr;
    return OnPictureCall(handle, given, [&](CDecoder& decoder) {
        return decoder.DecodeVideo(data, size, *width, *height, *format, planes, sizes, strides);
    });
}

H_PASSES_CANCEL
uint32_t DrainVideo(HDECODER handle, uint32_t* width, uint32_t* height, uint32_t* format,
                    uint8_t* planes[3], uint32_t sizes[3], uint32_t strides[3]) {
    const bool given = width != nullptr && height != nullptr && format != nullptr &&
                       planes != nullptr && sizes != nullptr && strides != nullptr;
    return OnPictureCall(handle, given, [&](CDecoder& decoder) {
        return decoder.DrainVideo(*width, *height, *format, planes, sizes, strides);
    });
}

uint32_t GetPictureColour(HDECODER handle, BRIXEL::CHYUVColour* colour) {
    if (colour == nullptr)
        return QUORIX_E_PARAM;
    const CDecoder* decoder = AsDecoder(handle);
    if (decoder == nullptr)
        return QUORIX_E_PARAM;
    *colour = decoder->GetPictureColour();
    return QUORIX_OK;
}

H_PASSES_CANCEL
uint32_t DecodeAudio(HDECODER handle, const uint8_t* data, uint32_t size, uint8_t** output,
                     uint32_t* outputSize) {
    if (data == nullptr || output == nullptr || outputSize == nullptr)
        return QUORIX_E_PARAM;
    try {
        CDecoder* decoder = AsDecoder(handle);
        if (decoder == nullptr)
            return QUORIX_E_PARAM;
        return decoder->DecodeAudio(data, size, *output, *outputSize);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return QUORIX_E_EXCEPTION;
    }
}

H_PASSES_CANCEL
uint32_t DestroyDecoder(HDECODER handle) {
    CDecoder* decoder = AsDecoder(handle);
    if (decoder == nullptr)
        return QUORIX_E_PARAM;
    try {
        decoder->Close();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return QUORIX_E_EXCEPTION;  // a decoder that cannot close is left alive rather than torn
                                    // down half-way
    }
    delete decoder;  // destructors do not throw; ownership came from CreateDecoder's release()
    return QUORIX_OK;
}

}  // namespace HCC
