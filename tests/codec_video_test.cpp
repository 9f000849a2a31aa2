// Video decoders against pictures encoded on the spot: libavcodec path, native-style adapter and
// the image-library MJPEG path, including damaged and hostile input.

#include <gtest/gtest.h>
#include <quorixsdk.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/hlog.h"
#include "codec/dec_ffmpeg.h"
#include "codec/dec_hisi.h"
#include "codec/dec_ximage.h"
#include "codec/native_dec.h"
#include "support/media_encoder.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

namespace HCC {
namespace {

using quorix_test::Packet;
using quorix_test::Picture;

// The decoders report damaged input on libavcodec's log; the results are what is checked here.
const bool g_quietLibraries = (av_log_set_level(AV_LOG_QUIET), true);

struct Decoded {
    uint32_t result = 0;
    uint32_t width = 0, height = 0, format = 99;
    uint8_t* planes[3] = {};
    uint32_t sizes[3] = {};
    uint32_t strides[3] = {};
};

Decoded Decode(CDecoder& decoder, const std::vector<uint8_t>& data, uint32_t width,
               uint32_t height) {
    Decoded d;
    d.width = width;
    d.height = height;
    d.result = decoder.DecodeVideo(data.data(), static_cast<uint32_t>(data.size()), d.width,
                                   d.height, d.format, d.planes, d.sizes, d.strides);
    return d;
}

// Lowest PSNR of the three planes against a 4:2:0 reference.
double PicturePsnr(const Decoded& d, const Picture& reference) {
    const uint32_t cw = reference.width / 2;
    const uint32_t ch = reference.height / 2;
    double psnr = quorix_test::Psnr(d.planes[0], d.strides[0], reference.planes[0].data(),
                                    reference.width, reference.width, reference.height);
    for (int p = 1; p < 3; ++p)
        psnr =
            std::min(psnr, quorix_test::Psnr(d.planes[p], d.strides[p], reference.planes[p].data(),
                                             reference.ChromaWidth(), cw, ch));
    return psnr;
}

const char* EncoderFor(uint32_t codec) {
    return codec == CODEC_H265 ? "libx265" : "libx264";
}

std::vector<Packet> Stream(uint32_t codec, uint32_t width, uint32_t height, uint32_t frames,
                           std::vector<Picture>* sources = nullptr) {
    quorix_test::VideoEncodeOptions options;
    options.encoder = EncoderFor(codec);
    options.width = width;
    options.height = height;
    options.frames = frames;
    return quorix_test::EncodeVideo(options, sources);
}

// Cuts, flips and random payloads that every decoder must survive.
std::vector<std::vector<uint8_t>> HostilePayloads(const std::vector<uint8_t>& good) {
    std::vector<std::vector<uint8_t>> payloads;
    payloads.push_back({good[0]});  // one byte
    payloads.push_back(std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2));  // cut
    std::vector<uint8_t> flipped = good;
    for (size_t i = good.size() / 3; i < good.size(); i += 7)
        flipped[i] ^= 0x5A;
    payloads.push_back(flipped);  // corrupted
    std::mt19937 random(1234);
    std::vector<uint8_t> noise(4096);
    for (uint8_t& b : noise)
        b = static_cast<uint8_t>(random());
    payloads.push_back(noise);  // random
    std::vector<uint8_t> prefixed = noise;
    prefixed[0] = 0;
    prefixed[1] = 0;
    prefixed[2] = 1;
    prefixed[3] = 0x65;  // an IDR slice header in front of noise
    payloads.push_back(prefixed);
    return payloads;
}

class FFmpegDecoder : public ::testing::TestWithParam<uint32_t> {};

TEST_P(FFmpegDecoder, DeliversEachPictureAsPlanar420CloseToTheSource) {
    const uint32_t codec = GetParam();
    std::vector<Picture> sources;
    const std::vector<Packet> packets = Stream(codec, 320, 240, 4, &sources);
    ASSERT_EQ(packets.size(), sources.size());
    CDecFFmpeg decoder;
    ASSERT_EQ(decoder.Open(codec), QUORIX_OK);
    for (size_t i = 0; i < packets.size(); ++i) {
        SCOPED_TRACE("picture " + std::to_string(i));
        const Decoded d = Decode(decoder, packets[i].data, 0, 0);
        ASSERT_EQ(d.result, QUORIX_OK);
        EXPECT_EQ(d.width, 320u);
        EXPECT_EQ(d.height, 240u);
        EXPECT_EQ(d.format, 0u);
        EXPECT_EQ(d.strides[1], d.strides[2]);
        EXPECT_GE(d.strides[0], 320u);
        EXPECT_GE(d.strides[1], 160u);
        EXPECT_EQ(d.sizes[0], d.strides[0] * 240);
        EXPECT_EQ(d.sizes[1], d.strides[1] * 120);
        EXPECT_GE(PicturePsnr(d, sources[i]), 35.0);
    }
}

TEST_P(FFmpegDecoder, SurvivesHostileInputAndStillDecodesTheNextKeyFrame) {
    const uint32_t codec = GetParam();
    const std::vector<Packet> packets = Stream(codec, 160, 120, 1);
    ASSERT_EQ(packets.size(), 1u);
    CDecFFmpeg decoder;
    ASSERT_EQ(decoder.Open(codec), QUORIX_OK);
    for (const std::vector<uint8_t>& payload : HostilePayloads(packets[0].data)) {
        const Decoded d = Decode(decoder, payload, 160, 120);
        EXPECT_TRUE(d.result == QUORIX_OK || d.result == QUORIX_E_NOT_OPEN ||
                    d.result == QUORIX_E_NOT_SUPPORTED)
            << std::hex << d.result;
        if (d.result == QUORIX_OK) {
            EXPECT_LE(d.width, kMaxPictureSide);
        }
    }
    // Whatever the damage, a clean key frame brings pictures back (possibly after a pending one).
    bool recovered = false;
    for (int i = 0; i < 3 && !recovered; ++i) {
        const Decoded d = Decode(decoder, packets[0].data, 160, 120);
        recovered = d.result == QUORIX_OK && d.width == 160 && d.height == 120;
    }
    EXPECT_TRUE(recovered);
}

INSTANTIATE_TEST_SUITE_P(Codecs, FFmpegDecoder, ::testing::Values(CODEC_H264, CODEC_H265),
                         [](const auto& info) {
                             return std::string(info.param == CODEC_H264 ? "H264" : "H265");
                         });

// Past one decoder per core the next ones decode without slice threads; a stream of several
// slices must come out byte for byte the same from both kinds, and closing gives the count back.
TEST(FFmpegDecoderPipeline, DecodersBeyondTheCoresGiveTheSamePicturesAndAreCountedBack) {
    quorix_test::VideoEncodeOptions options;
    options.width = 320;
    options.height = 240;
    options.frames = 3;
    options.slices = 4;
    const std::vector<Packet> packets = quorix_test::EncodeVideo(options);
    ASSERT_EQ(packets.size(), 3u);
    const uint32_t before = OpenLiveDecoders();
    const size_t count = std::max(1u, std::thread::hardware_concurrency()) + 2;
    std::vector<std::unique_ptr<CDecFFmpeg>> decoders;
    for (size_t i = 0; i < count; ++i) {
        decoders.push_back(std::make_unique<CDecFFmpeg>());
        ASSERT_EQ(decoders.back()->Open(CODEC_H264), QUORIX_OK);
        decoders.back()->Open(CODEC_H264);  // a second open of an open decoder counts nothing
    }
    EXPECT_EQ(OpenLiveDecoders(), before + count);
    for (const Packet& packet : packets) {
        std::vector<uint8_t> first;
        for (size_t i = 0; i < count; ++i) {
            const Decoded d = Decode(*decoders[i], packet.data, 0, 0);
            ASSERT_EQ(d.result, QUORIX_OK);
            std::vector<uint8_t> bytes;
            for (int p = 0; p < 3; ++p) {
                const uint32_t rows = p == 0 ? d.height : d.height / 2,
                               width = p == 0 ? d.width : d.width / 2;
                for (uint32_t y = 0; y < rows; ++y)
                    bytes.insert(bytes.end(), d.planes[p] + y * d.strides[p],
                                 d.planes[p] + y * d.strides[p] + width);
            }
            if (i == 0)
                first = bytes;
            else
                ASSERT_TRUE(bytes == first) << "decoder " << i;
        }
    }
    for (auto& decoder : decoders) {
        decoder->Close();
        decoder->Close();
    }
    EXPECT_EQ(OpenLiveDecoders(), before);
}

TEST(FFmpegDecoderPipeline, FiveSilentCallsAreNoPictureYetAndTheSixthAFailure) {
    // Access unit delimiters only: accepted by the decoder, never a picture.
    const std::vector<uint8_t> delimiter = {0, 0, 0, 1, 0x09, 0xF0};
    CDecFFmpeg decoder;
    ASSERT_EQ(decoder.Open(CODEC_H264), QUORIX_OK);
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(Decode(decoder, delimiter, 0, 0).result, QUORIX_E_NOT_OPEN) << i;
        EXPECT_EQ(Decode(decoder, delimiter, 0, 0).result, QUORIX_E_NOT_SUPPORTED);
    }
    // A picture resets the count.
    const std::vector<Packet> packets = Stream(CODEC_H264, 160, 120, 1);
    for (int i = 0; i < 4; ++i)
        Decode(decoder, delimiter, 0, 0);
    EXPECT_EQ(Decode(decoder, packets[0].data, 0, 0).result, QUORIX_OK);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Decode(decoder, delimiter, 0, 0).result, QUORIX_E_NOT_OPEN) << i;
}

TEST(FFmpegDecoderLayouts, ConvertsOtherChromaLayoutsTo420) {
    for (const char* layout : {"yuv422p", "yuv444p"}) {
        SCOPED_TRACE(layout);
        quorix_test::VideoEncodeOptions options;
        options.pixelFormat = layout;
        options.frames = 2;
        options.quality = 8;
        const std::vector<Packet> packets = quorix_test::EncodeVideo(options);
        ASSERT_EQ(packets.size(), 2u);
        CDecFFmpeg decoder;
        ASSERT_EQ(decoder.Open(CODEC_H264), QUORIX_OK);
        for (uint32_t i = 0; i < 2; ++i) {
            const Decoded d = Decode(decoder, packets[i].data, 0, 0);
            ASSERT_EQ(d.result, QUORIX_OK);
            EXPECT_EQ(d.format, 0u);
            EXPECT_EQ(d.strides[1], 160u) << "chroma handed out at 4:2:0 size";
            EXPECT_EQ(d.sizes[1], 160u * 120u);
            EXPECT_GE(PicturePsnr(d, quorix_test::Reference420(320, 240, i)), 35.0);
        }
    }
}

TEST(FFmpegDecoderLayouts, HandsOutTenBitPicturesAsEightBit420) {
    quorix_test::VideoEncodeOptions options;
    options.encoder = "libx265";
    options.pixelFormat = "yuv420p10le";
    options.frames = 2;
    const std::vector<Packet> packets = quorix_test::EncodeVideo(options);
    ASSERT_EQ(packets.size(), 2u) << "libx265 without 10-bit support";
    CDecFFmpeg ffmpeg;
    CDecHisi hisi;
    for (CDecoder* decoder : {static_cast<CDecoder*>(&ffmpeg), static_cast<CDecoder*>(&hisi)}) {
        SCOPED_TRACE(decoder->GetRuntimeClass()->className);
        ASSERT_EQ(decoder->Open(CODEC_H265), QUORIX_OK);
        for (uint32_t i = 0; i < 2; ++i) {
            const Decoded d = Decode(*decoder, packets[i].data, 320, 240);
            ASSERT_EQ(d.result, QUORIX_OK);
            EXPECT_EQ(d.format, 0u);
            EXPECT_EQ(d.strides[0], 320u) << "one byte per sample";
            EXPECT_GE(PicturePsnr(d, quorix_test::Reference420(320, 240, i)), 35.0);
        }
    }
}

// A stream with B-frames: each decoder holds the last pictures back until the end of the input,
// then gives them out in order, and takes a new stream after that.
TEST(DecoderDrain, HeldBackPicturesComeOutAtTheEndAndANewStreamStarts) {
    for (const uint32_t codec : {CODEC_H264, CODEC_H265}) {
        quorix_test::VideoEncodeOptions options;
        options.encoder = EncoderFor(codec);
        options.frames = 12;
        options.gop = 12;
        options.bFrames = 2;
        std::vector<Picture> sources;
        const std::vector<Packet> packets = quorix_test::EncodeVideo(options, &sources);
        ASSERT_EQ(packets.size(), 12u);
        CDecFFmpeg ffmpeg;
        CDecHisi hisi;
        for (CDecoder* decoder : {static_cast<CDecoder*>(&ffmpeg), static_cast<CDecoder*>(&hisi)}) {
            SCOPED_TRACE(std::string(decoder->GetRuntimeClass()->className) + " codec " +
                         std::to_string(codec));
            ASSERT_EQ(decoder->Open(codec), QUORIX_OK);
            for (int round = 0; round < 2; ++round) {
                SCOPED_TRACE("round " + std::to_string(round));
                std::vector<double> psnr;
                for (const Packet& packet : packets) {
                    const Decoded d = Decode(*decoder, packet.data, 320, 240);
                    if (d.result == QUORIX_OK)
                        psnr.push_back(PicturePsnr(d, sources[psnr.size()]));
                }
                ASSERT_LT(psnr.size(), 12u) << "B-frames hold pictures back";
                for (;;) {
                    Decoded d;
                    d.result = decoder->DrainVideo(d.width, d.height, d.format, d.planes, d.sizes,
                                                   d.strides);
                    if (d.result != QUORIX_OK) {
                        EXPECT_EQ(d.result, QUORIX_E_END_OF_DATA);
                        break;
                    }
                    ASSERT_LT(psnr.size(), sources.size());
                    psnr.push_back(PicturePsnr(d, sources[psnr.size()]));
                }
                ASSERT_EQ(psnr.size(), 12u);
                for (size_t i = 0; i < psnr.size(); ++i)
                    EXPECT_GE(psnr[i], 35.0) << "picture " << i << " in its place";
            }
        }
    }
}

// ---- native-style adapter ------------------------------------------------------------------

class HisiDecoder : public ::testing::TestWithParam<uint32_t> {};

std::vector<Packet> HisiStream(uint32_t codec, uint32_t width, uint32_t height, uint32_t frames,
                               std::vector<Picture>* sources) {
    if (codec != CODEC_MJPEG)
        return Stream(codec, width, height, frames, sources);
    quorix_test::VideoEncodeOptions options;
    options.encoder = "mjpeg";
    options.pixelFormat = "yuvj420p";
    options.quality = 2;
    options.width = width;
    options.height = height;
    options.frames = frames;
    return quorix_test::EncodeVideo(options, sources);
}

TEST_P(HisiDecoder, DeliversPlanar420CloseToTheSource) {
    const uint32_t codec = GetParam();
    // 232 rows: the MJPEG path hands its planes out padded to a multiple of 16 rows.
    const uint32_t width = 320, height = 232;
    std::vector<Picture> sources;
    const std::vector<Packet> packets = HisiStream(codec, width, height, 3, &sources);
    ASSERT_EQ(packets.size(), 3u);
    CDecHisi decoder;
    ASSERT_EQ(decoder.Open(codec), QUORIX_OK);
    EXPECT_FALSE(decoder.HasNativeInstance()) << "made at the first picture, not at open";
    for (size_t i = 0; i < packets.size(); ++i) {
        SCOPED_TRACE("picture " + std::to_string(i));
        const Decoded d = Decode(decoder, packets[i].data, width, height);
        ASSERT_EQ(d.result, QUORIX_OK);
        EXPECT_EQ(d.width, width);
        EXPECT_EQ(d.height, height);
        EXPECT_EQ(d.format, 0u);
        EXPECT_EQ(d.strides[1], d.strides[2]);
        const uint32_t lumaRows = codec == CODEC_MJPEG ? 240 : height;
        EXPECT_EQ(d.sizes[0], d.strides[0] * lumaRows);
        EXPECT_EQ(d.sizes[1], d.strides[1] * lumaRows / 2);
        EXPECT_GE(PicturePsnr(d, sources[i]), 35.0);
    }
    EXPECT_TRUE(decoder.HasNativeInstance());
}

TEST_P(HisiDecoder, RemakesTheNativeInstanceWhenThePictureSizeChanges) {
    const uint32_t codec = GetParam();
    const int kind = codec == CODEC_H264 ? 0 : (codec == CODEC_H265 ? 1 : 2);
    const std::vector<Packet> large = HisiStream(codec, 320, 240, 1, nullptr);
    const std::vector<Packet> small = HisiStream(codec, 176, 144, 1, nullptr);
    ASSERT_EQ(large.size(), 1u);
    ASSERT_EQ(small.size(), 1u);
    const uint32_t channelBefore = CDecHisi::NextH265Channel();
    const CNativeDecoderCounts before = NativeDecoderCounts();
    {
        CDecHisi decoder;
        ASSERT_EQ(decoder.Open(codec), QUORIX_OK);
        ASSERT_EQ(Decode(decoder, large[0].data, 320, 240).result, QUORIX_OK);
        ASSERT_EQ(Decode(decoder, large[0].data, 320, 240).result, QUORIX_OK);
        EXPECT_EQ(NativeDecoderCounts().created[kind], before.created[kind] + 1)
            << "same size: same instance";
        const Decoded d = Decode(decoder, small[0].data, 176, 144);
        ASSERT_EQ(d.result, QUORIX_OK);
        EXPECT_EQ(d.width, 176u);
        EXPECT_EQ(d.height, 144u);
        EXPECT_EQ(NativeDecoderCounts().created[kind], before.created[kind] + 2);
        EXPECT_EQ(NativeDecoderCounts().live[kind], before.live[kind] + 1)
            << "the old instance was deleted";
        EXPECT_TRUE(decoder.IsOpened());
        EXPECT_EQ(decoder.GetCodec(), codec);
    }
    EXPECT_EQ(NativeDecoderCounts().live[kind], before.live[kind]) << "deleted with the decoder";
    EXPECT_EQ(CDecHisi::NextH265Channel(), channelBefore + (codec == CODEC_H265 ? 2u : 0u));
}

TEST_P(HisiDecoder, RefusesBadEntrySizesBeforeMakingAnInstance) {
    const uint32_t codec = GetParam();
    const std::vector<Packet> packets = HisiStream(codec, 176, 144, 1, nullptr);
    const CNativeDecoderCounts before = NativeDecoderCounts();
    CDecHisi decoder;
    ASSERT_EQ(decoder.Open(codec), QUORIX_OK);
    EXPECT_EQ(Decode(decoder, packets[0].data, 0, 144).result, QUORIX_E_PARAM);
    EXPECT_EQ(Decode(decoder, packets[0].data, 176, 0).result, QUORIX_E_PARAM);
    EXPECT_EQ(Decode(decoder, packets[0].data, 65535, 65535).result, QUORIX_E_PARAM);
    EXPECT_EQ(Decode(decoder, {}, 176, 144).result, QUORIX_E_PARAM);
    EXPECT_FALSE(decoder.HasNativeInstance());
    EXPECT_EQ(NativeDecoderCounts().created[0] + NativeDecoderCounts().created[1] +
                  NativeDecoderCounts().created[2],
              before.created[0] + before.created[1] + before.created[2]);
    // A stream larger than the size its instance was made for is not decoded.
    const std::vector<Packet> larger = HisiStream(codec, 320, 240, 1, nullptr);
    EXPECT_EQ(Decode(decoder, larger[0].data, 176, 144).result, QUORIX_E_NOT_SUPPORTED);
}

TEST_P(HisiDecoder, SurvivesHostileInput) {
    const uint32_t codec = GetParam();
    const std::vector<Packet> packets = HisiStream(codec, 176, 144, 1, nullptr);
    CDecHisi decoder;
    ASSERT_EQ(decoder.Open(codec), QUORIX_OK);
    for (const std::vector<uint8_t>& payload : HostilePayloads(packets[0].data)) {
        const Decoded d = Decode(decoder, payload, 176, 144);
        EXPECT_TRUE(d.result == QUORIX_OK || d.result == QUORIX_E_NOT_SUPPORTED)
            << std::hex << d.result;
        if (d.result == QUORIX_OK) {
            EXPECT_LE(d.width, 176u);
            EXPECT_LE(d.height, 144u);
        }
    }
    bool recovered = false;
    for (int i = 0; i < 3 && !recovered; ++i)
        recovered = Decode(decoder, packets[0].data, 176, 144).result == QUORIX_OK;
    EXPECT_TRUE(recovered);
}

INSTANTIATE_TEST_SUITE_P(Codecs, HisiDecoder,
                         ::testing::Values(CODEC_H264, CODEC_H265, CODEC_MJPEG),
                         [](const auto& info) {
                             return std::string(info.param == CODEC_H264   ? "H264"
                                                : info.param == CODEC_H265 ? "H265"
                                                                           : "MJPEG");
                         });

TEST(HisiDecoderMjpeg, ConvertsOtherJpegLayoutsTo420) {
    const struct {
        const char* layout;
        bool grey;
    } cases[] = {{"yuvj422p", false}, {"yuvj444p", false}, {"gray", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        const Picture source = quorix_test::MakePicture(320, 240, 3, c.layout);
        const std::vector<uint8_t> jpeg = quorix_test::EncodeJpeg(source, 2);
        ASSERT_FALSE(jpeg.empty());
        CDecHisi decoder;
        ASSERT_EQ(decoder.Open(CODEC_MJPEG), QUORIX_OK);
        const Decoded d = Decode(decoder, jpeg, 320, 240);
        ASSERT_EQ(d.result, QUORIX_OK);
        EXPECT_EQ(d.format, 0u);
        EXPECT_EQ(d.strides[1], 160u);
        EXPECT_GE(PicturePsnr(d, quorix_test::Reference420(320, 240, 3, c.grey)), 35.0);
        if (c.grey) {
            EXPECT_TRUE(std::all_of(d.planes[1], d.planes[1] + d.sizes[1],
                                    [](uint8_t u) { return u == 128; }));
            EXPECT_TRUE(std::all_of(d.planes[2], d.planes[2] + d.sizes[2],
                                    [](uint8_t v) { return v == 128; }));
        }
    }
}

// A real JPEG whose frame header claims another size.
std::vector<uint8_t> WithClaimedSize(std::vector<uint8_t> jpeg, uint16_t width, uint16_t height) {
    for (size_t i = 2; i + 8 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF &&
            (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC1 || jpeg[i + 1] == 0xC2)) {
            jpeg[i + 5] = static_cast<uint8_t>(height >> 8);
            jpeg[i + 6] = static_cast<uint8_t>(height);
            jpeg[i + 7] = static_cast<uint8_t>(width >> 8);
            jpeg[i + 8] = static_cast<uint8_t>(width);
            return jpeg;
        }
    }
    return {};
}

TEST(HisiDecoderMjpeg, RefusesAJpegClaimingAHugePicture) {
    const std::vector<uint8_t> huge = WithClaimedSize(
        quorix_test::EncodeJpeg(quorix_test::MakePicture(64, 48, 0, "yuvj420p")), 65535, 65535);
    ASSERT_FALSE(huge.empty());
    CDecHisi decoder;
    ASSERT_EQ(decoder.Open(CODEC_MJPEG), QUORIX_OK);
    EXPECT_EQ(Decode(decoder, huge, 64, 48).result, QUORIX_E_NOT_SUPPORTED);
}

// ---- FFmpeg's log ---------------------------------------------------------------------------

// Points a descriptor at a fresh file for a scope and hands back what was written to it.
class FdCapture {
public:
    explicit FdCapture(int fd) : m_fd(fd) {
        std::snprintf(m_path, sizeof m_path, "/tmp/quorix-fd-capture-XXXXXX");
        const int file = mkstemp(m_path);
        m_saved = dup(fd);
        fflush(nullptr);
        dup2(file, fd);
        close(file);
    }
    ~FdCapture() { Restore(); }
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;
    std::string Restore() {
        if (m_saved >= 0) {
            fflush(nullptr);
            dup2(m_saved, m_fd);
            close(m_saved);
            m_saved = -1;
            std::ifstream in(m_path, std::ios::binary);
            m_text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            unlink(m_path);
        }
        return m_text;
    }

private:
    int m_fd;
    int m_saved = -1;
    char m_path[64];
    std::string m_text;
};

// Damaged MJPEG (native-style adapter) and H.264 (FFmpeg decoder): FFmpeg complains about each.
void DecodeDamagedStreams() {
    const std::vector<uint8_t> jpeg =
        quorix_test::EncodeJpeg(quorix_test::MakePicture(320, 240, 1, "yuvj420p"));
    ASSERT_FALSE(jpeg.empty());
    CDecHisi mjpeg;
    ASSERT_EQ(mjpeg.Open(CODEC_MJPEG), QUORIX_OK);
    for (const std::vector<uint8_t>& payload : HostilePayloads(jpeg))
        Decode(mjpeg, payload, 320, 240);
    std::vector<uint8_t> h264(4096);
    for (size_t i = 0; i < h264.size(); ++i)
        h264[i] = static_cast<uint8_t>(i * 131 + 7);
    h264[0] = 0;
    h264[1] = 0;
    h264[2] = 1;
    h264[3] = 0x65;
    CDecFFmpeg ffmpeg;
    ASSERT_EQ(ffmpeg.Open(CODEC_H264), QUORIX_OK);
    for (int i = 0; i < 3; ++i)
        Decode(ffmpeg, h264, 160, 120);
}

// With the library's logging off nothing reaches the host's standard error, however loudly FFmpeg
// complains; with it on, FFmpeg's lines come out of the library's logger under the decoders'
// module name, where the host's settings send them.
TEST(FFmpegLog, GoesThroughTheLibrarysLoggerOnly) {
    av_log_set_level(AV_LOG_INFO);  // as FFmpeg speaks by default; this suite quietens it
    BRIXEL::CHLog& log = BRIXEL::CHLog::Instance();
    log.Configure(0, 0, nullptr, nullptr);
    std::string stderrText;
    {
        FdCapture err(2);
        DecodeDamagedStreams();
        stderrText = err.Restore();
    }
    EXPECT_EQ(stderrText, "");

    // The logger's debugger output goes to a file of its own, away from standard error.
    char debugPath[] = "/tmp/quorix-debug-log-XXXXXX";
    const int debugFd = mkstemp(debugPath);
    ASSERT_GE(debugFd, 0);
    {
        FdCapture err(2);
        log.SetDebugFd(debugFd);
        log.Configure(1, 0, nullptr, nullptr);
        DecodeDamagedStreams();
        log.Configure(0, 0, nullptr, nullptr);
        log.SetDebugFd(2);
        stderrText = err.Restore();
    }
    close(debugFd);
    std::ifstream in(debugPath, std::ios::binary);
    const std::string logged((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    unlink(debugPath);
    av_log_set_level(AV_LOG_QUIET);
    EXPECT_EQ(stderrText, "");
    EXPECT_NE(logged.find("hcodec:<ffmpeg_log HCC::FFmpegLog"), std::string::npos) << logged;
}

// ---- MJPEG through the image library ------------------------------------------------------

TEST(XImageDecoder, BlackPictureIsBlackWithNeutralChroma) {
    const std::vector<uint8_t> jpeg =
        quorix_test::EncodeJpeg(quorix_test::FlatPicture(64, 48, 0, 128, 128, "yuvj420p"));
    ASSERT_FALSE(jpeg.empty());
    CDecXImage decoder;
    ASSERT_EQ(decoder.Open(CODEC_MJPEG), QUORIX_OK);
    const Decoded d = Decode(decoder, jpeg, 0, 0);
    ASSERT_EQ(d.result, QUORIX_OK);
    EXPECT_EQ(d.width, 64u);
    EXPECT_EQ(d.height, 48u);
    EXPECT_EQ(d.format, 0u);
    EXPECT_EQ(d.strides[0], 64u);
    EXPECT_EQ(d.strides[1], 32u);
    EXPECT_EQ(d.sizes[0], 64u * 48u);
    EXPECT_EQ(d.sizes[1], 64u * 48u / 4);
    EXPECT_EQ(d.planes[1], d.planes[0] + 64 * 48);
    EXPECT_EQ(d.planes[2], d.planes[1] + 64 * 48 / 4);
    EXPECT_TRUE(
        std::all_of(d.planes[0], d.planes[0] + d.sizes[0], [](uint8_t y) { return y == 0; }));
    EXPECT_TRUE(
        std::all_of(d.planes[1], d.planes[1] + d.sizes[1], [](uint8_t u) { return u == 128; }));
    EXPECT_TRUE(
        std::all_of(d.planes[2], d.planes[2] + d.sizes[2], [](uint8_t v) { return v == 128; }));
}

TEST(XImageDecoder, OddSizesStayInsideTheirPlanes) {
    const std::vector<uint8_t> jpeg =
        quorix_test::EncodeJpeg(quorix_test::MakePicture(33, 17, 2, "yuvj420p"));
    ASSERT_FALSE(jpeg.empty());
    CDecXImage decoder;
    ASSERT_EQ(decoder.Open(CODEC_MJPEG), QUORIX_OK);
    const Decoded d = Decode(decoder, jpeg, 0, 0);
    ASSERT_EQ(d.result, QUORIX_OK);
    EXPECT_EQ(d.width, 33u);
    EXPECT_EQ(d.height, 17u);
    // The odd last column and row have chroma samples of their own: 17 x 9 per plane.
    EXPECT_EQ(d.strides[1], 17u);
    EXPECT_EQ(d.sizes[1], 17u * 9u);
    EXPECT_EQ(d.planes[2], d.planes[1] + 17u * 9u);
    EXPECT_LE(d.planes[2] + d.sizes[2],
              decoder.GetBuffer().GetData() + decoder.GetBuffer().GetCapacity());
    const Picture reference = quorix_test::Reference420(33, 17, 2);
    EXPECT_GE(quorix_test::Psnr(d.planes[0], d.strides[0], reference.planes[0].data(), 33, 33, 17),
              35.0);
}

TEST(XImageDecoder, OddLastColumnAndRowKeepTheirOwnChroma) {
    // Grey body; the last column (x = 32) and the last row (y = 16) carry a colour of their own.
    Picture source = quorix_test::MakePicture(33, 17, 0, "yuvj444p");
    for (uint32_t y = 0; y < 17; ++y)
        for (uint32_t x = 0; x < 33; ++x) {
            const bool edge = x == 32 || y == 16;
            source.planes[0][y * 33 + x] = 120;
            source.planes[1][y * 33 + x] = edge ? 170 : 128;
            source.planes[2][y * 33 + x] = edge ? 90 : 128;
        }
    const std::vector<uint8_t> jpeg = quorix_test::EncodeJpeg(source, 1);
    CDecXImage decoder;
    ASSERT_EQ(decoder.Open(CODEC_MJPEG), QUORIX_OK);
    const Decoded d = Decode(decoder, jpeg, 0, 0);
    ASSERT_EQ(d.result, QUORIX_OK);
    ASSERT_EQ(d.strides[1], 17u);
    for (uint32_t r = 0; r < 8; ++r) {
        EXPECT_NEAR(d.planes[1][r * 17 + 16], 170, 12) << "row " << r;
        EXPECT_NEAR(d.planes[2][r * 17 + 16], 90, 12) << "row " << r;
        EXPECT_NEAR(d.planes[1][r * 17 + 8], 128, 12) << "row " << r;
    }
    for (uint32_t c = 0; c < 17; ++c) {
        EXPECT_NEAR(d.planes[1][8 * 17 + c], 170, 12) << "column " << c;
        EXPECT_NEAR(d.planes[2][8 * 17 + c], 90, 12) << "column " << c;
    }
}

TEST(XImageDecoder, ColoursMatchTheSourceTopRowFirst) {
    // Strong colours catch swapped channels or weights; a vertical gradient catches a flip.
    Picture source = quorix_test::MakePicture(128, 96, 5, "yuvj444p");
    for (uint32_t y = 0; y < 96; ++y)
        for (uint32_t x = 0; x < 128; ++x) {
            // Colours inside the RGB gamut, so that the round trip through B, G, R is lossless
            // apart from the coding.
            source.planes[0][y * 128 + x] = static_cast<uint8_t>(100 + y * 60 / 96);
            source.planes[1][y * 128 + x] = static_cast<uint8_t>(x < 64 ? 100 : 150);
            source.planes[2][y * 128 + x] = static_cast<uint8_t>(y < 48 ? 150 : 105);
        }
    const std::vector<uint8_t> jpeg = quorix_test::EncodeJpeg(source, 1);
    CDecXImage decoder;
    ASSERT_EQ(decoder.Open(CODEC_MJPEG), QUORIX_OK);
    const Decoded d = Decode(decoder, jpeg, 0, 0);
    ASSERT_EQ(d.result, QUORIX_OK);
    EXPECT_GE(quorix_test::Psnr(d.planes[0], d.strides[0], source.planes[0].data(), 128, 128, 96),
              35.0);
    // Chroma away from the edges, where the box averages are flat.
    EXPECT_NEAR(d.planes[1][10 * 64 + 10], 100, 3);
    EXPECT_NEAR(d.planes[1][10 * 64 + 50], 150, 3);
    EXPECT_NEAR(d.planes[2][10 * 64 + 10], 150, 3);
    EXPECT_NEAR(d.planes[2][40 * 64 + 10], 105, 3);
}

TEST(XImageDecoder, RefusesUndecodableAndHugeJpegsWithoutTouchingItsPicture) {
    const std::vector<uint8_t> good =
        quorix_test::EncodeJpeg(quorix_test::MakePicture(64, 48, 1, "yuvj420p"));
    CDecXImage decoder;
    ASSERT_EQ(decoder.Open(CODEC_MJPEG), QUORIX_OK);
    ASSERT_EQ(Decode(decoder, good, 0, 0).result, QUORIX_OK);
    const uint8_t* data = decoder.GetBuffer().GetData();
    const uint64_t capacity = decoder.GetBuffer().GetCapacity();
    const std::vector<uint8_t> keep(data, data + 64 * 48 * 3 / 2);

    std::vector<uint8_t> noise(2000);
    std::mt19937 random(99);
    for (uint8_t& b : noise)
        b = static_cast<uint8_t>(random());
    const std::vector<std::vector<uint8_t>> refused = {
        noise,
        {0xFF},
        {0xFF, 0xD8},
        WithClaimedSize(good, 65535, 65535),
        WithClaimedSize(good, 0, 48),
        WithClaimedSize(good, 8000,
                        8000)};  // within the bound, but far more blocks than the data holds
    for (const std::vector<uint8_t>& payload : refused) {
        EXPECT_EQ(Decode(decoder, payload, 0, 0).result, QUORIX_E_NOT_SUPPORTED);
        EXPECT_EQ(decoder.GetBuffer().GetData(), data);
        EXPECT_EQ(decoder.GetBuffer().GetCapacity(), capacity);
        EXPECT_TRUE(std::equal(keep.begin(), keep.end(), data));
    }
    // Damage inside the entropy-coded data still gives a picture of the right size, as a
    // camera viewer shows a damaged frame.
    for (const std::vector<uint8_t>& payload : HostilePayloads(good)) {
        const Decoded d = Decode(decoder, payload, 0, 0);
        EXPECT_TRUE(d.result == QUORIX_OK || d.result == QUORIX_E_NOT_SUPPORTED);
        if (d.result == QUORIX_OK) {
            EXPECT_EQ(d.width * d.height, 64u * 48u);
        }
    }
}

}  // namespace
// What a stream says of its range and matrix reaches the picture's colour; a stream that says
// nothing is limited range, BT.709 from 1280 x 720 up and BT.601 below. JPEG is full-range
// BT.601 whichever decoder takes it.
TEST(DecoderColour, EveryDecoderReportsTheStreamsRangeAndMatrix) {
    struct Case {
        uint32_t codec;
        uint32_t width, height;
        int range, space;  // what the encoder writes (0: nothing)
        BRIXEL::CHYUVColour expected;
    } cases[] = {
        {CODEC_H264, 320, 240, 0, 0, BRIXEL::HYUV_BT601_LIMITED},
        {CODEC_H264, 1280, 720, 0, 0, BRIXEL::HYUV_BT709_LIMITED},
        {CODEC_H264, 320, 240, AVCOL_RANGE_JPEG, AVCOL_SPC_BT709, BRIXEL::HYUV_BT709_FULL},
        {CODEC_H264, 1280, 720, AVCOL_RANGE_MPEG, AVCOL_SPC_SMPTE170M, BRIXEL::HYUV_BT601_LIMITED},
        {CODEC_H264, 320, 240, AVCOL_RANGE_JPEG, AVCOL_SPC_BT470BG, BRIXEL::HYUV_BT601_FULL},
        {CODEC_H265, 320, 240, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709, BRIXEL::HYUV_BT709_LIMITED},
        {CODEC_MJPEG, 1280, 720, 0, 0, BRIXEL::HYUV_BT601_FULL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("codec " + std::to_string(c.codec) + " " + std::to_string(c.width) +
                     " range " + std::to_string(c.range) + " space " + std::to_string(c.space));
        quorix_test::VideoEncodeOptions options;
        options.encoder = c.codec == CODEC_MJPEG ? "mjpeg" : EncoderFor(c.codec);
        if (c.codec == CODEC_MJPEG) {
            options.pixelFormat = "yuvj420p";
            options.quality = 2;
        }
        options.width = c.width;
        options.height = c.height;
        options.frames = 1;
        options.colorRange = c.range;
        options.colorSpace = c.space;
        const std::vector<Packet> packets = quorix_test::EncodeVideo(options);
        ASSERT_EQ(packets.size(), 1u);
        std::vector<std::unique_ptr<CDecoder>> decoders;
        if (c.codec != CODEC_MJPEG)
            decoders.push_back(std::make_unique<CDecFFmpeg>());
        decoders.push_back(std::make_unique<CDecHisi>());
        if (c.codec == CODEC_MJPEG)
            decoders.push_back(std::make_unique<CDecXImage>());
        for (auto& decoder : decoders) {
            SCOPED_TRACE(decoder->GetRuntimeClass()->className);
            ASSERT_EQ(decoder->Open(c.codec), QUORIX_OK);
            Decoded d = Decode(*decoder, packets[0].data, c.width, c.height);
            // A decoder with a frame of delay gives the picture at the next call.
            if (d.result == QUORIX_E_NOT_OPEN)
                d = Decode(*decoder, packets[0].data, c.width, c.height);
            ASSERT_EQ(d.result, QUORIX_OK);
            EXPECT_EQ(decoder->GetPictureColour(), c.expected);
            BRIXEL::CHYUVColour guarded = BRIXEL::HYUV_BT709_FULL;
            EXPECT_EQ(GetPictureColour(decoder.get(), &guarded), QUORIX_OK);
            EXPECT_EQ(guarded, c.expected);
            decoder->Close();
        }
    }
    EXPECT_EQ(GetPictureColour(nullptr, nullptr), QUORIX_E_PARAM);
}

}  // namespace HCC
