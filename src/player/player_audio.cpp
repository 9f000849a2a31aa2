// The sound device as a port sees it: one wave output shared by every port, whose volume is
// device-wide.

#include "media/waveout.h"
#include "player/player.h"
#include "player/playerhost.h"

uint32_t CPlayer::SetVolume(uint32_t volume) {
    if (BRIXEL::CWaveOut* wave = m_host.GetWaveOut())
        wave->SetVolume(volume);
    return QUORIX_OK;
}

uint32_t CPlayer::GetVolume() {
    BRIXEL::CWaveOut* wave = m_host.GetWaveOut();
    return wave != nullptr ? wave->GetVolume() : 0;
}
