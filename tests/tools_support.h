#pragma once
// Helpers of the tool tests: media files written with libavformat, container files read back,
// and the tools run as child processes.

#include <cstdint>
#include <string>
#include <vector>

namespace toolstest {

struct MediaPlan {
    std::string encoder = "libx264";  // "libx264", "libx265", "mjpeg", "mpeg4"
    std::string container = "mp4";    // muxer name: "mp4", "matroska", "avi", "h264"
    uint32_t width = 320;
    uint32_t height = 240;
    uint32_t frames = 30;
    int fps = 25;
    int bFrames = 0;
    int gop = 10;
    bool aacAudio = false;
    // Draws a white disc (cx, cy, r) on black instead of the moving pattern.
    bool disc = false;
    double cx = 0, cy = 0, r = 0;
};

// Writes a media file; false when an encoder or muxer is missing.
bool WriteMedia(const std::string& path, const MediaPlan& plan);

// Hashes of every decoded picture (Y, U, V planes, in output order) of the video of a file FFmpeg
// reads, or of a run of encoded packets given to the decoder of `codecName`.
std::vector<uint64_t> DecodeFileHashes(const std::string& path);
std::vector<uint64_t> DecodePacketHashes(const std::string& codecName,
                                         const std::vector<std::vector<uint8_t>>& packets);

// The luma plane (width × height bytes, no padding) of the first picture such packets decode to;
// empty when none does.
std::vector<uint8_t> DecodeFirstLuma(const std::string& codecName,
                                     const std::vector<std::vector<uint8_t>>& packets, int* width,
                                     int* height);

struct Record {
    uint8_t kind = 0;
    uint32_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t clock = 0;
    uint8_t codec = 0;
    uint8_t media[6] = {};
    uint64_t offset = 0;
    std::vector<uint8_t> payload;
};

struct Container {
    uint8_t header[64] = {};
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> extensions;
    std::vector<Record> records;
    std::vector<uint32_t> index;  // timestamp, offset, frame number triples
    bool ok = false;
};

Container ReadContainer(const std::string& path);
uint32_t Le32(const uint8_t* p);
float LeF32(const uint8_t* p);

// Runs a command line through the shell; returns its exit status and standard output.
int Run(const std::string& command, std::string* output = nullptr);

// A fresh directory under the test temporary directory, removed by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

}  // namespace toolstest
