// Planar 4:2:0 to the 32-bit formats (1 and 3) with 512-bit vectors, 64 pixels of two rows per
// step; the rest of a row and the other formats go to the 256-bit kernels.
//
// The arithmetic is the 16-bit split of hpixel_kernels.h. As in the 256-bit kernel, the luma
// bytes and the chroma words are first moved so that the lane-wise unpacks of the final
// interleave produce whole pixels in order: here that move is a 4 x 4 transpose of dwords
// (dword 4i + j takes dword 4j + i), because each 128-bit lane i of the four stores must hold
// pixels 16k + 4i .. 16k + 4i + 3.

#include "base/hpixel_kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#define HPIXEL_AVX512 __attribute__((target("avx512f,avx512bw")))

namespace BRIXEL {
namespace {

struct Terms512 {
    __m512i rLo, rHi, gLo, gHi, bLo, bHi;
};

HPIXEL_AVX512 inline __m512i Transposed(__m512i v) {
    // The zero-masking form: the plain one trips GCC 12's maybe-uninitialized warning.
    return _mm512_maskz_permutexvar_epi32(
        0xFFFF, _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15), v);
}

template <uint32_t F>
HPIXEL_AVX512 inline void ConvertRow64(const uint8_t* y, uint8_t* d, const Terms512& c) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i luma = Transposed(_mm512_loadu_si512(y));
    const __m512i yLo = _mm512_unpacklo_epi8(luma, zero);
    const __m512i yHi = _mm512_unpackhi_epi8(luma, zero);
    const __m512i r = _mm512_packus_epi16(_mm512_add_epi16(yLo, c.rLo), _mm512_add_epi16(yHi, c.rHi));
    const __m512i g = _mm512_packus_epi16(_mm512_sub_epi16(yLo, c.gLo), _mm512_sub_epi16(yHi, c.gHi));
    const __m512i b = _mm512_packus_epi16(_mm512_add_epi16(yLo, c.bLo), _mm512_add_epi16(yHi, c.bHi));
    const __m512i first = F == 3 ? b : r;
    const __m512i third = F == 3 ? r : b;
    const __m512i aLo = _mm512_unpacklo_epi8(first, g);
    const __m512i aHi = _mm512_unpackhi_epi8(first, g);
    const __m512i bLo = _mm512_unpacklo_epi8(third, zero);
    const __m512i bHi = _mm512_unpackhi_epi8(third, zero);
    _mm512_storeu_si512(d, _mm512_unpacklo_epi16(aLo, bLo));        // pixels 0..15
    _mm512_storeu_si512(d + 64, _mm512_unpackhi_epi16(aLo, bLo));   // 16..31
    _mm512_storeu_si512(d + 128, _mm512_unpacklo_epi16(aHi, bHi));  // 32..47
    _mm512_storeu_si512(d + 192, _mm512_unpackhi_epi16(aHi, bHi));  // 48..63
}

template <uint32_t F>
HPIXEL_AVX512 void Avx512Kernel(const uint8_t* y0, const uint8_t* y1, const uint8_t* u,
                                const uint8_t* v, uint8_t* d0, uint8_t* d1, uint32_t width) {
    static_assert(F == 1 || F == 3, "512-bit kernels exist for the 32-bit formats only");
    const __m512i k128 = _mm512_set1_epi16(128);
    const __m512i kRed = _mm512_set1_epi16(104 * 256);
    const __m512i kBlue = _mm512_set1_epi16(-57 * 256);
    const __m512i kGreenU = _mm512_set1_epi16(88);
    const __m512i kGreenV = _mm512_set1_epi16(72);
    uint32_t x = 0;
    for (; x + 64 <= width; x += 64) {
        const __m512i du = Transposed(_mm512_sub_epi16(
            _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(u + x / 2))),
            k128));
        const __m512i dv = Transposed(_mm512_sub_epi16(
            _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + x / 2))),
            k128));
        const __m512i rt = _mm512_add_epi16(dv, _mm512_mulhi_epi16(dv, kRed));
        const __m512i bt = _mm512_add_epi16(_mm512_add_epi16(du, du), _mm512_mulhi_epi16(du, kBlue));
        const __m512i gt = _mm512_add_epi16(
            dv, _mm512_srai_epi16(_mm512_sub_epi16(_mm512_mullo_epi16(du, kGreenU),
                                                   _mm512_mullo_epi16(dv, kGreenV)),
                                  8));
        const Terms512 c = {_mm512_unpacklo_epi16(rt, rt), _mm512_unpackhi_epi16(rt, rt),
                            _mm512_unpacklo_epi16(gt, gt), _mm512_unpackhi_epi16(gt, gt),
                            _mm512_unpacklo_epi16(bt, bt), _mm512_unpackhi_epi16(bt, bt)};
        ConvertRow64<F>(y0 + x, d0 + static_cast<size_t>(x) * 4, c);
        ConvertRow64<F>(y1 + x, d1 + static_cast<size_t>(x) * 4, c);
    }
    if (x < width) {
        // x is even, so the chroma of the rest starts at x / 2.
        HPixelDetail::Avx2RowPair(F)(y0 + x, y1 + x, u + x / 2, v + x / 2,
                                     d0 + static_cast<size_t>(x) * 4,
                                     d1 + static_cast<size_t>(x) * 4, width - x);
    }
}

}  // namespace

namespace HPixelDetail {

bool CpuHasAvx512() {
    static const bool has = CpuHasAvx2() && __builtin_cpu_supports("avx512f") &&
                            __builtin_cpu_supports("avx512bw");
    return has;
}

RowPairFn Avx512RowPair(uint32_t baseFormat) {
    switch (baseFormat) {
        case 1: return &Avx512Kernel<1>;
        case 3: return &Avx512Kernel<3>;
        default: return Avx2RowPair(baseFormat);
    }
}

}  // namespace HPixelDetail
}  // namespace BRIXEL

#else  // not x86

namespace BRIXEL::HPixelDetail {
bool CpuHasAvx512() { return false; }
RowPairFn Avx512RowPair(uint32_t) { return nullptr; }
}  // namespace BRIXEL::HPixelDetail

#endif
