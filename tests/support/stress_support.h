#pragma once
// Pieces shared by the stress and fault suites that drive the shared library: the external
// renderer double beside the library copy, the encoded clip as live records and as a file,
// composite packets, a watchdog that names the call that hung, and cycle counts that an
// environment variable can raise for a long run.

#include <quorixsdk.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/pano_client.h"
#include "support/player_media.h"

namespace stresstest {

// Cycles of a stress loop: `ciDefault` unless QUORIX_STRESS_CYCLES asks for more (or fewer).
int Cycles(int ciDefault);
// True when QUORIX_STRESS_CYCLES is set: the long variants run only then.
bool LongRun();

// The renderer double the library loaded (the file beside the executable).
using panotest::PanoDouble;

// 320x240 H.264, 24 pictures, a key frame every 8; empty without libx264.
const playertest::Clip& H264Clip();
// Its records 40 ms apart, and a container file of them.
const std::vector<std::vector<uint8_t>>& H264Records();
const std::vector<uint8_t>& H264File();
// A composite packet carrying `record` as one sub-frame of stream `streamId`.
std::vector<uint8_t> CompositeOf(const std::vector<uint8_t>& record, uint8_t streamId);

// Offers a record until the queue takes it (the engine's back-pressure) or a long time-out
// passes; the last result.
uint32_t Push(uint16_t port, const std::vector<uint8_t>& record);

// Threads report what they are about to call; when nobody makes progress for `stallMs`, the
// watchdog prints every thread's current call and aborts the process, so a deadlock shows up as
// a failure naming the call instead of a silent CI time-out.
class Watchdog {
public:
    explicit Watchdog(uint32_t stallMs = 120000);
    ~Watchdog();
    // Slot index for one thread, for the watchdog's life (at most kSlots; more aborts).
    int Register(const char* name);
    void Enter(int slot, const char* call, uint16_t port);
    void Leave(int slot);

    static constexpr int kSlots = 32;

private:
    void Run();
    struct Slot {
        std::atomic<const char*> name{nullptr};
        std::atomic<const char*> call{nullptr};
        std::atomic<uint32_t> port{0};
    };
    Slot m_slots[kSlots];
    std::atomic<int> m_used{0};
    std::atomic<uint64_t> m_progress{0};
    uint32_t m_stallMs;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stop = false;  // m_lock
    std::thread m_thread;
};

// RAII: one guarded call.
class Guard {
public:
    Guard(Watchdog& dog, int slot, const char* call, uint16_t port) : m_dog(dog), m_slot(slot) {
        dog.Enter(slot, call, port);
    }
    ~Guard() { m_dog.Leave(m_slot); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    Watchdog& m_dog;
    int m_slot;
};

}  // namespace stresstest
