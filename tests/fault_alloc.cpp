// Allocation failure anywhere in a port's open, play, feed and close, through the public
// interface: the test binary's own operator new fails exactly one chosen allocation (counted
// from the moment it is armed, on whichever thread makes it, the library's threads included).
// Every call answers one of its codes, nothing crashes or hangs, and the port plays a whole
// file again once allocations succeed.

#include <gtest/gtest.h>
#include <quorixsdk.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>

#include "support/container_builder.h"
#include "support/stress_support.h"

// AddressSanitizer owns operator new: there nothing is replaced and the sweeps are skipped.
#if defined(__SANITIZE_ADDRESS__)
#define QUORIX_TEST_FAIL_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORIX_TEST_FAIL_ALLOCATIONS 0
#endif
#endif
#ifndef QUORIX_TEST_FAIL_ALLOCATIONS
#define QUORIX_TEST_FAIL_ALLOCATIONS 1
#endif

namespace {

// Allocations left before the one that fails; negative: disarmed.
std::atomic<long> g_countdown{-1};
// Allocations seen while counting (armed with a countdown too large to reach).
std::atomic<long> g_seen{0};
std::atomic<long> g_failed{0};
// The test's own bookkeeping while armed neither counts nor fails.
thread_local bool t_exempt = false;

}  // namespace

#if QUORIX_TEST_FAIL_ALLOCATIONS
namespace {

bool ShouldFail() {
    if (t_exempt || g_countdown.load(std::memory_order_relaxed) < 0)
        return false;
    g_seen.fetch_add(1, std::memory_order_relaxed);
    if (g_countdown.fetch_sub(1, std::memory_order_acq_rel) == 0) {
        g_failed.fetch_add(1);
        return true;
    }
    return false;
}

void* Allocate(std::size_t size) {
    if (ShouldFail())
        throw std::bad_alloc();
    void* p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

}  // namespace

// The replacements: the nothrow forms reach these in libstdc++.
void* operator new(std::size_t size) {
    return Allocate(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
#endif

namespace {

using stresstest::PanoDouble;

constexpr uint32_t kWaitMs = 60000;

void OnFileEnd(uint16_t, void* user) {
    static_cast<std::atomic<int>*>(user)->fetch_add(1);
}

class FaultAlloc : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QUORIX_TEST_FAIL_ALLOCATIONS)
            GTEST_SKIP() << "the sanitizer owns operator new in this build";
        ASSERT_NE(nullptr, PanoDouble::Get().module)
            << "renderer double missing beside the executable";
        ASSERT_FALSE(stresstest::H264Clip().packets.empty()) << "libx264 missing";
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
        ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&m_port));
        m_path = m_dir.Path("clip.kz");
        ASSERT_TRUE(quorixtest::WriteFile(m_path, stresstest::H264File()));
        stresstest::H264Records();
    }
    void TearDown() override {
        if (!QUORIX_TEST_FAIL_ALLOCATIONS)
            return;
        g_countdown.store(-1);
        QUORIX_FreePort(m_port);
        QUORIX_ReleaseSDK();
    }

    // One open-play-feed-close cycle with allocation `n` (from now) failing; n < 0 counts.
    // The codes are collected; the cycle never asserts on them.
    void Cycle(bool file, long n) {
        std::atomic<int> ends{0};
        g_seen.store(0);
        g_countdown.store(n < 0 ? (1L << 40) : n);
        Note("SetFileEndCallback", QUORIX_SetFileEndCallback(m_port, &OnFileEnd, &ends));
        if (file) {
            Note("OpenFile", QUORIX_OpenFile(m_port, m_path.c_str()));
            Note("Play", QUORIX_Play(m_port, 0, nullptr, 0));
            Note("SetPlayedPos", QUORIX_SetPlayedPos(m_port, 0.25f));
        } else {
            Note("OpenStream", QUORIX_OpenStream(m_port, -1, nullptr, 0, nullptr, 0));
            Note("Play", QUORIX_Play(m_port, 0, nullptr, 0));
            for (const auto& r : stresstest::H264Records()) {
                const uint32_t code =
                    QUORIX_InputStreamData(m_port, r.data(), static_cast<uint32_t>(r.size()));
                if (code != QUORIX_OK)
                    Note("InputStreamData", code);
            }
        }
        PanoDouble::Get().waitFrames(PanoDouble::Get().frameCount() + 4, 2000);
        Note("Stop", QUORIX_Stop(m_port));
        Note(file ? "CloseFile" : "CloseStream",
             file ? QUORIX_CloseFile(m_port) : QUORIX_CloseStream(m_port));
        g_countdown.store(-1);
        // Whatever failed, the port can be closed and freed; a close answers "wrong state" when
        // its open had failed.
        QUORIX_CloseFile(m_port);
        QUORIX_CloseStream(m_port);
        ASSERT_EQ(QUORIX_OK, QUORIX_FreePort(m_port));
        ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&m_port));
    }

    void Note(const char* call, uint32_t code) {
        if (code == QUORIX_OK)
            return;
        t_exempt = true;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            char text[80];
            std::snprintf(text, sizeof text, "%s 0x%08x", call, code);
            ++m_codes[text];
        }
        t_exempt = false;
    }

    // The port plays the whole file: nothing of the faults is left behind.
    void ExpectWholeFilePlays() {
        std::atomic<int> ends{0};
        const int before = PanoDouble::Get().frameCount();
        ASSERT_EQ(QUORIX_OK, QUORIX_SetFileEndCallback(m_port, &OnFileEnd, &ends));
        ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(m_port, m_path.c_str()));
        ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
        EXPECT_GE(PanoDouble::Get().waitFrames(before + 24, kWaitMs), before + 24);
        EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(m_port));
    }

    void Sweep(bool file) {
        // Count a clean cycle's allocations first, then fail each of them in turn (spread over
        // at most kPoints cycles so the suite stays short; QUORIX_STRESS_CYCLES widens it).
        Cycle(file, -1);
        const long total = g_seen.load();
        ASSERT_GT(total, 0) << "the library allocates through this binary's operator new";
        const long points = std::min<long>(total, stresstest::Cycles(60));
        const long failedBefore = g_failed.load();
        for (long i = 0; i < points; ++i) {
            const long n = i * total / points;
            SCOPED_TRACE(testing::Message() << "allocation " << n << " of " << total);
            Cycle(file, n);
        }
        EXPECT_GT(g_failed.load() - failedBefore, 0);
        std::printf("%ld allocations in a cycle, %ld failed in turn; codes seen:\n", total, points);
        for (const auto& [what, count] : m_codes)
            std::printf("  %s x%d\n", what.c_str(), count);
        ExpectWholeFilePlays();
    }

    quorixtest::TempDir m_dir;
    std::string m_path;
    uint16_t m_port = 0;
    std::mutex m_lock;
    std::map<std::string, int> m_codes;  // m_lock
};

TEST_F(FaultAlloc, EveryAllocationOfAFileCycleMayFail) {
    Sweep(true);
}

TEST_F(FaultAlloc, EveryAllocationOfALiveStreamCycleMayFail) {
    Sweep(false);
}

}  // namespace
