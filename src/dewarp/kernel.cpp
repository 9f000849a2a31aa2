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

void PlainSpan(const int32_t* tx, const int32_t* ty, uint32_t x0, uint32_t x1,
               const YuvPicture& pic, uint32_t* out, uint32_t background) {
    const BRIXEL::HPixelDetail::Coefficients& k = BRIXEL::HPixelDetail::CoefficientsOf(pic.colour);
    const int32_t cmaxX = static_cast<int32_t>((pic.width + 1) / 2 - 1) * kCoordOne - 1;
    const int32_t cmaxY = static_cast<int32_t>((pic.height + 1) / 2 - 1) * kCoordOne - 1;
    for (uint32_t i = x0; i < x1; ++i) {
        const int32_t x = tx[i], y = ty[i];
        if (x < 0) {
            out[i] = background;
            continue;
        }
        const int yy = Bilinear(pic.y, pic.strideY, x, y);
        const int32_t cx = std::clamp((x >> 1) - kCoordOne / 4, 0, cmaxX);
        const int32_t cy = std::clamp((y >> 1) - kCoordOne / 4, 0, cmaxY);
        const int uu = Bilinear(pic.u, pic.strideUV, cx, cy);
        const int vv = Bilinear(pic.v, pic.strideUV, cx, cy);
        const int du = uu - 128, dv = vv - 128;
        const int yp = (yy * k.cy) >> 8;
        const int r = ((dv * k.crv) >> 8) + k.bias;
        const int g = ((du * k.cgu) >> 8) + ((dv * k.cgv) >> 8) - k.bias;
        const int b = ((du * k.cbu) >> 8) + k.bias;
        const uint32_t R = BRIXEL::HPixelDetail::Component(yp + r);
        const uint32_t G = BRIXEL::HPixelDetail::Component(yp - g);
        const uint32_t B = BRIXEL::HPixelDetail::Component(yp + b);
        out[i] = B | (G << 8) | (R << 16);
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
    // The vector loads read four bytes from the left neighbour's column, so their windows need
    // pictures at least 8 pixels wide (4 chroma columns).
    const bool vector =
        path == KernelPath::Avx2 && KernelDetail::CpuHasAvx2() && picture.width >= 8;
    const uint32_t w = table.Width();
    for (uint32_t r = rowBegin; r < rowEnd; ++r) {
        auto* out = reinterpret_cast<uint32_t*>(dst + static_cast<size_t>(r) * dstStride);
        const int32_t* tx = table.RowX(r);
        const int32_t* ty = table.RowY(r);
        uint32_t done = 0;
        if (vector)
            done = KernelDetail::Avx2Span(tx, ty, 0, w, picture, out, background);
        KernelDetail::PlainSpan(tx, ty, done, w, picture, out, background);
    }
}

}  // namespace DEWARP
