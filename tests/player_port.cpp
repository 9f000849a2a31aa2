// The port from the inside, against a host of the test's own: decoder module choice, the
// large-picture rule, the renderer choice at an open, what a free keeps, and the way picture
// buffers come back from the renderers.

#include <gtest/gtest.h>
#include <quorixsdk.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "base/hlog.h"
#include "media/hmfformat.h"
#include "panorama/render.h"
#include "player/gpano.h"
#include "player/player.h"
#include "player/playerhost.h"
#include "player/sysparam.h"
#include "support/container_builder.h"
#include "support/large_blocks.h"
#include "support/player_media.h"

namespace {

// Log lines of the scope, written where the debugger output would go.
class LogCapture {
public:
    LogCapture() {
        char name[] = "/tmp/quorix-player-log-XXXXXX";
        m_fd = mkstemp(name);
        m_path = name;
        BRIXEL::CHLog::Instance().SetDebugFd(m_fd);
        BRIXEL::CHLog::Instance().Configure(1, 0, nullptr, nullptr);
    }
    ~LogCapture() {
        BRIXEL::CHLog::Instance().Configure(0, 0, nullptr, nullptr);
        BRIXEL::CHLog::Instance().SetDebugFd(2);
        if (m_fd >= 0)
            close(m_fd);
        unlink(m_path.c_str());
    }
    std::string Text() const {
        std::ifstream in(m_path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool Contains(const std::string& what) const { return Text().find(what) != std::string::npos; }

private:
    int m_fd = -1;
    std::string m_path;
};

class FakeHost : public IPlayerHost {
public:
    FakeHost() {
        m_pano.CreatePanoRender = [](GPanoCreateOptions, const void*, uint32_t,
                                     uint32_t* handle) -> uint32_t {
            *handle = 7;
            return 0;
        };
    }
    const CGPano& GetGPano() override { return m_pano; }
    bool IsDirectDrawMode() const override { return directDraw; }
    const CSysParam& GetSysParam() const override { return param; }
    uint16_t GetAudioPort() const override { return QUORIX_NO_AUDIO_PORT; }
    uint16_t GetJpegQuality() const override { return 90; }
    BRIXEL::CWaveOut* GetWaveOut() override { return nullptr; }

    bool directDraw = false;
    CSysParam param;

private:
    CGPano m_pano;
};

// A port whose engine keeps records queued instead of starting stream threads for them.
class TestPlayer : public CPlayer {
public:
    TestPlayer(uint32_t port, IPlayerHost& host) : CPlayer(port, host) {
        SetStreamThreadsEnabled(false);
    }
};

std::vector<uint8_t> VideoHeader(uint8_t type, uint16_t width, uint16_t height) {
    return playertest::MakeRecord(type, 0, 0, 6, width, height, std::vector<uint8_t>(16, 0));
}

TEST(PlayerPort, DecoderModuleFollowsTheConfigurationAndTheLargePictureRule) {
    struct Case {
        uint8_t codec;
        bool large;
        int expectedModule;
    };
    const Case cases[] = {
        {1, false, 2},  // "H264"
        {2, false, 3},  // "MJPEG"
        {6, false, 4},  // "H265"
        {6, true, 1},   // ffmpeg, whatever "H265" says
        {1, true, 2},   // the rule is about H.265 only
        {3, false, 0},  // any other codec: automatic
        {7, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "codec " << int(c.codec) << " large " << c.large);
        FakeHost host;
        host.param.h264Module = 2;
        host.param.mjpegModule = 3;
        host.param.h265Module = 4;
        TestPlayer player(3, host);
        if (c.large) {
            const auto record = VideoHeader(BRIXEL::HMF_KIND_KEY, 9000, 100);
            player.InputData(record.data(), static_cast<uint32_t>(record.size()));
            ASSERT_TRUE(player.IsLargePicture());
        }
        LogCapture log;
        BRIXEL::HDecoderHandle decoder = player.StartDecoder(c.codec);
        const std::string expected = "EncodeType=" + std::to_string(c.codec) +
                                     ",ModuleType=" + std::to_string(c.expectedModule);
        EXPECT_TRUE(log.Contains(expected)) << log.Text();
        EXPECT_TRUE(log.Contains("(INFO)quorixsdk:<player CPlayer::StartDecoder LINE:"))
            << log.Text();
        if (decoder != nullptr) {
            player.StopDecoder(decoder);
            EXPECT_TRUE(log.Contains("StopDecoder 0x")) << log.Text();
        }
    }
}

TEST(PlayerPort, LargePictureIsAVideoRecordBeyondTheLimitInEitherSide) {
    struct Case {
        uint8_t type;
        uint16_t width, height;
        int32_t limit;
        bool large;
    };
    const Case cases[] = {
        {BRIXEL::HMF_KIND_KEY, 9000, 100, 8192, true},
        {BRIXEL::HMF_KIND_DELTA, 100, 9000, 8192, true},
        {BRIXEL::HMF_KIND_UNTIMED, 8193, 100, 8192, true},
        {BRIXEL::HMF_KIND_KEY, 8192, 8192, 8192, false},   // at the limit is still fine
        {BRIXEL::HMF_KIND_AUDIO, 9000, 100, 8192, false},  // audio bytes there mean something else
        {2, 9000, 100, 8192, false},
        {BRIXEL::HMF_KIND_KEY, 9000, 9000, 0, false},  // a limit below 1 switches the rule off
        {BRIXEL::HMF_KIND_KEY, 1920, 1080, 1000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "type " << int(c.type) << " " << c.width << "x" << c.height);
        FakeHost host;
        host.param.hisiMaxWidth = c.limit;
        TestPlayer player(0, host);
        const auto record = VideoHeader(c.type, c.width, c.height);
        player.InputData(record.data(), static_cast<uint32_t>(record.size()));
        EXPECT_EQ(c.large, player.IsLargePicture());
        // Only the free clears it.
        player.ResetPort(false);
        EXPECT_FALSE(player.IsLargePicture());
    }
}

TEST(PlayerPort, InputRefusesRecordsWithoutAWholeHeader) {
    FakeHost host;
    CPlayer player(0, host);
    const std::vector<uint8_t> bytes(27, 0xFF);
    EXPECT_EQ(QUORIX_E_PARAM, player.InputData(nullptr, 1000));
    EXPECT_EQ(QUORIX_E_PARAM, player.InputData(bytes.data(), 27));
    EXPECT_FALSE(player.IsLargePicture());
    EXPECT_EQ(0u, player.GetLastFrameStamp());
}

TEST(PlayerPort, StreamRendererFollowsTheRenderModeFlag) {
    ASSERT_EQ(QUORIX_OK, SPHERA::GlobalInit());
    FakeHost host;
    CPlayer player(0, host);
    {
        LogCapture log;
        host.directDraw = true;
        ASSERT_EQ(QUORIX_OK, player.OpenStream(1, nullptr, 0, nullptr, 0));
        EXPECT_EQ(CPlayer::STATUS_STREAM, player.GetStatus());
        EXPECT_TRUE(player.UsesSoftwareDisplay());
        EXPECT_TRUE(log.Contains("(INFO)quorixsdk:<player CPlayer::OpenStream LINE:"))
            << log.Text();
        EXPECT_TRUE(log.Contains("use dxdraw!")) << log.Text();
        EXPECT_EQ(QUORIX_OK, player.CloseStream());
        EXPECT_FALSE(player.UsesSoftwareDisplay());
    }
    {
        LogCapture log;
        host.directDraw = false;
        ASSERT_EQ(QUORIX_OK, player.OpenStream(1, nullptr, 0, nullptr, 0));
        EXPECT_EQ(CPlayer::STATUS_STREAM, player.GetStatus());
        EXPECT_TRUE(log.Contains("use Opengl!")) << log.Text();
        EXPECT_EQ(QUORIX_E_PORT_BUSY, player.OpenStream(1, nullptr, 0, nullptr, 0));
        // Manual mode: the host draws on its own thread later; the engine runs at once.
        EXPECT_EQ(QUORIX_OK, player.BeginPlay(0, nullptr, 1));
        EXPECT_TRUE(player.IsPlaying());
        EXPECT_EQ(QUORIX_OK, player.CloseStream());
        EXPECT_TRUE(log.Contains("CloseStream")) << log.Text();
        EXPECT_EQ(CPlayer::STATUS_NONE, player.GetStatus());
    }
    // The external renderer ignores the flag.
    host.directDraw = true;
    ASSERT_EQ(QUORIX_OK, player.OpenStream(CPlayer::kExternalRenderModel, nullptr, 0, nullptr, 0));
    EXPECT_TRUE(player.UsesExternalRenderer());
    EXPECT_EQ(-1, player.GetRenderModel());
    EXPECT_EQ(QUORIX_OK, player.CloseStream());
    EXPECT_FALSE(player.UsesExternalRenderer());
    EXPECT_EQ(1, player.GetRenderModel());
}

// Whether a file or stream opens does not depend on the renderer the port chose: without any
// lens block (a file of bare records has none) both show the picture as it is, and a lens block
// that is too short or damaged is refused by both alike.
TEST(PlayerPort, BothRenderersOpenTheSameModelData) {
    ASSERT_EQ(QUORIX_OK, SPHERA::GlobalInit());
    std::vector<uint8_t> damaged(88 + 200, 0);
    std::memcpy(damaged.data(), "SPH", 4);
    damaged[4] = static_cast<uint8_t>(damaged.size());
    damaged[5] = static_cast<uint8_t>(damaged.size() >> 8);
    damaged[12] = 2;  // two cameras announced, one record present
    std::vector<uint8_t> wrongMagic = damaged;
    wrongMagic[0] = 'X';
    const std::vector<uint8_t> shortBlock(40, 0);
    struct Case {
        const char* what;
        const std::vector<uint8_t>* block;
        uint32_t expected;
    };
    const Case cases[] = {
        {"no block", nullptr, QUORIX_OK},
        {"shorter than its header", &shortBlock, QUORIX_E_PARAM},
        {"wrong magic", &wrongMagic, QUORIX_E_FILE_FORMAT},
        {"a camera missing", &damaged, QUORIX_E_FILE_FORMAT},
    };
    for (const bool software : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message()
                         << c.what << (software ? ", software display" : ", OpenGL"));
            FakeHost host;
            host.directDraw = software;
            CPlayer player(0, host);
            const uint32_t opened =
                player.OpenStream(0, nullptr, 0, c.block != nullptr ? c.block->data() : nullptr,
                                  c.block != nullptr ? static_cast<uint32_t>(c.block->size()) : 0);
            EXPECT_EQ(c.expected, opened);
            EXPECT_EQ(c.expected == QUORIX_OK ? CPlayer::STATUS_STREAM : CPlayer::STATUS_NONE,
                      player.GetStatus());
            if (opened == QUORIX_OK) {
                EXPECT_EQ(software, player.UsesSoftwareDisplay());
                EXPECT_EQ(QUORIX_OK, player.CloseStream());
            }
        }
    }
}

// A port whose last open chose the software display answers as that display does once it is
// closed again: the display's requests refuse a missing display as a bad argument.
TEST(PlayerPort, ClosedSoftwareDisplayPortAnswersAsItsDisplay) {
    FakeHost host;
    host.directDraw = true;
    CPlayer player(0, host);
    ASSERT_EQ(QUORIX_OK, player.OpenStream(1, nullptr, 0, nullptr, 0));
    ASSERT_TRUE(player.UsesSoftwareDisplay());
    EXPECT_EQ(QUORIX_OK, player.SetRatioType(0, 1));
    ASSERT_EQ(QUORIX_OK, player.CloseStream());
    EXPECT_EQ(QUORIX_E_PARAM, player.SetRatioType(0, 1));
    EXPECT_EQ(QUORIX_E_PARAM, player.SetSnapCallback(0, nullptr, nullptr, 4, 4));
    EXPECT_EQ(QUORIX_E_PARAM, player.SetSnapRect(0, 0.0f, 0.0f, 1.0f, 1.0f));
    float pan = 0.0f;
    EXPECT_EQ(QUORIX_E_PARAM, player.GetPtz(0, &pan, nullptr, nullptr));
    // Those without a display of their own answer as before.
    EXPECT_EQ(QUORIX_E_NOT_IMPL, player.SetScreenOffSnapRect(0.0f, 0.0f, 1.0f, 1.0f));
    EXPECT_EQ(QUORIX_E_NOT_IMPL, player.SetFlip(0, 1));
    EXPECT_EQ(QUORIX_OK, player.SetPtz(0, 0.0f, 0.0f, 2.0f));
}

TEST(PlayerPort, FreeForgetsTheHostsSettingsButKeepsPlayModeAndFrameCheck) {
    FakeHost host;
    CPlayer player(0, host);
    player.ResetPort(true);
    EXPECT_TRUE(player.IsInUse());
    ASSERT_EQ(QUORIX_OK, player.SetPlayMode(2));
    player.SetCheckFrameNum(false);
    ASSERT_EQ(QUORIX_OK, player.SetSpeed(3));
    ASSERT_EQ(QUORIX_OK, player.OpenStream(CPlayer::kExternalRenderModel, nullptr, 0, nullptr, 0));
    player.ResetPort(false);
    EXPECT_FALSE(player.IsInUse());
    EXPECT_EQ(CPlayer::STATUS_NONE, player.GetStatus());
    EXPECT_EQ(2u, player.GetPlayMode());
    EXPECT_FALSE(player.GetCheckFrameNum());
    EXPECT_EQ(0, player.GetSpeed());
    // Without a file every file request answers as the states say.
    EXPECT_EQ(QUORIX_E_STATE, player.SeekPos(0.5f));
    EXPECT_EQ(QUORIX_E_STATE, player.Step(false));
    EXPECT_EQ(0.0f, player.GetPlayedPos());
    EXPECT_EQ(QUORIX_E_STATE, player.CloseFile());
}

// A recording for the external renderer (the host's double) with a file-open information block.
std::string WriteExternalRecording(const std::vector<uint8_t>& info) {
    std::vector<uint8_t> bytes = quorixtest::ContainerBuilder()
                                     .AddExtension(BRIXEL::HMF_EXT_OPEN_INFO, info)
                                     .AddGroups(2, 5, 40, 0, 0)
                                     .Build();
    bytes[61] = static_cast<uint8_t>(CPlayer::kExternalRenderModel);
    char name[] = "/tmp/quorix-player-open-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0)
        return std::string();
    const bool written =
        write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return written ? std::string(name) : std::string();
}

// What the file-open-information callback does to its own port.
struct OpenCallback {
    CPlayer* player = nullptr;
    std::string path;
    bool freePort = false;
    bool openAgain = false;
    int calls = 0;
    uint32_t nestedOpen = QUORIX_OK;
    bool infoIntact = false;
    std::vector<uint8_t> expected;

    static void Run(uint16_t, int32_t, const uint8_t* info, uint32_t length, void* user) {
        auto* self = static_cast<OpenCallback*>(user);
        ++self->calls;
        if (self->openAgain)
            self->nestedOpen = self->player->OpenFile(self->path.c_str());
        if (self->freePort)
            self->player->ResetPort(false);
        // Read after the nested calls: the block must still be the file's.
        self->infoIntact = info != nullptr && length == self->expected.size() &&
                           std::memcmp(info, self->expected.data(), length) == 0;
    }
};

TEST(PlayerPort, OpenFileSurvivesWhatItsOwnCallbackDoesToThePort) {
    const std::vector<uint8_t> info = {'s', 'i', 't', 'e', '-', '4', '2'};
    const std::string path = WriteExternalRecording(info);
    ASSERT_FALSE(path.empty());
    FakeHost host;
    CPlayer player(4, host);

    // Freed inside the callback: the open fails, the port is free and clean, and its next
    // owner opens the file like any other.
    {
        OpenCallback callback;
        callback.player = &player;
        callback.path = path;
        callback.freePort = true;
        callback.expected = info;
        player.ResetPort(true);
        player.SetFileOpenInfoCallback(&OpenCallback::Run, &callback);
        EXPECT_EQ(QUORIX_E_STATE, player.OpenFile(path.c_str()));
        EXPECT_EQ(1, callback.calls);
        EXPECT_TRUE(callback.infoIntact);
        EXPECT_FALSE(player.IsInUse());
        EXPECT_EQ(CPlayer::STATUS_NONE, player.GetStatus());
        EXPECT_FALSE(player.UsesExternalRenderer());
        EXPECT_EQ(CPlayer::kDefaultRenderModel, player.GetRenderModel());
        EXPECT_EQ(QUORIX_E_STATE, player.CloseFile());
        player.ResetPort(true);
        EXPECT_EQ(QUORIX_OK, player.OpenFile(path.c_str())) << "the freed port is still busy";
        EXPECT_EQ(1, callback.calls) << "the free cleared the callback";
        EXPECT_EQ(QUORIX_OK, player.CloseFile());
        player.ResetPort(false);
    }
    // Opening again from the callback: refused as busy, without touching the outer open's
    // blocks, which the outer open then completes with.
    {
        OpenCallback callback;
        callback.player = &player;
        callback.path = path;
        callback.openAgain = true;
        callback.expected = info;
        player.ResetPort(true);
        player.SetFileOpenInfoCallback(&OpenCallback::Run, &callback);
        EXPECT_EQ(QUORIX_OK, player.OpenFile(path.c_str()));
        EXPECT_EQ(1, callback.calls);
        EXPECT_EQ(QUORIX_E_PORT_BUSY, callback.nestedOpen);
        EXPECT_TRUE(callback.infoIntact);
        EXPECT_EQ(CPlayer::STATUS_FILE, player.GetStatus());
        EXPECT_EQ(10u, player.GetTotalFrames());
        EXPECT_EQ(QUORIX_OK, player.CloseFile());
        player.ResetPort(false);
    }
    unlink(path.c_str());
}

// A port that counts the pictures its engine hands to the renderer and notes, at each, how many
// picture-sized blocks the process holds.
class PresentingPlayer : public CPlayer {
public:
    using CPlayer::CPlayer;

    uint32_t RenderFrame(uint16_t streamId, uint32_t timestamp, uint32_t clock, uint16_t width,
                         uint16_t height, uint8_t* buffer, uint32_t size,
                         BRIXEL::CHYUVColour colour) override {
        const uint32_t shown =
            CPlayer::RenderFrame(streamId, timestamp, clock, width, height, buffer, size, colour);
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_presented;
        m_mostBlocks = std::max(m_mostBlocks, quorix_test::LiveLargeBlocks());
        m_changed.notify_all();
        return shown;
    }
    // False when fewer than `count` pictures came within the time limit.
    bool WaitPresented(int count) {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_changed.wait_for(guard, std::chrono::seconds(30),
                                  [&] { return m_presented >= count; });
    }
    int Presented() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_presented;
    }
    int64_t MostBlocks() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_mostBlocks;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_presented = 0;
    int64_t m_mostBlocks = 0;
};

const playertest::Clip& BufferClip() {
    static const playertest::Clip clip = playertest::EncodeClip("libx264", 320, 240, 100, 25);
    return clip;
}

// The record as the sub-frame of a composite packet.
std::vector<uint8_t> AsPacket(const std::vector<uint8_t>& record, const playertest::Clip& clip,
                              uint32_t sequence) {
    std::vector<uint8_t> sub = record;
    BRIXEL::HStoreLE16(sub.data(), BRIXEL::kHMFSubFrameMagic);
    return playertest::MakeRecord(BRIXEL::HMF_KIND_KEY | BRIXEL::kHMFCompositeBit, sequence,
                                  sequence * 10, clip.codec, static_cast<uint16_t>(clip.width),
                                  static_cast<uint16_t>(clip.height), sub);
}

// In play modes 1 and 2 a picture buffer travels to the renderer and comes back to the engine
// for the next picture. A renderer made after the port's stream (records pushed before the
// open, or fed by an attached port before this one is open) must hand them back as well: the
// picture buffers alive stay within what the engine's pools and the renderer hold, however
// many pictures pass.
TEST(PlayerPort, PictureBuffersComeBackFromARendererMadeAfterTheStream) {
    if (!quorix_test::CountsLargeBlocks())
        GTEST_SKIP() << "the sanitizer owns operator new";
    const playertest::Clip& clip = BufferClip();
    ASSERT_FALSE(clip.packets.empty()) << "libx264 missing";
    const auto records = playertest::ClipRecords(clip, 10);
    const int total = static_cast<int>(records.size());
    ASSERT_EQ(QUORIX_OK, SPHERA::GlobalInit());
    // Every block as big as a picture's luma plane or bigger is a picture buffer here; the clip's
    // own pictures count too, and are there before the port starts.
    quorix_test::SetLargeBlockSize(size_t{clip.width} * clip.height);

    // What may be alive at once: the engine's free list of decoded pictures (10), a stream's
    // queue of decoded pictures (3), the picture being decoded into and the one being presented,
    // and what a renderer keeps (the picture shown and a spare).
    constexpr int64_t kMostInUse = 10 + 3 + 1 + 1 + 2;
    constexpr int kEarly = 4;   // records given before the port is open
    constexpr int kAhead = 20;  // records given ahead of the presentation

    struct Case {
        bool software;
        uint32_t mode;
        bool attached;
    };
    for (const Case& c : {Case{false, 1, false}, Case{false, 2, false}, Case{true, 1, false},
                          Case{true, 2, false}, Case{false, 2, true}, Case{true, 1, true}}) {
        SCOPED_TRACE(testing::Message()
                     << (c.software ? "software display" : "OpenGL") << ", mode " << c.mode
                     << (c.attached ? ", fed by an attached port" : ""));
        FakeHost host;
        host.directDraw = c.software;
        CPlayer feeder(0, host);
        PresentingPlayer player(1, host);
        feeder.SetAttachPlayer(&player);
        ASSERT_EQ(QUORIX_OK, player.SetPlayMode(c.mode));
        auto give = [&](int i) {
            const auto& record = records[static_cast<size_t>(i)];
            if (!c.attached) {
                return player.InputData(record.data(), static_cast<uint32_t>(record.size()));
            }
            const auto packet = AsPacket(record, clip, static_cast<uint32_t>(i));
            return feeder.InputData(packet.data(), static_cast<uint32_t>(packet.size()));
        };
        for (int i = 0; i < kEarly; ++i)
            ASSERT_EQ(QUORIX_OK, give(i));
        ASSERT_EQ(1u, player.GetVideoStreamCount());

        ASSERT_EQ(QUORIX_OK, player.OpenStream(1, nullptr, 0, nullptr, 0));
        ASSERT_EQ(c.software, player.UsesSoftwareDisplay());
        const int64_t before = quorix_test::LiveLargeBlocks();
        ASSERT_EQ(QUORIX_OK, player.BeginPlay(0, nullptr, 0));
        for (int i = kEarly; i < total; ++i) {
            ASSERT_TRUE(player.WaitPresented(i - kEarly - kAhead)) << player.Presented();
            ASSERT_EQ(QUORIX_OK, give(i)) << "record " << i;
        }
        // Mode 1 may keep its last pictures queued.
        ASSERT_TRUE(player.WaitPresented(total - kEarly - 3)) << player.Presented();
        EXPECT_LE(player.MostBlocks() - before, kMostInUse);
        EXPECT_EQ(QUORIX_OK, player.CloseStream());
        feeder.ResetPort(false);
    }
}

}  // namespace
