// Live input into the engine: the bytes cut into InputData calls (plain records, composite
// packets or anything else) in whatever pieces the input says, in each play mode and with mode
// changes on the way, every queued record decoded and shown on a simulated clock. The decoder
// and renderer are the engine suite's stand-ins, so only the engine's own handling is tested.

#include <quorixsdk.h>

#include "engine_fake.h"
#include "fuzz_support.h"

using namespace BRIXEL;

namespace {

// Empty pictures and larger ones than a camera sends are refused, like a real decoder would refuse
// a damaged one; the stand-in's deliberate exception is a test feature, not input handling.
class FuzzPlayer : public enginetest::FakePlayer {
public:
    FuzzPlayer() : FakePlayer(false) {}
    uint32_t DecodeVideo(HDecoderHandle handle, const uint8_t* data, uint32_t length,
                         uint32_t& width, uint32_t& height, uint8_t* planes[3], uint32_t sizes[3],
                         int32_t strides[3], CHYUVColour& colour) override {
        // The stand-in would hand out empty planes for an empty picture, which no decoder does.
        if (width == 0 || height == 0 || width > 4096 || height > 4096)
            return QUORIX_E_NOT_SUPPORTED;
        if (data != nullptr && length > 1 && data[1] == 0xDD)
            return QUORIX_E_NOT_SUPPORTED;
        return FakePlayer::DecodeVideo(handle, data, length, width, height, planes, sizes, strides,
                                       colour);
    }
};

void Drain(FuzzPlayer& player, uint16_t streamId) {
    CHVideoStream* stream = player.GetVideoStream(streamId);
    if (stream == nullptr)
        return;
    for (int i = 0; i < 64 && stream->GetQueuedFrames() > 0; ++i) {
        if (stream->DecodeOne() != 0)
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quorixfuzz::Cursor in(data, size);
    enginetest::ScopedSimClock clock;
    FuzzPlayer player;
    player.SetPlayMode(in.U8() % 3);
    const uint8_t flags = in.U8();
    player.SetSequenceCheck((flags & 1) != 0);
    player.playing = (flags & 2) != 0 ? 1 : -1;
    player.render = (flags & 4) != 0 ? FuzzPlayer::Render::Keep : FuzzPlayer::Render::Replace;
    player.consumeSubFrames = (flags & 8) != 0;

    int calls = 0;
    while (!in.Empty() && calls < 4096) {
        ++calls;
        const uint16_t word = in.U16();
        if (word & 0x8000) {
            // A control step: play mode, speed and time passing.
            player.SetPlayMode(word % 3);
            player.SetPlaySpeed(static_cast<int32_t>((word >> 2) % 9) - 4);
            clock.clock.now += (word >> 6) & 0xFF;
            player.ShowAllStreams();
            continue;
        }
        size_t taken = 0;
        const uint8_t* chunk = in.Take(word, &taken);
        player.InputData(taken == 0 ? nullptr : chunk, static_cast<uint32_t>(taken));
        if (taken >= 4) {
            Drain(player, chunk[3]);
            clock.clock.now += 40;
            player.ShowAllStreams();
        }
    }
    player.StopPlay();
    return 0;
}
