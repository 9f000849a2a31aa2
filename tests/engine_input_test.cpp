// Routing of frame records and composite packets into the engine's streams, and the engine's
// own settings. Stream threads stay off here: queues are inspected as input leaves them.

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/hlog.h"
#include "engine_fake.h"

namespace enginetest {
namespace {

uint32_t Input(FakePlayer& p, const std::vector<uint8_t>& bytes) {
    return p.InputData(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

uint32_t Queued(FakePlayer& p, uint16_t id) {
    CHVideoStream* s = p.GetVideoStream(id);
    return s ? s->GetQueuedFrames() : 0;
}

TEST(EngineInput, PlainRecordsGoToStreamZeroSubFramesToTheirOwnId) {
    FakePlayer p(false);
    RecordSpec desc;
    desc.streamId = 5;
    ASSERT_EQ(Input(p, MakeRecord(desc)), QUORIX_OK);
    EXPECT_EQ(p.GetVideoStreamCount(), 1u);
    EXPECT_EQ(Queued(p, 0), 1u);

    ASSERT_EQ(Input(p, MakeComposite({MakeSubFrame(desc)})), QUORIX_OK);
    EXPECT_EQ(p.GetVideoStreamCount(), 2u);
    EXPECT_EQ(Queued(p, 5), 1u);
    EXPECT_EQ(Queued(p, 0), 1u);

    // Sound always goes to audio stream 0, alone or inside a packet, and never to a video stream.
    ASSERT_EQ(Input(p, MakeAudioRecord(1, 3, 7)), QUORIX_OK);
    std::vector<uint8_t> audioSub = MakeAudioRecord(2, 3, 9);
    HStoreLE16(audioSub.data(), kHMFSubFrameMagic);
    ASSERT_EQ(Input(p, MakeComposite({audioSub, MakeSubFrame(desc)})), QUORIX_OK);
    EXPECT_EQ(p.GetAudioStreamCount(), 1u);
    EXPECT_EQ(p.GetAudioStream(0)->GetQueuedFrames(), 2u);
    EXPECT_EQ(Queued(p, 5), 2u);
    EXPECT_EQ(p.GetVideoStreamCount(), 2u);
}

TEST(EngineInput, CompositePacketsAreWalkedToTheirEnd) {
    RecordSpec a;
    a.streamId = 1;
    RecordSpec b;
    b.streamId = 2;
    b.sequence = 9;
    {
        FakePlayer p(false);
        // A bare outer header carries nothing and creates nothing.
        EXPECT_EQ(Input(p, MakeComposite({})), QUORIX_OK);
        EXPECT_EQ(p.GetVideoStreamCount(), 0u);
    }
    {
        FakePlayer p(false);
        // A second sub-frame with the plain-record magic stops the walk after the first.
        EXPECT_EQ(Input(p, MakeComposite({MakeSubFrame(a), MakeRecord(b)})), QUORIX_E_PARAM);
        EXPECT_EQ(Queued(p, 1), 1u);
        EXPECT_EQ(p.GetVideoStreamCount(), 1u);
    }
    {
        FakePlayer p(false);
        // A sub-frame announcing more payload than the packet holds.
        std::vector<uint8_t> packet = MakeComposite({MakeSubFrame(a), MakeSubFrame(b)});
        HStoreLE32(packet.data() + packet.size() - b.payloadLength - 4, b.payloadLength + 1);
        EXPECT_EQ(Input(p, packet), QUORIX_E_PARAM);
        EXPECT_EQ(Queued(p, 1), 1u);
        EXPECT_EQ(p.GetVideoStreamCount(), 1u);
    }
    {
        FakePlayer p(false);
        // Fewer than 28 trailing bytes end the walk without error.
        std::vector<uint8_t> packet = MakeComposite({MakeSubFrame(a), MakeSubFrame(b)});
        packet.insert(packet.end(), 27, 0xAB);
        EXPECT_EQ(Input(p, packet), QUORIX_OK);
        EXPECT_EQ(Queued(p, 1), 1u);
        EXPECT_EQ(Queued(p, 2), 1u);
    }
    {
        FakePlayer p(false);
        // An owner that consumes sub-frames (attached players) leaves nothing to queue.
        p.consumeSubFrames = true;
        EXPECT_EQ(Input(p, MakeComposite({MakeSubFrame(a), MakeSubFrame(b)})), QUORIX_OK);
        EXPECT_EQ(p.GetVideoStreamCount(), 0u);
    }
}

// An owner that behaves like a port with an attached player: it takes every plain sub-frame
// and leaves those that are packets themselves to the engine.
class AttachingPlayer : public FakePlayer {
public:
    AttachingPlayer() : FakePlayer(false) {}
    uint32_t OnSubFrame(uint8_t streamId, const uint8_t* data, uint32_t) override {
        offered.push_back(streamId);
        return (data[2] & kHMFCompositeBit) != 0 ? 0 : 1;
    }
    std::vector<uint8_t> offered;
};

TEST(EngineInput, ASubFrameThatIsItselfAPacketIsDecodedHereWhole) {
    RecordSpec plain;
    plain.streamId = 1;
    RecordSpec nested;
    nested.streamId = 2;
    nested.sequence = 40;
    nested.typeBits = kHMFCompositeBit;
    const std::vector<uint8_t> packet = MakeComposite({MakeSubFrame(plain), MakeSubFrame(nested)});
    {
        AttachingPlayer p;
        ASSERT_EQ(Input(p, packet), QUORIX_OK);
        // Both are offered once; the nested packet is not opened up into its own sub-frames.
        EXPECT_EQ(p.offered, (std::vector<uint8_t>{1, 2}));
        // The plain one was consumed, the nested one is queued whole in the stream it names.
        EXPECT_EQ(p.GetVideoStreamCount(), 1u);
        ASSERT_EQ(Queued(p, 2), 1u);
        p.GetVideoStream(2)->DecodeOne();
        EXPECT_EQ(p.decodeCalls.load(), 1);
        ASSERT_EQ(p.startedCodecs.size(), 1u);
        EXPECT_EQ(p.startedCodecs[0], nested.codec);
    }
    {
        // The engine on its own queues both, each in its own stream.
        FakePlayer p(false);
        ASSERT_EQ(Input(p, packet), QUORIX_OK);
        EXPECT_EQ(Queued(p, 1), 1u);
        EXPECT_EQ(Queued(p, 2), 1u);
    }
}

TEST(EngineInput, MalformedRecordsAndForeignKindsAreRefusedOrIgnored) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        uint32_t result;
    };
    auto withKind = [](uint8_t kind) {
        RecordSpec s;
        s.kind = kind;
        return MakeRecord(s);
    };
    auto withMagic = [](uint16_t magic) {
        RecordSpec s;
        s.magic = magic;
        return MakeRecord(s);
    };
    std::vector<uint8_t> shortRecord = MakeRecord({});
    shortRecord.resize(27);
    const Case cases[] = {
        {"27 bytes", shortRecord, QUORIX_E_PARAM},
        {"wrong magic", withMagic(0x1234), QUORIX_E_PARAM},
        {"sub-frame magic alone", withMagic(kHMFSubFrameMagic), QUORIX_OK},
        {"kind 2", withKind(2), QUORIX_OK},
        {"kind 5", withKind(5), QUORIX_OK},
        {"kind 127", withKind(127), QUORIX_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakePlayer p(false);
        EXPECT_EQ(Input(p, c.bytes), c.result);
        const bool queued =
            c.result == QUORIX_OK && std::string(c.what).find("kind") == std::string::npos;
        EXPECT_EQ(p.GetVideoStreamCount(), queued ? 1u : 0u);
        EXPECT_EQ(p.GetAudioStreamCount(), 0u);
    }
    FakePlayer p(false);
    EXPECT_EQ(p.InputData(nullptr, 100), QUORIX_E_PARAM);

    // A header alone (empty payload) is accepted and handed straight back to the free list.
    RecordSpec empty;
    empty.payloadLength = 0;
    EXPECT_EQ(Input(p, MakeRecord(empty)), QUORIX_OK);
    EXPECT_EQ(Queued(p, 0), 0u);
    EXPECT_EQ(p.GetFreeEncodedCount(), 1u);
}

TEST(EngineInput, PayloadIsWhatWasGivenNotWhatTheHeaderClaims) {
    FakePlayer p(false);
    std::vector<uint8_t> bytes = MakeRecord({});
    HStoreLE32(bytes.data() + 24, 1u << 30);  // a lying length field
    CHKZFrame frame;
    ASSERT_EQ(p.ParseFrame(bytes.data(), static_cast<uint32_t>(bytes.size()), &frame), QUORIX_OK);
    EXPECT_EQ(frame.payload.GetLength(), bytes.size() - kHMFFrameHeaderSize);
    EXPECT_EQ(frame.payload.GetData()[0], bytes[kHMFFrameHeaderSize]);
    EXPECT_EQ(frame.header.payloadLength, 1u << 30);
}

TEST(EngineInput, AudioQueueRefusesTheSixtyFirstRecord) {
    FakePlayer p(false);
    for (uint32_t i = 0; i < CHPlayer::kAudioQueueLimit; ++i)
        ASSERT_EQ(Input(p, MakeAudioRecord(i)), QUORIX_OK);
    EXPECT_EQ(Input(p, MakeAudioRecord(99)), QUORIX_E_QUEUE_FULL);
    EXPECT_EQ(p.GetAudioStream(0)->GetQueuedFrames(), CHPlayer::kAudioQueueLimit);
    EXPECT_EQ(p.GetFreeEncodedCount(), 1u);  // the refused record went back
}

TEST(EngineInput, VideoQueueShedsPicturesBeforeTheOldestKeyFrame) {
    FakePlayer p(false);
    auto input = [&](uint32_t seq) {
        RecordSpec s;
        s.kind = seq == 15 ? HMF_KIND_KEY : HMF_KIND_DELTA;
        s.sequence = seq;
        return Input(p, MakeRecord(s));
    };
    for (uint32_t seq = 1; seq <= 30; ++seq)
        ASSERT_EQ(input(seq), QUORIX_OK);
    EXPECT_EQ(Queued(p, 0), 30u);
    EXPECT_EQ(p.GetFreeEncodedCount(), 0u);
    // From 30 queued on, the ten records before the key frame (5..14) make room.
    ASSERT_EQ(input(31), QUORIX_OK);
    EXPECT_EQ(Queued(p, 0), 21u);
    EXPECT_EQ(p.GetFreeEncodedCount(), 10u);
    for (uint32_t seq = 32; seq <= 40; ++seq)
        ASSERT_EQ(input(seq), QUORIX_OK);
    EXPECT_EQ(Queued(p, 0), 30u);
    // Now only 1..4 stand before the key frame.
    ASSERT_EQ(input(41), QUORIX_OK);
    EXPECT_EQ(Queued(p, 0), 27u);
    // With the key frame first nothing can go, and the queue fills up to its limit.
    uint32_t seq = 42;
    while (Queued(p, 0) < CHPlayer::kVideoQueueLimit)
        ASSERT_EQ(input(seq++), QUORIX_OK);
    EXPECT_EQ(input(seq), QUORIX_E_QUEUE_FULL);
}

TEST(EngineInput, VideoQueueWithoutKeyFrameRefusesAtSixty) {
    FakePlayer p(false);
    RecordSpec s;
    s.kind = HMF_KIND_DELTA;
    for (s.sequence = 1; s.sequence <= CHPlayer::kVideoQueueLimit; ++s.sequence) {
        ASSERT_EQ(Input(p, MakeRecord(s)), QUORIX_OK);
    }
    EXPECT_EQ(Input(p, MakeRecord(s)), QUORIX_E_QUEUE_FULL);
    EXPECT_EQ(Queued(p, 0), CHPlayer::kVideoQueueLimit);
    EXPECT_EQ(p.GetQueuedFrameCount(), CHPlayer::kVideoQueueLimit);
    p.FlushStreams();
    EXPECT_EQ(p.GetQueuedFrameCount(), 0u);
    // Flushed records refill the free list only up to its bound.
    EXPECT_EQ(p.GetFreeEncodedCount(), CHPlayer::kEncodedPoolMax);
}

TEST(EngineDropBeforeKeyFrame, KeepsOlderRecordsInOrder) {
    struct Case {
        uint32_t count;
        uint32_t keyAt;  // 1-based, 0 = none
        std::vector<uint32_t> dropped;
    };
    const Case cases[] = {
        {35, 15, {5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
        {8, 4, {1, 2, 3}},
        {8, 1, {}},
        {8, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keyAt);
        CHVFPool queue;
        CHPool<CHKZFrame> freeList(24);
        for (uint32_t seq = 1; seq <= c.count; ++seq) {
            auto* f = new CHKZFrame();
            f->header.type = seq == c.keyAt ? HMF_KIND_KEY : HMF_KIND_DELTA;
            f->header.sequence = seq;
            ASSERT_EQ(queue.Put(f), QUORIX_OK);
        }
        EXPECT_EQ(queue.DropBeforeKeyFrame(&freeList), !c.dropped.empty());
        std::vector<uint32_t> dropped, kept, expectedKept;
        while (CHKZFrame* f = freeList.Get()) {
            dropped.push_back(f->header.sequence);
            delete f;
        }
        while (CHKZFrame* f = queue.Get()) {
            kept.push_back(f->header.sequence);
            delete f;
        }
        for (uint32_t seq = 1; seq <= c.count; ++seq) {
            if (std::find(c.dropped.begin(), c.dropped.end(), seq) == c.dropped.end())
                expectedKept.push_back(seq);
        }
        EXPECT_EQ(dropped, c.dropped);
        EXPECT_EQ(kept, expectedKept);
    }
}

TEST(EnginePool, BoundedFreeListDestroysTheSurplusAndQueueKeepsOrder) {
    CHPool<CHDecFrame> pool(2);
    EXPECT_TRUE(pool.IsReady());
    auto* a = new CHDecFrame();
    auto* b = new CHDecFrame();
    EXPECT_EQ(pool.Put(a), QUORIX_OK);
    EXPECT_EQ(pool.Put(b), QUORIX_OK);
    EXPECT_EQ(pool.Put(new CHDecFrame()), QUORIX_OK);  // destroyed, not kept
    EXPECT_EQ(pool.GetCount(), 2u);
    EXPECT_EQ(pool.Get(), a);
    EXPECT_EQ(pool.Get(), b);
    EXPECT_EQ(pool.Get(), nullptr);
    delete a;
    delete b;

    // Growing past the first block and wrapping around keeps first-in first-out.
    CHPool<CHKZFrame> queue;
    std::vector<CHKZFrame*> order;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 40; ++i) {
            order.push_back(new CHKZFrame());
            queue.Put(order.back());
        }
        for (int i = 0; i < 25; ++i) {
            CHKZFrame* f = queue.Get();
            ASSERT_EQ(f, order.front());
            order.erase(order.begin());
            delete f;
        }
    }
    EXPECT_EQ(queue.GetCount(), order.size());
}

TEST(EngineSettings, SpeedModeAndPlayState) {
    FakePlayer p(false);
    for (int32_t e = -4; e <= 4; ++e)
        EXPECT_EQ(p.SetPlaySpeed(e), QUORIX_OK);
    EXPECT_EQ(p.SetPlaySpeed(5), QUORIX_E_PARAM);
    EXPECT_EQ(p.SetPlaySpeed(-5), QUORIX_E_PARAM);
    EXPECT_EQ(p.GetPlaySpeed(), 4);

    EXPECT_FALSE(p.IsStarted());
    EXPECT_EQ(p.StartPlay(), QUORIX_OK);
    EXPECT_TRUE(p.IsStarted());
    EXPECT_EQ(p.StartPlay(), QUORIX_E_THREAD_RUNNING);
    ASSERT_EQ(Input(p, MakeRecord({})), QUORIX_OK);
    ASSERT_EQ(Input(p, MakeAudioRecord(1)), QUORIX_OK);
    EXPECT_EQ(p.StopPlay(), QUORIX_OK);
    EXPECT_FALSE(p.IsStarted());
    EXPECT_EQ(p.GetPlaySpeed(), 0);
    EXPECT_EQ(p.GetVideoStreamCount(), 0u);
    EXPECT_EQ(p.GetAudioStreamCount(), 0u);
    EXPECT_EQ(p.GetFreeEncodedCount(), 0u);
    // A stopped engine starts again from scratch.
    EXPECT_EQ(p.StartPlay(), QUORIX_OK);
    EXPECT_EQ(p.StopPlay(), QUORIX_OK);
}

TEST(EngineSettings, RecoveryCallbackFailureIsLoggedAndTheStreamWorks) {
    char path[] = "/tmp/engine_log_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    CHLog::Instance().SetDebugFd(fd);
    CHLog::Instance().Configure(1, 0, nullptr, nullptr);
    {
        FakePlayer p(false);
        p.recoveryFails = true;
        EXPECT_EQ(Input(p, MakeRecord({})), QUORIX_OK);
        EXPECT_EQ(Queued(p, 0), 1u);
    }
    CHLog::Instance().Configure(0, 10, nullptr, nullptr);
    CHLog::Instance().SetDebugFd(2);
    std::string text(4096, '\0');
    const ssize_t n = pread(fd, text.data(), text.size(), 0);
    close(fd);
    unlink(path);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_NE(text.find("hmedia:<hplayer BRIXEL::CHPlayer::GetVideoStream LINE:135> "
                        "SetRecoveryCallback fail ret=0x80008001"),
              std::string::npos)
        << text;
    EXPECT_EQ(CHPlayer::RecycleBuffer(nullptr, 0, nullptr), QUORIX_E_FAIL);
}

TEST(EngineSettings, AnExceptionInAnOverrideStaysInsideTheEngine) {
    FakePlayer p;
    ASSERT_EQ(p.StartPlay(), QUORIX_OK);
    p.throwInParse = true;
    EXPECT_EQ(Input(p, MakeRecord({})), QUORIX_E_EXCEPTION);
    EXPECT_EQ(Input(p, MakeAudioRecord(1)), QUORIX_E_EXCEPTION);
    // The streams it reached are not left marked as in use: stopping completes.
    EXPECT_EQ(p.StopPlay(), QUORIX_OK);
    EXPECT_EQ(p.GetVideoStreamCount(), 0u);
}

TEST(EngineSettings, EveryStreamIsDestroyedEvenWhenStoppingADecoderThrows) {
    FakePlayer p(false);
    RecordSpec s;
    s.streamId = 3;
    ASSERT_EQ(Input(p, MakeRecord(s)), QUORIX_OK);
    ASSERT_EQ(Input(p, MakeComposite({MakeSubFrame(s)})), QUORIX_OK);
    p.GetVideoStream(0)->DecodeOne();
    p.GetVideoStream(3)->DecodeOne();
    ASSERT_EQ(p.decodersStarted, 2);
    p.throwInStopDecoder = true;
    EXPECT_EQ(p.StopPlay(), QUORIX_OK);
    EXPECT_EQ(p.GetVideoStreamCount(), 0u);
    EXPECT_EQ(p.decodersStopped, 2);
}

TEST(EngineSettings, BaseOperationsAreNotImplemented) {
    CHPlayer base;
    uint8_t* planes[3] = {};
    int32_t strides[3] = {};
    uint32_t sizes[3] = {};
    uint32_t w = 0, h = 0, n = 0;
    uint8_t* pcm = nullptr;
    CHYUVColour colour = HYUV_BT601_LIMITED;
    EXPECT_EQ(base.OnVideoFrame(0, 0, 0, 0, 0, planes, strides, HYUV_BT601_LIMITED),
              QUORIX_E_NOT_IMPL);
    EXPECT_EQ(base.RenderFrame(0, 0, 0, 0, 0, nullptr, 0, HYUV_BT601_LIMITED), QUORIX_E_NOT_IMPL);
    EXPECT_EQ(base.DecodeVideo(nullptr, nullptr, 0, w, h, planes, sizes, strides, colour),
              QUORIX_E_NOT_IMPL);
    EXPECT_EQ(base.DecodeAudio(nullptr, nullptr, 0, pcm, n), QUORIX_E_NOT_IMPL);
    EXPECT_EQ(base.StartDecoder(1), nullptr);
    EXPECT_FALSE(base.IsPlaying());
}

}  // namespace
}  // namespace enginetest
