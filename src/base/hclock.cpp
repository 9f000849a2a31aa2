#include "base/hclock.h"

#include <atomic>
#include <cerrno>
#include <ctime>

#include <pthread.h>
#include <sched.h>

namespace BRIXEL {

namespace {
std::atomic<IHClock*> g_clock{nullptr};
}  // namespace

uint32_t HRealTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

timespec HMonotonicDeadline(uint32_t ms) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += static_cast<time_t>(ms / 1000);
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

uint32_t HGetTickCount() {
    if (IHClock* clock = g_clock.load(std::memory_order_acquire))
        return clock->Tick();
    return HRealTickCount();
}

namespace {

// A private condition variable that is never signalled: a timed wait on it is a sleep that is
// also a cancellation point the thread sanitizer follows (it does not follow nanosleep's).
class SleepWaiter {
public:
    SleepWaiter() {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&m_cond, &attr);
        pthread_condattr_destroy(&attr);
    }
    ~SleepWaiter() {
        pthread_cond_destroy(&m_cond);
        pthread_mutex_destroy(&m_mutex);
    }
    SleepWaiter(const SleepWaiter&) = delete;
    SleepWaiter& operator=(const SleepWaiter&) = delete;

    void Sleep(uint32_t ms) {
        const timespec deadline = HMonotonicDeadline(ms);
        pthread_mutex_lock(&m_mutex);
        // Unlocks also when a cancellation unwinds out of the wait with the mutex held.
        struct Unlock {
            pthread_mutex_t* mutex;
            ~Unlock() { pthread_mutex_unlock(mutex); }
        } unlock{&m_mutex};
        // Nobody signals it: a zero result is a spurious wake-up, anything else ends the sleep.
        while (pthread_cond_timedwait(&m_cond, &m_mutex, &deadline) == 0) {
        }
    }

private:
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_cond;
};

}  // namespace

void HSleep(uint32_t ms) {
    if (IHClock* clock = g_clock.load(std::memory_order_acquire)) {
        clock->Sleep(ms);
        return;
    }
    pthread_testcancel();
    if (ms == 0) {
        sched_yield();
        return;
    }
    thread_local SleepWaiter waiter;
    waiter.Sleep(ms);
}

void HSetClock(IHClock* clock) {
    g_clock.store(clock, std::memory_order_release);
}

CHDelay::CHDelay(bool createLock) : stampMs(HGetTickCount()), lock(false, false) {
    if (createLock)
        lock.Create(false);
}

}  // namespace BRIXEL
