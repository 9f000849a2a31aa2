#pragma once
// Planar 4:2:0 to packed RGB: the formulas, the reference and the faster row kernels.
//
// The source's matrix and range give five integer factors (HPixelCoefficientsOf) with 13
// fractional bits and a bias. For each pixel, in integers, with ">> n" an arithmetic shift
// (floor of a division by 2^n), d_u = U - 128, d_v = V - 128 and every result clamped to 0..255:
//     y' = (Y * cy) >> 8
//     R  = (y' + ((d_v * crv) >> 8) + bias) >> 5
//     G  = (y' - ((d_u * cgu) >> 8) - ((d_v * cgv) >> 8) + bias) >> 5
//     B  = (y' + ((d_u * cbu) >> 8) + bias) >> 5
// so every term carries 5 fractional bits, and bias holds the range's black level and the
// rounding of the last shift. Pixel (x, r) takes Y[r][x] and the chroma samples U[r/2][x/2],
// V[r/2][x/2]. Bottom-up formats store picture row r at destination row height-1-r. The 16-bit
// formats keep the top 5 (or 6, green of 5-6-5) bits of each component.
//
// The reference walks pixel by pixel through the format's writer and is what every faster path
// must reproduce byte for byte. The faster paths work on pairs of rows that share one chroma
// row, so the chroma terms can be computed once per 2x2 block (the 32-bit AVX2 kernels compute
// them per row instead, to write the two rows one after the other). Every step maps onto one
// 16-bit vector operation: (Y * cy) >> 8 is the unsigned high half of (Y << 8) * cy,
// (d * c) >> 8 the signed high half of (d << 8) * c (|d << 8| <= 32768, c < 32768), and no sum
// leaves the signed 16-bit range (|y' + terms| < 2^14 for factors below 2.2).

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
                     uint32_t dstStride, CHYUVColour colour);

namespace HPixelDetail {

struct Coefficients {
    int cy;    // luma scale, 2^13 = 1.0
    int crv;   // V into red
    int cgu;   // U out of green
    int cgv;   // V out of green
    int cbu;   // U into blue
    int bias;  // black level and rounding, 5 fractional bits
};

// The factors of a colour; they follow from the matrix's luma weights (Kr, Kb) and the range.
const Coefficients& CoefficientsOf(CHYUVColour colour);

// Converts two picture rows that share one chroma row (y1/d1 may repeat y0/d0 for a last odd
// row). width > 0; every pointer covers the row it is given.
using RowPairFn = void (*)(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v,
                           uint8_t* d0, uint8_t* d1, uint32_t width, const Coefficients& k);

// Row kernels of the top-down formats 1..6 (index 1..6); null when the path has none.
RowPairFn PortableRowPair(uint32_t baseFormat);
RowPairFn Avx2RowPair(uint32_t baseFormat);
bool CpuHasAvx2();

// The bias is folded into each term, so a pixel needs only its scaled luma added.
struct ChromaTerms {
    int r;  // added to y' for red
    int g;  // subtracted from y' for green
    int b;  // added to y' for blue
};

inline ChromaTerms ComputeChroma(int u, int v, const Coefficients& k) {
    const int du = u - 128;
    const int dv = v - 128;
    return {((dv * k.crv) >> 8) + k.bias, ((du * k.cgu) >> 8) + ((dv * k.cgv) >> 8) - k.bias,
            ((du * k.cbu) >> 8) + k.bias};
}

inline int ScaleLuma(int y, const Coefficients& k) {
    return (y * k.cy) >> 8;
}

inline uint8_t Clamp255(int value) {
    return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

// One component from a scaled luma and its chroma term (5 fractional bits).
inline uint8_t Component(int sum) {
    return Clamp255(sum >> 5);
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
                          uint8_t* d0, uint8_t* d1, uint32_t x, uint32_t width,
                          const Coefficients& k) {
    constexpr uint32_t bpp = kBytesOf<F>;
    for (; x < width; ++x) {
        const ChromaTerms c = ComputeChroma(u[x >> 1], v[x >> 1], k);
        const int ya = ScaleLuma(y0[x], k);
        const int yb = ScaleLuma(y1[x], k);
        StorePixel<F>(d0 + x * bpp, Component(ya + c.r), Component(ya - c.g), Component(ya + c.b));
        StorePixel<F>(d1 + x * bpp, Component(yb + c.r), Component(yb - c.g), Component(yb + c.b));
    }
}

}  // namespace HPixelDetail
}  // namespace BRIXEL
