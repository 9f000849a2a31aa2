// A port pulling a real RTSP server on 127.0.0.1 (tests/support/rtsp_server.py) through
// QUORIX_CameraOpen, shown headless: the pictures drawn match FFmpeg's decoding of the stream
// the server sends, over TCP and UDP, for H.264 with A-law sound and for H.265; basic
// authentication; a server that dies and comes back, one that stalls; closing in every state.
//
// Everything waits on state callbacks and snapshot callbacks with generous time-outs: how long
// a step takes is never asserted.

#include <gtest/gtest.h>
#include <quorixsdk.h>
#include <quorixsdk_camera.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "support/rtsp_fixture.h"

namespace {

using namespace rtsptest;

// The renderer draws into an off-screen surface when there is no X display.
const bool g_headless = [] {
    unsetenv("DISPLAY");
    return true;
}();

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
constexpr uint32_t kFrames = 50;  // two seconds, looped by the server
constexpr uint32_t kGop = 25;
constexpr auto kWait = std::chrono::seconds(60);
// The drawn picture against FFmpeg's decoding of the same picture: only the YUV-to-RGB
// conversion and its rounding lie between them (about 50 dB), while neighbouring pictures of
// the moving test content differ by far more (below 25 dB).
constexpr double kMatchDb = 35.0;
constexpr size_t kShotsChecked = 20;
// Three seconds of pictures: twice the short read time-out of the stall case, so a pull that
// takes a healthy stream for a stalled one shows it.
constexpr size_t kSteadyShots = 75;

const char* StateName(uint32_t state) {
    static const char* const names[] = {"CLOSED",       "CONNECTING", "PLAYING", "LOST",
                                        "RECONNECTING", "ENDED",      "FAILED"};
    return state < 7 ? names[state] : "?";
}

// The state callbacks of one port, in order.
class StateLog {
public:
    struct Event {
        uint32_t state;
        uint32_t code;
    };
    static void Callback(uint16_t, uint32_t state, uint32_t code, void* user) {
        auto* log = static_cast<StateLog*>(user);
        std::lock_guard<std::mutex> guard(log->m_lock);
        log->m_events.push_back({state, code});
        log->m_changed.notify_all();
    }
    // Index of the first event with `state` at or after `from`; -1 when none came in time, or
    // when the pull failed (it ends there) before it.
    int WaitFor(uint32_t state, size_t from = 0) {
        std::unique_lock<std::mutex> guard(m_lock);
        int found = -1;
        m_changed.wait_for(guard, kWait, [&] {
            for (size_t i = from; i < m_events.size(); ++i) {
                if (m_events[i].state == state) {
                    found = static_cast<int>(i);
                    return true;
                }
                if (m_events[i].state == QUORIX_CAMERA_FAILED)
                    return true;
            }
            return false;
        });
        return found;
    }
    Event At(size_t i) {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_events.at(i);
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_events.size();
    }
    std::string Describe() {
        std::lock_guard<std::mutex> guard(m_lock);
        std::string text;
        for (const Event& e : m_events) {
            char one[64];
            std::snprintf(one, sizeof one, "%s%s(0x%X)", text.empty() ? "" : " ",
                          StateName(e.state), e.code);
            text += one;
        }
        return text.empty() ? "no state callback" : text;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Event> m_events;
};

// Region 0's drawn pictures, as grey planes (the mean of the three colour channels).
// Backgrounds drawn without a picture are left out.
class Shots {
public:
    static void Callback(uint16_t, uint16_t, uint32_t width, uint32_t stride, uint32_t height,
                         uint32_t format, const uint8_t* data, void* user) {
        auto* shots = static_cast<Shots*>(user);
        std::vector<uint8_t> grey;
        if (format == QUORIX_PIXEL_BGR32 && width == kWidth && height == kHeight &&
            data != nullptr && stride >= width * 4) {
            grey.resize(size_t{width} * height);
            for (uint32_t y = 0; y < height; ++y) {
                const uint8_t* row = data + size_t{y} * stride;
                for (uint32_t x = 0; x < width; ++x)
                    grey[size_t{y} * width + x] = static_cast<uint8_t>(
                        (row[4 * x] + row[4 * x + 1] + row[4 * x + 2] + 1) / 3);
            }
        }
        // A region without a picture yet shows its flat background; the test pictures never
        // are flat.
        if (!grey.empty() && *std::min_element(grey.begin(), grey.end()) ==
                                 *std::max_element(grey.begin(), grey.end()))
            return;
        std::lock_guard<std::mutex> guard(shots->m_lock);
        // Wrong formats and sizes are kept as empty shots, which match nothing.
        if (shots->m_shots.size() < 1000)
            shots->m_shots.push_back(std::move(grey));
        shots->m_changed.notify_all();
    }
    // Waits until there are `count` shots; false when they did not come in time.
    bool WaitForCount(size_t count) {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_changed.wait_for(guard, kWait, [&] { return m_shots.size() >= count; });
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_shots.size();
    }
    std::vector<std::vector<uint8_t>> Range(size_t from, size_t count) {
        std::lock_guard<std::mutex> guard(m_lock);
        from = std::min(from, m_shots.size());
        const size_t to = std::min(m_shots.size(), from + count);
        return {m_shots.begin() + static_cast<ptrdiff_t>(from),
                m_shots.begin() + static_cast<ptrdiff_t>(to)};
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::vector<uint8_t>> m_shots;
};

// PSNR of a grey shot against a decoded luma plane, the better of the two YUV ranges the
// renderer may have expanded it with and of the two row orders a read-back may have.
double ShotPsnr(const std::vector<uint8_t>& grey, const std::vector<uint8_t>& luma) {
    if (grey.size() != luma.size() || grey.empty())
        return 0.0;
    double best = 0.0;
    for (bool flipped : {false, true})
        for (bool limited : {false, true}) {
            double sum = 0.0;
            for (uint32_t y = 0; y < kHeight; ++y) {
                const uint8_t* shown = grey.data() + size_t{flipped ? kHeight - 1 - y : y} * kWidth;
                const uint8_t* source = luma.data() + size_t{y} * kWidth;
                for (uint32_t x = 0; x < kWidth; ++x) {
                    const double expected =
                        limited ? std::clamp((source[x] - 16.0) * 255.0 / 219.0, 0.0, 255.0)
                                : source[x];
                    const double d = shown[x] - expected;
                    sum += d * d;
                }
            }
            const double mse = sum / (double{kWidth} * kHeight);
            best = std::max(best, mse == 0.0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse));
        }
    return best;
}

// What is wrong with `shots` as pictures of `stream`; empty when every one of them shows one
// of its pictures and they show several different ones (the stream moves).
std::string ShotProblem(const std::vector<std::vector<uint8_t>>& shots, const TestStream& stream) {
    std::set<size_t> shown;
    for (size_t s = 0; s < shots.size(); ++s) {
        double best = 0.0;
        size_t bestIndex = 0;
        for (size_t i = 0; i < stream.decodedLuma.size(); ++i) {
            const double psnr = ShotPsnr(shots[s], stream.decodedLuma[i]);
            if (psnr > best) {
                best = psnr;
                bestIndex = i;
            }
        }
        if (best < kMatchDb)
            return "picture " + std::to_string(s) + " matches no source picture (best " +
                   std::to_string(best) + " dB against picture " + std::to_string(bestIndex) +
                   (shots[s].empty() ? ", wrong format or size" : "") + ")";
        shown.insert(bestIndex);
    }
    if (shown.size() < shots.size() / 2)
        return "only " + std::to_string(shown.size()) + " different pictures in " +
               std::to_string(shots.size());
    return {};
}

// A port of its own pulling a URL, with region 0 of the source's size shown headless.
class PulledPort {
public:
    PulledPort() {
        if (QUORIX_GetPort(&m_port) != QUORIX_OK) {
            m_port = 0xFFFF;
            return;
        }
        const QUORIX_RECT rect{0, 0, static_cast<int32_t>(kWidth), static_cast<int32_t>(kHeight)};
        m_setUp = QUORIX_SetDisplayRegion(m_port, 0, &rect, 1);
    }
    ~PulledPort() {
        if (m_open)
            QUORIX_CameraClose(m_port);
        if (m_port != 0xFFFF)
            QUORIX_FreePort(m_port);
    }
    PulledPort(const PulledPort&) = delete;
    PulledPort& operator=(const PulledPort&) = delete;

    // QUORIX_CameraOpen, then the port is played and its snapshot callback set. The first
    // failing call's name and code, or empty.
    std::string Open(const std::string& url, const QUORIX_CAMERA_OPTIONS& options) {
        if (m_port == 0xFFFF)
            return "no port";
        if (m_setUp != QUORIX_OK)
            return "QUORIX_SetDisplayRegion " + std::to_string(m_setUp);
        uint32_t code = QUORIX_CameraOpen(m_port, url.c_str(), &options, StateLog::Callback, &log);
        if (code != QUORIX_OK)
            return "QUORIX_CameraOpen " + std::to_string(code);
        m_open = true;
        if ((code = QUORIX_Play(m_port, 0, nullptr, 0)) != QUORIX_OK)
            return "QUORIX_Play " + std::to_string(code);
        if ((code = QUORIX_SetSnapCallback(m_port, 0, Shots::Callback, &shots, QUORIX_PIXEL_BGR32,
                                           4)) != QUORIX_OK)
            return "QUORIX_SetSnapCallback " + std::to_string(code);
        return {};
    }
    uint32_t Close() {
        m_open = false;
        return QUORIX_CameraClose(m_port);
    }
    uint32_t State() {
        uint32_t state = 0xFF, code = 0;
        QUORIX_CameraGetState(m_port, &state, &code);
        return state;
    }
    uint16_t Port() const { return m_port; }

    StateLog log;  // outlives the pull that calls it
    Shots shots;

private:
    uint16_t m_port = 0xFFFF;
    uint32_t m_setUp = QUORIX_OK;
    bool m_open = false;
};

QUORIX_CAMERA_OPTIONS Options(uint32_t transport) {
    QUORIX_CAMERA_OPTIONS options;
    QUORIX_CameraDefaultOptions(&options);
    options.transport = transport;
    return options;
}

class PullRtsp : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(g_headless);
        const std::string missing = ServerUnavailable();
        if (!missing.empty())
            GTEST_SKIP() << "GStreamer's RTSP server is not installed (scripts/deps installs "
                            "it): "
                         << missing;
        ASSERT_TRUE(m_dir.Ok());
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
        m_initialised = true;
    }
    void TearDown() override {
        if (m_initialised)
            QUORIX_ReleaseSDK();
    }

    const TestStream& Stream(const std::string& encoder, bool audio) {
        std::unique_ptr<TestStream>& slot = audio ? m_withSound : m_streams[encoder];
        if (!slot) {
            auto stream = std::make_unique<TestStream>();
            const std::string dir = m_dir.Path(encoder + (audio ? "-sound" : ""));
            std::string why;
            if (mkdir(dir.c_str(), 0755) != 0 ||
                !MakeTestStream(dir, encoder, kWidth, kHeight, kFrames, kGop, audio, stream.get(),
                                &why))
                ADD_FAILURE() << "test stream " << encoder << ": " << why;
            slot = std::move(stream);
        }
        return *slot;
    }

    static ServerOptions Serve(const TestStream& stream) {
        ServerOptions options;
        options.video = stream.videoPath;
        options.codec = stream.codec;
        options.audio = stream.audioPath;
        return options;
    }

    // Playing, and the next kShotsChecked drawn pictures are the stream's.
    static void ExpectPicturesOf(PulledPort& pulled, const TestStream& stream, size_t from = 0) {
        ASSERT_TRUE(pulled.shots.WaitForCount(from + kShotsChecked))
            << pulled.shots.Count() - std::min(from, pulled.shots.Count())
            << " pictures drawn; states: " << pulled.log.Describe();
        EXPECT_EQ("", ShotProblem(pulled.shots.Range(from, kShotsChecked), stream));
    }

    // The source goes away (`interrupt`): the port reports it lost for one of `reasons` and
    // retries; `comeBack` brings the source back and the port plays it again on its own: the
    // source's pictures, steadily (not lost again). Retries while the source is away are more
    // losses, never the end.
    static void ExpectLostAndPlayingAgain(PulledPort& pulled, const TestStream& stream,
                                          const std::function<bool()>& interrupt,
                                          std::initializer_list<uint32_t> reasons,
                                          const std::function<bool()>& comeBack) {
        const size_t before = pulled.log.Count();
        ASSERT_TRUE(interrupt());
        const int lost = pulled.log.WaitFor(QUORIX_CAMERA_LOST, before);
        ASSERT_GE(lost, 0) << pulled.log.Describe();
        const uint32_t why = pulled.log.At(static_cast<size_t>(lost)).code;
        EXPECT_NE(std::find(reasons.begin(), reasons.end(), why), reasons.end())
            << pulled.log.Describe();
        ASSERT_GE(pulled.log.WaitFor(QUORIX_CAMERA_RECONNECTING, static_cast<size_t>(lost)), 0)
            << pulled.log.Describe();
        const size_t shotsBefore = pulled.shots.Count();
        ASSERT_TRUE(comeBack());
        const int playing = pulled.log.WaitFor(QUORIX_CAMERA_PLAYING, static_cast<size_t>(lost));
        ASSERT_GE(playing, 0) << pulled.log.Describe();
        for (size_t i = before; i < static_cast<size_t>(playing); ++i) {
            const uint32_t state = pulled.log.At(i).state;
            EXPECT_TRUE(state == QUORIX_CAMERA_LOST || state == QUORIX_CAMERA_RECONNECTING ||
                        state == QUORIX_CAMERA_CONNECTING)
                << pulled.log.Describe();
        }
        ExpectPicturesOf(pulled, stream, shotsBefore);
        ASSERT_TRUE(pulled.shots.WaitForCount(shotsBefore + kSteadyShots)) << pulled.log.Describe();
        EXPECT_EQ(static_cast<size_t>(playing) + 1, pulled.log.Count())
            << "the stream was lost again: " << pulled.log.Describe();
    }

    ScratchDir m_dir;
    bool m_initialised = false;
    std::map<std::string, std::unique_ptr<TestStream>> m_streams;
    std::unique_ptr<TestStream> m_withSound;
};

TEST_F(PullRtsp, H264WithSoundArrivesAsTheSourcePicturesOverTcpAndUdp) {
    const TestStream& stream = Stream("libx264", true);
    ASSERT_FALSE(stream.decodedLuma.empty());
    RtspServer server(Serve(stream));
    ASSERT_TRUE(server.Start()) << server.Error();
    for (uint32_t transport : {QUORIX_TRANSPORT_TCP, QUORIX_TRANSPORT_UDP}) {
        SCOPED_TRACE(transport == QUORIX_TRANSPORT_TCP ? "TCP" : "UDP");
        PulledPort pulled;
        ASSERT_EQ("", pulled.Open(server.Url(), Options(transport)));
        ASSERT_GE(pulled.log.WaitFor(QUORIX_CAMERA_PLAYING), 0) << pulled.log.Describe();
        EXPECT_EQ(QUORIX_CAMERA_CONNECTING, pulled.log.At(0).state) << pulled.log.Describe();
        ExpectPicturesOf(pulled, stream);
        EXPECT_EQ(QUORIX_CAMERA_PLAYING, pulled.State());
        ASSERT_EQ(QUORIX_OK, pulled.Close());
        EXPECT_EQ(QUORIX_CAMERA_CLOSED, pulled.State());
    }
}

TEST_F(PullRtsp, H265ArrivesAsTheSourcePicturesOverTcpAndUdp) {
    const TestStream& stream = Stream("libx265", false);
    ASSERT_FALSE(stream.decodedLuma.empty());
    RtspServer server(Serve(stream));
    ASSERT_TRUE(server.Start()) << server.Error();
    for (uint32_t transport : {QUORIX_TRANSPORT_TCP, QUORIX_TRANSPORT_UDP}) {
        SCOPED_TRACE(transport == QUORIX_TRANSPORT_TCP ? "TCP" : "UDP");
        PulledPort pulled;
        ASSERT_EQ("", pulled.Open(server.Url(), Options(transport)));
        ASSERT_GE(pulled.log.WaitFor(QUORIX_CAMERA_PLAYING), 0) << pulled.log.Describe();
        ExpectPicturesOf(pulled, stream);
        ASSERT_EQ(QUORIX_OK, pulled.Close());
    }
}

// The credentials work from the options and from the URL; a wrong password ends in FAILED with
// a code (a retry cannot mend it) and nothing is ever played.
TEST_F(PullRtsp, BasicAuthenticationIsAcceptedFromOptionsOrUrlAndAWrongPasswordFails) {
    const TestStream& stream = Stream("libx264", false);
    ASSERT_FALSE(stream.decodedLuma.empty());
    ServerOptions serve = Serve(stream);
    serve.user = "viewer";
    serve.password = "s3cret";
    RtspServer server(serve);
    ASSERT_TRUE(server.Start()) << server.Error();
    {
        SCOPED_TRACE("in the options");
        PulledPort pulled;
        QUORIX_CAMERA_OPTIONS options = Options(QUORIX_TRANSPORT_TCP);
        options.user = "viewer";
        options.password = "s3cret";
        ASSERT_EQ("", pulled.Open(server.Url(), options));
        ASSERT_GE(pulled.log.WaitFor(QUORIX_CAMERA_PLAYING), 0) << pulled.log.Describe();
        ExpectPicturesOf(pulled, stream);
    }
    {
        SCOPED_TRACE("in the URL");
        PulledPort pulled;
        ASSERT_EQ("", pulled.Open(server.Url("viewer", "s3cret"), Options(QUORIX_TRANSPORT_TCP)));
        ASSERT_GE(pulled.log.WaitFor(QUORIX_CAMERA_PLAYING), 0) << pulled.log.Describe();
        ASSERT_TRUE(pulled.shots.WaitForCount(1)) << pulled.log.Describe();
    }
    for (bool inUrl : {false, true}) {
        SCOPED_TRACE(inUrl ? "wrong password in the URL" : "wrong password in the options");
        PulledPort pulled;
        QUORIX_CAMERA_OPTIONS options = Options(QUORIX_TRANSPORT_TCP);
        if (!inUrl) {
            options.user = "viewer";
            options.password = "wrong";
        }
        ASSERT_EQ("", pulled.Open(inUrl ? server.Url("viewer", "wrong") : server.Url(), options));
        const int failed = pulled.log.WaitFor(QUORIX_CAMERA_FAILED);
        ASSERT_GE(failed, 0) << pulled.log.Describe();
        EXPECT_EQ(QUORIX_E_PARAM, pulled.log.At(static_cast<size_t>(failed)).code);
        for (size_t i = 0; i < static_cast<size_t>(failed); ++i)
            EXPECT_NE(QUORIX_CAMERA_PLAYING, pulled.log.At(i).state) << pulled.log.Describe();
        uint32_t state = 0, code = QUORIX_OK;
        EXPECT_EQ(QUORIX_OK, QUORIX_CameraGetState(pulled.Port(), &state, &code));
        EXPECT_EQ(QUORIX_CAMERA_FAILED, state);
        EXPECT_EQ(QUORIX_E_PARAM, code);
        EXPECT_EQ(0u, pulled.shots.Count());
        EXPECT_EQ(QUORIX_OK, pulled.Close());
    }
    {
        SCOPED_TRACE("no credentials");
        PulledPort pulled;
        ASSERT_EQ("", pulled.Open(server.Url(), Options(QUORIX_TRANSPORT_TCP)));
        const int failed = pulled.log.WaitFor(QUORIX_CAMERA_FAILED);
        ASSERT_GE(failed, 0) << pulled.log.Describe();
        EXPECT_EQ(QUORIX_E_PARAM, pulled.log.At(static_cast<size_t>(failed)).code);
    }
}

// The camera loses power and comes back on the same address: the port reports the loss, retries
// and plays the new stream, all without a call of the host's.
TEST_F(PullRtsp, KilledServerIsLostAndPlaysAgainOnTheSamePortOnceItIsBack) {
    const TestStream& stream = Stream("libx264", true);
    ASSERT_FALSE(stream.decodedLuma.empty());
    RtspServer server(Serve(stream));
    ASSERT_TRUE(server.Start()) << server.Error();
    PulledPort pulled;
    QUORIX_CAMERA_OPTIONS options = Options(QUORIX_TRANSPORT_TCP);
    options.retryMinMs = 100;
    options.retryMaxMs = 400;
    ASSERT_EQ("", pulled.Open(server.Url(), options));
    ASSERT_GE(pulled.log.WaitFor(QUORIX_CAMERA_PLAYING), 0) << pulled.log.Describe();
    ASSERT_TRUE(pulled.shots.WaitForCount(3)) << pulled.log.Describe();

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // The connection broke, or the stream's end was read from it.
        ASSERT_NO_FATAL_FAILURE(ExpectLostAndPlayingAgain(
            pulled, stream, [&] { return server.Kill(), true; },
            {QUORIX_E_NOT_OPEN, QUORIX_E_END_OF_DATA}, [&] { return server.Restart(); }))
            << server.Error();
    }
    ASSERT_EQ(QUORIX_OK, pulled.Close());
}

// A server that keeps its connections open but stops sending is detected by the read time-out,
// over TCP and over UDP, and played again once it sends again. A short time-out does not cut
// the stream while the server sends.
TEST_F(PullRtsp, StalledServerIsLostAfterTheReadTimeOutAndPlaysAgainWhenItResumes) {
    const TestStream& stream = Stream("libx264", false);
    ASSERT_FALSE(stream.decodedLuma.empty());
    for (uint32_t transport : {QUORIX_TRANSPORT_TCP, QUORIX_TRANSPORT_UDP}) {
        SCOPED_TRACE(transport == QUORIX_TRANSPORT_TCP ? "TCP" : "UDP");
        RtspServer server(Serve(stream));
        ASSERT_TRUE(server.Start()) << server.Error();
        PulledPort pulled;
        QUORIX_CAMERA_OPTIONS options = Options(transport);
        options.timeoutMs = 1500;
        options.retryMinMs = 100;
        options.retryMaxMs = 400;
        ASSERT_EQ("", pulled.Open(server.Url(), options));
        ASSERT_GE(pulled.log.WaitFor(QUORIX_CAMERA_PLAYING), 0) << pulled.log.Describe();
        ASSERT_TRUE(pulled.shots.WaitForCount(kSteadyShots)) << pulled.log.Describe();
        ASSERT_EQ(2u, pulled.log.Count())
            << "a sending server was taken for a stalled one: " << pulled.log.Describe();
        ASSERT_NO_FATAL_FAILURE(ExpectLostAndPlayingAgain(
            pulled, stream, [&] { return server.Stall(); }, {QUORIX_E_TIMEOUT},
            [&] { return server.Resume(); }));
        ASSERT_EQ(QUORIX_OK, pulled.Close());
    }
}

// Closing stops the pull whatever it is doing: connecting to a server that never answers,
// waiting out a long back-off, playing. The state is CLOSED at once, no state callback follows,
// and the port takes a new camera.
TEST_F(PullRtsp, CloseStopsThePullInEveryState) {
    const TestStream& stream = Stream("libx264", false);
    ASSERT_FALSE(stream.decodedLuma.empty());
    struct Closed {
        std::unique_ptr<PulledPort> pulled;
        size_t events;
    };
    std::vector<Closed> closed;

    {
        SCOPED_TRACE("connecting");
        RtspServer server(Serve(stream));
        ASSERT_TRUE(server.Start()) << server.Error();
        // The kernel still accepts connections of a stopped process; no answer ever comes.
        ASSERT_TRUE(server.Stall());
        auto pulled = std::make_unique<PulledPort>();
        QUORIX_CAMERA_OPTIONS options = Options(QUORIX_TRANSPORT_TCP);
        options.timeoutMs = 600000;
        ASSERT_EQ("", pulled->Open(server.Url(), options));
        ASSERT_GE(pulled->log.WaitFor(QUORIX_CAMERA_CONNECTING), 0) << pulled->log.Describe();
        EXPECT_EQ(QUORIX_CAMERA_CONNECTING, pulled->State()) << pulled->log.Describe();
        EXPECT_EQ(QUORIX_OK, pulled->Close());
        EXPECT_EQ(QUORIX_CAMERA_CLOSED, pulled->State());
        closed.push_back({std::move(pulled), 0});
        closed.back().events = closed.back().pulled->log.Count();
    }
    {
        SCOPED_TRACE("reconnecting");
        RtspServer server(Serve(stream));
        ASSERT_TRUE(server.Start()) << server.Error();
        auto pulled = std::make_unique<PulledPort>();
        QUORIX_CAMERA_OPTIONS options = Options(QUORIX_TRANSPORT_TCP);
        options.retryMinMs = 600000;
        options.retryMaxMs = 600000;
        ASSERT_EQ("", pulled->Open(server.Url(), options));
        ASSERT_GE(pulled->log.WaitFor(QUORIX_CAMERA_PLAYING), 0) << pulled->log.Describe();
        server.Kill();
        ASSERT_GE(pulled->log.WaitFor(QUORIX_CAMERA_RECONNECTING), 0) << pulled->log.Describe();
        EXPECT_EQ(QUORIX_CAMERA_RECONNECTING, pulled->State()) << pulled->log.Describe();
        EXPECT_EQ(QUORIX_OK, pulled->Close());
        EXPECT_EQ(QUORIX_CAMERA_CLOSED, pulled->State());
        closed.push_back({std::move(pulled), 0});
        closed.back().events = closed.back().pulled->log.Count();
    }
    {
        SCOPED_TRACE("playing");
        RtspServer server(Serve(stream));
        ASSERT_TRUE(server.Start()) << server.Error();
        auto pulled = std::make_unique<PulledPort>();
        ASSERT_EQ("", pulled->Open(server.Url(), Options(QUORIX_TRANSPORT_TCP)));
        ASSERT_GE(pulled->log.WaitFor(QUORIX_CAMERA_PLAYING), 0) << pulled->log.Describe();
        ASSERT_TRUE(pulled->shots.WaitForCount(1)) << pulled->log.Describe();
        EXPECT_EQ(QUORIX_OK, pulled->Close());
        EXPECT_EQ(QUORIX_CAMERA_CLOSED, pulled->State());
        EXPECT_EQ(QUORIX_E_STATE, QUORIX_CameraClose(pulled->Port()));
        closed.push_back({std::move(pulled), 0});
        closed.back().events = closed.back().pulled->log.Count();

        // The port that was closed while playing pulls the server again.
        PulledPort& again = *closed.back().pulled;
        StateLog log;
        QUORIX_CAMERA_OPTIONS options = Options(QUORIX_TRANSPORT_TCP);
        ASSERT_EQ(QUORIX_OK, QUORIX_CameraOpen(again.Port(), server.Url().c_str(), &options,
                                               StateLog::Callback, &log));
        EXPECT_GE(log.WaitFor(QUORIX_CAMERA_PLAYING), 0) << log.Describe();
        EXPECT_EQ(QUORIX_OK, QUORIX_CameraClose(again.Port()));
    }
    // Whatever the closed pulls were doing has had the time of the later cases to call back.
    for (Closed& c : closed)
        EXPECT_EQ(c.events, c.pulled->log.Count()) << c.pulled->log.Describe();
}

}  // namespace
