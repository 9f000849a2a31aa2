#pragma once
// What FFmpeg's libavformat reads (a camera's rtsp:// URL, an MP4, MKV or TS file, anything it
// opens) turned into the frames of this library's records: H.264 and H.265 as Annex B with
// their parameter sets in key frames, MJPEG as it comes, G.711 audio passed through and any
// other audio transcoded to G.711 A-law in 20 ms blocks. Stamps are milliseconds from the first
// key frame, strictly increasing for video in file (decode) order.
//
// Every blocking call of FFmpeg checks a stop flag and a deadline (the connect or read time-out),
// so an open or a read never waits for longer than the time-out, and a stop ends it at once.
// One thread uses a demuxer at a time.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVCodecParameters;

namespace QPULL {

enum class Transport { Auto, Tcp, Udp };

struct OpenOptions {
    Transport transport = Transport::Auto;
    uint32_t timeoutMs = 0;  // connect and read time-out; 0: none
    // Put into the URL in place of the one it may carry; empty: the URL's own.
    std::string user;
    std::string password;
};

struct MediaFrame {
    bool audio = false;
    bool key = false;
    int64_t ms = 0;  // from the first key frame of this open
    std::vector<uint8_t> data;
};

struct StreamInfo {
    uint8_t videoCodec = 0;  // QUORIX_CODEC_*
    uint16_t width = 0;
    uint16_t height = 0;
    // Pictures the decoder holds back before the first comes out (B-frames); 0 without reordering.
    int reorderDelay = 0;
    int64_t frameMs = 40;  // the picture interval, for frames without a stamp
    bool hasAudio = false;
    uint8_t audioCodec = 0;  // QUORIX_CODEC_G711A or _G711U
    uint8_t channels = 1;
    uint32_t sampleRate = 8000;
};

// Checks the syntax of a URL or path before anything is opened: QUORIX_OK, or QUORIX_E_PARAM for
// an empty string, control characters, a scheme no FFmpeg protocol serves, or a network URL
// without a host or with a port that is not a number from 1 to 65535.
uint32_t CheckUrl(const std::string& url);
// Whether the URL names a network source (a scheme other than file:).
bool IsNetworkUrl(const std::string& url);
// The URL with user and password (percent-encoded) as its user information; unchanged when
// user is empty or the URL is no network URL.
std::string WithCredentials(const std::string& url, const std::string& user,
                            const std::string& password);

class CDemuxer {
public:
    CDemuxer();
    ~CDemuxer();
    CDemuxer(const CDemuxer&) = delete;
    CDemuxer& operator=(const CDemuxer&) = delete;

    // Opens the source and finds its video. stop, when given, ends any wait as soon as it is
    // set. QUORIX_OK; QUORIX_E_PARAM for a malformed URL or refused credentials;
    // QUORIX_E_OPEN_FILE for a local file that cannot be opened; QUORIX_E_NOT_OPEN for a network
    // source that cannot be reached (refused, unreachable, unknown host); QUORIX_E_TIMEOUT when
    // the time-out passed; QUORIX_E_FILE_FORMAT for data that is no media or has no video;
    // QUORIX_E_NOT_SUPPORTED for video other than H.264, H.265 or MJPEG or a picture too large.
    // Error() tells more.
    uint32_t Open(const std::string& url, const OpenOptions& options,
                  const std::atomic<bool>* stop = nullptr);
    // Appends the frames of the next packet (possibly none): QUORIX_OK; QUORIX_E_END_OF_DATA at
    // the end; QUORIX_E_TIMEOUT when a read stalled past the time-out; QUORIX_E_NOT_OPEN for
    // another read error (the connection went away); QUORIX_E_STATE when stopped.
    uint32_t Read(std::vector<MediaFrame>* out);
    void Close();

    const StreamInfo& Info() const { return m_info; }
    bool IsNetwork() const { return m_network; }
    // The video stream's parameters as FFmpeg gives them (for a decoder of the first picture).
    const AVCodecParameters* VideoParameters() const;
    // Seconds of the input, and of the last video packet read, from its start; 0 when unknown.
    double Duration() const;
    double Position() const { return m_position; }
    const std::string& Error() const { return m_error; }

private:
    struct Impl;
    static int Interrupt(void* opaque);
    void Arm(uint32_t extraMs = 0);
    uint32_t FailOpen(int err, const std::string& what);
    uint32_t OpenStreams();
    void VideoPacket(void* packet, std::vector<MediaFrame>* out);
    void AudioPacket(void* packet, std::vector<MediaFrame>* out);

    std::unique_ptr<Impl> m_impl;
    StreamInfo m_info;
    bool m_network = false;
    double m_position = 0;
    std::string m_url;
    std::string m_error;
    OpenOptions m_options;
    const std::atomic<bool>* m_stop = nullptr;
    int64_t m_deadline = 0;  // steady ms; 0: none
    bool m_timedOut = false;
};

}  // namespace QPULL
