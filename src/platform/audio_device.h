#pragma once
// The wave-out device: PCM blocks queued to the sound card in order, with a pause that holds
// the queue, a reset that discards it and a device-wide volume. The interface is what the
// wave output of the media library needs; each backend (ALSA in alsa_waveout.*) is the only
// place that sees its sound system, and CreatePlatformWaveOut picks the one of this platform.

#include <atomic>
#include <cstdint>
#include <memory>

namespace QXPLAT {

// Linear PCM, interleaved, little-endian; 8-bit samples are unsigned, wider ones signed.
struct WaveFormat {
    uint32_t channels = 1;
    uint32_t bitsPerSample = 16;
    uint32_t sampleRate = 8000;

    bool operator==(const WaveFormat&) const = default;
    uint32_t BlockAlign() const { return bitsPerSample / 8 * channels; }
    // Formats a device can be asked for at all; anything else fails Open.
    bool IsPlayable() const;
};

// Flags of a WaveBlock, set and cleared by the device.
constexpr uint32_t kWaveBlockInQueue = 0x1u;  // handed to the device and not yet played
constexpr uint32_t kWaveBlockDone = 0x2u;     // played, or discarded by Reset/Close

// One block of PCM. The caller owns the block and its data; while kWaveBlockInQueue is set the
// device reads the data and the caller must leave it alone. The device never keeps a pointer
// to a block once it has cleared that flag.
struct WaveBlock {
    std::unique_ptr<uint8_t[]> data;
    uint32_t capacity = 0;  // bytes allocated in data
    uint32_t length = 0;    // bytes to play, at most capacity
    std::atomic<uint32_t> flags{0};

    bool IsQueued() const {
        return (flags.load(std::memory_order_acquire) & kWaveBlockInQueue) != 0;
    }
};

// Left level in the low 16 bits, right level in the high 16 bits; 0xFFFF is unity gain.
constexpr uint32_t kWaveVolumeFull = 0xFFFFFFFFu;

class IPlatformWaveOut {
public:
    // Blocks a device holds at most; WriteBlock refuses more.
    static constexpr uint32_t kRingSize = 10;

    virtual ~IPlatformWaveOut() = default;

    // Opens the device with the format, paused: written blocks wait for Restart. False (and
    // closed) when the device or the format is not available. An open device is closed first.
    virtual bool Open(const WaveFormat& format) = 0;
    // Discards everything queued (marked done) and closes. Harmless when closed.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;

    virtual bool Pause() = 0;
    virtual bool Restart() = 0;
    // Discards every queued block (marked done, no longer in queue) and what the card still
    // holds; the pause state stays as it was. On return no queued block is read any more.
    virtual void Reset() = 0;

    // Queues a block behind the others: flags become kWaveBlockInQueue until it is played.
    // False when closed, when the block is already queued, when kRingSize blocks are queued, or
    // when its length exceeds its data.
    virtual bool WriteBlock(WaveBlock& block) = 0;

    // The device-wide volume word; it belongs to the device and survives a reopen.
    virtual void SetVolume(uint32_t levels) = 0;
    virtual uint32_t GetVolume() const = 0;

    // Waits until every queued block has been handed to the card, or timeoutMs passes (false).
    // A paused device is never idle while it holds blocks.
    virtual bool WaitIdle(uint32_t timeoutMs) = 0;
};

// The backend of this platform.
std::unique_ptr<IPlatformWaveOut> CreatePlatformWaveOut();

}  // namespace QXPLAT
