// The engine with its threads running: pictures and sound reach the owner, and stopping and
// starting with records in flight loses or leaks nothing (run under the sanitizers too).

#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine_fake.h"

namespace enginetest {
namespace {

uint32_t Input(FakePlayer& p, const std::vector<uint8_t>& bytes) {
    return p.InputData(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

std::vector<uint8_t> Picture(uint32_t seq, uint16_t width = 64, uint16_t height = 16,
                             uint8_t streamId = 0) {
    RecordSpec s;
    s.kind = seq % 10 == 1 ? HMF_KIND_KEY : HMF_KIND_DELTA;
    s.sequence = seq;
    s.timestamp = 1000 + 40 * seq;
    s.width = width;
    s.height = height;
    s.streamId = streamId;
    return MakeRecord(s);
}

TEST(EngineThreads, DirectModeShowsEveryPictureOnTheStreamThread) {
    FakePlayer p;
    ASSERT_EQ(p.StartPlay(), QUORIX_OK);
    for (uint32_t seq = 1; seq <= 12; ++seq)
        ASSERT_EQ(Input(p, Picture(seq)), QUORIX_OK);
    ASSERT_TRUE(p.WaitFor([&] { return p.shown.size() == 12; }));
    EXPECT_EQ(p.shown.back().seed, 12);
    EXPECT_EQ(p.StopPlay(), QUORIX_OK);
    EXPECT_EQ(p.decodersStopped, 1);
}

TEST(EngineThreads, ADecoderThatThrowsCostsOnePictureNotTheStream) {
    FakePlayer p;
    ASSERT_EQ(p.StartPlay(), QUORIX_OK);
    std::vector<uint8_t> bad = Picture(2);
    bad[kHMFFrameHeaderSize + 1] = 0xDD;
    ASSERT_EQ(Input(p, Picture(1)), QUORIX_OK);
    ASSERT_EQ(Input(p, bad), QUORIX_OK);
    ASSERT_EQ(Input(p, Picture(3)), QUORIX_OK);
    ASSERT_TRUE(p.WaitFor([&] { return p.shown.size() == 2; }));
    EXPECT_EQ(p.shown[1].seed, 3);
    p.StopPlay();
}

TEST(EngineThreads, PlayerThreadPresentsQueuedPicturesInBothBufferedModes) {
    for (uint32_t mode : {1u, 2u}) {
        SCOPED_TRACE(mode);
        FakePlayer p;
        p.SetPlayMode(mode);
        ASSERT_EQ(p.SetPlaySpeed(4), QUORIX_OK);
        ASSERT_EQ(p.StartPlay(), QUORIX_OK);
        for (uint32_t seq = 1; seq <= 15; ++seq)
            ASSERT_EQ(Input(p, Picture(seq)), QUORIX_OK);
        ASSERT_TRUE(p.WaitFor([&] { return p.rendered.size() == 15; }));
        for (uint32_t i = 0; i < 15; ++i)
            EXPECT_EQ(p.rendered[i].seed, i + 1);
        EXPECT_TRUE(p.shown.empty());
        p.StopPlay();
        // What the renderer still holds comes back after the engine stopped; it is freed with it.
        EXPECT_EQ(p.HeldBufferCount(), 1u);
    }
}

// A clock on real time whose rests never end (until released): an engine thread that waits out
// a rest instead of being woken by the work it waits for stalls on it.
class StallingClock : public IHClock {
public:
    uint32_t Tick() override { return HRealTickCount(); }
    void Sleep(uint32_t) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_released.wait(lock, [this] { return m_free; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_free = true;
        m_released.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_free = false;
};

class InstalledClock {
public:
    explicit InstalledClock(StallingClock& clock) : m_clock(clock) { HSetClock(&clock); }
    ~InstalledClock() {
        m_clock.Release();
        HSetClock(nullptr);
    }
    InstalledClock(const InstalledClock&) = delete;
    InstalledClock& operator=(const InstalledClock&) = delete;

private:
    StallingClock& m_clock;
};

// A live picture is decoded as soon as it is pushed and, in the low-latency mode, presented as
// soon as it is decoded and due: each one reaches the owner before the next is pushed, and no
// thread relies on its rest running out.
TEST(EngineThreads, LivePicturesFlowWithoutWaitingOutTheRests) {
    for (uint32_t mode : {0u, 2u}) {
        SCOPED_TRACE(mode);
        StallingClock clock;
        FakePlayer p;
        InstalledClock installed(clock);
        p.SetPlayMode(mode);
        ASSERT_EQ(p.StartPlay(), QUORIX_OK);
        for (uint32_t seq = 1; seq <= 6; ++seq) {
            ASSERT_EQ(Input(p, Picture(seq)), QUORIX_OK);
            ASSERT_TRUE(p.WaitFor([&] { return p.shown.size() + p.rendered.size() == seq; }));
        }
        // A burst fills the decoded queue; the decoder goes on as presentation drains it.
        if (mode == 2) {
            ASSERT_EQ(p.SetPlaySpeed(4), QUORIX_OK);
            for (uint32_t seq = 7; seq <= 14; ++seq)
                ASSERT_EQ(Input(p, Picture(seq)), QUORIX_OK);
            ASSERT_TRUE(p.WaitFor([&] { return p.rendered.size() == 14; }));
            EXPECT_EQ(p.rendered.back().seed, 14);
        }
        p.StopPlay();
    }
}

TEST(EngineThreads, AudioIsDecodedAndHandedOverWithItsFormat) {
    FakePlayer p;
    ASSERT_EQ(p.StartPlay(), QUORIX_OK);
    for (uint32_t seq = 1; seq <= 4; ++seq)
        ASSERT_EQ(Input(p, MakeAudioRecord(seq, 3)), QUORIX_OK);
    // A codec change needs no key frame: the decoder is replaced at once.
    for (uint32_t seq = 5; seq <= 6; ++seq)
        ASSERT_EQ(Input(p, MakeAudioRecord(seq, 4)), QUORIX_OK);
    ASSERT_TRUE(p.WaitFor([&] { return p.audio.size() == 6; }));
    EXPECT_EQ(p.audio[0].channels, 1u);
    EXPECT_EQ(p.audio[0].bits, 16u);
    EXPECT_EQ(p.audio[0].rate, 8000u);
    EXPECT_EQ(p.audio[0].length, 32u);
    p.StopPlay();
    EXPECT_EQ(p.startedCodecs, (std::vector<uint8_t>{3, 4}));
    EXPECT_EQ(p.decodersStopped, 2);
}

TEST(EngineThreads, StopAndStartWithRecordsInFlight) {
    FakePlayer p;
    std::atomic<bool> feeding{true};
    std::atomic<uint16_t> width{64};
    // The feeder never stops while the engine is stopped and started: streams disappear under it
    // and are made again; composite packets feed two more streams and sound goes alongside.
    std::thread feeder([&] {
        uint32_t seq = 0;
        while (feeding) {
            ++seq;
            const uint16_t w = width;
            Input(p, Picture(seq, w));
            RecordSpec s1;
            s1.kind = seq % 10 == 1 ? HMF_KIND_KEY : HMF_KIND_DELTA;
            s1.sequence = seq;
            s1.timestamp = 40 * seq;
            s1.streamId = 1;
            s1.width = w;
            RecordSpec s2 = s1;
            s2.streamId = 2;
            Input(p, MakeComposite({MakeSubFrame(s1), MakeSubFrame(s2)}));
            Input(p, MakeAudioRecord(seq));
            if (seq % 16 == 0)
                p.GetQueuedFrameCount();
            if (seq % 64 == 0)
                p.FlushStreams();
            std::this_thread::yield();
        }
    });

    const uint32_t modes[] = {2, 0, 1, 2, 0, 2};
    for (uint32_t cycle = 0; cycle < std::size(modes); ++cycle) {
        SCOPED_TRACE(cycle);
        p.SetPlayMode(modes[cycle]);
        width =
            static_cast<uint16_t>(64 + 32 * (cycle % 3));  // picture size changes between cycles
        ASSERT_EQ(p.SetPlaySpeed(4), QUORIX_OK);
        const size_t before = p.RenderedCount() + p.ShownCount();
        ASSERT_EQ(p.StartPlay(), QUORIX_OK);
        ASSERT_TRUE(p.WaitFor([&] { return p.rendered.size() + p.shown.size() >= before + 6; }));
        if (cycle % 2)
            p.ReturnHeldBuffers();  // sometimes the renderer lets go while playing
        EXPECT_EQ(p.StopPlay(), QUORIX_OK);
    }
    feeding = false;
    feeder.join();
    p.StopPlay();
    EXPECT_EQ(p.decodersStarted, p.decodersStopped);
    EXPECT_EQ(p.GetVideoStreamCount(), 0u);
}

}  // namespace
}  // namespace enginetest
