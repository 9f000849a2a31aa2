// Decoding and presentation rules of a video stream, driven by hand on the test thread with the
// simulated clock: no stream or player thread runs here.

#include <set>

#include "engine_fake.h"

namespace enginetest {
namespace {

class EngineStream : public ::testing::Test {
protected:
    EngineStream() : player(false) { player.playing = 1; }

    uint32_t Input(const RecordSpec& desc) {
        std::vector<uint8_t> bytes = MakeRecord(desc);
        return player.InputData(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    // Feeds a run of records: kinds as a string ('K' key, 'D' delta, 'U' untimed), sequence
    // numbers counting from firstSeq, timestamps 40 ms apart.
    void Feed(const std::string& kinds, uint32_t firstSeq = 1, uint32_t firstTs = 1000) {
        for (size_t i = 0; i < kinds.size(); ++i) {
            RecordSpec s;
            s.kind = kinds[i] == 'K'   ? HMF_KIND_KEY
                     : kinds[i] == 'U' ? HMF_KIND_UNTIMED
                                       : HMF_KIND_DELTA;
            s.sequence = firstSeq + static_cast<uint32_t>(i);
            s.timestamp = firstTs + 40 * static_cast<uint32_t>(i);
            ASSERT_EQ(Input(s), QUORIX_OK);
        }
    }
    CHVideoStream& Stream(uint16_t id = 0) { return *player.GetVideoStream(id); }
    // Decodes until the stream has nothing to do; returns the number of records taken.
    int DecodeAll(uint16_t id = 0) {
        int taken = 0;
        while (Stream(id).GetQueuedFrames() > 0 && Stream(id).DecodeOne() == 0)
            ++taken;
        return taken;
    }
    std::vector<uint32_t> ShownSequences() {
        std::vector<uint32_t> seqs;
        for (const Shown& s : player.shown)
            seqs.push_back(s.seed);
        return seqs;
    }
    std::vector<uint32_t> RenderedTimestamps() {
        std::vector<uint32_t> ts;
        for (const Shown& s : player.rendered)
            ts.push_back(s.timestamp);
        return ts;
    }

    ScopedSimClock sim;
    FakePlayer player;
};

TEST_F(EngineStream, PictureSizeChangeWaitsForKeyFrameAndRecreatesDecoder) {
    Feed("KD");
    RecordSpec s;
    s.kind = HMF_KIND_DELTA;
    s.width = 32;
    s.sequence = 3;
    ASSERT_EQ(Input(s), QUORIX_OK);
    s.sequence = 4;
    ASSERT_EQ(Input(s), QUORIX_OK);
    s.kind = HMF_KIND_KEY;
    s.sequence = 5;
    ASSERT_EQ(Input(s), QUORIX_OK);
    s.kind = HMF_KIND_KEY;
    s.codec = 6;  // a codec change is a configuration change too
    s.sequence = 6;
    ASSERT_EQ(Input(s), QUORIX_OK);
    DecodeAll();

    EXPECT_EQ(ShownSequences(), (std::vector<uint32_t>{1, 2, 5, 6}));
    ASSERT_EQ(player.shown.size(), 4u);
    EXPECT_EQ(player.shown[2].width, 32);
    EXPECT_EQ(player.decodersStarted, 3);
    EXPECT_EQ(player.decodersStopped, 2);
    EXPECT_EQ(player.startedCodecs, (std::vector<uint8_t>{1, 1, 6}));
}

TEST_F(EngineStream, SequenceGapDropsEverythingUpToTheNextKeyFrame) {
    Feed("KD", 1);
    Feed("DD", 4);  // 3 is missing
    Feed("KD", 6);
    DecodeAll();
    EXPECT_EQ(ShownSequences(), (std::vector<uint32_t>{1, 2, 6, 7}));

    player.SetSequenceCheck(false);
    Feed("DD", 10);
    DecodeAll();
    EXPECT_EQ(ShownSequences(), (std::vector<uint32_t>{1, 2, 6, 7, 10, 11}));
}

TEST_F(EngineStream, DecoderFailuresDropRecordsAndTheStreamGoesOn) {
    player.failStartDecoder = true;
    Feed("KD");
    DecodeAll();
    EXPECT_TRUE(player.shown.empty());
    EXPECT_EQ(player.decodersStarted, 1);  // the delta frame does not try again

    player.failStartDecoder = false;
    Feed("KD", 3);
    RecordSpec damaged;
    damaged.kind = HMF_KIND_DELTA;
    damaged.sequence = 5;
    std::vector<uint8_t> bytes = MakeRecord(damaged);
    bytes[kHMFFrameHeaderSize + 1] = 0xEE;
    ASSERT_EQ(player.InputData(bytes.data(), static_cast<uint32_t>(bytes.size())), QUORIX_OK);
    Feed("D", 6);
    DecodeAll();
    EXPECT_EQ(ShownSequences(), (std::vector<uint32_t>{3, 4, 6}));

    // Not playing: decoded, not shown.
    player.playing = 0;
    Feed("D", 7);
    DecodeAll();
    EXPECT_EQ(player.shown.size(), 3u);
    EXPECT_EQ(player.decodeCalls.load(), 4);  // the damaged picture is not counted
}

TEST_F(EngineStream, IntervalsFollowTimestampsAndIgnoreJumps) {
    player.SetPlayMode(2);
    struct Step {
        uint8_t kind;
        uint32_t timestamp;
        uint32_t shownTimestamp;
        uint32_t presentInterval;  // interval x 0.8 in mode 2 with a short backlog
    };
    const Step steps[] = {
        {HMF_KIND_KEY, 1000, 1000, 0},       // a key frame after a wait starts at 0
        {HMF_KIND_DELTA, 1040, 1040, 32},    // 40 ms
        {HMF_KIND_DELTA, 3040, 3040, 32},    // 2000 ms jump: the previous interval stays
        {HMF_KIND_UNTIMED, 0, 3080, 32},     // untrusted stamp: previous + interval
        {HMF_KIND_DELTA, 3140, 3140, 48},    // 60 ms
        {HMF_KIND_DELTA, 65530, 65530, 48},  // jump
        {HMF_KIND_DELTA, 65570, 65570, 32},  // the low 16 bits wrap: still 40 ms
        {HMF_KIND_DELTA, 65000, 65000, 32},  // backwards: huge 16-bit difference
    };
    uint32_t seq = 1;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.timestamp);
        RecordSpec s;
        s.kind = step.kind;
        s.sequence = seq++;
        s.timestamp = step.timestamp;
        ASSERT_EQ(Input(s), QUORIX_OK);
        ASSERT_EQ(Stream().DecodeOne(), 0u);
        sim.clock.now += 1000;
        Stream().ShowFrame();
        ASSERT_EQ(player.rendered.size(), seq - 1);
        EXPECT_EQ(player.rendered.back().timestamp, step.shownTimestamp);
        EXPECT_EQ(Stream().GetPresentInterval(), step.presentInterval);
    }
}

TEST_F(EngineStream, BufferedModeWaitsForThreePicturesLowLatencyModeDoesNot) {
    player.SetPlayMode(1);
    Feed("KD");
    DecodeAll();
    Stream().ShowFrame();
    EXPECT_TRUE(player.rendered.empty());
    EXPECT_TRUE(Stream().IsPrebuffering());
    Feed("DDD", 3);
    DecodeAll();
    // Decoding pauses with three pictures waiting.
    EXPECT_EQ(Stream().GetDecodedFrames(), 3u);
    EXPECT_EQ(Stream().GetQueuedFrames(), 2u);
    EXPECT_EQ(Stream().DecodeOne(), CHVideoStream::kFullSleepMs);
    Stream().ShowFrame();
    EXPECT_EQ(player.rendered.size(), 1u);
    EXPECT_FALSE(Stream().IsPrebuffering());

    FakePlayer low(false);
    low.playing = 1;
    low.SetPlayMode(2);
    std::vector<uint8_t> key = MakeRecord({});
    ASSERT_EQ(low.InputData(key.data(), static_cast<uint32_t>(key.size())), QUORIX_OK);
    low.GetVideoStream(0)->DecodeOne();
    low.GetVideoStream(0)->ShowFrame();
    EXPECT_EQ(low.rendered.size(), 1u);

    // Not playing: nothing is queued for presentation.
    low.playing = 0;
    RecordSpec d;
    d.kind = HMF_KIND_DELTA;
    d.sequence = 2;
    std::vector<uint8_t> delta = MakeRecord(d);
    ASSERT_EQ(low.InputData(delta.data(), static_cast<uint32_t>(delta.size())), QUORIX_OK);
    low.GetVideoStream(0)->DecodeOne();
    EXPECT_EQ(low.GetVideoStream(0)->GetDecodedFrames(), 0u);
}

// Odd and non-multiple-of-8 sizes keep every column and row: the packed picture is Y (w x h),
// then U and V of ((w+1)/2) x ((h+1)/2) each.
TEST_F(EngineStream, OddSizesKeepEveryColumnAndRowInPackedPlanes) {
    player.SetPlayMode(2);
    player.copyPixels = true;
    const uint32_t sizes[][2] = {{1287, 7}, {1286, 6}, {1917, 5}};
    uint32_t sequence = 1;
    for (const auto& size : sizes) {
        const uint32_t w = size[0], h = size[1];
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        player.rendered.clear();
        RecordSpec s;
        s.sequence = sequence++;
        s.width = static_cast<uint16_t>(w);
        s.height = static_cast<uint16_t>(h);
        ASSERT_EQ(Input(s), QUORIX_OK);
        Stream().DecodeOne();
        Stream().ShowFrame();
        ASSERT_EQ(player.rendered.size(), 1u);
        const Shown& shown = player.rendered[0];
        EXPECT_EQ(shown.width, w);
        EXPECT_EQ(shown.height, h);
        const uint32_t cw = (w + 1) / 2, ch = (h + 1) / 2;
        ASSERT_GE(shown.pixels.size(), size_t{w} * h + 2 * size_t{cw} * ch);
        const uint8_t seed = static_cast<uint8_t>(s.sequence);  // payload starts with it
        bool same = true;
        for (uint32_t r = 0; r < h && same; ++r)
            for (uint32_t c = 0; c < w; ++c)
                same &= shown.pixels[r * w + c] == PixelAt(seed, 0, r, c);
        for (int p = 1; p <= 2 && same; ++p) {
            const uint8_t* plane = shown.pixels.data() + w * h + (p - 1) * cw * ch;
            for (uint32_t r = 0; r < ch; ++r)
                for (uint32_t c = 0; c < cw; ++c)
                    same &= plane[r * cw + c] == PixelAt(seed, p, r, c);
        }
        EXPECT_TRUE(same);
    }
}

TEST_F(EngineStream, CopyNeverReadsPastTheReportedPlaneSize) {
    player.SetPlayMode(2);
    player.copyPixels = true;
    player.shortPlanes = true;  // every plane claims half its real size
    RecordSpec s;
    s.width = 64;
    s.height = 8;
    ASSERT_EQ(Input(s), QUORIX_OK);
    Stream().DecodeOne();
    Stream().ShowFrame();
    ASSERT_EQ(player.rendered.size(), 1u);
    const std::vector<uint8_t>& px = player.rendered[0].pixels;
    // Y: stride 80, 320 of 640 bytes claimed -> (320 - 64) / 80 + 1 = 4 rows fit.
    EXPECT_EQ(px[3 * 64], PixelAt(1, 0, 3, 0));
    EXPECT_EQ(px[4 * 64], 0);
    EXPECT_EQ(px[7 * 64 + 63], 0);
    // U: stride 48, 96 of 192 bytes claimed -> (96 - 32) / 48 + 1 = 2 of 4 rows.
    const uint8_t* u = px.data() + 64 * 8;
    EXPECT_EQ(u[1 * 32], PixelAt(1, 1, 1, 0));
    EXPECT_EQ(u[2 * 32], 128);
}

TEST_F(EngineStream, SpeedScalesThePresentationInterval) {
    player.SetPlayMode(1);
    Feed("KDDDD");
    DecodeAll();
    struct Step {
        int32_t speed;
        uint32_t presentInterval;
    };
    // Mode 1 with a short backlog presents at the picture interval (40 ms) scaled by 2^-speed.
    const Step steps[] = {{0, 0}, {2, 10}, {-1, 80}, {0, 40}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.speed);
        ASSERT_EQ(player.SetPlaySpeed(step.speed), QUORIX_OK);
        const size_t before = player.rendered.size();
        sim.clock.now += 1000;
        Stream().ShowFrame();
        ASSERT_EQ(player.rendered.size(), before + 1);
        EXPECT_EQ(Stream().GetPresentInterval(), step.presentInterval);
        DecodeAll();
    }
    // At normal speed the next picture waits for its interval ...
    const size_t before = player.rendered.size();
    Stream().ShowFrame();
    EXPECT_EQ(player.rendered.size(), before);
    sim.clock.now += 39;
    Stream().ShowFrame();
    EXPECT_EQ(player.rendered.size(), before);
    sim.clock.now += 1;
    Stream().ShowFrame();
    EXPECT_EQ(player.rendered.size(), before + 1);
    // ... and from speed 1 on it is never held back.
    ASSERT_EQ(player.SetPlaySpeed(1), QUORIX_OK);
    Feed("DD", 6, 1200);
    DecodeAll();
    Stream().ShowFrame();
    Stream().ShowFrame();
    EXPECT_EQ(player.rendered.size(), before + 3);
}

TEST_F(EngineStream, LeavingTheBufferedModesEmptiesDecodedQueues) {
    player.SetPlayMode(1);
    Feed("KD");
    RecordSpec s;
    s.streamId = 3;
    std::vector<uint8_t> packet = MakeComposite({MakeSubFrame(s)});
    ASSERT_EQ(player.InputData(packet.data(), static_cast<uint32_t>(packet.size())), QUORIX_OK);
    DecodeAll(0);
    DecodeAll(3);
    const uint32_t decoded0 = Stream(0).GetDecodedFrames();
    ASSERT_GE(decoded0, 2u);
    ASSERT_EQ(Stream(3).GetDecodedFrames(), 1u);
    player.SetPlayMode(1);  // unchanged: nothing happens
    EXPECT_EQ(Stream(0).GetDecodedFrames(), decoded0);
    player.SetPlayMode(0);
    EXPECT_EQ(Stream(0).GetDecodedFrames(), 0u);
    EXPECT_EQ(Stream(3).GetDecodedFrames(), 0u);
    EXPECT_EQ(player.GetFreeDecodedCount(), decoded0 + 1);
    player.SetPlayMode(0);
    EXPECT_EQ(player.GetPlayMode(), 0u);
}

TEST_F(EngineStream, PacingLevelChangesOnlyAfterItsCountdown) {
    player.SetPlayMode(1);
    CHVideoStream& stream = Stream();
    auto fill = [&](uint32_t count) {
        stream.FlushEncoded();
        RecordSpec s;
        s.kind = HMF_KIND_DELTA;  // no key frame: nothing is shed below the limit
        for (uint32_t i = 0; i < count; ++i)
            ASSERT_EQ(Input(s), QUORIX_OK);
    };
    struct Phase {
        uint32_t queued;
        int calls;  // presentations asking for the new level
        uint32_t levelAfter;
        uint32_t intervalAfter;  // for a picture interval of 100 ms
    };
    const Phase phases[] = {
        {0, 1, 0, 100},   // level 0 from the start
        {10, 9, 0, 100},  // ten presentations must ask for level 1 ...
        {10, 1, 1, 90},   // ... the tenth switches
        {25, 10, 2, 80}, {50, 10, 3, 75}, {0, 24, 3, 75},  // level 3 holds for 25 presentations
        {0, 1, 0, 100},
    };
    for (const Phase& phase : phases) {
        SCOPED_TRACE(phase.queued);
        fill(phase.queued);
        uint32_t interval = 0;
        for (int i = 0; i < phase.calls; ++i)
            interval = stream.AdjustPresentInterval(100);
        EXPECT_EQ(stream.GetPacingLevel(), phase.levelAfter);
        EXPECT_EQ(interval, phase.intervalAfter);
    }
}

TEST_F(EngineStream, PixelBuffersCirculateBetweenEngineAndRenderer) {
    player.SetPlayMode(2);
    player.SetPlaySpeed(4);
    // Equal pictures: after warm-up the same few buffers come round again.
    for (uint32_t seq = 1; seq <= 40; ++seq) {
        RecordSpec s;
        s.kind = seq == 1 ? HMF_KIND_KEY : HMF_KIND_DELTA;
        s.sequence = seq;
        s.width = 128;
        s.height = 64;
        ASSERT_EQ(Input(s), QUORIX_OK);
        Stream().DecodeOne();
        Stream().ShowFrame();
    }
    ASSERT_EQ(player.rendered.size(), 40u);
    std::set<uint8_t*> distinct(player.renderedBuffers.begin(), player.renderedBuffers.end());
    EXPECT_LE(distinct.size(), 3u);

    // A bigger picture needs bigger buffers; the small ones coming back are freed, not reused.
    for (uint32_t seq = 41; seq <= 50; ++seq) {
        RecordSpec s;
        s.kind = seq == 41 ? HMF_KIND_KEY : HMF_KIND_DELTA;
        s.sequence = seq;
        s.width = 256;
        s.height = 128;
        ASSERT_EQ(Input(s), QUORIX_OK);
        Stream().DecodeOne();
        Stream().ShowFrame();
    }
    ASSERT_EQ(player.rendered.size(), 50u);
    EXPECT_EQ(player.rendered.back().width, 256);
    EXPECT_GE(player.renderedSizes.back(), 256u * 128 * 3 / 2);

    // A renderer that refuses a picture leaves its buffer to the engine, which frees it.
    player.render = FakePlayer::Render::Refuse;
    RecordSpec s;
    s.kind = HMF_KIND_DELTA;
    s.sequence = 51;
    s.width = 256;
    s.height = 128;
    ASSERT_EQ(Input(s), QUORIX_OK);
    Stream().DecodeOne();
    Stream().ShowFrame();
    EXPECT_EQ(player.rendered.size(), 50u);
    EXPECT_EQ(Stream().GetDecodedFrames(), 0u);
}

}  // namespace
}  // namespace enginetest
