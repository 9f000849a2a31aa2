#include "base/hclock.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace BRIXEL {

namespace {
std::atomic<IHClock*> g_clock{nullptr};
}  // namespace

uint32_t HRealTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint32_t HGetTickCount() {
    if (IHClock* clock = g_clock.load(std::memory_order_acquire)) return clock->Tick();
    return HRealTickCount();
}

void HSleep(uint32_t ms) {
    if (IHClock* clock = g_clock.load(std::memory_order_acquire)) {
        clock->Sleep(ms);
        return;
    }
    // nanosleep is a cancellation point, which is what lets a stuck worker be cancelled.
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void HSetClock(IHClock* clock) { g_clock.store(clock, std::memory_order_release); }

CHDelay::CHDelay(bool createLock) : stampMs(HGetTickCount()), lock(false, false) {
    if (createLock) lock.Create(false);
}

}  // namespace BRIXEL
