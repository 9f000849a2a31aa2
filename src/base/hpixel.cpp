// Pixel format sizes, the YUV-to-YUV conversions, the dispatcher and the picture holder.

#include "base/hpixel.h"

#include <quorixsdk_codes.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "base/hpixel_kernels.h"

namespace BRIXEL {

uint32_t HPixelRGBBytes(CHPixelFormat format) {
    switch (format) {
        case HPIXEL_RGBX32:
        case HPIXEL_BGRX32:
        case HPIXEL_RGBX32_BOTTOMUP:
        case HPIXEL_BGRX32_BOTTOMUP:
            return 4;
        case HPIXEL_RGB24:
        case HPIXEL_BGR24:
        case HPIXEL_RGB24_BOTTOMUP:
        case HPIXEL_BGR24_BOTTOMUP:
            return 3;
        case HPIXEL_RGB555:
        case HPIXEL_RGB565:
        case HPIXEL_RGB555_BOTTOMUP:
        case HPIXEL_RGB565_BOTTOMUP:
            return 2;
        default:
            return 0;
    }
}

bool HPixelIsBottomUp(CHPixelFormat format) {
    return format >= HPIXEL_RGBX32_BOTTOMUP && format <= HPIXEL_RGB565_BOTTOMUP;
}

namespace {

bool IsPlanar420(CHPixelFormat format) {
    return format == HPIXEL_YUV420P || format == HPIXEL_I420 || format == HPIXEL_YV12;
}

bool IsYUV420(CHPixelFormat format) {
    return format >= HPIXEL_YUV420P && format <= HPIXEL_NV21;
}

bool IsPacked422(CHPixelFormat format) {
    return format == HPIXEL_YUV422 || format == HPIXEL_YUYV || format == HPIXEL_UYVY;
}

}  // namespace

uint32_t HPixelDefaultStride(CHPixelFormat format, uint32_t width) {
    const uint64_t w = width;
    uint64_t stride = 0;
    switch (HPixelRGBBytes(format)) {
        case 4:
            stride = 4 * w;
            break;
        // 3*(w+1) rounded down, which is never below 3*w and keeps rows 4-byte aligned.
        case 3:
            stride = (3 * (w + 1)) & ~uint64_t{3};
            break;
        case 2:
            stride = (2 * w + 3) & ~uint64_t{3};
            break;
        default:
            if (IsYUV420(format) || IsPacked422(format)) {
                stride = (w + 1) & ~uint64_t{1};
            }
            break;
    }
    return stride > UINT32_MAX ? 0 : static_cast<uint32_t>(stride);
}

uint32_t HPixelPictureSize(CHPixelFormat format, uint32_t stride, uint32_t height) {
    const uint64_t area = static_cast<uint64_t>(stride) * height;
    uint64_t size = 0;
    if (HPixelRGBBytes(format) != 0) {
        size = area;
    } else if (IsYUV420(format)) {
        size = HPixelI420Size(stride, height);
    } else if (IsPacked422(format)) {
        size = area * 2;
    }
    return size > HPIXEL_MAX_PICTURE_BYTES ? 0 : static_cast<uint32_t>(size);
}

// ---------------------------------------------------------------------------------------------
// CHYUV420pConvert

namespace {

// The checks every conversion starts with. The YUV targets also refuse a destination stride
// below the width: its rows would overlap and the last one would end past the checked size.
bool BadGeometry(const uint8_t* srcY, const uint8_t* srcU, const uint8_t* srcV, const uint8_t* dst,
                 uint32_t strideY, uint32_t width, uint32_t height) {
    return srcY == nullptr || srcU == nullptr || srcV == nullptr || dst == nullptr || width == 0 ||
           height == 0 || strideY < width;
}

uint64_t Planar420Size(uint32_t stride, uint32_t height) {
    return HPixelI420Size(stride, height);
}

// Chroma plane offsets of a planar 4:2:0 picture: the one after Y, and the one after that.
uint64_t FirstChromaOffset(uint32_t stride, uint32_t height) {
    return HPixelI420FirstOffset(stride, height);
}
uint64_t SecondChromaOffset(uint32_t stride, uint32_t height) {
    return HPixelI420SecondOffset(stride, height);
}

void CopyRows(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride, size_t bytes,
              uint32_t rows) {
    if (bytes == 0) {
        return;
    }
    for (uint32_t r = 0; r < rows; ++r) {
        std::memcpy(dst + r * dstStride, src + r * srcStride, bytes);
    }
}

}  // namespace

uint32_t CHYUV420pConvert::ToRGB(CHPixelFormat format, const uint8_t* srcY, const uint8_t* srcU,
                                 const uint8_t* srcV, uint32_t strideY, uint32_t strideUV,
                                 uint32_t width, uint32_t height, uint8_t* dst, uint32_t dstSize,
                                 uint32_t dstStride, CHYUVColour colour) {
    return HPixelToRGB(HPixelBestPath(), format, srcY, srcU, srcV, strideY, strideUV, width, height,
                       dst, dstSize, dstStride, colour);
}

uint32_t CHYUV420pConvert::ToYUV420p(CHPixelFormat format, const uint8_t* srcY, const uint8_t* srcU,
                                     const uint8_t* srcV, uint32_t strideY, uint32_t strideUV,
                                     uint32_t width, uint32_t height, uint8_t* dst,
                                     uint32_t dstSize, uint32_t dstStride) {
    if (BadGeometry(srcY, srcU, srcV, dst, strideY, width, height) || dstStride < width ||
        !IsPlanar420(format)) {
        return QUORIX_E_PARAM;
    }
    if (dstSize < Planar420Size(dstStride, height)) {
        return QUORIX_E_BUFFER_TOO_SMALL;
    }
    CopyRows(srcY, strideY, dst, dstStride, width, height);
    uint8_t* first = dst + FirstChromaOffset(dstStride, height);
    uint8_t* second = dst + SecondChromaOffset(dstStride, height);
    if (format == HPIXEL_YV12) {
        std::swap(first, second);
    }
    const uint32_t chromaStride = HPixelChromaStride(dstStride);
    CopyRows(srcU, strideUV, first, chromaStride, HPixelChromaStride(width),
             HPixelChromaRows(height));
    CopyRows(srcV, strideUV, second, chromaStride, HPixelChromaStride(width),
             HPixelChromaRows(height));
    return QUORIX_OK;
}

uint32_t CHYUV420pConvert::ToSemiPlanar(CHPixelFormat format, const uint8_t* srcY,
                                        const uint8_t* srcU, const uint8_t* srcV, uint32_t strideY,
                                        uint32_t strideUV, uint32_t width, uint32_t height,
                                        uint8_t* dst, uint32_t dstSize, uint32_t dstStride) {
    if (BadGeometry(srcY, srcU, srcV, dst, strideY, width, height) || dstStride < width ||
        (format != HPIXEL_NV12 && format != HPIXEL_NV21)) {
        return QUORIX_E_PARAM;
    }
    if (dstSize < Planar420Size(dstStride, height)) {
        return QUORIX_E_BUFFER_TOO_SMALL;
    }
    CopyRows(srcY, strideY, dst, dstStride, width, height);
    const uint8_t* firstSrc = format == HPIXEL_NV12 ? srcU : srcV;
    const uint8_t* secondSrc = format == HPIXEL_NV12 ? srcV : srcU;
    uint8_t* pairs = dst + FirstChromaOffset(dstStride, height);
    const uint32_t pairCount = HPixelChromaStride(width);
    const size_t pairStride = 2 * static_cast<size_t>(HPixelChromaStride(dstStride));
    for (uint32_t r = 0; r < HPixelChromaRows(height); ++r) {
        const uint8_t* a = firstSrc + static_cast<size_t>(r) * strideUV;
        const uint8_t* b = secondSrc + static_cast<size_t>(r) * strideUV;
        uint8_t* out = pairs + r * pairStride;
        for (uint32_t i = 0; i < pairCount; ++i) {
            out[2 * i] = a[i];
            out[2 * i + 1] = b[i];
        }
    }
    return QUORIX_OK;
}

uint32_t CHYUV420pConvert::ToPacked422(CHPixelFormat format, const uint8_t* srcY,
                                       const uint8_t* srcU, const uint8_t* srcV, uint32_t strideY,
                                       uint32_t strideUV, uint32_t width, uint32_t height,
                                       uint8_t* dst, uint32_t dstSize) {
    if (BadGeometry(srcY, srcU, srcV, dst, strideY, width, height) ||
        (format != HPIXEL_YUYV && format != HPIXEL_UYVY)) {
        return QUORIX_E_PARAM;
    }
    const uint64_t rowBytes = static_cast<uint64_t>(width) * 2;
    if (dstSize < rowBytes * height) {
        return QUORIX_E_BUFFER_TOO_SMALL;
    }
    const bool yFirst = format == HPIXEL_YUYV;
    for (uint32_t r = 0; r < height; ++r) {
        const uint8_t* y = srcY + static_cast<size_t>(r) * strideY;
        const uint8_t* u = srcU + static_cast<size_t>(r / 2) * strideUV;
        const uint8_t* v = srcV + static_cast<size_t>(r / 2) * strideUV;
        uint8_t* out = dst + r * rowBytes;
        uint32_t x = 0;
        for (; x + 2 <= width; x += 2, out += 4) {
            const uint8_t cu = u[x / 2];
            const uint8_t cv = v[x / 2];
            if (yFirst) {
                out[0] = y[x], out[1] = cu, out[2] = y[x + 1], out[3] = cv;
            } else {
                out[0] = cu, out[1] = y[x], out[2] = cv, out[3] = y[x + 1];
            }
        }
        // An odd last pixel has no partner: it gets its half of the group (Y and U), so the
        // row stays 2*width bytes and never reads past the Y row.
        if (x < width) {
            out[yFirst ? 0 : 1] = y[x];
            out[yFirst ? 1 : 0] = u[x / 2];
        }
    }
    return QUORIX_OK;
}

uint32_t CHYUV420pConvert::Crop(const uint8_t* srcY, const uint8_t* srcU, const uint8_t* srcV,
                                uint32_t strideY, uint32_t strideUV, uint32_t width,
                                uint32_t height, uint32_t x, uint32_t y, uint32_t cropWidth,
                                uint32_t cropHeight, uint8_t* dst, uint32_t dstSize,
                                uint32_t dstStride) {
    if (srcY == nullptr || srcU == nullptr || srcV == nullptr || dst == nullptr) {
        return QUORIX_E_PARAM;
    }
    // Odd origins or heights would pair luma rows and columns with the wrong chroma samples.
    if ((x & 1) != 0 || (y & 1) != 0 || (cropHeight & 1) != 0 || cropWidth == 0 ||
        cropHeight == 0 || strideY < width || static_cast<uint64_t>(x) + cropWidth > width ||
        static_cast<uint64_t>(y) + cropHeight > height || cropWidth > dstStride) {
        return QUORIX_E_PARAM;
    }
    if (Planar420Size(dstStride, cropHeight) > dstSize) {
        return QUORIX_E_BUFFER_TOO_SMALL;
    }
    CopyRows(srcY + static_cast<size_t>(y) * strideY + x, strideY, dst, dstStride, cropWidth,
             cropHeight);
    const size_t chromaOrigin = static_cast<size_t>(y / 2) * strideUV + x / 2;
    // x is even, so an odd crop width still has its own last chroma column in the source.
    CopyRows(srcU + chromaOrigin, strideUV, dst + FirstChromaOffset(dstStride, cropHeight),
             HPixelChromaStride(dstStride), HPixelChromaStride(cropWidth), cropHeight / 2);
    CopyRows(srcV + chromaOrigin, strideUV, dst + SecondChromaOffset(dstStride, cropHeight),
             HPixelChromaStride(dstStride), HPixelChromaStride(cropWidth), cropHeight / 2);
    return QUORIX_OK;
}

uint32_t CHYUV420pConvert::Convert(CHPixelFormat format, const uint8_t* srcY, const uint8_t* srcU,
                                   const uint8_t* srcV, uint32_t strideY, uint32_t strideUV,
                                   uint32_t width, uint32_t height, uint8_t* dst, uint32_t dstSize,
                                   uint32_t dstStride, CHYUVColour colour) {
    if (HPixelRGBBytes(format) != 0) {
        return ToRGB(format, srcY, srcU, srcV, strideY, strideUV, width, height, dst, dstSize,
                     dstStride, colour);
    }
    switch (format) {
        case HPIXEL_YUV420P:
        case HPIXEL_I420:
        case HPIXEL_YV12:
            return ToYUV420p(format, srcY, srcU, srcV, strideY, strideUV, width, height, dst,
                             dstSize, dstStride);
        case HPIXEL_NV12:
        case HPIXEL_NV21:
            return ToSemiPlanar(format, srcY, srcU, srcV, strideY, strideUV, width, height, dst,
                                dstSize, dstStride);
        case HPIXEL_YUYV:
        case HPIXEL_UYVY:
            return ToPacked422(format, srcY, srcU, srcV, strideY, strideUV, width, height, dst,
                               dstSize);
        default:
            return QUORIX_E_NOT_IMPL;
    }
}

// ---------------------------------------------------------------------------------------------
// CHPixel

namespace {

std::unique_ptr<uint8_t[]> AllocatePicture(uint32_t size, bool zeroed) {
    try {
        return zeroed ? std::make_unique<uint8_t[]>(size)
                      : std::make_unique_for_overwrite<uint8_t[]>(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

CHPixel::~CHPixel() = default;

void CHPixel::Free() {
    m_owned.reset();
    m_capacity = 0;
    m_data = nullptr;
    m_length = 0;
    m_width = 0;
    m_height = 0;
    m_stride = 0;
    m_format = HPIXEL_NONE;
    m_colour = HYUV_BT601_LIMITED;
}

uint8_t* CHPixel::Detach() {
    uint8_t* data = m_data;
    (void)m_owned.release();  // the caller owns it now
    m_capacity = 0;
    Free();
    return data;
}

void CHPixel::TakeOwned(std::unique_ptr<uint8_t[]> memory, uint32_t length, uint32_t capacity) {
    m_owned = std::move(memory);
    m_capacity = capacity;
    m_data = m_owned.get();
    m_length = length;
}

uint32_t CHPixel::Set(CHPixelFormat format, const uint8_t* data, uint32_t size, uint32_t width,
                      uint32_t height, uint32_t stride, bool copy) {
    if (data == nullptr) {
        // A copy answers as the byte buffer does for a null source; borrowing nothing is a
        // bad pointer.
        return copy ? QUORIX_E_BUFFER : QUORIX_E_PARAM;
    }
    const uint8_t* own = m_owned.get();
    // Borrowing from our own memory would leave the holder pointing into a block it may free.
    const auto at = reinterpret_cast<uintptr_t>(data);
    const auto ownAt = reinterpret_cast<uintptr_t>(own);
    const bool insideOwn = own != nullptr && at >= ownAt && at - ownAt < m_capacity;
    if (copy || insideOwn) {
        if (own != nullptr && m_capacity >= size) {
            std::memmove(m_owned.get(), data, size);
            m_data = m_owned.get();
            m_length = size;
        } else {
            std::unique_ptr<uint8_t[]> memory = AllocatePicture(size, false);
            if (!memory) {
                return QUORIX_E_NO_MEMORY;
            }
            std::memcpy(memory.get(), data, size);
            TakeOwned(std::move(memory), size, size);
        }
    } else {
        m_owned.reset();
        m_capacity = 0;
        m_data = const_cast<uint8_t*>(data);
        m_length = size;
    }
    m_format = format;
    m_width = width;
    m_height = height;
    m_stride = stride;
    return QUORIX_OK;
}

uint32_t CHPixel::LocatePlanes(Planes* planes) const {
    // Every conversion reads each chroma sample a pixel uses, (w+1)/2 by (h+1)/2 (a crop
    // fewer). The reads must stay inside the data, whose size the holder only knows from its
    // caller.
    if (m_width == 0 || m_height == 0 || m_stride < m_width) {
        return QUORIX_E_PARAM;
    }
    const uint64_t lumaEnd = static_cast<uint64_t>(m_stride) * (m_height - 1) + m_width;
    const uint32_t chromaStride = HPixelChromaStride(m_stride);
    const uint64_t rows = HPixelChromaRows(m_height);
    const uint64_t cols = HPixelChromaStride(m_width);
    const uint64_t second = SecondChromaOffset(m_stride, m_height);
    const uint64_t chromaEnd =
        (rows == 0 || cols == 0) ? 0 : second + (rows - 1) * chromaStride + cols;
    if (std::max(lumaEnd, chromaEnd) > m_length) {
        return QUORIX_E_PARAM;
    }
    const uint8_t* first = m_data + FirstChromaOffset(m_stride, m_height);
    const uint8_t* later = m_data + second;
    planes->y = m_data;
    planes->u = m_format == HPIXEL_YV12 ? later : first;
    planes->v = m_format == HPIXEL_YV12 ? first : later;
    planes->strideUV = chromaStride;
    return QUORIX_OK;
}

uint32_t CHPixel::Crop(CHPixelFormat format, uint32_t x, uint32_t y, uint32_t w, uint32_t h,
                       uint32_t stride) {
    if (IsEmpty()) {
        return QUORIX_E_NOT_SUPPORTED;
    }
    if (format != HPIXEL_YUV420P && format != HPIXEL_I420) {
        return QUORIX_E_PARAM;
    }
    if (stride == 0) {
        stride = HPixelDefaultStride(format, w);
    }
    if (!IsPlanar420(m_format)) {
        return QUORIX_E_NOT_IMPL;
    }
    Planes planes{};
    uint32_t result = LocatePlanes(&planes);
    if (result != QUORIX_OK) {
        return result;
    }
    const uint32_t size = HPixelPictureSize(format, stride, h);
    if (size == 0) {
        return QUORIX_E_PARAM;
    }
    // Row padding beyond the picture is never written; zeroed memory keeps it defined.
    std::unique_ptr<uint8_t[]> memory = AllocatePicture(size, stride > w);
    if (!memory) {
        return QUORIX_E_NO_MEMORY;
    }
    result = CHYUV420pConvert::Crop(planes.y, planes.u, planes.v, m_stride, planes.strideUV,
                                    m_width, m_height, x, y, w, h, memory.get(), size, stride);
    if (result != QUORIX_OK) {
        return result;
    }
    TakeOwned(std::move(memory), size, size);
    m_width = w;
    m_height = h;
    m_stride = stride;
    m_format = format;
    return QUORIX_OK;
}

uint32_t CHPixel::ConvertTo(CHPixelFormat format, uint8_t* destination, uint32_t destinationSize,
                            uint32_t destinationStride) const {
    if (IsEmpty()) {
        return QUORIX_E_NOT_SUPPORTED;
    }
    if (format == HPIXEL_NONE) {
        return QUORIX_E_PARAM;
    }
    if (!IsPlanar420(m_format)) {
        return QUORIX_E_NOT_IMPL;
    }
    Planes planes{};
    const uint32_t result = LocatePlanes(&planes);
    if (result != QUORIX_OK) {
        return result;
    }
    return CHYUV420pConvert::Convert(format, planes.y, planes.u, planes.v, m_stride,
                                     planes.strideUV, m_width, m_height, destination,
                                     destinationSize, destinationStride, m_colour);
}

uint32_t CHPixel::Convert(CHPixelFormat format, uint32_t stride) {
    if (IsEmpty()) {
        return QUORIX_E_NOT_SUPPORTED;
    }
    if (stride == 0) {
        stride = HPixelDefaultStride(format, m_width);
    }
    const uint32_t size = HPixelPictureSize(format, stride, m_height);
    if (size == 0) {
        return QUORIX_E_NOT_SUPPORTED;
    }
    // The YUV copies leave row padding beyond the picture untouched; keep it defined.
    const bool partial = HPixelRGBBytes(format) == 0 && stride > m_width;
    std::unique_ptr<uint8_t[]> memory = AllocatePicture(size, partial);
    if (!memory) {
        return QUORIX_E_NO_MEMORY;
    }
    const uint32_t result = ConvertTo(format, memory.get(), size, stride);
    if (result != QUORIX_OK) {
        return result;
    }
    TakeOwned(std::move(memory), size, size);
    m_stride = stride;
    m_format = format;
    return QUORIX_OK;
}

}  // namespace BRIXEL
