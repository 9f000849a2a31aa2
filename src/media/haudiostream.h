#pragma once
// One audio stream of the engine: its encoded queue and the thread that decodes it and hands
// the PCM to the owner. Audio is not paced against video; it is decoded as it arrives.

#include <atomic>
#include <cstdint>

#include "base/hthread.h"
#include "media/hframe.h"
#include "media/hplayer.h"

namespace BRIXEL {

class CHAudioStream : public CHThread {
public:
    static constexpr uint32_t kRestMs = 10;

    CHAudioStream(CHPlayer* owner, uint16_t streamId);
    ~CHAudioStream() override;

    uint32_t OnThreadLoop(uint64_t param) override;
    // Stops the thread, returns every queued record to the engine and stops the decoder.
    void Shutdown();

    // Queues one record; 0x80008100 when the queue already holds the engine's limit.
    uint32_t InputFrame(const uint8_t* data, uint32_t length);
    // Decodes the oldest record, if any, and hands its PCM to the owner (no rest).
    void DecodeOne();

    uint32_t GetQueuedFrames() { return m_encoded.GetCount(); }
    void FlushEncoded();
    uint16_t GetStreamId() const { return m_streamId; }

    // Input threads that hold this stream outside the map lock (see CHPlayer::InputData).
    void AcquireInput() { m_inputUsers.fetch_add(1, std::memory_order_acq_rel); }
    void ReleaseInput() { m_inputUsers.fetch_sub(1, std::memory_order_acq_rel); }
    bool HasInputUsers() const { return m_inputUsers.load(std::memory_order_acquire) != 0; }

private:
    std::atomic<uint32_t> m_inputUsers{0};
    CHPlayer* const m_owner;
    const uint16_t m_streamId;
    CHPool<CHKZFrame> m_encoded;  // producers: input threads; consumer: this stream's thread
    // Decoder state: this stream's thread only.
    uint8_t m_codecId = 0;
    HDecoderHandle m_decoder = nullptr;
};

}  // namespace BRIXEL
