#pragma once
// The remap kernel: bilinear sampling of a planar 4:2:0 picture at the positions of a remap
// table, straight into 32-bit B, G, R, X rows.
//
// Per pixel, with the table's position (x, y) in 1/256 of a luma pixel (clamped so that the
// right and lower neighbours exist):
//     x0 = x >> 8, wx = x & 255 (the same for y), and for each plane
//     top = p[y0][x0] * 256 + (p[y0][x0+1] - p[y0][x0]) * wx          (= a * (256 - w) + b * w)
//     bot = p[y0+1][x0] * 256 + (p[y0+1][x0+1] - p[y0+1][x0]) * wx
//     value = (top * 256 + (bot - top) * wy + 32768) >> 16
// Chroma is sampled once per 2 x 2 block of view pixels, as the picture itself carries it: at
// the position of the block's first drawn pixel (top-left, top-right, bottom-left,
// bottom-right; a last odd column or row repeats its neighbour). Chroma sample k covers luma
// columns 2k and 2k + 1, so the chroma position is x / 2 - 1/4 ((x >> 1) - 64 in table units),
// clamped the same way in the half-size planes. The three 8-bit values then go through the
// library's integer YUV-to-RGB formula (hpixel_kernels.h) for the picture's matrix and range.
// Pixels marked "nothing drawn" take the background. The X byte is 0, as the library's other
// BGRX writers leave it.
//
// The plain version is the reference; the AVX2 version computes the same integers for 16 x 2
// pixels at a time and must match it byte for byte.

#include <cstdint>

#include "base/hpixel.h"
#include "dewarp/remap.h"

namespace DEWARP {

enum class KernelPath : uint32_t {
    Plain,
    Avx2,  // x86-64 with AVX2 at run time
};

bool KernelPathAvailable(KernelPath path);
KernelPath BestKernelPath();

struct YuvPicture {
    const uint8_t* y = nullptr;
    const uint8_t* u = nullptr;
    const uint8_t* v = nullptr;
    uint32_t strideY = 0, strideUV = 0;
    uint32_t width = 0, height = 0;  // luma; chroma planes are (w + 1) / 2 x (h + 1) / 2
    BRIXEL::CHYUVColour colour = BRIXEL::HYUV_BT601_LIMITED;
};

// Background 0x00BBGGRR (the host's colour order) as the BGRX word the kernels store.
uint32_t BackgroundWord(uint32_t colourBGR);

// Rows [rowBegin, rowEnd) of the table into dst (row r at dst + r * dstStride), widened to
// whole row pairs (chroma blocks pair rows 2k and 2k + 1). The picture's size must be the
// table's lens size. No checks: CDewarper::Render makes them.
void RemapRows(KernelPath path, const CRemapTable& table, uint32_t rowBegin, uint32_t rowEnd,
               const YuvPicture& picture, uint8_t* dst, uint32_t dstStride, uint32_t background);

namespace KernelDetail {
// Columns [x0, x1) of a row pair (r1 may repeat r0 for a last odd row); x0 even. The plain
// reference, and the vector version, which returns how many columns it did from x0 on (a
// multiple of 16) and leaves the rest to the plain one.
struct RowPair {
    const int32_t *x0, *y0, *x1, *y1;  // table rows
    uint32_t *out0, *out1;             // view rows (out1 == out0 for a single row)
};
void PlainPair(const RowPair& rows, uint32_t x0, uint32_t x1, uint32_t width,
               const YuvPicture& picture, uint32_t background);
uint32_t Avx2Pair(const RowPair& rows, uint32_t x0, uint32_t x1, const YuvPicture& picture,
                  uint32_t background);
bool CpuHasAvx2();
}  // namespace KernelDetail

}  // namespace DEWARP
