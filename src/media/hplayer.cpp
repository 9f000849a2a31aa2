#include "media/hplayer.h"

#include <cxxabi.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <thread>

#include "base/hclock.h"
#include "base/hlog.h"
#include "media/haudiostream.h"
#include "media/hvideostream.h"

namespace BRIXEL {

namespace {

constexpr uint32_t kIdleLoopMs = 100;
constexpr uint32_t kPresentLoopMs = 20;

static_assert(kHMFMaxPayload == QUORIX_MAX_INPUT_PAYLOAD, "the documented bound of pushed records");

// Releases a stream marked as in use by an input thread, also when the input throws.
template <typename Stream>
class InputUse {
public:
    explicit InputUse(Stream* stream) : m_stream(stream) {}
    ~InputUse() { m_stream->ReleaseInput(); }
    InputUse(const InputUse&) = delete;
    InputUse& operator=(const InputUse&) = delete;

private:
    Stream* m_stream;
};

bool IsRecordMagic(uint16_t magic) {
    return magic == kHMFFrameMagic || magic == kHMFSubFrameMagic;
}

// A stream that throws while it is torn down must not keep the others alive.
template <typename Stream>
H_PASSES_CANCEL void DestroyQuietly(Stream* stream) {
    try {
        stream->Shutdown();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
    delete stream;
}

}  // namespace

CHPlayer::CHPlayer() {
    char name[48];
    std::snprintf(name, sizeof(name), "CHPlayer_%" PRIxPTR, reinterpret_cast<uintptr_t>(this));
    SetThreadName(name);
}

CHPlayer::~CHPlayer() {
    StopPlay();
    m_encodedFree.Clear();
    m_decodedFree.Clear();
    m_emptyDecoded.Clear();
}

// Between passes the thread waits on m_presentWake rather than sleeping a fixed pass: a picture
// queued by a stream, or a change of play mode, starts the next pass at once, and a pass that
// found a picture not yet due waits only until it is. The pass intervals stay as upper bounds.
H_PASSES_CANCEL
uint32_t CHPlayer::OnThreadLoop(uint64_t) {
    if (GetPlayMode() == 0) {
        RestBetweenPasses(kIdleLoopMs);
        return 0;
    }
    uint32_t waitMs = kPresentLoopMs;
    try {
        waitMs = std::min(ShowAllStreams(), kPresentLoopMs);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        // A renderer that throws misses one presentation; the thread goes on.
    }
    if (waitMs > 0)
        RestBetweenPasses(waitMs);
    return 0;
}

void CHPlayer::RestBetweenPasses(uint32_t ms) {
    if (m_presentWake.Wait(ms) == QUORIX_E_NOT_INIT)
        HSleep(ms);  // no event could be made: the plain rest of old
}

uint32_t CHPlayer::ShowAllStreams() {
    // The map lock stays held while presenting so that no stream is destroyed mid-picture.
    CHAutoLock lock(&m_videoLock);
    uint32_t soonest = CHVideoStream::kNothingDue;
    m_videoStreams.ForEachValue([&soonest](CHVideoStream* stream) {
        if (stream)
            soonest = std::min(soonest, stream->ShowFrame());
    });
    return soonest;
}

bool CHPlayer::IsPlaying() {
    return IsStarted();
}

H_PASSES_CANCEL
uint32_t CHPlayer::InputData(const uint8_t* data, uint32_t length) {
    // Nothing thrown below (an owner's override, an allocation) may leave the engine.
    try {
        return RouteInput(data, length);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return QUORIX_E_EXCEPTION;
    }
}

uint32_t CHPlayer::RouteInput(const uint8_t* data, uint32_t length) {
    if (!data || length < kHMFFrameHeaderSize)
        return QUORIX_E_PARAM;
    if (!IsRecordMagic(HLoadLE16(data)))
        return QUORIX_E_PARAM;
    // Pushed records are held to the bound of file records: a bigger one would keep its stream
    // thread copying and decoding for longer than a stop waits for it.
    if (length - kHMFFrameHeaderSize > kHMFMaxPayload)
        return QUORIX_E_PARAM;
    const uint8_t type = data[2];
    const uint8_t kind = type & kHMFKindMask;

    if (kind == HMF_KIND_AUDIO)
        return InputToAudio(data, length);
    if (!HMFIsVideoKind(kind))
        return QUORIX_OK;
    if (!(type & kHMFCompositeBit))
        return InputToVideo(0, data, length);

    uint32_t result = QUORIX_OK;
    uint32_t offset = kHMFFrameHeaderSize;
    while (length - offset >= kHMFFrameHeaderSize) {
        const uint8_t* sub = data + offset;
        const uint32_t remaining = length - offset;
        if (HLoadLE16(sub) != kHMFSubFrameMagic)
            return QUORIX_E_PARAM;
        const uint64_t subLength = kHMFFrameHeaderSize + static_cast<uint64_t>(HLoadLE32(sub + 24));
        if (subLength > remaining)
            return QUORIX_E_PARAM;
        const uint32_t subLen = static_cast<uint32_t>(subLength);
        const uint8_t subType = sub[2];
        const uint8_t subKind = subType & kHMFKindMask;
        const uint8_t subId = sub[3];
        if (OnSubFrame(subId, sub, subLen) == 0) {
            uint32_t queued = QUORIX_OK;
            if (subKind == HMF_KIND_AUDIO) {
                // Sound inside a packet goes where all sound goes; fed to a video stream it
                // would reset that stream's decoder and stall its pictures.
                queued = InputToAudio(sub, subLen);
            } else if (HMFIsVideoKind(subKind)) {
                // A sub-frame that is itself a packet is kept whole: the owner leaves it to this
                // port, which decodes it in the stream it names like any other picture.
                queued = InputToVideo(subId, sub, subLen);
            }
            if (queued != QUORIX_OK)
                result = queued;
        }
        offset += subLen;
    }
    return result;
}

// The stream is looked up (or made) under the map lock and marked as in use, so that StopPlay,
// which takes streams out of the map, waits for the input before destroying one. The copy into
// the queue happens outside the map lock: a fast source must not starve the player thread,
// which needs that lock to present.
uint32_t CHPlayer::InputToVideo(uint16_t streamId, const uint8_t* data, uint32_t length) {
    CHVideoStream* stream = nullptr;
    {
        CHAutoLock lock(&m_videoLock);
        stream = GetVideoStream(streamId);
        if (stream)
            stream->AcquireInput();
    }
    if (!stream)
        return QUORIX_E_NO_MEMORY;
    InputUse<CHVideoStream> use(stream);
    return stream->InputFrame(data, length);
}

uint32_t CHPlayer::InputToAudio(const uint8_t* data, uint32_t length) {
    CHAudioStream* stream = nullptr;
    {
        CHAutoLock lock(&m_audioLock);
        stream = GetAudioStream(0);
        if (stream)
            stream->AcquireInput();
    }
    if (!stream)
        return QUORIX_E_NO_MEMORY;
    InputUse<CHAudioStream> use(stream);
    return stream->InputFrame(data, length);
}

uint32_t CHPlayer::ParseFrame(const uint8_t* data, uint32_t length, CHKZFrame* frame) {
    if (!data || !frame || length < kHMFFrameHeaderSize)
        return QUORIX_E_PARAM;
    HMFParseFrameHeader(data, &frame->header);
    if (!IsRecordMagic(frame->header.magic))
        return QUORIX_E_PARAM;
    // The bytes actually given count, not the header's length field.
    const uint32_t payloadLength = length - kHMFFrameHeaderSize;
    if (frame->payload.Allocate(payloadLength, false) != QUORIX_OK)
        return QUORIX_E_NO_MEMORY;
    if (payloadLength) {
        if (!frame->payload.GetData())
            return QUORIX_E_NO_MEMORY;
        std::memcpy(frame->payload.GetData(), data + kHMFFrameHeaderSize, payloadLength);
    }
    frame->payload.SetLength(payloadLength);
    frame->receiveTick = HGetTickCount();
    return QUORIX_OK;
}

uint32_t CHPlayer::OnVideoFrame(uint16_t, uint32_t, uint32_t, uint16_t, uint16_t, uint8_t* const[3],
                                const int32_t[3], CHYUVColour) {
    return QUORIX_E_NOT_IMPL;
}

uint32_t CHPlayer::RenderFrame(uint16_t, uint32_t, uint32_t, uint16_t, uint16_t, uint8_t*, uint32_t,
                               CHYUVColour) {
    return QUORIX_E_NOT_IMPL;
}

uint32_t CHPlayer::SetRecoveryCallback(uint16_t, HRecoveryCallback, void*) {
    return QUORIX_E_NOT_IMPL;
}

uint32_t CHPlayer::OnAudioFrame(uint16_t, uint32_t, uint32_t, uint32_t, const uint8_t*, uint32_t) {
    return QUORIX_E_NOT_IMPL;
}

HDecoderHandle CHPlayer::StartDecoder(uint8_t) {
    return nullptr;
}

void CHPlayer::StopDecoder(HDecoderHandle) {}

uint32_t CHPlayer::DecodeVideo(HDecoderHandle, const uint8_t*, uint32_t, uint32_t&, uint32_t&,
                               uint8_t* [3], uint32_t[3], int32_t[3], CHYUVColour&) {
    return QUORIX_E_NOT_IMPL;
}

uint32_t CHPlayer::DrainVideo(HDecoderHandle, uint32_t&, uint32_t&, uint8_t* [3], uint32_t[3],
                              int32_t[3], CHYUVColour&) {
    return QUORIX_E_END_OF_DATA;
}

uint32_t CHPlayer::DecodeAudio(HDecoderHandle, const uint8_t*, uint32_t, uint8_t*&, uint32_t&) {
    return QUORIX_E_NOT_IMPL;
}

uint32_t CHPlayer::OnSubFrame(uint8_t, const uint8_t*, uint32_t) {
    return 0;
}

uint32_t CHPlayer::StartPlay() {
    if (IsRunning())
        return QUORIX_E_THREAD_RUNNING;
    const uint32_t started = Start();
    if (started != QUORIX_OK)
        return started;
    m_started.store(true, std::memory_order_release);
    return QUORIX_OK;
}

uint32_t CHPlayer::StopPlay() {
    if (IsRunning()) {
        SetStopFlag();
        m_presentWake.Set();  // ends the wait between passes now
        Stop();
    }
    DestroyStreams();
    m_encodedFree.Clear();
    m_decodedFree.Clear();
    m_emptyDecoded.Clear();
    m_speed.store(0, std::memory_order_release);
    m_started.store(false, std::memory_order_release);
    return QUORIX_OK;
}

template <typename Stream>
void CHPlayer::DestroyStreamMap(CHMap<uint16_t, uint16_t, Stream*, Stream*>& map, CHLock& lock) {
    // The streams that exist now leave the map together under its lock (so no input reaches
    // them any more) and are destroyed outside it, where joining their threads holds up no input
    // thread. Taking them one by one instead would chase streams that concurrent input keeps
    // making again. Ids of streams made by records fit one batch; bigger maps take more passes.
    constexpr uint32_t kBatch = 256;
    for (;;) {
        std::array<Stream*, kBatch> streams{};
        std::array<uint16_t, kBatch> ids{};
        uint32_t count = 0;
        {
            CHAutoLock guard(&lock);
            HPOSITION pos = map.GetStartPosition();
            while (pos && count < kBatch) {
                map.GetNextAssoc(pos, ids[count], streams[count]);
                ++count;
            }
            for (uint32_t i = 0; i < count; ++i)
                map.RemoveKey(ids[i]);
        }
        for (uint32_t i = 0; i < count; ++i) {
            if (!streams[i])
                continue;
            // An input that found the stream before it left the map finishes its copy first.
            while (streams[i]->HasInputUsers())
                std::this_thread::yield();
            DestroyQuietly(streams[i]);
        }
        if (count < kBatch)
            break;
    }
}

void CHPlayer::DestroyStreams() {
    DestroyStreamMap(m_videoStreams, m_videoLock);
    DestroyStreamMap(m_audioStreams, m_audioLock);
}

void CHPlayer::SetPlayMode(uint32_t mode) {
    if (mode > 2)
        return;
    const uint32_t previous = m_playMode.exchange(mode, std::memory_order_acq_rel);
    if (previous == mode)
        return;
    m_presentWake.Set();
    if (mode != 0)
        return;
    // Pictures queued for paced presentation would never be shown in the direct mode.
    CHAutoLock lock(&m_videoLock);
    m_videoStreams.ForEachValue([](CHVideoStream* stream) {
        if (stream)
            stream->FlushDecoded();
    });
}

uint32_t CHPlayer::SetPlaySpeed(int32_t exponent) {
    if (exponent < kMinSpeed || exponent > kMaxSpeed)
        return QUORIX_E_PARAM;
    m_speed.store(exponent, std::memory_order_release);
    return QUORIX_OK;
}

CHVideoStream* CHPlayer::GetVideoStream(uint16_t streamId) {
    CHAutoLock lock(&m_videoLock);
    CHVideoStream* stream = nullptr;
    if (m_videoStreams.Lookup(streamId, stream) && stream)
        return stream;
    try {
        stream = new CHVideoStream(this, streamId);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    const uint32_t registered = SetRecoveryCallback(streamId, &CHPlayer::RecycleBuffer, this);
    if (registered != QUORIX_OK) {
        CHLogLibOut("hplayer", "BRIXEL::CHPlayer::GetVideoStream", 135)
            .Print("hmedia", 0, "SetRecoveryCallback fail ret=%#x", registered);
    }
    try {
        m_videoStreams[streamId] = stream;
    } catch (const std::bad_alloc&) {
        DestroyQuietly(stream);
        return nullptr;
    }
    if (m_streamThreads)
        stream->Start();
    return stream;
}

CHAudioStream* CHPlayer::GetAudioStream(uint16_t streamId) {
    CHAutoLock lock(&m_audioLock);
    CHAudioStream* stream = nullptr;
    if (m_audioStreams.Lookup(streamId, stream) && stream)
        return stream;
    try {
        stream = new CHAudioStream(this, streamId);
        m_audioStreams[streamId] = stream;
    } catch (const std::bad_alloc&) {
        if (stream)
            DestroyQuietly(stream);
        return nullptr;
    }
    if (m_streamThreads)
        stream->Start();
    return stream;
}

CHKZFrame* CHPlayer::AllocEncodedFrame() {
    if (CHKZFrame* frame = m_encodedFree.Get())
        return frame;
    return new (std::nothrow) CHKZFrame();
}

void CHPlayer::ReleaseEncodedFrame(CHKZFrame* frame) {
    if (frame && m_encodedFree.Put(frame) == QUORIX_E_NO_POOL)
        delete frame;
}

CHDecFrame* CHPlayer::AllocDecodedFrame() {
    if (CHDecFrame* frame = m_decodedFree.Get())
        return frame;
    return new (std::nothrow) CHDecFrame();
}

void CHPlayer::ReleaseDecodedFrame(CHDecFrame* frame) {
    if (frame && m_decodedFree.Put(frame) == QUORIX_E_NO_POOL)
        delete frame;
}

void CHPlayer::ReleaseEmptyDecodedFrame(CHDecFrame* frame) {
    if (!frame)
        return;
    frame->pixels.Free();
    if (m_emptyDecoded.Put(frame) == QUORIX_E_NO_POOL)
        delete frame;
}

uint32_t CHPlayer::RecycleBuffer(uint8_t* buffer, uint32_t size, void* context) {
    if (!context)
        return QUORIX_E_FAIL;
    if (!buffer)
        return QUORIX_OK;
    auto* player = static_cast<CHPlayer*>(context);
    CHDecFrame* frame = player->m_emptyDecoded.Get();
    if (!frame)
        frame = new (std::nothrow) CHDecFrame();
    if (!frame) {
        CHBuffer orphan;
        orphan.Attach(buffer, size, true);
        return QUORIX_OK;
    }
    frame->pixels.Attach(buffer, size, true);
    player->ReleaseDecodedFrame(frame);
    return QUORIX_OK;
}

void CHPlayer::FlushStreams() {
    {
        CHAutoLock lock(&m_videoLock);
        m_videoStreams.ForEachValue([](CHVideoStream* stream) {
            if (stream) {
                stream->FlushDecoded();
                stream->FlushEncoded();
            }
        });
    }
    CHAutoLock lock(&m_audioLock);
    m_audioStreams.ForEachValue([](CHAudioStream* stream) {
        if (stream)
            stream->FlushEncoded();
    });
}

void CHPlayer::EndOfVideoInput() {
    CHAutoLock lock(&m_videoLock);
    m_videoStreams.ForEachValue([](CHVideoStream* stream) {
        if (stream)
            stream->EndOfInput();
    });
}

uint32_t CHPlayer::GetQueuedFrameCount() {
    CHAutoLock lock(&m_videoLock);
    uint32_t total = 0;
    m_videoStreams.ForEachValue([&total](CHVideoStream* stream) {
        if (stream)
            total += stream->GetQueuedFrames();
    });
    return total;
}

uint32_t CHPlayer::GetVideoStreamCount() {
    CHAutoLock lock(&m_videoLock);
    return m_videoStreams.GetCount();
}

uint32_t CHPlayer::GetAudioStreamCount() {
    CHAutoLock lock(&m_audioLock);
    return m_audioStreams.GetCount();
}

}  // namespace BRIXEL
