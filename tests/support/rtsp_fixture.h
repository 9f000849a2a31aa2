#pragma once
// An RTSP server on 127.0.0.1 for the network tests and the pull benchmark: tests/support/
// rtsp_server.py (GStreamer's RTSP server through Debian's /usr/bin/python3) run as a child
// process that serves elementary streams the test encoded, and the test media it serves.
//
// The server is waited for, never slept for: Start() returns once the child has printed the
// port it listens on. Kill() ends it for good (SIGKILL, as a camera that loses power), Restart()
// brings it back on the same port, Stall() and Resume() freeze and thaw it (SIGSTOP / SIGCONT),
// as a camera whose connection stays open but stops sending.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/media_encoder.h"

namespace rtsptest {

// Empty when GStreamer's RTSP server module and the elements the server uses are there;
// otherwise why not (checked once per process).
std::string ServerUnavailable();

struct ServerOptions {
    std::string video;           // Annex B H.264 or H.265, every key frame with its parameter sets
    std::string codec = "h264";  // "h264" or "h265"
    std::string audio;           // raw 8 kHz mono A-law bytes; empty: no sound
    uint32_t fps = 25;
    bool loop = true;      // false: the stream ends with the file
    std::string user;      // empty: no authentication
    std::string password;  // basic authentication's password
    std::string stamps;    // file of "frame monotonic_ns" lines, one per frame sent; empty: none
    std::string path = "/stream";
};

class RtspServer {
public:
    explicit RtspServer(ServerOptions options);
    ~RtspServer();
    RtspServer(const RtspServer&) = delete;
    RtspServer& operator=(const RtspServer&) = delete;

    // Starts the server on `port` (0: a free one) and waits until it listens; false with
    // Error() set when it does not come up.
    bool Start(uint16_t port = 0);
    // Ends the server at once and reaps it; nothing when it does not run.
    void Kill();
    // Kill(), then Start() on the port it had.
    bool Restart();
    // Freezes the whole process (its sockets stay open) and thaws it.
    bool Stall();
    bool Resume();

    uint16_t Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }
    // rtsp://[user:password@]127.0.0.1:port/stream
    std::string Url(const std::string& user = "", const std::string& password = "") const;
    const std::string& Error() const { return m_error; }

private:
    ServerOptions m_options;
    pid_t m_pid = -1;
    int m_stdout = -1;
    uint16_t m_port = 0;
    std::string m_log;  // the child's stderr
    std::string m_error;
};

// A directory of the test's own, removed with everything in it at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string Path(const std::string& name) const { return m_path + "/" + name; }
    bool Ok() const { return !m_path.empty(); }

private:
    std::string m_path;
};

// A test stream: grey moving pictures (chroma 128, so every YUV-to-RGB matrix shows the same
// grey) encoded by libx264 or libx265 into an Annex B file, optionally with a G.711 A-law tone,
// and the luma of every picture as FFmpeg's decoder gives it back, which the pulled pictures are
// compared with.
struct TestStream {
    std::string videoPath;
    std::string audioPath;  // empty without sound
    std::string codec;      // "h264" or "h265"
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<std::vector<uint8_t>> decodedLuma;  // one width x height plane per picture
};

// encoder: "libx264" or "libx265". False with `why` set when the encoder or decoder is missing
// or a file cannot be written.
bool MakeTestStream(const std::string& directory, const std::string& encoder, uint32_t width,
                    uint32_t height, uint32_t frames, uint32_t gop, bool audio, TestStream* out,
                    std::string* why);

// Decodes Annex B packets (one access unit each) with FFmpeg's decoder ("h264", "hevc"): the
// luma of every picture, width x height, in output order. Empty on a decoding error.
std::vector<std::vector<uint8_t>> DecodeLuma(const std::string& decoder,
                                             const std::vector<quorix_test::Packet>& packets,
                                             uint32_t width, uint32_t height);

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace rtsptest
