// G.711 expansion against the reference values and FFmpeg's own tables; the AAC place-holder.

#include <gtest/gtest.h>
#include <quorixsdk.h>

#include <cmath>

#include "codec/dec_audio.h"
#include "support/media_encoder.h"

namespace HCC {
namespace {

std::vector<int16_t> Samples(const uint8_t* output, uint32_t bytes) {
    std::vector<int16_t> samples(bytes / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] =
            static_cast<int16_t>(output[2 * i] | (output[2 * i + 1] << 8));  // little-endian
    return samples;
}

TEST(G711, KnownCodesExpandToTheStandardValues) {
    const struct {
        uint32_t codec;
        uint8_t code;
        int16_t value;
    } cases[] = {
        {CODEC_G711A, 0xD5, 8},      {CODEC_G711A, 0x55, -8},     {CODEC_G711A, 0xAA, 32256},
        {CODEC_G711A, 0x2A, -32256}, {CODEC_G711U, 0xFF, 0},      {CODEC_G711U, 0x7F, 0},
        {CODEC_G711U, 0x80, 32124},  {CODEC_G711U, 0x00, -32124},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "codec " << c.codec << " code 0x" << std::hex << int{c.code});
        CDecG711 decoder;
        ASSERT_EQ(decoder.Open(c.codec), QUORIX_OK);
        uint8_t* output = nullptr;
        uint32_t size = 0;
        ASSERT_EQ(decoder.DecodeAudio(&c.code, 1, output, size), QUORIX_OK);
        ASSERT_EQ(size, 2u);
        EXPECT_EQ(Samples(output, size)[0], c.value);
    }
}

TEST(G711, EveryCodeMatchesFFmpegsExpansion) {
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    for (uint32_t codec : {CODEC_G711A, CODEC_G711U}) {
        const std::vector<int16_t> reference =
            quorix_test::DecodeG711Reference(codec == CODEC_G711A, all);
        ASSERT_EQ(reference.size(), 256u);
        CDecG711 decoder;
        ASSERT_EQ(decoder.Open(codec), QUORIX_OK);
        uint8_t* output = nullptr;
        uint32_t size = 0;
        ASSERT_EQ(decoder.DecodeAudio(all.data(), 256, output, size), QUORIX_OK);
        EXPECT_EQ(Samples(output, size), reference) << "codec " << codec;
    }
}

TEST(G711, EncodedToneComesBackAsTwoBytesPerCode) {
    std::vector<int16_t> tone(160);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<int16_t>(12000 * std::sin(i * 0.3));
    for (uint32_t codec : {CODEC_G711A, CODEC_G711U}) {
        const std::vector<uint8_t> codes = quorix_test::EncodeG711(codec == CODEC_G711A, tone);
        ASSERT_EQ(codes.size(), 160u);
        HDECODER handle = nullptr;
        ASSERT_EQ(CreateDecoder(codec, MODULE_AUTO, &handle), QUORIX_OK);
        uint8_t* output = nullptr;
        uint32_t size = 0;
        ASSERT_EQ(DecodeAudio(handle, codes.data(), 160, &output, &size), QUORIX_OK);
        ASSERT_EQ(size, 320u);
        const std::vector<int16_t> samples = Samples(output, size);
        for (size_t i = 0; i < tone.size(); ++i)
            EXPECT_NEAR(samples[i], tone[i], std::abs(tone[i]) / 16 + 16)
                << i;  // G.711 keeps ~4 mantissa bits
        // Later calls reuse the memory and give their own samples.
        const uint8_t silence = codec == CODEC_G711A ? 0xD5 : 0xFF;
        ASSERT_EQ(DecodeAudio(handle, &silence, 1, &output, &size), QUORIX_OK);
        EXPECT_EQ(size, 2u);
        EXPECT_LE(std::abs(Samples(output, size)[0]), 8);
        EXPECT_EQ(DestroyDecoder(handle), QUORIX_OK);
    }
}

TEST(G711, RefusesBadCallsWithTheirCodes) {
    CDecG711 decoder;
    const uint8_t code = 0xD5;
    uint8_t* output = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(decoder.DecodeAudio(&code, 1, output, size), QUORIX_E_NOT_INIT);
    EXPECT_EQ(decoder.Open(CODEC_H264), QUORIX_E_NOT_IMPL);
    ASSERT_EQ(decoder.Open(CODEC_G711A), QUORIX_OK);
    EXPECT_EQ(decoder.DecodeAudio(nullptr, 1, output, size), QUORIX_E_PARAM);
    EXPECT_EQ(decoder.DecodeAudio(&code, 0, output, size), QUORIX_E_PARAM);
    uint32_t w = 0, h = 0, f = 0;
    uint8_t* planes[3];
    uint32_t sizes[3], strides[3];
    EXPECT_EQ(decoder.DecodeVideo(&code, 1, w, h, f, planes, sizes, strides), QUORIX_E_NOT_IMPL);
}

TEST(AacPlaceHolder, NeverOpensAndNeverDecodes) {
    HDECODER handle = reinterpret_cast<HDECODER>(&handle);
    EXPECT_EQ(CreateDecoder(CODEC_AAC, MODULE_AUTO, &handle), QUORIX_E_PARAM);
    EXPECT_EQ(handle, nullptr);
    CDecAAC aac;
    EXPECT_FALSE(aac.IsSupport(CODEC_AAC));
    EXPECT_EQ(aac.Open(CODEC_AAC), QUORIX_E_NOT_IMPL);
    const uint8_t data[4] = {};
    uint8_t* output = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(aac.DecodeAudio(data, 4, output, size), QUORIX_E_NOT_INIT);
}

}  // namespace
}  // namespace HCC
