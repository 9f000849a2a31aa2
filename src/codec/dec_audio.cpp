#include "codec/dec_audio.h"

#include <quorixsdk_codes.h>

#include <cstring>

namespace HCC {

H_IMPLEMENT_RUNTIME_CLASS(CDecG711, CDecoder)
H_IMPLEMENT_RUNTIME_CLASS(CDecAAC, CDecoder)

int16_t ExpandALaw(uint8_t code) {
    const uint8_t inverted = code ^ 0x55;  // A-law transmits the even bits inverted
    const int segment = (inverted >> 4) & 0x07;
    const int mantissa = inverted & 0x0F;
    const int value = segment == 0 ? mantissa * 16 + 8 : (mantissa * 16 + 0x108) << (segment - 1);
    return static_cast<int16_t>((inverted & 0x80) ? value : -value);
}

int16_t ExpandMuLaw(uint8_t code) {
    const uint8_t inverted = static_cast<uint8_t>(~code);
    const int segment = (inverted >> 4) & 0x07;
    const int mantissa = inverted & 0x0F;
    const int value = ((mantissa * 8) + 0x84) << segment;
    return static_cast<int16_t>((inverted & 0x80) ? 0x84 - value : value - 0x84);
}

bool CDecG711::IsSupport(uint32_t codec) const {
    return codec == CODEC_G711A || codec == CODEC_G711U;
}

uint32_t CDecG711::DecodeAudio(const uint8_t* data, uint32_t size, uint8_t*& output,
                               uint32_t& outputSize) {
    if (!m_opened)
        return QUORIX_E_NOT_INIT;
    if (data == nullptr || size == 0)
        return QUORIX_E_PARAM;
    const uint64_t bytes = uint64_t{size} * 2;
    if (bytes > UINT32_MAX)
        return QUORIX_E_PARAM;  // the output size would not fit its 32 bits
    m_samples.Reserve(bytes);   // a kept larger block answers non-zero, which is not a failure
    uint8_t* memory = m_samples.GetData();
    if (memory == nullptr || m_samples.GetCapacity() < bytes) {
        outputSize = 0;
        return QUORIX_E_NOT_SUPPORTED;
    }
    const bool aLaw = m_codec == CODEC_G711A;
    for (uint32_t i = 0; i < size; ++i) {
        const int16_t sample = aLaw ? ExpandALaw(data[i]) : ExpandMuLaw(data[i]);
        const uint16_t bits = static_cast<uint16_t>(sample);
        memory[2 * i] = static_cast<uint8_t>(bits);  // little-endian whatever the host order
        memory[2 * i + 1] = static_cast<uint8_t>(bits >> 8);
    }
    m_samples.SetLength(bytes);
    output = memory;
    outputSize = static_cast<uint32_t>(bytes);
    return QUORIX_OK;
}

uint32_t CDecAAC::Open(uint32_t) {
    return QUORIX_E_NOT_IMPL;
}

void CDecAAC::Close() {}

bool CDecAAC::IsSupport(uint32_t) const {
    return false;
}

uint32_t CDecAAC::DecodeAudio(const uint8_t* data, uint32_t size, uint8_t*&, uint32_t&) {
    if (!m_opened)
        return QUORIX_E_NOT_INIT;
    if (data == nullptr || size == 0)
        return QUORIX_E_PARAM;
    return QUORIX_E_NOT_IMPL;
}

}  // namespace HCC
