#pragma once
// Hands out a decoded libavcodec picture as 8-bit planar 4:2:0, whatever layout the decoder chose.
// Everything after the decoders (engine, renderers, snapshots) reads exactly that layout, so a
// 4:2:2, 4:4:4, grey or high-bit-depth picture is converted here, never passed on mislabelled.

#include <cstdint>
#include <vector>

#include "base/hpixel.h"

extern "C" {
struct AVFrame;
struct SwsContext;
}

namespace HCC {

struct CPlanes420 {
    uint8_t* data[3] = {nullptr, nullptr, nullptr};
    uint32_t stride[3] = {0, 0, 0};
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t lumaRows = 0;    // rows readable in the Y plane (height, or more when padded)
    uint32_t chromaRows = 0;  // rows readable in each of U and V
    BRIXEL::CHYUVColour colour = BRIXEL::HYUV_BT601_LIMITED;  // matrix and range of the samples
};

class CPicture420 {
public:
    CPicture420() = default;
    ~CPicture420();
    CPicture420(const CPicture420&) = delete;
    CPicture420& operator=(const CPicture420&) = delete;

    // Makes `frame` available as 4:2:0. Pictures already in that layout are referenced in place
    // (valid while the frame is) unless rowAlign > 1 asks for a copy whose row count is padded
    // to a multiple of rowAlign (the padding repeats the last row). False for pictures larger
    // than kMaxPictureSide, empty ones, or layouts that cannot be converted.
    bool From(const AVFrame* frame, uint32_t rowAlign, CPlanes420& out);

    void Reset();

private:
    bool Allocate(uint32_t width, uint32_t height, uint32_t rowAlign, CPlanes420& out);
    bool ConvertPlanar8(const AVFrame* frame, CPlanes420& out);
    bool ConvertWithScaler(const AVFrame* frame, CPlanes420& out);
    static void PadRows(CPlanes420& out);
    // What the frame signals, with the usual assumptions for what it leaves unsaid.
    static BRIXEL::CHYUVColour ColourOf(const AVFrame* frame);

    std::vector<uint8_t> m_buffer;   // the converted picture, Y then U then V
    SwsContext* m_scaler = nullptr;  // cached between pictures of the same layout
};

}  // namespace HCC
