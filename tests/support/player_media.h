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
Clip EncodeClip(const std::string& encoder, uint32_t width, uint32_t height, uint32_t frames, int gop);

// One frame record: the 28-byte header and the payload.
std::vector<uint8_t> MakeRecord(uint8_t type, uint32_t sequence, uint32_t timestamp, uint8_t codec, uint16_t width,
                                uint16_t height, const std::vector<uint8_t>& payload);
// The clip's packets as records: sequence i, timestamp i * intervalMs.
std::vector<std::vector<uint8_t>> ClipRecords(const Clip& clip, uint32_t intervalMs);
// A container file of the clip with its index; model goes to the header's render model byte.
std::vector<uint8_t> ClipFile(const Clip& clip, uint32_t intervalMs, int8_t model);

// PSNR of the luma of a tightly packed 4:2:0 picture against the source picture.
double LumaPsnr(const uint8_t* yuv, const quorix_test::Picture& source);

}  // namespace playertest
