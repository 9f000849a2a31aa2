#include "player/player.h"

CPlayer::CPlayer(uint32_t port, IPlayerHost& host) : m_port(port), m_host(host) {}

CPlayer::~CPlayer() = default;

void CPlayer::ResetPort(bool allocate) {
    if (allocate) {
        m_inUse.store(true, std::memory_order_release);
        return;
    }
    m_inUse.store(false, std::memory_order_release);
    // A free port holds nothing open.
    m_status.store(STATUS_NONE, std::memory_order_release);
}

bool CPlayer::IsPlaying() {
    // Playing needs an open file or stream and a started engine; neither exists without an open.
    return false;
}
