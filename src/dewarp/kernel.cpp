#include "dewarp/kernel.h"

#include <algorithm>

#include "base/hpixel_kernels.h"

namespace DEWARP {

namespace KernelDetail {

namespace {

inline int Bilinear(const uint8_t* plane, uint32_t stride, int32_t x, int32_t y) {
    const int x0 = x >> kCoordBits, wx = x & (kCoordOne - 1);
    const int y0 = y >> kCoordBits, wy = y & (kCoordOne - 1);
    const uint8_t* r0 = plane + static_cast<size_t>(y0) * stride + x0;
    const uint8_t* r1 = r0 + stride;
    const int top = r0[0] * 256 + (r0[1] - r0[0]) * wx;
    const int bot = r1[0] * 256 + (r1[1] - r1[0]) * wx;
    return (top * 256 + (bot - top) * wy + 32768) >> 16;
}

}  // namespace

void PlainPair(const RowPair& rows, uint32_t x0, uint32_t x1, uint32_t width, const YuvPicture& pic,
               uint32_t background) {
    using BRIXEL::HPixelDetail::Component;
    const BRIXEL::HPixelDetail::Coefficients& k = BRIXEL::HPixelDetail::CoefficientsOf(pic.colour);
    const int32_t cmaxX = static_cast<int32_t>((pic.width + 1) / 2 - 1) * kCoordOne - 1;
    const int32_t cmaxY = static_cast<int32_t>((pic.height + 1) / 2 - 1) * kCoordOne - 1;
    for (uint32_t c = x0; c < x1; c += 2) {
        const uint32_t c1 = c + 1 < width ? c + 1 : c;
        const int32_t* xs[4] = {rows.x0 + c, rows.x0 + c1, rows.x1 + c, rows.x1 + c1};
        const int32_t* ys[4] = {rows.y0 + c, rows.y0 + c1, rows.y1 + c, rows.y1 + c1};
        uint32_t* outs[4] = {rows.out0 + c, rows.out0 + c1, rows.out1 + c, rows.out1 + c1};
        int first = -1;
        for (int i = 0; i < 4 && first < 0; ++i)
            if (*xs[i] >= 0)
                first = i;
        if (first < 0) {
            for (int i = 0; i < 4; ++i)
                *outs[i] = background;
            continue;
        }
        const int32_t cx = std::clamp((*xs[first] >> 1) - kCoordOne / 4, 0, cmaxX);
        const int32_t cy = std::clamp((*ys[first] >> 1) - kCoordOne / 4, 0, cmaxY);
        const int du = Bilinear(pic.u, pic.strideUV, cx, cy) - 128;
        const int dv = Bilinear(pic.v, pic.strideUV, cx, cy) - 128;
        const int tr = ((dv * k.crv) >> 8) + k.bias;
        const int tg = ((du * k.cgu) >> 8) + ((dv * k.cgv) >> 8) - k.bias;
        const int tb = ((du * k.cbu) >> 8) + k.bias;
        for (int i = 0; i < 4; ++i) {
            if (*xs[i] < 0) {
                *outs[i] = background;
                continue;
            }
            const int yp = (Bilinear(pic.y, pic.strideY, *xs[i], *ys[i]) * k.cy) >> 8;
            const uint32_t R = Component(yp + tr), G = Component(yp - tg), B = Component(yp + tb);
            *outs[i] = B | (G << 8) | (R << 16);
        }
    }
}

}  // namespace KernelDetail

bool KernelPathAvailable(KernelPath path) {
    return path == KernelPath::Plain || KernelDetail::CpuHasAvx2();
}

KernelPath BestKernelPath() {
    return KernelDetail::CpuHasAvx2() ? KernelPath::Avx2 : KernelPath::Plain;
}

uint32_t BackgroundWord(uint32_t colourBGR) {
    const uint32_t r = colourBGR & 0xFF, g = (colourBGR >> 8) & 0xFF, b = (colourBGR >> 16) & 0xFF;
    return b | (g << 8) | (r << 16);
}

void RemapRows(KernelPath path, const CRemapTable& table, uint32_t rowBegin, uint32_t rowEnd,
               const YuvPicture& picture, uint8_t* dst, uint32_t dstStride, uint32_t background) {
    const bool vector = path == KernelPath::Avx2 && KernelDetail::CpuHasAvx2();
    const uint32_t w = table.Width();
    // Chroma blocks pair the table's rows 2k and 2k + 1, whatever range is asked for.
    rowBegin &= ~1u;
    rowEnd = std::min(table.Height(), rowEnd + (rowEnd & 1u));
    for (uint32_t r = rowBegin; r < rowEnd; r += 2) {
        const uint32_t r1 = r + 1 < rowEnd ? r + 1 : r;
        KernelDetail::RowPair rows;
        rows.x0 = table.RowX(r);
        rows.y0 = table.RowY(r);
        rows.x1 = table.RowX(r1);
        rows.y1 = table.RowY(r1);
        rows.out0 = reinterpret_cast<uint32_t*>(dst + static_cast<size_t>(r) * dstStride);
        rows.out1 = reinterpret_cast<uint32_t*>(dst + static_cast<size_t>(r1) * dstStride);
        uint32_t done = 0;
        if (vector)
            done = KernelDetail::Avx2Pair(rows, 0, w, picture, background);
        KernelDetail::PlainPair(rows, done, w, w, picture, background);
    }
}

}  // namespace DEWARP
