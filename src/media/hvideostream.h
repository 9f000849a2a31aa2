#pragma once
// One video stream of the engine: its encoded queue, its decoding thread and, in the buffered
// play modes, its queue of decoded pictures and the pacing of their presentation.

#include <atomic>
#include <cstdint>

#include "base/hevent.h"
#include "base/hthread.h"
#include "media/hframe.h"
#include "media/hplayer.h"

namespace BRIXEL {

class CHVideoStream : public CHThread {
public:
    static constexpr uint32_t kDropFromQueued = CHPlayer::kVideoQueueLimit / 2;
    static constexpr uint32_t kIdleSleepMs = 16;
    static constexpr uint32_t kFullSleepMs = 10;
    static constexpr uint32_t kMaxIntervalMs = 1000;
    static constexpr uint32_t kForcedSleepAfterMs = 1000;

    CHVideoStream(CHPlayer* owner, uint16_t streamId);
    ~CHVideoStream() override;

    uint32_t OnThreadLoop(uint64_t param) override;
    // Stops the thread, returns every queued record to the engine and stops the decoder.
    void Shutdown();

    // Queues one record; 0x80008100 when the backlog is full and nothing could be shed.
    uint32_t InputFrame(const uint8_t* data, uint32_t length);
    // Decodes at most one record; returns the milliseconds the thread should rest.
    uint32_t DecodeOne();
    // Presents the oldest decoded picture when its time has come (player thread). Returns the
    // milliseconds after which this stream wants to be asked again: 0 when another picture is
    // due at once, kNothingDue when only a newly decoded picture can change anything.
    uint32_t ShowFrame();
    static constexpr uint32_t kNothingDue = 0xFFFFFFFFu;
    // Presentation interval for a picture interval in play mode 1, from the encoded backlog.
    uint32_t AdjustPresentInterval(uint32_t interval);

    uint32_t GetQueuedFrames() { return m_encoded.GetCount(); }
    uint32_t GetDecodedFrames() { return m_decoded.GetCount(); }
    void FlushDecoded();
    void FlushEncoded();
    // Any thread: the decoder gives out what it holds back once the queued records are decoded.
    void EndOfInput();

    uint16_t GetStreamId() const { return m_streamId; }

    // Input threads that hold this stream outside the map lock (see CHPlayer::InputData).
    void AcquireInput() { m_inputUsers.fetch_add(1, std::memory_order_acq_rel); }
    void ReleaseInput() { m_inputUsers.fetch_sub(1, std::memory_order_acq_rel); }
    bool HasInputUsers() const { return m_inputUsers.load(std::memory_order_acquire) != 0; }
    // Pacing state, read by the presenting thread (and tests).
    uint32_t GetPresentInterval() const { return m_presentInterval; }
    uint32_t GetPacingLevel() const { return m_pacingLevel; }
    bool IsPrebuffering() const { return m_prebuffering; }

private:
    // Copies the decoded planes into a packed picture record and queues it.
    // One held-back picture of the decoder, shown after the last record's; false at the end.
    bool DrainOne();
    // A picture of the record with this header, received at receiveTick.
    void Deliver(const HMFFrameHeader& header, uint32_t receiveTick, uint32_t width,
                 uint32_t height, uint8_t* const planes[3], const uint32_t sizes[3],
                 const int32_t strides[3], CHYUVColour colour);
    void QueueDecoded(const HMFFrameHeader& header, uint32_t receiveTick, uint32_t width,
                      uint32_t height, uint8_t* const planes[3], const uint32_t sizes[3],
                      const int32_t strides[3], CHYUVColour colour);

    std::atomic<uint32_t> m_inputUsers{0};
    // Wakes this stream's thread when a record arrives or a decoded picture leaves the queue,
    // so that neither waits out a whole rest; the rests stay as upper bounds.
    CHEvent m_wake{true, false, false};
    CHPlayer* const m_owner;
    const uint16_t m_streamId;
    CHVFPool m_encoded;            // producers: input threads; consumer: this stream's thread
    CHPool<CHDecFrame> m_decoded;  // producer: this stream's thread; consumer: player thread

    // Decoder state: this stream's thread only.
    uint8_t m_codecId = 0;
    uint16_t m_width = 0;
    uint16_t m_height = 0;
    HDecoderHandle m_decoder = nullptr;
    uint32_t m_lastSequence = 0;
    uint32_t m_lastTimestamp = 0;
    uint32_t m_lastInterval = 0;
    bool m_awaitKeyFrame = true;
    bool m_draining = false;
    HMFFrameHeader m_lastHeader{};  // of the last record decoded, for the held-back pictures
    uint32_t m_lastReceiveTick = 0;
    std::atomic<bool> m_endOfInput{false};
    std::atomic<uint32_t> m_flushes{0};  // a drain ends when the queue is flushed
    uint32_t m_drainFlushes = 0;
    uint32_t m_lastSleepTick;

    // Pacing state: the presenting (player) thread only.
    uint32_t m_pacingLevel = 0;
    int32_t m_levelCountdown = 10;
    uint32_t m_lastPresentTick = 0;
    uint32_t m_presentInterval = 0;
    bool m_prebuffering = true;
};

}  // namespace BRIXEL
