#pragma once
// The ALSA backend of the wave-out device (platform/audio_device.h): the only place that sees
// ALSA.

#include <memory>

#include "platform/audio_device.h"

namespace QXPLAT {

// The ALSA backend. The PCM name comes from the environment variable QUORIX_AUDIO_DEVICE at
// each Open, "default" when it is not set.
std::unique_ptr<IPlatformWaveOut> CreateAlsaWaveOut();

}  // namespace QXPLAT
