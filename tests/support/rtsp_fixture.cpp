#include "support/rtsp_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

extern char** environ;

namespace rtsptest {

namespace {

constexpr const char* kPython = "/usr/bin/python3";
// Python and GStreamer start in well under a second; a machine that runs many tests at once may
// need many more.
constexpr int kReadyWaitMs = 60000;

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the server script with `args`; its stdout goes to the returned pipe end (-1 on failure,
// with `why` set) and its stderr to `logPath`.
pid_t SpawnScript(const std::vector<std::string>& args, const std::string& logPath, int* readEnd,
                  std::string* why) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *why = std::string("pipe: ") + std::strerror(errno);
        return -1;
    }
    std::vector<std::string> argv = {kPython, QUORIX_RTSP_SERVER_SCRIPT};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& arg : argv)
        raw.push_back(arg.data());
    raw.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // Its own process group: a signal meant for the test runner's group does not reach it, and
    // the server never outlives a test that kills it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, kPython, &actions, &attributes, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        *why = std::string("cannot run ") + kPython + ": " + std::strerror(spawned);
        return -1;
    }
    *readEnd = fds[0];
    return pid;
}

// The first line the child prints; empty at its end of output or after the wait.
std::string ReadLine(int fd, int waitMs) {
    std::string line;
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, waitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return {};
        char c = 0;
        const ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return {};
        if (c == '\n')
            return line;
        line.push_back(c);
    }
}

void Reap(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::string ServerUnavailable() {
    static std::once_flag once;
    static std::string why;
    std::call_once(once, [] {
        ScratchDir dir;
        int out = -1;
        const std::string log = dir.Path("check.log");
        const pid_t pid = SpawnScript({"--check"}, log, &out, &why);
        if (pid < 0)
            return;
        const std::string line = ReadLine(out, kReadyWaitMs);
        close(out);
        kill(pid, SIGKILL);
        Reap(pid);
        if (line != "available")
            why = line.empty() ? "the RTSP server script failed: " + ReadWholeFile(log) : line;
    });
    return why;
}

RtspServer::RtspServer(ServerOptions options) : m_options(std::move(options)) {}

RtspServer::~RtspServer() {
    Kill();
    if (!m_log.empty())
        unlink(m_log.c_str());
}

bool RtspServer::Start(uint16_t port) {
    Kill();
    m_error.clear();
    std::vector<std::string> args = {"--video", m_options.video,
                                     "--codec", m_options.codec,
                                     "--fps",   std::to_string(m_options.fps),
                                     "--port",  std::to_string(port),
                                     "--path",  m_options.path};
    if (!m_options.audio.empty())
        args.insert(args.end(), {"--audio", m_options.audio});
    if (m_options.loop)
        args.push_back("--loop");
    if (!m_options.user.empty())
        args.insert(args.end(), {"--user", m_options.user, "--password", m_options.password});
    if (!m_options.stamps.empty())
        args.insert(args.end(), {"--stamps", m_options.stamps});
    if (m_log.empty())
        m_log = m_options.video + ".server" + std::to_string(getpid()) + ".log";
    m_pid = SpawnScript(args, m_log, &m_stdout, &m_error);
    if (m_pid < 0)
        return false;
    const std::string line = ReadLine(m_stdout, kReadyWaitMs);
    unsigned parsed = 0;
    if (std::sscanf(line.c_str(), "ready %u", &parsed) != 1 || parsed == 0 || parsed > 65535) {
        m_error = "the RTSP server did not come up (" + (line.empty() ? "no output" : line) +
                  "): " + ReadWholeFile(m_log);
        Kill();
        return false;
    }
    m_port = static_cast<uint16_t>(parsed);
    return true;
}

void RtspServer::Kill() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        Reap(m_pid);
        m_pid = -1;
    }
    if (m_stdout >= 0) {
        close(m_stdout);
        m_stdout = -1;
    }
}

bool RtspServer::Restart() {
    const uint16_t port = m_port;
    Kill();
    return Start(port);
}

bool RtspServer::Stall() {
    return m_pid > 0 && kill(m_pid, SIGSTOP) == 0;
}

bool RtspServer::Resume() {
    return m_pid > 0 && kill(m_pid, SIGCONT) == 0;
}

std::string RtspServer::Url(const std::string& user, const std::string& password) const {
    std::string url = "rtsp://";
    if (!user.empty())
        url += user + ":" + password + "@";
    return url + "127.0.0.1:" + std::to_string(m_port) + m_options.path;
}

ScratchDir::ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quorix-rtsp-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
        m_path = pattern;
}

ScratchDir::~ScratchDir() {
    if (!m_path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::vector<std::vector<uint8_t>> DecodeLuma(const std::string& decoder,
                                             const std::vector<quorix_test::Packet>& packets,
                                             uint32_t width, uint32_t height) {
    std::vector<std::vector<uint8_t>> pictures;
    const AVCodec* codec = avcodec_find_decoder_by_name(decoder.c_str());
    if (codec == nullptr)
        return pictures;
    struct Free {
        void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
        void operator()(AVFrame* f) const { av_frame_free(&f); }
        void operator()(AVPacket* p) const { av_packet_free(&p); }
    };
    std::unique_ptr<AVCodecContext, Free> context(avcodec_alloc_context3(codec));
    std::unique_ptr<AVFrame, Free> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, Free> packet(av_packet_alloc());
    if (!context || !frame || !packet)
        return pictures;
    context->thread_count = 1;
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return pictures;
    bool failed = false;
    const auto drain = [&] {
        for (;;) {
            const int got = avcodec_receive_frame(context.get(), frame.get());
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF)
                return;
            if (got < 0 || frame->width != static_cast<int>(width) ||
                frame->height != static_cast<int>(height)) {
                failed = true;
                return;
            }
            std::vector<uint8_t> luma(size_t{width} * height);
            for (uint32_t y = 0; y < height; ++y)
                std::memcpy(luma.data() + size_t{y} * width,
                            frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0], width);
            pictures.push_back(std::move(luma));
            av_frame_unref(frame.get());
        }
    };
    for (const quorix_test::Packet& source : packets) {
        av_packet_unref(packet.get());
        if (av_new_packet(packet.get(), static_cast<int>(source.data.size())) < 0)
            return {};
        std::memcpy(packet->data, source.data.data(), source.data.size());
        if (avcodec_send_packet(context.get(), packet.get()) < 0)
            return {};
        drain();
    }
    avcodec_send_packet(context.get(), nullptr);
    drain();
    if (failed)
        return {};
    return pictures;
}

bool MakeTestStream(const std::string& directory, const std::string& encoder, uint32_t width,
                    uint32_t height, uint32_t frames, uint32_t gop, bool audio, TestStream* out,
                    std::string* why) {
    if (!quorix_test::HasEncoder(encoder)) {
        *why = encoder + " missing";
        return false;
    }
    std::vector<quorix_test::Picture> pictures;
    for (uint32_t i = 0; i < frames; ++i) {
        quorix_test::Picture picture = quorix_test::MakePicture(width, height, i);
        for (int plane = 1; plane < 3; ++plane)
            std::fill(picture.planes[plane].begin(), picture.planes[plane].end(), 128);
        pictures.push_back(std::move(picture));
    }
    quorix_test::VideoEncodeOptions options;
    options.encoder = encoder;
    options.width = width;
    options.height = height;
    options.frames = frames;
    options.gop = static_cast<int>(gop);
    const std::vector<quorix_test::Packet> packets = quorix_test::EncodePictures(options, pictures);
    if (packets.size() != frames) {
        *why = encoder + " did not encode every picture";
        return false;
    }
    std::vector<uint8_t> annexB;
    for (const quorix_test::Packet& packet : packets)
        annexB.insert(annexB.end(), packet.data.begin(), packet.data.end());
    out->codec = encoder == "libx265" ? "h265" : "h264";
    out->width = width;
    out->height = height;
    out->videoPath = directory + "/video." + out->codec;
    if (!WriteBytes(out->videoPath, annexB)) {
        *why = "cannot write " + out->videoPath;
        return false;
    }
    out->decodedLuma = DecodeLuma(out->codec == "h265" ? "hevc" : "h264", packets, width, height);
    if (out->decodedLuma.size() != frames) {
        *why = "FFmpeg's decoder did not give back every picture";
        return false;
    }
    out->audioPath.clear();
    if (audio) {
        // A 440 Hz tone as long as the pictures last, so a loop restarts both together.
        const size_t samples = size_t{frames} * 8000 / 25;
        std::vector<int16_t> pcm(samples);
        for (size_t i = 0; i < samples; ++i)
            pcm[i] =
                static_cast<int16_t>(8000.0 * std::sin(6.283185307179586 * 440.0 * i / 8000.0));
        const std::vector<uint8_t> alaw = quorix_test::EncodeG711(true, pcm);
        out->audioPath = directory + "/audio.alaw";
        if (alaw.size() != samples || !WriteBytes(out->audioPath, alaw)) {
            *why = "cannot make the A-law sound";
            return false;
        }
    }
    return true;
}

}  // namespace rtsptest
