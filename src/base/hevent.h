#pragma once
// Events with manual or automatic reset, built from a mutex, a condition variable on the
// monotonic clock and a generation counter (for Pulse).

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace BRIXEL {

constexpr uint32_t HINFINITE = 0xFFFFFFFFu;

class CHEvent {
public:
    explicit CHEvent(bool createNow = true, bool manualReset = false,
                     bool initiallySignalled = false);
    ~CHEvent();
    CHEvent(const CHEvent&) = delete;
    CHEvent& operator=(const CHEvent&) = delete;

    // QUORIX_E_ALREADY_INIT when already created, QUORIX_E_SYSTEM when the native objects fail.
    uint32_t Create(bool manualReset = false, bool initiallySignalled = false);
    bool IsCreated() const { return m_created.load(std::memory_order_acquire); }

    // QUORIX_E_NOT_INIT before creation, else 0.
    uint32_t Set();
    uint32_t Reset();
    // Releases the threads waiting at this moment (one of them for an auto-reset event) and
    // leaves the event clear.
    uint32_t Pulse();
    // 0 when signalled, QUORIX_E_TIMEOUT on time-out, QUORIX_E_NOT_INIT before creation.
    // A cancellation point: a cancelled waiter unwinds with the mutex released.
    uint32_t Wait(uint32_t timeoutMs = HINFINITE);
    // Waiters still blocked return QUORIX_E_NOT_INIT.
    void Close();

    // Threads blocked in Wait and not yet released (for diagnostics and tests).
    uint32_t GetWaiterCount();

private:
    uint32_t WaitLocked(uint32_t timeoutMs);

    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
    bool m_nativeOk = false;  // the mutex and condition variable exist (constructor to destructor)
    std::atomic<bool> m_created{false};  // written under m_mutex
    // Guarded by m_mutex:
    bool m_manualReset = false;
    bool m_signalled = false;
    uint64_t m_pulseGeneration = 0;  // manual reset: waiters of an older generation are released
    uint32_t m_waiters = 0;          // threads blocked in Wait and not yet released
    uint32_t m_pulseReleases = 0;    // auto reset: waiters still to be released by pulses
};

}  // namespace BRIXEL
