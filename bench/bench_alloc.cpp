// Heap allocations per frame once warm, for the two per-frame paths outside the engine (whose
// own count is in bench_engine):
//  - renderer input: a 1080p planar 4:2:0 picture handed to a headless renderer that draws it
//    into one region, counted on the thread that hands the pictures in (the render thread's GL
//    driver allocates as it pleases and is not ours);
//  - wave output: 40 ms PCM blocks written to the wave output on the ALSA null device, counted
//    on every thread of the process (the output's writer thread included).
// Allocations are counted by replacing malloc/calloc/realloc (through glibc's __libc_* entry
// points) and the operator new family.
//   bench_alloc [frames=400]

#include <quorixsdk.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "base/hclock.h"
#include "media/waveout.h"
#include "panorama/region.h"
#include "panorama/render.h"
#include "panorama/view.h"

namespace {
std::atomic<uint64_t> g_allocations{0};
thread_local bool t_countThisThread = false;
std::atomic<bool> g_countAllThreads{false};

inline void Count() {
    if (t_countThisThread || g_countAllThreads.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

void* malloc(size_t size) {
    Count();
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    Count();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    Count();
    return __libc_realloc(p, size);
}
}

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

constexpr uint32_t kWidth = 1920, kHeight = 1080;

// -1 when the renderer cannot run here.
double RendererInput(uint32_t frames) {
    std::vector<uint8_t> y(size_t{kWidth} * kHeight, 100), u(y.size() / 4, 90),
        v(y.size() / 4, 160);
    const uint8_t* planes[3] = {y.data(), u.data(), v.data()};
    const uint32_t strides[3] = {kWidth, kWidth / 2, kWidth / 2};
    if (SPHERA::GlobalInit() != QUORIX_OK)
        return -1;
    SPHERA::CRender* render = nullptr;
    if (SPHERA::CreateRender(SPHERA::SPH_MODEL_NORMAL, nullptr, 0, &render) != QUORIX_OK)
        return -1;
    if (SPHERA::Init(render, 0, nullptr, true) != QUORIX_OK) {
        SPHERA::DestroyRender(render);
        return -1;
    }
    SPHERA::EnableRegion(render, 0, 0, 0, 640, 360, true);
    uint64_t counted = 0;
    for (uint32_t i = 0; i < frames * 2; ++i) {
        y[i % y.size()] = static_cast<uint8_t>(i);
        const uint64_t before = g_allocations.load();
        t_countThisThread = i >= frames;  // the first half warms the source's buffers up
        SPHERA::InputFrame(render, 0, kWidth, kHeight, 20, planes, strides);
        t_countThisThread = false;
        counted += g_allocations.load() - before;
        BRIXEL::HSleep(2);  // let the render thread draw now and then, as at a camera's pace
    }
    SPHERA::DestroyRender(render);
    return static_cast<double>(counted) / frames;
}

double WaveOutput(uint32_t blocks) {
    BRIXEL::CWaveOut wave;
    if (wave.Open() != 0)
        return -1;
    wave.SetFormat(1, 16, 8000);
    std::vector<uint8_t> block(640, 0x11);  // 40 ms of 16-bit mono at 8 kHz
    const auto run = [&](uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) {
            wave.Write(block.data(), static_cast<uint32_t>(block.size()));
            if ((i + 1) % BRIXEL::CWaveOut::kBufferCount == 0)
                wave.Drain(2000);
        }
    };
    run(BRIXEL::CWaveOut::kBufferCount * 2);
    const uint64_t before = g_allocations.load();
    g_countAllThreads = true;
    run(blocks);
    g_countAllThreads = false;
    const uint64_t made = g_allocations.load() - before;
    wave.Close();
    return static_cast<double>(made) / blocks;
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t frames =
        argc > 1 ? static_cast<uint32_t>(std::max(10, std::atoi(argv[1]))) : 400;
    if (std::getenv("QUORIX_AUDIO_DEVICE") == nullptr)
        setenv("QUORIX_AUDIO_DEVICE", "null", 1);

    const double input = RendererInput(frames);
    if (input < 0) {
        std::printf("renderer input: no GL context here\n");
        std::printf(
            "BENCH steady-state heap allocations per frame, renderer input|not available (no "
            "GL)|-|-|== 0\n");
    } else {
        std::printf(
            "renderer input, 1920x1080 4:2:0, %u pictures after warm-up: %.4f allocations each\n",
            frames, input);
        std::printf("BENCH steady-state heap allocations per frame, renderer input|%.4f|-|-|== 0\n",
                    input);
    }
    const double wave = WaveOutput(frames);
    if (wave < 0) {
        std::printf("wave output: the null device did not open\n");
        std::printf(
            "BENCH steady-state heap allocations per frame, wave output|not available (no "
            "device)|-|-|== 0\n");
    } else {
        std::printf("wave output, 640-byte blocks, %u after warm-up: %.4f allocations each\n",
                    frames, wave);
        std::printf("BENCH steady-state heap allocations per frame, wave output|%.4f|-|-|== 0\n",
                    wave);
    }
    return 0;
}
