#include "base/hlock.h"

#include <quorixsdk_codes.h>

#include <new>
#include <system_error>

namespace BRIXEL {

CHLock::CHLock(bool createNow, bool useCriticalSection) : m_useCriticalSection(useCriticalSection) {
    if (createNow)
        Create(useCriticalSection);
}

CHLock::~CHLock() {
    m_created.store(false, std::memory_order_release);
}

uint32_t CHLock::Create(bool useCriticalSection) {
    if (IsCreated())
        return QUORIX_E_ALREADY_INIT;
    m_useCriticalSection = useCriticalSection;
    try {
        m_mutex.emplace();
    } catch (const std::system_error&) {
        return QUORIX_E_SYSTEM;
    } catch (const std::bad_alloc&) {
        return QUORIX_E_SYSTEM;
    }
    m_created.store(true, std::memory_order_release);
    return QUORIX_OK;
}

bool CHLock::Enter() {
    if (!IsCreated())
        return false;
    m_mutex->lock();
    return true;
}

bool CHLock::TryEnter() {
    return IsCreated() && m_mutex->try_lock();
}

void CHLock::Leave() {
    if (IsCreated())
        m_mutex->unlock();
}

CHAutoLock::CHAutoLock(CHLock* lock, bool lockNow) : m_lock(lock) {
    if (lockNow)
        Lock();
}

CHAutoLock::~CHAutoLock() {
    Unlock();
}

bool CHAutoLock::Lock() {
    if (m_locked)
        return true;
    if (!m_lock || !m_lock->IsCreated())
        return false;
    m_locked = m_lock->Enter();
    return m_locked;
}

bool CHAutoLock::Unlock() {
    if (!m_lock || !m_locked)
        return true;
    m_lock->Leave();
    m_locked = false;
    return true;
}

}  // namespace BRIXEL
