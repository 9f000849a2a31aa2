#include "media/hvideostream.h"

#include <cxxabi.h>
#include <algorithm>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "base/hclock.h"

namespace BRIXEL {

namespace {

// Copies rows of rowBytes from a plane of planeSize bytes; rows the plane does not hold (a
// decoder that reports less than stride x rows) are filled instead of read past its end.
void CopyPlaneRows(uint8_t* dst, uint32_t rowBytes, uint32_t rows, const uint8_t* src,
                   int32_t stride, uint32_t planeSize, uint8_t fill) {
    uint32_t available = 0;
    if (src && stride > 0 && planeSize >= rowBytes) {
        available =
            static_cast<uint32_t>(std::min<uint64_t>(rows, (planeSize - rowBytes) / stride + 1));
    }
    for (uint32_t r = 0; r < available; ++r) {
        std::memcpy(dst + static_cast<uint64_t>(r) * rowBytes,
                    src + static_cast<uint64_t>(r) * stride, rowBytes);
    }
    if (available < rows) {
        std::memset(dst + static_cast<uint64_t>(available) * rowBytes, fill,
                    static_cast<uint64_t>(rows - available) * rowBytes);
    }
}

struct PacingStep {
    uint32_t minQueued;
    uint32_t numerator;
    uint32_t denominator;
    int32_t countdown;
};

// Presentation speeds up as the encoded backlog grows, level 0 (index 0) to level 4.
constexpr PacingStep kPacing[] = {
    {0, 1, 1, 10}, {10, 9, 10, 10}, {25, 8, 10, 10}, {50, 3, 4, 25}, {90, 6, 10, 30},
};

uint32_t PacingLevelFor(uint32_t queued) {
    uint32_t level = 0;
    for (uint32_t i = 1; i < std::size(kPacing); ++i) {
        if (queued >= kPacing[i].minQueued)
            level = i;
    }
    return level;
}

}  // namespace

CHVideoStream::CHVideoStream(CHPlayer* owner, uint16_t streamId)
    : m_owner(owner), m_streamId(streamId), m_lastSleepTick(HGetTickCount()) {
    char name[48];
    std::snprintf(name, sizeof(name), "CHVideoStream_%" PRIxPTR, reinterpret_cast<uintptr_t>(this));
    SetThreadName(name);
}

CHVideoStream::~CHVideoStream() {
    // Destructors cannot pass exceptions on; the engine destroys every stream whatever one
    // of them raises. Nor a cancellation: a destroying thread cancelled while it waits for the
    // stream's worker would unwind out of a destructor, which ends the process.
    CHCancelGuard noCancel;
    try {
        Shutdown();
    } catch (...) {
    }
}

void CHVideoStream::Shutdown() {
    if (IsRunning()) {
        SetStopFlag();
        m_wake.Set();  // ends a rest now
        Stop();
    }
    FlushDecoded();
    FlushEncoded();
    if (m_decoder) {
        HDecoderHandle decoder = m_decoder;
        m_decoder = nullptr;
        m_owner->StopDecoder(decoder);
    }
}

H_PASSES_CANCEL
uint32_t CHVideoStream::OnThreadLoop(uint64_t) {
    uint32_t restMs = kIdleSleepMs;
    try {
        restMs = DecodeOne();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        // A decoder that throws loses its record, not the stream.
    }
    // Even a stream that never runs dry rests now and then, so input threads get the queue;
    // that rest is a plain sleep, which new input does not cut short.
    if (HGetTickCount() - m_lastSleepTick > kForcedSleepAfterMs) {
        HSleep(std::max(restMs, kIdleSleepMs));
        m_lastSleepTick = HGetTickCount();
    } else if (restMs >= 1) {
        // A record that arrives (or a picture that leaves a full decoded queue) ends the rest
        // at once: a live picture must not wait for the next poll to be decoded.
        if (m_wake.Wait(restMs) == QUORIX_E_NOT_INIT)
            HSleep(restMs);  // no event could be made: the plain rest of old
        m_lastSleepTick = HGetTickCount();
    }
    return 0;
}

uint32_t CHVideoStream::InputFrame(const uint8_t* data, uint32_t length) {
    CHKZFrame* frame = m_owner->AllocEncodedFrame();
    if (!frame)
        return QUORIX_E_NO_MEMORY;
    uint32_t parsed = QUORIX_E_EXCEPTION;
    try {
        parsed = m_owner->ParseFrame(data, length, frame);
    } catch (...) {
        m_owner->ReleaseEncodedFrame(frame);  // the record goes back before the error travels on
        throw;
    }
    if (parsed != QUORIX_OK) {
        m_owner->ReleaseEncodedFrame(frame);
        return parsed;
    }
    if (frame->payload.GetLength() == 0) {
        m_owner->ReleaseEncodedFrame(frame);
        return QUORIX_OK;
    }
    const uint32_t queued = m_encoded.GetCount();
    if (queued >= kDropFromQueued) {
        const bool dropped = m_encoded.DropBeforeKeyFrame(&m_owner->m_encodedFree);
        if (!dropped && queued >= CHPlayer::kVideoQueueLimit) {
            m_owner->ReleaseEncodedFrame(frame);
            return QUORIX_E_QUEUE_FULL;
        }
    }
    const uint32_t put = m_encoded.Put(frame);
    if (put == QUORIX_E_NO_POOL)
        m_owner->ReleaseEncodedFrame(frame);
    else
        m_wake.Set();
    return put;
}

uint32_t CHVideoStream::DecodeOne() {
    if (m_decoded.GetCount() >= CHPlayer::kDecodedQueueDepth)
        return kFullSleepMs;
    CHKZFrame* frame = m_encoded.Get();
    if (!frame) {
        if (m_endOfInput.exchange(false) && m_decoder) {
            m_draining = true;
            m_drainFlushes = m_flushes.load();
        }
        if (m_draining && m_drainFlushes == m_flushes.load() && DrainOne())
            return 0;
        m_draining = false;
        return kIdleSleepMs;
    }
    // A record after the end of the input is a new start: what the decoder still held is given
    // up by the decoder itself.
    m_draining = false;
    CHEncodedFrameReturn giveBack(m_owner, frame);  // every path below hands the record back

    if (!m_decoder || frame->header.codec != m_codecId || frame->header.Width() != m_width ||
        frame->header.Height() != m_height) {
        m_awaitKeyFrame = true;
        if (!frame->header.IsKeyFrame()) {
            return 0;
        }
        if (m_decoder) {
            m_owner->StopDecoder(m_decoder);
            m_decoder = nullptr;
        }
        m_decoder = m_owner->StartDecoder(frame->header.codec);
        if (!m_decoder) {
            // With the old decoder gone no record may reach DecodeVideo until a key frame
            // brings a working one.
            m_codecId = 0;
            m_width = 0;
            m_height = 0;
            return kIdleSleepMs;
        }
        m_codecId = frame->header.codec;
        m_width = frame->header.Width();
        m_height = frame->header.Height();
    }

    if (m_owner->GetSequenceCheck() && frame->header.sequence != m_lastSequence + 1)
        m_awaitKeyFrame = true;

    uint32_t interval = 0;
    if (m_awaitKeyFrame) {
        if (!frame->header.IsKeyFrame()) {
            return 0;
        }
        m_awaitKeyFrame = false;
    } else {
        if (frame->header.Kind() == HMF_KIND_UNTIMED)
            frame->header.timestamp = m_lastTimestamp + m_lastInterval;
        // 16-bit difference: a wrap of the low half is a short step, a jump back is huge.
        interval =
            static_cast<uint16_t>((frame->header.timestamp & 0xFFFF) - (m_lastTimestamp & 0xFFFF));
        if (interval > kMaxIntervalMs)
            interval = m_lastInterval;
    }
    m_lastSequence = frame->header.sequence;
    m_lastTimestamp = frame->header.timestamp;
    m_lastInterval = interval;
    m_lastHeader = frame->header;
    m_lastReceiveTick = frame->receiveTick;

    uint32_t width = frame->header.Width();
    uint32_t height = frame->header.Height();
    uint8_t* planes[3] = {nullptr, nullptr, nullptr};
    uint32_t sizes[3] = {0, 0, 0};
    int32_t strides[3] = {0, 0, 0};
    CHYUVColour colour = HYUVDefaultColour(width, height);
    const uint32_t decoded = m_owner->DecodeVideo(m_decoder, frame->payload.GetData(),
                                                  static_cast<uint32_t>(frame->payload.GetLength()),
                                                  width, height, planes, sizes, strides, colour);
    if (decoded == QUORIX_OK)
        Deliver(frame->header, frame->receiveTick, width, height, planes, sizes, strides, colour);
    return 0;
}

bool CHVideoStream::DrainOne() {
    uint32_t width = m_width;
    uint32_t height = m_height;
    uint8_t* planes[3] = {nullptr, nullptr, nullptr};
    uint32_t sizes[3] = {0, 0, 0};
    int32_t strides[3] = {0, 0, 0};
    CHYUVColour colour = HYUVDefaultColour(width, height);
    if (m_owner->DrainVideo(m_decoder, width, height, planes, sizes, strides, colour) != QUORIX_OK)
        return false;
    // The held-back pictures follow the last record at its interval.
    m_lastTimestamp += m_lastInterval;
    HMFFrameHeader header = m_lastHeader;
    header.timestamp = m_lastTimestamp;
    Deliver(header, m_lastReceiveTick, width, height, planes, sizes, strides, colour);
    return true;
}

void CHVideoStream::EndOfInput() {
    m_endOfInput.store(true);
    m_wake.Set();
}

void CHVideoStream::Deliver(const HMFFrameHeader& header, uint32_t receiveTick, uint32_t width,
                            uint32_t height, uint8_t* const planes[3], const uint32_t sizes[3],
                            const int32_t strides[3], CHYUVColour colour) {
    if (!m_owner->IsPlaying() || width > 0xFFFF || height > 0xFFFF)
        return;
    if (m_owner->GetPlayMode() == 0) {
        m_owner->OnVideoFrame(m_streamId, header.timestamp, header.clock,
                              static_cast<uint16_t>(width), static_cast<uint16_t>(height), planes,
                              strides, colour);
    } else {
        QueueDecoded(header, receiveTick, width, height, planes, sizes, strides, colour);
    }
}

void CHVideoStream::QueueDecoded(const HMFFrameHeader& header, uint32_t receiveTick, uint32_t width,
                                 uint32_t height, uint8_t* const planes[3], const uint32_t sizes[3],
                                 const int32_t strides[3], CHYUVColour colour) {
    // Every column and row is kept; the chroma planes carry the odd last column and row too.
    if (width == 0 || height == 0)
        return;
    const uint64_t need = HPackedI420Size(width, height);
    if (need > UINT32_MAX)
        return;  // RenderFrame passes sizes as 32 bits

    CHDecFrame* picture = m_owner->AllocDecodedFrame();
    if (!picture)
        return;
    picture->header = header;
    picture->header.SetVideoSize(static_cast<uint16_t>(width), static_cast<uint16_t>(height));
    picture->interval = m_lastInterval;
    picture->receiveTick = receiveTick;
    picture->colour = colour;
    // Grow only: a recycled buffer of a bigger picture is good enough for a smaller one.
    if (picture->pixels.Allocate(need, false) != QUORIX_OK || !picture->pixels.GetData()) {
        m_owner->ReleaseDecodedFrame(picture);
        return;
    }
    uint8_t* dst = picture->pixels.GetData();
    CopyPlaneRows(dst, width, height, planes[0], strides[0], sizes[0], 0);
    const uint32_t chromaWidth = HPixelChromaStride(width);
    const uint32_t chromaRows = HPixelChromaRows(height);
    uint8_t* u = dst + HPixelI420FirstOffset(width, height);
    uint8_t* v = dst + HPixelI420SecondOffset(width, height);
    CopyPlaneRows(u, chromaWidth, chromaRows, planes[1], strides[1], sizes[1], 128);
    CopyPlaneRows(v, chromaWidth, chromaRows, planes[2], strides[2], sizes[2], 128);
    picture->pixels.SetLength(need);
    if (m_decoded.Put(picture) == QUORIX_E_NO_POOL)
        m_owner->ReleaseDecodedFrame(picture);
    else
        m_owner->WakePresenter();
}

uint32_t CHVideoStream::ShowFrame() {
    const uint32_t pending = m_decoded.GetCount();
    if (pending == 0)
        return kNothingDue;
    const int32_t speed = m_owner->GetPlaySpeed();
    const uint32_t now = HGetTickCount();
    if (speed < 1 && m_presentInterval > 0 && now - m_lastPresentTick < m_presentInterval)
        return m_presentInterval - (now - m_lastPresentTick);

    const uint32_t mode = m_owner->GetPlayMode();
    if (m_prebuffering) {
        if (mode == 1 && pending < CHPlayer::kDecodedQueueDepth)
            return kNothingDue;
        m_prebuffering = false;
    }
    CHDecFrame* picture = m_decoded.Get();
    if (!picture)
        return kNothingDue;
    m_lastPresentTick = now;
    // A decoder resting on a full decoded queue may go on.
    m_wake.Set();

    uint32_t interval = picture->interval;
    interval = speed > 0 ? interval >> speed : interval << -speed;
    if (mode == 2) {
        const uint32_t backlog = m_decoded.GetCount() + m_encoded.GetCount();
        m_presentInterval = backlog > 5 ? interval * 7 / 10 : interval * 8 / 10;
    } else {
        m_presentInterval = AdjustPresentInterval(interval);
    }

    const uint64_t capacity = picture->pixels.GetCapacity();
    uint8_t* buffer = picture->pixels.Detach();
    if (buffer) {
        uint32_t shown = QUORIX_E_EXCEPTION;
        try {
            shown =
                m_owner->RenderFrame(m_streamId, picture->header.timestamp, picture->header.clock,
                                     picture->header.Width(), picture->header.Height(), buffer,
                                     static_cast<uint32_t>(capacity), picture->colour);
        } catch (...) {
            // Whether the renderer kept the buffer is unknown: it is left alone rather than
            // risk freeing memory the renderer may still hand back.
            m_owner->ReleaseEmptyDecodedFrame(picture);
            throw;
        }
        if (shown != QUORIX_OK) {
            CHBuffer refused;
            refused.Attach(buffer, capacity, true);
        }
    }
    m_owner->ReleaseEmptyDecodedFrame(picture);
    if (pending <= 1)
        return kNothingDue;
    if (speed >= 1 || m_presentInterval == 0)
        return 0;
    return m_presentInterval;
}

uint32_t CHVideoStream::AdjustPresentInterval(uint32_t interval) {
    const uint32_t wanted = PacingLevelFor(m_encoded.GetCount());
    if (wanted != m_pacingLevel) {
        if (--m_levelCountdown > 0)
            return m_presentInterval;
        m_pacingLevel = wanted;
    }
    const PacingStep& step = kPacing[m_pacingLevel];
    m_presentInterval =
        static_cast<uint32_t>(static_cast<uint64_t>(interval) * step.numerator / step.denominator);
    m_levelCountdown = step.countdown;
    return m_presentInterval;
}

void CHVideoStream::FlushDecoded() {
    while (CHDecFrame* picture = m_decoded.Get())
        m_owner->ReleaseDecodedFrame(picture);
}

void CHVideoStream::FlushEncoded() {
    // A seek or a reset: what the decoder held belongs to the old position.
    m_endOfInput.store(false);
    m_flushes.fetch_add(1);
    while (CHKZFrame* frame = m_encoded.Get())
        m_owner->ReleaseEncodedFrame(frame);
}

}  // namespace BRIXEL
