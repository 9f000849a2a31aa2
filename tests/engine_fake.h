#pragma once
// A player that stands in for the port above the engine: its "decoder" turns each record into a
// synthetic picture (deterministic, derived from the record), its "renderer" records what it is
// given and keeps pixel buffers like a real one, handing the previous one back through the
// recovery callback when the next arrives.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "base/hclock.h"
#include "media/haudiostream.h"
#include "media/hmfformat.h"
#include "media/hplayer.h"
#include "media/hvideostream.h"

namespace enginetest {

using namespace BRIXEL;

struct RecordSpec {
    uint8_t kind = HMF_KIND_KEY;
    uint8_t streamId = 0;
    uint32_t sequence = 1;
    uint32_t timestamp = 0;
    uint8_t codec = 1;
    uint16_t width = 64;
    uint16_t height = 16;
    uint32_t payloadLength = 16;
    uint16_t magic = kHMFFrameMagic;
    uint8_t typeBits = 0;  // ORed into the type byte (the composite bit)
};

// A frame record whose payload starts with the low byte of its sequence number.
inline std::vector<uint8_t> MakeRecord(const RecordSpec& desc) {
    std::vector<uint8_t> bytes(kHMFFrameHeaderSize + desc.payloadLength);
    HMFFrameHeader h = HMFNewFrameHeader();
    h.magic = desc.magic;
    h.type = static_cast<uint8_t>(desc.kind | desc.typeBits);
    h.streamId = desc.streamId;
    h.sequence = desc.sequence;
    h.timestamp = desc.timestamp;
    h.clock = 1700000000u + desc.sequence;
    h.codec = desc.codec;
    h.SetVideoSize(desc.width, desc.height);
    h.payloadLength = desc.payloadLength;
    HMFSerializeFrameHeader(h, bytes.data());
    for (uint32_t i = 0; i < desc.payloadLength; ++i) {
        bytes[kHMFFrameHeaderSize + i] = static_cast<uint8_t>(desc.sequence + i);
    }
    return bytes;
}

inline std::vector<uint8_t> MakeAudioRecord(uint32_t sequence, uint8_t codec = 3,
                                            uint8_t streamId = 0) {
    RecordSpec desc;
    desc.kind = HMF_KIND_AUDIO;
    desc.sequence = sequence;
    desc.codec = codec;
    desc.streamId = streamId;
    std::vector<uint8_t> bytes = MakeRecord(desc);
    bytes[18] = 1;                        // channels
    bytes[19] = 16;                       // bits per sample
    HStoreLE32(bytes.data() + 20, 8000);  // sample rate
    return bytes;
}

// A composite packet: 28-byte outer header (video kind, composite bit) and the given sub-frames.
inline std::vector<uint8_t> MakeComposite(const std::vector<std::vector<uint8_t>>& subFrames) {
    RecordSpec outer;
    outer.typeBits = kHMFCompositeBit;
    outer.payloadLength = 0;
    std::vector<uint8_t> bytes = MakeRecord(outer);
    for (const auto& sub : subFrames)
        bytes.insert(bytes.end(), sub.begin(), sub.end());
    HStoreLE32(bytes.data() + 24, static_cast<uint32_t>(bytes.size() - kHMFFrameHeaderSize));
    return bytes;
}

inline std::vector<uint8_t> MakeSubFrame(RecordSpec desc) {
    desc.magic = kHMFSubFrameMagic;
    return MakeRecord(desc);
}

// Value of the synthetic picture at (row, column) of a plane; seed is the payload's first byte.
inline uint8_t PixelAt(uint8_t seed, int plane, uint32_t row, uint32_t column) {
    return static_cast<uint8_t>(seed + plane * 50 + row * 3 + column);
}

struct Shown {
    uint16_t streamId;
    uint32_t timestamp;
    uint16_t width;
    uint16_t height;
    uint8_t seed;                 // first Y byte: identifies the picture
    std::vector<uint8_t> pixels;  // RenderFrame only, when copying is on
};

struct AudioOut {
    uint16_t streamId;
    uint32_t channels, bits, rate, length;
};

// Simulated clock: time moves only when the test says so.
class SimClock : public IHClock {
public:
    uint32_t Tick() override { return now.load(); }
    void Sleep(uint32_t ms) override { now += ms; }
    std::atomic<uint32_t> now{100000};
};

class FakePlayer : public CHPlayer {
public:
    enum class Render { Replace, Keep, Refuse };

    explicit FakePlayer(bool streamThreads = true) { SetStreamThreadsEnabled(streamThreads); }
    ~FakePlayer() override {
        StopPlay();
        ReturnHeldBuffers();  // the renderer goes after the engine, handing back what it holds
    }

    using CHPlayer::ShowAllStreams;

    // Settings (set before the data flows).
    std::atomic<int> playing{-1};  // -1: the engine's own answer, 0/1 forced
    std::atomic<bool> failStartDecoder{false};
    std::atomic<bool> consumeSubFrames{false};
    std::atomic<uint32_t> decodedWidth{0};  // nonzero: the decoder reports this width
    std::atomic<bool> shortPlanes{false};   // the decoder reports half of every plane's size
    std::atomic<bool> copyPixels{false};
    std::atomic<bool> recoveryFails{false};
    Render render = Render::Replace;

    bool IsPlaying() override {
        const int forced = playing.load();
        return forced < 0 ? CHPlayer::IsPlaying() : forced != 0;
    }

    uint32_t OnSubFrame(uint8_t, const uint8_t*, uint32_t) override {
        return consumeSubFrames ? 1 : 0;
    }

    std::atomic<bool> throwInParse{false};
    uint32_t ParseFrame(const uint8_t* data, uint32_t length, CHKZFrame* frame) override {
        if (throwInParse)
            throw std::runtime_error("parse");
        return CHPlayer::ParseFrame(data, length, frame);
    }

    HDecoderHandle StartDecoder(uint8_t codecId) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++decodersStarted;
        startedCodecs.push_back(codecId);
        if (failStartDecoder)
            return nullptr;
        m_decoders.push_back(std::make_unique<Decoder>());
        return m_decoders.back().get();
    }

    std::atomic<bool> throwInStopDecoder{false};
    void StopDecoder(HDecoderHandle decoder) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (decoder)
            ++decodersStopped;
        if (throwInStopDecoder)
            throw std::runtime_error("stop");
    }

    uint32_t DecodeVideo(HDecoderHandle handle, const uint8_t* data, uint32_t length,
                         uint32_t& width, uint32_t& height, uint8_t* planes[3], uint32_t sizes[3],
                         int32_t strides[3], CHYUVColour&) override {
        if (!handle || !data || length == 0)
            return QUORIX_E_PARAM;
        if (length > 1 && data[1] == 0xEE)
            return QUORIX_E_NOT_SUPPORTED;  // a damaged picture
        if (length > 1 && data[1] == 0xDD)
            throw std::runtime_error("decoder");
        auto* decoder = static_cast<Decoder*>(handle);
        if (decodedWidth)
            width = decodedWidth;
        const uint32_t rows[3] = {height, (height + 1) / 2, (height + 1) / 2};
        const uint32_t cols[3] = {width, (width + 1) / 2, (width + 1) / 2};
        for (int p = 0; p < 3; ++p) {
            const uint32_t stride = cols[p] + 16;  // decoders pad their rows
            decoder->planes[p].resize(static_cast<size_t>(stride) * rows[p]);
            for (uint32_t r = 0; r < rows[p]; ++r) {
                for (uint32_t c = 0; c < cols[p]; ++c) {
                    decoder->planes[p][static_cast<size_t>(r) * stride + c] =
                        PixelAt(data[0], p, r, c);
                }
            }
            planes[p] = decoder->planes[p].data();
            strides[p] = static_cast<int32_t>(stride);
            sizes[p] = static_cast<uint32_t>(decoder->planes[p].size());
            if (shortPlanes)
                sizes[p] /= 2;
        }
        decodeCalls++;
        return QUORIX_OK;
    }

    uint32_t DecodeAudio(HDecoderHandle handle, const uint8_t* data, uint32_t length, uint8_t*& pcm,
                         uint32_t& pcmLength) override {
        if (!handle || !data)
            return QUORIX_E_PARAM;
        auto* decoder = static_cast<Decoder*>(handle);
        decoder->pcm.assign(length * 2, 0x11);
        pcm = decoder->pcm.data();
        pcmLength = static_cast<uint32_t>(decoder->pcm.size());
        return QUORIX_OK;
    }

    uint32_t OnAudioFrame(uint16_t streamId, uint32_t channels, uint32_t bits, uint32_t rate,
                          const uint8_t*, uint32_t length) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        audio.push_back({streamId, channels, bits, rate, length});
        m_changed.notify_all();
        return QUORIX_OK;
    }

    uint32_t OnVideoFrame(uint16_t streamId, uint32_t timestamp, uint32_t, uint16_t width,
                          uint16_t height, uint8_t* const planes[3], const int32_t[3],
                          CHYUVColour) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        shown.push_back({streamId, timestamp, width, height, planes[0][0], {}});
        m_changed.notify_all();
        return QUORIX_OK;
    }

    uint32_t RenderFrame(uint16_t streamId, uint32_t timestamp, uint32_t, uint16_t width,
                         uint16_t height, uint8_t* buffer, uint32_t size, CHYUVColour) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (render == Render::Refuse)
            return QUORIX_E_NOT_SUPPORTED;
        Shown s{streamId, timestamp, width, height, buffer[0], {}};
        if (copyPixels)
            s.pixels.assign(buffer, buffer + size);
        rendered.push_back(std::move(s));
        renderedSizes.push_back(size);
        renderedBuffers.push_back(buffer);
        Held previous{};
        bool release = false;
        if (render == Render::Replace) {
            auto it = m_current.find(streamId);
            if (it != m_current.end()) {
                previous = it->second;
                release = true;
            }
            m_current[streamId] = {buffer, size, streamId};
        } else {
            m_kept.push_back({buffer, size, streamId});
        }
        m_changed.notify_all();
        lock.unlock();
        // Like a real source, the replaced picture goes back on the presenting thread.
        if (release)
            Return(previous);
        return QUORIX_OK;
    }

    uint32_t SetRecoveryCallback(uint16_t streamId, HRecoveryCallback callback,
                                 void* context) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (recoveryFails)
            return QUORIX_E_NOT_SUPPORTED;
        m_recovery[streamId] = {callback, context};
        return QUORIX_OK;
    }

    // Hands every buffer the "renderer" still holds back to the engine.
    void ReturnHeldBuffers() {
        std::vector<Held> held;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            held.swap(m_kept);
            for (auto& [id, h] : m_current)
                held.push_back(h);
            m_current.clear();
        }
        for (const Held& h : held)
            Return(h);
    }

    uint32_t HeldBufferCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<uint32_t>(m_kept.size() + m_current.size());
    }

    // Waits (generously) until pred holds under the fake's lock.
    bool WaitFor(const std::function<bool()>& pred, int seconds = 20) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(seconds), pred);
    }

    size_t ShownCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return shown.size();
    }
    size_t RenderedCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return rendered.size();
    }

    // Guarded by m_mutex once threads run.
    std::vector<Shown> shown;
    std::vector<Shown> rendered;
    std::vector<uint32_t> renderedSizes;
    std::vector<uint8_t*> renderedBuffers;
    std::vector<AudioOut> audio;
    std::vector<uint8_t> startedCodecs;
    int decodersStarted = 0;
    int decodersStopped = 0;
    std::atomic<int> decodeCalls{0};

private:
    struct Decoder {
        std::vector<uint8_t> planes[3];
        std::vector<uint8_t> pcm;
    };
    struct Held {
        uint8_t* buffer;
        uint32_t size;
        uint16_t streamId;
    };
    struct Recovery {
        HRecoveryCallback callback;
        void* context;
    };

    void Return(const Held& h) {
        Recovery r{};
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_recovery.find(h.streamId);
            if (it != m_recovery.end())
                r = it->second;
        }
        if (r.callback) {
            r.callback(h.buffer, h.size, r.context);
        } else {
            CHBuffer orphan;  // no callback registered: the renderer frees what it was given
            orphan.Attach(h.buffer, h.size, true);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::unique_ptr<Decoder>> m_decoders;
    std::map<uint16_t, Held> m_current;
    std::vector<Held> m_kept;
    std::map<uint16_t, Recovery> m_recovery;
};

// Installs the simulated clock for one test.
class ScopedSimClock {
public:
    ScopedSimClock() { HSetClock(&clock); }
    ~ScopedSimClock() { HSetClock(nullptr); }
    SimClock clock;
};

}  // namespace enginetest
