// Planar 4:2:0 to packed RGB: argument checks, the per-pixel reference and the row-pair driver.

#include <quorixsdk_codes.h>

#include "base/hpixel_kernels.h"

namespace BRIXEL {
namespace {

using HPixelDetail::ChromaTerms;
using HPixelDetail::Coefficients;
using HPixelDetail::Component;
using HPixelDetail::ComputeChroma;
using HPixelDetail::RowPairFn;
using HPixelDetail::ScaleLuma;
using HPixelDetail::StorePixel;

// The exact factors: luma weights Kr and Kb of the matrix; limited range stretches Y by
// 255/219 around 16 and U, V by 255/224.
struct Exact {
    double y, rv, gu, gv, bu, black;
};

constexpr Exact ExactOf(CHYUVColour colour) {
    const double kr = HYUVIsBT709(colour) ? 0.2126 : 0.299;
    const double kb = HYUVIsBT709(colour) ? 0.0722 : 0.114;
    const double kg = 1.0 - kr - kb;
    const bool full = HYUVIsFullRange(colour);
    const double ys = full ? 1.0 : 255.0 / 219.0;
    const double cs = full ? 1.0 : 255.0 / 224.0;
    return {ys,
            2.0 * (1.0 - kr) * cs,
            2.0 * kb * (1.0 - kb) / kg * cs,
            2.0 * kr * (1.0 - kr) / kg * cs,
            2.0 * (1.0 - kb) * cs,
            full ? 0.0 : 16.0};
}

constexpr int Round(double value) {
    return static_cast<int>(value < 0 ? value - 0.5 : value + 0.5);
}

constexpr Coefficients FixedOf(CHYUVColour colour) {
    const Exact e = ExactOf(colour);
    const double one = 8192.0;
    return {Round(e.y * one),  Round(e.rv * one), Round(e.gu * one),
            Round(e.gv * one), Round(e.bu * one), 16 - Round(e.black * e.y * 32.0)};
}

constexpr Coefficients kCoefficients[4] = {FixedOf(HYUV_BT601_LIMITED), FixedOf(HYUV_BT601_FULL),
                                           FixedOf(HYUV_BT709_LIMITED), FixedOf(HYUV_BT709_FULL)};
// The vector paths hold every factor in a signed 16-bit lane.
static_assert(kCoefficients[HYUV_BT709_LIMITED].cbu < 32768);
static_assert(kCoefficients[HYUV_BT601_LIMITED].cy < 32768);

// The writer of a format stores one pixel and answers where the next one goes.
using PixelWriter = uint8_t* (*)(uint8_t* p, uint8_t r, uint8_t g, uint8_t b);

template <uint32_t F>
uint8_t* WritePixel(uint8_t* p, uint8_t r, uint8_t g, uint8_t b) {
    StorePixel<F>(p, r, g, b);
    return p + HPixelDetail::kBytesOf<F>;
}

PixelWriter WriterOf(uint32_t baseFormat) {
    switch (baseFormat) {
        case 1:
            return &WritePixel<1>;
        case 2:
            return &WritePixel<2>;
        case 3:
            return &WritePixel<3>;
        case 4:
            return &WritePixel<4>;
        case 5:
            return &WritePixel<5>;
        case 6:
            return &WritePixel<6>;
        default:
            return nullptr;
    }
}

void ReferenceToRGB(uint32_t baseFormat, bool bottomUp, const uint8_t* srcY, const uint8_t* srcU,
                    const uint8_t* srcV, uint32_t strideY, uint32_t strideUV, uint32_t width,
                    uint32_t height, uint8_t* dst, uint32_t dstStride, const Coefficients& k) {
    const PixelWriter write = WriterOf(baseFormat);
    for (uint32_t row = 0; row < height; ++row) {
        const uint32_t r = bottomUp ? height - 1 - row : row;
        const uint8_t* y = srcY + static_cast<size_t>(r) * strideY;
        const uint8_t* u = srcU + static_cast<size_t>(r / 2) * strideUV;
        const uint8_t* v = srcV + static_cast<size_t>(r / 2) * strideUV;
        uint8_t* p = dst + static_cast<size_t>(row) * dstStride;
        for (uint32_t x = 0; x < width; ++x) {
            const ChromaTerms c = ComputeChroma(u[x / 2], v[x / 2], k);
            const int luma = ScaleLuma(y[x], k);
            p = write(p, Component(luma + c.r), Component(luma - c.g), Component(luma + c.b));
        }
    }
}

template <uint32_t F>
void PortableKernel(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v,
                    uint8_t* d0, uint8_t* d1, uint32_t width, const Coefficients& k) {
    constexpr uint32_t bpp = HPixelDetail::kBytesOf<F>;
    uint32_t x = 0;
    // One chroma sample serves a 2x2 block.
    for (; x + 2 <= width; x += 2) {
        const ChromaTerms c = ComputeChroma(u[x >> 1], v[x >> 1], k);
        const int a0 = ScaleLuma(y0[x], k), a1 = ScaleLuma(y0[x + 1], k);
        const int b0 = ScaleLuma(y1[x], k), b1 = ScaleLuma(y1[x + 1], k);
        StorePixel<F>(d0 + x * bpp, Component(a0 + c.r), Component(a0 - c.g), Component(a0 + c.b));
        StorePixel<F>(d0 + (x + 1) * bpp, Component(a1 + c.r), Component(a1 - c.g),
                      Component(a1 + c.b));
        StorePixel<F>(d1 + x * bpp, Component(b0 + c.r), Component(b0 - c.g), Component(b0 + c.b));
        StorePixel<F>(d1 + (x + 1) * bpp, Component(b1 + c.r), Component(b1 - c.g),
                      Component(b1 + c.b));
    }
    HPixelDetail::RowPairScalar<F>(y0, y1, u, v, d0, d1, x, width, k);
}

void RowPairsToRGB(RowPairFn kernel, bool bottomUp, const uint8_t* srcY, const uint8_t* srcU,
                   const uint8_t* srcV, uint32_t strideY, uint32_t strideUV, uint32_t width,
                   uint32_t height, uint8_t* dst, uint32_t dstStride, const Coefficients& k) {
    auto dstRow = [&](uint32_t r) {
        return dst + static_cast<size_t>(bottomUp ? height - 1 - r : r) * dstStride;
    };
    for (uint32_t r = 0; r < height; r += 2) {
        // A last odd row is converted as its own pair.
        const uint32_t r1 = (r + 1 < height) ? r + 1 : r;
        kernel(srcY + static_cast<size_t>(r) * strideY, srcY + static_cast<size_t>(r1) * strideY,
               srcU + static_cast<size_t>(r / 2) * strideUV,
               srcV + static_cast<size_t>(r / 2) * strideUV, dstRow(r), dstRow(r1), width, k);
    }
}

}  // namespace

namespace HPixelDetail {

const Coefficients& CoefficientsOf(CHYUVColour colour) {
    return kCoefficients[HYUVSanitize(colour)];
}

RowPairFn PortableRowPair(uint32_t baseFormat) {
    switch (baseFormat) {
        case 1:
            return &PortableKernel<1>;
        case 2:
            return &PortableKernel<2>;
        case 3:
            return &PortableKernel<3>;
        case 4:
            return &PortableKernel<4>;
        case 5:
            return &PortableKernel<5>;
        case 6:
            return &PortableKernel<6>;
        default:
            return nullptr;
    }
}

}  // namespace HPixelDetail

CHYUVMatrix HYUVToRGBMatrix(CHYUVColour colour) {
    const Exact e = ExactOf(HYUVSanitize(colour));
    const auto f = [](double value) { return static_cast<float>(value); };
    return {{f(e.y), 0.0f, f(e.rv), f(e.y), f(-e.gu), f(-e.gv), f(e.y), f(e.bu), 0.0f},
            {f(e.black / 255.0), f(128.0 / 255.0), f(128.0 / 255.0)}};
}

bool HPixelPathAvailable(HPixelPath path) {
    switch (path) {
        case HPixelPath::Reference:
        case HPixelPath::Portable:
            return true;
        case HPixelPath::Avx2:
            return HPixelDetail::CpuHasAvx2();
    }
    return false;
}

HPixelPath HPixelBestPath() {
    // 512-bit vectors were tried for the 32-bit formats: no faster than these on whole
    // pictures, where the stores, not the arithmetic, set the pace.
    static const HPixelPath best =
        HPixelDetail::CpuHasAvx2() ? HPixelPath::Avx2 : HPixelPath::Portable;
    return best;
}

uint32_t HPixelToRGB(HPixelPath path, CHPixelFormat format, const uint8_t* srcY,
                     const uint8_t* srcU, const uint8_t* srcV, uint32_t strideY, uint32_t strideUV,
                     uint32_t width, uint32_t height, uint8_t* dst, uint32_t dstSize,
                     uint32_t dstStride, CHYUVColour colour) {
    if (srcY == nullptr || srcU == nullptr || srcV == nullptr || dst == nullptr || width == 0 ||
        height == 0 || strideY < width) {
        return QUORIX_E_PARAM;
    }
    const uint32_t bpp = HPixelRGBBytes(format);
    if (bpp == 0) {
        return QUORIX_E_PARAM;
    }
    if (static_cast<uint64_t>(dstStride) < static_cast<uint64_t>(bpp) * width) {
        return QUORIX_E_PARAM;
    }
    if (static_cast<uint64_t>(height) * dstStride > dstSize) {
        return QUORIX_E_BUFFER_TOO_SMALL;
    }
    if (!HPixelPathAvailable(path)) {
        return QUORIX_E_NOT_IMPL;
    }
    const bool bottomUp = HPixelIsBottomUp(format);
    const uint32_t baseFormat = bottomUp ? format - 10 : format;
    const Coefficients& k = HPixelDetail::CoefficientsOf(colour);
    if (path == HPixelPath::Reference) {
        ReferenceToRGB(baseFormat, bottomUp, srcY, srcU, srcV, strideY, strideUV, width, height,
                       dst, dstStride, k);
        return QUORIX_OK;
    }
    RowPairFn kernel = path == HPixelPath::Avx2 ? HPixelDetail::Avx2RowPair(baseFormat)
                                                : HPixelDetail::PortableRowPair(baseFormat);
    RowPairsToRGB(kernel, bottomUp, srcY, srcU, srcV, strideY, strideUV, width, height, dst,
                  dstStride, k);
    return QUORIX_OK;
}

}  // namespace BRIXEL
