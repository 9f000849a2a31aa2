#include "platform/audio_device.h"

#include "platform/alsa_waveout.h"

namespace QXPLAT {

namespace {
constexpr uint32_t kMaxChannels = 32;
constexpr uint32_t kMaxSampleRate = 768000;
}  // namespace

bool WaveFormat::IsPlayable() const {
    const bool knownWidth =
        bitsPerSample == 8 || bitsPerSample == 16 || bitsPerSample == 24 || bitsPerSample == 32;
    return channels >= 1 && channels <= kMaxChannels && knownWidth && sampleRate >= 1 &&
           sampleRate <= kMaxSampleRate;
}

std::unique_ptr<IPlatformWaveOut> CreatePlatformWaveOut() {
    return CreateAlsaWaveOut();
}

}  // namespace QXPLAT
