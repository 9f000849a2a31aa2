#pragma once
// The one clock of the system: a 32-bit millisecond tick since boot (wraps after ~49.7 days)
// and the sleep that goes with it. Tests may replace both with a simulated clock.

#include <cstdint>
#include <ctime>

#include "base/hlock.h"

namespace BRIXEL {

struct IHClock {
    virtual ~IHClock() = default;
    virtual uint32_t Tick() = 0;
    virtual void Sleep(uint32_t ms) = 0;
};

// Milliseconds of CLOCK_MONOTONIC truncated to 32 bits (or the installed clock's tick).
uint32_t HGetTickCount();
// Sleeps on the real clock (a cancellation point) or asks the installed clock.
void HSleep(uint32_t ms);
// nullptr restores the real clock. The clock object must outlive its installation.
void HSetClock(IHClock* clock);

// The real monotonic milliseconds, whatever clock is installed.
uint32_t HRealTickCount();

// The CLOCK_MONOTONIC time `ms` milliseconds from now, normalised (tv_nsec below one second):
// the deadline of a pthread_cond_timedwait on a condition variable set to that clock. Always
// the real clock, whatever clock is installed: the kernel waits on it.
timespec HMonotonicDeadline(uint32_t ms);

// Pacing record of the media engine: two values it advances, the tick of construction and an
// optional mutex-kind lock.
class CHDelay {
public:
    explicit CHDelay(bool createLock = false);
    virtual ~CHDelay() = default;
    CHDelay(const CHDelay&) = delete;
    CHDelay& operator=(const CHDelay&) = delete;

    uint32_t value1 = 0;
    uint32_t value2 = 0;
    uint32_t stampMs;  // HGetTickCount() at construction
    CHLock lock;       // mutex kind, created only when asked for
};

}  // namespace BRIXEL
