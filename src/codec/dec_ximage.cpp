#include "codec/dec_ximage.h"

#include <quorixsdk_codes.h>

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/hpixel.h"
#include "base/hthread.h"
#include "codec/ximage.h"

namespace HCC {

H_IMPLEMENT_RUNTIME_CLASS(CDecXImage, CDecoder)

namespace {

// Full-range BT.601, the colour space of JFIF pictures, so that a picture decoded here and the
// same picture decoded by libavcodec give the same Y, U and V.
constexpr float kYr = 0.299f, kYg = 0.587f, kYb = 0.114f;
constexpr float kUr = -0.168736f, kUg = -0.331264f, kUb = 0.5f;
constexpr float kVr = 0.5f, kVg = -0.418688f, kVb = -0.081312f;

inline float Clamp255(float value) {
    return value < 0.0f ? 0.0f : (value > 255.0f ? 255.0f : value);
}
inline uint8_t Round8(float value) {
    return static_cast<uint8_t>(value + 0.5f);
}

}  // namespace

void ConvertBottomUpBgrTo420(const uint8_t* bgr, uint32_t width, uint32_t height, uint8_t* out) {
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    // An odd last column or row gets chroma samples of its own, averaged over its pixels only.
    const uint32_t chromaWidth = BRIXEL::HPixelChromaStride(width);
    const uint32_t chromaHeight = BRIXEL::HPixelChromaRows(height);
    uint8_t* yPlane = out;
    uint8_t* uPlane = out + BRIXEL::HPixelI420FirstOffset(width, height);
    uint8_t* vPlane = out + BRIXEL::HPixelI420SecondOffset(width, height);
    // Output row r is the source's row height-1-r: the last row in memory is the top.
    auto row = [&](uint32_t r) { return bgr + (height - 1 - r) * rowBytes; };

    for (uint32_t r = 0; r < height; ++r) {
        const uint8_t* src = row(r);
        uint8_t* dst = yPlane + static_cast<size_t>(r) * width;
        for (uint32_t x = 0; x < width; ++x, src += 3)
            dst[x] = Round8(Clamp255(kYb * src[0] + kYg * src[1] + kYr * src[2]));
    }
    for (uint32_t k = 0; k < chromaHeight; ++k) {
        const uint32_t rowCount = 2 * k + 1 < height ? 2 : 1;
        const uint8_t* rows[2] = {row(2 * k), row(2 * k + rowCount - 1)};
        for (uint32_t j = 0; j < chromaWidth; ++j) {
            const uint32_t columnCount = 2 * j + 1 < width ? 2 : 1;
            float u = 0.0f;
            float v = 0.0f;
            for (uint32_t dy = 0; dy < rowCount; ++dy) {
                for (uint32_t dx = 0; dx < columnCount; ++dx) {
                    const uint8_t* p = rows[dy] + (2 * j + dx) * 3;
                    u += Clamp255(kUb * p[0] + kUg * p[1] + kUr * p[2] + 128.0f);
                    v += Clamp255(kVb * p[0] + kVg * p[1] + kVr * p[2] + 128.0f);
                }
            }
            const float samples = static_cast<float>(rowCount * columnCount);
            uPlane[static_cast<size_t>(k) * chromaWidth + j] = Round8(u / samples);
            vPlane[static_cast<size_t>(k) * chromaWidth + j] = Round8(v / samples);
        }
    }
}

bool CDecXImage::IsSupport(uint32_t codec) const {
    return codec == CODEC_MJPEG;
}

H_PASSES_CANCEL
uint32_t CDecXImage::DecodeVideo(const uint8_t* data, uint32_t size, uint32_t& width,
                                 uint32_t& height, uint32_t& format, uint8_t* planes[3],
                                 uint32_t sizes[3], uint32_t strides[3]) {
    if (!m_opened)
        return QUORIX_E_NOT_INIT;
    if (data == nullptr || size == 0)
        return QUORIX_E_PARAM;
    try {
        quorix_image::CImage image(data, size, quorix_image::IMAGE_TYPE_JPEG);
        const uint8_t* bgr = image.GetBits();
        if (bgr == nullptr)
            return QUORIX_E_NOT_SUPPORTED;
        const uint32_t w = image.GetWidth();
        const uint32_t h = image.GetHeight();
        const uint64_t total = BRIXEL::HPixelI420Size(w, h);
        m_picture.Reserve(total);  // keeps a larger block for a while: its result is not a failure
        if (m_picture.GetData() == nullptr || m_picture.GetCapacity() < total)
            return QUORIX_E_NOT_SUPPORTED;
        uint8_t* out = m_picture.GetData();
        ConvertBottomUpBgrTo420(bgr, w, h, out);
        m_picture.SetLength(total);

        width = w;
        height = h;
        const uint32_t lumaBytes = w * h;
        const uint32_t chromaBytes = static_cast<uint32_t>(BRIXEL::HPixelChromaPlaneSize(w, h));
        planes[0] = out;
        sizes[0] = lumaBytes;
        strides[0] = w;
        planes[1] = out + BRIXEL::HPixelI420FirstOffset(w, h);
        sizes[1] = chromaBytes;
        strides[1] = BRIXEL::HPixelChromaStride(w);
        planes[2] = out + BRIXEL::HPixelI420SecondOffset(w, h);
        sizes[2] = chromaBytes;
        strides[2] = BRIXEL::HPixelChromaStride(w);
        format = 0;
        m_colour = BRIXEL::HYUV_BT601_FULL;  // what ConvertBottomUpBgrTo420 writes
        return QUORIX_OK;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return QUORIX_E_EXCEPTION;
    }
}

H_PASSES_CANCEL
uint32_t EncodeSnapshotJpeg(const uint8_t* pixels, uint32_t width, uint32_t rowBytes,
                            uint32_t height, uint32_t bitsPerPixel, uint32_t quality,
                            uint8_t** block, uint32_t* byteCount) {
    if (pixels == nullptr || block == nullptr || byteCount == nullptr)
        return QUORIX_E_PARAM;
    *block = nullptr;
    *byteCount = 0;
    const uint64_t imageBytes = static_cast<uint64_t>(rowBytes) * height;
    if (width == 0 || height == 0 || width > quorix_image::kMaxImageSide ||
        height > quorix_image::kMaxImageSide || imageBytes + 54 > UINT32_MAX)
        return QUORIX_E_NOT_SUPPORTED;
    try {
        // The picture travels as an in-memory BMP file, which is what the image library loads.
        std::vector<uint8_t> bmp(54 + imageBytes);
        uint8_t* h = bmp.data();
        auto put16 = [](uint8_t* p, uint32_t v) {
            p[0] = static_cast<uint8_t>(v);
            p[1] = static_cast<uint8_t>(v >> 8);
        };
        auto put32 = [](uint8_t* p, uint32_t v) {
            for (int i = 0; i < 4; ++i)
                p[i] = static_cast<uint8_t>(v >> (8 * i));
        };
        h[0] = 'B';
        h[1] = 'M';
        put32(h + 2, static_cast<uint32_t>(54 + imageBytes));
        put32(h + 10, 54);
        put32(h + 14, 40);
        put32(h + 18, width);
        put32(h + 22, height);
        put16(h + 26, 1);
        put16(h + 28, bitsPerPixel);
        put32(h + 34, static_cast<uint32_t>(imageBytes));
        std::memcpy(h + 54, pixels, imageBytes);

        quorix_image::CImage image(bmp.data(), bmp.size(), quorix_image::IMAGE_TYPE_BMP);
        if (!image.IsValid())
            return QUORIX_E_NOT_SUPPORTED;
        image.SetJpegQuality(quality & 0xFF);
        quorix_image::CMemoryFile file;
        if (!image.Encode(file, quorix_image::IMAGE_TYPE_JPEG))
            return QUORIX_E_NOT_SUPPORTED;
        const uint32_t count = static_cast<uint32_t>(file.Size());
        *block = file.Detach();
        *byteCount = count;
        return *block != nullptr ? QUORIX_OK : QUORIX_E_NOT_SUPPORTED;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return QUORIX_E_EXCEPTION;
    }
}

void ReleaseSnapshotJpeg(uint8_t* block) {
    std::free(block);
}

}  // namespace HCC
