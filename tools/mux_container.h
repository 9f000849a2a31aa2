#pragma once
// Writes a media container file from encoded frames handed over in file order: header, the
// optional extension records, the frame records and the key-frame index, with the header's
// counts filled in when the file is finished.

#include <quorixsdk_container.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace quorix_tools {

// Codec numbers of frame records.
enum : uint8_t {
    kCodecH264 = QUORIX_CODEC_H264,
    kCodecMjpeg = QUORIX_CODEC_MJPEG,
    kCodecAlaw = QUORIX_CODEC_G711A,
    kCodecUlaw = QUORIX_CODEC_G711U,
    kCodecH265 = QUORIX_CODEC_H265,
};

struct VideoFrame {
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    bool key = false;
    uint32_t timestampMs = 0;
    uint32_t clock = 0;  // seconds since 1970 UTC
    uint8_t codec = kCodecH264;
    uint16_t width = 0;
    uint16_t height = 0;
};

struct AudioFrame {
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    uint32_t timestampMs = 0;
    uint32_t clock = 0;
    uint8_t codec = kCodecAlaw;
    uint8_t channels = 1;
    uint32_t sampleRate = 8000;
};

class ContainerWriter {
public:
    ContainerWriter() = default;
    ~ContainerWriter();
    ContainerWriter(const ContainerWriter&) = delete;
    ContainerWriter& operator=(const ContainerWriter&) = delete;

    // model: the header's render model byte. info / params: extension payloads (empty: none).
    bool Open(const std::string& path, int8_t model, const std::vector<uint8_t>& info,
              const std::vector<uint8_t>& params, double startTime);
    bool WriteVideo(const VideoFrame& frame);
    bool WriteAudio(const AudioFrame& frame);
    // Writes the index and the final header. False on a write error.
    bool Finish();

    uint32_t VideoFrames() const { return m_videoFrames; }
    uint32_t AudioFrames() const { return m_audioFrames; }
    uint32_t KeyFrames() const { return static_cast<uint32_t>(m_index.size() / 3); }
    const std::string& Error() const { return m_error; }

private:
    bool WriteRecord(uint8_t kind, uint32_t sequence, uint32_t timestamp, uint32_t clock,
                     uint8_t codec, const uint8_t media[6], const uint8_t* data, uint32_t size);
    bool Put(const void* data, size_t size);

    FILE* m_file = nullptr;
    std::string m_error;
    uint64_t m_offset = 0;
    uint32_t m_dataOffset = 0;
    int8_t m_model = 0;
    double m_startTime = 0;
    uint32_t m_videoFrames = 0;
    uint32_t m_audioFrames = 0;
    uint32_t m_firstStamp = 0;
    uint32_t m_lastStamp = 0;
    std::vector<uint32_t> m_index;  // timestamp, offset, frame number per key frame
};

// Days since 1899-12-30 in local time, with the time of day as the fraction.
double LocalOleDate(int64_t unixSeconds, uint32_t millis);

// The renderer parameter block for one circular fisheye camera: a 88-byte header (model
// FISHEYE, one camera) and one 200-byte camera record whose K maps the unit circle onto the
// circle (cx, cy, r) of a width × height picture.
std::vector<uint8_t> FisheyeModelData(uint32_t width, uint32_t height, double cx, double cy,
                                      double r);

}  // namespace quorix_tools
