// The remap kernel with 256-bit vectors, 16 x 2 pixels (eight chroma blocks) per step: the same
// integers as the plain version (kernel.h), with 32-bit lanes throughout. Each of the two plane
// rows a pixel needs is fetched with one gather of four bytes: the upper row from the wanted
// pair on (its last two bytes may run into the next row, which exists, since a position always
// has a lower neighbour), the lower row from two bytes before the pair (which may reach back
// into the row above), so no fetch leaves the plane and the pair sits at a fixed place.
// Only functions marked DEWARP_AVX2 use AVX2 and they run only after the CPU check.

#include "base/hpixel_kernels.h"
#include "dewarp/kernel.h"

#if defined(__x86_64__)
#include <immintrin.h>

#define DEWARP_AVX2 __attribute__((target("avx2")))

namespace DEWARP::KernelDetail {

namespace {

struct PlaneVec {
    const int* base;
    __m256i stride;
};

// Bilinear value of eight pixels at positions (x, y), each already clamped.
DEWARP_AVX2 inline __m256i Sample(const PlaneVec& p, __m256i x, __m256i y) {
    const __m256i mask8 = _mm256_set1_epi32(0xFF);
    const __m256i x0 = _mm256_srai_epi32(x, kCoordBits);
    const __m256i y0 = _mm256_srai_epi32(y, kCoordBits);
    const __m256i wx = _mm256_and_si256(x, _mm256_set1_epi32(kCoordOne - 1));
    const __m256i wy = _mm256_and_si256(y, _mm256_set1_epi32(kCoordOne - 1));
    const __m256i off0 = _mm256_add_epi32(_mm256_mullo_epi32(y0, p.stride), x0);
    const __m256i off1 = _mm256_sub_epi32(_mm256_add_epi32(off0, p.stride), _mm256_set1_epi32(2));
    const __m256i g0 = _mm256_i32gather_epi32(p.base, off0, 1);
    const __m256i g1 = _mm256_i32gather_epi32(p.base, off1, 1);
    const __m256i a0 = _mm256_and_si256(g0, mask8);
    const __m256i b0 = _mm256_and_si256(_mm256_srli_epi32(g0, 8), mask8);
    const __m256i a1 = _mm256_and_si256(_mm256_srli_epi32(g1, 16), mask8);
    const __m256i b1 = _mm256_srli_epi32(g1, 24);
    const __m256i top = _mm256_add_epi32(_mm256_slli_epi32(a0, 8),
                                         _mm256_mullo_epi32(_mm256_sub_epi32(b0, a0), wx));
    const __m256i bot = _mm256_add_epi32(_mm256_slli_epi32(a1, 8),
                                         _mm256_mullo_epi32(_mm256_sub_epi32(b1, a1), wx));
    const __m256i sum = _mm256_add_epi32(_mm256_slli_epi32(top, 8),
                                         _mm256_mullo_epi32(_mm256_sub_epi32(bot, top), wy));
    return _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(32768)), 16);
}

DEWARP_AVX2 inline __m256i Clamp255(__m256i v) {
    return _mm256_min_epi32(_mm256_max_epi32(v, _mm256_setzero_si256()), _mm256_set1_epi32(255));
}

DEWARP_AVX2 inline __m256i Load(const int32_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

DEWARP_AVX2 inline void Store(uint32_t* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

// Even and odd lanes of two vectors of consecutive columns: the blocks' left and right pixels.
DEWARP_AVX2 inline void SplitColumns(__m256i a, __m256i b, __m256i& even, __m256i& odd) {
    const __m256i order = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    const __m256i ap = _mm256_permutevar8x32_epi32(a, order);
    const __m256i bp = _mm256_permutevar8x32_epi32(b, order);
    even = _mm256_permute2x128_si256(ap, bp, 0x20);
    odd = _mm256_permute2x128_si256(ap, bp, 0x31);
}

struct Terms {
    __m256i r, g, b;  // per pixel, bias folded in
};

// Eight pixels with their chroma terms: the BGRX words, the background where nothing is drawn.
DEWARP_AVX2 inline __m256i Pixels(const PlaneVec& py, __m256i x, __m256i y, const Terms& t,
                                  __m256i cy, __m256i bg) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i none = _mm256_cmpgt_epi32(zero, x);
    const __m256i yv = Sample(py, _mm256_max_epi32(x, zero), _mm256_max_epi32(y, zero));
    const __m256i yp = _mm256_srai_epi32(_mm256_mullo_epi32(yv, cy), 8);
    const __m256i r = Clamp255(_mm256_srai_epi32(_mm256_add_epi32(yp, t.r), 5));
    const __m256i g = Clamp255(_mm256_srai_epi32(_mm256_sub_epi32(yp, t.g), 5));
    const __m256i b = Clamp255(_mm256_srai_epi32(_mm256_add_epi32(yp, t.b), 5));
    const __m256i px =
        _mm256_or_si256(b, _mm256_or_si256(_mm256_slli_epi32(g, 8), _mm256_slli_epi32(r, 16)));
    return _mm256_blendv_epi8(px, bg, none);
}

}  // namespace

DEWARP_AVX2 uint32_t Avx2Pair(const RowPair& rows, uint32_t x0, uint32_t x1, const YuvPicture& pic,
                              uint32_t background) {
    const BRIXEL::HPixelDetail::Coefficients& k = BRIXEL::HPixelDetail::CoefficientsOf(pic.colour);
    const int32_t cw = static_cast<int32_t>((pic.width + 1) / 2);
    const int32_t ch = static_cast<int32_t>((pic.height + 1) / 2);
    const PlaneVec py{reinterpret_cast<const int*>(pic.y),
                      _mm256_set1_epi32(static_cast<int>(pic.strideY))};
    const PlaneVec pu{reinterpret_cast<const int*>(pic.u),
                      _mm256_set1_epi32(static_cast<int>(pic.strideUV))};
    PlaneVec pv = pu;
    pv.base = reinterpret_cast<const int*>(pic.v);
    const __m256i cmaxX = _mm256_set1_epi32((cw - 1) * kCoordOne - 1);
    const __m256i cmaxY = _mm256_set1_epi32((ch - 1) * kCoordOne - 1);
    const __m256i bg = _mm256_set1_epi32(static_cast<int>(background));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i minusOne = _mm256_set1_epi32(-1);
    const __m256i quarter = _mm256_set1_epi32(kCoordOne / 4);
    const __m256i c128 = _mm256_set1_epi32(128);
    const __m256i cy = _mm256_set1_epi32(k.cy), crv = _mm256_set1_epi32(k.crv);
    const __m256i cgu = _mm256_set1_epi32(k.cgu), cgv = _mm256_set1_epi32(k.cgv);
    const __m256i cbu = _mm256_set1_epi32(k.cbu), bias = _mm256_set1_epi32(k.bias);
    const __m256i lowHalf = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
    const __m256i highHalf = _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7);
    uint32_t c = x0;
    for (; c + 16 <= x1; c += 16) {
        const __m256i xa0 = Load(rows.x0 + c), xb0 = Load(rows.x0 + c + 8);
        const __m256i xa1 = Load(rows.x1 + c), xb1 = Load(rows.x1 + c + 8);
        const __m256i anyDrawn =
            _mm256_and_si256(_mm256_and_si256(xa0, xb0), _mm256_and_si256(xa1, xb1));
        if (_mm256_movemask_ps(_mm256_castsi256_ps(anyDrawn)) == 0xFF) {
            // Every sign bit set: nothing drawn in the 16 x 2 pixels.
            Store(rows.out0 + c, bg);
            Store(rows.out0 + c + 8, bg);
            Store(rows.out1 + c, bg);
            Store(rows.out1 + c + 8, bg);
            continue;
        }
        const __m256i ya0 = Load(rows.y0 + c), yb0 = Load(rows.y0 + c + 8);
        const __m256i ya1 = Load(rows.y1 + c), yb1 = Load(rows.y1 + c + 8);
        // The block's first drawn pixel: top-left, top-right, bottom-left, bottom-right.
        __m256i ex[4], ey[4];
        SplitColumns(xa0, xb0, ex[0], ex[1]);
        SplitColumns(ya0, yb0, ey[0], ey[1]);
        SplitColumns(xa1, xb1, ex[2], ex[3]);
        SplitColumns(ya1, yb1, ey[2], ey[3]);
        __m256i sx = ex[3], sy = ey[3];
        for (int i = 2; i >= 0; --i) {
            const __m256i drawn = _mm256_cmpgt_epi32(ex[i], minusOne);
            sx = _mm256_blendv_epi8(sx, ex[i], drawn);
            sy = _mm256_blendv_epi8(sy, ey[i], drawn);
        }
        const __m256i cx = _mm256_min_epi32(
            _mm256_max_epi32(
                _mm256_sub_epi32(_mm256_srai_epi32(_mm256_max_epi32(sx, zero), 1), quarter), zero),
            cmaxX);
        const __m256i cyy = _mm256_min_epi32(
            _mm256_max_epi32(
                _mm256_sub_epi32(_mm256_srai_epi32(_mm256_max_epi32(sy, zero), 1), quarter), zero),
            cmaxY);
        const __m256i du = _mm256_sub_epi32(Sample(pu, cx, cyy), c128);
        const __m256i dv = _mm256_sub_epi32(Sample(pv, cx, cyy), c128);
        const __m256i tr =
            _mm256_add_epi32(_mm256_srai_epi32(_mm256_mullo_epi32(dv, crv), 8), bias);
        const __m256i tg =
            _mm256_sub_epi32(_mm256_add_epi32(_mm256_srai_epi32(_mm256_mullo_epi32(du, cgu), 8),
                                              _mm256_srai_epi32(_mm256_mullo_epi32(dv, cgv), 8)),
                             bias);
        const __m256i tb =
            _mm256_add_epi32(_mm256_srai_epi32(_mm256_mullo_epi32(du, cbu), 8), bias);
        const Terms lo{_mm256_permutevar8x32_epi32(tr, lowHalf),
                       _mm256_permutevar8x32_epi32(tg, lowHalf),
                       _mm256_permutevar8x32_epi32(tb, lowHalf)};
        const Terms hi{_mm256_permutevar8x32_epi32(tr, highHalf),
                       _mm256_permutevar8x32_epi32(tg, highHalf),
                       _mm256_permutevar8x32_epi32(tb, highHalf)};
        // The second row goes first: for a last odd row out1 is out0, and the first row's
        // pixels must be the ones that stay.
        Store(rows.out1 + c, Pixels(py, xa1, ya1, lo, cy, bg));
        Store(rows.out1 + c + 8, Pixels(py, xb1, yb1, hi, cy, bg));
        Store(rows.out0 + c, Pixels(py, xa0, ya0, lo, cy, bg));
        Store(rows.out0 + c + 8, Pixels(py, xb0, yb0, hi, cy, bg));
    }
    return c - x0;
}

bool CpuHasAvx2() {
    static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    return has;
}

}  // namespace DEWARP::KernelDetail

#else

namespace DEWARP::KernelDetail {
uint32_t Avx2Span(const int32_t*, const int32_t*, uint32_t, uint32_t, const YuvPicture&, uint32_t*,
                  uint32_t) {
    return 0;
}
bool CpuHasAvx2() {
    return false;
}
}  // namespace DEWARP::KernelDetail

#endif
