// Pixel formats, the 4:2:0 converters and the picture holder.

#include <gtest/gtest.h>
#include <quorixsdk.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/hpixel.h"
#include "base/hpixel_kernels.h"

using namespace BRIXEL;

namespace {

constexpr uint8_t kSentinel = 0xA5;
const CHPixelFormat kRgbFormats[] = {
    HPIXEL_RGBX32,          HPIXEL_RGB24,          HPIXEL_BGRX32,          HPIXEL_BGR24,
    HPIXEL_RGB555,          HPIXEL_RGB565,         HPIXEL_RGBX32_BOTTOMUP, HPIXEL_RGB24_BOTTOMUP,
    HPIXEL_BGRX32_BOTTOMUP, HPIXEL_BGR24_BOTTOMUP, HPIXEL_RGB555_BOTTOMUP, HPIXEL_RGB565_BOTTOMUP};

const HPixelPath kAllPaths[] = {HPixelPath::Reference, HPixelPath::Portable, HPixelPath::Avx2};
const HPixelPath kFastPaths[] = {HPixelPath::Portable, HPixelPath::Avx2};

CHPixelFormat Fmt(uint32_t n) {
    return static_cast<CHPixelFormat>(n);
}

// A planar 4:2:0 source with every chroma sample a pixel can use ((w+1)/2 by (h+1)/2).
struct Source {
    uint32_t width, height, strideY, strideUV;
    std::vector<uint8_t> y, u, v;

    Source(uint32_t w, uint32_t h, uint32_t padding = 0)
        : width(w),
          height(h),
          strideY(w + padding),
          strideUV((w + 1) / 2 + padding),
          y(size_t{strideY} * h),
          u(size_t{strideUV} * ((h + 1) / 2)),
          v(u.size()) {}

    void Fill(uint8_t yv, uint8_t uv, uint8_t vv) {
        std::fill(y.begin(), y.end(), yv);
        std::fill(u.begin(), u.end(), uv);
        std::fill(v.begin(), v.end(), vv);
    }
    void Randomise(std::mt19937& rng) {
        for (auto* plane : {&y, &u, &v}) {
            for (auto& b : *plane) {
                b = static_cast<uint8_t>(rng());
            }
        }
    }
    uint32_t ToRGB(HPixelPath path, CHPixelFormat f, std::vector<uint8_t>& dst, uint32_t dstStride,
                   CHYUVColour colour = HYUV_BT601_LIMITED) const {
        return HPixelToRGB(path, f, y.data(), u.data(), v.data(), strideY, strideUV, width, height,
                           dst.data(), static_cast<uint32_t>(dst.size()), dstStride, colour);
    }
    uint32_t Convert(CHPixelFormat f, std::vector<uint8_t>& dst, uint32_t dstStride,
                     CHYUVColour colour = HYUV_BT601_LIMITED) const {
        return CHYUV420pConvert::Convert(f, y.data(), u.data(), v.data(), strideY, strideUV, width,
                                         height, dst.data(), static_cast<uint32_t>(dst.size()),
                                         dstStride, colour);
    }
};

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb&) const = default;
};

// Reads back pixel (x, picture row r) from a destination, written independently of the library.
Rgb ReadPixel(CHPixelFormat f, const std::vector<uint8_t>& dst, uint32_t stride, uint32_t height,
              uint32_t x, uint32_t r) {
    const uint32_t base = f > 10 ? f - 10 : f;
    const uint32_t row = f > 10 ? height - 1 - r : r;
    const uint32_t bpp = base <= 2 ? (base == 1 ? 4 : 3) : (base <= 4 ? (base == 3 ? 4 : 3) : 2);
    const uint8_t* p = dst.data() + size_t{row} * stride + x * bpp;
    switch (base) {
        case 1:
        case 2:
            return {p[0], p[1], p[2]};
        case 3:
        case 4:
            return {p[2], p[1], p[0]};
        case 5: {
            const int w = p[0] | (p[1] << 8);
            return {((w >> 10) & 31) << 3, ((w >> 5) & 31) << 3, (w & 31) << 3};
        }
        default: {
            const int w = p[0] | (p[1] << 8);
            return {((w >> 11) & 31) << 3, ((w >> 5) & 63) << 2, (w & 31) << 3};
        }
    }
}

// What a format can hold of an exact colour.
Rgb Quantised(CHPixelFormat f, Rgb c) {
    const uint32_t base = f > 10 ? f - 10 : f;
    if (base == 5) {
        return {c.r & 0xF8, c.g & 0xF8, c.b & 0xF8};
    }
    if (base == 6) {
        return {c.r & 0xF8, c.g & 0xFC, c.b & 0xF8};
    }
    return c;
}

uint32_t RowBytes(CHPixelFormat f, uint32_t w) {
    return HPixelRGBBytes(f) * w;
}

const CHYUVColour kColours[] = {HYUV_BT601_LIMITED, HYUV_BT601_FULL, HYUV_BT709_LIMITED,
                                HYUV_BT709_FULL};

// The textbook conversion in floating point: luma weights of the matrix; limited range maps
// Y 16..235 and chroma 16..240 onto 0..255.
struct ExactColour {
    double r, g, b;
};
ExactColour ExactRgb(CHYUVColour colour, int y, int u, int v) {
    const bool bt709 = colour == HYUV_BT709_LIMITED || colour == HYUV_BT709_FULL;
    const bool full = colour == HYUV_BT601_FULL || colour == HYUV_BT709_FULL;
    const double kr = bt709 ? 0.2126 : 0.299;
    const double kb = bt709 ? 0.0722 : 0.114;
    const double kg = 1 - kr - kb;
    const double yy = full ? y : (y - 16) * 255.0 / 219.0;
    const double pb = full ? u - 128.0 : (u - 128) * 255.0 / 224.0;
    const double pr = full ? v - 128.0 : (v - 128) * 255.0 / 224.0;
    const double r = yy + 2 * (1 - kr) * pr;
    const double b = yy + 2 * (1 - kb) * pb;
    return {r, (yy - kr * r - kb * b) / kg, b};
}

int Clamp(double c) {
    return static_cast<int>(std::min(255.0, std::max(0.0, c)));
}

}  // namespace

TEST(PixelFormat, DefaultStrideAndPictureSize) {
    struct Case {
        uint32_t format, width, stride;
    } strides[] = {
        {1, 5, 20},     {13, 640, 2560}, {2, 1, 4},          {4, 640, 1920},  {14, 641, 1924},
        {12, 2, 8},     {5, 1, 4},       {6, 3, 8},          {16, 640, 1280}, {20, 641, 642},
        {24, 640, 640}, {30, 3, 4},      {33, 1, 2},         {0, 640, 0},     {7, 640, 0},
        {25, 640, 0},   {32, 640, 0},    {3, 0x40000000, 0},
    };
    for (const Case& c : strides) {
        EXPECT_EQ(HPixelDefaultStride(Fmt(c.format), c.width), c.stride)
            << "format " << c.format << " width " << c.width;
    }
    struct SizeCase {
        uint32_t format, stride, height, size;
    } sizes[] = {
        {3, 2560, 480, 2560 * 480},
        {4, 1924, 3, 1924 * 3},
        // 4:2:0: Y, then two chroma planes of ((stride+1)/2) x ((height+1)/2).
        {20, 642, 481, 642 * 481 + 2 * 321 * 241},
        {22, 4, 3, 4 * 3 + 2 * 2 * 2},
        {21, 5, 5, 5 * 5 + 2 * 3 * 3},
        {23, 640, 480, 640 * 480 * 3 / 2},
        {31, 4, 3, 24},
        {30, 4, 3, 24},
        {0, 640, 480, 0},
        {26, 640, 480, 0},
        {3, 65536, 65536, 0},
    };
    for (const SizeCase& c : sizes) {
        EXPECT_EQ(HPixelPictureSize(Fmt(c.format), c.stride, c.height), c.size)
            << "format " << c.format;
    }
}

TEST(PixelConvert, ColourExamplesInEveryRgbFormat) {
    struct Example {
        CHYUVColour colour;
        uint8_t y, u, v;
        Rgb expected;
    } examples[] = {
        // Limited range: 16 is black and 235 white, whatever the matrix.
        {HYUV_BT601_LIMITED, 16, 128, 128, {0, 0, 0}},
        {HYUV_BT601_LIMITED, 235, 128, 128, {255, 255, 255}},
        {HYUV_BT601_LIMITED, 126, 128, 128, {128, 128, 128}},
        {HYUV_BT709_LIMITED, 235, 128, 128, {255, 255, 255}},
        {HYUV_BT601_FULL, 128, 128, 128, {128, 128, 128}},
        {HYUV_BT709_FULL, 0, 128, 128, {0, 0, 0}},
        // Pure red as each standard codes it.
        {HYUV_BT601_LIMITED, 81, 90, 240, {254, 0, 0}},
        {HYUV_BT709_LIMITED, 63, 102, 240, {255, 1, 0}},
        {HYUV_BT601_FULL, 76, 85, 255, {254, 0, 0}},
        {HYUV_BT709_FULL, 54, 99, 255, {254, 0, 0}},
        // Out of gamut: every component clamps.
        {HYUV_BT601_FULL, 255, 255, 128, {255, 211, 255}},
        {HYUV_BT709_LIMITED, 0, 0, 0, {0, 77, 0}},
    };
    for (const Example& e : examples) {
        // The expectations agree with the textbook formula.
        const ExactColour exact = ExactRgb(e.colour, e.y, e.u, e.v);
        ASSERT_NEAR(Clamp(exact.r), e.expected.r, 1) << int{e.y};
        ASSERT_NEAR(Clamp(exact.g), e.expected.g, 1) << int{e.y};
        ASSERT_NEAR(Clamp(exact.b), e.expected.b, 1) << int{e.y};
        for (CHPixelFormat f : kRgbFormats) {
            for (HPixelPath path : kAllPaths) {
                if (!HPixelPathAvailable(path)) {
                    continue;
                }
                // Wide enough for the vector kernel, odd for its tail.
                Source src(99, 3);
                src.Fill(e.y, e.u, e.v);
                const uint32_t stride = HPixelDefaultStride(f, src.width);
                std::vector<uint8_t> dst(size_t{stride} * src.height, kSentinel);
                ASSERT_EQ(src.ToRGB(path, f, dst, stride, e.colour), QUORIX_OK);
                for (uint32_t r = 0; r < src.height; ++r) {
                    for (uint32_t x = 0; x < src.width; x += 32) {
                        EXPECT_EQ(ReadPixel(f, dst, stride, src.height, x, r),
                                  Quantised(f, e.expected))
                            << "format " << f << " path " << static_cast<int>(path) << " colour "
                            << e.colour << " Y " << int{e.y} << " x " << x << " row " << r;
                    }
                }
            }
        }
    }
}

TEST(PixelConvert, BottomUpFormatsStoreTheLastRowFirst) {
    // Format 15 of a 2 x 2 picture: black top row, white bottom row.
    Source small(2, 2);
    small.Fill(128, 128, 128);
    small.y = {0, 0, 255, 255};
    std::vector<uint8_t> out(8, kSentinel);
    ASSERT_EQ(small.Convert(HPIXEL_RGB555_BOTTOMUP, out, 4), QUORIX_OK);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xFF, 0x7F, 0xFF, 0x7F, 0, 0, 0, 0}));

    // Every bottom-up format is its top-down twin with the rows reversed, odd heights included
    // (the last row then pairs with the last chroma row).
    std::mt19937 rng(7);
    for (uint32_t height : {1u, 2u, 5u, 6u}) {
        Source src(37, height);
        src.Randomise(rng);
        for (uint32_t base = 1; base <= 6; ++base) {
            const CHPixelFormat down = Fmt(base), up = Fmt(base + 10);
            const uint32_t stride = HPixelDefaultStride(down, src.width);
            std::vector<uint8_t> a(size_t{stride} * height), b(a.size());
            ASSERT_EQ(src.Convert(down, a, stride), QUORIX_OK);
            ASSERT_EQ(src.Convert(up, b, stride), QUORIX_OK);
            for (uint32_t r = 0; r < height; ++r) {
                EXPECT_EQ(0,
                          std::memcmp(&a[size_t{r} * stride], &b[size_t{height - 1 - r} * stride],
                                      RowBytes(down, src.width)))
                    << "format " << up << " row " << r;
            }
        }
    }
}

// The faster paths must give the reference's bytes for every format and size, and write
// nothing outside the rows (padding keeps its sentinel).
TEST(PixelConvert, FastPathsMatchReferenceOnRandomPictures) {
    std::mt19937 rng(2024);
    const uint32_t sizes[][2] = {{1, 1},  {1, 2},  {2, 1},  {3, 3},   {31, 5},  {32, 2}, {33, 7},
                                 {63, 1}, {64, 4}, {65, 9}, {97, 17}, {130, 3}, {191, 4}};
    for (const auto& size : sizes) {
        Source src(size[0], size[1], size[0] % 3);
        src.Randomise(rng);
        for (CHPixelFormat f : kRgbFormats) {
            const uint32_t stride = RowBytes(f, src.width) + 5;
            std::vector<uint8_t> expected(size_t{stride} * src.height, kSentinel);
            ASSERT_EQ(src.ToRGB(HPixelPath::Reference, f, expected, stride), QUORIX_OK);
            for (uint32_t r = 0; r < src.height; ++r) {
                for (uint32_t i = RowBytes(f, src.width); i < stride; ++i) {
                    ASSERT_EQ(expected[size_t{r} * stride + i], kSentinel);
                }
            }
            for (HPixelPath path : kFastPaths) {
                if (!HPixelPathAvailable(path)) {
                    continue;
                }
                std::vector<uint8_t> got(expected.size(), kSentinel);
                ASSERT_EQ(src.ToRGB(path, f, got, stride), QUORIX_OK);
                EXPECT_EQ(got, expected) << "format " << f << " path " << static_cast<int>(path)
                                         << " size " << size[0] << "x" << size[1];
            }
        }
    }
}

// Every (U, V) pair against luma extremes and a ramp: the 16-bit split of the vector path has
// no room for error anywhere in the range, and the reference follows the formulas.
TEST(PixelConvert, AllChromaPairsMatchFormulas) {
    Source src(512, 512);
    for (uint32_t r = 0; r < src.height; ++r) {
        for (uint32_t x = 0; x < src.width; ++x) {
            const uint32_t k = (x + r) % 4;
            src.y[size_t{r} * src.strideY + x] =
                static_cast<uint8_t>(k == 0 ? 0 : (k == 1 ? 255 : x * 7 + r * 13));
        }
    }
    for (uint32_t cr = 0; cr < 256; ++cr) {
        for (uint32_t cx = 0; cx < 256; ++cx) {
            src.u[size_t{cr} * src.strideUV + cx] = static_cast<uint8_t>(cx);
            src.v[size_t{cr} * src.strideUV + cx] = static_cast<uint8_t>(cr);
        }
    }
    auto clamp = [](int c) { return std::min(255, std::max(0, c)); };
    for (CHYUVColour colour : kColours) {
        // The fixed-point factors, derived here from the luma weights: 13 fractional bits, and
        // the black level with the final rounding in 5 fractional bits.
        const bool bt709 = colour == HYUV_BT709_LIMITED || colour == HYUV_BT709_FULL;
        const bool full = colour == HYUV_BT601_FULL || colour == HYUV_BT709_FULL;
        const double kr = bt709 ? 0.2126 : 0.299, kb = bt709 ? 0.0722 : 0.114;
        const double kg = 1 - kr - kb;
        const double ys = full ? 1 : 255.0 / 219, cs = full ? 1 : 255.0 / 224;
        const auto fixed = [](double v) { return static_cast<int>(std::lround(v * 8192)); };
        const int cy = fixed(ys), crv = fixed(2 * (1 - kr) * cs);
        const int cgu = fixed(2 * kb * (1 - kb) / kg * cs),
                  cgv = fixed(2 * kr * (1 - kr) / kg * cs);
        const int cbu = fixed(2 * (1 - kb) * cs);
        const int bias = 16 - static_cast<int>(std::lround((full ? 0 : 16) * ys * 32));
        const auto shr = [](int n, int bits) {
            return static_cast<int>(std::floor(n / static_cast<double>(1 << bits)));
        };
        for (CHPixelFormat f : kRgbFormats) {
            const uint32_t stride = RowBytes(f, src.width);
            std::vector<uint8_t> expected(size_t{stride} * src.height);
            ASSERT_EQ(src.ToRGB(HPixelPath::Reference, f, expected, stride, colour), QUORIX_OK);
            if (f == HPIXEL_BGRX32 || f == HPIXEL_RGB565_BOTTOMUP) {
                for (uint32_t r = 0; r < src.height; ++r) {
                    for (uint32_t x = 0; x < src.width; ++x) {
                        const int y = src.y[size_t{r} * src.strideY + x];
                        const int u = static_cast<int>(x / 2), v = static_cast<int>(r / 2);
                        const int yt = shr(y * cy, 8);
                        const Rgb formula{
                            clamp(shr(yt + shr((v - 128) * crv, 8) + bias, 5)),
                            clamp(shr(yt - shr((u - 128) * cgu, 8) - shr((v - 128) * cgv, 8) + bias,
                                      5)),
                            clamp(shr(yt + shr((u - 128) * cbu, 8) + bias, 5))};
                        const Rgb got = ReadPixel(f, expected, stride, src.height, x, r);
                        ASSERT_EQ(got, Quantised(f, formula))
                            << "format " << f << " colour " << colour << " x " << x << " row " << r;
                        if (f == HPIXEL_BGRX32) {
                            // No worse than rounding the exact value, give or take one level.
                            const ExactColour exact = ExactRgb(colour, y, u, v);
                            ASSERT_NEAR(got.r, Clamp(exact.r + 0.5), 1) << x << "," << r;
                            ASSERT_NEAR(got.g, Clamp(exact.g + 0.5), 1) << x << "," << r;
                            ASSERT_NEAR(got.b, Clamp(exact.b + 0.5), 1) << x << "," << r;
                        }
                    }
                }
            }
            for (HPixelPath path : kFastPaths) {
                if (HPixelPathAvailable(path)) {
                    std::vector<uint8_t> got(expected.size());
                    ASSERT_EQ(src.ToRGB(path, f, got, stride, colour), QUORIX_OK);
                    EXPECT_EQ(got, expected) << "format " << f << " colour " << colour << " path "
                                             << static_cast<int>(path);
                }
            }
        }
    }
}

// Each colour of the random pictures too, so that no factor of the vector path is left untried.
TEST(PixelConvert, FastPathsMatchReferenceInEveryColour) {
    std::mt19937 rng(99);
    Source src(67, 5, 3);
    src.Randomise(rng);
    for (CHYUVColour colour : kColours) {
        for (CHPixelFormat f : kRgbFormats) {
            const uint32_t stride = RowBytes(f, src.width);
            std::vector<uint8_t> expected(size_t{stride} * src.height);
            ASSERT_EQ(src.ToRGB(HPixelPath::Reference, f, expected, stride, colour), QUORIX_OK);
            for (HPixelPath path : kFastPaths) {
                if (HPixelPathAvailable(path)) {
                    std::vector<uint8_t> got(expected.size());
                    ASSERT_EQ(src.ToRGB(path, f, got, stride, colour), QUORIX_OK);
                    EXPECT_EQ(got, expected) << "format " << f << " colour " << colour;
                }
            }
        }
    }
}

// Every luma value with every chroma pair, in every colour: the 32-bit vector path clamps its
// third byte by saturating adds instead of a pack, and a bound that is off by one shows only
// for the few sums next to 0 or 255.
TEST(PixelConvert, FastPathsMatchReferenceForEveryYuvTriple) {
    // 4096 x 256 pixels hold each of the 65536 chroma pairs four times, each time with four
    // luma values; sixteen such pictures cover all 256 lumas.
    Source src(4096, 256);
    const uint32_t samplesPerRow = src.strideUV;
    for (uint32_t cr = 0; cr < src.height / 2; ++cr) {
        for (uint32_t cx = 0; cx < samplesPerRow; ++cx) {
            const uint32_t pair = (cr * samplesPerRow + cx) % 65536;
            src.u[size_t{cr} * src.strideUV + cx] = static_cast<uint8_t>(pair & 255);
            src.v[size_t{cr} * src.strideUV + cx] = static_cast<uint8_t>(pair >> 8);
        }
    }
    for (uint32_t group = 0; group < 16; ++group) {
        for (uint32_t r = 0; r < src.height; ++r) {
            for (uint32_t x = 0; x < src.width; ++x) {
                const uint32_t repeat = ((r / 2) * samplesPerRow + x / 2) / 65536;
                src.y[size_t{r} * src.strideY + x] =
                    static_cast<uint8_t>(group * 16 + repeat * 4 + (r % 2) * 2 + x % 2);
            }
        }
        for (CHYUVColour colour : kColours) {
            for (CHPixelFormat f : {HPIXEL_RGBX32, HPIXEL_BGRX32}) {
                const uint32_t stride = RowBytes(f, src.width);
                std::vector<uint8_t> expected(size_t{stride} * src.height);
                ASSERT_EQ(src.ToRGB(HPixelPath::Reference, f, expected, stride, colour), QUORIX_OK);
                for (HPixelPath path : kFastPaths) {
                    if (HPixelPathAvailable(path)) {
                        std::vector<uint8_t> got(expected.size());
                        ASSERT_EQ(src.ToRGB(path, f, got, stride, colour), QUORIX_OK);
                        ASSERT_EQ(got, expected)
                            << "format " << f << " colour " << colour << " path "
                            << static_cast<int>(path) << " lumas from " << group * 16;
                    }
                }
            }
        }
    }
}

TEST(PixelConvert, DefaultColourFollowsThePictureSize) {
    EXPECT_EQ(HYUVDefaultColour(720, 576), HYUV_BT601_LIMITED);
    EXPECT_EQ(HYUVDefaultColour(640, 480), HYUV_BT601_LIMITED);
    EXPECT_EQ(HYUVDefaultColour(1280, 720), HYUV_BT709_LIMITED);
    EXPECT_EQ(HYUVDefaultColour(1920, 1080), HYUV_BT709_LIMITED);
    EXPECT_EQ(HYUVDefaultColour(1024, 768), HYUV_BT709_LIMITED);
    EXPECT_EQ(HYUVSanitize(7), HYUV_BT601_LIMITED);
    // The floating-point form used by the shader is the same conversion.
    for (CHYUVColour colour : kColours) {
        const CHYUVMatrix m = HYUVToRGBMatrix(colour);
        for (int y : {16, 81, 200}) {
            for (int u : {16, 90, 240}) {
                const int v = 255 - u;
                const double yuv[3] = {y / 255.0 - m.offset[0], u / 255.0 - m.offset[1],
                                       v / 255.0 - m.offset[2]};
                const ExactColour exact = ExactRgb(colour, y, u, v);
                const double want[3] = {exact.r, exact.g, exact.b};
                for (int c = 0; c < 3; ++c) {
                    const double got =
                        255 * (m.matrix[3 * c] * yuv[0] + m.matrix[3 * c + 1] * yuv[1] +
                               m.matrix[3 * c + 2] * yuv[2]);
                    EXPECT_NEAR(got, want[c], 0.01) << colour << " " << c;
                }
            }
        }
    }
}

TEST(PixelConvert, RgbRefusesBadArgumentsInOrderAndWritesNothing) {
    Source src(4, 4);
    src.Fill(10, 20, 30);
    std::vector<uint8_t> dst(64, kSentinel);
    const uint8_t* y = src.y.data();
    const uint8_t* u = src.u.data();
    const uint8_t* v = src.v.data();
    struct Case {
        const char* what;
        uint32_t format;
        const uint8_t *y, *u, *v;
        uint8_t* dst;
        uint32_t strideY, width, height, dstSize, dstStride, result;
    } cases[] = {
        {"null Y", 3, nullptr, u, v, dst.data(), 4, 4, 4, 64, 16, QUORIX_E_PARAM},
        {"null U", 3, y, nullptr, v, dst.data(), 4, 4, 4, 64, 16, QUORIX_E_PARAM},
        {"null V", 3, y, u, nullptr, dst.data(), 4, 4, 4, 64, 16, QUORIX_E_PARAM},
        {"null dst", 3, y, u, v, nullptr, 4, 4, 4, 64, 16, QUORIX_E_PARAM},
        {"zero width", 3, y, u, v, dst.data(), 4, 0, 4, 64, 16, QUORIX_E_PARAM},
        {"zero height", 3, y, u, v, dst.data(), 4, 4, 0, 64, 16, QUORIX_E_PARAM},
        {"Y stride below width", 3, y, u, v, dst.data(), 3, 4, 4, 64, 16, QUORIX_E_PARAM},
        {"format 0", 0, y, u, v, dst.data(), 4, 4, 4, 64, 16, QUORIX_E_PARAM},
        {"format 7", 7, y, u, v, dst.data(), 4, 4, 4, 64, 16, QUORIX_E_PARAM},
        {"format 20", 20, y, u, v, dst.data(), 4, 4, 4, 64, 16, QUORIX_E_PARAM},
        {"bad format before small size", 17, y, u, v, dst.data(), 4, 4, 4, 1, 16, QUORIX_E_PARAM},
        {"stride 3w-1 for format 2", 2, y, u, v, dst.data(), 4, 4, 4, 64, 11, QUORIX_E_PARAM},
        {"stride below 2w", 16, y, u, v, dst.data(), 4, 4, 4, 64, 7, QUORIX_E_PARAM},
        {"size one short", 13, y, u, v, dst.data(), 4, 4, 4, 63, 16, QUORIX_E_BUFFER_TOO_SMALL},
        {"height 1 fits", 13, y, u, v, dst.data(), 4, 4, 1, 16, 16, QUORIX_OK},
        {"width 1 fits", 2, y, u, v, dst.data(), 4, 1, 4, 12, 3, QUORIX_OK},
    };
    for (const Case& c : cases) {
        std::fill(dst.begin(), dst.end(), kSentinel);
        EXPECT_EQ(CHYUV420pConvert::ToRGB(Fmt(c.format), c.y, c.u, c.v, c.strideY, 2, c.width,
                                          c.height, c.dst, c.dstSize, c.dstStride),
                  c.result)
            << c.what;
        const size_t written = c.result == QUORIX_OK ? c.dstSize : 0;
        for (size_t i = written; i < dst.size(); ++i) {
            ASSERT_EQ(dst[i], kSentinel) << c.what << " byte " << i;
        }
    }
}

TEST(PixelConvert, YuvTargetsLayOutPlanesAndPairs) {
    // 4 x 2 picture: Y 1..8, U 11 12, V 21 22.
    Source src(4, 2);
    src.y = {1, 2, 3, 4, 5, 6, 7, 8};
    src.u = {11, 12};
    src.v = {21, 22};
    const uint8_t x = kSentinel;
    struct Case {
        uint32_t format, dstStride, size;
        std::vector<uint8_t> expected;
    } cases[] = {
        {20, 4, 12, {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 21, 22}},
        {21, 6, 18, {1, 2, 3, 4, x, x, 5, 6, 7, 8, x, x, 11, 12, x, 21, 22, x}},
        {22, 4, 12, {1, 2, 3, 4, 5, 6, 7, 8, 21, 22, 11, 12}},
        {23, 4, 12, {1, 2, 3, 4, 5, 6, 7, 8, 11, 21, 12, 22}},
        {24, 4, 12, {1, 2, 3, 4, 5, 6, 7, 8, 21, 11, 22, 12}},
        {31, 0, 16, {1, 11, 2, 21, 3, 12, 4, 22, 5, 11, 6, 21, 7, 12, 8, 22}},
        {33, 0, 16, {11, 1, 21, 2, 12, 3, 22, 4, 11, 5, 21, 6, 12, 7, 22, 8}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> dst(c.size, kSentinel);
        ASSERT_EQ(src.Convert(Fmt(c.format), dst, c.dstStride), QUORIX_OK) << c.format;
        EXPECT_EQ(dst, c.expected) << "format " << c.format;
        std::vector<uint8_t> small(c.size - 1, kSentinel);
        EXPECT_EQ(src.Convert(Fmt(c.format), small, c.dstStride), QUORIX_E_BUFFER_TOO_SMALL);
        EXPECT_EQ(small, std::vector<uint8_t>(c.size - 1, kSentinel));
    }
    // Destination rows narrower than the picture would overlap and run past the size check.
    std::vector<uint8_t> dst(64, kSentinel);
    for (uint32_t f : {20u, 22u, 23u}) {
        EXPECT_EQ(src.Convert(Fmt(f), dst, 3), QUORIX_E_PARAM) << f;
    }
    // Formats without a converter.
    for (uint32_t f : {0u, 25u, 30u, 32u, 34u, 0xFFFFFFFFu}) {
        EXPECT_EQ(src.Convert(Fmt(f), dst, 8), QUORIX_E_NOT_IMPL) << f;
    }
}

// Tiny and odd pictures into destinations of exactly the checked size, for every target: the
// address sanitizer build turns any write past the end into a failure.
TEST(PixelConvert, TinyPicturesFitExactDestinations) {
    std::mt19937 rng(11);
    const uint32_t targets[] = {1,  2,  3,  4,  5,  6,  11, 12, 13, 14,
                                15, 16, 20, 21, 22, 23, 24, 31, 33};
    for (uint32_t w : {1u, 2u, 3u}) {
        for (uint32_t h : {1u, 2u, 3u}) {
            Source src(w, h);
            src.Randomise(rng);
            for (uint32_t t : targets) {
                const CHPixelFormat f = Fmt(t);
                const uint32_t stride = HPixelRGBBytes(f) != 0 ? RowBytes(f, w) : w;
                const size_t size =
                    HPixelRGBBytes(f) != 0 ? size_t{stride} * h
                    : (t == 31 || t == 33)
                        ? size_t{2} * w * h
                        : size_t{stride} * h + 2 * size_t{(stride + 1) / 2} * ((h + 1) / 2);
                std::vector<uint8_t> dst(size);
                EXPECT_EQ(src.Convert(f, dst, stride), QUORIX_OK)
                    << "format " << t << " size " << w << "x" << h;
            }
        }
    }
}

TEST(PixelConvert, Packed422OddWidthStaysInsideItsRows) {
    Source src(3, 1);
    src.y = {1, 2, 3};
    src.u = {11, 12};
    src.v = {21, 22};
    std::vector<uint8_t> dst(6);  // exactly 2 * width * height
    ASSERT_EQ(src.Convert(HPIXEL_YUYV, dst, 0), QUORIX_OK);
    EXPECT_EQ(dst, (std::vector<uint8_t>{1, 11, 2, 21, 3, 12}));
    ASSERT_EQ(src.Convert(HPIXEL_UYVY, dst, 0), QUORIX_OK);
    EXPECT_EQ(dst, (std::vector<uint8_t>{11, 1, 21, 2, 12, 3}));
}

TEST(PixelConvert, CropChecksAndCopiesTheRectangle) {
    // 8 x 4 source: Y = 10*row + x, U = 100 + 10*crow + cx, V = 200 + 10*crow + cx.
    Source src(8, 4);
    for (uint32_t r = 0; r < 4; ++r) {
        for (uint32_t x = 0; x < 8; ++x) {
            src.y[r * 8 + x] = static_cast<uint8_t>(10 * r + x);
        }
    }
    for (uint32_t r = 0; r < 2; ++r) {
        for (uint32_t x = 0; x < 4; ++x) {
            src.u[r * 4 + x] = static_cast<uint8_t>(100 + 10 * r + x);
            src.v[r * 4 + x] = static_cast<uint8_t>(200 + 10 * r + x);
        }
    }
    std::vector<uint8_t> dst(64, kSentinel);
    auto crop = [&](uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t stride,
                    uint32_t size) {
        return CHYUV420pConvert::Crop(src.y.data(), src.u.data(), src.v.data(), 8, 4, 8, 4, x, y, w,
                                      h, dst.data(), size, stride);
    };
    EXPECT_EQ(crop(1, 0, 4, 2, 4, 64), QUORIX_E_PARAM);  // odd x
    EXPECT_EQ(crop(0, 1, 4, 2, 4, 64), QUORIX_E_PARAM);  // odd y
    EXPECT_EQ(crop(0, 0, 4, 3, 4, 64), QUORIX_E_PARAM);  // odd height
    EXPECT_EQ(crop(6, 0, 4, 2, 4, 64), QUORIX_E_PARAM);  // past the right edge
    EXPECT_EQ(crop(0, 2, 4, 4, 4, 64), QUORIX_E_PARAM);  // past the bottom
    EXPECT_EQ(crop(0, 0, 5, 2, 4, 64), QUORIX_E_PARAM);  // wider than the stride
    EXPECT_EQ(crop(0, 0, 0, 2, 4, 64), QUORIX_E_PARAM);  // empty
    EXPECT_EQ(crop(0, 0, 4, 2, 4, 11), QUORIX_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(dst, std::vector<uint8_t>(64, kSentinel));

    // Odd width 5 from (2, 2): chroma rows carry (5+1)/2 = 3 samples from column 1, the last
    // one serving the odd last column.
    ASSERT_EQ(crop(2, 2, 5, 2, 6, 18), QUORIX_OK);
    const uint8_t s = kSentinel;
    const std::vector<uint8_t> expected = {22, 23, 24, 25,  26,  s,   32,  33,  34,
                                           35, 36, s,  111, 112, 113, 211, 212, 213};
    EXPECT_EQ(std::vector<uint8_t>(dst.begin(), dst.begin() + 18), expected);
    EXPECT_EQ(dst[18], kSentinel);
}

TEST(PixelHolder, SetCopiesOrBorrowsAndDetachHandsOver) {
    std::vector<uint8_t> data(24, 7);
    CHPixel pixel;
    EXPECT_TRUE(pixel.IsEmpty());
    EXPECT_EQ(pixel.Set(HPIXEL_YUV420P, nullptr, 24, 4, 4, 4, true), QUORIX_E_BUFFER);
    EXPECT_EQ(pixel.Set(HPIXEL_YUV420P, nullptr, 24, 4, 4, 4, false), QUORIX_E_PARAM);
    EXPECT_TRUE(pixel.IsEmpty());

    ASSERT_EQ(pixel.Set(HPIXEL_YUV420P, data.data(), 24, 4, 4, 4, false), QUORIX_OK);
    EXPECT_EQ(pixel.GetData(), data.data());
    EXPECT_FALSE(pixel.IsOwned());

    ASSERT_EQ(pixel.Set(HPIXEL_YUV420P, data.data(), 24, 4, 4, 4, true), QUORIX_OK);
    uint8_t* own = pixel.GetData();
    EXPECT_NE(own, data.data());
    data[0] = 9;
    EXPECT_EQ(own[0], 7);
    // A smaller copy reuses the memory the holder already owns.
    ASSERT_EQ(pixel.Set(HPIXEL_YUV420P, data.data(), 12, 4, 2, 4, true), QUORIX_OK);
    EXPECT_EQ(pixel.GetData(), own);
    EXPECT_EQ(own[0], 9);
    EXPECT_EQ(pixel.GetLength(), 12u);

    std::unique_ptr<uint8_t[]> taken(pixel.Detach());
    EXPECT_EQ(taken.get(), own);
    EXPECT_TRUE(pixel.IsEmpty());
    EXPECT_EQ(pixel.GetWidth() | pixel.GetHeight() | pixel.GetStride() | pixel.GetFormat(), 0u);
    EXPECT_EQ(pixel.GetData(), nullptr);
}

TEST(PixelHolder, CropAndConvertKeepTheHolderOnFailure) {
    CHPixel pixel;
    std::vector<uint8_t> out(64);
    EXPECT_EQ(pixel.Crop(HPIXEL_YUV420P, 0, 0, 2, 2, 0), QUORIX_E_NOT_SUPPORTED);
    EXPECT_EQ(pixel.ConvertTo(HPIXEL_BGRX32, out.data(), 64, 16), QUORIX_E_NOT_SUPPORTED);
    EXPECT_EQ(pixel.Convert(HPIXEL_BGRX32, 0), QUORIX_E_NOT_SUPPORTED);

    std::vector<uint8_t> rgb(48);
    ASSERT_EQ(pixel.Set(HPIXEL_BGR24, rgb.data(), 48, 4, 4, 12, false), QUORIX_OK);
    EXPECT_EQ(pixel.Crop(HPIXEL_YUV420P, 0, 0, 2, 2, 0), QUORIX_E_NOT_IMPL);
    EXPECT_EQ(pixel.ConvertTo(HPIXEL_BGRX32, out.data(), 64, 16), QUORIX_E_NOT_IMPL);

    // 6 x 4 YV12 picture (V plane first), rows of 6.
    std::mt19937 rng(3);
    std::vector<uint8_t> yv12(36);
    for (auto& b : yv12) {
        b = static_cast<uint8_t>(rng());
    }
    ASSERT_EQ(pixel.Set(HPIXEL_YV12, yv12.data(), 36, 6, 4, 6, true), QUORIX_OK);
    EXPECT_EQ(pixel.Crop(HPIXEL_NV12, 0, 0, 2, 2, 0), QUORIX_E_PARAM);
    EXPECT_EQ(pixel.Crop(HPIXEL_YUV420P, 1, 0, 2, 2, 0), QUORIX_E_PARAM);
    EXPECT_EQ(pixel.ConvertTo(HPIXEL_NONE, out.data(), 64, 16), QUORIX_E_PARAM);
    EXPECT_EQ(pixel.ConvertTo(HPIXEL_YUV422, out.data(), 64, 16), QUORIX_E_NOT_IMPL);
    EXPECT_EQ(pixel.Convert(HPIXEL_YUV422, 0), QUORIX_E_NOT_IMPL);
    EXPECT_EQ(pixel.Convert(Fmt(7), 0), QUORIX_E_NOT_SUPPORTED);
    EXPECT_EQ(pixel.Convert(HPIXEL_RGB24, 17), QUORIX_E_PARAM);  // below 3 * width
    EXPECT_EQ(pixel.GetFormat(), HPIXEL_YV12);
    EXPECT_EQ(pixel.GetStride(), 6u);

    // Converting through the holder equals converting the located planes (U after V).
    std::vector<uint8_t> expected(72);
    ASSERT_EQ(CHYUV420pConvert::ToRGB(HPIXEL_BGR24_BOTTOMUP, &yv12[0], &yv12[30], &yv12[24], 6, 3,
                                      6, 4, expected.data(), 72, 18),
              QUORIX_OK);
    ASSERT_EQ(pixel.Convert(HPIXEL_BGR24_BOTTOMUP, 0), QUORIX_OK);
    EXPECT_EQ(pixel.GetStride(), 20u);  // 3 * 7 rounded down to a multiple of 4
    EXPECT_EQ(pixel.GetLength(), 80u);
    for (uint32_t r = 0; r < 4; ++r) {
        EXPECT_EQ(0, std::memcmp(pixel.GetData() + r * 20, &expected[r * 18], 18)) << r;
    }

    // Crop of a planar picture: the holder takes the rectangle and its geometry.
    ASSERT_EQ(pixel.Set(HPIXEL_YV12, yv12.data(), 36, 6, 4, 6, false), QUORIX_OK);
    ASSERT_EQ(pixel.Crop(HPIXEL_I420, 2, 2, 3, 2, 0), QUORIX_OK);
    EXPECT_TRUE(pixel.IsOwned());
    EXPECT_EQ(pixel.GetWidth(), 3u);
    EXPECT_EQ(pixel.GetHeight(), 2u);
    EXPECT_EQ(pixel.GetStride(), 4u);
    EXPECT_EQ(pixel.GetFormat(), HPIXEL_I420);
    EXPECT_EQ(pixel.GetLength(), 12u);
    const uint8_t* c = pixel.GetData();
    EXPECT_EQ(0, std::memcmp(c, &yv12[14], 3));
    EXPECT_EQ(0, std::memcmp(c + 4, &yv12[20], 3));
    EXPECT_EQ(c[8], yv12[30 + 3 + 1]);   // U row 1, column 1
    EXPECT_EQ(c[10], yv12[24 + 3 + 1]);  // V row 1, column 1
}

TEST(PixelHolder, DataShorterThanItsGeometryIsNeverRead) {
    // The caller's size does not cover what the geometry claims: refused, not read past.
    std::vector<uint8_t> data(36, 128);
    CHPixel pixel;
    std::vector<uint8_t> out(96);
    ASSERT_EQ(pixel.Set(HPIXEL_YUV420P, data.data(), 35, 6, 4, 6, false), QUORIX_OK);
    EXPECT_EQ(pixel.ConvertTo(HPIXEL_BGRX32, out.data(), 96, 24), QUORIX_E_PARAM);
    ASSERT_EQ(pixel.Set(HPIXEL_YUV420P, data.data(), 36, 6, 4, 5, false), QUORIX_OK);
    EXPECT_EQ(pixel.ConvertTo(HPIXEL_BGRX32, out.data(), 96, 24), QUORIX_E_PARAM);
    // An odd height has a last chroma row of its own: 6 x 3 takes 18 + 2 x 3 x 2 = 30 bytes,
    // so the 27 of a 3/2 size are refused by every conversion.
    ASSERT_EQ(pixel.Set(HPIXEL_YUV420P, data.data(), 27, 6, 3, 6, false), QUORIX_OK);
    EXPECT_EQ(pixel.ConvertTo(HPIXEL_BGRX32, out.data(), 96, 24), QUORIX_E_PARAM);
    EXPECT_EQ(pixel.ConvertTo(HPIXEL_NV12, out.data(), 96, 6), QUORIX_E_PARAM);
    ASSERT_EQ(pixel.Set(HPIXEL_YUV420P, data.data(), 30, 6, 3, 6, false), QUORIX_OK);
    EXPECT_EQ(pixel.ConvertTo(HPIXEL_BGRX32, out.data(), 96, 24), QUORIX_OK);
    EXPECT_EQ(pixel.ConvertTo(HPIXEL_NV12, out.data(), 96, 6), QUORIX_OK);
}
