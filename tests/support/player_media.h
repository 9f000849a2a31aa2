#pragma once
// Encoded clips as frame records and container files, for the player tests.

#include <cstdint>
#include <string>
#include <vector>

#include "support/media_encoder.h"

namespace playertest {

struct Clip {
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t codec = 1;  // record codec number
    std::vector<quorix_test::Packet> packets;
    std::vector<quorix_test::Picture> sources;
};

// encoder: "libx264" (codec 1) or "libx265" (codec 6). Empty packets when the encoder is missing.
Clip EncodeClip(const std::string& encoder, uint32_t width, uint32_t height, uint32_t frames,
                int gop);

// One frame record: the 28-byte header and the payload.
std::vector<uint8_t> MakeRecord(uint8_t type, uint32_t sequence, uint32_t timestamp, uint8_t codec,
                                uint16_t width, uint16_t height,
                                const std::vector<uint8_t>& payload);
// The clip's packets as records: sequence i, timestamp i * intervalMs.
std::vector<std::vector<uint8_t>> ClipRecords(const Clip& clip, uint32_t intervalMs);
// A container file of the clip with its index; model goes to the header's render model byte.
std::vector<uint8_t> ClipFile(const Clip& clip, uint32_t intervalMs, int8_t model);

// A picture whose right-hand stripe (from column EdgeColumn on) and bottom stripe (from row
// EdgeRow on) stand out from the body in Y, U and V, so that a lost last column or row, or a
// misplaced chroma plane, shows. Both stripes start on an even sample, so every 2 x 2 chroma
// block lies wholly inside or outside them and 4:2:0 represents the picture exactly.
struct EdgeValues {
    uint8_t y, u, v;
};
constexpr EdgeValues kEdgeBody{40, 100, 160};
constexpr EdgeValues kEdgeStripe{220, 160, 100};
inline uint32_t EdgeColumn(uint32_t width) {
    return (width - 5) & ~1u;
}
inline uint32_t EdgeRow(uint32_t height) {
    return (height - 3) & ~1u;
}
// grey: U and V are 128 everywhere (for comparisons after a YUV-to-RGB conversion).
quorix_test::Picture EdgePicture(uint32_t width, uint32_t height, bool grey);
// `frames` records of the edge picture, the first a key frame: "mjpeg" (codec 2, yuvj420p) or
// "libx264" (codec 1; 4:4:4 for odd sizes, which 4:2:0 H.264 cannot code). Empty without the
// encoder.
std::vector<std::vector<uint8_t>> EdgeRecords(const std::string& encoder, uint32_t width,
                                              uint32_t height, uint32_t frames, bool grey);
// Mean of the samples of a plane (rows of `stride`) in [x0, x1) x [y0, y1).
double PlaneMean(const uint8_t* plane, uint32_t stride, uint32_t x0, uint32_t x1, uint32_t y0,
                 uint32_t y1);

// PSNR of the luma of a tightly packed 4:2:0 picture against the source picture.
double LumaPsnr(const uint8_t* yuv, const quorix_test::Picture& source);

}  // namespace playertest
