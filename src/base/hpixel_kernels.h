#pragma once
// Planar 4:2:0 to packed RGB: the formulas, the reference and the faster row kernels.
//
// For each pixel, in integers, with ">> 8" an arithmetic shift (floor of a division by 256)
// and every result clamped to 0..255:
//     R = Y + (((V - 128) * 360) >> 8)
//     G = Y - ((88 * (U - 128) + 184 * (V - 128)) >> 8)
//     B = Y + (((U - 128) * 455) >> 8)
// Pixel (x, r) takes Y[r][x] and the chroma samples U[r/2][x/2], V[r/2][x/2]. Bottom-up
// formats store picture row r at destination row height-1-r. The 16-bit formats keep the top
// 5 (or 6, green of 5-6-5) bits of each component.
//
// The reference walks pixel by pixel through the format's writer and is what every faster path
// must reproduce byte for byte. The faster paths work on pairs of rows that share one chroma
// row, so the chroma terms are computed once per 2x2 block. The SIMD path keeps the arithmetic
// in 16-bit lanes without losing exactness by splitting the large factors:
//     (d * 360) >> 8 = d + ((d * 104) >> 8)
//     (d * 455) >> 8 = 2d + ((d * -57) >> 8)
//     (88u + 184v) >> 8 = v + ((88u - 72v) >> 8)      (|88u - 72v| <= 20408)
// Adding a whole multiple of 256 before the floor division commutes with it, so each split is
// exact, and every partial product fits in a signed 16-bit lane.

#include <cstdint>

#include "base/hpixel.h"

namespace BRIXEL {

enum class HPixelPath : uint32_t {
    Reference,  // per pixel, through the writer of the format
    Portable,   // row pairs in plain C++, per format
    Avx2,       // row pairs with 256-bit vectors (x86-64 with AVX2 at run time)
};

bool HPixelPathAvailable(HPixelPath path);
// The fastest path this machine can run.
HPixelPath HPixelBestPath();

// CHYUV420pConvert::ToRGB on a chosen path: same checks, same results.
uint32_t HPixelToRGB(HPixelPath path, CHPixelFormat format, const uint8_t* srcY,
                     const uint8_t* srcU, const uint8_t* srcV, uint32_t strideY, uint32_t strideUV,
                     uint32_t width, uint32_t height, uint8_t* dst, uint32_t dstSize,
                     uint32_t dstStride);

namespace HPixelDetail {

// Converts two picture rows that share one chroma row (y1/d1 may repeat y0/d0 for a last odd
// row). width > 0; every pointer covers the row it is given.
using RowPairFn = void (*)(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v,
                           uint8_t* d0, uint8_t* d1, uint32_t width);

// Row kernels of the top-down formats 1..6 (index 1..6); null when the path has none.
RowPairFn PortableRowPair(uint32_t baseFormat);
RowPairFn Avx2RowPair(uint32_t baseFormat);
bool CpuHasAvx2();

struct ChromaTerms {
    int r;  // added to Y for red
    int g;  // subtracted from Y for green
    int b;  // added to Y for blue
};

inline ChromaTerms ComputeChroma(int u, int v) {
    const int du = u - 128;
    const int dv = v - 128;
    return {(dv * 360) >> 8, (88 * du + 184 * dv) >> 8, (du * 455) >> 8};
}

inline uint8_t Clamp255(int value) {
    return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

// Stores one pixel of top-down format F (1..6) at p.
template <uint32_t F>
inline void StorePixel(uint8_t* p, uint8_t r, uint8_t g, uint8_t b) {
    if constexpr (F == 1 || F == 2) {
        p[0] = r;
        p[1] = g;
        p[2] = b;
        if constexpr (F == 1) {
            p[3] = 0;
        }
    } else if constexpr (F == 3 || F == 4) {
        p[0] = b;
        p[1] = g;
        p[2] = r;
        if constexpr (F == 3) {
            p[3] = 0;
        }
    } else if constexpr (F == 5) {
        const uint32_t w = ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3);
        p[0] = static_cast<uint8_t>(w);
        p[1] = static_cast<uint8_t>(w >> 8);
    } else {
        static_assert(F == 6, "top-down RGB formats are 1..6");
        const uint32_t w = ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3);
        p[0] = static_cast<uint8_t>(w);
        p[1] = static_cast<uint8_t>(w >> 8);
    }
}

template <uint32_t F>
inline constexpr uint32_t kBytesOf = (F == 1 || F == 3) ? 4 : ((F == 2 || F == 4) ? 3 : 2);

// Pixels [x, width) of a row pair, one pixel at a time: the tail of the vector kernels.
template <uint32_t F>
inline void RowPairScalar(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v,
                          uint8_t* d0, uint8_t* d1, uint32_t x, uint32_t width) {
    constexpr uint32_t bpp = kBytesOf<F>;
    for (; x < width; ++x) {
        const ChromaTerms c = ComputeChroma(u[x >> 1], v[x >> 1]);
        const int ya = y0[x];
        const int yb = y1[x];
        StorePixel<F>(d0 + x * bpp, Clamp255(ya + c.r), Clamp255(ya - c.g), Clamp255(ya + c.b));
        StorePixel<F>(d1 + x * bpp, Clamp255(yb + c.r), Clamp255(yb - c.g), Clamp255(yb + c.b));
    }
}

}  // namespace HPixelDetail
}  // namespace BRIXEL
