#include "platform/alsa_waveout.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace QXPLAT {

namespace {

// What the card buffers ahead of the ring: enough to ride over a late block, short enough
// that a reset is heard at once.
constexpr unsigned kLatencyUs = 200000;
// The writer copies (and scales) a block into the card in pieces of this size, so a block of
// any length needs no buffer of its own; a multiple of every frame size up to 32 x 4 bytes.
constexpr uint32_t kChunkBytes = 8192;
// Upper bound of one poll on a full card; the wake descriptor ends it earlier.
constexpr int kPollMs = 500;

void SilentAlsaError(const char*, int, const char*, int, const char*, va_list) {}

// alsa/error.h declares the per-thread handler setter outside its extern "C" block, so a C++
// call would name a symbol the library does not have; it is looked up by its C name instead.
using LocalErrorSetter = snd_local_error_handler_t (*)(snd_local_error_handler_t);

LocalErrorSetter FindLocalErrorSetter() {
    static const LocalErrorSetter setter = [] {
        void* library = dlopen("libasound.so.2", RTLD_NOW | RTLD_NOLOAD);
        void* symbol =
            dlsym(library != nullptr ? library : RTLD_DEFAULT, "snd_lib_error_set_local");
        if (library != nullptr)
            dlclose(library);  // only dropped the reference NOLOAD took
        return reinterpret_cast<LocalErrorSetter>(symbol);
    }();
    return setter;
}

// ALSA reports every failed lookup on standard error; a missing device is a normal answer
// here, so the messages are kept off this thread only (the host's own handler is untouched).
class CAlsaErrorsSilenced {
public:
    CAlsaErrorsSilenced() : m_setter(FindLocalErrorSetter()) {
        if (m_setter != nullptr)
            m_previous = m_setter(&SilentAlsaError);
    }
    ~CAlsaErrorsSilenced() {
        if (m_setter != nullptr)
            m_setter(m_previous);
    }
    CAlsaErrorsSilenced(const CAlsaErrorsSilenced&) = delete;
    CAlsaErrorsSilenced& operator=(const CAlsaErrorsSilenced&) = delete;

private:
    LocalErrorSetter m_setter;
    snd_local_error_handler_t m_previous = nullptr;
};

snd_pcm_format_t PcmFormat(uint32_t bitsPerSample) {
    switch (bitsPerSample) {
        case 8:
            return SND_PCM_FORMAT_U8;
        case 16:
            return SND_PCM_FORMAT_S16_LE;
        case 24:
            return SND_PCM_FORMAT_S24_3LE;
        case 32:
            return SND_PCM_FORMAT_S32_LE;
        default:
            return SND_PCM_FORMAT_UNKNOWN;
    }
}

int64_t Scale(int64_t sample, uint32_t level) {
    return sample * level / 0xFFFF;
}

// Copies `bytes` of interleaved PCM, scaling channel 1 by the right level and every other
// channel by the left one (a mono stream follows the left level).
void CopyScaled(uint8_t* dst, const uint8_t* src, uint32_t bytes, const WaveFormat& format,
                uint32_t levels) {
    const uint32_t left = levels & 0xFFFFu;
    const uint32_t right = levels >> 16;
    if (left == 0xFFFFu && right == 0xFFFFu) {
        std::memcpy(dst, src, bytes);
        return;
    }
    const uint32_t sampleBytes = format.bitsPerSample / 8;
    const uint32_t samples = bytes / sampleBytes;
    for (uint32_t i = 0; i < samples; ++i) {
        const uint32_t level = (i % format.channels == 1) ? right : left;
        const uint8_t* s = src + static_cast<size_t>(i) * sampleBytes;
        uint8_t* d = dst + static_cast<size_t>(i) * sampleBytes;
        switch (sampleBytes) {
            case 1:
                d[0] = static_cast<uint8_t>(Scale(static_cast<int64_t>(s[0]) - 128, level) + 128);
                break;
            case 2: {
                const int16_t v = static_cast<int16_t>(s[0] | (s[1] << 8));
                const uint16_t o = static_cast<uint16_t>(Scale(v, level));
                d[0] = static_cast<uint8_t>(o);
                d[1] = static_cast<uint8_t>(o >> 8);
                break;
            }
            case 3: {
                int32_t v = s[0] | (s[1] << 8) | (s[2] << 16);
                v = (v ^ 0x800000) - 0x800000;
                const uint32_t o = static_cast<uint32_t>(Scale(v, level));
                d[0] = static_cast<uint8_t>(o);
                d[1] = static_cast<uint8_t>(o >> 8);
                d[2] = static_cast<uint8_t>(o >> 16);
                break;
            }
            default: {
                const int32_t v = static_cast<int32_t>(
                    static_cast<uint32_t>(s[0]) | (static_cast<uint32_t>(s[1]) << 8) |
                    (static_cast<uint32_t>(s[2]) << 16) | (static_cast<uint32_t>(s[3]) << 24));
                const uint32_t o = static_cast<uint32_t>(Scale(v, level));
                d[0] = static_cast<uint8_t>(o);
                d[1] = static_cast<uint8_t>(o >> 8);
                d[2] = static_cast<uint8_t>(o >> 16);
                d[3] = static_cast<uint8_t>(o >> 24);
                break;
            }
        }
    }
}

// One PCM opened paused, fed from a ring of caller-owned blocks by a writer thread. Every
// PCM call after Open is made on the writer thread, so the PCM never sees two threads.
class CAlsaWaveOut final : public IPlatformWaveOut {
public:
    CAlsaWaveOut() = default;
    ~CAlsaWaveOut() override { Close(); }

    bool Open(const WaveFormat& format) override;
    void Close() override;
    bool IsOpen() const override;
    bool Pause() override;
    bool Restart() override;
    void Reset() override;
    bool WriteBlock(WaveBlock& block) override;
    void SetVolume(uint32_t levels) override { m_volume.store(levels, std::memory_order_relaxed); }
    uint32_t GetVolume() const override { return m_volume.load(std::memory_order_relaxed); }
    bool WaitIdle(uint32_t timeoutMs) override;

private:
    void CloseDevice();
    void WriterMain();
    bool TakeChunk();     // m_mutex held
    void PopFront();      // m_mutex held
    void DiscardQueue();  // m_mutex held
    void WaitForCard();
    void Wake();  // m_mutex held: the descriptor is closed under it

    std::mutex m_controlMutex;  // serialises Open and Close (they start and join the writer)

    mutable std::mutex m_mutex;
    std::condition_variable m_workCv;  // the writer waits for blocks, restart or stop
    std::condition_variable m_idleCv;  // WaitIdle waits for the ring to drain
    // Guarded by m_mutex:
    std::array<WaveBlock*, kRingSize> m_ring{};
    uint32_t m_head = 0;
    uint32_t m_count = 0;
    uint32_t m_frontOffset = 0;  // bytes of the front block already handed to the writer
    bool m_open = false;
    bool m_paused = false;
    bool m_stop = false;
    bool m_dropPcm = false;  // Reset asked the writer to empty the card
    bool m_failed = false;   // the card failed for good: blocks are discarded as they come
    bool m_writing = false;  // the writer holds a chunk not yet in the card
    WaveFormat m_format;

    // Writer thread only (and Open/Close under m_controlMutex while no writer runs):
    snd_pcm_t* m_pcm = nullptr;
    bool m_canPause = false;
    bool m_pcmPaused = false;
    std::array<uint8_t, kChunkBytes> m_chunk{};
    uint32_t m_chunkBytes = 0;
    uint32_t m_chunkOffset = 0;
    std::vector<pollfd> m_pollFds;  // sized at Open: the card's descriptors and the wake one
    int m_wakeFd = -1;              // written under m_mutex; the writer reads it while it runs
    std::thread m_writer;

    std::atomic<uint32_t> m_volume{kWaveVolumeFull};
};

bool CAlsaWaveOut::Open(const WaveFormat& format) {
    std::lock_guard control(m_controlMutex);
    CloseDevice();
    if (!format.IsPlayable())
        return false;

    const char* name = std::getenv("QUORIX_AUDIO_DEVICE");
    if (name == nullptr || *name == '\0')
        name = "default";

    CAlsaErrorsSilenced silenced;
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0)
        return false;
    if (snd_pcm_set_params(pcm, PcmFormat(format.bitsPerSample), SND_PCM_ACCESS_RW_INTERLEAVED,
                           format.channels, format.sampleRate, 1, kLatencyUs) < 0) {
        snd_pcm_close(pcm);
        return false;
    }
    // Start on the first period rather than on a full buffer, so a short burst is heard at once.
    snd_pcm_uframes_t bufferFrames = 0;
    snd_pcm_uframes_t periodFrames = 0;
    snd_pcm_sw_params_t* sw = nullptr;
    if (snd_pcm_get_params(pcm, &bufferFrames, &periodFrames) == 0 && periodFrames > 0 &&
        snd_pcm_sw_params_malloc(&sw) == 0) {
        if (snd_pcm_sw_params_current(pcm, sw) == 0 &&
            snd_pcm_sw_params_set_start_threshold(pcm, sw, periodFrames) == 0)
            snd_pcm_sw_params(pcm, sw);
        snd_pcm_sw_params_free(sw);
    }
    snd_pcm_hw_params_t* hw = nullptr;
    bool canPause = false;
    if (snd_pcm_hw_params_malloc(&hw) == 0) {
        if (snd_pcm_hw_params_current(pcm, hw) == 0)
            canPause = snd_pcm_hw_params_can_pause(hw) != 0;
        snd_pcm_hw_params_free(hw);
    }
    const int descriptors = snd_pcm_poll_descriptors_count(pcm);
    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (descriptors < 0 || wakeFd < 0) {
        if (wakeFd >= 0)
            close(wakeFd);
        snd_pcm_close(pcm);
        return false;
    }
    try {
        m_pollFds.assign(static_cast<size_t>(descriptors) + 1, pollfd{});
    } catch (const std::bad_alloc&) {
        close(wakeFd);
        snd_pcm_close(pcm);
        return false;
    }

    m_pcm = pcm;
    m_canPause = canPause;
    m_pcmPaused = false;
    m_chunkBytes = m_chunkOffset = 0;
    {
        std::lock_guard lock(m_mutex);
        m_wakeFd = wakeFd;
        m_head = m_count = m_frontOffset = 0;
        m_open = m_paused = true;
        m_stop = m_dropPcm = m_failed = m_writing = false;
        m_format = format;
    }
    try {
        m_writer = std::thread(&CAlsaWaveOut::WriterMain, this);
    } catch (const std::exception&) {
        CloseDevice();
        return false;
    }
    return true;
}

void CAlsaWaveOut::Close() {
    std::lock_guard control(m_controlMutex);
    CloseDevice();
}

void CAlsaWaveOut::CloseDevice() {
    {
        std::lock_guard lock(m_mutex);
        DiscardQueue();
        m_open = false;
        m_stop = true;
        Wake();
    }
    m_workCv.notify_all();
    m_idleCv.notify_all();
    if (m_writer.joinable())
        m_writer.join();
    if (m_pcm != nullptr) {
        CAlsaErrorsSilenced silenced;
        snd_pcm_drop(m_pcm);
        snd_pcm_close(m_pcm);
        m_pcm = nullptr;
    }
    std::lock_guard lock(m_mutex);
    if (m_wakeFd >= 0) {
        close(m_wakeFd);
        m_wakeFd = -1;
    }
}

bool CAlsaWaveOut::IsOpen() const {
    std::lock_guard lock(m_mutex);
    return m_open;
}

bool CAlsaWaveOut::Pause() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_open)
            return false;
        m_paused = true;
        Wake();
    }
    m_workCv.notify_all();
    return true;
}

bool CAlsaWaveOut::Restart() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_open)
            return false;
        m_paused = false;
    }
    m_workCv.notify_all();
    return true;
}

void CAlsaWaveOut::Reset() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_open)
            return;
        DiscardQueue();
        m_dropPcm = true;
        Wake();
    }
    m_workCv.notify_all();
}

bool CAlsaWaveOut::WriteBlock(WaveBlock& block) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_open || block.IsQueued() || m_count >= kRingSize)
            return false;
        if (block.length > block.capacity || (block.length != 0 && block.data == nullptr))
            return false;
        if (m_failed) {
            block.flags.store(kWaveBlockDone, std::memory_order_release);
            return true;
        }
        block.flags.store(kWaveBlockInQueue, std::memory_order_release);
        m_ring[(m_head + m_count) % kRingSize] = &block;
        ++m_count;
    }
    m_workCv.notify_all();
    return true;
}

bool CAlsaWaveOut::WaitIdle(uint32_t timeoutMs) {
    std::unique_lock lock(m_mutex);
    return m_idleCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
        return !m_open || m_failed || (m_count == 0 && !m_writing);
    });
}

void CAlsaWaveOut::PopFront() {
    m_ring[m_head]->flags.store(kWaveBlockDone, std::memory_order_release);
    m_ring[m_head] = nullptr;
    m_head = (m_head + 1) % kRingSize;
    --m_count;
    m_frontOffset = 0;
}

void CAlsaWaveOut::DiscardQueue() {
    while (m_count > 0)
        PopFront();
    m_idleCv.notify_all();
}

// Copies the next piece of the front block into the chunk, so that the block is never read
// outside m_mutex and Reset can hand it back at once. A trailing partial frame is dropped.
bool CAlsaWaveOut::TakeChunk() {
    const uint32_t frameBytes = m_format.BlockAlign();
    const uint32_t chunkLimit = kChunkBytes / frameBytes * frameBytes;
    while (m_count > 0) {
        WaveBlock& block = *m_ring[m_head];
        const uint32_t remaining = block.length - m_frontOffset;
        const uint32_t take = std::min(remaining, chunkLimit) / frameBytes * frameBytes;
        if (take == 0) {
            PopFront();
            continue;
        }
        CopyScaled(m_chunk.data(), block.data.get() + m_frontOffset, take, m_format,
                   m_volume.load(std::memory_order_relaxed));
        m_frontOffset += take;
        if (block.length - m_frontOffset < frameBytes)
            PopFront();
        m_chunkBytes = take;
        m_chunkOffset = 0;
        return true;
    }
    return false;
}

void CAlsaWaveOut::WriterMain() {
    CAlsaErrorsSilenced silenced;
    const uint32_t frameBytes = m_format.BlockAlign();
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_stop)
            return;
        if (m_chunkOffset >= m_chunkBytes)
            m_writing = false;
        if (m_dropPcm) {
            m_dropPcm = false;
            m_chunkBytes = m_chunkOffset = 0;
            m_writing = false;
            lock.unlock();
            snd_pcm_drop(m_pcm);
            snd_pcm_prepare(m_pcm);
            m_pcmPaused = false;
            lock.lock();
            continue;
        }
        if (m_failed) {
            m_idleCv.notify_all();
            m_workCv.wait(lock);
            continue;
        }
        if (m_paused) {
            // Hold what the card has too, where it can; otherwise it plays out and underruns.
            if (!m_pcmPaused && m_canPause && snd_pcm_state(m_pcm) == SND_PCM_STATE_RUNNING)
                m_pcmPaused = snd_pcm_pause(m_pcm, 1) == 0;
            m_workCv.wait(lock);
            continue;
        }
        if (m_pcmPaused) {
            if (snd_pcm_pause(m_pcm, 0) < 0)
                snd_pcm_prepare(m_pcm);
            m_pcmPaused = false;
        }
        if (!m_writing) {
            if (!TakeChunk()) {
                m_idleCv.notify_all();
                m_workCv.wait(lock);
                continue;
            }
            m_writing = true;
        }

        lock.unlock();
        const snd_pcm_sframes_t frames = (m_chunkBytes - m_chunkOffset) / frameBytes;
        const snd_pcm_sframes_t written = snd_pcm_writei(m_pcm, m_chunk.data() + m_chunkOffset,
                                                         static_cast<snd_pcm_uframes_t>(frames));
        bool failed = false;
        if (written >= 0) {
            m_chunkOffset += static_cast<uint32_t>(written) * frameBytes;
            if (written == 0)
                WaitForCard();
        } else if (written == -EAGAIN) {
            WaitForCard();
        } else if (snd_pcm_recover(m_pcm, static_cast<int>(written), 1) < 0) {
            failed = true;
        }
        lock.lock();
        if (failed) {
            m_failed = true;
            m_chunkBytes = m_chunkOffset = 0;
            m_writing = false;
            DiscardQueue();
        }
    }
}

// Waits until the card takes more data or a control call wakes the writer.
void CAlsaWaveOut::WaitForCard() {
    const int descriptors = static_cast<int>(m_pollFds.size()) - 1;
    const int filled =
        snd_pcm_poll_descriptors(m_pcm, m_pollFds.data(), static_cast<unsigned>(descriptors));
    const int count = filled < 0 ? 0 : filled;
    m_pollFds[count] = pollfd{m_wakeFd, POLLIN, 0};
    if (poll(m_pollFds.data(), static_cast<nfds_t>(count) + 1, kPollMs) > 0 &&
        (m_pollFds[count].revents & POLLIN)) {
        uint64_t value = 0;
        [[maybe_unused]] const ssize_t got = read(m_wakeFd, &value, sizeof(value));
    }
}

void CAlsaWaveOut::Wake() {
    if (m_wakeFd < 0)
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t put = write(m_wakeFd, &one, sizeof(one));
}

}  // namespace

std::unique_ptr<IPlatformWaveOut> CreateAlsaWaveOut() {
    return std::make_unique<CAlsaWaveOut>();
}

}  // namespace QXPLAT
