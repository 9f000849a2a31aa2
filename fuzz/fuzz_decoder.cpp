// The decoder layer through its guarded entry points: a codec and module chosen by the input,
// then its packets one after another. Pictures are limited to 4096 x 4096 (a JPEG announcing
// more is not passed on; the video codecs are told that size to expect).

#include <quorixsdk.h>

extern "C" {
#include <libavutil/log.h>
}

#include "codec/decoder.h"
#include "fuzz_support.h"

using namespace HCC;

namespace {

struct Choice {
    uint32_t codec;
    uint32_t module;
};

constexpr Choice kChoices[] = {
    {CODEC_H264, MODULE_FFMPEG},  {CODEC_H265, MODULE_FFMPEG}, {CODEC_MJPEG, MODULE_AUTO},
    {CODEC_MJPEG, MODULE_FFMPEG}, {CODEC_H264, MODULE_AUTO},   {CODEC_H265, MODULE_AUTO},
    {CODEC_H264, MODULE_HISI},    {CODEC_H265, MODULE_HISI},   {CODEC_G711A, MODULE_AUTO},
    {CODEC_G711U, MODULE_AUTO},   {CODEC_PCM, MODULE_AUTO},    {CODEC_AAC, MODULE_AUTO},
    {CODEC_MJPEG, MODULE_HOME},   {CODEC_MJPEG, MODULE_HISI},
};
constexpr uint32_t kMaxSide = 4096;

// FFmpeg's complaints about damaged streams would cost more time than the decoding.
const bool g_quiet = [] {
    av_log_set_level(AV_LOG_QUIET);
    return true;
}();

// Whether every frame header of a JPEG stream announces a picture within the limit.
bool JpegWithinLimit(const uint8_t* p, size_t size) {
    for (size_t i = 0; i + 9 <= size; ++i) {
        if (p[i] != 0xFF)
            continue;
        const uint8_t m = p[i + 1];
        const bool sof = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
        if (!sof)
            continue;
        const uint32_t h = (uint32_t{p[i + 5]} << 8) | p[i + 6];
        const uint32_t w = (uint32_t{p[i + 7]} << 8) | p[i + 8];
        if (w > kMaxSide || h > kMaxSide)
            return false;
    }
    return true;
}

bool IsVideo(uint32_t codec) {
    return codec == CODEC_H264 || codec == CODEC_H265 || codec == CODEC_MJPEG;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quorixfuzz::Cursor in(data, size);
    const Choice choice = kChoices[in.U8() % (sizeof kChoices / sizeof kChoices[0])];
    const uint32_t expectW = in.U16() % (kMaxSide + 1);
    const uint32_t expectH = in.U16() % (kMaxSide + 1);

    HDECODER decoder = nullptr;
    if (CreateDecoder(choice.codec, choice.module, &decoder) != QUORIX_OK || decoder == nullptr)
        return 0;

    for (int packets = 0; !in.Empty() && packets < 64; ++packets) {
        size_t taken = 0;
        const uint8_t* packet = in.Take(in.U16(), &taken);
        if (IsVideo(choice.codec)) {
            if (choice.codec == CODEC_MJPEG && !JpegWithinLimit(packet, taken))
                continue;
            uint32_t width = expectW;
            uint32_t height = expectH;
            uint32_t format = 0;
            uint8_t* planes[3] = {nullptr, nullptr, nullptr};
            uint32_t sizes[3] = {0, 0, 0};
            uint32_t strides[3] = {0, 0, 0};
            if (DecodeVideo(decoder, taken ? packet : nullptr, static_cast<uint32_t>(taken), &width,
                            &height, &format, planes, sizes, strides) == QUORIX_OK) {
                QUORIX_FUZZ_CHECK(width > 0 && height > 0 && width <= kMaxPictureSide &&
                                  height <= kMaxPictureSide);
                // Every plane is readable over the size the decoder states.
                uint8_t sum = 0;
                for (int p = 0; p < 3; ++p) {
                    if (planes[p] == nullptr || sizes[p] == 0)
                        continue;
                    sum ^= planes[p][0];
                    sum ^= planes[p][sizes[p] - 1];
                }
                (void)sum;
            }
        } else {
            uint8_t* pcm = nullptr;
            uint32_t pcmSize = 0;
            if (DecodeAudio(decoder, taken ? packet : nullptr, static_cast<uint32_t>(taken), &pcm,
                            &pcmSize) == QUORIX_OK &&
                pcmSize != 0) {
                QUORIX_FUZZ_CHECK(pcm != nullptr);
                volatile uint8_t last = pcm[pcmSize - 1];
                (void)last;
            }
        }
    }
    DestroyDecoder(decoder);
    return 0;
}
