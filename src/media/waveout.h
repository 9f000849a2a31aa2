#pragma once
// The library's one sound output: PCM blocks from whichever port holds the audio, queued to
// the wave-out device through a ring of ten blocks. When the device falls ten blocks behind,
// newer PCM is dropped rather than queued, so a stalled card never holds up a stream thread.

#include <cstdint>
#include <memory>

#include "base/hlock.h"
#include "platform/audio_device.h"

namespace BRIXEL {

class CWaveOut {
public:
    static constexpr uint32_t kBufferCount = 10;
    static constexpr int32_t kNoDevice = -1;      // no device is open
    static constexpr int32_t kBlockDropped = -2;  // the block was not queued
    // A block larger than this is dropped instead of growing a ring block to its size.
    static constexpr uint32_t kMaxBlockBytes = 4u << 20;
    // Volumes are 0..100; each step is this much of a channel's 16-bit level.
    static constexpr uint32_t kVolumeStep = 655;

    // The platform's device.
    CWaveOut();
    // Another device (a second backend, or a test double); null behaves as a device that never
    // opens.
    explicit CWaveOut(std::unique_ptr<QXPLAT::IPlatformWaveOut> device);
    virtual ~CWaveOut();
    CWaveOut(const CWaveOut&) = delete;
    CWaveOut& operator=(const CWaveOut&) = delete;

    // 0, or -1 when the device cannot be opened. A device is opened paused; an open one is kept.
    int32_t Open();
    int32_t Close();
    // Reopens (paused) only when the format changes; the result is Open's, 0 when unchanged.
    int32_t SetFormat(uint32_t channels, uint32_t bitsPerSample, uint32_t sampleRate);
    // 0 queued, -1 no device, -2 dropped (the ring block it needs is still queued, or the block
    // is larger than kMaxBlockBytes or cannot be allocated).
    int32_t Write(const uint8_t* data, uint32_t length);
    // 0, or -1 when a paused device does not restart (it stays paused and Write tries again).
    int32_t Resume();
    // Discards everything queued; the device stays open.
    int32_t Reset();
    // 0..100 for both channels; larger values are taken as 100. Nothing without a device.
    void SetVolume(uint32_t volume);
    // The left channel's level as 0..100; 0 without a device.
    uint32_t GetVolume();

    bool IsOpen();
    bool IsPaused();
    uint32_t GetWriteCount();
    QXPLAT::WaveFormat GetFormat();
    // Waits until every queued block has reached the card (false after timeoutMs, or while the
    // device is paused with blocks queued). Does not take the lock, so writers carry on.
    bool Drain(uint32_t timeoutMs);

private:
    CHLock m_lock;                // guards everything below; shared by every port
    QXPLAT::WaveFormat m_format;  // m_lock
    // The ring handed to the device; each data block only grows. m_lock (the device reads a
    // block only while its in-queue flag is set).
    QXPLAT::WaveBlock m_blocks[kBufferCount];
    uint32_t m_writeCount = 0;  // m_lock; the next block is m_blocks[m_writeCount % kBufferCount]
    bool m_deviceOpen = false;  // m_lock
    bool m_paused = false;      // m_lock
    // Declared after the blocks so that it is gone before them. The pointer itself is set once.
    std::unique_ptr<QXPLAT::IPlatformWaveOut> m_device;
};

}  // namespace BRIXEL
