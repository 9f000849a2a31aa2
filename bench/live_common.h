#pragma once
// What the live benchmarks share: a 1080p H.264 stream whose pictures carry their own number as
// bands of black and white blocks, so that a snapshot of the region says which picture it shows,
// and the frame records a host would push.
//
// The band: 16 blocks across, two rows, at the top of the picture and mirrored at its bottom, so
// the number reads the same whether a capture's rows come top-down or bottom-up, and whichever
// end of the picture a partial capture takes. The outer row holds the number's 15 bits and a
// set sync bit, the inner row their complement, so a capture that does not show one whole
// picture is told apart from a valid number.

#include <quorixsdk.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "media/hmfformat.h"
#include "support/media_encoder.h"
#include "support/player_media.h"

namespace livebench {

constexpr uint32_t kWidth = 1920;
constexpr uint32_t kHeight = 1080;
constexpr uint32_t kIntervalMs = 40;  // 25 pictures a second
constexpr uint32_t kBits = 16;        // 15 of the number, the last the sync bit
constexpr uint32_t kSyncBit = 1u << (kBits - 1);
constexpr float kBandHeight = 0.10f;  // of the picture, at each end

inline void StampNumber(quorix_test::Picture& picture, uint32_t number) {
    const uint32_t rowHeight = static_cast<uint32_t>(picture.height * kBandHeight / 2);
    const uint32_t blockWidth = picture.width / kBits;
    const uint32_t word = (number & (kSyncBit - 1)) | kSyncBit;
    const auto fillRow = [&](uint32_t top, bool complement) {
        for (uint32_t bit = 0; bit < kBits; ++bit) {
            const bool set = ((word >> bit) & 1u) != complement;
            for (uint32_t y = top; y < top + rowHeight; ++y)
                std::fill_n(
                    &picture.planes[0][static_cast<size_t>(y) * picture.width + bit * blockWidth],
                    blockWidth, set ? 235 : 16);
        }
    };
    fillRow(0, false);
    fillRow(rowHeight, true);
    fillRow(picture.height - rowHeight, false);
    fillRow(picture.height - 2 * rowHeight, true);
    // Neutral chroma under the bands, so the blocks read the same in every colour channel.
    const uint32_t cw = picture.ChromaWidth(), ch = picture.ChromaHeight();
    for (int plane = 1; plane < 3; ++plane) {
        std::fill_n(picture.planes[plane].begin(), static_cast<size_t>(cw) * rowHeight, 128);
        std::fill_n(picture.planes[plane].begin() + static_cast<ptrdiff_t>(cw) * (ch - rowHeight),
                    static_cast<size_t>(cw) * rowHeight, 128);
    }
}

// Reads the number from a captured picture of 4-byte pixels (any order of colour channels, rows
// either way up) whose top or bottom covers a band; bandFraction is the part of the capture's
// height the band takes. -1 when the capture does not show a valid number.
inline int64_t ReadNumber(const uint8_t* data, uint32_t width, uint32_t stride, uint32_t height,
                          uint32_t bytesPerPixel, float bandFraction) {
    if (data == nullptr || width < kBits || height < 4)
        return -1;
    for (bool flipped : {false, true}) {
        auto sample = [&](uint32_t bit, uint32_t row) {
            const uint32_t x = static_cast<uint32_t>((bit + 0.5f) * width / kBits);
            uint32_t y = std::min(height - 1,
                                  static_cast<uint32_t>((row + 0.5f) * bandFraction / 2 * height));
            if (flipped)
                y = height - 1 - y;
            const uint8_t* p =
                data + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * bytesPerPixel;
            return (p[0] + p[1] + p[2]) / 3 > 128;
        };
        uint32_t word = 0;
        bool valid = true;
        for (uint32_t bit = 0; bit < kBits && valid; ++bit) {
            const bool outer = sample(bit, 0);
            valid = outer != sample(bit, 1);
            word |= static_cast<uint32_t>(outer) << bit;
        }
        if (valid && (word & kSyncBit) != 0)
            return word & (kSyncBit - 1);
    }
    return -1;
}

// Bars above a grainy texture that scrolls by 3 pixels a picture, with a box that moves: cheap
// to make at 1080p, and with motion and residual that P-frames really carry.
inline quorix_test::Picture MovingPicture(uint32_t index) {
    quorix_test::Picture p;
    p.width = kWidth;
    p.height = kHeight;
    p.planes[0].resize(static_cast<size_t>(kWidth) * kHeight);
    p.planes[1].resize(static_cast<size_t>(kWidth / 2) * (kHeight / 2));
    p.planes[2].resize(p.planes[1].size());
    const auto texture = [](uint32_t x, uint32_t y) {
        uint32_t h = x * 374761393u + y * 668265263u;
        h = (h ^ (h >> 13)) * 1274126177u;
        return static_cast<uint8_t>(64 + ((h >> 24) & 127) / 2 + ((x / 8 + y / 8) & 1) * 64);
    };
    const uint32_t boxX = (index * 13) % (kWidth - 200), boxY = (index * 7) % (kHeight - 200);
    for (uint32_t y = 0; y < kHeight; ++y)
        for (uint32_t x = 0; x < kWidth; ++x) {
            uint8_t value = y < kHeight / 2 ? static_cast<uint8_t>(40 + 25 * (x * 8 / kWidth))
                                            : texture(x + index * 3, y);
            if (x >= boxX && x < boxX + 200 && y >= boxY && y < boxY + 200)
                value = static_cast<uint8_t>(96 + (texture(x * 7 + index, y * 5 + index) & 63));
            p.planes[0][static_cast<size_t>(y) * kWidth + x] = value;
        }
    for (uint32_t y = 0; y < kHeight / 2; ++y)
        for (uint32_t x = 0; x < kWidth / 2; ++x) {
            const size_t at = static_cast<size_t>(y) * (kWidth / 2) + x;
            p.planes[1][at] = static_cast<uint8_t>(128 + ((x + index) & 31));
            p.planes[2][at] = static_cast<uint8_t>(128 - ((y + index) & 31));
        }
    return p;
}

// `frames` pictures of 1080p moving content with their numbers, coded by libx264 with the
// low-latency settings of a camera (no B-frames); a key frame every 50. Empty without libx264.
inline std::vector<std::vector<uint8_t>> EncodeStream(uint32_t frames) {
    std::vector<quorix_test::Picture> pictures;
    pictures.reserve(frames);
    for (uint32_t i = 0; i < frames; ++i) {
        pictures.push_back(MovingPicture(i));
        StampNumber(pictures.back(), i);
    }
    quorix_test::VideoEncodeOptions options;
    options.encoder = "libx264";
    options.width = kWidth;
    options.height = kHeight;
    options.frames = frames;
    options.quality = 23;
    options.gop = 50;
    options.threads = 0;
    const std::vector<quorix_test::Packet> packets = quorix_test::EncodePictures(options, pictures);
    std::vector<std::vector<uint8_t>> records;
    if (packets.size() != frames)
        return records;
    for (uint32_t i = 0; i < frames; ++i)
        records.push_back(
            playertest::MakeRecord(packets[i].key ? BRIXEL::HMF_KIND_KEY : BRIXEL::HMF_KIND_DELTA,
                                   i, i * kIntervalMs, 1, kWidth, kHeight, packets[i].data));
    return records;
}

inline const char* CodeName(uint32_t code) {
    switch (code) {
        case QUORIX_OK:
            return "ok";
        case QUORIX_E_NOT_IMPL:
            return "not implemented";
        case QUORIX_E_PARAM:
            return "parameter";
        case QUORIX_E_STATE:
            return "state";
        default:
            return "failure";
    }
}

}  // namespace livebench
