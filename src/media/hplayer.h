#pragma once
// The media engine: routes frame records into per-stream queues, owns the streams, the free
// lists of frame records, the play mode and the speed, and in the buffered play modes presents
// decoded pictures from its own thread. Decoding, drawing and sound are virtual operations that
// the player port overrides; the base versions do nothing.

#include <quorixsdk_codes.h>

#include <atomic>
#include <cstdint>

#include "base/hevent.h"
#include "base/hlock.h"
#include "base/hmap.h"
#include "base/hthread.h"
#include "media/hframe.h"

namespace BRIXEL {

class CHVideoStream;
class CHAudioStream;

// A renderer hands back a pixel buffer it was given by RenderFrame once it no longer needs it.
using HRecoveryCallback = uint32_t (*)(uint8_t* buffer, uint32_t size, void* context);

// Decoder handle as the owner's decoder layer gives it out; the engine only passes it back.
using HDecoderHandle = void*;

class CHPlayer : public CHThread {
public:
    static constexpr uint32_t kEncodedPoolMax = 24;
    static constexpr uint32_t kDecodedPoolMax = 10;
    static constexpr uint32_t kStreamBuckets = 17;
    static constexpr uint32_t kVideoQueueLimit = 60;
    static constexpr uint32_t kAudioQueueLimit = 60;
    static constexpr uint32_t kDecodedQueueDepth = 3;
    static constexpr int32_t kMinSpeed = -4;
    static constexpr int32_t kMaxSpeed = 4;

    CHPlayer();
    ~CHPlayer() override;

    uint32_t OnThreadLoop(uint64_t param) override;

    // Whether decoded video is to be shown; the base answers the started flag.
    virtual bool IsPlaying();
    // The single entry for frame data: one frame record or one composite packet.
    virtual uint32_t InputData(const uint8_t* data, uint32_t length);
    // Copies a record into frame: header, payload (length - 28 bytes), receive tick.
    virtual uint32_t ParseFrame(const uint8_t* data, uint32_t length, CHKZFrame* frame);
    // Play mode 0: the planes belong to the decoder and are valid only during the call. colour
    // is the matrix and range the decoder reported for the picture.
    virtual uint32_t OnVideoFrame(uint16_t streamId, uint32_t timestamp, uint32_t clock,
                                  uint16_t width, uint16_t height, uint8_t* const planes[3],
                                  const int32_t strides[3], CHYUVColour colour);
    // Play modes 1 and 2: on 0 the callee owns buffer and returns it through the recovery callback.
    virtual uint32_t RenderFrame(uint16_t streamId, uint32_t timestamp, uint32_t clock,
                                 uint16_t width, uint16_t height, uint8_t* buffer, uint32_t size,
                                 CHYUVColour colour);
    virtual uint32_t SetRecoveryCallback(uint16_t streamId, HRecoveryCallback callback,
                                         void* context);
    virtual uint32_t OnAudioFrame(uint16_t streamId, uint32_t channels, uint32_t bitsPerSample,
                                  uint32_t sampleRate, const uint8_t* pcm, uint32_t length);
    virtual HDecoderHandle StartDecoder(uint8_t codecId);
    virtual void StopDecoder(HDecoderHandle decoder);
    // width and height go in as the record's size and come back as the decoded size; sizes are
    // the byte sizes of the three planes, which bound every read of them. colour comes in as
    // the assumption for the size and goes out as what the decoder reported.
    virtual uint32_t DecodeVideo(HDecoderHandle decoder, const uint8_t* data, uint32_t length,
                                 uint32_t& width, uint32_t& height, uint8_t* planes[3],
                                 uint32_t sizes[3], int32_t strides[3], CHYUVColour& colour);
    // One picture the decoder still holds back at the end of the input (as DecodeVideo gives
    // them); QUORIX_E_END_OF_DATA when none is left.
    virtual uint32_t DrainVideo(HDecoderHandle decoder, uint32_t& width, uint32_t& height,
                                uint8_t* planes[3], uint32_t sizes[3], int32_t strides[3],
                                CHYUVColour& colour);
    virtual uint32_t DecodeAudio(HDecoderHandle decoder, const uint8_t* data, uint32_t length,
                                 uint8_t*& pcm, uint32_t& pcmLength);
    // Nonzero when the owner has consumed the sub-frame; 0 lets the engine queue it.
    virtual uint32_t OnSubFrame(uint8_t streamId, const uint8_t* data, uint32_t length);

    // QUORIX_E_THREAD_RUNNING when the player thread already runs.
    uint32_t StartPlay();
    // Stops the player thread, destroys every stream, empties the free lists, speed 0.
    // A derived class calls it in its own destructor: streams stop their decoders through the
    // virtual StopDecoder, which no longer reaches the derived class once it is destroyed.
    uint32_t StopPlay();

    // 0 shows pictures as they are decoded, 1 buffered, 2 low latency; other values are ignored.
    // Entering mode 0 empties the decoded queues, whose pictures would never be shown.
    void SetPlayMode(uint32_t mode);
    uint32_t GetPlayMode() const { return m_playMode.load(std::memory_order_acquire); }
    uint32_t SetPlaySpeed(int32_t exponent);
    int32_t GetPlaySpeed() const { return m_speed.load(std::memory_order_acquire); }
    void SetSequenceCheck(bool on) { m_sequenceCheck.store(on, std::memory_order_release); }
    bool GetSequenceCheck() const { return m_sequenceCheck.load(std::memory_order_acquire); }
    bool IsStarted() const { return m_started.load(std::memory_order_acquire); }

    // Existing stream of that id, or a new one with its thread started; null without memory.
    CHVideoStream* GetVideoStream(uint16_t streamId);
    // Nothing more comes on the input for now: once the queued records are decoded, every
    // video stream gives out the pictures its decoder still holds back.
    void EndOfVideoInput();
    CHAudioStream* GetAudioStream(uint16_t streamId);

    CHKZFrame* AllocEncodedFrame();
    void ReleaseEncodedFrame(CHKZFrame* frame);
    CHDecFrame* AllocDecodedFrame();
    void ReleaseDecodedFrame(CHDecFrame* frame);

    // Recovery callback: context is the engine; the buffer becomes the pixel buffer of a spare
    // decoded record (owned by the engine from now on).
    static uint32_t RecycleBuffer(uint8_t* buffer, uint32_t size, void* context);

    // Empties every decoded and encoded queue into the free lists (before a seek).
    void FlushStreams();
    // Sum of the encoded queue lengths of all video streams.
    uint32_t GetQueuedFrameCount();

    uint32_t GetVideoStreamCount();
    uint32_t GetAudioStreamCount();
    uint32_t GetFreeEncodedCount() { return m_encodedFree.GetCount(); }
    uint32_t GetFreeDecodedCount() { return m_decodedFree.GetCount(); }

protected:
    // Tests and tools that drive the streams by hand keep their threads from starting.
    void SetStreamThreadsEnabled(bool on) { m_streamThreads = on; }
    // Shows pending pictures of every video stream once (one pass of the player thread body);
    // returns the milliseconds until a stream wants to be asked again (CHVideoStream::ShowFrame).
    uint32_t ShowAllStreams();

private:
    friend class CHVideoStream;
    // A stream queued a picture: the player thread looks at once instead of at its next pass.
    void WakePresenter() { m_presentWake.Set(); }
    void RestBetweenPasses(uint32_t ms);
    // Gives the pixel buffer of a picture handed to RenderFrame a record to come back in.
    void ReleaseEmptyDecodedFrame(CHDecFrame* frame);
    void DestroyStreams();
    uint32_t RouteInput(const uint8_t* data, uint32_t length);
    uint32_t InputToVideo(uint16_t streamId, const uint8_t* data, uint32_t length);
    uint32_t InputToAudio(const uint8_t* data, uint32_t length);
    template <typename Stream>
    static void DestroyStreamMap(CHMap<uint16_t, uint16_t, Stream*, Stream*>& map, CHLock& lock);

    CHPool<CHKZFrame> m_encodedFree{static_cast<int32_t>(kEncodedPoolMax)};
    CHPool<CHDecFrame> m_decodedFree{static_cast<int32_t>(kDecodedPoolMax)};
    // Records whose pixel buffer went to the renderer, kept so that the recovery callback
    // does not allocate a record per picture.
    CHPool<CHDecFrame> m_emptyDecoded{static_cast<int32_t>(kDecodedPoolMax)};

    CHLock m_videoLock;  // guards m_videoStreams; taken before any queue or free-list lock
    CHMap<uint16_t, uint16_t, CHVideoStream*, CHVideoStream*> m_videoStreams{kStreamBuckets};
    CHLock m_audioLock;  // guards m_audioStreams; taken before any queue or free-list lock
    CHMap<uint16_t, uint16_t, CHAudioStream*, CHAudioStream*> m_audioStreams{kStreamBuckets};

    // Set when a picture is queued or the play mode changes; the player thread waits on it
    // between passes, with the pass interval as the upper bound.
    CHEvent m_presentWake{true, false, false};
    std::atomic<uint32_t> m_playMode{0};
    std::atomic<int32_t> m_speed{0};
    std::atomic<bool> m_sequenceCheck{true};
    std::atomic<bool> m_started{false};
    bool m_streamThreads = true;  // set before the first record
};

// Gives an encoded record back to the engine's free list when it leaves scope, whichever way.
class CHEncodedFrameReturn {
public:
    CHEncodedFrameReturn(CHPlayer* owner, CHKZFrame* frame) : m_owner(owner), m_frame(frame) {}
    ~CHEncodedFrameReturn() {
        if (m_frame)
            m_owner->ReleaseEncodedFrame(m_frame);
    }
    CHEncodedFrameReturn(const CHEncodedFrameReturn&) = delete;
    CHEncodedFrameReturn& operator=(const CHEncodedFrameReturn&) = delete;

private:
    CHPlayer* m_owner;
    CHKZFrame* m_frame;
};

}  // namespace BRIXEL
