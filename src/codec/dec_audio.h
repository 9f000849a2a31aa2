#pragma once
// Audio decoders: G.711 A-law and µ-law expansion to 16-bit PCM, and the AAC place-holder.

#include <cstdint>

#include "base/hbuffer.h"
#include "codec/decoder.h"

namespace HCC {

// ITU-T G.711 expansion of one byte.
int16_t ExpandALaw(uint8_t code);
int16_t ExpandMuLaw(uint8_t code);

class CDecG711 : public CDecoder {
    H_DECLARE_RUNTIME_CLASS(CDecG711)
public:
    CDecG711() = default;
    ~CDecG711() override = default;

    bool IsSupport(uint32_t codec) const override;
    uint32_t DecodeAudio(const uint8_t* data, uint32_t size, uint8_t*& output,
                         uint32_t& outputSize) override;

private:
    BRIXEL::CHBuffer m_samples;  // samples of the last call; decoding thread only
};

// Holds the place of an AAC decoder: it never opens, so the factory never hands one out.
class CDecAAC : public CDecoder {
    H_DECLARE_RUNTIME_CLASS(CDecAAC)
public:
    CDecAAC() = default;
    ~CDecAAC() override = default;

    uint32_t Open(uint32_t codec) override;
    void Close() override;
    bool IsSupport(uint32_t codec) const override;
    uint32_t DecodeAudio(const uint8_t* data, uint32_t size, uint8_t*& output,
                         uint32_t& outputSize) override;
};

}  // namespace HCC
