// A port end to end, through the public interface of the shared library: recorded files and
// live streams reach the external renderer double, play control moves the reader, and host
// callbacks may control their own port.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <quorixsdk.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "media/hmfformat.h"
#include "support/container_builder.h"
#include "support/pano_client.h"
#include "support/player_media.h"

namespace fs = std::filesystem;
using playertest::Clip;

namespace {

constexpr uint32_t kWaitMs = 30000;

using panotest::PanoDouble;

// Counts file ends and whatever a test wants to do on the reader thread at that moment.
struct FileEnds {
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;
    uint32_t playedTime = 0;
    float playedPos = 0.0f;
    // Runs on the reader thread inside the callback; its result is kept.
    uint32_t (*action)(uint16_t port) = nullptr;
    uint32_t actionResult = 0;

    static void Callback(uint16_t port, void* user) {
        auto* self = static_cast<FileEnds*>(user);
        const uint32_t played = QUORIX_GetPlayedTime(port);
        const float pos = QUORIX_GetPlayedPos(port);
        const uint32_t result = self->action != nullptr ? self->action(port) : 0;
        std::lock_guard<std::mutex> guard(self->lock);
        self->playedTime = played;
        self->playedPos = pos;
        self->actionResult = result;
        ++self->count;
        self->changed.notify_all();
    }
    bool WaitFor(int n) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(kWaitMs),
                                [&] { return count >= n; });
    }
};

const Clip& H264Clip() {
    // 24 pictures, a key frame every 8.
    static const Clip clip = playertest::EncodeClip("libx264", 320, 240, 24, 8);
    return clip;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class PlayerE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, Double().module) << dlerror();
        ASSERT_FALSE(H264Clip().packets.empty()) << "libx264 missing";
        Double().reset();
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
        ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&m_port));
    }
    void TearDown() override {
        EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(m_port));
        QUORIX_SetLogAttribute(0, 0, nullptr, nullptr);
        QUORIX_ReleaseSDK();
        Double().setFrameHook(nullptr, nullptr);
    }

    static PanoDouble& Double() { return PanoDouble::Get(); }

    std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = m_dir.Path(name);
        EXPECT_TRUE(quorixtest::WriteFile(path, bytes));
        return path;
    }

    // The picture at arrival `index` is the clip's picture `source`.
    void ExpectPicture(int index, size_t source) {
        uint32_t width = 0, height = 0;
        const uint8_t* yuv = nullptr;
        ASSERT_TRUE(Double().frame(index, &width, &height, &yuv)) << "arrival " << index;
        const Clip& clip = H264Clip();
        ASSERT_EQ(clip.width, width);
        ASSERT_EQ(clip.height, height);
        EXPECT_GT(playertest::LumaPsnr(yuv, clip.sources.at(source)), 30.0)
            << "arrival " << index << " is not picture " << source;
    }

    // Log lines go to files in their own directory; this reads them all.
    std::string EnableLog() {
        m_logBase = m_dir.Path("log/quorix");
        fs::create_directories(m_dir.Path("log"));
        QUORIX_SetLogAttribute(1, 10, m_logBase.c_str(), "txt");
        return m_logBase;
    }
    std::string LogText() {
        std::string text;
        for (const auto& entry : fs::directory_iterator(m_dir.Path("log")))
            text += ReadAll(entry.path().string());
        return text;
    }

    quorixtest::TempDir m_dir;
    uint16_t m_port = 0;
    std::string m_logBase;
};

TEST_F(PlayerE2E, RecordedFilePlaysEveryPictureToTheExternalRendererAndEndsOnce) {
    const Clip& clip = H264Clip();
    const std::string path = WriteFile("clip.kz", playertest::ClipFile(clip, 40, -1));
    FileEnds ends;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetFileEndCallback(m_port, &FileEnds::Callback, &ends));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(m_port, path.c_str()));
    EXPECT_EQ(1, Double().calls("G_CreatePanoRender"));
    EXPECT_EQ(23u * 40u, QUORIX_GetFileTotleTimes(m_port));
    EXPECT_EQ(24u, QUORIX_GetFileTotleFrames(m_port));
    EXPECT_EQ(0u, QUORIX_GetPlayedTime(m_port));
    EXPECT_EQ(QUORIX_E_PORT_BUSY, QUORIX_OpenFile(m_port, path.c_str()));
    EXPECT_EQ(QUORIX_E_PORT_BUSY, QUORIX_OpenStream(m_port, -1, nullptr, 0, nullptr, 0));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_SetStreamOpenMode(m_port, 1));

    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    EXPECT_EQ(QUORIX_E_THREAD_RUNNING, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_TRUE(ends.WaitFor(1));
    ASSERT_EQ(24, Double().waitFrames(24, kWaitMs));
    for (int i = 0; i < 24; ++i)
        ExpectPicture(i, static_cast<size_t>(i));
    EXPECT_EQ(1, Double().calls("G_InitPanoRender"));
    EXPECT_EQ(23u * 40u, ends.playedTime);
    EXPECT_FLOAT_EQ(1.0f, ends.playedPos);
    EXPECT_EQ(23u * 40u, QUORIX_GetCurrentVideoFrameStamp(m_port));
    EXPECT_EQ(1, ends.count);

    // Stop keeps the file; playing again starts from the first record.
    EXPECT_EQ(QUORIX_OK, QUORIX_Stop(m_port));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_TRUE(ends.WaitFor(2));
    ASSERT_EQ(48, Double().waitFrames(48, kWaitMs));
    ExpectPicture(24, 0);
    EXPECT_EQ(1, Double().calls("G_InitPanoRender"));

    EXPECT_EQ(QUORIX_E_STATE, QUORIX_CloseStream(m_port));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(m_port));
    EXPECT_EQ(1, Double().calls("G_DestroyPanoRender"));
    EXPECT_EQ(0u, QUORIX_GetFileTotleTimes(m_port));
    EXPECT_EQ(0u, QUORIX_GetCurrentVideoFrameStamp(m_port));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_CloseFile(m_port));
}

TEST_F(PlayerE2E, SeekLandsOnTheKeyFrameAtOrBeforeTheTarget) {
    const Clip& clip = H264Clip();
    const std::string path = WriteFile("clip.kz", playertest::ClipFile(clip, 40, -1));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(m_port, path.c_str()));
    // Key frames at 0, 320 and 640 ms.
    ASSERT_EQ(QUORIX_OK, QUORIX_SetPlayedTime(m_port, 500));
    EXPECT_EQ(320u, QUORIX_GetPlayedTime(m_port));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_GE(Double().waitFrames(1, kWaitMs), 1);
    ExpectPicture(0, 8);

    // By position: half of 920 ms is 460 ms, which lands on the key frame at 320 ms again.
    ASSERT_EQ(QUORIX_OK, QUORIX_Pause(m_port, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetPlayedPos(m_port, 0.5f));
    EXPECT_EQ(320u, QUORIX_GetPlayedTime(m_port));
    EXPECT_NEAR(320.0f / 920.0f, QUORIX_GetPlayedPos(m_port), 1e-6);
    ASSERT_EQ(QUORIX_OK, QUORIX_SetPlayedPos(m_port, 0.99f));
    EXPECT_EQ(640u, QUORIX_GetPlayedTime(m_port));
    ASSERT_EQ(QUORIX_OK, QUORIX_CloseFile(m_port));
}

// Pausing from inside the third picture's arrival parks the reader after the record it already
// had in hand; from there each step brings exactly the next record.
TEST_F(PlayerE2E, OneByOneDeliversExactlyOneRecord) {
    const Clip& clip = H264Clip();
    const std::string path = WriteFile("clip.kz", playertest::ClipFile(clip, 600, -1));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(m_port, path.c_str()));
    EXPECT_EQ(QUORIX_E_NOT_OPEN, QUORIX_OneByOne(m_port));  // not playing yet
    static uint16_t s_port;
    s_port = m_port;
    Double().setFrameHook(
        [](int index, void*) {
            if (index == 2)
                QUORIX_Pause(s_port, 1);
        },
        nullptr);
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_EQ(4, Double().waitFrames(4, kWaitMs));
    EXPECT_EQ(3u * 600u, QUORIX_GetCurrentVideoFrameStamp(m_port));
    for (int step = 0; step < 3; ++step) {
        ASSERT_EQ(QUORIX_OK, QUORIX_OneByOne(m_port));
        ASSERT_EQ(5 + step, Double().waitFrames(5 + step, kWaitMs));
        EXPECT_EQ((4u + static_cast<uint32_t>(step)) * 600u,
                  QUORIX_GetCurrentVideoFrameStamp(m_port));
        ExpectPicture(4 + step, static_cast<size_t>(4 + step));
    }
    EXPECT_EQ(7, Double().frameCount());
    ASSERT_EQ(QUORIX_OK, QUORIX_CloseFile(m_port));
}

TEST_F(PlayerE2E, SpeedExponentStaysWithinItsRange) {
    int32_t speed = 99;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(QUORIX_OK, QUORIX_Fast(m_port));
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPlaySpeed(m_port, &speed));
    EXPECT_EQ(4, speed);
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_SetPlaySpeed(m_port, 5));
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_SetPlaySpeed(m_port, -5));
    QUORIX_GetPlaySpeed(m_port, &speed);
    EXPECT_EQ(4, speed);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(QUORIX_OK, QUORIX_Slow(m_port));
    QUORIX_GetPlaySpeed(m_port, &speed);
    EXPECT_EQ(-4, speed);
    EXPECT_EQ(QUORIX_OK, QUORIX_SetPlaySpeed(m_port, 2));
    QUORIX_GetPlaySpeed(m_port, &speed);
    EXPECT_EQ(2, speed);
    EXPECT_EQ(QUORIX_OK, QUORIX_Stop(m_port));
    QUORIX_GetPlaySpeed(m_port, &speed);
    EXPECT_EQ(0, speed);
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_GetPlaySpeed(m_port, nullptr));

    // Opening sets it back to normal speed too.
    QUORIX_SetPlaySpeed(m_port, -3);
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, -1, nullptr, 0, nullptr, 0));
    QUORIX_GetPlaySpeed(m_port, &speed);
    EXPECT_EQ(0, speed);
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
}

// The speed the host reads is the speed the file plays at. At speed 4 the reader hands over key
// frames only (3 of the 24 pictures); after a stop, and again after the end of the data, the
// file plays from its first record with every picture.
TEST_F(PlayerE2E, PlayAfterStopOrTheEndStartsAtTheFirstRecordAtNormalSpeed) {
    const std::string path = WriteFile("clip.kz", playertest::ClipFile(H264Clip(), 40, -1));
    FileEnds ends;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetFileEndCallback(m_port, &FileEnds::Callback, &ends));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(m_port, path.c_str()));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetPlaySpeed(m_port, 4));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_TRUE(ends.WaitFor(1));
    ASSERT_EQ(3, Double().waitFrames(3, kWaitMs));
    ExpectPicture(1, 8);
    ExpectPicture(2, 16);

    ASSERT_EQ(QUORIX_OK, QUORIX_Stop(m_port));
    int32_t speed = 99;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPlaySpeed(m_port, &speed));
    EXPECT_EQ(0, speed);
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_TRUE(ends.WaitFor(2));
    ASSERT_EQ(3 + 24, Double().waitFrames(3 + 24, kWaitMs));
    ExpectPicture(3, 0);
    ExpectPicture(3 + 23, 23);
    EXPECT_EQ(23u * 40u, ends.playedTime);

    // Past the end, without a stop.
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_TRUE(ends.WaitFor(3));
    ASSERT_EQ(3 + 48, Double().waitFrames(3 + 48, kWaitMs));
    ExpectPicture(3 + 24, 0);
    ExpectPicture(3 + 24 + 1, 1);
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPlaySpeed(m_port, &speed));
    EXPECT_EQ(0, speed);
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(m_port));
}

TEST_F(PlayerE2E, LiveStreamReachesTheRendererInEveryPlayMode) {
    const auto records = playertest::ClipRecords(H264Clip(), 40);
    int expected = 0;
    for (uint32_t mode = 0; mode <= 2; ++mode) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(QUORIX_OK, QUORIX_SetStreamOpenMode(m_port, mode));
        ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, -1, nullptr, 0, nullptr, 0));
        ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
        for (const auto& record : records) {
            ASSERT_EQ(QUORIX_OK, QUORIX_InputStreamData(m_port, record.data(),
                                                        static_cast<uint32_t>(record.size())));
        }
        // Mode 1 holds its first pictures back until it has three: all but the last few of a
        // burst must come through in any mode.
        expected += 16;
        ASSERT_GE(Double().waitFrames(expected, kWaitMs), expected);
        EXPECT_EQ(23u * 40u, QUORIX_GetCurrentVideoFrameStamp(m_port));
        EXPECT_EQ(0u, QUORIX_GetPlayedTime(m_port));
        EXPECT_EQ(0.0f, QUORIX_GetPlayedPos(m_port));
        EXPECT_EQ(QUORIX_E_STATE, QUORIX_Pause(m_port, 1));
        EXPECT_EQ(QUORIX_E_STATE, QUORIX_OneByOne(m_port));
        EXPECT_EQ(QUORIX_E_STATE, QUORIX_SetPlayedTime(m_port, 0));
        ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
        expected = Double().frameCount();
    }
    uint32_t width = 0, height = 0;
    const uint8_t* yuv = nullptr;
    ASSERT_TRUE(Double().frame(0, &width, &height, &yuv));
    EXPECT_EQ(320u, width);
    EXPECT_EQ(240u, height);
}

// Odd sizes and widths that are no multiple of 8 reach the external renderer whole in every play
// mode: its size, its last columns and rows, and both chroma planes where they belong (the
// planes of a packed picture are ((w+1)/2) x ((h+1)/2) each).
TEST_F(PlayerE2E, OddSizedPicturesReachTheExternalRendererWholeInEveryPlayMode) {
    struct Case {
        const char* encoder;
        uint32_t width, height;
    };
    const Case cases[] = {{"mjpeg", 65, 49},
                          {"libx264", 65, 49},
                          {"mjpeg", 64, 49},
                          {"libx264", 70, 48},
                          {"mjpeg", 69, 46}};
    constexpr double kTolerance = 20.0;  // lossy coding around sharp edges
    using playertest::kEdgeBody;
    using playertest::kEdgeStripe;
    for (const Case& c : cases) {
        const auto records = playertest::EdgeRecords(c.encoder, c.width, c.height, 5, false);
        ASSERT_FALSE(records.empty()) << c.encoder << " missing";
        for (uint32_t mode = 0; mode <= 2; ++mode) {
            SCOPED_TRACE(std::string(c.encoder) + " " + std::to_string(c.width) + "x" +
                         std::to_string(c.height) + " mode " + std::to_string(mode));
            Double().reset();
            ASSERT_EQ(QUORIX_OK, QUORIX_SetStreamOpenMode(m_port, mode));
            ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, -1, nullptr, 0, nullptr, 0));
            ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
            for (const auto& record : records) {
                ASSERT_EQ(QUORIX_OK, QUORIX_InputStreamData(m_port, record.data(),
                                                            static_cast<uint32_t>(record.size())));
            }
            ASSERT_GE(Double().waitFrames(1, kWaitMs), 1);
            ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));

            uint32_t width = 0, height = 0;
            const uint8_t* yuv = nullptr;
            ASSERT_TRUE(Double().frame(0, &width, &height, &yuv));
            ASSERT_EQ(c.width, width);
            ASSERT_EQ(c.height, height);
            const uint32_t xs = playertest::EdgeColumn(width), ys = playertest::EdgeRow(height);
            const uint32_t cw = (width + 1) / 2, ch = (height + 1) / 2;
            const uint8_t* u = yuv + size_t{width} * height;
            const uint8_t* v = u + size_t{cw} * ch;
            struct Plane {
                const char* name;
                const uint8_t* data;
                uint32_t w, h, xs, ys;
                uint8_t body, stripe;
            };
            const Plane planes[] = {{"Y", yuv, width, height, xs, ys, kEdgeBody.y, kEdgeStripe.y},
                                    {"U", u, cw, ch, xs / 2, ys / 2, kEdgeBody.u, kEdgeStripe.u},
                                    {"V", v, cw, ch, xs / 2, ys / 2, kEdgeBody.v, kEdgeStripe.v}};
            for (const Plane& p : planes) {
                SCOPED_TRACE(p.name);
                EXPECT_NEAR(p.body, playertest::PlaneMean(p.data, p.w, 0, p.xs, 0, p.ys),
                            kTolerance);
                EXPECT_NEAR(p.stripe, playertest::PlaneMean(p.data, p.w, p.w - 1, p.w, 0, p.h),
                            kTolerance)
                    << "last column";
                EXPECT_NEAR(p.stripe, playertest::PlaneMean(p.data, p.w, 0, p.w, p.h - 1, p.h),
                            kTolerance)
                    << "last row";
            }
        }
    }
    ASSERT_EQ(QUORIX_OK, QUORIX_SetStreamOpenMode(m_port, 0));
}

TEST_F(PlayerE2E, PlayNeedsAnOpenFileOrStreamAndLogsWhy) {
    EnableLog();
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, -1, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    EXPECT_EQ(QUORIX_E_THREAD_RUNNING, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_Stop(m_port));
    EXPECT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
    const std::string log = LogText();
    EXPECT_NE(std::string::npos, log.find("(WARN)quorixsdk:<player CPlayer::BeginPlay LINE:"))
        << log;
    EXPECT_NE(std::string::npos, log.find("play fail,current status none")) << log;
    EXPECT_NE(std::string::npos, log.find("start play fail,ret=0x8000801a")) << log;
    EXPECT_NE(std::string::npos, log.find("begin play")) << log;
    EXPECT_NE(std::string::npos, log.find("CloseStream")) << log;
}

// A picture wider than the configured limit sends H.265 to module 1 until the port is freed,
// across a close and a new open.
TEST_F(PlayerE2E, LargePictureSwitchesH265ToModuleOneUntilFreed) {
    const Clip clip = playertest::EncodeClip("libx265", 320, 240, 1, 1);
    if (clip.packets.empty())
        GTEST_SKIP() << "libx265 missing";
    const auto normal = playertest::ClipRecords(clip, 40);
    const auto huge = playertest::MakeRecord(BRIXEL::HMF_KIND_KEY, 0, 0, 6, 9000, 240,
                                             std::vector<uint8_t>(64, 0));
    EnableLog();

    auto playOne = [&](bool withHuge, int arrivals) {
        ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, -1, nullptr, 0, nullptr, 0));
        ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
        if (withHuge)
            QUORIX_InputStreamData(m_port, huge.data(), static_cast<uint32_t>(huge.size()));
        ASSERT_EQ(QUORIX_OK, QUORIX_InputStreamData(m_port, normal[0].data(),
                                                    static_cast<uint32_t>(normal[0].size())));
        ASSERT_EQ(arrivals, Double().waitFrames(arrivals, kWaitMs));
        ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
    };
    playOne(true, 1);
    playOne(false, 2);
    std::string log = LogText();
    size_t large = 0, from = 0;
    while ((from = log.find("EncodeType=6,ModuleType=1", from)) != std::string::npos) {
        ++large;
        ++from;
    }
    EXPECT_EQ(3u, large) << log;  // the huge picture's decoder, then one per stream

    ASSERT_EQ(QUORIX_OK, QUORIX_FreePort(m_port));
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&m_port));
    playOne(false, 3);
    log = LogText();
    EXPECT_NE(std::string::npos, log.find("EncodeType=6,ModuleType=0")) << log;
}

// The file-end callback controls its own port from the reader thread; every such call returns
// and leaves the port usable.
TEST_F(PlayerE2E, FileEndCallbackMayStopCloseOrFreeItsOwnPort) {
    const std::string path = WriteFile("clip.kz", playertest::ClipFile(H264Clip(), 10, -1));
    struct Case {
        const char* what;
        uint32_t (*action)(uint16_t);
        bool stillOpen;
        bool stillInUse;
    };
    const Case cases[] = {
        {"stop", [](uint16_t p) { return QUORIX_Stop(p); }, true, true},
        {"close file", [](uint16_t p) { return QUORIX_CloseFile(p); }, false, true},
        {"close stream",
         [](uint16_t p) { return QUORIX_CloseStream(p) == QUORIX_E_STATE ? QUORIX_OK : 1u; }, true,
         true},
        {"free port", [](uint16_t p) { return QUORIX_FreePort(p); }, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileEnds ends;
        ends.action = c.action;
        ASSERT_EQ(QUORIX_OK, QUORIX_SetFileEndCallback(m_port, &FileEnds::Callback, &ends));
        ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(m_port, path.c_str()));
        ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
        ASSERT_TRUE(ends.WaitFor(1));
        EXPECT_EQ(QUORIX_OK, ends.actionResult);
        if (!c.stillInUse) {
            // The freed port is the lowest free one again.
            uint16_t again = 0;
            ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&again));
            ASSERT_EQ(m_port, again);
        }
        EXPECT_EQ(c.stillOpen ? QUORIX_OK : QUORIX_E_STATE, QUORIX_CloseFile(m_port));
        // The port opens and plays again; the ended reader thread is joined on the way.
        ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(m_port, path.c_str()));
        EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(m_port));
        QUORIX_SetFileEndCallback(m_port, nullptr, nullptr);
    }
}

TEST_F(PlayerE2E, FilesThatAreNotRecordingsLeaveThePortUsable) {
    EXPECT_EQ(QUORIX_E_OPEN_FILE, QUORIX_OpenFile(m_port, m_dir.Path("").c_str()));
    EXPECT_EQ(QUORIX_E_OPEN_FILE, QUORIX_OpenFile(m_port, m_dir.Path("missing.kz").c_str()));
    std::vector<uint8_t> mp4 = {0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm',
                                0, 0, 2, 0,    'i', 's', 'o', 'm', 'm', 'p', '4', '1'};
    mp4.resize(4096, 0x5a);
    const std::string files[] = {WriteFile("zeros.kz", std::vector<uint8_t>(64 * 1024, 0)),
                                 WriteFile("movie.mp4", mp4), WriteFile("empty.kz", {})};
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        FileEnds ends;
        QUORIX_SetFileEndCallback(m_port, &FileEnds::Callback, &ends);
        // Without a header the render model is 0 and no lens block: the picture would be shown
        // as it is, but nothing in these files is a frame record, so the file plays nothing and
        // ends.
        const uint32_t opened = QUORIX_OpenFile(m_port, path.c_str());
        if (opened == QUORIX_OK) {
            ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
            EXPECT_TRUE(ends.WaitFor(1));
            EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(m_port));
        } else {
            EXPECT_EQ(QUORIX_E_STATE, QUORIX_CloseFile(m_port));
        }
        EXPECT_EQ(0, Double().frameCount());
        ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, -1, nullptr, 0, nullptr, 0));
        ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
        QUORIX_SetFileEndCallback(m_port, nullptr, nullptr);
    }
}

TEST_F(PlayerE2E, FileDeletedWhilePlayingPlaysOutAndCloses) {
    const std::string path = WriteFile("clip.kz", playertest::ClipFile(H264Clip(), 10, -1));
    FileEnds ends;
    QUORIX_SetFileEndCallback(m_port, &FileEnds::Callback, &ends);
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(m_port, path.c_str()));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_GE(Double().waitFrames(1, kWaitMs), 1);
    ASSERT_EQ(0, ::unlink(path.c_str()));
    ASSERT_TRUE(ends.WaitFor(1));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(m_port));
    EXPECT_EQ(QUORIX_E_OPEN_FILE, QUORIX_OpenFile(m_port, path.c_str()));
}

TEST_F(PlayerE2E, GarbageIntoALivePortIsRefusedWithoutHarm) {
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, -1, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_InputStreamData(m_port, nullptr, 100));
    const std::vector<uint8_t> short27(27, 0);
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_InputStreamData(m_port, short27.data(), 27));

    // A record whose header announces more payload than it carries: only what is there is read.
    auto lying = playertest::MakeRecord(BRIXEL::HMF_KIND_KEY, 0, 0, 1, 320, 240,
                                        std::vector<uint8_t>(100, 7));
    BRIXEL::HStoreLE32(&lying[24], 0xFFFFFF00u);
    QUORIX_InputStreamData(m_port, lying.data(), static_cast<uint32_t>(lying.size()));

    // Composite packets: a sub-frame longer than what remains, and one without its magic.
    const auto sub = playertest::MakeRecord(BRIXEL::HMF_KIND_KEY, 0, 0, 1, 320, 240,
                                            std::vector<uint8_t>(50, 1));
    auto composite = playertest::MakeRecord(BRIXEL::HMF_KIND_KEY | BRIXEL::kHMFCompositeBit, 0, 0,
                                            1, 320, 240, {});
    composite.insert(composite.end(), sub.begin(), sub.end());
    BRIXEL::HStoreLE16(&composite[28], BRIXEL::kHMFSubFrameMagic);
    BRIXEL::HStoreLE32(&composite[24], static_cast<uint32_t>(sub.size()));
    std::vector<uint8_t> tooLong = composite;
    BRIXEL::HStoreLE32(&tooLong[28 + 24], 5000);
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_InputStreamData(m_port, tooLong.data(),
                                                     static_cast<uint32_t>(tooLong.size())));
    std::vector<uint8_t> noMagic = composite;
    BRIXEL::HStoreLE16(&noMagic[28], 0x1234);
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_InputStreamData(m_port, noMagic.data(),
                                                     static_cast<uint32_t>(noMagic.size())));

    // Random bytes behind valid headers and plain noise: whatever the codes, nothing breaks.
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<uint8_t>(seed >> 16);
    };
    for (int i = 0; i < 200; ++i) {
        std::vector<uint8_t> payload(static_cast<size_t>(next()) * 4);
        for (auto& b : payload)
            b = next();
        auto record = playertest::MakeRecord(
            static_cast<uint8_t>(next() % 6), static_cast<uint32_t>(i),
            static_cast<uint32_t>(i) * 40, static_cast<uint8_t>(next() % 8),
            static_cast<uint16_t>(next() * 8), static_cast<uint16_t>(next() * 8), payload);
        if (i % 3 == 0) {
            for (size_t b = 0; b < record.size(); ++b)
                record[b] = next();
        }
        QUORIX_InputStreamData(m_port, record.data(), static_cast<uint32_t>(record.size()));
    }
    // The open stream recovers at the next key frame of a good stream. The garbage may still
    // fill the queue: a full queue is the engine's back-pressure, and a host offers the record
    // again.
    {
        const int before = Double().frameCount();
        const auto records = playertest::ClipRecords(H264Clip(), 40);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        for (size_t i = 0; i < records.size(); ++i) {
            auto record = records[i];
            BRIXEL::HStoreLE32(&record[4], 1000u + static_cast<uint32_t>(i));
            uint32_t input = QUORIX_E_QUEUE_FULL;
            while (input == QUORIX_E_QUEUE_FULL && std::chrono::steady_clock::now() < deadline) {
                input = QUORIX_InputStreamData(m_port, record.data(),
                                               static_cast<uint32_t>(record.size()));
                if (input == QUORIX_E_QUEUE_FULL)
                    std::this_thread::yield();
            }
            ASSERT_EQ(QUORIX_OK, input) << "record " << i;
        }
        EXPECT_GE(Double().waitFrames(before + 16, kWaitMs), before + 16);
    }

    // Closing brings the port back: a good stream plays on it afterwards.
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, -1, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    const int before = Double().frameCount();
    for (const auto& record : playertest::ClipRecords(H264Clip(), 40)) {
        ASSERT_EQ(QUORIX_OK, QUORIX_InputStreamData(m_port, record.data(),
                                                    static_cast<uint32_t>(record.size())));
    }
    EXPECT_GE(Double().waitFrames(before + 24, kWaitMs), before + 24);
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
}

TEST_F(PlayerE2E, FailedOpensLeaveThePortClosed) {
    Double().setCreateResult(QUORIX_E_NO_MEMORY);
    struct Info {
        int calls = 0;
        int32_t model = 0;
    } info;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetFileOpenInfoCallback(
                             m_port,
                             [](uint16_t, int32_t model, const uint8_t*, uint32_t, void* user) {
                                 auto* i = static_cast<Info*>(user);
                                 ++i->calls;
                                 i->model = model;
                             },
                             &info));
    const std::string path = WriteFile("clip.kz", playertest::ClipFile(H264Clip(), 40, -1));
    EXPECT_EQ(QUORIX_E_NO_MEMORY, QUORIX_OpenFile(m_port, path.c_str()));
    // The callback ran although the renderer could not be made.
    EXPECT_EQ(1, info.calls);
    EXPECT_EQ(-1, info.model);
    EXPECT_EQ(QUORIX_E_NO_MEMORY, QUORIX_OpenStream(m_port, -1, nullptr, 0, nullptr, 0));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_CloseFile(m_port));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_CloseStream(m_port));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_Play(m_port, 0, nullptr, 0));

    Double().setCreateResult(0);
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(m_port, path.c_str()));
    EXPECT_EQ(2, info.calls);
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(m_port));
    // After the failed external opens, another render model opens with the OpenGL renderer.
    EXPECT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, 1, nullptr, 0, nullptr, 0));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_CloseStream(m_port));
}

}  // namespace

namespace {

// Releasing the library while a port still shows through the external renderer keeps the
// renderer loaded: the port's threads go on calling it and its close still reaches it.
TEST_F(PlayerE2E, ReleaseKeepsTheExternalRendererOfAnOpenPort) {
    const std::string path = WriteFile("clip.kz", playertest::ClipFile(H264Clip(), 50, -1));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(m_port, path.c_str()));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_ReleaseSDK());
    EXPECT_EQ(QUORIX_E_NOT_INIT, QUORIX_CloseFile(m_port));
    // The reader goes on at the file's pace: most pictures come after the release.
    EXPECT_EQ(24, Double().waitFrames(24, kWaitMs));
    ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(m_port));
    EXPECT_EQ(1, Double().calls("G_DestroyPanoRender"));
}

}  // namespace
