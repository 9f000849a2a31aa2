// The remap kernel with 256-bit vectors, eight pixels per step: the same integers as the plain
// version (kernel.h), with 32-bit lanes throughout. Each plane row is fetched with one gather
// of four bytes per pixel from a window that starts at most three bytes before the wanted pair
// and never passes the row's last byte; a variable shift then picks the pair out of it.
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
    __m256i lastWindow;  // width - 4: the right-most window start
    __m256i maxX, maxY;  // clamps of the positions (1/256 pixels)
};

// Bilinear value of eight pixels at positions (x, y), each already clamped.
DEWARP_AVX2 inline __m256i Sample(const PlaneVec& p, __m256i x, __m256i y) {
    const __m256i mask8 = _mm256_set1_epi32(0xFF);
    const __m256i x0 = _mm256_srai_epi32(x, kCoordBits);
    const __m256i y0 = _mm256_srai_epi32(y, kCoordBits);
    const __m256i wx = _mm256_and_si256(x, _mm256_set1_epi32(kCoordOne - 1));
    const __m256i wy = _mm256_and_si256(y, _mm256_set1_epi32(kCoordOne - 1));
    const __m256i start = _mm256_min_epi32(x0, p.lastWindow);
    const __m256i shift = _mm256_slli_epi32(_mm256_sub_epi32(x0, start), 3);
    const __m256i shift1 = _mm256_add_epi32(shift, _mm256_set1_epi32(8));
    const __m256i off0 = _mm256_add_epi32(_mm256_mullo_epi32(y0, p.stride), start);
    const __m256i off1 = _mm256_add_epi32(off0, p.stride);
    const __m256i g0 = _mm256_i32gather_epi32(p.base, off0, 1);
    const __m256i g1 = _mm256_i32gather_epi32(p.base, off1, 1);
    const __m256i a0 = _mm256_and_si256(_mm256_srlv_epi32(g0, shift), mask8);
    const __m256i b0 = _mm256_and_si256(_mm256_srlv_epi32(g0, shift1), mask8);
    const __m256i a1 = _mm256_and_si256(_mm256_srlv_epi32(g1, shift), mask8);
    const __m256i b1 = _mm256_and_si256(_mm256_srlv_epi32(g1, shift1), mask8);
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

}  // namespace

DEWARP_AVX2 uint32_t Avx2Span(const int32_t* tx, const int32_t* ty, uint32_t x0, uint32_t x1,
                              const YuvPicture& pic, uint32_t* out, uint32_t background) {
    const BRIXEL::HPixelDetail::Coefficients& k = BRIXEL::HPixelDetail::CoefficientsOf(pic.colour);
    const int32_t cw = static_cast<int32_t>((pic.width + 1) / 2);
    const int32_t ch = static_cast<int32_t>((pic.height + 1) / 2);
    PlaneVec py{reinterpret_cast<const int*>(pic.y),
                _mm256_set1_epi32(static_cast<int>(pic.strideY)),
                _mm256_set1_epi32(static_cast<int>(pic.width) - 4), _mm256_setzero_si256(),
                _mm256_setzero_si256()};
    PlaneVec pu{reinterpret_cast<const int*>(pic.u),
                _mm256_set1_epi32(static_cast<int>(pic.strideUV)), _mm256_set1_epi32(cw - 4),
                _mm256_set1_epi32((cw - 1) * kCoordOne - 1),
                _mm256_set1_epi32((ch - 1) * kCoordOne - 1)};
    PlaneVec pv = pu;
    pv.base = reinterpret_cast<const int*>(pic.v);
    const __m256i bg = _mm256_set1_epi32(static_cast<int>(background));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i quarter = _mm256_set1_epi32(kCoordOne / 4);
    const __m256i c128 = _mm256_set1_epi32(128);
    const __m256i cy = _mm256_set1_epi32(k.cy), crv = _mm256_set1_epi32(k.crv);
    const __m256i cgu = _mm256_set1_epi32(k.cgu), cgv = _mm256_set1_epi32(k.cgv);
    const __m256i cbu = _mm256_set1_epi32(k.cbu), bias = _mm256_set1_epi32(k.bias);
    uint32_t i = x0;
    for (; i + 8 <= x1; i += 8) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tx + i));
        const __m256i none = _mm256_cmpgt_epi32(zero, x);
        const int noneMask = _mm256_movemask_ps(_mm256_castsi256_ps(none));
        if (noneMask == 0xFF) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bg);
            continue;
        }
        // Lanes with nothing drawn sample the first pixel and are replaced at the end.
        const __m256i xs = _mm256_max_epi32(x, zero);
        const __m256i ys =
            _mm256_max_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(ty + i)), zero);
        const __m256i yv = Sample(py, xs, ys);
        const __m256i cx = _mm256_min_epi32(
            _mm256_max_epi32(_mm256_sub_epi32(_mm256_srai_epi32(xs, 1), quarter), zero), pu.maxX);
        const __m256i cyy = _mm256_min_epi32(
            _mm256_max_epi32(_mm256_sub_epi32(_mm256_srai_epi32(ys, 1), quarter), zero), pu.maxY);
        const __m256i du = _mm256_sub_epi32(Sample(pu, cx, cyy), c128);
        const __m256i dv = _mm256_sub_epi32(Sample(pv, cx, cyy), c128);
        const __m256i yp = _mm256_srai_epi32(_mm256_mullo_epi32(yv, cy), 8);
        const __m256i tr =
            _mm256_add_epi32(_mm256_srai_epi32(_mm256_mullo_epi32(dv, crv), 8), bias);
        const __m256i tg =
            _mm256_sub_epi32(_mm256_add_epi32(_mm256_srai_epi32(_mm256_mullo_epi32(du, cgu), 8),
                                              _mm256_srai_epi32(_mm256_mullo_epi32(dv, cgv), 8)),
                             bias);
        const __m256i tb =
            _mm256_add_epi32(_mm256_srai_epi32(_mm256_mullo_epi32(du, cbu), 8), bias);
        const __m256i r = Clamp255(_mm256_srai_epi32(_mm256_add_epi32(yp, tr), 5));
        const __m256i g = Clamp255(_mm256_srai_epi32(_mm256_sub_epi32(yp, tg), 5));
        const __m256i b = Clamp255(_mm256_srai_epi32(_mm256_add_epi32(yp, tb), 5));
        const __m256i px =
            _mm256_or_si256(b, _mm256_or_si256(_mm256_slli_epi32(g, 8), _mm256_slli_epi32(r, 16)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_blendv_epi8(px, bg, none));
    }
    return i - x0;
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
