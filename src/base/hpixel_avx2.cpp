// Planar 4:2:0 to packed RGB with 256-bit vectors, 32 pixels per step.
//
// Only the functions marked HPIXEL_AVX2 use AVX2 instructions, and they are reached only after
// the CPU check, so the rest of the library still runs on any x86-64. The arithmetic is the
// 16-bit form of hpixel_kernels.h; packus_epi16 (or min/max or saturating adds on words)
// performs the clamp to 0..255.

#include "base/hpixel_kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#define HPIXEL_AVX2 __attribute__((target("avx2")))

namespace BRIXEL {
namespace {

using HPixelDetail::Coefficients;
using HPixelDetail::kBytesOf;

// Chroma terms per pixel, in the lane order that unpacklo/unpackhi give the Y bytes (in pixel
// order: lo holds pixels 0..7 and 16..23, hi holds 8..15 and 24..31; the 32-bit formats reorder
// the Y bytes first, see ToDwordOrder).
struct Terms {
    __m256i rLo, rHi, gLo, gHi, bLo, bHi;
};

// Bytes c0, c1, c2 per pixel for 32 pixels (96 bytes).
HPIXEL_AVX2 inline void StoreTriples(uint8_t* d, __m256i c0, __m256i c1, __m256i c2) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i aLo = _mm256_unpacklo_epi8(c0, c1);
    const __m256i aHi = _mm256_unpackhi_epi8(c0, c1);
    const __m256i bLo = _mm256_unpacklo_epi8(c2, zero);
    const __m256i bHi = _mm256_unpackhi_epi8(c2, zero);
    // Squeeze each group of four 4-byte pixels into the low 12 bytes of its lane (rest zero).
    const __m256i squeeze =
        _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6,
                         8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i q0 = _mm256_shuffle_epi8(_mm256_unpacklo_epi16(aLo, bLo), squeeze);  // 0..3
    const __m256i q1 = _mm256_shuffle_epi8(_mm256_unpackhi_epi16(aLo, bLo), squeeze);  // 4..7
    const __m256i q2 = _mm256_shuffle_epi8(_mm256_unpacklo_epi16(aHi, bHi), squeeze);  // 8..11
    const __m256i q3 = _mm256_shuffle_epi8(_mm256_unpackhi_epi16(aHi, bHi), squeeze);  // 12..15
    // Per lane: output bytes 0..15, 16..31 and 32..47 of its 16 pixels.
    const __m256i o0 = _mm256_or_si256(q0, _mm256_bslli_epi128(q1, 12));
    const __m256i o1 = _mm256_or_si256(_mm256_bsrli_epi128(q1, 4), _mm256_bslli_epi128(q2, 8));
    const __m256i o2 = _mm256_or_si256(_mm256_bsrli_epi128(q2, 8), _mm256_bslli_epi128(q3, 4));
    auto* out = reinterpret_cast<__m256i*>(d);
    _mm256_storeu_si256(out + 0, _mm256_permute2x128_si256(o0, o1, 0x20));
    _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(o2, o0, 0x30));
    _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(o1, o2, 0x31));
}

// 16-bit words for 32 pixels: lo holds pixels 0..7 | 16..23, hi 8..15 | 24..31.
HPIXEL_AVX2 inline void StoreWords(uint8_t* d, __m256i lo, __m256i hi) {
    auto* out = reinterpret_cast<__m256i*>(d);
    _mm256_storeu_si256(out + 0, _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(lo, hi, 0x31));
}

template <uint32_t F>
HPIXEL_AVX2 inline __m256i PackWord(__m256i r, __m256i g, __m256i b) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i max = _mm256_set1_epi16(255);
    r = _mm256_min_epi16(_mm256_max_epi16(r, zero), max);
    g = _mm256_min_epi16(_mm256_max_epi16(g, zero), max);
    b = _mm256_min_epi16(_mm256_max_epi16(b, zero), max);
    const __m256i blue = _mm256_srli_epi16(b, 3);
    if constexpr (F == 5) {
        const __m256i top5 = _mm256_set1_epi16(0xF8);
        return _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(r, top5), 7),
                                               _mm256_slli_epi16(_mm256_and_si256(g, top5), 2)),
                               blue);
    } else {
        return _mm256_or_si256(
            _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(r, _mm256_set1_epi16(0xF8)), 8),
                            _mm256_slli_epi16(_mm256_and_si256(g, _mm256_set1_epi16(0xFC)), 3)),
            blue);
    }
}

// 32 pixels of one row of the 24- and 16-bit formats.
template <uint32_t F>
HPIXEL_AVX2 inline void ConvertRow32(const uint8_t* y, uint8_t* d, const Terms& c, __m256i cy) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i luma = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y));
    // Y in the high byte of each word: the unsigned high half of the product is (Y * cy) >> 8.
    const __m256i yLo = _mm256_mulhi_epu16(_mm256_unpacklo_epi8(zero, luma), cy);
    const __m256i yHi = _mm256_mulhi_epu16(_mm256_unpackhi_epi8(zero, luma), cy);
    const __m256i rLo = _mm256_srai_epi16(_mm256_add_epi16(yLo, c.rLo), 5);
    const __m256i rHi = _mm256_srai_epi16(_mm256_add_epi16(yHi, c.rHi), 5);
    const __m256i gLo = _mm256_srai_epi16(_mm256_sub_epi16(yLo, c.gLo), 5);
    const __m256i gHi = _mm256_srai_epi16(_mm256_sub_epi16(yHi, c.gHi), 5);
    const __m256i bLo = _mm256_srai_epi16(_mm256_add_epi16(yLo, c.bLo), 5);
    const __m256i bHi = _mm256_srai_epi16(_mm256_add_epi16(yHi, c.bHi), 5);
    if constexpr (F <= 4) {
        // packus undoes the lane split of unpacklo/unpackhi: the bytes come out in pixel order.
        const __m256i g = _mm256_packus_epi16(gLo, gHi);
        if constexpr (F == 2) {
            StoreTriples(d, _mm256_packus_epi16(rLo, rHi), g, _mm256_packus_epi16(bLo, bHi));
        } else {
            StoreTriples(d, _mm256_packus_epi16(bLo, bHi), g, _mm256_packus_epi16(rLo, rHi));
        }
    } else {
        StoreWords(d, PackWord<F>(rLo, gLo, bLo), PackWord<F>(rHi, gHi, bHi));
    }
}

// The 32-bit formats take the luma bytes in the dword order 0, 2, 4, 6 | 1, 3, 5, 7 (4 pixels
// per dword), which the lane-wise unpacks of the store turn back into pixel order, so no
// cross-lane shuffle is needed at the end. The other formats take them in pixel order.
template <uint32_t F>
inline constexpr bool kDwordOrder = (F == 1 || F == 3);

HPIXEL_AVX2 inline __m256i ToDwordOrder(__m256i v) {
    return _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
}

// The third byte of a 32-bit pixel (red of format 3, blue of format 1) is stored as a word with
// the zero fourth byte above it, so it is clamped on words: its chroma term carries kSatOffset,
// the signed saturating add then stops every sum of 8192 and more at 32767 (8191 + kSatOffset),
// and the unsigned saturating subtraction of kSatOffset sends negative sums to 0. What is left
// lies in 0..8191 and shifts to 0..255. The offset joins the term through a saturating add as
// well, so even a term above 8191 (no colour has one) would still give 255.
constexpr int kSatOffset = 32767 - 8191;

struct Constants {
    __m256i flip, mask, cy, crv, cgu, cgv, cbu, bias, biasR, biasB;
};

// Puts chroma sample i once into the high byte of word w of a lane such that unpacklo_epi16
// (words 0..3) and unpackhi_epi16 (words 4..7) of a term with itself give the doubled terms of
// the lo and hi halves of the luma unpack. Low bytes become zero.
template <uint32_t F>
HPIXEL_AVX2 inline __m256i ChromaMask() {
    alignas(32) int8_t m[32];
    for (int lane = 0; lane < 2; ++lane) {
        for (int w = 0; w < 8; ++w) {
            // Luma position served by word w (lo half: bytes 0..7 of the lane, hi: 8..15); its
            // neighbour at pos + 1 is the other pixel of the same chroma sample.
            const int pos = lane * 16 + 2 * w;
            int pixel = pos;
            if constexpr (kDwordOrder<F>) {
                const int dword = pos / 4;
                pixel = (dword < 4 ? dword * 2 : (dword - 4) * 2 + 1) * 4 + pos % 4;
            }
            m[pos] = -1;
            m[pos + 1] = static_cast<int8_t>(pixel / 2);
        }
    }
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(m));
}

template <uint32_t F>
HPIXEL_AVX2 inline Constants ConstantsOf(const Coefficients& k) {
    const __m256i bias = _mm256_set1_epi16(static_cast<int16_t>(k.bias));
    const __m256i biasSat = _mm256_set1_epi16(static_cast<int16_t>(k.bias + kSatOffset));
    // (c - 128) << 8 is (c << 8) with the top bit flipped, in 16 bits.
    return {_mm256_set1_epi16(static_cast<int16_t>(0x8000)),
            ChromaMask<F>(),
            _mm256_set1_epi16(static_cast<int16_t>(k.cy)),
            _mm256_set1_epi16(static_cast<int16_t>(k.crv)),
            _mm256_set1_epi16(static_cast<int16_t>(k.cgu)),
            _mm256_set1_epi16(static_cast<int16_t>(k.cgv)),
            _mm256_set1_epi16(static_cast<int16_t>(k.cbu)),
            bias,
            F == 3 ? biasSat : bias,
            F == 1 ? biasSat : bias};
}

// The terms of 32 pixels from their 16 chroma samples: both lanes see all 16 samples, one
// in-lane shuffle places each in a high byte, one product per sample and factor, then the
// unpacks double each term for the two pixels of its sample.
HPIXEL_AVX2 inline Terms TermsOf(const uint8_t* u, const uint8_t* v, const Constants& q) {
    const __m256i ub =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u)));
    const __m256i vb =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v)));
    const __m256i du = _mm256_xor_si256(_mm256_shuffle_epi8(ub, q.mask), q.flip);
    const __m256i dv = _mm256_xor_si256(_mm256_shuffle_epi8(vb, q.mask), q.flip);
    // The signed high half of (d << 8) * c is (d * c) >> 8.
    const __m256i r = _mm256_adds_epi16(_mm256_mulhi_epi16(dv, q.crv), q.biasR);
    const __m256i g = _mm256_sub_epi16(
        _mm256_add_epi16(_mm256_mulhi_epi16(du, q.cgu), _mm256_mulhi_epi16(dv, q.cgv)), q.bias);
    const __m256i b = _mm256_adds_epi16(_mm256_mulhi_epi16(du, q.cbu), q.biasB);
    return {_mm256_unpacklo_epi16(r, r), _mm256_unpackhi_epi16(r, r), _mm256_unpacklo_epi16(g, g),
            _mm256_unpackhi_epi16(g, g), _mm256_unpacklo_epi16(b, b), _mm256_unpackhi_epi16(b, b)};
}

// 32 pixels of one row of format 1 or 3: bytes c0, c1, c2, 0 per pixel.
template <uint32_t F>
HPIXEL_AVX2 inline void QuadRow32(const uint8_t* y, uint8_t* d, const Terms& c, __m256i cy) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i offset = _mm256_set1_epi16(kSatOffset);
    const __m256i luma = ToDwordOrder(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y)));
    const __m256i yLo = _mm256_mulhi_epu16(_mm256_unpacklo_epi8(zero, luma), cy);
    const __m256i yHi = _mm256_mulhi_epu16(_mm256_unpackhi_epi8(zero, luma), cy);
    const __m256i t0Lo = F == 3 ? c.bLo : c.rLo;
    const __m256i t0Hi = F == 3 ? c.bHi : c.rHi;
    const __m256i t2Lo = F == 3 ? c.rLo : c.bLo;
    const __m256i t2Hi = F == 3 ? c.rHi : c.bHi;
    const __m256i c0 = _mm256_packus_epi16(_mm256_srai_epi16(_mm256_add_epi16(yLo, t0Lo), 5),
                                           _mm256_srai_epi16(_mm256_add_epi16(yHi, t0Hi), 5));
    const __m256i c1 = _mm256_packus_epi16(_mm256_srai_epi16(_mm256_sub_epi16(yLo, c.gLo), 5),
                                           _mm256_srai_epi16(_mm256_sub_epi16(yHi, c.gHi), 5));
    const __m256i c2Lo =
        _mm256_srli_epi16(_mm256_subs_epu16(_mm256_adds_epi16(yLo, t2Lo), offset), 5);
    const __m256i c2Hi =
        _mm256_srli_epi16(_mm256_subs_epu16(_mm256_adds_epi16(yHi, t2Hi), offset), 5);
    const __m256i aLo = _mm256_unpacklo_epi8(c0, c1);
    const __m256i aHi = _mm256_unpackhi_epi8(c0, c1);
    auto* out = reinterpret_cast<__m256i*>(d);
    _mm256_storeu_si256(out + 0, _mm256_unpacklo_epi16(aLo, c2Lo));  // pixels 0..7
    _mm256_storeu_si256(out + 1, _mm256_unpackhi_epi16(aLo, c2Lo));  // 8..15
    _mm256_storeu_si256(out + 2, _mm256_unpacklo_epi16(aHi, c2Hi));  // 16..23
    _mm256_storeu_si256(out + 3, _mm256_unpackhi_epi16(aHi, c2Hi));  // 24..31
}

template <uint32_t F>
HPIXEL_AVX2 inline void Row32(const uint8_t* y, uint8_t* d, const Terms& c, __m256i cy) {
    if constexpr (kDwordOrder<F>) {
        QuadRow32<F>(y, d, c, cy);
    } else {
        ConvertRow32<F>(y, d, c, cy);
    }
}

// Each row pair is written as two whole rows, one after the other: when the destination is not
// in the cache, the read-for-ownership of stores that alternate between two rows every few
// dozen bytes runs at little more than half the speed of one forward stream. The chroma terms
// are computed again for the second row: storing and reloading them was measured no faster.
template <uint32_t F>
HPIXEL_AVX2 void Avx2Kernel(const uint8_t* y0, const uint8_t* y1, const uint8_t* u,
                            const uint8_t* v, uint8_t* d0, uint8_t* d1, uint32_t width,
                            const Coefficients& k) {
    constexpr uint32_t bpp = kBytesOf<F>;
    const Constants q = ConstantsOf<F>(k);
    const uint32_t vectorWidth = width & ~31u;
    for (uint32_t x = 0; x < vectorWidth; x += 32) {
        Row32<F>(y0 + x, d0 + static_cast<size_t>(x) * bpp, TermsOf(u + x / 2, v + x / 2, q), q.cy);
    }
    // A last odd row comes as a pair of itself.
    if (d1 != d0) {
        for (uint32_t x = 0; x < vectorWidth; x += 32) {
            Row32<F>(y1 + x, d1 + static_cast<size_t>(x) * bpp, TermsOf(u + x / 2, v + x / 2, q),
                     q.cy);
        }
    }
    HPixelDetail::RowPairScalar<F>(y0, y1, u, v, d0, d1, vectorWidth, width, k);
}

}  // namespace

namespace HPixelDetail {

bool CpuHasAvx2() {
    static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    return has;
}

RowPairFn Avx2RowPair(uint32_t baseFormat) {
    switch (baseFormat) {
        case 1:
            return &Avx2Kernel<1>;
        case 2:
            return &Avx2Kernel<2>;
        case 3:
            return &Avx2Kernel<3>;
        case 4:
            return &Avx2Kernel<4>;
        case 5:
            return &Avx2Kernel<5>;
        case 6:
            return &Avx2Kernel<6>;
        default:
            return nullptr;
    }
}

}  // namespace HPixelDetail
}  // namespace BRIXEL

#else  // not x86

namespace BRIXEL::HPixelDetail {
bool CpuHasAvx2() {
    return false;
}
RowPairFn Avx2RowPair(uint32_t) {
    return nullptr;
}
}  // namespace BRIXEL::HPixelDetail

#endif
