// Locks, events, counters, run-time classes and the worker thread base class.

#include <gtest/gtest.h>
#include <quorixsdk.h>

#include <atomic>
#include <ctime>
#include <thread>
#include <vector>

#include "base/hatomic.h"
#include "base/hclock.h"
#include "base/hevent.h"
#include "base/hlock.h"
#include "base/hobject.h"
#include "base/hthread.h"

using namespace BRIXEL;

namespace {

constexpr uint32_t kGenerous = 20000;  // ms; only reached when something is broken

// Spins (yielding) until pred holds; a broken build fails the test instead of hanging it.
template <typename Pred>
bool EventuallyTrue(Pred pred) {
    const uint32_t start = HRealTickCount();
    while (!pred()) {
        if (HRealTickCount() - start > kGenerous)
            return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace

TEST(LockTest, UncreatedAndNullLocksNeverBlock) {
    CHLock uncreated(false);
    EXPECT_FALSE(uncreated.IsCreated());
    CHAutoLock guard(&uncreated);
    EXPECT_FALSE(guard.IsLocked());
    EXPECT_FALSE(guard.Lock());
    EXPECT_TRUE(guard.Unlock());

    CHAutoLock none(nullptr);
    EXPECT_FALSE(none.Lock());
    EXPECT_TRUE(none.Unlock());

    EXPECT_EQ(uncreated.Create(false), QUORIX_OK);
    EXPECT_EQ(uncreated.Create(false), QUORIX_E_ALREADY_INIT);
    EXPECT_TRUE(guard.Lock());
}

TEST(LockTest, ReentrantForOwnerExclusiveForOthers) {
    for (bool criticalSection : {true, false}) {
        CHLock lock(true, criticalSection);
        CHAutoLock outer(&lock);
        CHAutoLock inner(&lock);
        EXPECT_TRUE(outer.IsLocked());
        EXPECT_TRUE(inner.IsLocked());
        bool otherGot = true;
        std::thread([&] { otherGot = lock.TryEnter(); }).join();
        EXPECT_FALSE(otherGot);
        inner.Unlock();
        outer.Unlock();
        std::thread([&] {
            otherGot = lock.TryEnter();
            if (otherGot)
                lock.Leave();
        }).join();
        EXPECT_TRUE(otherGot);
    }
}

TEST(EventTest, ResultsBeforeCreationAndOnTimeout) {
    CHEvent lazy(false);
    EXPECT_EQ(lazy.Set(), QUORIX_E_NOT_INIT);
    EXPECT_EQ(lazy.Reset(), QUORIX_E_NOT_INIT);
    EXPECT_EQ(lazy.Pulse(), QUORIX_E_NOT_INIT);
    EXPECT_EQ(lazy.Wait(0), QUORIX_E_NOT_INIT);
    EXPECT_EQ(lazy.Create(), QUORIX_OK);
    EXPECT_EQ(lazy.Create(), QUORIX_E_ALREADY_INIT);
    EXPECT_EQ(lazy.Wait(0), QUORIX_E_TIMEOUT);
    EXPECT_EQ(lazy.Wait(5), QUORIX_E_TIMEOUT);
    lazy.Close();
    EXPECT_EQ(lazy.Wait(0), QUORIX_E_NOT_INIT);
}

TEST(EventTest, AutoResetReleasesOneWaitManualStaysSignalled) {
    CHEvent autoEvent(true, false, true);
    EXPECT_EQ(autoEvent.Wait(0), QUORIX_OK);
    EXPECT_EQ(autoEvent.Wait(0), QUORIX_E_TIMEOUT);
    autoEvent.Set();
    autoEvent.Set();
    EXPECT_EQ(autoEvent.Wait(0), QUORIX_OK);
    EXPECT_EQ(autoEvent.Wait(0), QUORIX_E_TIMEOUT);

    CHEvent manual(true, true, false);
    manual.Set();
    EXPECT_EQ(manual.Wait(0), QUORIX_OK);
    EXPECT_EQ(manual.Wait(0), QUORIX_OK);
    manual.Reset();
    EXPECT_EQ(manual.Wait(0), QUORIX_E_TIMEOUT);
}

TEST(EventTest, SetWakesABlockedWaiter) {
    CHEvent event(true, false, false);
    std::atomic<uint32_t> result{1};
    std::thread waiter([&] { result = event.Wait(kGenerous); });
    ASSERT_TRUE(EventuallyTrue([&] { return event.GetWaiterCount() == 1; }));
    event.Set();
    waiter.join();
    EXPECT_EQ(result.load(), QUORIX_OK);
    EXPECT_EQ(event.Wait(0), QUORIX_E_TIMEOUT);  // consumed by the waiter
}

TEST(EventTest, ManualPulseReleasesEveryWaiterAndLeavesEventClear) {
    CHEvent event(true, true, false);
    EXPECT_EQ(event.Pulse(), QUORIX_OK);  // nobody waiting: nothing remembered
    EXPECT_EQ(event.Wait(0), QUORIX_E_TIMEOUT);

    std::atomic<uint32_t> results[2] = {1, 1};
    std::thread a([&] { results[0] = event.Wait(kGenerous); });
    std::thread b([&] { results[1] = event.Wait(kGenerous); });
    ASSERT_TRUE(EventuallyTrue([&] { return event.GetWaiterCount() == 2; }));
    EXPECT_EQ(event.Pulse(), QUORIX_OK);
    a.join();
    b.join();
    EXPECT_EQ(results[0].load(), QUORIX_OK);
    EXPECT_EQ(results[1].load(), QUORIX_OK);
    EXPECT_EQ(event.Wait(0), QUORIX_E_TIMEOUT);
}

TEST(EventTest, AutoPulseReleasesExactlyOneWaiter) {
    CHEvent event(true, false, false);
    std::atomic<int> released{0};
    auto wait = [&] {
        if (event.Wait(kGenerous) == QUORIX_OK)
            ++released;
    };
    std::thread a(wait), b(wait);
    ASSERT_TRUE(EventuallyTrue([&] { return event.GetWaiterCount() == 2; }));
    event.Pulse();
    ASSERT_TRUE(EventuallyTrue([&] { return released.load() == 1; }));
    EXPECT_EQ(event.GetWaiterCount(), 1u);
    EXPECT_EQ(event.Wait(0), QUORIX_E_TIMEOUT);
    event.Set();  // the other one
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 2);
}

TEST(EventTest, PingPongLosesNoWakeUp) {
    CHEvent ping(true, false, false), pong(true, false, false);
    constexpr int kRounds = 20000;
    std::atomic<int> answered{0};
    std::thread partner([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (ping.Wait(kGenerous) != QUORIX_OK)
                return;
            ++answered;
            pong.Set();
        }
    });
    int rounds = 0;
    for (; rounds < kRounds; ++rounds) {
        ping.Set();
        if (pong.Wait(kGenerous) != QUORIX_OK)
            break;
    }
    partner.join();
    EXPECT_EQ(rounds, kRounds);
    EXPECT_EQ(answered.load(), kRounds);
}

TEST(EventTest, CloseReleasesBlockedWaiters) {
    CHEvent event(true, true, false);
    std::atomic<uint32_t> result{0};
    std::thread waiter([&] { result = event.Wait(HINFINITE); });
    ASSERT_TRUE(EventuallyTrue([&] { return event.GetWaiterCount() == 1; }));
    event.Close();
    waiter.join();
    EXPECT_EQ(result.load(), QUORIX_E_NOT_INIT);
}

TEST(AtomicTest, ConcurrentIncrementsAreNotLost) {
    CHAtomic counter;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i)
                counter.Increment();
            for (int i = 0; i < 5000; ++i)
                counter.Decrement();
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter.Get(), 20000);
    EXPECT_EQ(counter.Increment(), 20001);
}

namespace basetest {
class CTestBase : public CHObject {
    H_DECLARE_RUNTIME_CLASS(CTestBase)
};
class CTestDerived : public CTestBase {
    H_DECLARE_RUNTIME_CLASS(CTestDerived)
    int extra = 0;
};
class CTestOther : public CHObject {
    H_DECLARE_RUNTIME_CLASS(CTestOther)
};
H_IMPLEMENT_RUNTIME_CLASS(CTestBase, CHObject)
H_IMPLEMENT_RUNTIME_CLASS(CTestDerived, CTestBase)
H_IMPLEMENT_RUNTIME_CLASS(CTestOther, CHObject)
}  // namespace basetest

using basetest::CTestBase;
using basetest::CTestDerived;
using basetest::CTestOther;

TEST(ObjectTest, IsKindOfWalksTheBaseChain) {
    CTestDerived derived;
    const CHObject& asObject = derived;
    EXPECT_STREQ(asObject.GetRuntimeClass()->className, "CTestDerived");
    EXPECT_EQ(asObject.GetRuntimeClass()->objectSize, sizeof(CTestDerived));
    EXPECT_TRUE(asObject.IsKindOf(H_RUNTIME_CLASS(CTestDerived)));
    EXPECT_TRUE(asObject.IsKindOf(H_RUNTIME_CLASS(CTestBase)));
    EXPECT_TRUE(asObject.IsKindOf(H_RUNTIME_CLASS(CHObject)));
    EXPECT_EQ(H_RUNTIME_CLASS(BRIXEL::CHObject), H_RUNTIME_CLASS(CHObject));
    EXPECT_FALSE(asObject.IsKindOf(H_RUNTIME_CLASS(CTestOther)));
    EXPECT_FALSE(asObject.IsKindOf(nullptr));
    CTestBase base;
    EXPECT_FALSE(base.IsKindOf(H_RUNTIME_CLASS(CTestDerived)));
    EXPECT_EQ(H_RUNTIME_CLASS(CHObject)->baseClass, nullptr);
}

// Every timed wait of the base library (events, thread ends, sleeps) waits until this deadline,
// so it must lie on the kernel's monotonic clock whatever clock the system paces itself with,
// exactly the asked time ahead, with the nanoseconds carried into the seconds.
TEST(ClockTest, MonotonicDeadlineIsTheRealClockPlusTheTimeout) {
    struct StoppedClock : IHClock {
        uint32_t Tick() override { return 7; }
        void Sleep(uint32_t) override {}
    } stopped;
    HSetClock(&stopped);
    auto nanos = [](const timespec& ts) {
        return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    };
    for (const uint32_t ms : {0u, 1u, 999u, 1000u, 1001u, 1999u, 86400000u, 0xFFFFFFFEu}) {
        timespec before{}, after{};
        clock_gettime(CLOCK_MONOTONIC, &before);
        const timespec deadline = HMonotonicDeadline(ms);
        clock_gettime(CLOCK_MONOTONIC, &after);
        const int64_t ahead = int64_t{ms} * 1000000;
        EXPECT_GE(deadline.tv_nsec, 0) << ms;
        EXPECT_LT(deadline.tv_nsec, 1000000000) << ms;
        EXPECT_GE(nanos(deadline), nanos(before) + ahead) << ms;
        EXPECT_LE(nanos(deadline), nanos(after) + ahead) << ms;
    }
    HSetClock(nullptr);
}

TEST(ClockTest, SimulatedClockDrivesTickAndSleep) {
    struct FakeClock : IHClock {
        uint32_t now = 0xFFFFFFF0u;
        uint32_t Tick() override { return now; }
        void Sleep(uint32_t ms) override { now += ms; }
    } fake;
    HSetClock(&fake);
    EXPECT_EQ(HGetTickCount(), 0xFFFFFFF0u);
    HSleep(0x20);  // wraps
    EXPECT_EQ(HGetTickCount(), 0x10u);
    CHDelay delay(true);
    EXPECT_EQ(delay.stampMs, 0x10u);
    EXPECT_TRUE(delay.lock.IsCreated());
    EXPECT_FALSE(delay.lock.UsesCriticalSection());
    HSetClock(nullptr);
    EXPECT_FALSE(CHDelay(false).lock.IsCreated());
}

namespace {

// A worker whose hooks report to the test through events.
class CProbeThread : public CHThread {
public:
    enum class Body {
        WaitForStop,
        EndWith,
        Throw,
        IgnoreStop,
        IgnoreStopPolling,
        IgnoreStopSleeping,
        StopItself
    };

    explicit CProbeThread(Body body = Body::WaitForStop, uint32_t code = 0)
        : m_body(body), m_code(code) {}
    ~CProbeThread() override { Stop(); }

    uint32_t OnThreadStart(uint64_t param) override {
        startParam = param;
        startedOn = std::this_thread::get_id();
        started.Set();
        return startResult;
    }

    uint32_t OnThreadLoop(uint64_t) override {
        ++loops;
        looping.Set();
        switch (m_body) {
            case Body::WaitForStop:
                WaitStop(kGenerous);
                return 0;
            case Body::EndWith:
                return m_code;
            case Body::Throw:
                throw 42;
            case Body::IgnoreStop:
            case Body::IgnoreStopPolling:
            case Body::IgnoreStopSleeping: {
                struct Witness {
                    std::atomic<bool>* flag;
                    ~Witness() { *flag = true; }
                } witness{&unwound};
                CHAutoLock held(&bodyLock);
                // Each of these is a cancellation point; none of them looks at the stop request.
                for (;;) {
                    if (m_body == Body::IgnoreStop)
                        never.Wait(HINFINITE);
                    if (m_body == Body::IgnoreStopPolling)
                        never.Wait(0);
                    if (m_body == Body::IgnoreStopSleeping)
                        HSleep(1);
                }
            }
            case Body::StopItself:
                selfStopResult = Stop();
                return 0;  // the loop then sees the raised stop request
        }
        return 0;
    }

    void OnThreadEnd(uint64_t param, uint32_t exitCode) override {
        CHThread::OnThreadEnd(param, exitCode);
        endCode = exitCode;
        endedOn = std::this_thread::get_id();
        ++endCalls;
        ended.Set();
    }

    Body m_body;
    uint32_t m_code;
    uint32_t startResult = 0;
    std::atomic<uint64_t> startParam{0};
    std::atomic<int> loops{0};
    std::atomic<int> endCalls{0};
    std::atomic<uint32_t> endCode{0};
    std::atomic<uint32_t> selfStopResult{1};
    std::atomic<bool> unwound{false};
    std::thread::id startedOn, endedOn;
    CHLock bodyLock;
    CHEvent started{true, true, false};
    CHEvent looping{true, true, false};
    CHEvent ended{true, true, false};
    CHEvent never{true, true, false};
};

}  // namespace

TEST(ThreadTest, StartStopRunsHooksOnTheWorker) {
    CProbeThread thread;
    EXPECT_EQ(thread.Stop(), QUORIX_E_THREAD_NOT_RUNNING);  // never started
    EXPECT_EQ(thread.GetThreadName(), "undefine");
    ASSERT_EQ(thread.Start(0x1234567890ull), QUORIX_OK);
    EXPECT_TRUE(thread.IsRunning());
    ASSERT_EQ(thread.looping.Wait(kGenerous), QUORIX_OK);
    EXPECT_EQ(thread.startParam.load(), 0x1234567890ull);
    EXPECT_NE(thread.startedOn, std::this_thread::get_id());
    EXPECT_NE(thread.GetThreadId(), 0u);

    // A second Start leaves the running worker alone.
    EXPECT_EQ(thread.Start(7), QUORIX_E_THREAD_RUNNING);
    EXPECT_EQ(thread.GetParam(), 0x1234567890ull);
    EXPECT_TRUE(thread.IsRunning());

    EXPECT_EQ(thread.Stop(), QUORIX_OK);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(thread.endCalls.load(), 1);
    EXPECT_EQ(thread.endCode.load(), 0u);
    EXPECT_EQ(thread.endedOn, thread.startedOn);
    EXPECT_EQ(thread.Stop(), QUORIX_E_THREAD_NOT_RUNNING);

    // The object can be started again once idle.
    thread.ended.Reset();
    ASSERT_EQ(thread.Start(), QUORIX_OK);
    ASSERT_EQ(thread.started.Wait(kGenerous), QUORIX_OK);
    EXPECT_EQ(thread.Stop(), QUORIX_OK);
    EXPECT_EQ(thread.endCalls.load(), 2);
}

TEST(ThreadTest, WorkerEndingByItselfIsReapedByStop) {
    CProbeThread thread(CProbeThread::Body::EndWith, 7);
    ASSERT_EQ(thread.Start(), QUORIX_OK);
    ASSERT_EQ(thread.ended.Wait(kGenerous), QUORIX_OK);
    EXPECT_EQ(thread.endCode.load(), 7u);
    EXPECT_EQ(thread.loops.load(), 1);
    ASSERT_TRUE(EventuallyTrue([&] { return !thread.IsRunning(); }));
    EXPECT_EQ(thread.Stop(), QUORIX_E_THREAD_NOT_RUNNING);
    EXPECT_EQ(thread.GetExitCode(), 7u);
    // Restart right after an unreaped end joins the old thread first.
    thread.ended.Reset();
    ASSERT_EQ(thread.Start(), QUORIX_OK);
    ASSERT_EQ(thread.ended.Wait(kGenerous), QUORIX_OK);
    EXPECT_EQ(thread.endCalls.load(), 2);
}

TEST(ThreadTest, FailedStartHookSkipsTheBody) {
    CProbeThread thread;
    thread.startResult = 0x80008101u;
    ASSERT_EQ(thread.Start(), QUORIX_OK);
    ASSERT_EQ(thread.ended.Wait(kGenerous), QUORIX_OK);
    EXPECT_EQ(thread.endCode.load(), 0x80008101u);
    EXPECT_EQ(thread.loops.load(), 0);
    EXPECT_EQ(thread.endCalls.load(), 1);
}

TEST(ThreadTest, EscapingExceptionBecomesFaultExitCode) {
    CProbeThread thread(CProbeThread::Body::Throw);
    ASSERT_EQ(thread.Start(), QUORIX_OK);
    ASSERT_EQ(thread.ended.Wait(kGenerous), QUORIX_OK);
    EXPECT_EQ(thread.endCode.load(), QUORIX_E_THREAD_FAULT);
}

TEST(ThreadTest, BodyIgnoringStopIsCancelledAndReportedOnce) {
    for (auto body : {CProbeThread::Body::IgnoreStop, CProbeThread::Body::IgnoreStopPolling,
                      CProbeThread::Body::IgnoreStopSleeping}) {
        SCOPED_TRACE(static_cast<int>(body));
        CProbeThread thread(body);
        thread.SetStopTimeout(50);
        ASSERT_EQ(thread.Start(), QUORIX_OK);
        ASSERT_EQ(thread.looping.Wait(kGenerous), QUORIX_OK);
        EXPECT_EQ(thread.Stop(), QUORIX_OK);
        EXPECT_FALSE(thread.IsRunning());
        EXPECT_EQ(thread.endCalls.load(), 1);
        EXPECT_EQ(thread.endCode.load(), QUORIX_E_THREAD_KILLED);
        EXPECT_EQ(thread.GetExitCode(), QUORIX_E_THREAD_KILLED);
        EXPECT_EQ(thread.endedOn, std::this_thread::get_id());
        // The cancelled body unwound: its scoped objects ran and its lock is free again.
        EXPECT_TRUE(thread.unwound.load());
        EXPECT_TRUE(thread.bodyLock.TryEnter());
        thread.bodyLock.Leave();
    }
}

TEST(ThreadTest, StopFromTheWorkerItselfDoesNotWait) {
    CProbeThread thread(CProbeThread::Body::StopItself);
    ASSERT_EQ(thread.Start(), QUORIX_OK);
    ASSERT_EQ(thread.ended.Wait(kGenerous), QUORIX_OK);
    EXPECT_EQ(thread.selfStopResult.load(), QUORIX_OK);
    EXPECT_EQ(thread.endCode.load(), 0u);
    EXPECT_EQ(thread.loops.load(), 1);
    EXPECT_TRUE(thread.IsStopRequested());
    // Joined here, from another thread.
    EXPECT_EQ(thread.Stop(), QUORIX_E_THREAD_NOT_RUNNING);
    EXPECT_EQ(thread.endCalls.load(), 1);
}

TEST(ThreadTest, SuspendedStartRunsAfterResume) {
    CProbeThread thread;
    ASSERT_EQ(thread.Start(0, true), QUORIX_OK);
    EXPECT_EQ(thread.Resume(), QUORIX_OK);
    EXPECT_EQ(thread.looping.Wait(kGenerous), QUORIX_OK);
    EXPECT_EQ(thread.Stop(), QUORIX_OK);
}

TEST(ThreadTest, DestroyingARunningThreadStopsIt) {
    auto plain = std::make_unique<CHThread>();
    ASSERT_EQ(plain->Start(), QUORIX_OK);
    EXPECT_TRUE(plain->IsRunning());
    plain.reset();  // would hang or crash if the spinning default body were left running

    CHThread unstarted;
    EXPECT_FALSE(unstarted.IsRunning());
    unstarted.SetPriority(9, 200);  // clamped and stored; nothing to apply
}
