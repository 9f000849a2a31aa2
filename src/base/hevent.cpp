#include "base/hevent.h"

#include <quorixsdk_codes.h>

#include <cerrno>
#include <ctime>

#include "base/hclock.h"

namespace BRIXEL {

namespace {

// Holds the event mutex for a scope; also runs when a cancelled waiter unwinds out of
// pthread_cond_wait, which hands the mutex back locked.
class EventGuard {
public:
    explicit EventGuard(pthread_mutex_t* m) : m_mutex(m) { pthread_mutex_lock(m_mutex); }
    ~EventGuard() {
        if (m_waiters)
            --*m_waiters;
        pthread_mutex_unlock(m_mutex);
    }
    EventGuard(const EventGuard&) = delete;
    EventGuard& operator=(const EventGuard&) = delete;
    void CountWaiter(uint32_t* waiters) {
        m_waiters = waiters;
        ++*m_waiters;
    }

private:
    pthread_mutex_t* m_mutex;
    uint32_t* m_waiters = nullptr;
};

}  // namespace

CHEvent::CHEvent(bool createNow, bool manualReset, bool initiallySignalled) {
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) == 0) {
        const bool clockOk = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0;
        if (clockOk && pthread_cond_init(&m_cond, &attr) == 0) {
            if (pthread_mutex_init(&m_mutex, nullptr) == 0) {
                m_nativeOk = true;
            } else {
                pthread_cond_destroy(&m_cond);
            }
        }
        pthread_condattr_destroy(&attr);
    }
    if (createNow)
        Create(manualReset, initiallySignalled);
}

CHEvent::~CHEvent() {
    if (m_nativeOk) {
        Close();
        pthread_cond_destroy(&m_cond);
        pthread_mutex_destroy(&m_mutex);
    }
}

uint32_t CHEvent::Create(bool manualReset, bool initiallySignalled) {
    if (!m_nativeOk)
        return QUORIX_E_SYSTEM;
    EventGuard guard(&m_mutex);
    if (m_created.load(std::memory_order_relaxed))
        return QUORIX_E_ALREADY_INIT;
    m_manualReset = manualReset;
    m_signalled = initiallySignalled;
    m_pulseReleases = 0;
    m_created.store(true, std::memory_order_release);
    return QUORIX_OK;
}

void CHEvent::Close() {
    if (!m_nativeOk)
        return;
    EventGuard guard(&m_mutex);
    m_created.store(false, std::memory_order_release);
    m_signalled = false;
    pthread_cond_broadcast(&m_cond);
}

uint32_t CHEvent::Set() {
    if (!IsCreated())
        return QUORIX_E_NOT_INIT;
    EventGuard guard(&m_mutex);
    if (!m_created.load(std::memory_order_relaxed))
        return QUORIX_E_NOT_INIT;
    m_signalled = true;
    // Waiters re-check the state, so one auto-reset Set still releases only one of them.
    pthread_cond_broadcast(&m_cond);
    return QUORIX_OK;
}

uint32_t CHEvent::Reset() {
    if (!IsCreated())
        return QUORIX_E_NOT_INIT;
    EventGuard guard(&m_mutex);
    if (!m_created.load(std::memory_order_relaxed))
        return QUORIX_E_NOT_INIT;
    m_signalled = false;
    return QUORIX_OK;
}

uint32_t CHEvent::Pulse() {
    if (!IsCreated())
        return QUORIX_E_NOT_INIT;
    EventGuard guard(&m_mutex);
    if (!m_created.load(std::memory_order_relaxed))
        return QUORIX_E_NOT_INIT;
    if (m_manualReset) {
        if (m_waiters > 0)
            ++m_pulseGeneration;
    } else if (m_waiters > m_pulseReleases) {
        ++m_pulseReleases;
        ++m_pulseGeneration;
    }
    m_signalled = false;
    pthread_cond_broadcast(&m_cond);
    return QUORIX_OK;
}

uint32_t CHEvent::Wait(uint32_t timeoutMs) {
    // Even a poll with no time-out lets a cancelled worker go. Kept in a frame without
    // addressable locals: the address sanitizer cannot clean up after an unwind that abandons
    // a frame whose locals it guards.
    pthread_testcancel();
    return WaitLocked(timeoutMs);
}

__attribute__((noinline)) uint32_t CHEvent::WaitLocked(uint32_t timeoutMs) {
    if (!IsCreated())
        return QUORIX_E_NOT_INIT;
    const bool forever = timeoutMs == HINFINITE;
    const timespec deadline = forever ? timespec{} : HMonotonicDeadline(timeoutMs);

    EventGuard guard(&m_mutex);
    if (!m_created.load(std::memory_order_relaxed))
        return QUORIX_E_NOT_INIT;
    if (m_signalled) {
        if (!m_manualReset)
            m_signalled = false;
        return QUORIX_OK;
    }
    if (timeoutMs == 0)
        return QUORIX_E_TIMEOUT;

    const uint64_t generation = m_pulseGeneration;
    guard.CountWaiter(&m_waiters);
    for (;;) {
        const int rc = forever ? pthread_cond_wait(&m_cond, &m_mutex)
                               : pthread_cond_timedwait(&m_cond, &m_mutex, &deadline);
        if (!m_created.load(std::memory_order_relaxed))
            return QUORIX_E_NOT_INIT;
        if (m_signalled) {
            if (!m_manualReset)
                m_signalled = false;
            return QUORIX_OK;
        }
        if (m_pulseGeneration != generation) {
            if (m_manualReset)
                return QUORIX_OK;
            if (m_pulseReleases > 0) {
                --m_pulseReleases;
                return QUORIX_OK;
            }
        }
        if (rc == ETIMEDOUT)
            return QUORIX_E_TIMEOUT;
        if (rc != 0 && rc != EINTR)
            return QUORIX_E_SYSTEM;
    }
}

uint32_t CHEvent::GetWaiterCount() {
    if (!m_nativeOk)
        return 0;
    EventGuard guard(&m_mutex);
    return m_waiters - m_pulseReleases;
}

}  // namespace BRIXEL
