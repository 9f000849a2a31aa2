#include "media/waveout.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <quorixsdk_codes.h>

#include "base/hlog.h"
#include "base/hthread.h"

namespace BRIXEL {

namespace {

std::unique_ptr<QXPLAT::IPlatformWaveOut> MakePlatformDevice() {
    try {
        return QXPLAT::CreatePlatformWaveOut();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

// Every operation below holds off thread cancellation: a stream thread cancelled on its stop
// time-out must not unwind from inside a device call that is starting or joining the writer.

CWaveOut::CWaveOut() : CWaveOut(MakePlatformDevice()) {}

CWaveOut::CWaveOut(std::unique_ptr<QXPLAT::IPlatformWaveOut> device)
    : m_device(std::move(device)) {}

CWaveOut::~CWaveOut() {
    CHCancelGuard noCancel;
    CHAutoLock lock(&m_lock);
    if (m_device) {
        m_device->Reset();
        m_device->Close();
    }
    m_deviceOpen = false;
}

int32_t CWaveOut::Open() {
    CHCancelGuard noCancel;
    CHAutoLock lock(&m_lock);
    if (m_deviceOpen)
        return 0;
    if (!m_device || !m_device->Open(m_format)) {
        if (m_device)
            m_device->Close();
        HLOG("waveout", "hmedia", 30, "BRIXEL::CWaveOut::Open",
             "open wave out device fail,channels=%u,bits=%u,rate=%u", m_format.channels,
             m_format.bitsPerSample, m_format.sampleRate);
        return kNoDevice;
    }
    m_device->Pause();
    m_paused = true;
    m_deviceOpen = true;
    return 0;
}

int32_t CWaveOut::Close() {
    CHCancelGuard noCancel;
    CHAutoLock lock(&m_lock);
    if (m_deviceOpen) {
        m_device->Reset();
        m_device->Close();
    }
    m_deviceOpen = false;
    m_paused = false;
    return 0;
}

int32_t CWaveOut::SetFormat(uint32_t channels, uint32_t bitsPerSample, uint32_t sampleRate) {
    CHCancelGuard noCancel;
    CHAutoLock lock(&m_lock);
    const QXPLAT::WaveFormat format{channels, bitsPerSample, sampleRate};
    if (format == m_format)
        return 0;
    m_format = format;
    Close();
    return Open();
}

int32_t CWaveOut::Write(const uint8_t* data, uint32_t length) {
    CHCancelGuard noCancel;
    CHAutoLock lock(&m_lock);
    if (!m_deviceOpen)
        return kNoDevice;

    QXPLAT::WaveBlock& block = m_blocks[m_writeCount % kBufferCount];
    if (block.IsQueued())
        return kBlockDropped;
    if (length > kMaxBlockBytes || (data == nullptr && length != 0))
        return kBlockDropped;

    block.flags.store(0, std::memory_order_relaxed);
    if (block.capacity < length) {
        try {
            block.data = std::make_unique_for_overwrite<uint8_t[]>(length);
        } catch (const std::bad_alloc&) {
            return kBlockDropped;
        }
        block.capacity = length;
    }
    block.length = length;
    if (length != 0)
        std::memcpy(block.data.get(), data, length);
    if (!m_device->WriteBlock(block))
        return kBlockDropped;

    ++m_writeCount;
    Resume();
    return 0;
}

int32_t CWaveOut::Resume() {
    CHCancelGuard noCancel;
    CHAutoLock lock(&m_lock);
    if (!m_paused)
        return 0;
    if (!m_deviceOpen || !m_device->Restart())
        return kNoDevice;
    m_paused = false;
    return 0;
}

int32_t CWaveOut::Reset() {
    CHCancelGuard noCancel;
    CHAutoLock lock(&m_lock);
    if (m_deviceOpen)
        m_device->Reset();
    return 0;
}

void CWaveOut::SetVolume(uint32_t volume) {
    CHAutoLock lock(&m_lock);
    if (!m_deviceOpen)
        return;
    const uint32_t level = std::min<uint32_t>(volume, 100) * kVolumeStep;
    m_device->SetVolume(level | (level << 16));
}

uint32_t CWaveOut::GetVolume() {
    CHAutoLock lock(&m_lock);
    if (!m_deviceOpen)
        return 0;
    return (m_device->GetVolume() & 0xFFFFu) / kVolumeStep;
}

bool CWaveOut::IsOpen() {
    CHAutoLock lock(&m_lock);
    return m_deviceOpen;
}

bool CWaveOut::IsPaused() {
    CHAutoLock lock(&m_lock);
    return m_paused;
}

uint32_t CWaveOut::GetWriteCount() {
    CHAutoLock lock(&m_lock);
    return m_writeCount;
}

QXPLAT::WaveFormat CWaveOut::GetFormat() {
    CHAutoLock lock(&m_lock);
    return m_format;
}

bool CWaveOut::Drain(uint32_t timeoutMs) {
    return !m_device || m_device->WaitIdle(timeoutMs);
}

}  // namespace BRIXEL
