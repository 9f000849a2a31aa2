#pragma once
// Test media made on the spot: generated pictures encoded with libavcodec (libx264, libx265,
// mjpeg) and G.711 through FFmpeg's pcm_alaw / pcm_mulaw encoders. Nothing binary is committed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorix_test {

// A planar picture; chroma planes have (width >> shiftX) × (height >> shiftY) samples (rounded
// up), none for grey. Rows are packed (stride = plane width).
struct Picture {
    uint32_t width = 0;
    uint32_t height = 0;
    int chromaShiftX = 1;
    int chromaShiftY = 1;
    bool grey = false;
    std::vector<uint8_t> planes[3];
    uint32_t ChromaWidth() const {
        return grey ? 0 : (width + (1u << chromaShiftX) - 1) >> chromaShiftX;
    }
    uint32_t ChromaHeight() const {
        return grey ? 0 : (height + (1u << chromaShiftY) - 1) >> chromaShiftY;
    }
};

// Smooth moving test content (sines), so lossy coding at high quality stays well above 35 dB.
// pixelFormat: an FFmpeg name ("yuv420p", "yuvj422p", "yuv444p", "gray", ...).
Picture MakePicture(uint32_t width, uint32_t height, uint32_t index,
                    const std::string& pixelFormat = "yuv420p");
// The same content as a 4:2:0 picture (chroma sampled at the centre of each 2 × 2 block): what
// a decoder that converts to 4:2:0 should deliver for any source layout.
Picture Reference420(uint32_t width, uint32_t height, uint32_t index, bool grey = false);
// A flat picture of one Y, U, V value.
Picture FlatPicture(uint32_t width, uint32_t height, uint8_t y, uint8_t u, uint8_t v,
                    const std::string& pixelFormat = "yuv420p");

struct Packet {
    std::vector<uint8_t> data;
    bool key = false;
};

struct VideoEncodeOptions {
    std::string encoder = "libx264";  // "libx264", "libx265", "mjpeg"
    uint32_t width = 320;
    uint32_t height = 240;
    uint32_t frames = 5;
    // mjpeg: "yuvj420p", "yuvj422p", "yuvj444p"; high bit depth ("yuv420p10le") takes the 8-bit
    // pictures scaled up
    std::string pixelFormat = "yuv420p";
    int quality = 12;  // CRF for libx264/libx265, q-scale (2 = best) for mjpeg
    int gop = 25;      // key frame every gop pictures
    std::string preset = "ultrafast";
    int threads = 1;
    int slices = 0;  // libx264: slices per picture (0 = encoder default)
    // libx264/libx265: the AVColorRange and AVColorSpace written into the stream (0: left to
    // the encoder, which then signals nothing)
    int colorRange = 0;
    int colorSpace = 0;
    // libx264/libx265: B-frames between the reference pictures (0: none, pictures in order)
    int bFrames = 0;
};

bool HasEncoder(const std::string& name);
// One packet per picture in decode order (low-latency settings: no look-ahead, and no B-frames
// unless the options ask for them).
// Empty when the encoder is missing or fails. `sources`, when given, receives the pictures.
std::vector<Packet> EncodeVideo(const VideoEncodeOptions& options,
                                std::vector<Picture>* sources = nullptr);
// Encodes given pictures (all of the options' size and layout).
std::vector<Packet> EncodePictures(const VideoEncodeOptions& options,
                                   const std::vector<Picture>& pictures);
// One JPEG picture through the mjpeg encoder ("yuvj420p", "yuvj422p", "yuvj444p", "gray").
std::vector<uint8_t> EncodeJpeg(const Picture& picture, int qscale = 2);

// G.711 through FFmpeg's encoders.
std::vector<uint8_t> EncodeG711(bool aLaw, const std::vector<int16_t>& pcm);
// FFmpeg's own G.711 expansion, the reference for ours.
std::vector<int16_t> DecodeG711Reference(bool aLaw, const std::vector<uint8_t>& codes);

// PSNR in dB of two 8-bit planes (99 when identical).
double Psnr(const uint8_t* a, size_t aStride, const uint8_t* b, size_t bStride, uint32_t width,
            uint32_t height);

}  // namespace quorix_test
