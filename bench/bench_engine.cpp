// The engine path input -> decode (a fake decoder) -> present, per play mode: pictures per
// second and heap allocations per picture once the pools are warm.
//
// Two clocks are measured. "engine" replaces every plain sleep of the engine's threads by a
// yield (their waits on work are woken by the work itself), so the figure is what the routing,
// queues, copies and pools cost. "paced" keeps the real clock, which is what a host sees.
//
// QUORIX_BENCH_ALLOC_TRACE=1 prints the call stack of every allocation counted.
//
// Allocations are counted by replacing the global operator new family and malloc/calloc/realloc
// (through glibc's __libc_* entry points).

#include <execinfo.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "base/hclock.h"
#include "media/hmfformat.h"
#include "media/hplayer.h"
#include "media/hvideostream.h"

namespace {

std::atomic<uint64_t> g_allocations{0};
std::atomic<uint64_t> g_allocatedBytes{0};
// QUORIX_BENCH_ALLOC_TRACE: the call stack of every allocation made while measuring.
std::atomic<bool> g_trace{false};
thread_local bool t_inTrace = false;

void Note(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    g_allocatedBytes.fetch_add(size, std::memory_order_relaxed);
    if (!g_trace.load(std::memory_order_relaxed) || t_inTrace)
        return;
    t_inTrace = true;
    void* frames[32];
    const int depth = backtrace(frames, 32);
    char line[64];
    const int n = std::snprintf(line, sizeof(line), "allocation of %zu bytes:\n", size);
    if (write(STDERR_FILENO, line, static_cast<size_t>(n)) < 0) {
    }
    backtrace_symbols_fd(frames, depth, STDERR_FILENO);
    t_inTrace = false;
}

}  // namespace

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

void* malloc(size_t size) {
    Note(size);
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    Note(n * size);
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    Note(size);
    return __libc_realloc(p, size);
}
}

// operator new goes through the malloc above (libstdc++ does), but counting it here as well
// would count twice; routing it explicitly keeps the count independent of the library.
void* operator new(size_t size) {
    if (void* p = malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return malloc(size ? size : 1);
}
void operator delete(void* p) noexcept {
    __libc_free(p);
}
void operator delete[](void* p) noexcept {
    __libc_free(p);
}
void operator delete(void* p, size_t) noexcept {
    __libc_free(p);
}
void operator delete[](void* p, size_t) noexcept {
    __libc_free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    __libc_free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    __libc_free(p);
}

namespace {

using namespace BRIXEL;

constexpr uint16_t kWidth = 1280;
constexpr uint16_t kHeight = 720;
constexpr uint32_t kWindow = 8;  // pictures in flight between input and presentation

// Real ticks, but a rest is only a yield: the threads run as fast as the work allows.
class YieldClock : public IHClock {
public:
    uint32_t Tick() override { return HRealTickCount(); }
    void Sleep(uint32_t) override { sched_yield(); }
};

class BenchPlayer : public CHPlayer {
public:
    BenchPlayer() {
        for (int p = 0; p < 3; ++p) {
            const uint32_t w = p ? kWidth / 2 : kWidth;
            const uint32_t h = p ? kHeight / 2 : kHeight;
            m_strides[p] = static_cast<int32_t>(w + 32);
            m_planes[p].assign(static_cast<size_t>(m_strides[p]) * h,
                               static_cast<uint8_t>(16 + 100 * p));
        }
    }
    ~BenchPlayer() override {
        StopPlay();
        for (Held& h : m_held) {
            if (h.buffer)
                m_recovery(h.buffer, h.size, m_recoveryContext);
            h.buffer = nullptr;
        }
    }

    std::atomic<uint64_t> presented{0};
    // While set, the decoder holds the record it has, so that the input fills the encoded queue
    // behind it; the input lets it go.
    std::atomic<bool> holdDecoder{false};
    // While set, a buffered picture handed over for showing is held there until the decoder has
    // filled the decoded queue behind it. The player thread holds the stream map's lock meanwhile,
    // which keeps the input out: the hold ends by itself.
    std::atomic<bool> holdPresentation{false};

    HDecoderHandle StartDecoder(uint8_t) override { return this; }
    void StopDecoder(HDecoderHandle) override {}
    uint32_t DecodeVideo(HDecoderHandle, const uint8_t* data, uint32_t length, uint32_t& width,
                         uint32_t& height, uint8_t* planes[3], uint32_t sizes[3],
                         int32_t strides[3], CHYUVColour&) override {
        if (!length)
            return QUORIX_E_PARAM;
        while (holdDecoder.load(std::memory_order_acquire))
            sched_yield();
        m_planes[0][0] = data[0];
        for (int p = 0; p < 3; ++p) {
            planes[p] = m_planes[p].data();
            sizes[p] = static_cast<uint32_t>(m_planes[p].size());
            strides[p] = m_strides[p];
        }
        width = kWidth;
        height = kHeight;
        return QUORIX_OK;
    }
    uint32_t OnVideoFrame(uint16_t, uint32_t, uint32_t, uint16_t, uint16_t, uint8_t* const[3],
                          const int32_t[3], CHYUVColour) override {
        presented.fetch_add(1, std::memory_order_release);
        return QUORIX_OK;
    }
    // Holds one picture per stream like a display source and hands the previous one back.
    uint32_t RenderFrame(uint16_t streamId, uint32_t, uint32_t, uint16_t, uint16_t, uint8_t* buffer,
                         uint32_t size, CHYUVColour) override {
        HoldPresentation(streamId);
        Held previous = m_held[streamId & 0xFF];
        m_held[streamId & 0xFF] = {buffer, size};
        if (previous.buffer)
            m_recovery(previous.buffer, previous.size, m_recoveryContext);
        presented.fetch_add(1, std::memory_order_release);
        return QUORIX_OK;
    }
    uint32_t SetRecoveryCallback(uint16_t, HRecoveryCallback callback, void* context) override {
        m_recovery = callback;
        m_recoveryContext = context;
        return QUORIX_OK;
    }

private:
    void HoldPresentation(uint16_t streamId) {
        if (!holdPresentation.load(std::memory_order_acquire))
            return;
        CHVideoStream* stream = GetVideoStream(streamId);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (stream && stream->GetDecodedFrames() < kDecodedQueueDepth &&
               std::chrono::steady_clock::now() < until)
            sched_yield();
        holdPresentation.store(false, std::memory_order_release);
    }
    struct Held {
        uint8_t* buffer = nullptr;
        uint32_t size = 0;
    };
    std::vector<uint8_t> m_planes[3];
    int32_t m_strides[3] = {};
    Held m_held[256];
    HRecoveryCallback m_recovery = nullptr;
    void* m_recoveryContext = nullptr;
};

struct Result {
    double fps;
    double allocationsPerFrame;
    double bytesPerFrame;
};

Result Run(uint32_t mode, uint32_t warmup, uint32_t frames) {
    BenchPlayer player;
    player.SetPlayMode(mode);
    player.SetPlaySpeed(4);  // presentation is not held back by the picture intervals
    player.StartPlay();

    std::vector<uint8_t> record(kHMFFrameHeaderSize + 20000, 0x5A);
    HMFFrameHeader h = HMFNewFrameHeader();
    h.codec = 1;
    h.SetVideoSize(kWidth, kHeight);
    h.payloadLength = static_cast<uint32_t>(record.size() - kHMFFrameHeaderSize);

    uint32_t sequence = 0;
    uint64_t allocationsAtStart = 0;
    uint64_t bytesAtStart = 0;
    auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < warmup + frames; ++i) {
        if (i == warmup) {
            // Everything of the warm-up is shown (and every hold over) before counting starts.
            while (player.presented.load(std::memory_order_acquire) < sequence)
                sched_yield();
            player.holdPresentation.store(false, std::memory_order_release);
            g_trace = std::getenv("QUORIX_BENCH_ALLOC_TRACE") != nullptr;
            allocationsAtStart = g_allocations.load();
            bytesAtStart = g_allocatedBytes.load();
            start = std::chrono::steady_clock::now();
        }
        // Keep a bounded window in flight so that no queue overflows and the input never
        // outruns the pools (the engine would then allocate by design).
        // While the decoder is held the input runs past the window until the encoded queue
        // holds one record more than the window: with the held record and the one being filled
        // that is deeper than the measured part ever goes.
        for (;;) {
            if (player.holdDecoder.load(std::memory_order_acquire)) {
                if (player.GetQueuedFrameCount() < kWindow + 1)
                    break;
                player.holdDecoder.store(false, std::memory_order_release);
            }
            if (sequence < player.presented.load(std::memory_order_acquire) + kWindow)
                break;
            sched_yield();
        }
        // The free lists grow to what is in flight at most, and only as deep as it has been: a
        // warm-up that never filled the window would leave the first full window of the
        // measured part to allocate. Now and then during warm-up the decoder holds a record until
        // the input has filled the encoded queue behind it, and the next buffered picture is held
        // where it is shown until the decoded queue behind it is full.
        if (i < warmup && (i % 200 == 100 || i == warmup / 2)) {
            player.holdPresentation.store(mode != 0, std::memory_order_release);
            player.holdDecoder.store(true, std::memory_order_release);
        }
        ++sequence;
        h.type = sequence % 25 == 1 ? HMF_KIND_KEY : HMF_KIND_DELTA;
        h.sequence = sequence;
        h.timestamp = 40 * sequence;
        HMFSerializeFrameHeader(h, record.data());
        record[kHMFFrameHeaderSize] = static_cast<uint8_t>(sequence);
        player.InputData(record.data(), static_cast<uint32_t>(record.size()));
    }
    while (player.presented.load(std::memory_order_acquire) < sequence)
        sched_yield();
    const auto end = std::chrono::steady_clock::now();
    g_trace = false;
    const uint64_t allocations = g_allocations.load() - allocationsAtStart;
    const uint64_t bytes = g_allocatedBytes.load() - bytesAtStart;
    player.StopPlay();
    const double seconds = std::chrono::duration<double>(end - start).count();
    return {frames / seconds, static_cast<double>(allocations) / frames,
            static_cast<double>(bytes) / frames};
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t frames = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 2000;
    {
        void* warm[1];
        backtrace(warm, 1);  // loads the unwinder now, not inside a measured allocation
    }
    std::printf("engine path, %ux%u 4:2:0 pictures, %u measured after warm-up\n", kWidth, kHeight,
                frames);
    std::printf("%-7s %-5s %12s %14s %14s\n", "clock", "mode", "frames/s", "allocs/frame",
                "bytes/frame");
    double worst[3] = {0.0, 0.0, 0.0};
    YieldClock yieldClock;
    HSetClock(&yieldClock);
    for (uint32_t mode = 0; mode <= 2; ++mode) {
        const Result r = Run(mode, 1000, frames);
        std::printf("%-7s %-5u %12.1f %14.4f %14.1f\n", "engine", mode, r.fps,
                    r.allocationsPerFrame, r.bytesPerFrame);
        worst[mode] = std::max(worst[mode], r.allocationsPerFrame);
    }
    HSetClock(nullptr);
    // On the real clock.
    for (uint32_t mode = 0; mode <= 2; ++mode) {
        const Result r = Run(mode, 60, 100);
        std::printf("%-7s %-5u %12.1f %14.4f %14.1f\n", "paced", mode, r.fps, r.allocationsPerFrame,
                    r.bytesPerFrame);
        worst[mode] = std::max(worst[mode], r.allocationsPerFrame);
    }
    for (uint32_t mode = 0; mode <= 2; ++mode) {
        std::printf(
            "BENCH steady-state heap allocations per frame, engine play mode %u|%.4f|-|-|== 0\n",
            mode, worst[mode]);
    }
    return 0;
}
