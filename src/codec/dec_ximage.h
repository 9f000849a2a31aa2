#pragma once
// MJPEG through the image codec library, and the JPEG encoding of snapshots.

#include <cstdint>

#include "base/hbuffer.h"
#include "codec/decoder.h"

namespace HCC {

class CDecXImage : public CDecoder {
    H_DECLARE_RUNTIME_CLASS(CDecXImage)
public:
    CDecXImage() = default;
    ~CDecXImage() override = default;

    bool IsSupport(uint32_t codec) const override;
    uint32_t DecodeVideo(const uint8_t* data, uint32_t size, uint32_t& width, uint32_t& height,
                         uint32_t& format, uint8_t* planes[3], uint32_t sizes[3],
                         uint32_t strides[3]) override;

    const BRIXEL::CHBuffer& GetBuffer() const { return m_picture; }

private:
    BRIXEL::CHBuffer m_picture;  // the converted 4:2:0 picture; decoding thread only
};

// Converts bottom-up B, G, R rows (width × 3 bytes each, no padding) into planar 4:2:0 at `out`
// (Y width × height, then U and V of ((width+1)/2) × ((height+1)/2) each, top row first).
void ConvertBottomUpBgrTo420(const uint8_t* bgr, uint32_t width, uint32_t height, uint8_t* out);

// Encodes rows of a snapshot (bottom-up, as a BMP holds them; 24 or 32 bits per pixel) as JPEG.
// QUORIX_E_PARAM for null pixels or outputs, QUORIX_E_NOT_SUPPORTED when encoding fails. The
// block is released with ReleaseSnapshotJpeg.
uint32_t EncodeSnapshotJpeg(const uint8_t* pixels, uint32_t width, uint32_t rowBytes,
                            uint32_t height, uint32_t bitsPerPixel, uint32_t quality,
                            uint8_t** block, uint32_t* byteCount);
void ReleaseSnapshotJpeg(uint8_t* block);

}  // namespace HCC
