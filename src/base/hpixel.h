#pragma once
// Pixel format numbers, the picture holder and the planar 4:2:0 converter.
//
// All decoded video travels as planar 4:2:0 (format 20). The display turns it into whatever
// its surfaces hold: another YUV layout or packed RGB of 16, 24 or 32 bits, top-down or
// bottom-up. The colour maths is integer only (see hpixel_kernels.h for the formulas and the
// reference they are checked against).

#include <cstdint>
#include <memory>

namespace BRIXEL {

// Numbers are stable: they are stored by callers and cross the display's surface descriptions.
enum CHPixelFormat : uint32_t {
    HPIXEL_NONE = 0,
    HPIXEL_RGBX32 = 1,  // bytes R, G, B, 0
    HPIXEL_RGB24 = 2,   // bytes R, G, B
    HPIXEL_BGRX32 = 3,  // bytes B, G, R, 0
    HPIXEL_BGR24 = 4,   // bytes B, G, R
    HPIXEL_RGB555 = 5,  // little-endian 0rrrrrgggggbbbbb
    HPIXEL_RGB565 = 6,  // little-endian rrrrrggggggbbbbb
    // As 1..6, but the bottom picture row comes first in memory.
    HPIXEL_RGBX32_BOTTOMUP = 11,
    HPIXEL_RGB24_BOTTOMUP = 12,
    HPIXEL_BGRX32_BOTTOMUP = 13,
    HPIXEL_BGR24_BOTTOMUP = 14,
    HPIXEL_RGB555_BOTTOMUP = 15,
    HPIXEL_RGB565_BOTTOMUP = 16,
    HPIXEL_YUV420P = 20,  // Y plane, U plane, V plane
    HPIXEL_I420 = 21,     // same layout as 20
    HPIXEL_YV12 = 22,     // Y plane, V plane, U plane
    HPIXEL_NV12 = 23,     // Y plane, interleaved U, V
    HPIXEL_NV21 = 24,     // Y plane, interleaved V, U
    HPIXEL_YUV422 = 30,   // packed 4:2:2: sized, but nothing converts to it
    HPIXEL_YUYV = 31,     // Y0, U, Y1, V
    HPIXEL_UYVY = 33,     // U, Y0, V, Y1
};

// How the Y, U, V samples of a picture become R, G, B: the matrix (BT.601 or BT.709) and the
// sample range (limited: Y 16..235, U and V 16..240; full: 0..255). Decoders report it with
// each picture; 0 is what standard-definition video that signals nothing means.
enum CHYUVColour : uint32_t {
    HYUV_BT601_LIMITED = 0,
    HYUV_BT601_FULL = 1,
    HYUV_BT709_LIMITED = 2,
    HYUV_BT709_FULL = 3,
};

inline constexpr CHYUVColour HYUVColourOf(bool bt709, bool fullRange) {
    return static_cast<CHYUVColour>((bt709 ? 2u : 0u) | (fullRange ? 1u : 0u));
}
inline constexpr bool HYUVIsBT709(CHYUVColour colour) {
    return (colour & 2u) != 0;
}
inline constexpr bool HYUVIsFullRange(CHYUVColour colour) {
    return (colour & 1u) != 0;
}
// A value that did not come from HYUVColourOf (a stored or forwarded number) maps to 0.
inline constexpr CHYUVColour HYUVSanitize(uint32_t value) {
    return value <= HYUV_BT709_FULL ? static_cast<CHYUVColour>(value) : HYUV_BT601_LIMITED;
}
// For streams that do not say: limited range, and the matrix that cameras and players assume
// for the size (BT.709 from 1280 x 720 up, BT.601 below).
inline constexpr CHYUVColour HYUVDefaultColour(uint32_t width, uint32_t height) {
    return HYUVColourOf(width >= 1280 || height >= 720, false);
}

// The exact conversion, for renderers that work in floating point: with Y, U, V as sample/255,
// rgb = matrix * (yuv - offset), matrix row-major (row 0 gives R).
struct CHYUVMatrix {
    float matrix[9];
    float offset[3];
};
CHYUVMatrix HYUVToRGBMatrix(CHYUVColour colour);

// Bytes per pixel of the packed RGB formats (1..6, 11..16); 0 for anything else.
uint32_t HPixelRGBBytes(CHPixelFormat format);
bool HPixelIsBottomUp(CHPixelFormat format);
// Row size used when a caller passes stride 0; 0 for formats without one or when it would not
// fit in 32 bits. For 4:2:0 it is the Y row; for packed 4:2:2 it counts pixels (size = s*h*2).
uint32_t HPixelDefaultStride(CHPixelFormat format, uint32_t width);
// Bytes of a picture of this format for the stride and height; 0 for formats without a size
// and for pictures beyond HPIXEL_MAX_PICTURE_BYTES.
uint32_t HPixelPictureSize(CHPixelFormat format, uint32_t stride, uint32_t height);

// The one block layout of planar 4:2:0 (formats 20..24) for a Y row stride and a height: the Y
// plane, then two chroma planes of ((stride+1)/2) bytes by ((height+1)/2) rows each (one pair
// plane of twice that row length for 23 and 24). Odd widths and heights keep their last chroma
// column and row, and a packed picture is the same layout with the stride equal to the width.
inline uint32_t HPixelChromaStride(uint32_t stride) {
    return stride / 2 + (stride & 1);
}
inline uint32_t HPixelChromaRows(uint32_t height) {
    return height / 2 + (height & 1);
}
inline uint64_t HPixelChromaPlaneSize(uint32_t stride, uint32_t height) {
    return static_cast<uint64_t>(HPixelChromaStride(stride)) * HPixelChromaRows(height);
}
// Offsets of the plane after Y and of the one after that.
inline uint64_t HPixelI420FirstOffset(uint32_t stride, uint32_t height) {
    return static_cast<uint64_t>(stride) * height;
}
inline uint64_t HPixelI420SecondOffset(uint32_t stride, uint32_t height) {
    return HPixelI420FirstOffset(stride, height) + HPixelChromaPlaneSize(stride, height);
}
inline uint64_t HPixelI420Size(uint32_t stride, uint32_t height) {
    return HPixelI420SecondOffset(stride, height) + HPixelChromaPlaneSize(stride, height);
}

// Largest picture the holder allocates (16384 x 16384 at 4 bytes per pixel). Sizes come from
// callers and recordings; this keeps a bad width or height from becoming a huge allocation.
inline constexpr uint64_t HPIXEL_MAX_PICTURE_BYTES = 1ull << 30;

// Stateless: the class only groups the conversions. Source planes are planar 4:2:0 with the
// Y stride and one chroma stride for U and V; results are 0 or a QUORIX_E_* code, and nothing
// is written unless every check has passed.
class CHYUV420pConvert {
public:
    // Formats 1..6 and 11..16 with the destination row stride in bytes; colour is the source's
    // matrix and range.
    static uint32_t ToRGB(CHPixelFormat format, const uint8_t* srcY, const uint8_t* srcU,
                          const uint8_t* srcV, uint32_t strideY, uint32_t strideUV, uint32_t width,
                          uint32_t height, uint8_t* dst, uint32_t dstSize, uint32_t dstStride,
                          CHYUVColour colour = HYUV_BT601_LIMITED);
    // Formats 20, 21 (U plane first) and 22 (V plane first), laid out as HPixelI420Size says.
    static uint32_t ToYUV420p(CHPixelFormat format, const uint8_t* srcY, const uint8_t* srcU,
                              const uint8_t* srcV, uint32_t strideY, uint32_t strideUV,
                              uint32_t width, uint32_t height, uint8_t* dst, uint32_t dstSize,
                              uint32_t dstStride);
    // Formats 23 (U, V pairs) and 24 (V, U pairs); the pair plane follows the Y plane at
    // dstStride*height, with rows of 2*HPixelChromaStride(dstStride) bytes.
    static uint32_t ToSemiPlanar(CHPixelFormat format, const uint8_t* srcY, const uint8_t* srcU,
                                 const uint8_t* srcV, uint32_t strideY, uint32_t strideUV,
                                 uint32_t width, uint32_t height, uint8_t* dst, uint32_t dstSize,
                                 uint32_t dstStride);
    // Formats 31 and 33; rows of 2*width bytes without padding.
    static uint32_t ToPacked422(CHPixelFormat format, const uint8_t* srcY, const uint8_t* srcU,
                                const uint8_t* srcV, uint32_t strideY, uint32_t strideUV,
                                uint32_t width, uint32_t height, uint8_t* dst, uint32_t dstSize);
    // Copies the rectangle (x, y, cropWidth, cropHeight) of a width x height source into a
    // planar 4:2:0 destination laid out as in ToYUV420p (U first). x, y and cropHeight must be
    // even so that the chroma samples stay with their luma.
    static uint32_t Crop(const uint8_t* srcY, const uint8_t* srcU, const uint8_t* srcV,
                         uint32_t strideY, uint32_t strideUV, uint32_t width, uint32_t height,
                         uint32_t x, uint32_t y, uint32_t cropWidth, uint32_t cropHeight,
                         uint8_t* dst, uint32_t dstSize, uint32_t dstStride);
    // Picks the conversion by destination format; QUORIX_E_NOT_IMPL for formats without one.
    // colour matters only for the RGB targets.
    static uint32_t Convert(CHPixelFormat format, const uint8_t* srcY, const uint8_t* srcU,
                            const uint8_t* srcV, uint32_t strideY, uint32_t strideUV,
                            uint32_t width, uint32_t height, uint8_t* dst, uint32_t dstSize,
                            uint32_t dstStride, CHYUVColour colour = HYUV_BT601_LIMITED);
};

// A picture in one of the formats above, in memory it owns or borrows. Not thread-safe: one
// owner at a time.
class CHPixel {
public:
    CHPixel() = default;
    virtual ~CHPixel();
    CHPixel(const CHPixel&) = delete;
    CHPixel& operator=(const CHPixel&) = delete;

    // copy: the bytes are copied into memory of the holder's own (reused when large enough);
    // otherwise the holder borrows data and never frees it. A null data pointer is refused
    // (QUORIX_E_BUFFER for a copy, QUORIX_E_PARAM for a borrow); QUORIX_E_NO_MEMORY when the
    // copy cannot be allocated. The holder is unchanged on failure.
    uint32_t Set(CHPixelFormat format, const uint8_t* data, uint32_t size, uint32_t width,
                 uint32_t height, uint32_t stride, bool copy);
    // Replaces the picture by its rectangle (x, y, w, h) as format 20 or 21; stride 0 takes the
    // default of the target format. The holder is unchanged on failure.
    uint32_t Crop(CHPixelFormat format, uint32_t x, uint32_t y, uint32_t w, uint32_t h,
                  uint32_t stride);
    // Writes the picture in another format into caller memory.
    uint32_t ConvertTo(CHPixelFormat format, uint8_t* destination, uint32_t destinationSize,
                       uint32_t destinationStride) const;
    // Converts in place into new memory of the holder's own; unchanged on failure.
    uint32_t Convert(CHPixelFormat format, uint32_t stride);
    // Matrix and range of a YUV picture, used when it becomes RGB; kept by Set, Crop and the YUV
    // conversions, reset to HYUV_BT601_LIMITED when the holder empties.
    void SetColour(CHYUVColour colour) { m_colour = colour; }
    CHYUVColour GetColour() const { return m_colour; }
    // Gives the memory to the caller and empties the holder. Memory the holder owned came from
    // new uint8_t[] (release it with delete[] or hand it to CHBuffer::Attach); borrowed memory
    // simply goes back to its owner.
    uint8_t* Detach();
    // Releases owned memory and empties the holder.
    void Free();

    bool IsEmpty() const { return m_data == nullptr || m_format == HPIXEL_NONE; }
    uint8_t* GetData() const { return m_data; }
    uint32_t GetLength() const { return m_length; }
    uint32_t GetWidth() const { return m_width; }
    uint32_t GetHeight() const { return m_height; }
    uint32_t GetStride() const { return m_stride; }
    CHPixelFormat GetFormat() const { return m_format; }
    bool IsOwned() const { return m_owned != nullptr; }

private:
    struct Planes {
        const uint8_t* y;
        const uint8_t* u;
        const uint8_t* v;
        uint32_t strideUV;
    };
    // Locates the planes of a 4:2:0 source and checks that they lie inside the data.
    uint32_t LocatePlanes(Planes* planes) const;
    void TakeOwned(std::unique_ptr<uint8_t[]> memory, uint32_t length, uint32_t capacity);

    std::unique_ptr<uint8_t[]> m_owned;  // null while borrowing or empty
    uint32_t m_capacity = 0;             // bytes of m_owned
    uint8_t* m_data = nullptr;           // m_owned.get() or the borrowed memory
    uint32_t m_length = 0;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    uint32_t m_stride = 0;
    CHPixelFormat m_format = HPIXEL_NONE;
    CHYUVColour m_colour = HYUV_BT601_LIMITED;
};

}  // namespace BRIXEL
