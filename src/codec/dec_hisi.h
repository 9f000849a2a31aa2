#pragma once
// Adapter over the native software decoders (H.264, H.265, MJPEG). The native instance needs
// the picture size, so it is made at the first picture and remade when the size changes.

#include <cstdint>

#include "codec/decoder.h"

namespace HCC {

class CDecHisi : public CDecoder {
    H_DECLARE_RUNTIME_CLASS(CDecHisi)
public:
    CDecHisi() = default;
    ~CDecHisi() override;

    uint32_t Open(uint32_t codec) override;
    void Close() override;
    bool IsSupport(uint32_t codec) const override;
    uint32_t DecodeVideo(const uint8_t* data, uint32_t size, uint32_t& width, uint32_t& height,
                         uint32_t& format, uint8_t* planes[3], uint32_t sizes[3],
                         uint32_t strides[3]) override;
    uint32_t DrainVideo(uint32_t& width, uint32_t& height, uint32_t& format, uint8_t* planes[3],
                        uint32_t sizes[3], uint32_t strides[3]) override;

    bool HasNativeInstance() const { return m_handle != nullptr; }
    // Channel number the next H.265 instance gets (process-wide, counts successful creates).
    static uint32_t NextH265Channel();

private:
    uint32_t CreateH264Decoder(uint32_t width, uint32_t height);
    uint32_t CreateH265Decoder(uint32_t width, uint32_t height);
    uint32_t CreateMjpegDecoder(uint32_t width, uint32_t height);
    // One call of the native instance; no data: the end of the stream.
    uint32_t DecodeNative(const uint8_t* data, uint32_t size, uint32_t& width, uint32_t& height,
                          uint32_t& format, uint8_t* planes[3], uint32_t sizes[3],
                          uint32_t strides[3]);

    // All fields: the decoding thread only.
    void* m_handle = nullptr;  // native instance of m_codec's kind, null until the first picture
    uint32_t m_width = 0;      // size the instance was made (or last used) for
    uint32_t m_height = 0;
};

}  // namespace HCC
