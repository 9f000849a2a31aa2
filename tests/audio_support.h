#pragma once
// Audio test support: an ALSA configuration of the test's own in which the PCM "quorix_wav"
// writes what it plays into a WAV file, a reader for those files, and a device double that
// wraps the real backend to count opens and to refuse restarts on demand.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/alsa_waveout.h"

namespace audio_test {

// Points ALSA at the test configuration (once per process, before ALSA reads any) and the
// wave output at the device `pcm` ("null", a missing name, or WavDevice()).
void UseDevice(const std::string& pcm);
// A WAV-capturing PCM writing to a file named `stem` in this process's temporary directory;
// `path` receives the file's path.
std::string WavDevice(const std::string& stem, std::string* path);

struct WavFile {
    bool ok = false;
    uint16_t channels = 0;
    uint16_t bitsPerSample = 0;
    uint32_t sampleRate = 0;
    std::vector<uint8_t> data;
};
WavFile ReadWav(const std::string& path);

// The real backend with a record of what it was asked: opens, formats and volume words, and a
// hold that makes Restart fail (a device that stays paused).
class CDeviceProbe : public QXPLAT::IPlatformWaveOut {
public:
    struct Record {
        int opens = 0;
        QXPLAT::WaveFormat lastFormat;
        bool holdRestart = false;
    };
    explicit CDeviceProbe(Record* record) : m_real(QXPLAT::CreateAlsaWaveOut()), m_record(record) {}

    bool Open(const QXPLAT::WaveFormat& format) override {
        ++m_record->opens;
        m_record->lastFormat = format;
        return m_real->Open(format);
    }
    void Close() override { m_real->Close(); }
    bool IsOpen() const override { return m_real->IsOpen(); }
    bool Pause() override { return m_real->Pause(); }
    bool Restart() override { return !m_record->holdRestart && m_real->Restart(); }
    void Reset() override { m_real->Reset(); }
    bool WriteBlock(QXPLAT::WaveBlock& block) override { return m_real->WriteBlock(block); }
    void SetVolume(uint32_t levels) override { m_real->SetVolume(levels); }
    uint32_t GetVolume() const override { return m_real->GetVolume(); }
    bool WaitIdle(uint32_t timeoutMs) override { return m_real->WaitIdle(timeoutMs); }

private:
    std::unique_ptr<QXPLAT::IPlatformWaveOut> m_real;
    Record* m_record;
};

// C++ allocations made so far in the process, on any thread (the test binary replaces the
// global operator new to count them).
uint64_t AllocationCount();
bool CountsAllocations();

// Generous bound for the writer thread to hand queued blocks to the card.
constexpr uint32_t kDrainMs = 10000;

}  // namespace audio_test
